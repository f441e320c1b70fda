// A user's colour: the one derived from a name when none is given, so
// that every client shows the same name in the same colour.
#pragma once

#include <string_view>

namespace chat {

// A colour derived from the name, the same every time.
void stable_colour(std::string_view name, int colour[3]);

}  // namespace chat
