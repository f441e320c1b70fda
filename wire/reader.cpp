// The reader of the server's stream: lines, records cut at 255 bytes, and
// the states between batches, inside one and after ERR.
#include "wire/reader.hpp"

#include <cstring>

#include "wire/colour.hpp"

namespace chat {

namespace {

bool is_frame_line(std::string_view line)
{
    return line == "OK" || line == "END" || line == "ERR";
}

}  // namespace

std::string_view strip_line_end(std::string_view line)
{
    if (!line.empty() && line.back() == '\n')
        line.remove_suffix(1);
    if (!line.empty() && line.back() == '\r')
        line.remove_suffix(1);
    return line;
}

bool looks_like_record(std::string_view line)
{
    if (line.size() <= colour_chars || line[colour_chars] != '\t')
        return false;
    for (size_t i = 0; i < colour_chars; ++i)
        if (strchr("0123456789-", line[i]) == nullptr || line[i] == '\0')
            return false;
    return true;
}

std::string_view explanation(reply_text reply)
{
    return std::string_view(reply.bytes + 5, reply.len - 7);
}

std::optional<std::string> Reader::take_line()
{
    size_t lf = buffer_.find('\n');
    if (lf == std::string::npos)
        return std::nullopt;
    std::string line(strip_line_end(std::string_view(buffer_).substr(0, lf + 1)));
    buffer_.erase(0, lf + 1);
    return line;
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
    std::string record(strip_line_end(std::string_view(buffer_).substr(0, end)));
    buffer_.erase(0, end);
    return record;
}

Event parse_record(std::string_view text)
{
    text = strip_line_end(text);
    Event e;
    e.kind = Event::record;
    e.text = std::string(text);
    size_t first = text.find('\t');
    size_t second = first == std::string_view::npos ? first : text.find('\t', first + 1);
    if (second == std::string_view::npos) {
        e.kind = Event::other;
        e.body = e.text;
        return e;
    }
    e.colour = text.substr(0, first);
    parse_colour_field(e.colour, e.rgb);
    e.sender = text.substr(first + 1, second - first - 1);
    e.body = text.substr(second + 1);
    e.system = e.sender == system_sender;
    return e;
}

std::optional<Event> Reader::next()
{
    Event event;
    for (;;) {
        Step step = state_ == State::between ? read_between(event)
                    : state_ == State::batch ? read_in_batch(event)
                                             : read_explanation(event);
        if (step == Step::event)
            return event;
        if (step == Step::wait)
            return std::nullopt;
    }
}

// OK opens a batch and ERR an error reply; a line shaped like a record is
// one whose OK was lost, and is read as a record. END and empty lines are
// dropped, anything else is passed on as it is.
Reader::Step Reader::read_between(Event &event)
{
    size_t lf = buffer_.find('\n');
    if (lf == std::string::npos)
        return Step::wait;
    std::string_view line = strip_line_end(std::string_view(buffer_).substr(0, lf + 1));
    if (looks_like_record(line)) {
        state_ = State::batch;
        batch_records_ = 0;
        return Step::again;
    }
    std::string taken(line);
    buffer_.erase(0, lf + 1);
    if (taken == "OK") {
        state_ = State::batch;
        batch_records_ = 0;
    } else if (taken == "ERR") {
        state_ = State::explanation;
    } else if (!taken.empty() && taken != "END") {
        event.body = taken;
        return Step::event;
    }
    return Step::again;
}

// Records until a frame line ends the batch. OK or ERR inside one means
// that its END was glued to a record that had no line end.
Reader::Step Reader::read_in_batch(Event &event)
{
    size_t lf = buffer_.find('\n');
    if (lf == std::string::npos && buffer_.size() < record_max)
        return Step::wait;
    if (lf != std::string::npos && lf < record_max &&
        is_frame_line(strip_line_end(std::string_view(buffer_).substr(0, lf + 1)))) {
        state_ = State::between;
        return Step::again;
    }
    auto record = take_record();
    if (!record)
        return Step::wait;
    event = parse_record(*record);
    event.place = ++batch_records_;
    return Step::event;
}

Reader::Step Reader::read_explanation(Event &event)
{
    auto line = take_line();
    if (!line)
        return Step::wait;
    state_ = State::between;
    event.kind = Event::error;
    event.body = *line;
    return Step::event;
}

}  // namespace chat
