// All of the gateway's Beast and Asio code: the listener, the HTTP
// requests for the page, the WebSocket sessions and their connections to
// the chat server. Everything else is in plain files that are tested on
// their own.
#include <utility>  // before Asio under C++20

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>

#include <algorithm>
#include <array>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <functional>
#include <list>
#include <memory>
#include <optional>
#include <sys/resource.h>
#include <unistd.h>

#include "admission.hpp"
#include "gateway.hpp"
#include "serving.hpp"
#include "i18n/i18n.hpp"

namespace chat_web {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
using tcp = asio::ip::tcp;
using error_code = beast::error_code;

namespace {

std::string_view view(beast::string_view s) { return {s.data(), s.size()}; }

// Delays from reading a batch from the server to having written its last
// message to the browser, kept when CHAT_WEB_TIMING is set and summed up
// on standard error at exit.
class DelayLog {
public:
    bool on = getenv("CHAT_WEB_TIMING") != nullptr;
    void add(steady::duration d)
    {
        if (on && micros_.size() < 1'000'000)
            micros_.push_back(std::chrono::duration_cast<std::chrono::microseconds>(d).count());
    }
    void report()
    {
        if (!on || micros_.empty())
            return;
        std::sort(micros_.begin(), micros_.end());
        auto at = [&](size_t per_cent) { return micros_[std::min(micros_.size() - 1, micros_.size() * per_cent / 100)]; };
        fprintf(stderr, "chat_web: server read to browser write: %zu batches, p50 %lld us, p99 %lld us, max %lld us\n",
                micros_.size(), at(50), at(99), micros_.back());
    }

private:
    std::vector<long long> micros_;
};

class HttpSession;
class Conversation;

// What every connection shares.
struct Shared {
    Shared(const Options &o, size_t connections_max)
        : options(o), counts(connections_max, static_cast<size_t>(o.limits.per_address_max))
    {
    }
    bool trusted(const std::string &address) const
    {
        return std::find(options.trusted_proxies.begin(), options.trusted_proxies.end(), address) !=
               options.trusted_proxies.end();
    }
    // Closes the HTTP connection that has waited longest for a request, to
    // make room for a new one; false when none waits.
    bool evict_waiting();

    const Options &options;
    std::string index_html;  // the page's HTML with the title filled in
    chat::Codec codec;
    tcp::endpoint server;
    DelayLog delays;
    HostRule hosts;
    ConnectionCounts counts;
    int sessions = 0;  // WebSocket pages open now, and sessions waiting for their page
    std::list<Conversation *> conversations;  // to find a session by its token
    // HTTP connections waiting for a request, the longest waiting first.
    std::list<HttpSession *> waiting;
};

// A descriptor closed when its holder goes.
class Fd {
public:
    Fd() = default;
    ~Fd() { reset(); }
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    void reset(int fd = -1)
    {
        if (fd_ >= 0)
            close(fd_);
        fd_ = fd;
    }
    int get() const { return fd_; }

private:
    int fd_ = -1;
};

// Why open_history failed, in words.
std::string open_problem(int error)
{
    return error == EINVAL ? _("not a regular file") : strerror(error);
}

// Why a read of the history gives no records, in words; "" when it gives
// some, or none because the file is new or stayed locked.
std::string read_problem(chat::HistoryStatus status, int error)
{
    using chat::HistoryStatus;
    if (status == HistoryStatus::ok || status == HistoryStatus::too_short || status == HistoryStatus::locked)
        return "";
    if (status == HistoryStatus::failed)
        return strerror(error);
    return _("nothing in it looks like a chat record");
}

// One try at the history without waiting for its lock; "" when it can
// be used (or is only locked now).
std::string history_problem(const std::string &path)
{
    Fd fd;
    fd.reset(chat::open_history(path.c_str()));
    if (fd.get() < 0)
        return open_problem(errno);
    std::vector<chat::HistoryRecord> records;
    auto status = chat::read_history(fd.get(), records, 0);
    return read_problem(status, errno);
}

class PageLink;

// One chat session: its connection to the chat server, the Session logic
// with what it keeps for replay, and its timers. It outlives its page:
// when the page goes without logging out, it waits --resume-seconds for
// another page with its token, keeping the place and the count that the
// page had, and goes on reading from the server meanwhile.
class Conversation : public std::enable_shared_from_this<Conversation> {
public:
    Conversation(asio::any_io_executor executor, Shared &shared, std::string origin)
        : executor_(executor), server_(executor), history_timer_(executor), resume_timer_(executor),
          idle_timer_(executor), shared_(shared),
          session_(shared.codec, shared.options.limits, !shared.options.history.empty(), std::move(origin))
    {
        listed_ = shared_.conversations.insert(shared_.conversations.end(), this);
    }
    ~Conversation()
    {
        shared_.conversations.erase(listed_);
        uncount();
    }
    Conversation(const Conversation &) = delete;
    Conversation &operator=(const Conversation &) = delete;

