// Cutting a long message into posts that each fit in one record, never
// inside a two-byte Shift_JIS character.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace chat {

// Cuts a Shift_JIS message into pieces of at most `limit` bytes, never
// inside a two-byte character.
std::vector<std::string> split_message(std::string_view sjis, size_t limit);
// How many body bytes one post may carry for a user of this name, so
// that the record keeps its CR LF.
size_t body_limit(std::string_view sjis_name);

}  // namespace chat
