// All of the gateway's Beast code: HTTP requests for the page, the
// WebSocket of each page, and the accepting of connections. What they
// decide is plain code in web/admission.* and web/serving.*; what a page
// says goes to its conversation.
#include "link.hpp"

#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>

#include "i18n/i18n.hpp"
#include "serving.hpp"

namespace chat_web {

namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;

DelayLog::DelayLog() : on(getenv("CHAT_WEB_TIMING") != nullptr) {}

void DelayLog::add(steady::duration d)
{
    if (on && micros_.size() < 1'000'000)
        micros_.push_back(std::chrono::duration_cast<std::chrono::microseconds>(d).count());
}

void DelayLog::report()
{
    if (!on || micros_.empty())
        return;
    std::sort(micros_.begin(), micros_.end());
    auto at = [&](size_t per_cent) { return micros_[std::min(micros_.size() - 1, micros_.size() * per_cent / 100)]; };
    fprintf(stderr, "chat_web: server read to browser write: %zu batches, p50 %lld us, p99 %lld us, max %lld us\n",
            micros_.size(), at(50), at(99), micros_.back());
}

Links::Links(const Options &o, size_t connections_max)
    : options(o), counts(connections_max, static_cast<size_t>(o.limits.per_address_max))
{
    for (const Room &room : o.rooms)
        rooms.emplace_back(o.limits, room, codec, sessions);
}

Conversations *Links::room(std::string_view name)
{
    if (name.empty())
        return rooms.empty() ? nullptr : &rooms.front();
    for (Conversations &r : rooms)
        if (r.room == name)
            return &r;
    return nullptr;
}

bool Links::trusted(const std::string &address) const
{
    return std::any_of(options.trusted_proxies.begin(), options.trusted_proxies.end(),
                       [&](const AddressRange &range) { return range.contains(address); });
}

std::string Links::key(const std::string &address) const { return client_key(address, options.ipv6_prefix); }

namespace {

std::string_view view(beast::string_view s) { return {s.data(), s.size()}; }

// Every value of a request's header `name`, joined with commas.
std::string joined(const http::request<http::empty_body> &request, std::string_view name)
{
    std::string values;
    for (auto range = request.equal_range(beast::string_view(name.data(), name.size())); range.first != range.second; ++range.first) {
        if (!values.empty())
            values += ',';
        values += view(range.first->value());
    }
    return values;
}

}  // namespace

// What the door found out about a WebSocket upgrade: the name a sign-in
// proxy verified (Shift_JIS; empty when names are the page's), or why the
// page is turned away.
struct Door {
    std::string name;
    std::optional<Reason> refused;
};

// One page's WebSocket, the page end of a conversation in each room that
// the page speaks to. It starts with a conversation in the first room; the
// first message for another room starts one there. A conversation not
// logged in may be traded for a detached one of its room, which a resume
// takes up. Each message is read once, here, and goes to its room's
// session.
class PageLink : public PageEnd, public std::enable_shared_from_this<PageLink> {
public:
    PageLink(beast::tcp_stream &&stream, Links &links, Place place, std::string origin, Door door)
        : ws_(std::move(stream)), probe_timer_(ws_.get_executor()), links_(links), place_(std::move(place)),
          origin_(std::move(origin)), door_(std::move(door)), out_(links.options.limits.output_max)
    {
        ++links_.sessions;
    }
    ~PageLink() override { --links_.sessions; }
    PageLink(const PageLink &) = delete;
    PageLink &operator=(const PageLink &) = delete;

