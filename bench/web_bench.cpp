// chat_bench --scenario web: what the gateway costs. First own echo three
// ways, turn about: through chat_web (WebSocket, JSON, the conversion to
// UTF-8), through a relay that only forwards bytes (the same two extra
// loopback hops and nothing else: the floor) and direct, each path to a
// server of its own so that a poster's batch holds its own record alone.
// Then the gateway's own delay for tick bursts, 19 sessions receiving 20
// records each at every tick of the server, which the gateway measures
// itself when CHAT_WEB_TIMING is set (from a read from the server to the
// last write to the browser that it makes of it) and prints at exit; its
// time on a CPU and waiting for one per burst, which tell its own work
// from a busy machine's; and its resident memory. The posters' rate cap
// is lifted.
#include <string>

#include "scenarios.hpp"

#ifndef CHAT_WEB_BINARY

#include <cstdio>

void web_scenario(int) { printf("web: chat_web was not built (no Boost.Beast headers)\n"); }

#else

#include <utility>  // before Asio under C++20

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>

#include <algorithm>
#include <atomic>
#include <charconv>
#include <cstdio>
#include <fcntl.h>
#include <functional>
#include <memory>
#include <mutex>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "harness.hpp"
#include "loopback_server.hpp"

using namespace chat_test;
namespace asio = boost::asio;
namespace beast = boost::beast;
namespace websocket = beast::websocket;
using tcp = asio::ip::tcp;

namespace {

constexpr int turns = 2000, warm_up = 100;
constexpr int burst_listeners = 19;  // with the poster, the server's 20 places
constexpr int burst_records = 20;    // a whole board at every tick

// The figures of the gateway's line on its delays, from a read from the
// server to the last write to the browser made of it.
struct Delays {
    long long reads = 0, p50 = -1, p99 = -1, max = -1;
};

long long number_after(const std::string &text, const std::string &label)
{
    auto at = text.find(label);
    return at == std::string::npos ? -1 : std::atoll(text.c_str() + at + label.size());
}

// The line with p50, p99 and max, after its own name and the count of reads.
Delays parse_delays(const std::string &report)
{
    Delays d;
    auto at = report.find(" p99 ");
    if (at == std::string::npos)
        return d;
    at = report.rfind('\n', at) + 1;  // 0 when it is the first line
    std::string line = report.substr(at, report.find('\n', at) - at);
    auto count = line.rfind(": ", line.find("p50 "));
    d.reads = count == std::string::npos ? -1 : std::atoll(line.c_str() + count + 2);
    d.p50 = number_after(line, "p50 ");
    d.p99 = number_after(line, "p99 ");
    d.max = number_after(line, "max ");
    return d;
}

struct Gateway {
    pid_t pid = -1;
    int port = 0;
    std::string err_path;

    Gateway(int server_port, const std::string &dir, const std::string &name, const std::string &archive = "")
    {
        err_path = dir + "/" + name + ".err";
        int out[2];
        if (pipe(out) != 0)
            throw std::runtime_error("pipe");
        pid = fork();
        if (pid == 0) {
            dup2(out[1], 1);
            int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(err, 2);
            setenv("CHAT_WEB_TIMING", "1", 1);
            std::string server = "127.0.0.1:" + std::to_string(server_port);
            std::vector<const char *> args {"chat_web", "--listen", "127.0.0.1:0", "--server", server.c_str(),
                                            "--rate-limit", "65535"};
            if (!archive.empty()) {
                args.push_back("--archive");
                args.push_back(archive.c_str());
            }
            args.push_back(nullptr);
            execv(CHAT_WEB_BINARY, const_cast<char *const *>(args.data()));
            _exit(127);
        }
        close(out[1]);
        std::string line;
        char c;
        while (read(out[0], &c, 1) == 1 && c != '\n')
            line += c;
        close(out[0]);
        auto at = line.find("127.0.0.1:");
        if (at == std::string::npos)
            throw std::runtime_error("chat_web did not start: " + line);
        port = std::stoi(line.substr(at + 10));
    }

    ~Gateway() { stop(); }
    Gateway(const Gateway &) = delete;
    Gateway &operator=(const Gateway &) = delete;