    SessionLogic &session() { return session_; }
    bool ended() const { return ended_; }
    std::shared_ptr<PageLink> page() const { return page_.lock(); }
    void set_page(const std::shared_ptr<PageLink> &page) { page_ = page; }
    // A resume asked whether the page still answers, and waits for that.
    bool probing = false;

    void apply(Actions a, std::optional<steady::time_point> read_at = std::nullopt);
    void page_gone(PageLink *page);
    void take_over(const std::shared_ptr<PageLink> &page, uint64_t after);
    void end();

private:
    void uncount()
    {
        held_place_.release();
        if (counted_)
            --shared_.sessions;
        counted_ = false;
    }
    void arm_idle();
    void start_history_read();
    void try_history_after(std::chrono::milliseconds delay);
    void try_history();
    void history_done(std::optional<std::vector<chat::HistoryRecord>> records, const std::string &problem);
    void connect_server();
    void read_server();
    void write_server(std::string bytes);
    void write_server_front();

    asio::any_io_executor executor_;
    tcp::socket server_;
    asio::steady_timer history_timer_;
    asio::steady_timer resume_timer_;
    asio::steady_timer idle_timer_;
    Shared &shared_;
    SessionLogic session_;
    std::weak_ptr<PageLink> page_;
    std::list<Conversation *>::iterator listed_;
    // While detached: the place of the page that went, and one count
    // among the open pages.
    Place held_place_;
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

// One page's WebSocket. It starts with a session of its own and may trade
// it for a detached one that its first message resumes.
class PageLink : public std::enable_shared_from_this<PageLink> {
public:
    PageLink(beast::tcp_stream &&stream, Shared &shared, Place place, std::string origin)
        : ws_(std::move(stream)), probe_timer_(ws_.get_executor()), shared_(shared), place_(std::move(place)),
          origin_(std::move(origin)), out_(shared.options.limits.output_max)
    {
        ++shared_.sessions;
    }
    ~PageLink() { --shared_.sessions; }
    PageLink(const PageLink &) = delete;
    PageLink &operator=(const PageLink &) = delete;

    // Takes the upgrade request along: it must outlive the handshake.
    void start(http::request<http::empty_body> request)
    {
        request_ = std::move(request);
        conversation_ = std::make_shared<Conversation>(ws_.get_executor(), shared_, origin_);
        conversation_->set_page(shared_from_this());
        const Limits &limits = shared_.options.limits;
        beast::get_lowest_layer(ws_).expires_never();
        websocket::stream_base::timeout timeout {};
        timeout.handshake_timeout = std::chrono::seconds(limits.handshake_seconds);
        // Beast pings after half the idle time and gives up after all of it.
        timeout.idle_timeout = std::chrono::seconds(2 * limits.ping_seconds);
        timeout.keep_alive_pings = true;
        ws_.set_option(timeout);
        ws_.read_message_max(limits.message_max);
        ws_.text(true);
        ws_.control_callback([weak = weak_from_this()](websocket::frame_type kind, beast::string_view payload) {
            auto self = weak.lock();
            if (self && kind == websocket::frame_type::pong && view(payload) == probe_payload)
                self->probe_answered(true);
        });
        ws_.async_accept(request_, [self = shared_from_this()](error_code ec) {
            if (ec) {
                self->finish();
                return;
            }
            self->conversation_->apply(self->conversation_->session().opened());
            self->read_page();
        });
    }

