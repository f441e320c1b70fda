// Cutting a long message into posts that each fit in one record: at the
// last space or punctuation mark that leaves a post within its limit, and
// otherwise between two characters, never inside a two-byte Shift_JIS one.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace chat {

// Cuts a Shift_JIS message into pieces of at most `limit` bytes. A piece
// ends after the last space (ASCII or ideographic), closing punctuation
// mark (ASCII or Japanese: . , ! ? ; ) ] } 、 。 ， ． ！ ？ 」 』 ） and the
// like) or emoji short code that fits; with none, at the last character
// that fits. Nothing is dropped: the pieces joined are the message.
std::vector<std::string> split_message(std::string_view sjis, size_t limit);
// How many body bytes one post may carry for a user of this name, so
// that the record keeps its CR LF.
size_t body_limit(std::string_view sjis_name);

}  // namespace chat
