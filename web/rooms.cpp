// Rooms from the command line and from a --rooms file.
#include "rooms.hpp"

#include <cstdlib>

#include "i18n/i18n.hpp"
#include "i18n/sentence.hpp"
#include "logic.hpp"
#include "wire/control.hpp"

namespace chat_web {

bool parse_u16(const std::string &text, unsigned short &value)
{
    if (text.empty() || text.size() > 5 || text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    unsigned long number = strtoul(text.c_str(), nullptr, 10);
    if (number > 65535)
        return false;
    value = static_cast<unsigned short>(number);
    return true;
}

bool parse_endpoint(const std::string &text, std::string &host, unsigned short &port, bool host_required)
{
    size_t colon = text.rfind(':');
    if (colon == std::string::npos)
        return !host_required && parse_u16(text, port);
    std::string h = text.substr(0, colon);
    if (h.size() >= 2 && h.front() == '[' && h.back() == ']')
        h = h.substr(1, h.size() - 2);
    if (h.empty())
        return false;
    host = h;
    return parse_u16(text.substr(colon + 1), port);
}

bool valid_room_name(std::string_view name)
{
    return !name.empty() && name.size() <= room_name_max &&
           name.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789-_") ==
               std::string_view::npos;
}

bool valid_title(std::string_view title)
{
    if (title.empty() || title.size() > title_max || has_control(title))
        return false;
    for (size_t at = 0, length = 0; at < title.size(); at += length)
        if (!chat::utf8_code_point(title, at, length))
            return false;
    return true;
}

namespace {

// One field after the room's address: history=, archive= or title=.
std::string take_field(std::string_view field, Room &room)
{
    auto value = [&](std::string_view key) { return std::string(field.substr(key.size())); };
    if (field.starts_with("history=") && field.size() > 8) {
        room.history = value("history=");
        return "";
    }
    if (field.starts_with("archive=") && field.size() > 8) {
        room.archive = value("archive=");
        return "";
    }
    if (field.starts_with("title=")) {
        room.title = value("title=");
        if (valid_title(room.title))
            return "";
        return chat::sentence(_("a room's title is 1 to %zu bytes of UTF-8 without control characters"), title_max);
    }
    return chat::sentence(_("'%s' is none of history=FILE, archive=FILE and title=TEXT"),
                          std::string(field).c_str());
}

// The room's name and address, "NAME" and "HOST:PORT".
std::string take_name_and_address(const std::string &name, const std::string &address, Room &room)
{
    if (!valid_room_name(name))
        return chat::sentence(_("a room's name is 1 to %zu ASCII letters, digits, '-' and '_', not '%s'"),
                              room_name_max, name.c_str());
    room.name = name;
    if (!parse_endpoint(address, room.host, room.port, true) || room.port == 0)
        return chat::sentence(_("room %s wants HOST:PORT with PORT from 1 to 65535, not '%s'"), name.c_str(),
                              address.c_str());
    return "";
}

// The room joins the others, whose names it must not repeat.
std::string add(Room room, std::vector<Room> &rooms)
{
    for (const Room &other : rooms)
        if (other.name == room.name)
            return chat::sentence(_("there are two rooms named %s"), room.name.c_str());
    if (rooms.size() >= rooms_max)
        return chat::sentence(_("at most %zu rooms"), rooms_max);
    rooms.push_back(std::move(room));
    return "";
}

std::string_view trimmed(std::string_view text)
{
    size_t first = text.find_first_not_of(" \t\r");
    if (first == std::string_view::npos)
        return {};
    size_t last = text.find_last_not_of(" \t\r");
    return text.substr(first, last - first + 1);
}

// The next field of a line, skipping blanks; empty at its end or at a
// comment. A title takes the rest of the line, '#' and all.
std::string_view next_field(std::string_view &line)
{
    line = trimmed(line);
    if (line.empty() || line.front() == '#')
        return {};
    if (line.starts_with("title=")) {
        std::string_view field = line;
        line = {};
        return field;
    }
    size_t end = line.find_first_of(" \t");
    std::string_view field = line.substr(0, end);
    line = end == std::string_view::npos ? std::string_view() : line.substr(end);
    return field;
}

// One line of a rooms file: "NAME HOST:PORT [history=FILE] [archive=FILE]
// [title=TEXT]"; nothing on a blank or comment line.
std::string add_line(std::string_view line, std::vector<Room> &rooms)
{
    std::string_view name = next_field(line);
    if (name.empty())
        return "";
    std::string_view address = next_field(line);
    Room room;
    std::string problem = take_name_and_address(std::string(name), std::string(address), room);
    for (std::string_view field = next_field(line); problem.empty() && !field.empty(); field = next_field(line))
        problem = take_field(field, room);
    return problem.empty() ? add(std::move(room), rooms) : problem;
}

}  // namespace

std::string add_room_option(const std::string &value, std::vector<Room> &rooms)
{
    size_t equals = value.find('=');
    if (equals == std::string::npos)
        return chat::sentence(_("--room wants NAME=HOST:PORT[,history=FILE][,archive=FILE][,title=TEXT], not '%s'"),
                              value.c_str());
    std::string rest = value.substr(equals + 1);
    size_t comma = rest.find(',');
    Room room;
    std::string problem = take_name_and_address(value.substr(0, equals), rest.substr(0, comma), room);
    while (problem.empty() && comma != std::string::npos) {
        size_t next = rest.find(',', comma + 1);
        problem = take_field(std::string_view(rest).substr(comma + 1, next - comma - 1), room);
        comma = next;
    }
    return problem.empty() ? add(std::move(room), rooms) : "--room: " + problem;
}

std::string add_rooms_file(const std::string &path, const std::string &text, std::vector<Room> &rooms)
{
    size_t number = 0;
    for (size_t at = 0; at < text.size();) {
        size_t end = text.find('\n', at);
        std::string_view line = std::string_view(text).substr(at, end == std::string::npos ? end : end - at);
        ++number;
        std::string problem = add_line(line, rooms);
        if (!problem.empty())
            return chat::sentence(_("%s, line %zu: %s"), path.c_str(), number, problem.c_str());
        at = end == std::string::npos ? text.size() : end + 1;
    }
    return "";
}

}  // namespace chat_web
