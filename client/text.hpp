// How chat_client turns the server's bytes into lines for a person, and
// what a person types into the bytes the server stores.
#pragma once

#include <ctime>
#include <string>
#include <string_view>

#include "protocol/codec.hpp"
#include "protocol/compose.hpp"
#include "protocol/splitter.hpp"
#include "terminal/display.hpp"
#include "protocol/reader.hpp"

namespace chat_client {

using chat::Codec;
using chat::Event;
using chat::Style;
using chat::choose_style;
using chat::colour_escape;
using chat::format_event;
using chat::format_note;
using chat::nearest_256;

// A colour derived from the name, the same every time.
void stable_colour(std::string_view name, int colour[3]);

}  // namespace chat_client
