// Control characters: what could move a terminal's cursor or rewrite its
// screen if it reached one, and what could make a line read otherwise than
// it is written. What to do with them is each program's call: the gateway
// refuses controls in what a page posts (TAB aside), the terminal programs
// replace controls and reordering characters in what they show.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

namespace chat {

// C0 (TAB included), DEL and C1.
constexpr bool is_control(char32_t c) { return c < 0x20 || (c >= 0x7f && c <= 0x9f); }

// Characters that move the text around them on a screen: the bidi marks,
// embeddings, overrides and isolates, which reorder a line (a name can
// seem another's, a message seem to say the opposite), and the line and
// paragraph separators, which break it where no line ends.
constexpr bool is_reordering(char32_t c)
{
    return c == 0x061c || c == 0x200e || c == 0x200f || c == 0x2028 || c == 0x2029 ||
           (c >= 0x202a && c <= 0x202e) || (c >= 0x2066 && c <= 0x2069);
}

// The length in bytes of the control character that starts at `at` in
// UTF-8 text: 1 for C0 and DEL, 2 for C1 (C2 80 to C2 9F); 0 for none.
constexpr size_t control_length(std::string_view utf8, size_t at)
{
    auto c = static_cast<unsigned char>(utf8[at]);
    if (c < 0x80)
        return is_control(c) ? 1 : 0;
    if (c != 0xc2 || at + 1 >= utf8.size())
        return 0;
    auto next = static_cast<unsigned char>(utf8[at + 1]);  // C2 xx is U+00xx for xx from 80 to BF
    return next >= 0x80 && is_control(next) ? 2 : 0;
}

// The character that starts at `at` in `text`, read as strict UTF-8 (no
// overlong forms, no surrogates, nothing past U+10FFFF), with its `length`
// in bytes; nullopt where no valid character starts.
std::optional<char32_t> utf8_code_point(std::string_view text, size_t at, size_t &length);

// How a terminal reads the bytes it is sent, by the locale's codeset:
// UTF-8; Shift_JIS (as Windows writes it, which the wire carries); or
// whatever else the program's locale says, decoded by the C library.
enum class Charset { utf8, shift_jis, locale };

// The kind of the codeset nl_langinfo(CODESET) names.
Charset charset_of(std::string_view codeset);

// One character of text, or one byte that is none of the set's (a byte
// standing alone: a stray continuation or a lead without its trail).
struct TextUnit {
    size_t length;  // in bytes, at least 1
    bool safe;      // false for a control, a reordering character or a lone byte
};

// The unit that starts at `at` in `text`, read as `set`. A byte inside a
// valid character is never taken on its own: 0x81 to 0x9F lead Shift_JIS
// characters and 0x80 to 0xBF continue UTF-8 ones.
TextUnit text_unit(std::string_view text, size_t at, Charset set);

}  // namespace chat
