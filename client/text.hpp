// How chat_client turns the server's bytes into lines for a person, and
// what a person types into the bytes the server stores.
#pragma once

#include <ctime>
#include <string>
#include <string_view>

#include "../src/wire/codec.hpp"
#include "../src/wire/wire.hpp"

namespace chat_client {

using chat::Codec;
using chat::Event;

struct Style {
    bool colour = false;     // escape sequences at all
    bool truecolor = false;  // 24-bit colour, else the nearest of 256
};

// Colour for the terminal: on, 24-bit or 256, from the output and the
// environment (NO_COLOR, COLORTERM) and the --no-colour option.
Style choose_style(int fd, bool no_colour_option);

// One line for a person: the local time, then the sender and the text.
std::string format_event(const Event &event, const Style &style, const Codec &codec, time_t when);
// The same for a message of the client's own (errors of the client itself).
std::string format_note(std::string_view text, const Style &style, time_t when);

// The foreground escape for a colour; components are clamped to 0..255.
std::string colour_escape(int red, int green, int blue, bool truecolor);
// The nearest of the 256 xterm colours.
int nearest_256(int red, int green, int blue);
// A colour derived from the name, the same every time.
void stable_colour(std::string_view name, int colour[3]);

}  // namespace chat_client
