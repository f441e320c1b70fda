// chat_client's command line: the options, the usage text, and the rules
// for a colour and a name as the user types them.
#pragma once

#include <string>

#include "wire/codec.hpp"
#include "src/common/protocol.hpp"

namespace chat_client {

struct Options {
    std::string host = "127.0.0.1";
    std::string port = std::to_string(default_port);
    std::string name;
    int colour[3] = {0, 0, 0};
    bool colour_given = false;
    bool listen = false;
    bool no_colour = false;
    bool raw = false;
};

// Reads the command line; prints the usage text or the version and exits
// on --help and --version, and exits with exit_usage on anything it cannot
// take.
Options parse_options(int argc, char **argv);

// Says what is wrong, points at --help and exits with exit_usage.
[[noreturn]] void usage_error(const std::string &why);

// "R,G,B", "R G B", or nine digits run together as the server prints them;
// false, with `colour` untouched, unless each number is from -99 to 999.
bool parse_colour(const char *text, int colour[3]);
// What the user is told about a colour that parse_colour does not take,
// from -c and at the prompt alike.
std::string colour_refusal(const std::string &text);

// Why the name cannot be used, for the user; "" when the server takes it
// and it says what the user typed. `wire` is the name in Shift_JIS, in
// which `replaced` characters had no form; `codec` shows the reserved word.
std::string name_problem(const std::string &wire, size_t replaced, const chat::Codec &codec);

}  // namespace chat_client