    // Stops it and returns its own delays, from what it printed at exit.
    Delays stop()
    {
        if (pid > 0) {
            kill(pid, SIGTERM);
            int status;
            waitpid(pid, &status, 0);
            pid = -1;
        }
        return parse_delays(read_file(err_path));
    }

    long rss_kb() const
    {
        std::string status = read_file("/proc/" + std::to_string(pid) + "/status");
        auto at = status.find("VmRSS:");
        return at == std::string::npos ? -1 : std::stol(status.substr(at + 6));
    }

    // Nanoseconds it has run on a CPU and waited for one, so far.
    std::pair<long long, long long> run_and_wait_ns() const
    {
        long long run = 0, wait = 0;
        std::string stat = read_file("/proc/" + std::to_string(pid) + "/schedstat");
        sscanf(stat.c_str(), "%lld %lld", &run, &wait);
        return {run, wait};
    }
};

// chat_archive keeping the history of the server in `dir`, until destroyed.
struct Keeper {
    pid_t pid = -1;
    std::string database;

    explicit Keeper(const std::string &dir) : database(dir + "/archive.db")
    {
        std::string history = dir + "/chat.dat";
        pid = fork();
        if (pid == 0) {
            int null = open("/dev/null", O_WRONLY);
            dup2(null, 2);
            execl(CHAT_ARCHIVE_BINARY, "chat_archive", "--history", history.c_str(), "--archive", database.c_str(),
                  static_cast<char *>(nullptr));
            _exit(127);
        }
        for (int i = 0; i < 500 && access(database.c_str(), F_OK) != 0; ++i)
            std::this_thread::sleep_for(10ms);
    }
    ~Keeper()
    {
        kill(pid, SIGTERM);
        int status;
        waitpid(pid, &status, 0);
    }
    Keeper(const Keeper &) = delete;
    Keeper &operator=(const Keeper &) = delete;
};

// The events of one message from the gateway: a JSON array of event
// objects, or a single event object (as gateways before batching sent).
std::vector<std::string> events_of(std::string_view message)
{
    std::vector<std::string> events;
    int depth = 0;
    bool in_string = false, escaped = false;
    size_t start = 0;
    for (size_t i = 0; i < message.size(); ++i) {
        char c = message[i];
        if (in_string) {
            if (escaped)
                escaped = false;
            else if (c == '\\')
                escaped = true;
            else if (c == '"')
                in_string = false;
        } else if (c == '"') {
            in_string = true;
        } else if (c == '{' && depth++ == 0) {
            start = i;
        } else if (c == '}' && --depth == 0) {
            events.emplace_back(message.substr(start, i + 1 - start));
        }
    }
    return events;
}

// One browser session: a WebSocket client that logs in.
struct Page {
    asio::io_context io;
    websocket::stream<tcp::socket> ws {io};
    beast::flat_buffer buffer;

    Page(int port, const std::string &name)
    {
        ws.next_layer().connect(tcp::endpoint(asio::ip::make_address("127.0.0.1"), static_cast<unsigned short>(port)));
        ws.next_layer().set_option(tcp::no_delay(true));
        ws.handshake("127.0.0.1:" + std::to_string(port), "/ws");
        ws.text(true);
        send(R"({"type":"login","name":")" + name + R"(","colour":[100,100,100]})");
        read_until(R"("type":"state")");
    }

    void send(const std::string &json) { ws.write(asio::buffer(json)); }

    std::vector<std::string> read()
    {
        buffer.consume(buffer.size());
        ws.read(buffer);
        return events_of(beast::buffers_to_string(buffer.data()));
    }

    // Reads until an event holds `needle`.
    void read_until(const std::string &needle)
    {
        for (;;)
            for (const auto &event : read())
                if (event.find(needle) != std::string::npos)
                    return;
    }
};

long long micros(clock_type::time_point start)
{
    return std::chrono::duration_cast<std::chrono::microseconds>(clock_type::now() - start).count();
}

long long percentile(std::vector<long long> v, int per_cent)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, v.size() * per_cent / 100)];
}

using EventSeen = std::function<void(size_t page, const std::string &event, clock_type::time_point at)>;