    // Takes the upgrade request along: it must outlive the handshake.
    void start(http::request<http::empty_body> request)
    {
        request_ = std::move(request);
        conversations_.push_back(new_conversation(links_.rooms.front()));
        const Limits &limits = links_.options.limits;
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
            Conversation &first = *self->conversations_.front();
            if (self->door_.refused) {
                // A browser cannot read the status of a refused upgrade:
                // it is told why over the WebSocket instead.
                first.apply(first.session().turned_away(*self->door_.refused));
                return;
            }
            first.apply(first.session().opened());
            self->read_page();
        });
    }

    bool send_events(std::string message, std::optional<steady::time_point> read_at) override
    {
        if (done_)
            return true;
        if (!out_.push(std::move(message)))
            return false;
        stamps_.push_back(read_at);
        write_page();
        return true;
    }

    void close_page(int code) override
    {
        closing_ = code;
        write_page();
    }

    void let_page_go() override { finish(); }

    // The page is gone, or let go: its socket is closed, its session is
    // told once, and a probe waiting on it learns that it did not answer.
    void finish()
    {
        if (done_)
            return;
        done_ = true;
        beast::get_lowest_layer(ws_).close();
        for (const auto &conversation : conversations_)
            conversation->page_gone(this);
        place_.release();
        probe_answered(false);
    }

    // A ping whose pong must come within the probe time.
    void probe_page(std::function<void(bool alive)> done) override
    {
        if (done_) {
            done(false);
            return;
        }
        probe_done_ = std::move(done);
        probe_timer_.expires_after(std::chrono::milliseconds(links_.options.limits.probe_ms));
        probe_timer_.async_wait([self = shared_from_this()](error_code ec) {
            if (!ec)
                self->probe_answered(false);
        });
        ws_.async_ping(websocket::ping_data(probe_payload), [self = shared_from_this()](error_code ec) {
            if (ec)
                self->probe_answered(false);
        });
    }

    Place hand_over_place() override
    {
        if (address_.empty())
            address_ = place_.address();
        return std::move(place_);
    }

    std::string client_address() const override { return address_.empty() ? place_.address() : address_; }

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
            self->take(text);
            if (!self->closing_ && !self->done_)
                self->read_page();
        });
    }

    // A message from the page, for the session of its room.
    void take(const std::string &text)
    {
        Conversation &first = *conversations_.front();
        if (!ws_.got_text()) {
            first.apply(first.session().page_binary());
            return;
        }
        if (text.size() > links_.options.limits.message_max) {
            first.apply(first.session().page_message(text, steady::now()));
            return;
        }
        PageMessage message = parse_page_message(text);
        size_t slot = slot_for(room_of(message));
        Conversation &to = *conversations_[slot];
        Actions a = to.session().page_message(message, steady::now());
        if (a.resume)
            resume(slot, *a.resume);
        else
            to.apply(std::move(a));
    }

    std::shared_ptr<Conversation> new_conversation(Conversations &room)
    {
        auto conversation = std::make_shared<Conversation>(ws_.get_executor(), room, origin_);
        conversation->set_page(shared_from_this());
        conversation->session().set_verified_name(door_.name);
        return conversation;
    }

    // The conversation for a message to `room`: the first room's for none,
    // and for a room the gateway does not have (which its session refuses
    // as such); a room's first message starts a session there, which
    // greets the page first.
    size_t slot_for(std::string_view room)
    {
        Conversations *wanted = links_.room(room);
        if (!wanted)
            return 0;
        for (size_t i = 0; i < conversations_.size(); ++i)
            if (conversations_[i]->session().room() == wanted->room)
                return i;
        conversations_.push_back(new_conversation(*wanted));
        Conversation &fresh = *conversations_.back();
        fresh.apply(fresh.session().opened());
        return conversations_.size() - 1;
    }

    // Whether this page may take over `target` now: its token and origin,
    // and behind a sign-in proxy the same verified name.
    bool may_take(Conversation &target, const std::string &token)
    {
        return target.session().may_resume(token, origin_) && target.session().verified_name() == door_.name;
    }

    // A page asks to take over the session with `request.token` in the
    // room of its conversation in `slot`.
    void resume(size_t slot, const Resume &request)
    {
        Conversations *room = links_.room(conversations_[slot]->session().room());
        auto target = room->with_token(request.token, origin_, conversations_[slot].get());
        if (target && target->session().verified_name() != door_.name) {
            refuse_resume(slot);
            return;
        }
        if (target && may_take(*target, request.token)) {
            adopt(slot, target, request.after);
            return;
        }
        auto old = target ? target->page() : nullptr;
        if (!old || target->probing || !target->session().logged_in() || old.get() == this) {
            refuse_resume(slot);
            return;
        }
        // The session still has a page. If that page answers, this is a
        // second tab with a copied token; if not, it went away without a
        // word (a phone that slept), and this page takes its place.
        target->probing = true;
        old->probe_page([self = shared_from_this(), slot, target, request](bool alive) {
            target->probing = false;
            if (!alive)
                if (auto gone = target->page())
                    gone->let_page_go();
            if (self->done_)
                return;
            if (!alive && !target->ended() && self->may_take(*target, request.token))
                self->adopt(slot, target, request.after);
            else
                self->refuse_resume(slot);
        });
    }

    // The page's own conversation in the slot's room, not logged in, goes;
    // `target` is its conversation there from now on.
    void adopt(size_t slot, const std::shared_ptr<Conversation> &target, uint64_t after)
    {
        conversations_[slot] = target;
        target->take_over(shared_from_this(), after);
    }

    void refuse_resume(size_t slot)
    {
        Conversation &c = *conversations_[slot];
        c.apply(c.session().refuse_resume());
    }

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
                self->links_.delays.add(steady::now() - *at);
            self->write_page();
        });
    }

    websocket::stream<beast::tcp_stream> ws_;
    http::request<http::empty_body> request_;
    asio::steady_timer probe_timer_;
    Links &links_;
    Place place_;
    std::string origin_;  // the handshake's Origin; empty without one
    Door door_;
    // One conversation per room the page has spoken to, the first room's first.
    std::vector<std::shared_ptr<Conversation>> conversations_;
    std::string address_;  // where the page was counted, once its place is handed over
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


