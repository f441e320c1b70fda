// A user's colour: the nine characters that stand for it on the wire,
// written and read, and the colour derived from a name when none is given.
#pragma once

#include <string>
#include <string_view>

namespace chat {

// The nine characters that open a record and follow LGIN: each component
// as %03d, so that -5 is "-05".
std::string colour_field(const int colour[3]);
// The three numbers of a colour field, three characters each; a part that
// is no number, or is missing, reads as 0.
void parse_colour_field(std::string_view field, int colour[3]);

// A colour derived from the name, the same every time: a hash of the name
// as it goes on the wire, in Shift_JIS, picks a hue. Every program that
// derives a colour for a user calls this with the wire name, so that a name
// gets one colour whatever the locale or the page it was typed in.
void stable_colour(std::string_view sjis_name, int colour[3]);

}  // namespace chat
