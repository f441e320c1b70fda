// What one browser session does, apart from the sockets: the page's JSON
// messages become protocol lines, the server's bytes become JSON messages,
// and the per-session limits are kept here. The gateway's network code
// carries out the Actions that each step returns.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "protocol/codec.hpp"
#include "protocol/compose.hpp"
#include "protocol/history_file.hpp"
#include "protocol/reader.hpp"
#include "protocol/splitter.hpp"
#include "json/json.hpp"

namespace chat_web {

using chat::JsonObject;
using chat::JsonWriter;
using chat::get_numbers;
using chat::get_string;
using chat::parse_object;
using chat::quote;

using steady = std::chrono::steady_clock;

// The documented defaults of the gateway's limits.
struct Limits {
    int handshake_seconds = 10;      // HTTP request and WebSocket upgrade
    size_t message_max = 4096;       // bytes of one page message (more: close 1009)
    int rate_count = 20;             // page messages ...
    int rate_seconds = 10;           // ... per this many seconds (more: close 1008)
    size_t output_max = 64 * 1024;   // unsent bytes to a slow browser (more: close)
    int sessions_max = 200;          // open pages at once (more: 503 at the upgrade)
    int ping_seconds = 30;           // quiet time before a WebSocket ping
};

// WebSocket close codes the gateway uses.
inline constexpr int close_normal = 1000;
inline constexpr int close_policy = 1008;
inline constexpr int close_too_big = 1009;

// At most `count` events in any `window`.
class RateLimit {
public:
    RateLimit(int count, std::chrono::seconds window) : count_(count), window_(window) {}
    // Counts one event at `now`; false when it is one too many.
    bool allow(steady::time_point now);

private:
    int count_;
    std::chrono::seconds window_;
    std::deque<steady::time_point> recent_;
};

// Messages waiting to be written to the browser, with their bytes counted.
class OutQueue {
public:
    explicit OutQueue(size_t max_bytes) : max_(max_bytes) {}
    // False (and nothing queued) when the unsent bytes would pass the cap.
    bool push(std::string message);
    bool empty() const { return queue_.empty(); }
    const std::string &front() const { return queue_.front(); }
    void pop();
    size_t bytes() const { return bytes_; }

private:
    size_t max_;
    size_t bytes_ = 0;
    std::deque<std::string> queue_;
};

// Whether a WebSocket handshake with this Origin, sent to this Host, may
// go ahead: no Origin (not a browser), the same host and port, or one of
// `allowed` (full origins such as "https://chat.example.org").
bool origin_allowed(std::optional<std::string_view> origin, std::string_view host,
                    const std::vector<std::string> &allowed);

// The headers sent with the page and its files (Content-Type aside).
// `host` is the request's Host, for the WebSocket source of the policy.
std::vector<std::pair<std::string, std::string>> page_headers(std::string_view host);

// The records of the history file to show as earlier: `file` was read
// after the live stream brought our own login notice (the last of
// `live_prefix`, the records the stream brought up to it); `newest_before`
// was the newest stamp before we connected. The stream starts right after
// the newest stamp at the moment the server's process took its starting
// point, which lies between these two reads: the records in `file` up to
// the place where `live_prefix` begins are the earlier ones.
std::vector<chat::HistoryRecord> earlier_records(const std::vector<chat::HistoryRecord> &file,
                                                 uint32_t newest_before,
                                                 const std::vector<std::string> &live_prefix);

// Reads the history file now; nullopt when it cannot be read.
using HistoryReader = std::function<std::optional<std::vector<chat::HistoryRecord>>()>;

// What the network code is to do after a step, in this order: open the
// server connection, write `to_server`, queue `to_page`, close the server
// connection, close the WebSocket.
struct Actions {
    bool connect = false;
    std::string to_server;
    std::vector<std::string> to_page;
    bool drop_server = false;
    int close_code = 0;
};

class Session {
public:
    // `history` is empty when there is no history file to read.
    Session(const chat::Codec &codec, const Limits &limits, HistoryReader history = {});

    Actions page_message(std::string_view text, steady::time_point now);
    Actions server_connected();
    Actions server_unreachable();
    Actions server_bytes(std::string_view bytes);
    Actions server_closed();
    // The first step of a session: the gateway's hello with the limits.
    Actions opened();

private:
    enum class State { out, connecting, logging_in, in, logging_out };

    void login(const JsonObject &message, Actions &a);
    void post(const JsonObject &message, Actions &a);
    void handle(const chat::Event &event, Actions &a);
    void handle_record(const chat::Event &event, Actions &a);
    void own_notice_arrived(Actions &a);
    void end(std::string_view reason, std::string_view text, Actions &a);
    std::string record_json(const chat::Event &event, bool earlier, uint32_t stamp = 0) const;
    void say(Actions &a, std::string_view reason, std::string_view text) const;

    const chat::Codec &codec_;
    Limits limits_;
    HistoryReader history_;
    RateLimit rate_;
    chat::Reader reader_;
    State state_ = State::out;
    std::string name_;          // Shift_JIS
    int colour_[3] {};
    std::string own_login_, own_logout_, own_timeout_;
    std::string pending_login_; // the LGIN line until the connection is open
    std::string ended_reason_;  // what the server said before it closed
    // With a history file: the newest stamp before connecting, and the
    // records that arrived up to our own login notice, held back until the
    // earlier ones are sent.
    uint32_t newest_before_ = 0;
    bool history_before_ = false;
    std::vector<std::string> held_texts_;
    std::vector<chat::Event> held_;
};

}  // namespace chat_web