// Plain HTTP: the page's files, and the upgrade to a WebSocket. Requests
// are answered one after another, also when a client sends several at once.
class HttpLink : public std::enable_shared_from_this<HttpLink> {
public:
    HttpLink(tcp::socket &&socket, Links &links, Place place, std::string peer)
        : stream_(std::move(socket)), links_(links), place_(std::move(place)), peer_(std::move(peer))
    {
    }
    ~HttpLink() { stop_waiting(); }
    HttpLink(const HttpLink &) = delete;
    HttpLink &operator=(const HttpLink &) = delete;

    void read()
    {
        const Limits &limits = links_.options.limits;
        parser_.emplace();
        parser_->header_limit(8192);
        // The first request may take the handshake's time; later ones
        // must follow the previous answer promptly.
        stream_.expires_after(std::chrono::seconds(requests_ == 0 ? limits.handshake_seconds : limits.keep_alive_seconds));
        waiting_ = links_.waiting.insert(links_.waiting.end(), this);
        http::async_read(stream_, buffer_, *parser_, [self = shared_from_this()](error_code ec, size_t) {
            self->stop_waiting();
            if (ec)
                self->unreadable(ec);
            else
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

    // Whether this is a connection of `address` that has been answered and
    // now only waits for another request.
    bool idle_of(const std::string &address) const { return requests_ > 0 && place_.address() == address; }

private:
    // A request that could not be read: one that broke the rules is told
    // why before the close (headers past the limit, a body it may not
    // have, a Transfer-Encoding that does not end in chunked); a client
    // that went, or waited too long, is only closed.
    void unreadable(error_code ec)
    {
        bool broken = ec.category() == http::make_error_code(http::error::bad_field).category() &&
                      ec != http::error::end_of_stream && ec != http::error::partial_message &&
                      ec != http::error::short_read && ec != http::error::need_more;
        if (!broken) {
            error_code ignored;
            stream_.socket().shutdown(tcp::socket::shutdown_both, ignored);
            return;
        }
        if (ec == http::error::header_limit)
            send(refusal(http::status::request_header_fields_too_large, "The request's headers are too large.\n"));
        else
            send(refusal(http::status::bad_request, "The request is not one this gateway reads.\n"));
    }

    void stop_waiting()
    {
        if (waiting_) {
            links_.waiting.erase(*waiting_);
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
        if (request.find(http::field::transfer_encoding) != request.end() &&
            !transfer_coding_ends_in_chunked(joined(request, "Transfer-Encoding"))) {
            send(plain(request, http::status::bad_request, "A Transfer-Encoding must end in chunked.\n"));
            return;
        }
        std::string host(request[http::field::host]);
        auto verdict = links_.hosts.check(host);
        if (verdict == HostRule::Verdict::malformed) {
            send(plain(request, http::status::bad_request, "The Host header is not a host name or an IP address.\n"));
            return;
        }
        if (verdict == HostRule::Verdict::foreign) {
            send(plain(request, http::status::forbidden,
                       "This gateway does not answer to that host name; start it with --allow-host NAME.\n"));
            return;
        }
        if (links_.trusted(peer_)) {
            auto client = forwarded_address(request);
            if (!client) {
                send(plain(request, http::status::bad_request, "The proxy's X-Forwarded-For names no address.\n"));
                return;
            }
            if (!place_.claim(links_.key(*client))) {
                send(plain(request, http::status::service_unavailable,
                           "Too many connections from your address; try again later.\n"));
                return;
            }
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
    // into X-Forwarded-For; the proxy's own without one; nullopt when that
    // entry is no address (a proxy that writes "unknown"): counting all
    // such clients under the proxy's address would let one of them lock
    // out the others.
    std::optional<std::string> forwarded_address(const http::request<http::empty_body> &request) const
    {
        Forwarded f = forwarded_client(joined(request, "X-Forwarded-For"));
        if (!f.present)
            return peer_;
        if (!f.address && !links_.told_forwarded) {
            links_.told_forwarded = true;
            fprintf(stderr, _("chat_web: the proxy at %s sent an X-Forwarded-For entry that is no address "
                              "('%s'); such connections are refused\n"),
                    peer_.c_str(), f.entry.c_str());
        }
        return f.address;
    }

    // What the door makes of an upgrade when a sign-in proxy names the
    // users: the verified name, or why the page is turned away.
    Door door(const http::request<http::empty_body> &request) const
    {
        const std::string &header = links_.options.name_header;
        if (header.empty())
            return {};
        if (!links_.trusted(peer_))
            return {"", Reason::proxy};
        std::vector<std::string_view> lines;
        for (auto range = request.equal_range(beast::string_view(header)); range.first != range.second; ++range.first)
            lines.push_back(view(range.first->value()));
        HeaderName name = header_name(lines, links_.codec);
        switch (name.problem) {
        case HeaderNameProblem::none: return {name.sjis, std::nullopt};
        case HeaderNameProblem::unfit:
        case HeaderNameProblem::reserved: return {"", Reason::unfit_name};
        default: return {"", Reason::unverified};
        }
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
        if (!origin_allowed(origin, view(request[http::field::host]), links_.options.allow_origins)) {
            send(plain(request, http::status::forbidden, "This page may not connect here.\n"));
            return;
        }
        // Open pages cost a descriptor each even before they log in.
        if (links_.sessions >= links_.options.limits.sessions_max) {
            send(plain(request, http::status::service_unavailable, "Too many pages are open; try again later.\n"));
            return;
        }
        std::make_shared<PageLink>(std::move(stream_), links_, std::move(place_), std::string(origin.value_or("")),
                                   door(request))
            ->start(parser_->release());
    }

    using Response = http::response<http::string_body>;

    // Whether the connection stays open for another request.
    bool keep_alive(const http::request<http::empty_body> &request, http::status status) const
    {
        bool refused = status == http::status::bad_request || status == http::status::forbidden ||
                       status == http::status::service_unavailable;
        return request.keep_alive() && !refused && requests_ < links_.options.limits.requests_max;
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

    // The answer to a request that could not be read, and the close.
    Response refusal(http::status status, const char *text)
    {
        Response r {status, 11};
        r.set(http::field::content_type, "text/plain; charset=utf-8");
        r.set(http::field::cache_control, "no-store");
        r.keep_alive(false);
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
            r.body() = links_.index_html;
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
    Links &links_;
    Place place_;
    std::string peer_;  // the peer's address, canonical
    int requests_ = 0;
    std::optional<std::list<HttpLink *>::iterator> waiting_;
    beast::flat_buffer buffer_;
    std::optional<http::request_parser<http::empty_body>> parser_;
};


bool Links::evict_waiting()
{
    if (waiting.empty())
        return false;
    waiting.front()->evict();
    return true;
}

bool Links::evict_idle_of(const std::string &address)
{
    for (HttpLink *link : waiting)
        if (link->idle_of(address)) {
            link->evict();
            return true;
        }
    return false;
}

namespace {

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
void admit(tcp::socket socket, Links &links)
{
    error_code ec;
    auto peer = socket.remote_endpoint(ec);
    if (ec)
        return;  // gone already
    std::string address = canonical_address(peer.address().to_string()).value_or(peer.address().to_string());
    if (links.counts.full() && !links.evict_waiting()) {
        refuse(socket, "The gateway is busy; try again later.\n");
        return;
    }
    // A trusted proxy's connection is counted for its client once its
    // request names the client.
    std::string counted = links.trusted(address) ? "" : links.key(address);
    auto place = links.counts.admit(counted);
    if (!place && !counted.empty() && links.evict_idle_of(counted))
        place = links.counts.admit(counted);
    if (!place) {
        refuse(socket, "Too many connections from your address; try again later.\n");
        return;
    }
    std::make_shared<HttpLink>(std::move(socket), links, std::move(*place), address)->read();
}

}  // namespace

void accept_next(tcp::acceptor &acceptor, Links &links)
{
    acceptor.async_accept([&acceptor, &links](error_code ec, tcp::socket socket) {
        if (!acceptor.is_open())
            return;
        if (!ec)
            admit(std::move(socket), links);
        else if (ec == asio::error::no_descriptors || ec == asio::error::no_buffer_space) {
            // Out of descriptors: wait a little rather than spin.
            auto timer = std::make_shared<asio::steady_timer>(acceptor.get_executor(), std::chrono::milliseconds(100));
            timer->async_wait([&acceptor, &links, timer](error_code) { accept_next(acceptor, links); });
            return;
        }
        accept_next(acceptor, links);
    });
}

}  // namespace chat_web
