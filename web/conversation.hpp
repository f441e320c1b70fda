// One user's conversation, as the gateway carries it out: the session's
// logic (web/logic.hpp) with its connection to the chat server, its reads
// of the history file and its timers. The page stands behind a PageEnd,
// which the network link (web/link.hpp) provides: a conversation never
// sees a WebSocket, and outlives its page when that goes without logging
// out, until another page takes it up again.
#pragma once

#include <utility>  // before Asio under C++20

#include <boost/asio.hpp>

#include <array>
#include <deque>
#include <functional>
#include <list>
#include <memory>
#include <optional>
#include <string>

#include "admission.hpp"
#include "archive_worker.hpp"
#include "logic.hpp"
#include "options.hpp"

namespace chat_web {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;
using error_code = boost::system::error_code;

// What a conversation asks of its page.
class PageEnd {
public:
    virtual ~PageEnd() = default;
    // Queues one message of events; false when the page has too much
    // waiting already (it does not read).
    virtual bool send_events(std::string message, std::optional<steady::time_point> read_at) = 0;
    // Closes the WebSocket with `code` once what is queued is written.
    virtual void close_page(int code) = 0;
    // Lets the page go: its socket is closed, and its conversation is told.
    virtual void let_page_go() = 0;
    // Whether the page still answers; `done` is called once, with the answer.
    virtual void probe_page(std::function<void(bool alive)> done) = 0;
    // The page's place among the connections, kept by a conversation that
    // waits for its page to come back; the first to ask gets it.
    virtual Place hand_over_place() = 0;
    // The client address the page is counted under, also once its place
    // is handed over.
    virtual std::string client_address() const = 0;
};

class Conversation;

// What the conversations of one room share: the limits, the codec, the
// room's chat server, history file and archive; the count of open pages
// (one for the whole gateway), to which a conversation that waits for its
// page adds one; and the list in which a resume finds its session.
struct Conversations {
    Conversations(const Limits &limits, const Room &room, const chat::Codec &codec, int &sessions)
        : limits(limits), room(room.name), history(room.history), codec(codec), sessions(sessions)
    {
    }
    // The conversation, other than `except` and not ended, whose session
    // has this token from this origin; null when none has.
    std::shared_ptr<Conversation> with_token(std::string_view token, std::string_view origin,
                                             const Conversation *except) const;
    // A session from `address` went detached: beyond the cap of detached
    // sessions per address in this room, the oldest of them ends.
    void detached_from(const std::string &address);

    const Limits &limits;
    std::string room;     // its name, which every event names
    std::string history;  // empty: no history file
    ArchiveWorker *archive = nullptr;  // null: no archive
    const chat::Codec &codec;
    tcp::endpoint server;
    int &sessions;  // WebSocket pages open now, and sessions waiting for their page
    std::list<Conversation *> all;
    std::list<Conversation *> detached;  // the sessions waiting for their page, the longest waiting first
    VerifiedPosts verified_posts;
};

// A descriptor closed when its holder goes.
class Fd {
public:
    Fd() = default;
    ~Fd() { reset(); }
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    void reset(int fd = -1);
    int get() const { return fd_; }

private:
    int fd_ = -1;
};

// One chat session: its connection to the chat server, the logic with what
// it keeps for replay, and its timers. When its page goes without logging
// out, it waits --resume-seconds for another page with its token, keeping
// the place and the count that the page had, and goes on reading from the
// server meanwhile.
class Conversation : public std::enable_shared_from_this<Conversation> {
public:
    Conversation(asio::any_io_executor executor, Conversations &all, std::string origin);
    ~Conversation();
    Conversation(const Conversation &) = delete;
    Conversation &operator=(const Conversation &) = delete;

    SessionLogic &session() { return session_; }
    bool ended() const { return ended_; }
    std::shared_ptr<PageEnd> page() const { return page_.lock(); }
    void set_page(const std::shared_ptr<PageEnd> &page) { page_ = page; }
    // A resume asked whether the page still answers, and waits for that.
    bool probing = false;
    // Where the page that went came from, while the session waits for another.
    const std::string &held_address() const { return held_address_; }

    // Carries out what a step of the session says; `read_at` is when the
    // server's bytes that it came from were read.
    void apply(Actions a, std::optional<steady::time_point> read_at = std::nullopt);
    // The page went without logging out.
    void page_gone(PageEnd *page);
    // A new page, which has just made this its conversation, takes over
    // and is sent what it has not seen since event `after`.
    void take_over(const std::shared_ptr<PageEnd> &page, uint64_t after);
    void end();

private:
    void uncount();
    void arm_idle();
    void start_history_read();
    void try_history_after(std::chrono::milliseconds delay);
    void try_history();
    void history_done(std::optional<std::vector<chat::HistoryRecord>> records, const std::string &problem);
    void connect_server();
    void read_server();
    void write_server(std::string bytes);
    void write_server_front();
    void ask_archive(const ArchiveAsk &ask);
    void place_run(RunToPlace run, steady::time_point deadline);

    asio::any_io_executor executor_;
    tcp::socket server_;
    asio::steady_timer history_timer_;
    asio::steady_timer resume_timer_;
    asio::steady_timer idle_timer_;
    asio::steady_timer place_timer_;  // the next look for a run the archive lacks yet
    Conversations &all_;
    SessionLogic session_;
    std::weak_ptr<PageEnd> page_;
    std::list<Conversation *>::iterator listed_;
    std::optional<std::list<Conversation *>::iterator> listed_detached_;
    // While detached: the place of the page that went, and one count
    // among the open pages.
    Place held_place_;
    std::string held_address_;
    bool counted_ = false;
    unsigned resume_generation_ = 0;
    std::optional<steady::time_point> idle_due_;
    std::array<char, 8192> server_in_ {};
    std::deque<std::string> server_out_;
    Fd history_fd_;
    unsigned history_generation_ = 0;
    steady::time_point history_deadline_;
    unsigned generation_ = 0;
    bool ended_ = false;
};

}  // namespace chat_web
