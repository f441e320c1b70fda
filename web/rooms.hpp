// The rooms of a gateway as its command line gives them: --room
// NAME=HOST:PORT[,history=FILE][,archive=FILE][,title=TEXT], repeatable,
// or --rooms FILE with one room per line. Plain code; each function says
// why a room will not do, in a sentence for the user, or "" when it does.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "options.hpp"

namespace chat_web {

// The most rooms one gateway serves: a tab may join all of them, with a
// connection to each room's server.
inline constexpr size_t rooms_max = 32;
// The longest room name, and the longest title, in bytes.
inline constexpr size_t room_name_max = 32;
inline constexpr size_t title_max = 200;

// "HOST:PORT", "[ADDR:]PORT" (host_required false), IPv6 in brackets.
bool parse_endpoint(const std::string &text, std::string &host, unsigned short &port, bool host_required);
// A whole number from 0 to 65535 in decimal.
bool parse_u16(const std::string &text, unsigned short &value);

bool valid_room_name(std::string_view name);
// A title: 1 to title_max bytes of UTF-8 without control characters.
bool valid_title(std::string_view title);

// One --room's value, added to `rooms`.
std::string add_room_option(const std::string &value, std::vector<Room> &rooms);
// The text of a --rooms file named `path`, its rooms added to `rooms`.
std::string add_rooms_file(const std::string &path, const std::string &text, std::vector<Room> &rooms);

}  // namespace chat_web
