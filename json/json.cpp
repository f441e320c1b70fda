// The JSON parser for the page's flat objects and the writer of the
// gateway's and chat_history's objects.
#include "json/json.hpp"

#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace chat {

namespace {

// A cursor over the text with the few readers a flat object needs.
class Parser {
public:
    explicit Parser(std::string_view text) : s_(text) {}

    std::optional<JsonObject> object()
    {
        JsonObject out;
        if (!take('{'))
            return std::nullopt;
        if (take('}'))
            return finish(out);
        do {
            auto name = string();
            if (!name || !take(':') || out.count(*name))
                return std::nullopt;
            JsonValue value;
            if (!this->value(value))
                return std::nullopt;
            out.emplace(std::move(*name), std::move(value));
        } while (take(','));
        if (!take('}'))
            return std::nullopt;
        return finish(out);
    }

private:
    std::optional<JsonObject> finish(JsonObject &out)
    {
        skip_space();
        if (i_ != s_.size())
            return std::nullopt;
        return std::move(out);
    }

    void skip_space()
    {
        while (i_ < s_.size() && (s_[i_] == ' ' || s_[i_] == '\t' || s_[i_] == '\n' || s_[i_] == '\r'))
            ++i_;
    }

    bool take(char c)
    {
        skip_space();
        if (i_ < s_.size() && s_[i_] == c) {
            ++i_;
            return true;
        }
        return false;
    }

    bool word(std::string_view w)
    {
        skip_space();
        if (s_.substr(i_, w.size()) != w)
            return false;
        i_ += w.size();
        return true;
    }

    bool value(JsonValue &out)
    {
        skip_space();
        if (i_ >= s_.size())
            return false;
        char c = s_[i_];
        if (c == '"') {
            auto text = string();
            if (text)
                out = std::move(*text);
            return text.has_value();
        }
        if (word("true")) {
            out = true;
            return true;
        }
        if (word("false") || word("null")) {
            out = false;
            return true;
        }
        if (c == '[')
            return numbers(out);
        auto n = number();
        if (n)
            out = *n;
        return n.has_value();
    }

    bool numbers(JsonValue &out)
    {
        std::vector<double> list;
        take('[');
        if (!take(']')) {
            do {
                auto n = number();
                if (!n || list.size() >= 16)
                    return false;
                list.push_back(*n);
            } while (take(','));
            if (!take(']'))
                return false;
        }
        out = std::move(list);
        return true;
    }

    std::optional<double> number()
    {
        skip_space();
        size_t start = i_;
        while (i_ < s_.size() && std::string_view("+-0123456789.eE").find(s_[i_]) != std::string_view::npos)
            ++i_;
        if (start == i_ || i_ - start > 32)
            return std::nullopt;
        std::string digits(s_.substr(start, i_ - start));
        char *end = nullptr;
        double d = strtod(digits.c_str(), &end);
        if (*end != '\0' || !std::isfinite(d))
            return std::nullopt;
        return d;
    }

    static void append_utf8(std::string &out, unsigned long cp)
    {
        if (cp < 0x80) {
            out += static_cast<char>(cp);
        } else if (cp < 0x800) {
            out += static_cast<char>(0xc0 | cp >> 6);
            out += static_cast<char>(0x80 | (cp & 0x3f));
        } else if (cp < 0x10000) {
            out += static_cast<char>(0xe0 | cp >> 12);
            out += static_cast<char>(0x80 | (cp >> 6 & 0x3f));
            out += static_cast<char>(0x80 | (cp & 0x3f));
        } else {
            out += static_cast<char>(0xf0 | cp >> 18);
            out += static_cast<char>(0x80 | (cp >> 12 & 0x3f));
            out += static_cast<char>(0x80 | (cp >> 6 & 0x3f));
            out += static_cast<char>(0x80 | (cp & 0x3f));
        }
    }

    std::optional<unsigned long> hex4()
    {
        if (i_ + 4 > s_.size())
            return std::nullopt;
        std::string h(s_.substr(i_, 4));
        char *end = nullptr;
        unsigned long v = strtoul(h.c_str(), &end, 16);
        if (*end != '\0' || h.find_first_of("+- ") != std::string::npos)
            return std::nullopt;
        i_ += 4;
        return v;
    }

    // \uXXXX, joining a surrogate pair; a lone surrogate becomes U+FFFD.
    bool escaped_unit(std::string &out)
    {
        auto cp = hex4();
        if (!cp)
            return false;
        if (*cp >= 0xd800 && *cp < 0xdc00 && s_.substr(i_, 2) == "\\u") {
            size_t back = i_;
            i_ += 2;
            auto low = hex4();
            if (low && *low >= 0xdc00 && *low < 0xe000) {
                append_utf8(out, 0x10000 + ((*cp - 0xd800) << 10) + (*low - 0xdc00));
                return true;
            }
            i_ = back;
        }
        append_utf8(out, *cp >= 0xd800 && *cp < 0xe000 ? 0xfffd : *cp);
        return true;
    }

