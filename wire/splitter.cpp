// The splitter: where a piece may end, Shift_JIS lead bytes, and the room
// a record leaves a body.
#include "wire/splitter.hpp"

#include <algorithm>

#include "src/common/protocol.hpp"
#include "wire/emoji.hpp"

namespace chat {

namespace {

// The characters after which a piece may end, besides the ASCII ones
// below: the ideographic space and the Japanese closing marks, in
// Shift_JIS. Opening brackets, the middle dot and colons are left out (a
// colon opens a short code and sits inside times and addresses).
constexpr std::string_view japanese_breaks[] = {
    "\x81\x40",  // 　 ideographic space
    "\x81\x41",  // 、
    "\x81\x42",  // 。
    "\x81\x43",  // ，
    "\x81\x44",  // ．
    "\x81\x47",  // ；
    "\x81\x48",  // ？
    "\x81\x49",  // ！
    "\x81\x63",  // …
    "\x81\x6a",  // ）
    "\x81\x6c",  // 〕
    "\x81\x6e",  // ］
    "\x81\x70",  // ｝
    "\x81\x72",  // 〉
    "\x81\x74",  // 》
    "\x81\x76",  // 」
    "\x81\x78",  // 』
    "\x81\x7a",  // 】
    "\xa1",      // ｡ half-width
    "\xa3",      // ｣ half-width
    "\xa4",      // ､ half-width
};
constexpr std::string_view ascii_breaks = " !),.;?]}";

bool is_lead_byte(unsigned char c)
{
    return (c >= 0x81 && c <= 0x9f) || (c >= 0xe0 && c <= 0xfc);
}

bool is_break(std::string_view character)
{
    if (character.size() == 1 && ascii_breaks.find(character[0]) != std::string_view::npos)
        return true;
    return std::find(std::begin(japanese_breaks), std::end(japanese_breaks), character) != std::end(japanese_breaks);
}

// Where the first piece of `text` ends: after its last break within
// `limit` bytes, else after its last whole character within them (at
// least one character, so that every piece makes progress).
size_t first_cut(std::string_view text, size_t limit)
{
    size_t after_break = 0, after_character = 0;
    for (size_t at = 0; at < text.size();) {
        size_t width = short_code_at(text, at);
        bool code = width > 0, breaks = code;
        if (!code) {
            width = is_lead_byte(static_cast<unsigned char>(text[at])) && at + 1 < text.size() ? 2 : 1;
            breaks = is_break(text.substr(at, width));
        }
        if (at + width > limit) {
            if (code)  // ASCII: a cut between any two of its letters is between characters
                after_character = limit;
            break;
        }
        at += width;
        after_character = at;
        if (breaks)
            after_break = at;
    }
    if (after_break > 0)
        return after_break;
    if (after_character > 0)
        return after_character;
    return is_lead_byte(static_cast<unsigned char>(text[0])) && text.size() > 1 ? 2 : 1;
}

}  // namespace

std::vector<std::string> split_message(std::string_view sjis, size_t limit)
{
    std::vector<std::string> pieces;
    while (sjis.size() > limit) {
        size_t cut = first_cut(sjis, limit);
        pieces.emplace_back(sjis.substr(0, cut));
        sjis.remove_prefix(cut);
    }
    if (!sjis.empty() || pieces.empty())
        pieces.emplace_back(sjis);
    return pieces;
}

size_t body_limit(std::string_view sjis_name)
{
    // Colour, TAB, name, TAB, body, CR LF.
    return record_max - colour_chars - 1 - sjis_name.size() - 1 - 2;
}

}  // namespace chat
