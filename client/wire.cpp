#include "wire.hpp"

#include <cstdio>

namespace chat_client {

// The server's own texts, taken from the server's table of them.
static std::string_view explanation(reply_text reply)
{
    return std::string_view(reply.bytes + 5, reply.len - 7);  // between "ERR\r\n" and "\r\n"
}

std::string_view explanation_server_full() { return explanation(reply_full); }
std::string_view explanation_server_stopped() { return explanation(reply_server_stopped); }

std::string_view system_sender()
{
    std::string_view notice = notice_login;  // colour, TAB, sender, TAB, ...
    size_t first = notice.find('\t');
    return notice.substr(first + 1, notice.find('\t', first + 1) - first - 1);
}

static std::string strip_line_end(std::string line)
{
    if (!line.empty() && line.back() == '\n')
        line.pop_back();
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    return line;
}

std::optional<std::string> Reader::take_line()
{
    size_t lf = buffer_.find('\n');
    if (lf == std::string::npos)
        return std::nullopt;
    std::string line = buffer_.substr(0, lf + 1);
    buffer_.erase(0, lf + 1);
    return strip_line_end(line);
}

// A record ends at its line end; one that the server cut has none and is
// exactly 255 bytes long.
std::optional<std::string> Reader::take_record()
{
    size_t lf = buffer_.find('\n');
    size_t end;
    if (lf != std::string::npos && lf < record_max)
        end = lf + 1;
    else if (buffer_.size() >= record_max)
        end = record_max;
    else
        return std::nullopt;
    std::string record = buffer_.substr(0, end);
    buffer_.erase(0, end);
    return strip_line_end(record);
}

static Event parse_record(const std::string &text)
{
    Event e {Event::record, "", "", "", false, text};
    size_t first = text.find('\t');
    size_t second = first == std::string::npos ? first : text.find('\t', first + 1);
    if (second == std::string::npos) {
        e.kind = Event::other;
        e.body = text;
        return e;
    }
    e.colour = text.substr(0, first);
    e.sender = text.substr(first + 1, second - first - 1);
    e.body = text.substr(second + 1);
    e.system = e.sender == system_sender();
    return e;
}

std::optional<Event> Reader::next()
{
    for (;;) {
        if (in_batch_) {
            if (buffer_.compare(0, 5, "END\r\n") == 0) {
                buffer_.erase(0, 5);
                in_batch_ = false;
                continue;
            }
            if (buffer_.size() < 5 && std::string_view("END\r\n").starts_with(buffer_))
                return std::nullopt;
            auto record = take_record();
            if (!record)
                return std::nullopt;
            return parse_record(*record);
        }
        auto line = take_line();
        if (!line)
            return std::nullopt;
        if (want_explanation_) {
            want_explanation_ = false;
            return Event {Event::error, "", "", *line, false, ""};
        }
        if (*line == "OK")
            in_batch_ = true;
        else if (*line == "ERR")
            want_explanation_ = true;
        else if (!line->empty() && *line != "END")
            return Event {Event::other, "", "", *line, false, ""};
    }
}

static bool is_lead_byte(unsigned char c)
{
    return (c >= 0x81 && c <= 0x9f) || (c >= 0xe0 && c <= 0xfc);
}

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
    return record_max - 9 - 1 - sjis_name.size() - 1 - 2;
}

std::string own_record(const int colour[3], std::string_view name, std::string_view body)
{
    char head[16];
    snprintf(head, sizeof head, "%03d%03d%03d", colour[0], colour[1], colour[2]);
    return std::string(head) + "\t" + std::string(name) + "\t" + std::string(body);
}

}  // namespace chat_client