    std::optional<std::string> string()
    {
        if (!take('"'))
            return std::nullopt;
        std::string out;
        while (i_ < s_.size()) {
            char c = s_[i_++];
            if (c == '"')
                return out;
            if (static_cast<unsigned char>(c) < 0x20)
                return std::nullopt;
            if (c != '\\') {
                out += c;
                continue;
            }
            if (i_ >= s_.size())
                return std::nullopt;
            char e = s_[i_++];
            const char *plain = strchr_escape(e);
            if (plain)
                out += *plain;
            else if (e != 'u' || !escaped_unit(out))
                return std::nullopt;
        }
        return std::nullopt;
    }

    static const char *strchr_escape(char e)
    {
        static const char from[] = "\"\\/bfnrt", to[] = "\"\\/\b\f\n\r\t";
        for (size_t k = 0; from[k]; ++k)
            if (from[k] == e)
                return &to[k];
        return nullptr;
    }

    std::string_view s_;
    size_t i_ = 0;
};

// Appends the escaped form of the character at `utf8[i]`, which is not
// plain; returns how many bytes it took.
size_t escape_one(std::string &out, std::string_view utf8, size_t i)
{
    unsigned char c = static_cast<unsigned char>(utf8[i]);
    if (c == '"' || c == '\\') {
        out += '\\';
        out += static_cast<char>(c);
        return 1;
    }
    if (c == 0xe2 && i + 2 < utf8.size() && utf8[i + 1] == '\x80' && (utf8[i + 2] == '\xa8' || utf8[i + 2] == '\xa9')) {
        out += utf8[i + 2] == '\xa8' ? "\\u2028" : "\\u2029";
        return 3;
    }
    if (c == 0xe2) {
        out += static_cast<char>(c);
        return 1;
    }
    char buf[8];
    snprintf(buf, sizeof buf, "\\u%04x", c);  // controls and < > &
    out += buf;
    return 1;
}

}  // namespace

std::optional<JsonObject> parse_object(std::string_view text) { return Parser(text).object(); }

std::optional<std::string> get_string(const JsonObject &object, std::string_view key)
{
    auto it = object.find(key);
    if (it == object.end() || !std::holds_alternative<std::string>(it->second))
        return std::nullopt;
    return std::get<std::string>(it->second);
}

std::optional<std::vector<double>> get_numbers(const JsonObject &object, std::string_view key)
{
    auto it = object.find(key);
    if (it == object.end() || !std::holds_alternative<std::vector<double>>(it->second))
        return std::nullopt;
    return std::get<std::vector<double>>(it->second);
}

// Appends `utf8` as a JSON string literal. Runs of plain characters go
// in whole: most texts have nothing to escape.
static void append_quoted(std::string &out, std::string_view utf8)
{
    auto plain = [](unsigned char c) {
        return c >= 0x20 && c != '"' && c != '\\' && c != '<' && c != '>' && c != '&' && c != 0xe2;
    };
    out += '"';
    size_t i = 0;
    while (i < utf8.size()) {
        size_t run = i;
        while (run < utf8.size() && plain(static_cast<unsigned char>(utf8[run])))
            ++run;
        out.append(utf8, i, run - i);
        if (run == utf8.size())
            break;
        i = run + escape_one(out, utf8, run);
    }
    out += '"';
}

std::string quote(std::string_view utf8)
{
    std::string out;
    append_quoted(out, utf8);
    return out;
}

void JsonWriter::key(std::string_view name)
{
    if (out_.size() > 1)
        out_ += ',';
    append_quoted(out_, name);
    out_ += ':';
}

JsonWriter &JsonWriter::add(std::string_view name, std::string_view value)
{
    key(name);
    append_quoted(out_, value);
    return *this;
}

JsonWriter &JsonWriter::add(std::string_view name, bool value)
{
    key(name);
    out_ += value ? "true" : "false";
    return *this;
}

JsonWriter &JsonWriter::add_json(std::string_view name, std::string_view json)
{
    key(name);
    out_ += json;
    return *this;
}

JsonWriter &JsonWriter::add(std::string_view name, long long value)
{
    key(name);
    out_ += std::to_string(value);
    return *this;
}

JsonWriter &JsonWriter::add(std::string_view name, const std::vector<int> &values)
{
    key(name);
    out_ += '[';
    for (size_t i = 0; i < values.size(); ++i) {
        if (i)
            out_ += ',';
        out_ += std::to_string(values[i]);
    }
    out_ += ']';
    return *this;
}

}  // namespace chat
