// Reading what the server sends: the stream of batches, records and error
// replies, taken apart into events.
#pragma once

#include <deque>
#include <optional>
#include <string>
#include <string_view>

#include "src/common/protocol.hpp"

namespace chat {

// One thing the server said, as raw Shift_JIS bytes.
struct Event {
    // overlong: a line went past Reader::line_max without its end, and the
    // rest of it was dropped (one such event for each such line).
    enum Kind { record, error, other, overlong } kind = other;
    std::string colour;  // record: nine characters
    int rgb[3] = {0, 0, 0};  // record: the colour's three numbers
    std::string sender;  // record: name, or the system's sender word
    std::string body;    // record: text without its line end; error: explanation
    bool system = false; // record: a login, logout or time-out notice
    std::string text;    // record: the whole record without its line end
    int place = 0;       // record: its place in its batch, from 1
};

// Splits the byte stream into events. Records are framed by OK and END;
// each ends at its line end, or after 255 bytes when the server cut it.
// A record that lost its line end (an older server, a foreign file) glues
// itself to what follows; the reader then picks up again at the next OK,
// END or ERR line, and outside a batch at the next line shaped like a
// record.
// A line that never ends (a hostile or broken server) is cut at line_max
// bytes: what it held so far is read as if its line end came there, and
// the rest of it, up to its LF, is dropped. Each byte is searched for LF
// once, however the stream is cut into pieces.
class Reader {
public:
    // Far beyond what a server sends between two LFs (a batch of records
    // that all lost their line ends is about 5 KB).
    static constexpr size_t line_max = 64 * 1024;

    void feed(std::string_view bytes);
    std::optional<Event> next();
    // Bytes received and not yet taken as an event.
    size_t pending() const { return buffer_.size() - start_; }

private:
    // Where the reader is in the stream: between batches, inside one, or
    // after ERR, waiting for the explanation.
    enum class State { between, batch, explanation };
    // What one look at the buffer gave: an event, a need for more bytes,
    // or a change of state after which to look again.
    enum class Step { event, wait, again };

    Step read_between(Event &event);
    Step read_in_batch(Event &event);
    Step read_explanation(Event &event);
    std::optional<std::string> take_line();
    std::optional<std::string> take_record();
    // Where the first LF of the unread bytes is, counted from their start;
    // npos when there is none yet.
    size_t line_end();
    std::string_view unread() const { return std::string_view(buffer_).substr(start_); }
    std::string take(size_t count);
    void drop_read_bytes();

    std::string buffer_;
    size_t start_ = 0;       // the unread bytes begin here
    size_t searched_ = 0;    // they hold no LF before here
    size_t line_ = 0;        // bytes fed since the last LF
    bool dropping_ = false;  // past line_max: bytes go until the next LF
    std::deque<size_t> cuts_;  // where each cut line ends in buffer_
    State state_ = State::between;
    int batch_records_ = 0;  // records so far in the current batch
};

// A record text (with or without its line end) taken apart: colour (as
// text and as numbers), sender, body. Text without the two TABs is an Event::other.
Event parse_record(std::string_view text);
// True when the line starts like a record: nine colour characters and a TAB.
bool looks_like_record(std::string_view line);
// The line without its LF and a CR before it.
std::string_view strip_line_end(std::string_view line);

// The explanation of an error reply: its text between "ERR\r\n" and "\r\n".
std::string_view explanation(reply_text reply);

}  // namespace chat
