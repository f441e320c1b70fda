// What chat_client reads from and writes to the server: the stream of
// batches, records and error replies, and the way long messages are split.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "../src/common/common.hpp"

namespace chat_client {

inline constexpr size_t record_max = text_size - 1;  // bytes of one stored record

// One thing the server said, as raw Shift_JIS bytes.
struct Event {
    enum Kind { record, error, other } kind;
    std::string colour;  // record: nine characters
    std::string sender;  // record: name, or the system's sender word
    std::string body;    // record: text without its line end; error: explanation
    bool system = false; // record: a login, logout or time-out notice
    std::string text;    // record: the whole record without its line end
};

// Splits the byte stream into events. Records are framed by OK and END;
// each ends at its line end, or after 255 bytes when the server cut it.
class Reader {
public:
    void feed(std::string_view bytes) { buffer_.append(bytes); }
    std::optional<Event> next();

private:
    std::optional<std::string> take_line();
    std::optional<std::string> take_record();
    std::string buffer_;
    bool in_batch_ = false;
    bool want_explanation_ = false;
};

// The Shift_JIS bytes of "メッセージ", the sender of the server's notices.
std::string_view system_sender();
// The two explanations that end a session.
std::string_view explanation_server_full();
std::string_view explanation_server_stopped();

// Cuts a Shift_JIS message into pieces of at most `limit` bytes, never
// inside a two-byte character.
std::vector<std::string> split_message(std::string_view sjis, size_t limit);
// How many body bytes one post may carry for a user of this name.
size_t body_limit(std::string_view sjis_name);

// The record the server stores for a message of ours.
std::string own_record(const int colour[3], std::string_view name, std::string_view body);

}  // namespace chat_client
