// Showing records on a terminal: colours, the date and time, and keeping
// the wire's control bytes away from the screen.
#pragma once

#include <ctime>
#include <string>
#include <string_view>

#include "wire/codec.hpp"
#include "wire/control.hpp"
#include "wire/reader.hpp"

namespace chat {

struct Style {
    bool colour = false;     // escape sequences at all
    bool truecolor = false;  // 24-bit colour, else the nearest of 256
    bool date = false;       // the date before the time of day
    Charset charset = Charset::utf8;  // how the terminal reads bytes
};

// Colour for the terminal: on, 24-bit or 256, from the output and the
// environment (NO_COLOR, COLORTERM) and a --no-colour option; the
// character set from the locale's codeset.
Style choose_style(int fd, bool no_colour_option);

// One line for a person: the local time (and date), then the sender and
// the text, decoded by `codec`. A text that starts with "/me " is an
// action, shown as "* name waves".
std::string format_event(const Event &event, const Style &style, const Codec &codec, time_t when);
// Shift_JIS text as `codec` decodes it for the screen: with the emoji of
// the short codes when the locale is UTF-8, and as written otherwise.
std::string local_text(std::string_view sjis, const Codec &codec);
// A message of the program's own (an error, or what happened to the
// connection), in the style of the server's error replies.
std::string format_note(std::string_view text, const Style &style, time_t when);
// "HH:MM:SS", or "YYYY-MM-DD HH:MM:SS" with style.date, in local time.
std::string clock_text(time_t when, const Style &style);

// Control characters could move the cursor or rewrite the terminal, and
// reordering characters make a line read otherwise: each, and each byte
// that is no character of `set`, becomes '?' (a TAB a space). The rest
// is shown as it is.
std::string defuse_controls(std::string_view text, Charset set);

// The foreground escape for a sender's name in its colour, readable on a
// dark and on a light terminal: components are clamped to 0..255, and a
// colour too close to black or to white for either background is drawn
// lighter or darker, with its hue kept.
std::string colour_escape(int red, int green, int blue, bool truecolor);
// The nearest of the 240 fixed xterm colours that a name reads in on both.
int nearest_256(int red, int green, int blue);

}  // namespace chat
