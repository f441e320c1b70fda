// Control characters: what could move a terminal's cursor or rewrite its
// screen if it reached one. What to do with them is each program's call:
// the gateway refuses them in what a page posts (TAB aside), the terminal
// programs replace them in what they show.
#pragma once

#include <cstddef>
#include <string_view>

namespace chat {

// C0 (TAB included), DEL and C1.
constexpr bool is_control(char32_t c) { return c < 0x20 || (c >= 0x7f && c <= 0x9f); }

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

}  // namespace chat