    // Queues one message of events; false when the page has too much
    // waiting already (it does not read).
    bool send(std::string message, std::optional<steady::time_point> read_at)
    {
        if (done_)
            return true;
        if (!out_.push(std::move(message)))
            return false;
        stamps_.push_back(read_at);
        write_page();
        return true;
    }

    // Closes the WebSocket with `code` once what is queued is written.
    void close_with(int code)
    {
        closing_ = code;
        write_page();
    }

    // The page is gone, or let go: its socket is closed, its session is
    // told once, and a probe waiting on it learns that it did not answer.
    void finish()
    {
        if (done_)
            return;
        done_ = true;
        beast::get_lowest_layer(ws_).close();
        conversation_->page_gone(this);
        place_.release();
        probe_answered(false);
    }

    // Whether the page still answers: a ping whose pong must come within
    // the probe time. `done` is called once, with the answer.
    void probe(std::function<void(bool alive)> done)
    {
        if (done_) {
            done(false);
            return;
        }
        probe_done_ = std::move(done);
        probe_timer_.expires_after(std::chrono::milliseconds(shared_.options.limits.probe_ms));
        probe_timer_.async_wait([self = shared_from_this()](error_code ec) {
            if (!ec)
                self->probe_answered(false);
        });
        ws_.async_ping(websocket::ping_data(probe_payload), [self = shared_from_this()](error_code ec) {
            if (ec)
                self->probe_answered(false);
        });
    }

    // Given to the session that this page leaves detached.
    Place take_place() { return std::move(place_); }
    std::shared_ptr<Conversation> swap_conversation(std::shared_ptr<Conversation> other)
    {
        std::swap(conversation_, other);
        return other;
    }

private:
    static constexpr const char *probe_payload = "still there?";

    void read_page()
    {
        ws_.async_read(in_, [self = shared_from_this()](error_code ec, size_t) {
            if (ec) {
                self->finish();
                return;
            }
            if (self->done_)
                return;
            std::string text = beast::buffers_to_string(self->in_.data());
            self->in_.consume(self->in_.size());
            SessionLogic &session = self->conversation_->session();
            Actions a = self->ws_.got_text() ? session.page_message(text, steady::now()) : session.page_binary();
            if (a.resume)
                self->resume(*a.resume);
            else
                self->conversation_->apply(std::move(a));
            if (!self->closing_ && !self->done_)
                self->read_page();
        });
    }

    // A page asks to take over the session with `request.token`.
    void resume(const Resume &request)
    {
        std::shared_ptr<Conversation> target;
        for (Conversation *c : shared_.conversations)
            if (c != conversation_.get() && !c->ended() && c->session().token_matches(request.token, origin_))
                target = c->shared_from_this();
        if (target && target->session().may_resume(request.token, origin_)) {
            target->take_over(shared_from_this(), request.after);
            return;
        }
        auto old = target ? target->page() : nullptr;
        if (!old || target->probing || !target->session().logged_in()) {
            refuse_resume();
            return;
        }
        // The session still has a page. If that page answers, this is a
        // second tab with a copied token; if not, it went away without a
        // word (a phone that slept), and this page takes its place.
        target->probing = true;
        old->probe([self = shared_from_this(), target, request](bool alive) {
            target->probing = false;
            if (!alive)
                if (auto gone = target->page())
                    gone->finish();
            if (self->done_)
                return;
            if (!alive && !target->ended() && target->session().may_resume(request.token, self->origin_))
                target->take_over(self, request.after);
            else
                self->refuse_resume();
        });
    }

    void refuse_resume() { conversation_->apply(conversation_->session().refuse_resume()); }

    void probe_answered(bool alive)
    {
        if (!probe_done_)
            return;
        auto done = std::move(probe_done_);
        probe_done_ = nullptr;
        probe_timer_.cancel();
        done(alive);
    }

    void write_page()
    {
        if (writing_page_ || done_)
            return;
        if (out_.empty()) {
            if (closing_ && !close_sent_) {
                close_sent_ = true;
                ws_.async_close(websocket::close_reason(static_cast<websocket::close_code>(closing_)),
                                [self = shared_from_this()](error_code) { self->finish(); });
            }
            return;
        }
        writing_page_ = true;
        writing_ = out_.take();
        writing_read_at_ = stamps_.front();
        stamps_.pop_front();
        ws_.async_write(asio::buffer(writing_), [self = shared_from_this()](error_code ec, size_t) {
            self->writing_page_ = false;
            if (ec) {
                self->finish();
                return;
            }
            if (auto at = self->writing_read_at_)
                self->shared_.delays.add(steady::now() - *at);
            self->write_page();
        });
    }

