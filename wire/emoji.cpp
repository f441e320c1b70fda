// Emoji to short codes and back, over the table that the build generates.
#include "wire/emoji.hpp"

#include <algorithm>
#include <unordered_map>

namespace chat {

namespace {

constexpr char32_t zero_width_joiner = 0x200d;
constexpr char32_t text_selector = 0xfe0e, emoji_selector = 0xfe0f;  // VS15, VS16

// What follows an emoji and belongs to it: variation selectors, skin-tone
// modifiers, and the tag characters of a subdivision flag.
bool rides_on_emoji(char32_t c)
{
    return c == text_selector || c == emoji_selector || (c >= 0x1f3fb && c <= 0x1f3ff) ||
           (c >= 0xe0020 && c <= 0xe007f);
}

// The character at `at`, *length bytes long; a byte that starts no
// well-formed character is taken alone, as U+FFFD.
char32_t decode(std::string_view s, size_t at, size_t *length)
{
    unsigned char lead = static_cast<unsigned char>(s[at]);
    size_t n = lead < 0x80 ? 1 : lead >= 0xc2 && lead < 0xe0 ? 2 : lead >= 0xe0 && lead < 0xf0 ? 3
             : lead >= 0xf0 && lead < 0xf5                   ? 4 : 0;
    char32_t c = n == 1 ? lead : n == 2 ? lead & 0x1f : n == 3 ? lead & 0x0f : lead & 0x07;
    for (size_t i = 1; i < n; ++i) {
        unsigned char next = at + i < s.size() ? static_cast<unsigned char>(s[at + i]) : 0;
        if ((next & 0xc0) != 0x80)
            n = 0;
        c = c << 6 | (next & 0x3f);
    }
    *length = n == 0 ? 1 : n;
    return n == 0 ? 0xfffd : c;
}

void encode(char32_t c, std::string &out)
{
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xc0 | c >> 6);
        out += static_cast<char>(0x80 | (c & 0x3f));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xe0 | c >> 12);
        out += static_cast<char>(0x80 | (c >> 6 & 0x3f));
        out += static_cast<char>(0x80 | (c & 0x3f));
    } else {
        out += static_cast<char>(0xf0 | c >> 18);
        out += static_cast<char>(0x80 | (c >> 12 & 0x3f));
        out += static_cast<char>(0x80 | (c >> 6 & 0x3f));
        out += static_cast<char>(0x80 | (c & 0x3f));
    }
}

const char *code_of(char32_t c)
{
    const EmojiCode *end = emoji_codes + emoji_code_count;
    const EmojiCode *row = std::lower_bound(emoji_codes, end, c,
                                            [](const EmojiCode &r, char32_t p) { return r.point < p; });
    return row != end && row->point == c ? row->code : nullptr;
}

const std::unordered_map<std::string_view, char32_t> &points_by_code()
{
    static const auto by_code = [] {
        std::unordered_map<std::string_view, char32_t> map;
        for (size_t i = 0; i < emoji_code_count; ++i)
            map.emplace(emoji_codes[i].code, emoji_codes[i].point);
        return map;
    }();
    return by_code;
}

// The longest code of the table, colons excluded: no need to look further
// for the closing colon.
size_t longest_code()
{
    static const size_t longest = [] {
        size_t n = 0;
        for (size_t i = 0; i < emoji_code_count; ++i)
            n = std::max(n, std::string_view(emoji_codes[i].code).size());
        return n;
    }();
    return longest;
}

bool code_character(char c) { return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_'; }

// The emoji of the short code at `at`, and *length its bytes; 0 when none
// begins there.
char32_t emoji_at(std::string_view text, size_t at, size_t *length)
{
    *length = 0;
    if (at >= text.size() || text[at] != ':')
        return 0;
    size_t end = at + 1;
    while (end < text.size() && end - at - 1 <= longest_code() && code_character(text[end]))
        ++end;
    if (end == at + 1 || end >= text.size() || text[end] != ':')
        return 0;
    auto found = points_by_code().find(text.substr(at + 1, end - at - 1));
    if (found == points_by_code().end())
        return 0;
    *length = end + 1 - at;
    return found->second;
}

}  // namespace

std::string emoji_to_short_codes(std::string_view utf8)
{
    std::string out;
    for (size_t at = 0, n; at < utf8.size(); at += n) {
        char32_t c = decode(utf8, at, &n);
        if (c == emoji_selector)
            continue;
        const char *code = code_of(c);
        if (!code) {
            out.append(utf8.substr(at, n));
            continue;
        }
        out.append(":").append(code).append(":");
        for (size_t m; at + n < utf8.size(); n += m) {
            char32_t next = decode(utf8, at + n, &m);
            if (next == zero_width_joiner && at + n + m < utf8.size()) {
                size_t joined;
                decode(utf8, at + n + m, &joined);
                m += joined;
            } else if (!rides_on_emoji(next)) {
                break;
            }
        }
    }
    return out;
}

std::string short_codes_to_emoji(std::string_view text)
{
    std::string out;
    for (size_t at = 0; at < text.size();) {
        size_t length;
        char32_t c = emoji_at(text, at, &length);
        if (c != 0) {
            encode(c, out);
            at += length;
        } else {
            out += text[at++];
        }
    }
    return out;
}

size_t short_code_at(std::string_view text, size_t at)
{
    size_t length;
    emoji_at(text, at, &length);
    return length;
}

}  // namespace chat
