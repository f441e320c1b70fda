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
#include <memory>
#include <optional>
#include <unistd.h>

#include "gateway.hpp"

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

// What every session shares.
struct Shared {
    const Options &options;
    chat::Codec codec;
    tcp::endpoint server;
    DelayLog delays;
    int sessions = 0;  // WebSocket sessions open now
};

std::optional<std::vector<chat::HistoryRecord>> read_history_file(const std::string &path)
{
    int fd = chat::open_history(path.c_str());
    if (fd < 0)
        return std::nullopt;
    std::vector<chat::HistoryRecord> records;
    auto status = chat::read_history(fd, records, 200);
    close(fd);
    if (status == chat::HistoryStatus::too_short)
        return std::vector<chat::HistoryRecord> {};
    if (status != chat::HistoryStatus::ok)
        return std::nullopt;
    return records;
}

class WebSession : public std::enable_shared_from_this<WebSession> {
public:
    WebSession(beast::tcp_stream &&stream, Shared &shared)
        : ws_(std::move(stream)), server_(ws_.get_executor()), shared_(shared),
          session_(shared.codec, shared.options.limits, history_reader()),
          out_(shared.options.limits.output_max)
    {
        ++shared_.sessions;
    }
    ~WebSession() { --shared_.sessions; }
    WebSession(const WebSession &) = delete;
    WebSession &operator=(const WebSession &) = delete;

    // Takes the upgrade request along: it must outlive the handshake.
    void start(http::request<http::empty_body> request)
    {
        request_ = std::move(request);
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
        ws_.async_accept(request_, [self = shared_from_this()](error_code ec) {
            if (ec)
                return;
            self->apply(self->session_.opened());
            self->read_page();
        });
    }

private:
    HistoryReader history_reader()
    {
        if (shared_.options.history.empty())
            return {};
        std::string path = shared_.options.history;
        return [path] { return read_history_file(path); };
    }

    void read_page()
    {
        ws_.async_read(in_, [self = shared_from_this()](error_code ec, size_t) {
            if (ec) {
                self->finish();
                return;
            }
            std::string text = beast::buffers_to_string(self->in_.data());
            self->in_.consume(self->in_.size());
            self->apply(self->session_.page_message(text, steady::now()));
            if (!self->closing_)
                self->read_page();
        });
    }

    // The browser is gone or the session is over: drop everything.
    void finish()
    {
        done_ = true;
        error_code ignored;
        server_.close(ignored);
        beast::get_lowest_layer(ws_).close();
    }

    void apply(Actions a, std::optional<steady::time_point> read_at = std::nullopt)
    {
        if (done_)
            return;
        if (a.connect)
            connect_server();
        if (!a.to_server.empty())
            write_server(std::move(a.to_server));
        for (size_t i = 0; i < a.to_page.size(); ++i) {
            bool last = i + 1 == a.to_page.size();
            if (!out_.push(std::move(a.to_page[i]))) {
                finish();  // a browser that does not read: let it go
                return;
            }
            stamps_.push_back(last ? read_at : std::nullopt);
        }
        if (a.drop_server) {
            error_code ignored;
            server_.close(ignored);
            server_out_.clear();
        }
        if (a.close_code != 0)
            closing_ = a.close_code;
        write_page();
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
        ws_.async_write(asio::buffer(out_.front()), [self = shared_from_this()](error_code ec, size_t) {
            self->writing_page_ = false;
            if (ec) {
                self->finish();
                return;
            }
            if (auto at = self->stamps_.front())
                self->shared_.delays.add(steady::now() - *at);
            self->stamps_.pop_front();
            self->out_.pop();
            self->write_page();
        });
    }