    websocket::stream<beast::tcp_stream> ws_;
    http::request<http::empty_body> request_;
    asio::steady_timer probe_timer_;
    Shared &shared_;
    Place place_;
    std::string origin_;  // the handshake's Origin; empty without one
    std::shared_ptr<Conversation> conversation_;
    std::function<void(bool)> probe_done_;
    OutQueue out_;
    std::deque<std::optional<steady::time_point>> stamps_;  // when the server's bytes of each waiting message were read
    std::string writing_;                                    // the message being written
    std::optional<steady::time_point> writing_read_at_;
    beast::flat_buffer in_;
    int closing_ = 0;
    bool close_sent_ = false;
    bool writing_page_ = false;
    bool done_ = false;
};

void Conversation::apply(Actions a, std::optional<steady::time_point> read_at)
{
    if (ended_)
        return;
    if (a.connect)
        connect_server();
    if (!a.to_server.empty())
        write_server(std::move(a.to_server));
    auto page = page_.lock();
    if (!a.to_page.empty() && page && !page->send(page_batch(a.to_page), read_at)) {
        end();  // a browser that does not read: let it go
        return;
    }
    if (a.drop_server) {
        ++generation_;  // what the closed connection still reports is stale
        error_code ignored;
        server_.close(ignored);
        server_out_.clear();
    }
    if (a.close_code != 0 && page)
        page->close_with(a.close_code);
    if (a.read_history)
        start_history_read();
    if (session_.detached() && !session_.logged_in()) {
        end();  // over while no page was there
        return;
    }
    arm_idle();
}

// The page went without logging out: a logged-in session waits for
// another page, anything else is over.
void Conversation::page_gone(PageLink *page)
{
    if (ended_ || page_.lock().get() != page)
        return;
    page_.reset();
    if (!session_.detach()) {
        end();
        return;
    }
    idle_timer_.cancel();
    idle_due_.reset();
    held_place_ = page->take_place();
    counted_ = true;
    ++shared_.sessions;
    resume_timer_.expires_after(std::chrono::seconds(shared_.options.limits.resume_seconds));
    resume_timer_.async_wait([self = shared_from_this(), g = ++resume_generation_](error_code ec) {
        if (!ec && g == self->resume_generation_ && self->session_.detached())
            self->end();  // the server posts the logout notice
    });
}

void Conversation::take_over(const std::shared_ptr<PageLink> &page, uint64_t after)
{
    page->swap_conversation(shared_from_this());  // the page's own, unused session goes
    page_ = page;
    ++resume_generation_;
    resume_timer_.cancel();
    uncount();
    apply(session_.resume(after, steady::now()));
}

// Everything is dropped: the server connection (the server then posts the
// logout notice), the timers, the place, and a page still there.
void Conversation::end()
{
    if (ended_)
        return;
    ended_ = true;
    ++generation_;
    ++history_generation_;
    ++resume_generation_;
    error_code ignored;
    server_.close(ignored);
    server_out_.clear();
    history_timer_.cancel();
    history_fd_.reset();
    resume_timer_.cancel();
    idle_timer_.cancel();
    uncount();
    if (auto page = page_.lock()) {
        page_.reset();
        page->finish();
    }
}

// The idle warning's timer, moved whenever its time changes; none while
// no page is there (a page that comes back is warned at once if due).
void Conversation::arm_idle()
{
    auto due = session_.detached() ? std::nullopt : session_.idle_warning_at();
    if (due == idle_due_)
        return;
    idle_due_ = due;
    if (!due) {
        idle_timer_.cancel();
        return;
    }
    idle_timer_.expires_at(*due);
    idle_timer_.async_wait([self = shared_from_this(), at = *due](error_code ec) {
        if (ec || self->idle_due_ != at)
            return;
        self->idle_due_.reset();
        self->apply(self->session_.idle_check(steady::now()));
    });
}

// The history is read in tries that never wait for its lock, each on
// this session's own timer, so that a lock held elsewhere delays only
// the logins that read it and never the gateway's one thread.
void Conversation::start_history_read()
{
    ++history_generation_;
    history_fd_.reset();
    history_deadline_ = steady::now() + std::chrono::milliseconds(shared_.options.limits.history_wait_ms);
    try_history_after(std::chrono::milliseconds(0));
}

void Conversation::try_history_after(std::chrono::milliseconds delay)
{
    history_timer_.expires_after(delay);
    history_timer_.async_wait([self = shared_from_this(), g = history_generation_](error_code ec) {
        if (!ec && g == self->history_generation_ && !self->ended_)
            self->try_history();
    });
}

void Conversation::try_history()
{
    const std::string &path = shared_.options.history;
    if (history_fd_.get() < 0) {
        history_fd_.reset(chat::open_history(path.c_str()));
        if (history_fd_.get() < 0) {
            history_done(std::nullopt, open_problem(errno));
            return;
        }
    }
    std::vector<chat::HistoryRecord> records;
    auto status = chat::read_history(history_fd_.get(), records, 0);
    int error = errno;
    if (status == chat::HistoryStatus::locked && steady::now() < history_deadline_) {
        try_history_after(std::chrono::milliseconds(5));
        return;
    }
    history_fd_.reset();
    if (status == chat::HistoryStatus::ok || status == chat::HistoryStatus::too_short)
        history_done(std::move(records), "");
    else
        history_done(std::nullopt, read_problem(status, error));
}

void Conversation::history_done(std::optional<std::vector<chat::HistoryRecord>> records, const std::string &problem)
{
    if (!problem.empty())
        fprintf(stderr, _("chat_web: cannot read the history %s: %s; this session starts without earlier records\n"),
                shared_.options.history.c_str(), problem.c_str());
    apply(session_.history_read(std::move(records)));
}

void Conversation::connect_server()
{
    error_code ignored;
    server_.close(ignored);
    server_ = tcp::socket(executor_);
    server_out_.clear();
    ++generation_;
    server_.async_connect(shared_.server, [self = shared_from_this(), g = generation_](error_code ec) {
        if (g != self->generation_ || self->ended_)
            return;
        if (ec) {
            self->apply(self->session_.server_unreachable());
            return;
        }
        self->server_.set_option(tcp::no_delay(true), ec);
        self->apply(self->session_.server_connected());
        self->read_server();
    });
}

void Conversation::read_server()
{
    server_.async_read_some(asio::buffer(server_in_), [self = shared_from_this(), g = generation_](error_code ec, size_t n) {
        if (g != self->generation_ || self->ended_)
            return;
        if (ec) {
            self->apply(self->session_.server_closed());
            return;
        }
        auto at = steady::now();
        self->apply(self->session_.server_bytes(std::string_view(self->server_in_.data(), n)), at);
        self->read_server();
    });
}

void Conversation::write_server(std::string bytes)
{
    server_out_.push_back(std::move(bytes));
    if (server_out_.size() == 1)
        write_server_front();
}

void Conversation::write_server_front()
{
    if (server_out_.empty() || !server_.is_open())
        return;
    asio::async_write(server_, asio::buffer(server_out_.front()),
                      [self = shared_from_this(), g = generation_](error_code ec, size_t) {
                          if (g != self->generation_ || ec)
                              return;  // the read side reports the loss
                          self->server_out_.pop_front();
                          self->write_server_front();
                      });
}

// Plain HTTP: the page's files, and the upgrade to a WebSocket. Requests
// are answered one after another, also when a client sends several at once.
class HttpSession : public std::enable_shared_from_this<HttpSession> {
public:
    HttpSession(tcp::socket &&socket, Shared &shared, Place place, std::string peer)
        : stream_(std::move(socket)), shared_(shared), place_(std::move(place)), peer_(std::move(peer))
    {
    }
    ~HttpSession() { stop_waiting(); }
    HttpSession(const HttpSession &) = delete;
    HttpSession &operator=(const HttpSession &) = delete;

