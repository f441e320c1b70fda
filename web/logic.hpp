// The gateway's logic, without a socket or a timer: what one browser
// session does. The page's messages (web/page_wire.hpp) become protocol
// lines, the server's bytes become events for the page, and the session's
// limits, the numbering and replay of what the page was sent, the resume
// token and the idle warning are kept here. Each step returns Actions, which
// the conversation (web/conversation.hpp) carries out.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstddef>
#include <deque>
#include <optional>
#include <set>
#include <unordered_map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "page_wire.hpp"
#include "src/common/protocol.hpp"
#include "wire/codec.hpp"
#include "wire/history_file.hpp"
#include "wire/reader.hpp"

namespace chat_web {

using steady = std::chrono::steady_clock;

// The documented defaults of the gateway's limits.
struct Limits {
    int handshake_seconds = 10;      // the first HTTP request and the WebSocket upgrade
    int keep_alive_seconds = 5;      // each later request on the same connection
    int requests_max = 100;          // requests on one HTTP connection (then it is closed)
    size_t message_max = 4096;       // bytes of one page message (more: close 1009)
    int rate_count = 20;             // page messages, a send counted as its posts, ...
    int rate_seconds = 10;           // ... per this many seconds (more: close 1008)
    int posts_max = 20;              // posts on their way to the server (more: refused, the page holds them)
    int tick_posts = 10;             // posts of one user the page lets one delivery bring ...
    int tick_seconds = ::tick_seconds;  // ... the chat server's time between deliveries
    size_t output_max = 64 * 1024;   // bytes waiting behind the one being written (more: close)
    int sessions_max = 200;          // open pages at once (more: 503 at the upgrade)
    int per_address_max = 20;        // open connections of any kind from one client address
    int ping_seconds = 30;           // quiet time before a WebSocket ping
    int history_wait_ms = 200;       // how long one history read waits for the lock
    int resume_seconds = 30;         // a session waits this long for its page to come back (0: never)
    int detached_per_address_max = 3;  // sessions waiting for their page, per client address
    int idle_seconds = ::idle_seconds;  // the chat server's idle time-out, for the warning
    size_t replay_max = 64 * 1024;   // bytes of sent events kept for a page that comes back
    int probe_ms = 2000;             // how long a page that seems gone has to answer a ping
    int archive_rate_count = 10;     // archive questions of a session ...
    int archive_rate_seconds = 10;   // ... per this many seconds (more: refused)
    int archive_budget_ms = 1000;    // the most one archive query may take
    int place_wait_ms = 600;         // how long a run is looked for while the archive catches up
    int place_retry_ms = 100;        // between two looks (the archive looks ten times a second)
    bool show_before_login = false;  // with a history file: its records shown before the login
};

// Milliseconds since the Epoch on the wall clock: when a record arrived.
long long wall_ms();

// A fresh secret for resuming a session: 128 bits from the system's
// generator as 32 hex digits; empty when the system gives none.
std::string random_token();

// Whether two secrets are equal, in a time that does not depend on where
// they differ.
bool same_secret(std::string_view a, std::string_view b);

// At most `count` events in any `window`.
class RateLimit {
public:
    RateLimit(int count, std::chrono::seconds window) : count_(count), window_(window) {}
    // Counts `n` events at `now`; false (and none counted) when that is
    // too many.
    bool allow(steady::time_point now, size_t n = 1);
    // For each event still in the window, the milliseconds from `now`
    // until it leaves it, the soonest first.
    std::vector<int> used(steady::time_point now) const;

private:
    int count_;
    std::chrono::seconds window_;
    std::deque<steady::time_point> recent_;
};

// Every event sent to a session, numbered from 1 in the order sent, and
// the newest of the lasting ones kept up to a size, so that a page that
// comes back gets what it has not seen. Passing events (a hello, a state
// change, an idle warning) are numbered but not kept: a page that comes
// back is sent fresh ones.
class ReplayBuffer {
public:
    explicit ReplayBuffer(size_t max_bytes) : max_(max_bytes) {}
    // The event (a JSON object) with "seq" as its first member; kept
    // ones are remembered, and the oldest forgotten beyond the size.
    std::string number(std::string_view event, bool keep);
    struct Since {
        std::vector<std::string> events;  // as numbered, oldest first
        bool missed = false;              // some after `seq` are forgotten
    };
    // The kept events numbered after `seq`.
    Since after(uint64_t seq) const;
    uint64_t last() const { return next_ - 1; }
    size_t bytes() const { return bytes_; }

private:
    size_t max_;
    uint64_t next_ = 1;
    uint64_t forgotten_ = 0;  // the highest number no longer kept
    size_t bytes_ = 0;
    std::deque<std::pair<uint64_t, std::string>> kept_;
};

// What verified sessions of this gateway posted lately, as the records the
// server will send back for them, so that every session can mark those
// records as posted under a name the sign-in proxy verified. Each post
// marks one record in each session, the way a session recognises its own
// posts; a post is forgotten after `keep`, and beyond `max` the oldest go.
class VerifiedPosts {
public:
    explicit VerifiedPosts(std::chrono::milliseconds keep = std::chrono::seconds(60), size_t max = 4096)
        : keep_(keep), max_(max) {}
    void add(const std::string &record, steady::time_point now);
    // Marks this record for a session that has used the posts in `used`:
    // true when a post of it is left, which then goes into `used`. Posts
    // no longer kept leave `used` too.
    bool mark(const std::string &record, std::set<uint64_t> &used, steady::time_point now);

private:
    void forget_old(steady::time_point now);
    void forget_oldest();
    struct Post {
        uint64_t serial;
        steady::time_point at;
        std::string record;
    };
    std::chrono::milliseconds keep_;
    size_t max_;
    uint64_t next_ = 1;
    std::deque<Post> posts_;  // oldest first
    std::unordered_map<std::string, std::deque<uint64_t>> by_record_;
};

// Whether text from a page holds a control character that must not reach
// the chat: any but TAB (see wire/control.hpp).
bool has_control(std::string_view utf8);

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

// What the conversation is to do after a step, in this order: open the
// server connection, write `to_server`, send `to_page` (events) as one
// message, close the server connection, close the WebSocket, and read the
// history file and give the result to SessionLogic::history_read. A
// `resume` comes alone: the network link looks for the session it names.
// A run of records sent live, to be found in the archive: their texts as
// the server sent them and their event numbers; `last` is the row the
// session's previous run ended at (0: not known).
struct RunToPlace {
    std::vector<std::string> texts;
    std::vector<uint64_t> seqs;
    int64_t last = 0;
    unsigned login = 0;  // which login of the session it belongs to
};

// Where a run was found: each record's row id (0: not found), the rows
// the board dropped before it (as the page gets them), and the run's last row.
struct RunFound {
    bool complete = false;
    std::vector<int64_t> ids;
    std::vector<ArchiveRow> dropped;
    bool more = false;
    int64_t last = 0;
};

struct Actions {
    bool connect = false;
    std::string to_server;
    std::vector<std::string> to_page;
    bool drop_server = false;
    int close_code = 0;
    bool read_history = false;
    std::optional<Resume> resume;
    std::vector<ArchiveAsk> archive;   // questions for the archive's worker
    std::optional<RunToPlace> place;   // a run to find in the archive
};

// One session in one room. Every event to the page carries "seq" (see
// ReplayBuffer). A logged-in session that loses its page is detached: it
// goes on reading from the server and keeping events, until a page with
// its token from the same Origin resumes it.
class SessionLogic {
public:
    // With `history`, a login reads the history file before it connects
    // and again once the server has sent our own login notice. `origin` is
    // the Origin header of the page that opened the session.
    SessionLogic(const chat::Codec &codec, const Limits &limits, bool history = false, std::string origin = "");

