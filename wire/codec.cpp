// The codec on iconv: CP932 on the wire, 〓 for what it cannot hold, and
// U+FFFD for bytes that do not decode.
#include "wire/codec.hpp"

#include <cerrno>
#include <cstring>

namespace chat {

namespace {

// Shift_JIS as Windows writes it: a superset that also holds the few
// characters (～ ∥ －) that plain Shift_JIS maps elsewhere.
constexpr const char *wire_charset = "CP932";
const iconv_t no_converter = reinterpret_cast<iconv_t>(-1);

// The length of the UTF-8 character at `p` (at most `left` bytes): its
// lead byte and the continuation bytes that follow; 1 for a stray byte.
size_t utf8_width(const char *p, size_t left)
{
    unsigned char lead = static_cast<unsigned char>(*p);
    size_t width = lead >= 0xf0 && lead <= 0xf4 ? 4 : lead >= 0xe0 && lead <= 0xef ? 3 : lead >= 0xc2 && lead < 0xe0 ? 2 : 1;
    size_t n = 1;
    while (n < width && n < left && (static_cast<unsigned char>(p[n]) & 0xc0) == 0x80)
        ++n;
    return n;
}

// Converts what it can; where a character does not convert, appends `bad`
// and goes on `skip(at)` bytes later. Returns how many were replaced.
template <class Skip>
size_t convert(iconv_t cd, std::string_view in, std::string_view bad, std::string &out, Skip skip)
{
    char *src = const_cast<char *>(in.data());  // iconv's signature; it only reads the input
    size_t left = in.size(), replaced = 0;
    char buf[1024];
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
    while (left > 0) {
        char *dst = buf;
        size_t room = sizeof buf;
        size_t r = iconv(cd, &src, &left, &dst, &room);
        out.append(buf, static_cast<size_t>(dst - buf));
        if (r == static_cast<size_t>(-1) && errno != E2BIG) {
            out.append(bad);  // EILSEQ, or EINVAL for a cut last character
            size_t n = skip(src, left);
            src += n;
            left -= n;
            ++replaced;
        }
    }
    return replaced;
}

// CP932 and UTF-8 agree on the bytes below 0x80, so such a text needs no
// conversion between them.
bool plain_ascii(std::string_view text)
{
    for (char c : text)
        if (static_cast<unsigned char>(c) >= 0x80)
            return false;
    return true;
}

}  // namespace

Codec::~Codec() { close_all(); }

void Codec::close_all()
{
    if (in_ != no_converter)
        iconv_close(in_);
    if (out_ != no_converter)
        iconv_close(out_);
    in_ = out_ = no_converter;
}

bool Codec::open(const char *charset)
{
    close_all();
    raw_ = false;
    utf8_ = strcmp(charset, "UTF-8") == 0 || strcmp(charset, "UTF8") == 0;
    in_ = iconv_open(charset, wire_charset);
    out_ = iconv_open(wire_charset, charset);
    return in_ != no_converter && out_ != no_converter;
}

void Codec::open_raw()
{
    close_all();
    raw_ = true;
}

std::string Codec::to_local(std::string_view sjis) const
{
    if (raw_ || (utf8_ && plain_ascii(sjis)))
        return std::string(sjis);
    std::string out;
    convert(in_, sjis, utf8_ ? "\xef\xbf\xbd" : "?", out, [](const char *, size_t) { return size_t {1}; });
    return out;
}

std::string Codec::to_wire(std::string_view local, size_t *replaced) const
{
    size_t count = 0;
    std::string out;
    if (raw_ || (utf8_ && plain_ascii(local)))
        out = std::string(local);
    else
        count = convert(out_, local, geta_mark, out, [this](const char *p, size_t left) {
            return utf8_ ? utf8_width(p, left) : size_t {1};
        });
    if (replaced)
        *replaced = count;
    return out;
}

}  // namespace chat