    void read()
    {
        const Limits &limits = shared_.options.limits;
        parser_.emplace();
        parser_->header_limit(8192);
        // The first request may take the handshake's time; later ones
        // must follow the previous answer promptly.
        stream_.expires_after(std::chrono::seconds(requests_ == 0 ? limits.handshake_seconds : limits.keep_alive_seconds));
        waiting_ = shared_.waiting.insert(shared_.waiting.end(), this);
        http::async_read(stream_, buffer_, *parser_, [self = shared_from_this()](error_code ec, size_t) {
            self->stop_waiting();
            if (ec) {
                error_code ignored;
                self->stream_.socket().shutdown(tcp::socket::shutdown_both, ignored);
                return;
            }
            self->answer();
        });
    }

    // Makes room for a new connection: this one is closed at once.
    void evict()
    {
        stop_waiting();
        place_.release();
        stream_.close();
    }

private:
    void stop_waiting()
    {
        if (waiting_) {
            shared_.waiting.erase(*waiting_);
            waiting_.reset();
        }
    }

    void answer()
    {
        ++requests_;
        auto &request = parser_->get();
        // The Host first: a name that points here by somebody else's doing
        // (DNS rebinding) gets neither the page nor a session.
        if (request.count(http::field::host) != 1 || request[http::field::host].empty()) {
            send(plain(request, http::status::bad_request, "A request needs one Host header.\n"));
            return;
        }
        std::string host(request[http::field::host]);
        auto verdict = shared_.hosts.check(host);
        if (verdict == HostRule::Verdict::malformed) {
            send(plain(request, http::status::bad_request, "The Host header is not a host name or an IP address.\n"));
            return;
        }
        if (verdict == HostRule::Verdict::foreign) {
            send(plain(request, http::status::forbidden,
                       "This gateway does not answer to that host name; start it with --allow-host NAME.\n"));
            return;
        }
        if (shared_.trusted(peer_) && !place_.claim(forwarded_address(request))) {
            send(plain(request, http::status::service_unavailable,
                       "Too many connections from your address; try again later.\n"));
            return;
        }
        if (websocket::is_upgrade(request)) {
            upgrade(request);
            return;
        }
        const PageFile *file = find_page(view(request.target()));
        if (request.method() != http::verb::get && request.method() != http::verb::head)
            send(plain(request, http::status::method_not_allowed, "Only GET and HEAD\n"));
        else if (!file)
            send(plain(request, http::status::not_found, "Not found\n"));
        else
            send(page(request, *file, host));
    }

