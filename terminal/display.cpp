// Drawing records: the clock, the colour escapes and defusing control bytes.
#include "terminal/display.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <langinfo.h>
#include <unistd.h>

#include "wire/control.hpp"
#include "wire/emoji.hpp"

namespace chat {

namespace {

int clamp(int v) { return std::clamp(v, 0, 255); }
long square(int v) { return long {v} * v; }

struct Rgb {
    int red, green, blue;
};

// Names are drawn with a relative luminance in this band, where bold
// letters keep 3:1 against a white background and against the dark grey of
// a dark one; the terminal's background is unknown, so both must hold.
constexpr double least_luminance = 0.14, most_luminance = 0.29;

// An sRGB component (0 to 255) as linear light, and back.
double linear(int component)
{
    double c = component / 255.0;
    return c <= 0.04045 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4);
}

int encoded(double light)
{
    double c = light <= 0.0031308 ? 12.92 * light : 1.055 * std::pow(light, 1 / 2.4) - 0.055;
    return clamp(static_cast<int>(std::lround(c * 255)));
}

double luminance(Rgb c)
{
    return 0.2126 * linear(c.red) + 0.7152 * linear(c.green) + 0.0722 * linear(c.blue);
}

bool readable(Rgb c)
{
    double l = luminance(c);
    return l >= least_luminance - 0.005 && l <= most_luminance + 0.005;  // the rounding of encoded
}

// The colour moved into the band with its hue kept: a light one darkened
// (every component scaled in linear light), a dark one mixed with white.
Rgb readable_colour(Rgb c)
{
    double light[3] = {linear(c.red), linear(c.green), linear(c.blue)};
    double l = luminance(c);
    for (double &component : light) {
        if (l > most_luminance)
            component *= most_luminance / l;
        else if (l < least_luminance)
            component += (1 - component) * (least_luminance - l) / (1 - l);
    }
    return {encoded(light[0]), encoded(light[1]), encoded(light[2])};
}

// An entry of the xterm palette beyond the 16 the user may have set: the
// 6x6x6 cube, then 24 greys.
Rgb palette_256(int index)
{
    static const int levels[6] = {0, 95, 135, 175, 215, 255};
    if (index >= 232) {
        int grey = 8 + 10 * (index - 232);
        return {grey, grey, grey};
    }
    int cube = index - 16;
    return {levels[cube / 36], levels[cube / 6 % 6], levels[cube % 6]};
}

}  // namespace

std::string defuse_controls(std::string_view text, Charset set)
{
    std::string out;
    for (size_t i = 0; i < text.size();) {
        TextUnit unit = text_unit(text, i, set);
        if (text[i] == '\t')
            out += ' ';
        else if (!unit.safe)
            out += '?';
        else
            out.append(text.substr(i, unit.length));
        i += unit.length;
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
    s.charset = charset_of(nl_langinfo(CODESET));
    return s;
}

int nearest_256(int red, int green, int blue)
{
    int best = 16;
    long best_distance = -1;
    for (int index = 16; index < 256; ++index) {
        Rgb entry = palette_256(index);
        if (!readable(entry))
            continue;
        long distance = square(entry.red - red) + square(entry.green - green) + square(entry.blue - blue);
        if (best_distance < 0 || distance < best_distance)
            best = index, best_distance = distance;
    }
    return best;
}

std::string colour_escape(int red, int green, int blue, bool truecolor)
{
    Rgb drawn = readable_colour({clamp(red), clamp(green), clamp(blue)});
    char escape[32];
    if (truecolor)
        snprintf(escape, sizeof escape, "\033[1;38;2;%d;%d;%dm", drawn.red, drawn.green, drawn.blue);
    else
        snprintf(escape, sizeof escape, "\033[1;38;5;%dm", nearest_256(drawn.red, drawn.green, drawn.blue));
    return escape;
}

std::string local_text(std::string_view sjis, const Codec &codec)
{
    std::string text = codec.to_local(sjis);
    return codec.utf8() ? short_codes_to_emoji(text) : text;
}

std::string format_event(const Event &event, const Style &style, const Codec &codec, time_t when)
{
    std::string line = clock_text(when, style) + " ";
    std::string body = defuse_controls(local_text(event.body, codec), style.charset);
    const char *reset = style.colour ? "\033[0m" : "";
    constexpr std::string_view action = "/me ";
    if (event.kind == Event::error) {
        line += style.colour ? "\033[1;31m" : "";
        line += "! " + body + reset;
    } else if (event.kind == Event::other) {
        line += body;
    } else if (event.system) {
        line += style.colour ? "\033[2;3m" : "";
        line += "* " + body + reset;
    } else {
        bool acts = event.body.compare(0, action.size(), action) == 0;
        std::string name = defuse_controls(codec.to_local(event.sender), style.charset);
        if (acts)
            line += "* ";
        if (style.colour)
            line += colour_escape(event.rgb[0], event.rgb[1], event.rgb[2], style.truecolor) + name + reset;
        else
            line += name;
        if (acts && style.colour)
            line += " \033[3m" + body.substr(action.size()) + reset;
        else if (acts)
            line += " " + body.substr(action.size());
        else
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