// Pages that read on a thread each until destroyed, so that no session's
// queue fills; each event is handed to `seen` with the time it was read.
class Listeners {
public:
    Listeners(int port, int count, EventSeen seen)
    {
        for (int i = 0; i < count; ++i)
            pages_.push_back(std::make_unique<Page>(port, "listener" + std::to_string(i)));
        for (size_t i = 0; i < pages_.size(); ++i)
            threads_.emplace_back([p = pages_[i].get(), i, seen] {
                try {
                    for (;;) {
                        auto events = p->read();
                        auto now = clock_type::now();
                        for (const auto &event : events)
                            seen(i, event, now);
                    }
                } catch (const std::exception &) {
                }
            });
    }
    ~Listeners()
    {
        for (auto &page : pages_) {
            beast::error_code ignored;
            page->ws.next_layer().shutdown(tcp::socket::shutdown_both, ignored);
        }
        for (auto &t : threads_)
            t.join();
    }

private:
    std::vector<std::unique_ptr<Page>> pages_;
    std::vector<std::thread> threads_;
};

// The floor for the gateway: forwards bytes both ways between its client
// and the chat server, and does nothing else.
void relay(int client, int server_port)
{
    Client upstream(server_port);
    int on = 1;
    setsockopt(upstream.fd(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    pollfd fds[2] = {{client, POLLIN, 0}, {upstream.fd(), POLLIN, 0}};
    char buf[65536];
    for (;;) {
        if (poll(fds, 2, -1) < 0)
            return;
        for (int from = 0; from < 2; ++from) {
            if (fds[from].revents == 0)
                continue;
            ssize_t n = read(fds[from].fd, buf, sizeof buf);
            if (n <= 0 || write(fds[1 - from].fd, buf, static_cast<size_t>(n)) != n)
                return;
        }
    }
}

long long page_echo(Page &page, const std::string &body)
{
    auto start = clock_type::now();
    page.send(R"({"type":"send","text":")" + body + "\"}");
    page.read_until("\"text\":\"" + body + "\"");
    return micros(start);
}

long long line_echo(Client &client, const std::string &body)
{
    auto start = clock_type::now();
    client.send("SEND " + body + "\r\n");
    if (client.read_until(body + "\r\nEND\r\n", 5s).empty())
        throw std::runtime_error("no own echo of " + body);
    return micros(start);
}

struct EchoFigures {
    std::vector<long long> gateway, relay, direct;
    Delays delays;
    int searches = -1;  // with the archive: the searches another page made meanwhile
};

// Other pages that search the archive as often as a session may (ten
// questions in ten seconds each), each search waiting for its answer; the
// term of two characters is looked for without the index, row by row.
struct Seekers {
    static constexpr int pages = 10;
    std::atomic<bool> stop {false};
    std::atomic<int> searches {0};
    std::vector<std::thread> threads;

    explicit Seekers(int port)
    {
        for (int n = 0; n < pages; ++n) {
            auto page = std::make_shared<Page>(port, "seeker" + std::to_string(n));
            threads.emplace_back([this, page] {
                for (int id = 1; !stop; ++id) {
                    page->send(R"({"type":"search","text":"ec","id":)" + std::to_string(id) + "}");
                    page->read_until(R"("type":"archive")");
                    ++searches;
                    for (int i = 0; i < 100 && !stop; ++i)
                        std::this_thread::sleep_for(10ms);
                }
            });
        }
    }
    ~Seekers()
    {
        stop = true;
        for (auto &t : threads)
            t.join();
    }
};

// Own echo through the gateway, the relay and direct, turn about (each
// turn starting with the next path); with `archive`, the gateway reads
// chat_archive's database, and another page searches it meanwhile.
EchoFigures echo_three_ways(bool archive)
{
    Server gateway_server(server_binary()), relay_server(server_binary()), direct_server(server_binary());
    for (Server *s : {&gateway_server, &relay_server, &direct_server})
        s->start();
    LoopbackServer relay_process([port = relay_server.port()](int fd) { relay(fd, port); });
    std::unique_ptr<Keeper> keeper;
    if (archive)
        keeper = std::make_unique<Keeper>(gateway_server.dir());
    Gateway gateway(gateway_server.port(), gateway_server.dir(), archive ? "archive-gateway" : "echo-gateway",
                    keeper ? keeper->database : "");
    EchoFigures f;
    {
        std::unique_ptr<Seekers> seeker;
        if (archive)
            seeker = std::make_unique<Seekers>(gateway.port);
        Page page(gateway.port, "poster");
        Client relayed(relay_process.port()), direct(direct_server.port());
        login(relayed, "200200200", "poster");
        login(direct, "200200200", "poster");
        for (int i = 0; i < turns; ++i) {
            std::string body = "echo " + std::to_string(i);
            long long took[3];
            for (int k = 0; k < 3; ++k) {
                int path = (i + k) % 3;
                took[path] = path == 0 ? page_echo(page, body) : line_echo(path == 1 ? relayed : direct, body);
            }
            if (i < warm_up)
                continue;
            f.gateway.push_back(took[0]);
            f.relay.push_back(took[1]);
            f.direct.push_back(took[2]);
        }
        if (seeker)
            f.searches = seeker->searches;
    }
    f.delays = gateway.stop();
    return f;
}

struct BurstFigures {
    int ticks = 0;        // ticks that brought every session its 20 records at once
    long long spread_ms = 0;  // p50 over the ticks: first session's burst to the last one's
    long long run_us = 0, wait_us = 0;  // the gateway's CPU time, and its wait for a CPU, per burst
    long rss_kb = 0;
    Delays delays;
};

// A fresh server and gateway with 19 sessions; a direct poster posts 20
// records, waits until every session has had them at its next tick, and
// again.
BurstFigures tick_bursts(int ticks)
{
    Server server(server_binary());
    server.start();
    Gateway gateway(server.port(), server.dir(), "burst-gateway");
    using time_point = clock_type::time_point;
    struct Arrivals {
        int count = 0;
        time_point first, last;
    };
    std::mutex lock;
    std::vector<std::vector<Arrivals>> arrived(ticks, std::vector<Arrivals>(burst_listeners));
    BurstFigures f;
    {
        Listeners listeners(gateway.port, burst_listeners, [&](size_t page, const std::string &event, time_point at) {
            auto pos = event.find("\"text\":\"burst ");
            int round = -1;
            if (pos == std::string::npos)
                return;
            std::from_chars(event.data() + pos + 14, event.data() + event.size(), round);
            if (round < 0 || round >= ticks)
                return;
            std::lock_guard<std::mutex> guard(lock);
            Arrivals &a = arrived[round][page];
            if (a.count++ == 0)
                a.first = at;
            a.last = at;
        });
        Client poster(server.port());
        login(poster, "200200200", "poster");
        auto round_done = [&](int round) {
            std::lock_guard<std::mutex> guard(lock);
            return std::all_of(arrived[round].begin(), arrived[round].end(),
                               [](const Arrivals &a) { return a.count >= burst_records; });
        };
        auto before = gateway.run_and_wait_ns();
        for (int round = 0; round < ticks; ++round) {
            for (int k = 0; k < burst_records; ++k)
                line_echo(poster, "burst " + std::to_string(round) + "/" + std::to_string(k));
            if (!eventually([&] { return round_done(round); }, 15s))
                throw std::runtime_error("the sessions did not get tick " + std::to_string(round));
        }
        auto after = gateway.run_and_wait_ns();
        f.run_us = (after.first - before.first) / 1000 / (ticks * burst_listeners);
        f.wait_us = (after.second - before.second) / 1000 / (ticks * burst_listeners);
        f.rss_kb = gateway.rss_kb();
    }
    std::vector<long long> spreads;
    for (const auto &round : arrived) {
        auto first = std::min_element(round.begin(), round.end(), [](auto &a, auto &b) { return a.first < b.first; });
        auto last = std::max_element(round.begin(), round.end(), [](auto &a, auto &b) { return a.last < b.last; });
        spreads.push_back(std::chrono::duration_cast<std::chrono::milliseconds>(last->last - first->first).count());
        // A burst that came in one tick arrives within a second (ticks are 5 s apart).
        if (std::all_of(round.begin(), round.end(), [](const Arrivals &a) {
                return a.count == burst_records && a.last - a.first < 1s;
            }))
            ++f.ticks;
    }
    f.spread_ms = percentile(spreads, 50);
    f.delays = gateway.stop();
    return f;
}

void row(const char *what, const std::string &value) { printf("  %-42s %s\n", what, value.c_str()); }

std::string pair_us(long long a, long long b) { return std::to_string(a) + " / " + std::to_string(b) + " us"; }

std::string ratio_text(double r, const char *target)
{
    char text[64];
    snprintf(text, sizeof text, "%.2f%s", r, target);
    return text;
}

void report_echo(const EchoFigures &f, const std::string &prefix = "web")
{
    long long g50 = percentile(f.gateway, 50), r50 = percentile(f.relay, 50), d50 = percentile(f.direct, 50);
    long long g99 = percentile(f.gateway, 99), r99 = percentile(f.relay, 99), d99 = percentile(f.direct, 99);
    double to_relay = r50 ? double(g50) / double(r50) : 0, to_direct = d50 ? double(g50) / double(d50) : 0;
    printf("%s: own echo through chat_web, a byte relay and direct, turn about, %zu turns\n", prefix.c_str(),
           f.gateway.size());
    if (f.searches >= 0)
        row("with --archive; searches by 10 other pages", std::to_string(f.searches));
    row("own echo p50 / p99 through the gateway", pair_us(g50, g99));
    row("own echo p50 / p99 through the relay", pair_us(r50, r99));
    row("own echo p50 / p99 direct", pair_us(d50, d99));
    row("p50 gateway / relay", ratio_text(to_relay, " (target at most 1.5)"));
    row("p50 gateway / direct", ratio_text(to_direct, ""));
    row("gateway's own delay p50 / p99 / max",
        pair_us(f.delays.p50, f.delays.p99) + ", max " + std::to_string(f.delays.max) + " us");
    record_figure(prefix + "_gateway_p50_us", g50);
    record_figure(prefix + "_gateway_p99_us", g99);
    record_figure(prefix + "_relay_p50_us", r50);
    record_figure(prefix + "_relay_p99_us", r99);
    record_figure(prefix + "_direct_p50_us", d50);
    record_figure(prefix + "_direct_p99_us", d99);
    record_figure(prefix + "_gateway_relay_ratio_p50", to_relay);
    record_figure(prefix + "_gateway_direct_ratio_p50", to_direct);
    record_figure(prefix + "_echo_delay_p99_us", f.delays.p99);
}

void report_bursts(const BurstFigures &f, int ticks)
{
    printf("web: tick bursts, %d sessions on a fresh gateway, %d records each at %d ticks\n", burst_listeners,
           burst_records, ticks);
    row("ticks with every session's records at once", std::to_string(f.ticks) + " of " + std::to_string(ticks));
    row("first session's burst to the last's, p50", std::to_string(f.spread_ms) + " ms");
    row("gateway's own delay p50 / p99 / max",
        pair_us(f.delays.p50, f.delays.p99) + ", max " + std::to_string(f.delays.max) + " us, " +
            std::to_string(f.delays.reads) + " reads (target p99 at most 100 us)");
    row("gateway CPU / wait for a CPU, per burst", pair_us(f.run_us, f.wait_us));
    row("gateway RSS with 19 sessions", std::to_string(f.rss_kb) + " kB (target at most 8192)");
    record_figure("web_burst_ticks", f.ticks);
    record_figure("web_burst_delay_p50_us", f.delays.p50);
    record_figure("web_burst_delay_p99_us", f.delays.p99);
    record_figure("web_burst_delay_max_us", f.delays.max);
    record_figure("web_burst_run_us", f.run_us);
    record_figure("web_burst_wait_us", f.wait_us);
    record_figure("web_rss_kb", f.rss_kb);
}

void measure_web(int ticks)
{
    report_echo(echo_three_ways(false));
    fflush(stdout);
#ifdef CHAT_ARCHIVE_BINARY
    report_echo(echo_three_ways(true), "web_archive");
    fflush(stdout);
#endif
    report_bursts(tick_bursts(ticks), ticks);
}

}  // namespace

// A failed measurement still stops the gateways and the server.
void web_scenario(int ticks)
{
    try {
        measure_web(ticks);
    } catch (const std::exception &e) {
        printf("web: failed: %s\n", e.what());
    }
}

#endif
