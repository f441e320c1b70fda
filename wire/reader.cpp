// The reader of the server's stream: lines, records cut at 255 bytes, and
// the states between batches, inside one and after ERR.
#include "wire/reader.hpp"

#include <algorithm>
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

// Appends what the stream brought. A line that grows past line_max gets
// its LF there, and what follows of it is dropped as it comes.
void Reader::feed(std::string_view bytes)
{
    drop_read_bytes();
    while (!bytes.empty()) {
        size_t lf = bytes.find('\n');
        if (dropping_) {
            if (lf == std::string_view::npos)
                return;
            bytes.remove_prefix(lf + 1);
            dropping_ = false;
            line_ = 0;
            continue;
        }
        size_t length = lf == std::string_view::npos ? bytes.size() : lf;
        if (line_ + length > line_max) {
            size_t kept = line_max - line_;
            buffer_.append(bytes.substr(0, kept));
            buffer_ += '\n';
            cuts_.push_back(buffer_.size());
            line_ = 0;
            if (lf == std::string_view::npos)
                dropping_ = true;
            bytes.remove_prefix(lf == std::string_view::npos ? bytes.size() : lf + 1);
            continue;
        }
        size_t taken = lf == std::string_view::npos ? bytes.size() : lf + 1;
        buffer_.append(bytes.substr(0, taken));
        line_ = lf == std::string_view::npos ? line_ + taken : 0;
        bytes.remove_prefix(taken);
    }
}

// The bytes already taken go, so that the buffer holds at most what is
// unread; the positions kept into it move with them.
void Reader::drop_read_bytes()
{
    if (start_ == 0)
        return;
    buffer_.erase(0, start_);
    searched_ = searched_ > start_ ? searched_ - start_ : 0;
    for (size_t &cut : cuts_)
        cut = cut > start_ ? cut - start_ : 0;
    start_ = 0;
}

size_t Reader::line_end()
{
    size_t lf = buffer_.find('\n', std::max(start_, searched_));
    searched_ = lf == std::string::npos ? buffer_.size() : lf;
    return lf == std::string::npos ? lf : lf - start_;
}

std::string Reader::take(size_t count)
{
    std::string taken(strip_line_end(unread().substr(0, count)));
    start_ += count;
    return taken;
}

std::optional<std::string> Reader::take_line()
{
    size_t lf = line_end();
    if (lf == std::string::npos)
        return std::nullopt;
    return take(lf + 1);
}

// A record ends at its line end; one that the server cut has none and is
// exactly 255 bytes long.
std::optional<std::string> Reader::take_record()
{
    size_t lf = line_end();
    if (lf != std::string::npos && lf < record_max)
        return take(lf + 1);
    if (pending() >= record_max)
        return take(record_max);
    return std::nullopt;
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
        if (!cuts_.empty() && start_ >= cuts_.front()) {
            cuts_.pop_front();
            event.kind = Event::overlong;
            return event;
        }
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
    size_t lf = line_end();
    if (lf == std::string::npos)
        return Step::wait;
    if (looks_like_record(strip_line_end(unread().substr(0, lf + 1)))) {
        state_ = State::batch;
        batch_records_ = 0;
        return Step::again;
    }
    std::string taken = take(lf + 1);
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
    size_t lf = line_end();
    if (lf == std::string::npos && pending() < record_max)
        return Step::wait;
    if (lf != std::string::npos && lf < record_max && is_frame_line(strip_line_end(unread().substr(0, lf + 1)))) {
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
