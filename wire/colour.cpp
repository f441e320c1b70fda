// The colour field, and the name colour: a hash of the name picks a hue.
#include "wire/colour.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace chat {

std::string colour_field(const int colour[3])
{
    char field[16];
    snprintf(field, sizeof field, "%03d%03d%03d", colour[0], colour[1], colour[2]);
    return field;
}

void parse_colour_field(std::string_view field, int colour[3])
{
    for (size_t i = 0; i < 3; ++i) {
        std::string part(field.substr(std::min(field.size(), i * 3), 3));
        colour[i] = static_cast<int>(strtol(part.c_str(), nullptr, 10));
    }
}

void stable_colour(std::string_view sjis_name, int colour[3])
{
    uint32_t hash = 2166136261u;  // FNV-1a
    for (unsigned char c : sjis_name)
        hash = (hash ^ c) * 16777619u;
    // A bright, fairly saturated hue, readable on dark and light screens.
    double hue = (hash % 360) / 60.0, saturation = 0.65, value = 0.9;
    double chroma = value * saturation;
    double x = chroma * (1 - std::fabs(std::fmod(hue, 2.0) - 1));
    double rgb[3] = {0, 0, 0};
    int sector = static_cast<int>(hue);
    static const int order[6][2] = {{0, 1}, {1, 0}, {1, 2}, {2, 1}, {2, 0}, {0, 2}};
    rgb[order[sector][0]] = chroma;  // the sector picks the largest component
    rgb[order[sector][1]] = x;
    for (int i = 0; i < 3; ++i)
        colour[i] = static_cast<int>(std::lround((rgb[i] + value - chroma) * 255));
}

}  // namespace chat