    void connect_server()
    {
        error_code ignored;
        server_.close(ignored);
        server_ = tcp::socket(ws_.get_executor());
        server_out_.clear();
        ++generation_;
        server_.async_connect(shared_.server, [self = shared_from_this(), g = generation_](error_code ec) {
            if (g != self->generation_ || self->done_)
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

    void read_server()
    {
        server_.async_read_some(asio::buffer(server_in_), [self = shared_from_this(), g = generation_](error_code ec, size_t n) {
            if (g != self->generation_ || self->done_)
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

    void write_server(std::string bytes)
    {
        server_out_.push_back(std::move(bytes));
        if (server_out_.size() == 1)
            write_server_front();
    }

    void write_server_front()
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

    websocket::stream<beast::tcp_stream> ws_;
    http::request<http::empty_body> request_;
    tcp::socket server_;
    Shared &shared_;
    Session session_;
    OutQueue out_;
    std::deque<std::optional<steady::time_point>> stamps_;
    beast::flat_buffer in_;
    std::array<char, 8192> server_in_ {};
    std::deque<std::string> server_out_;
    unsigned generation_ = 0;
    int closing_ = 0;
    bool close_sent_ = false;
    bool writing_page_ = false;
    bool done_ = false;
};

const PageFile *find_page(std::string_view target)
{
    target = target.substr(0, target.find('?'));
    for (unsigned long i = 0; i < page_file_count; ++i)
        if (target == page_files[i].path)
            return &page_files[i];
    return nullptr;
}

// Plain HTTP: the page's files, and the upgrade to a WebSocket.
class HttpSession : public std::enable_shared_from_this<HttpSession> {
public:
    HttpSession(tcp::socket &&socket, Shared &shared) : stream_(std::move(socket)), shared_(shared) {}

    void read()
    {
        parser_.emplace();
        parser_->header_limit(8192);
        stream_.expires_after(std::chrono::seconds(shared_.options.limits.handshake_seconds));
        http::async_read(stream_, buffer_, *parser_, [self = shared_from_this()](error_code ec, size_t) {
            if (ec) {
                error_code ignored;
                self->stream_.socket().shutdown(tcp::socket::shutdown_both, ignored);
                return;
            }
            self->answer();
        });
    }

private:
    void answer()
    {
        auto &request = parser_->get();
        std::string host(request[http::field::host]);
        if (websocket::is_upgrade(request)) {
            std::optional<std::string_view> origin;
            if (request.find(http::field::origin) != request.end())
                origin = view(request[http::field::origin]);
            if (request.target() != "/ws" || !origin_allowed(origin, host, shared_.options.allow_origins)) {
                send(plain(request, request.target() != "/ws" ? http::status::not_found : http::status::forbidden,
                           request.target() != "/ws" ? "Not found\n" : "This page may not connect here.\n"));
                return;
            }
            // Open pages cost a descriptor each even before they log in.
            if (shared_.sessions >= shared_.options.limits.sessions_max) {
                send(plain(request, http::status::service_unavailable, "Too many pages are open; try again later.\n"));
                return;
            }
            std::make_shared<WebSession>(std::move(stream_), shared_)->start(parser_->release());
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

    using Response = http::response<http::string_body>;

    Response plain(const http::request<http::empty_body> &request, http::status status, const char *text)
    {
        Response r {status, request.version()};
        r.set(http::field::content_type, "text/plain; charset=utf-8");
        r.set("X-Content-Type-Options", "nosniff");
        r.set(http::field::cache_control, "no-store");
        r.keep_alive(request.keep_alive() && status != http::status::forbidden &&
                     status != http::status::service_unavailable);
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
        r.keep_alive(request.keep_alive());
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
            self->buffer_.consume(self->buffer_.size());
            self->read();
        });
    }

    beast::tcp_stream stream_;
    Shared &shared_;
    beast::flat_buffer buffer_;
    std::optional<http::request_parser<http::empty_body>> parser_;
};

void accept_next(tcp::acceptor &acceptor, Shared &shared)
{
    acceptor.async_accept([&acceptor, &shared](error_code ec, tcp::socket socket) {
        if (!acceptor.is_open())
            return;
        if (!ec)
            std::make_shared<HttpSession>(std::move(socket), shared)->read();
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
        fprintf(stderr, "chat_web: cannot find the chat server %s: %s\n", options.server_host.c_str(),
                ec ? ec.message().c_str() : "no address");
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
        fprintf(stderr, "chat_web: --listen: '%s' is not an IP address\n", options.listen_address.c_str());
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
        fprintf(stderr, "chat_web: cannot listen on %s:%u: %s\n", options.listen_address.c_str(),
                options.listen_port, ec.message().c_str());
        return false;
    }
    return true;
}

}  // namespace

int run_gateway(const Options &options)
{
    asio::io_context io(1);
    Shared shared {options, {}, {}, {}};
    if (!shared.codec.open("UTF-8")) {
        fprintf(stderr, "chat_web: no converter between UTF-8 and Shift_JIS\n");
        return exit_failure;
    }
    if (!resolve_server(io, options, shared.server))
        return exit_failure;
    tcp::acceptor acceptor(io);
    if (!open_acceptor(acceptor, options))
        return exit_failure;
    if (!options.history.empty() && access(options.history.c_str(), R_OK) != 0)
        fprintf(stderr, "chat_web: cannot read %s yet (%s); sessions start without earlier records until it can be read\n",
                options.history.c_str(), strerror(errno));
    auto at = acceptor.local_endpoint();
    printf("chat_web: serving http://%s:%u/ for the chat server at %s:%u\n", at.address().to_string().c_str(),
           at.port(), options.server_host.c_str(), options.server_port);
    fflush(stdout);

    asio::signal_set stop(io, SIGINT, SIGTERM);
    stop.async_wait([&](error_code, int) { io.stop(); });
    signal(SIGPIPE, SIG_IGN);
    accept_next(acceptor, shared);
    io.run();
    shared.delays.report();
    return exit_stopped;
}

}  // namespace chat_web
