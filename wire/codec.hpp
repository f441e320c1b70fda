// Converting between Shift_JIS on the wire and another character set: the
// locale's for the terminal client and the tools, UTF-8 for the gateway.
#pragma once

#include <iconv.h>
#include <string>
#include <string_view>

namespace chat {

// The GETA MARK 〓, put in Shift_JIS for a character it cannot hold.
inline constexpr std::string_view geta_mark = "\x81\xac";

class Codec {
public:
    Codec() = default;
    ~Codec();
    Codec(const Codec &) = delete;
    Codec &operator=(const Codec &) = delete;
    // Converts between Shift_JIS and `charset` (a name iconv knows, such
    // as "UTF-8", or the locale's from nl_langinfo(CODESET)). False when
    // there is no converter.
    bool open(const char *charset);
    // Bytes pass through unchanged both ways.
    void open_raw();
    // Whether the other character set is UTF-8, which can show emoji.
    bool utf8() const { return utf8_ && !raw_; }

    // Bytes that do not decode become U+FFFD (or '?' when the other set
    // is not UTF-8).
    std::string to_local(std::string_view sjis) const;
    // Each character that Shift_JIS cannot hold becomes 〓; *replaced
    // counts them when given.
    std::string to_wire(std::string_view local, size_t *replaced = nullptr) const;

private:
    void close_all();
    iconv_t in_ = reinterpret_cast<iconv_t>(-1);
    iconv_t out_ = reinterpret_cast<iconv_t>(-1);
    bool raw_ = false;
    bool utf8_ = false;
};

}  // namespace chat