    // Behind a trusted proxy, the address that the proxy itself put last
    // into X-Forwarded-For; the proxy's own without one.
    std::string forwarded_address(const http::request<http::empty_body> &request) const
    {
        std::string values;
        for (auto range = request.equal_range("X-Forwarded-For"); range.first != range.second; ++range.first) {
            if (!values.empty())
                values += ',';
            values += view(range.first->value());
        }
        return forwarded_client(values).value_or(peer_);
    }

    void upgrade(const http::request<http::empty_body> &request)
    {
        std::optional<std::string_view> origin;
        if (request.find(http::field::origin) != request.end())
            origin = view(request[http::field::origin]);
        if (request.target() != "/ws") {
            send(plain(request, http::status::not_found, "Not found\n"));
            return;
        }
        if (!origin_allowed(origin, view(request[http::field::host]), shared_.options.allow_origins)) {
            send(plain(request, http::status::forbidden, "This page may not connect here.\n"));
            return;
        }
        // Open pages cost a descriptor each even before they log in.
        if (shared_.sessions >= shared_.options.limits.sessions_max) {
            send(plain(request, http::status::service_unavailable, "Too many pages are open; try again later.\n"));
            return;
        }
        std::make_shared<PageLink>(std::move(stream_), shared_, std::move(place_), std::string(origin.value_or("")))
            ->start(parser_->release());
    }

    using Response = http::response<http::string_body>;

    // Whether the connection stays open for another request.
    bool keep_alive(const http::request<http::empty_body> &request, http::status status) const
    {
        bool refused = status == http::status::bad_request || status == http::status::forbidden ||
                       status == http::status::service_unavailable;
        return request.keep_alive() && !refused && requests_ < shared_.options.limits.requests_max;
    }

