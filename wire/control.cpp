// Telling characters from controls and lone bytes in the character sets a
// terminal may read: UTF-8 and Shift_JIS by their own rules, anything else
// through the C library's decoder for the locale.
#include "wire/control.hpp"

#include <cctype>
#include <cwchar>
#include <string>

namespace chat {

namespace {

bool between(unsigned char c, unsigned char low, unsigned char high) { return c >= low && c <= high; }

}  // namespace

// Strict UTF-8: no overlong forms, no surrogates, nothing past U+10FFFF.
std::optional<char32_t> utf8_code_point(std::string_view text, size_t at, size_t &length)
{
    auto byte = [&](size_t i) { return at + i < text.size() ? static_cast<unsigned char>(text[at + i]) : 0; };
    unsigned char lead = byte(0);
    if (lead < 0x80) {
        length = 1;
        return lead;
    }
    length = between(lead, 0xc2, 0xdf) ? 2 : between(lead, 0xe0, 0xef) ? 3 : between(lead, 0xf0, 0xf4) ? 4 : 0;
    if (length == 0)
        return std::nullopt;
    // The second byte's range is narrower after E0, ED, F0 and F4.
    unsigned char low = lead == 0xe0 ? 0xa0 : lead == 0xf0 ? 0x90 : 0x80;
    unsigned char high = lead == 0xed ? 0x9f : lead == 0xf4 ? 0x8f : 0xbf;
    if (!between(byte(1), low, high))
        return std::nullopt;
    char32_t c = lead & (0x7f >> length);
    for (size_t i = 1; i < length; ++i) {
        if (!between(byte(i), 0x80, 0xbf))
            return std::nullopt;
        c = c << 6 | (byte(i) & 0x3f);
    }
    return c;
}

namespace {

TextUnit character(size_t length, char32_t c) { return {length, !is_control(c) && !is_reordering(c)}; }

constexpr TextUnit lone_byte {1, false};

TextUnit utf8_unit(std::string_view text, size_t at)
{
    size_t length = 0;
    auto c = utf8_code_point(text, at, length);
    return c ? character(length, *c) : lone_byte;
}

// Shift_JIS with Windows' extensions: a lead byte and a trail byte, or one
// byte (ASCII, half-width katakana). Whether a pair is assigned does not
// matter here: a terminal takes it as one character either way.
TextUnit shift_jis_unit(std::string_view text, size_t at)
{
    auto lead = static_cast<unsigned char>(text[at]);
    if (lead < 0x80)
        return character(1, lead);
    if (between(lead, 0xa1, 0xdf))
        return {1, true};
    if (!between(lead, 0x81, 0x9f) && !between(lead, 0xe0, 0xfc))
        return lone_byte;  // 0x80, 0xA0, 0xFD to 0xFF
    if (at + 1 >= text.size())
        return lone_byte;
    auto trail = static_cast<unsigned char>(text[at + 1]);
    return between(trail, 0x40, 0x7e) || between(trail, 0x80, 0xfc) ? TextUnit {2, true} : lone_byte;
}

// The locale's own rules; wchar_t holds Unicode on the systems this runs on.
TextUnit locale_unit(std::string_view text, size_t at)
{
    std::mbstate_t state {};
    wchar_t c = 0;
    size_t length = std::mbrtowc(&c, text.data() + at, text.size() - at, &state);
    if (length == 0)
        return lone_byte;  // NUL
    if (length == static_cast<size_t>(-1) || length == static_cast<size_t>(-2))
        return lone_byte;
    return character(length, static_cast<char32_t>(c));
}

}  // namespace

Charset charset_of(std::string_view codeset)
{
    std::string name;
    for (char c : codeset)
        if (c != '-' && c != '_')
            name += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (name == "UTF8")
        return Charset::utf8;
    for (const char *sjis : {"SHIFTJIS", "SJIS", "SHIFTJISX0213", "CP932", "WINDOWS31J", "MSKANJI"})
        if (name == sjis)
            return Charset::shift_jis;
    return Charset::locale;
}

TextUnit text_unit(std::string_view text, size_t at, Charset set)
{
    switch (set) {
    case Charset::utf8: return utf8_unit(text, at);
    case Charset::shift_jis: return shift_jis_unit(text, at);
    case Charset::locale: break;
    }
    return locale_unit(text, at);
}

}  // namespace chat
