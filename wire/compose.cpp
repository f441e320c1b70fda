// The composer: the login line, names, own records and notices as the
// server forms them.
#include "wire/compose.hpp"

#include <cstdio>

#include "wire/colour.hpp"
#include "wire/reader.hpp"
#include "src/common/protocol.hpp"

namespace chat {

bool valid_name(std::string_view sjis_name)
{
    return !sjis_name.empty() && sjis_name.size() <= name_max &&
           sjis_name.find_first_of(std::string_view(" \t\r\n\v\f\0", 7)) == std::string_view::npos &&
           !reserved_name(sjis_name);
}

bool reserved_name(std::string_view sjis_name) { return sjis_name == system_sender; }

std::string login_line(const int colour[3], std::string_view sjis_name)
{
    return "LGIN " + colour_field(colour) + " " + std::string(sjis_name) + "\r\n";
}

std::string own_record(const int colour[3], std::string_view name, std::string_view body)
{
    return colour_field(colour) + "\t" + std::string(name) + "\t" + std::string(body);
}

std::string notice_record(const char *format, const int colour[3], std::string_view name)
{
    char text[text_size];
    std::string n(name);
    snprintf(text, sizeof text, format, colour[0], colour[1], colour[2], n.c_str());
    return std::string(strip_line_end(text));
}

std::string notice_name(const char *format, std::string_view body)
{
    const int colour[3] = {0, 0, 0};
    std::string tail = parse_record(notice_record(format, colour, "")).body;  // what follows the name
    if (body.size() <= tail.size() || body.substr(body.size() - tail.size()) != tail)
        return "";
    return std::string(body.substr(0, body.size() - tail.size()));
}

}  // namespace chat
