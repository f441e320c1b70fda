// chat_client's connection to the server: connecting, sending lines,
// reading what the server says, logging in and out as the user, and
// telling why the connection ended.
#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "exit.hpp"
#include "terminal/interrupts.hpp"
#include "wire/codec.hpp"
#include "wire/reader.hpp"

namespace chat_client {

// Set by Ctrl-C and SIGTERM; waits end early.
using chat::interrupted;

// Whether an error reply is the busy one.
bool is_busy(const chat::Event &e);

// What became of a wait for a record.
enum class Outcome { arrived, error, gone, timed_out };

// Hands on each event read while waiting.
using Show = std::function<void(const chat::Event &)>;

// The connection, the reader of what the server says, and the user's
// login as the server knows it. The connection may end and be made again
// under the same login.
class Connection {
public:
    Connection(const chat::Codec &codec, std::string host, std::string port);
    ~Connection();
    Connection(const Connection &) = delete;
    Connection &operator=(const Connection &) = delete;

    // From now on an ended connection is reported through `note` and the
    // client stays (interactive); until then it ends the client.
    void stay(std::function<void(const std::string &)> note);

    // The name log_in uses, in Shift_JIS as sent. Until a colour is
    // chosen, the colour is the one derived from the name, and follows it.
    void set_name(const std::string &name);
    // The colour log_in uses from now on, whatever the name.
    void choose_colour(const int colour[3]);
    const std::string &name() const { return name_; }
    const int *colour() const { return colour_; }
    const chat::Codec &codec() const { return codec_; }

    bool connected() const { return fd_ >= 0; }
    bool logged_in() const { return logged_in_; }
    // When a line last went to the server, from which its idle time-out counts.
    std::chrono::steady_clock::time_point last_sent() const { return last_sent_; }

    // Each false when the connection could not be made or is gone (and
    // that has been reported).
    bool connect();
    bool send_line(const std::string &line);

    // Waits up to `timeout_ms` (-1: for ever) for something to read on the
    // connection or, when `watch_input`, on standard input. Returns the
    // events read; sets *input_ready when standard input can be read.
    std::vector<chat::Event> wait_for_events(int timeout_ms, bool watch_input, bool *input_ready);
    // The replies that end a connection whatever the mode. True when `e`
    // was one of them.
    bool check_fatal(const chat::Event &e);
    // Waits for a record equal to `record` (for at most `seconds`, or
    // while the connection lasts when -1); hands every event to `show` on
    // the way. Stops at the first error reply, which is in *error when
    // given.
    Outcome await_record(const std::string &record, int seconds, const Show &show,
                         chat::Event *error = nullptr);

    // Connects when needed and logs in. A busy reply still logs in (only
    // the notice was not posted).
    bool log_in(const Show &show);
    void log_out(const Show &show);

    // A message of the client's own for the user.
    void note(const std::string &text);
    // The pieces a message is posted in, each at most one record long,
    // its emoji as short codes; tells the user when characters had to
    // become 〓.
    std::vector<std::string> pieces_of(const std::string &local_text);
    // The record the server stores for one piece of ours, without its CR LF.
    std::string record_of(const std::string &piece) const;

private:
    bool send_bytes(const std::string &bytes);
    void ended(Exit status, const std::string &message);
    void closed();
    std::string notice_text(const char *format) const;

    const chat::Codec &codec_;
    std::string host_, port_;
    int fd_ = -1;  // -1: not connected
    chat::Reader reader_;
    std::string name_;
    int colour_[3] = {0, 0, 0};
    bool colour_chosen_ = false;
    bool logged_in_ = false;
    std::chrono::steady_clock::time_point last_sent_;
    bool stopped_reply_ = false;
    // The last record was a time-out notice under our name and colour:
    // if the connection now closes, it was our own time-out.
    bool timeout_notice_seen_ = false;
    // Interactive: where notes go; empty while an ended connection ends
    // the client.
    std::function<void(const std::string &)> stays_;
};

}  // namespace chat_client