    Actions page_message(std::string_view text, steady::time_point now);
    // A message already read, for a gateway that looked at its room first.
    Actions page_message(const PageMessage &message, steady::time_point now);
    Actions page_binary();
    Actions server_connected(steady::time_point now = steady::now());
    Actions server_unreachable();
    Actions server_bytes(std::string_view bytes, long long at = wall_ms());
    Actions server_closed();
    // The history file as read after `read_history`; nullopt when it could
    // not be read.
    Actions history_read(std::optional<std::vector<chat::HistoryRecord>> file, long long at = wall_ms());
    // The first step of a session: the gateway's hello with the limits,
    // and with --show-before-login the history read for the page to show.
    Actions opened();
    // With --archive: the page may ask it, and what the session is sent
    // live is found in it.
    void use_archive() { archive_ = true; }
    // The answer to a question of Actions::archive.
    Actions archive_answered(const ArchiveAnswer &answer);
    // Where a run of Actions::place was found (`found.complete` false: not
    // all of it, and no more looks are to come); the next run to place.
    Actions run_placed(const RunToPlace &run, const RunFound &found);
    // A session whose name the sign-in proxy verified (Shift_JIS): it logs
    // in under that name only, and its posts go into `posts`.
    void set_verified_name(std::string sjis_name) { verified_name_ = std::move(sjis_name); }
    const std::string &verified_name() const { return verified_name_; }
    // Where the gateway's sessions find what verified sessions posted.
    void set_verified_posts(VerifiedPosts *posts) { verified_posts_ = posts; }
    // The room this session is in, which every event names.
    void set_room(std::string room) { room_ = std::move(room); }
    const std::string &room() const { return room_; }
    // The first step of a session that the door turned away: the reason,
    // and the WebSocket closes.
    Actions turned_away(Reason reason);

    // The page went away without logging out: true when the session now
    // waits for another page, false when it is over.
    bool detach();
    bool detached() const { return detached_; }
    bool logged_in() const { return state_ == State::in; }
    // Whether this is the session's token, from a page of its first page's origin.
    bool token_matches(std::string_view token, std::string_view origin) const;
    // Whether a page with this token and origin may take the session over now.
    bool may_resume(std::string_view token, std::string_view origin) const;
    // A new page takes over: a fresh token in a new hello, what the page
    // has not seen since event `after`, and the idle warning if it is due.
    Actions resume(uint64_t after, steady::time_point now);
    // The answer to a resume that names no session that may be taken over.
    Actions refuse_resume();

