// chat_client's command line: the options, the usage text, and the rules
// for a colour and a name as the user types them.
#pragma once

#include <string>

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

// Reads the command line; prints the usage text and exits on --help, and
// exits with exit_usage on anything it cannot take.
Options parse_options(int argc, char **argv);

// Says what is wrong, points at --help and exits with exit_usage.
[[noreturn]] void usage_error(const std::string &why);

// "R,G,B", "R G B", or nine digits run together as the server prints them;
// false, with `colour` untouched, unless each number is from -99 to 999.
bool parse_colour(const char *text, int colour[3]);

// A name the server takes, and that says what the user typed: `replaced`
// characters had no Shift_JIS form.
bool acceptable_name(const std::string &wire, size_t replaced);
// What a name must be, for the user.
std::string name_rule();

}  // namespace chat_client