    Response plain(const http::request<http::empty_body> &request, http::status status, const char *text)
    {
        Response r {status, request.version()};
        r.set(http::field::content_type, "text/plain; charset=utf-8");
        r.set("X-Content-Type-Options", "nosniff");
        r.set(http::field::cache_control, "no-store");
        r.keep_alive(keep_alive(request, status));
        r.body() = text;
        r.prepare_payload();
        return r;
    }

    Response page(const http::request<http::empty_body> &request, const PageFile &file, const std::string &host)
    {
        Response r {http::status::ok, request.version()};
        r.set(http::field::content_type, file.type);
        for (const auto &[name, value] : page_headers(host))
            r.set(name, value);
        r.keep_alive(keep_alive(request, http::status::ok));
        if (std::string_view(file.path) == "/")
            r.body() = shared_.index_html;
        else
            r.body().assign(file.body, file.size);
        r.prepare_payload();
        if (request.method() == http::verb::head)
            r.body().clear();
        return r;
    }

    void send(Response &&response)
    {
        auto shared = std::make_shared<Response>(std::move(response));
        http::async_write(stream_, *shared, [self = shared_from_this(), shared](error_code ec, size_t) {
            if (ec || !shared->keep_alive()) {
                error_code ignored;
                self->stream_.socket().shutdown(tcp::socket::shutdown_send, ignored);
                return;
            }
            self->read();  // a request sent along with this one is in buffer_ already
        });
    }

