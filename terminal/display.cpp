// Drawing records: the clock, the colour escapes and defusing control bytes.
#include "terminal/display.hpp"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

namespace chat {

namespace {

int clamp(int v) { return std::clamp(v, 0, 255); }

}  // namespace

std::string defuse_controls(std::string_view text)
{
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (c == '\t')
            out += ' ';
        else if (c < 0x20 || c == 0x7f)
            out += '?';
        else if (c == 0xc2 && i + 1 < text.size() &&
                 static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
                 static_cast<unsigned char>(text[i + 1]) <= 0x9f)
            out += '?', ++i;  // a UTF-8 C1 control
        else
            out += static_cast<char>(c);
    }
    return out;
}

std::string clock_text(time_t when, const Style &style)
{
    char stamp[32];
    struct tm local;
    localtime_r(&when, &local);
    strftime(stamp, sizeof stamp, style.date ? "%Y-%m-%d %H:%M:%S" : "%H:%M:%S", &local);
    return stamp;
}

Style choose_style(int fd, bool no_colour_option)
{
    Style s;
    const char *no_color = getenv("NO_COLOR");
    s.colour = isatty(fd) && !no_colour_option && !(no_color && *no_color);
    const char *colorterm = getenv("COLORTERM");
    s.truecolor = colorterm && (strcmp(colorterm, "truecolor") == 0 || strcmp(colorterm, "24bit") == 0);
    return s;
}

int nearest_256(int red, int green, int blue)
{
    static const int levels[6] = {0, 95, 135, 175, 215, 255};
    auto index = [](int v) {
        int best = 0;
        for (int i = 1; i < 6; ++i)
            if (std::abs(levels[i] - v) < std::abs(levels[best] - v))
                best = i;
        return best;
    };
    int r = index(clamp(red)), g = index(clamp(green)), b = index(clamp(blue));
    auto distance = [&](int cr, int cg, int cb) {
        return (cr - clamp(red)) * (cr - clamp(red)) + (cg - clamp(green)) * (cg - clamp(green)) +
               (cb - clamp(blue)) * (cb - clamp(blue));
    };
    int cube = 16 + 36 * r + 6 * g + b;
    int cube_distance = distance(levels[r], levels[g], levels[b]);
    int grey_level = std::clamp((clamp(red) + clamp(green) + clamp(blue)) / 3 - 8, 0, 230) / 10;
    int grey_value = 8 + 10 * grey_level;
    if (distance(grey_value, grey_value, grey_value) < cube_distance)
        return 232 + grey_level;
    return cube;
}

std::string colour_escape(int red, int green, int blue, bool truecolor)
{
    char escape[32];
    if (truecolor)
        snprintf(escape, sizeof escape, "\033[1;38;2;%d;%d;%dm", clamp(red), clamp(green), clamp(blue));
    else
        snprintf(escape, sizeof escape, "\033[1;38;5;%dm", nearest_256(red, green, blue));
    return escape;
}

std::string format_event(const Event &event, const Style &style, const Codec &codec, time_t when)
{
    std::string line = clock_text(when, style) + " ";
    std::string body = defuse_controls(codec.to_local(event.body));
    const char *reset = style.colour ? "\033[0m" : "";
    if (event.kind == Event::error) {
        line += style.colour ? "\033[1;31m" : "";
        line += "! " + body + reset;
    } else if (event.kind == Event::other) {
        line += body;
    } else if (event.system) {
        line += style.colour ? "\033[2;3m" : "";
        line += "* " + body + reset;
    } else {
        std::string name = defuse_controls(codec.to_local(event.sender));
        if (style.colour)
            line += colour_escape(event.rgb[0], event.rgb[1], event.rgb[2], style.truecolor) + name + reset;
        else
            line += name;
        line += ": " + body;
    }
    return line;
}

std::string format_note(std::string_view text, const Style &style, time_t when)
{
    std::string line = clock_text(when, style) + " ";
    if (style.colour)
        return line + "\033[1;31m! " + std::string(text) + "\033[0m";
    return line + "! " + std::string(text);
}

}  // namespace chat
