// How chat_client turns the server's bytes into lines for a person, and
// what a person types into the bytes the server stores.
#pragma once

#include <ctime>
#include <iconv.h>
#include <string>
#include <string_view>

#include "wire.hpp"

namespace chat_client {

// Converts between Shift_JIS on the wire and the locale's character set.
// In raw mode bytes pass through unchanged both ways.
class Codec {
public:
    Codec() = default;
    ~Codec();
    Codec(const Codec &) = delete;
    Codec &operator=(const Codec &) = delete;
    bool open(bool raw);  // false when the locale's set has no converter
    // Bytes that do not decode become replacement characters.
    std::string to_local(std::string_view sjis) const;
    // Characters that Shift_JIS cannot hold become '?'.
    std::string to_wire(std::string_view local) const;

private:
    std::string convert(iconv_t cd, std::string_view in, std::string_view bad) const;
    iconv_t in_ = reinterpret_cast<iconv_t>(-1);
    iconv_t out_ = reinterpret_cast<iconv_t>(-1);
    bool raw_ = false;
    bool utf8_ = false;
};

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