    beast::tcp_stream stream_;
    Shared &shared_;
    Place place_;
    std::string peer_;  // the peer's address, canonical
    int requests_ = 0;
    std::optional<std::list<HttpSession *>::iterator> waiting_;
    beast::flat_buffer buffer_;
    std::optional<http::request_parser<http::empty_body>> parser_;
};

bool Shared::evict_waiting()
{
    if (waiting.empty())
        return false;
    waiting.front()->evict();
    return true;
}

// Refuses a connection at once, with a short answer written if the socket
// takes it without waiting.
void refuse(tcp::socket &socket, std::string_view text)
{
    std::string response = "HTTP/1.1 503 Service Unavailable\r\nContent-Type: text/plain; charset=utf-8\r\n"
                           "Content-Length: " + std::to_string(text.size()) + "\r\nConnection: close\r\n\r\n" +
                           std::string(text);
    error_code ignored;
    socket.non_blocking(true, ignored);
    socket.write_some(asio::buffer(response), ignored);
    // What the client sent already is read, so that closing does not
    // reset the connection before the answer is read.
    std::array<char, 4096> sink;
    for (int i = 0; i < 4 && socket.read_some(asio::buffer(sink), ignored) > 0;)
        ++i;
    socket.shutdown(tcp::socket::shutdown_both, ignored);
    socket.close(ignored);
}

// A new connection gets a place: in total (making room by closing the
// connection that has waited longest for a request) and for its address.
void admit(tcp::socket socket, Shared &shared)
{
    error_code ec;
    auto peer = socket.remote_endpoint(ec);
    if (ec)
        return;  // gone already
    std::string address = canonical_address(peer.address().to_string()).value_or(peer.address().to_string());
    if (shared.counts.full() && !shared.evict_waiting()) {
        refuse(socket, "The gateway is busy; try again later.\n");
        return;
    }
    // A trusted proxy's connection is counted for its client once its
    // request names the client.
    auto place = shared.counts.admit(shared.trusted(address) ? "" : address);
    if (!place) {
        refuse(socket, "Too many connections from your address; try again later.\n");
        return;
    }
    std::make_shared<HttpSession>(std::move(socket), shared, std::move(*place), address)->read();
}

void accept_next(tcp::acceptor &acceptor, Shared &shared)
{
    acceptor.async_accept([&acceptor, &shared](error_code ec, tcp::socket socket) {
        if (!acceptor.is_open())
            return;
        if (!ec)
            admit(std::move(socket), shared);
        else if (ec == asio::error::no_descriptors || ec == asio::error::no_buffer_space) {
            // Out of descriptors: wait a little rather than spin.
            auto timer = std::make_shared<asio::steady_timer>(acceptor.get_executor(), std::chrono::milliseconds(100));
            timer->async_wait([&acceptor, &shared, timer](error_code) { accept_next(acceptor, shared); });
            return;
        }
        accept_next(acceptor, shared);
    });
}

bool resolve_server(asio::io_context &io, const Options &options, tcp::endpoint &server)
{
    error_code ec;
    tcp::resolver resolver(io);
    auto results = resolver.resolve(options.server_host, std::to_string(options.server_port), ec);
    if (ec || results.empty()) {
        fprintf(stderr, _("chat_web: cannot find the chat server %s: %s\n"), options.server_host.c_str(),
                ec ? ec.message().c_str() : _("no address"));
        return false;
    }
    server = results.begin()->endpoint();
    return true;
}

bool open_acceptor(tcp::acceptor &acceptor, const Options &options)
{
    error_code ec;
    auto address = asio::ip::make_address(options.listen_address, ec);
    if (ec) {
        fprintf(stderr, _("chat_web: --listen: '%s' is not an IP address\n"), options.listen_address.c_str());
        return false;
    }
    tcp::endpoint at(address, options.listen_port);
    acceptor.open(at.protocol(), ec);
    if (!ec)
        acceptor.set_option(tcp::acceptor::reuse_address(true), ec);
    if (!ec)
        acceptor.bind(at, ec);
    if (!ec)
        acceptor.listen(asio::socket_base::max_listen_connections, ec);
    if (ec) {
        fprintf(stderr, _("chat_web: cannot listen on %s:%u: %s\n"), options.listen_address.c_str(),
                options.listen_port, ec.message().c_str());
        return false;
    }
    return true;
}

// Raises the soft descriptor limit to the hard one; returns the limit in
// force.
unsigned long long raise_descriptor_limit()
{
    rlimit limit {};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return 1024;
    if (limit.rlim_cur < limit.rlim_max) {
        rlimit raised = limit;
        raised.rlim_cur = limit.rlim_max;
        if (setrlimit(RLIMIT_NOFILE, &raised) == 0)
            limit = raised;
    }
    return limit.rlim_cur == RLIM_INFINITY ? 1ULL << 20 : limit.rlim_cur;
}

}  // namespace

int run_gateway(const Options &options)
{
    // Declared before the io_context: the handlers that it destroys last
    // still give their places and counts back to it.
    Shared shared(options, connections_for_descriptors(raise_descriptor_limit()));
    if (const PageFile *index = find_page("/"))
        shared.index_html = page_with_title(std::string_view(index->body, index->size), options.title);
    for (const auto &name : own_host_names())
        shared.hosts.allow(name);
    for (const auto &name : options.allow_hosts)
        shared.hosts.allow(name);
    for (const auto &origin : options.allow_origins)
        shared.hosts.allow_origin(origin);
    if (!shared.codec.open("UTF-8")) {
        fprintf(stderr, _("chat_web: no converter between UTF-8 and Shift_JIS\n"));
        return exit_failure;
    }
    asio::io_context io(1);
    if (!resolve_server(io, options, shared.server))
        return exit_failure;
    tcp::acceptor acceptor(io);
    if (!open_acceptor(acceptor, options))
        return exit_failure;
    if (!options.history.empty()) {
        std::string problem = history_problem(options.history);
        if (!problem.empty())
            fprintf(stderr, _("chat_web: cannot read the history %s yet: %s; sessions start without earlier records until it can be read\n"),
                    options.history.c_str(), problem.c_str());
    }
    // The stop signals are caught before the line that says the gateway
    // serves: a stop right after it is an orderly one.
    asio::signal_set stop(io, SIGINT, SIGTERM);
    stop.async_wait([&](error_code, int) { io.stop(); });
    signal(SIGPIPE, SIG_IGN);
    auto at = acceptor.local_endpoint();
    // TRANSLATORS: keep the page's address before the server's: chat_bench
    // takes the first address in this line for the page's.
    printf(_("chat_web: serving http://%s:%u/ for the chat server at %s:%u\n"), at.address().to_string().c_str(),
           at.port(), options.server_host.c_str(), options.server_port);
    fflush(stdout);
    accept_next(acceptor, shared);
    io.run();
    shared.delays.report();
    return exit_stopped;
}

}  // namespace chat_web
