// The splitter: Shift_JIS lead bytes and the room a record leaves a body.
#include "wire/splitter.hpp"

#include "src/common/protocol.hpp"

namespace chat {

namespace {

bool is_lead_byte(unsigned char c)
{
    return (c >= 0x81 && c <= 0x9f) || (c >= 0xe0 && c <= 0xfc);
}

}  // namespace

std::vector<std::string> split_message(std::string_view sjis, size_t limit)
{
    std::vector<std::string> pieces;
    std::string piece;
    for (size_t i = 0; i < sjis.size();) {
        size_t width = is_lead_byte(static_cast<unsigned char>(sjis[i])) && i + 1 < sjis.size() ? 2 : 1;
        if (piece.size() + width > limit) {
            pieces.push_back(piece);
            piece.clear();
        }
        piece.append(sjis.substr(i, width));
        i += width;
    }
    if (!piece.empty() || pieces.empty())
        pieces.push_back(piece);
    return pieces;
}

size_t body_limit(std::string_view sjis_name)
{
    // Colour, TAB, name, TAB, body, CR LF.
    return record_max - colour_chars - 1 - sjis_name.size() - 1 - 2;
}

}  // namespace chat
