// printf into a std::string, for messages whose words come from the
// catalogues: one whole sentence with placeholders, never glued pieces.
#pragma once

#include <string>

namespace chat {

std::string formatted(const char *format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace chat
