// Emoji as short codes: Shift_JIS holds no emoji, so the clients send
// each one as a code such as :party_popper: that a raw client reads as
// text, and show the codes of the table as the emoji again.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace chat {

// One row of the table: an emoji that Shift_JIS cannot hold and its short
// code, without the colons. Made by the build from wire/emoji/emoji.tsv,
// in order of code point.
struct EmojiCode {
    char32_t point;
    const char *code;
};
extern const EmojiCode emoji_codes[];
extern const size_t emoji_code_count;

// UTF-8 text with each emoji of the table written as its short code. What
// rides on an emoji goes with it: skin tones, variation selectors, and the
// parts that a zero-width joiner adds (a ZWJ sequence goes as its first
// emoji). VS16 is dropped everywhere. Anything else is left as it is,
// for the codec to make 〓 of what Shift_JIS cannot hold.
std::string emoji_to_short_codes(std::string_view utf8);
// Text with each short code of the table written as its emoji in UTF-8.
// A code that is not in the table stays as written.
std::string short_codes_to_emoji(std::string_view text);
// The length of the short code of the table (colons included) that begins
// at `at` in `text`; 0 when none does there.
size_t short_code_at(std::string_view text, size_t at);

}  // namespace chat