    // When to warn the page that the server's idle time-out is near; nullopt
    // when no warning is to come (not logged in, or already warned).
    std::optional<steady::time_point> idle_warning_at() const;
    // The idle warning, once it is due and while a page is there.
    Actions idle_check(steady::time_point now);

private:
    // reading_before: the history read before connecting; reading_after:
    // the one after our own login notice; closed: the WebSocket is closing.
    enum class State { out, reading_before, connecting, logging_in, reading_after, in, logging_out, closed };

    // A login's name in Shift_JIS and its colour.
    struct Identity {
        std::string name;
        int colour[3];
    };
    // What the server said before it closed the connection, which tells
    // the page why its session ended.
    enum class ServerSaid { nothing, timeout, full, stopped };

    // A post of ours that the server is to send back as a record.
    struct OwnPost {
        std::string record;           // the record text, without its line end
        std::optional<long long> id;  // the page's id for the send
        bool last;                    // the send's last piece
    };

    void emit(Actions &a, const std::string &event, bool keep = true);
    std::string hello(bool resumed, steady::time_point now) const;
    std::string state_in() const;
    size_t plan(const PageMessage &message);
    std::optional<Reason> send_problem(const Send &send) const;
    bool refused(const PageMessage &message, Actions &a);
    void take(const Login &login, Actions &a);
    void take(const Resume &resume, Actions &a);
    void take(const Send &send, Actions &a);
    void take(const Reload &reload, Actions &a);
    void take(const Logout &logout, Actions &a);
    void take(const ArchiveAsk &ask, Actions &a);
    void take(const ParseError &, Actions &) {}
    bool archive_refused(const PageMessage &message, steady::time_point now, Actions &a);
    void note_record(const std::string &text, int place);
    void finish_run(Actions &a);
    std::optional<Identity> checked_identity(const Login &login, Actions &a);
    void start_login(const Identity &who, Actions &a);
    void handle(const chat::Event &event, Actions &a, long long at);
    void handle_record(const chat::Event &event, Actions &a, long long at);
    void deliver(const chat::Event &event, Actions &a, long long at);
    void flush_held(const std::vector<chat::HistoryRecord> &earlier, Actions &a, long long at);
    void emit_earlier(const std::vector<chat::HistoryRecord> &earlier, Actions &a, long long at, bool before_login);
    void logged_in(Actions &a);
    void end(Reason reason, Actions &a);
    void close(int code, Actions &a);
    std::optional<OwnPost> own_post(const std::string &record);
    RecordEvent record_of(const chat::Event &event) const;
    void say(Actions &a, Reason reason, const ReasonValues &values = {}, std::optional<long long> id = std::nullopt);
    void emit_idle(Actions &a, steady::time_point now);

    const chat::Codec &codec_;
    Limits limits_;
    std::string room_ {main_room};
    bool history_;
    RateLimit rate_;
    chat::Reader reader_;
    State state_ = State::out;
    std::string name_;          // Shift_JIS
    int colour_[3] {};
    std::string own_login_, own_logout_, own_timeout_;
    std::string pending_login_; // the LGIN line until the connection is open
    ServerSaid server_said_ = ServerSaid::nothing;
    // With a history file: the newest stamp before connecting; the texts
    // the stream brought up to our own login notice; and every record it
    // brought until the second read is done, held back until the earlier
    // ones are sent.
    uint32_t newest_before_ = 0;
    bool history_before_ = false;
    bool showing_before_login_ = false;  // the read that opened() asked for is on its way
    std::vector<std::string> held_texts_;
    struct Held {
        chat::Event event;
        long long at;
    };
    std::vector<Held> held_;

    ReplayBuffer replay_;
    // The posts on their way: sent to the server, their records not back
    // yet and no error reply for them; oldest first.
    std::deque<OwnPost> own_posts_;
    std::vector<std::string> pieces_;  // the posts of the send being taken
    size_t replaced_ = 0;              // and its characters without a Shift_JIS form
    std::optional<long long> last_send_id_;  // the page's last send that came here
    std::string origin_;
    std::string token_;              // empty until logged in
    bool detached_ = false;
    size_t detached_bytes_ = 0;      // kept while detached, against the slow-browser cap
    steady::time_point last_line_;   // the last line sent to the server
    bool idle_warned_ = false;

    // With an archive: the run of records being sent, those waiting to be
    // placed, whether one is being placed now, and the row where the last
    // placed run ended (0: not known).
    bool archive_ = false;
    RateLimit archive_rate_;
    RunToPlace current_run_;
    std::deque<RunToPlace> runs_;
    bool placing_ = false;
    int64_t placed_last_ = 0;
    unsigned login_count_ = 0;
    std::string verified_name_;      // Shift_JIS; empty: the page chooses
    VerifiedPosts *verified_posts_ = nullptr;
    std::set<uint64_t> marks_used_;  // the verified posts whose records this session has marked
};

}  // namespace chat_web
