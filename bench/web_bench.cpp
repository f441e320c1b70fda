// chat_bench --scenario web: what the gateway costs, with its rooms (a
// chat server each) behind the one gateway and 19 pages in every room.
// First own echo three ways, turn about: through chat_web (WebSocket, JSON,
// the conversion to UTF-8; the poster's page posts in each room in turn),
// through a relay that only forwards bytes (the same two extra loopback
// hops and nothing else: the floor) and direct, each path to servers of
// its own so that a poster's batch holds its own record alone. Then tick
// bursts, 19 pages in every room receiving 20 records each at every tick
// of their server, both through the gateway and through relays: the
// gateway measures its own delay itself when CHAT_WEB_TIMING is set (from
// a read from the server to the last write to the browser that it makes
// of it) and prints it at exit, and the relays measure theirs (from a read
// from the server to the end of its write to the client) in memory shared
// with the bench. Then the gateway's time on a CPU and waiting for one per
// burst, which tell its own work from a busy machine's, and its resident
// memory. The posters' rate cap is lifted.
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
#include <sys/mman.h>
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
constexpr int rooms = 3;           // rooms behind the one gateway, a chat server each
constexpr int room_pages = 19;     // pages in every room: with a poster, a server's 20 places
constexpr int burst_records = 20;  // a whole board at every tick
constexpr int sessions = rooms * room_pages;

// With one room the gateway is started the old way, whose room is "main".
std::string room_name(int room) { return rooms == 1 ? "main" : std::string(1, static_cast<char>('a' + room)); }

// The figures of a line on delays: reads, p50, p99 and max.
struct Delays {
    long long reads = 0, p50 = -1, p99 = -1, max = -1;
};

long long percentile(std::vector<long long> v, int per_cent)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, v.size() * per_cent / 100)];
}

long long number_after(const std::string &text, const std::string &label)
{
    auto at = text.find(label);
    return at == std::string::npos ? -1 : std::atoll(text.c_str() + at + label.size());
}

// The gateway's line with p50, p99 and max, after its own name and the
// count of reads.
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

// The relays' delays, in memory that the relay processes (forked after it
// is made) share with the bench: no system call of theirs is added to a
// burst.
class SharedDelays {
public:
    SharedDelays()
    {
        void *at = mmap(nullptr, sizeof(Table), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
        if (at == MAP_FAILED)
            throw std::runtime_error("mmap");
        table_ = new (at) Table;
    }
    ~SharedDelays() { munmap(table_, sizeof(Table)); }
    SharedDelays(const SharedDelays &) = delete;
    SharedDelays &operator=(const SharedDelays &) = delete;

    void add(long long micros)
    {
        int at = table_->count.fetch_add(1);
        if (at < capacity)
            table_->micros[at] = micros;
    }

    Delays figures() const
    {
        int n = std::min(table_->count.load(), capacity);
        std::vector<long long> v(table_->micros, table_->micros + n);
        if (v.empty())
            return {};
        return {n, percentile(v, 50), percentile(v, 99), *std::max_element(v.begin(), v.end())};
    }

private:
    static constexpr int capacity = 1 << 16;
    struct Table {
        std::atomic<int> count {0};
        long long micros[capacity];
    };
    static_assert(std::atomic<int>::is_always_lock_free);
    Table *table_ = nullptr;
};

// A chat server for each room.
struct RoomServers {
    std::vector<std::unique_ptr<Server>> servers;

    RoomServers()
    {
        for (int r = 0; r < rooms; ++r) {
            servers.push_back(std::make_unique<Server>(server_binary()));
            servers.back()->start();
        }
    }
    int port(int room) const { return servers[room]->port(); }
    const std::string &dir() const { return servers[0]->dir(); }
};

// chat_web's arguments for `servers`, the first room reading `archive`
// when given.
std::vector<std::string> gateway_arguments(const RoomServers &servers, const std::string &archive)
{
    std::vector<std::string> args {"chat_web", "--listen", "127.0.0.1:0", "--rate-limit", "65535"};
    auto address = [&](int room) { return "127.0.0.1:" + std::to_string(servers.port(room)); };
    if (rooms == 1) {
        args.insert(args.end(), {"--server", address(0)});
        if (!archive.empty())
            args.insert(args.end(), {"--archive", archive});
        return args;
    }
    for (int r = 0; r < rooms; ++r) {
        std::string room = room_name(r) + "=" + address(r);
        if (r == 0 && !archive.empty())
            room += ",archive=" + archive;
        args.insert(args.end(), {"--room", room});
    }
    return args;
}

struct Gateway {
    pid_t pid = -1;
    int port = 0;
    std::string err_path;

    Gateway(const RoomServers &servers, const std::string &name, const std::string &archive = "")
    {
        err_path = servers.dir() + "/" + name + ".err";
        auto arguments = gateway_arguments(servers, archive);
        std::vector<const char *> args;
        for (const auto &a : arguments)
            args.push_back(a.c_str());
        args.push_back(nullptr);
        int out[2];
        if (pipe(out) != 0)
            throw std::runtime_error("pipe");
        pid = fork();
        if (pid == 0) {
            dup2(out[1], 1);
            int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(err, 2);
            setenv("CHAT_WEB_TIMING", "1", 1);
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
            throw std::runtime_error("chat_web did not start: " + line + read_file(err_path));
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

std::string room_member(int room) { return R"("room":")" + room_name(room) + "\""; }

// One browser tab: a WebSocket client, which joins rooms.
struct Page {
    asio::io_context io;
    websocket::stream<tcp::socket> ws {io};
    beast::flat_buffer buffer;

    explicit Page(int port)
    {
        ws.next_layer().connect(tcp::endpoint(asio::ip::make_address("127.0.0.1"), static_cast<unsigned short>(port)));
        ws.next_layer().set_option(tcp::no_delay(true));
        ws.handshake("127.0.0.1:" + std::to_string(port), "/ws");
        ws.text(true);
    }

    // Logs in to `room` as `name` (its session starts with the message).
    void join(int room, const std::string &name)
    {
        send(R"({"type":"login",)" + room_member(room) + R"(,"name":")" + name + R"(","colour":[100,100,100]})");
        read_until([&](const std::string &event) {
            return event.find(R"("type":"state")") != std::string::npos &&
                   event.find(room_member(room)) != std::string::npos;
        });
    }

    // Joins every room as `name`.
    void join_all(const std::string &name)
    {
        for (int r = 0; r < rooms; ++r)
            join(r, name);
    }

    void send(const std::string &json) { ws.write(asio::buffer(json)); }

    std::vector<std::string> read()
    {
        buffer.consume(buffer.size());
        ws.read(buffer);
        return events_of(beast::buffers_to_string(buffer.data()));
    }

    void read_until(const std::function<bool(const std::string &)> &wanted)
    {
        for (;;)
            for (const auto &event : read())
                if (wanted(event))
                    return;
    }

    // Reads until an event holds `needle`.
    void read_until(const std::string &needle)
    {
        read_until([&](const std::string &event) { return event.find(needle) != std::string::npos; });
    }
};

long long micros(clock_type::time_point start)
{
    return std::chrono::duration_cast<std::chrono::microseconds>(clock_type::now() - start).count();
}

// Where a session of a burst is seen: which page (or relayed client) in
// which room.
using EventSeen = std::function<void(int session, std::string_view text, clock_type::time_point at)>;

// `count` pages in every room that read on a thread each until destroyed,
// so that no session's queue fills; each event is handed to `seen` with
// its session (page * rooms + room) and the time it was read.
class Listeners {
public:
    Listeners(int port, int count, EventSeen seen)
    {
        for (int i = 0; i < count; ++i) {
            pages_.push_back(std::make_unique<Page>(port));
            pages_.back()->join_all("listener" + std::to_string(i));
        }
        for (size_t i = 0; i < pages_.size(); ++i)
            threads_.emplace_back([p = pages_[i].get(), i, seen] {
                try {
                    for (;;) {
                        auto events = p->read();
                        auto now = clock_type::now();
                        for (const auto &event : events)
                            if (seen)
                                seen(static_cast<int>(i) * rooms + room_in(event), event, now);
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
    Listeners(const Listeners &) = delete;
    Listeners &operator=(const Listeners &) = delete;

private:
    static int room_in(const std::string &event)
    {
        for (int r = 1; r < rooms; ++r)
            if (event.find(room_member(r)) != std::string::npos)
                return r;
        return 0;
    }

    std::vector<std::unique_ptr<Page>> pages_;
    std::vector<std::thread> threads_;
};

// The floor for the gateway: forwards bytes both ways between its client
// and the chat server, and does nothing else; with `delays`, it keeps how
// long each write of what it read from the server took.
void relay(int client, int server_port, SharedDelays *delays)
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
            auto read_at = clock_type::now();
            if (n <= 0 || write(fds[1 - from].fd, buf, static_cast<size_t>(n)) != n)
                return;
            if (delays && from == 1)
                delays->add(micros(read_at));
        }
    }
}

// Line clients through relays, `room_pages` in every room, read on one
// thread until destroyed; each line is handed to `seen` with its session
// (page * rooms + room) and the time it was read.
class RelayedListeners {
public:
    RelayedListeners(const std::vector<std::unique_ptr<LoopbackServer>> &relays, EventSeen seen) : seen_(std::move(seen))
    {
        for (int i = 0; i < room_pages; ++i)
            for (int r = 0; r < rooms; ++r) {
                clients_.emplace_back(relays[r]->port());
                login(clients_.back(), "100100100", "listener" + std::to_string(i));
            }
        pending_.resize(clients_.size());
        thread_ = std::thread([this] { read_all(); });
    }
    ~RelayedListeners()
    {
        stop_ = true;
        thread_.join();
    }
    RelayedListeners(const RelayedListeners &) = delete;
    RelayedListeners &operator=(const RelayedListeners &) = delete;

private:
    void read_all()
    {
        std::vector<pollfd> fds;
        for (auto &c : clients_)
            fds.push_back({c.fd(), POLLIN, 0});
        char buf[65536];
        while (!stop_) {
            if (poll(fds.data(), fds.size(), 100) <= 0)
                continue;
            auto now = clock_type::now();
            for (size_t i = 0; i < fds.size(); ++i) {
                if (fds[i].revents == 0)
                    continue;
                ssize_t n = read(fds[i].fd, buf, sizeof buf);
                if (n <= 0) {
                    fds[i].fd = -1;  // poll passes it over from now on
                    continue;
                }
                take_lines(i, std::string_view(buf, static_cast<size_t>(n)), now);
            }
        }
    }

    void take_lines(size_t client, std::string_view bytes, clock_type::time_point at)
    {
        std::string &pending = pending_[client];
        pending.append(bytes);
        size_t start = 0;
        for (size_t end; (end = pending.find("\r\n", start)) != std::string::npos; start = end + 2)
            seen_(static_cast<int>(client), std::string_view(pending).substr(start, end - start), at);
        pending.erase(0, start);
    }

    EventSeen seen_;
    std::vector<Client> clients_;
    std::vector<std::string> pending_;
    std::atomic<bool> stop_ {false};
    std::thread thread_;
};

long long page_echo(Page &page, int room, const std::string &body)
{
    auto start = clock_type::now();
    page.send(R"({"type":"send",)" + room_member(room) + R"(,"text":")" + body + "\"}");
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
            auto page = std::make_shared<Page>(port);
            page->join(0, "seeker" + std::to_string(n));
            threads.emplace_back([this, page] {
                for (int id = 1; !stop; ++id) {
                    page->send(R"({"type":"search",)" + room_member(0) + R"(,"text":"ec","id":)" +
                               std::to_string(id) + "}");
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
// turn starting with the next path), the gateway's poster posting in each
// room in turn while the other pages of every room listen; with
// `archive`, the gateway reads chat_archive's database for the first room,
// and other pages search it meanwhile instead.
EchoFigures echo_three_ways(bool archive)
{
    RoomServers gateway_servers;
    Server relay_server(server_binary()), direct_server(server_binary());
    for (Server *s : {&relay_server, &direct_server})
        s->start();
    LoopbackServer relay_process([port = relay_server.port()](int fd) { relay(fd, port, nullptr); });
    std::unique_ptr<Keeper> keeper;
    if (archive)
        keeper = std::make_unique<Keeper>(gateway_servers.dir());
    Gateway gateway(gateway_servers, archive ? "archive-gateway" : "echo-gateway", keeper ? keeper->database : "");
    EchoFigures f;
    {
        std::unique_ptr<Seekers> seeker;
        std::unique_ptr<Listeners> listeners;
        if (archive)
            seeker = std::make_unique<Seekers>(gateway.port);
        else
            listeners = std::make_unique<Listeners>(gateway.port, room_pages - 1, nullptr);
        Page page(gateway.port);
        page.join_all("poster");
        Client relayed(relay_process.port()), direct(direct_server.port());
        login(relayed, "200200200", "poster");
        login(direct, "200200200", "poster");
        for (int i = 0; i < turns; ++i) {
            std::string body = "echo " + std::to_string(i);
            long long took[3];
            for (int k = 0; k < 3; ++k) {
                int path = (i + k) % 3;
                took[path] =
                    path == 0 ? page_echo(page, i % rooms, body) : line_echo(path == 1 ? relayed : direct, body);
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
    int ticks = 0;            // ticks that brought every session its 20 records at once
    long long spread_ms = 0;  // p50 over the ticks: first session's burst to the last one's
    long long run_us = 0, wait_us = 0;  // the gateway's CPU time, and its wait for a CPU, per burst
    long rss_kb = 0;
    Delays delays, relay_delays;
};

using time_point = clock_type::time_point;

struct Arrivals {
    int count = 0;
    time_point first, last;
};

// What the sessions of one path got of each tick's records, by tick and
// session.
class Tally {
public:
    explicit Tally(int ticks) : arrived_(ticks, std::vector<Arrivals>(sessions)) {}

    // A text "burst TICK/K" of any record seen by `session` at `at`.
    void seen(int session, std::string_view text, time_point at)
    {
        auto pos = text.find("burst ");
        int tick = -1;
        if (pos == std::string::npos || session < 0 || session >= sessions)
            return;
        std::from_chars(text.data() + pos + 6, text.data() + text.size(), tick);
        if (tick < 0 || tick >= static_cast<int>(arrived_.size()))
            return;
        std::lock_guard<std::mutex> guard(lock_);
        Arrivals &a = arrived_[tick][session];
        if (a.count++ == 0)
            a.first = at;
        a.last = at;
    }

    bool complete(int tick)
    {
        std::lock_guard<std::mutex> guard(lock_);
        return std::all_of(arrived_[tick].begin(), arrived_[tick].end(),
                           [](const Arrivals &a) { return a.count >= burst_records; });
    }

    // Ticks whose records came at once to every session (within a second:
    // ticks are 5 s apart), and the p50 of first session's burst to the
    // last one's.
    std::pair<int, long long> at_once_and_spread() const
    {
        int at_once = 0;
        std::vector<long long> spreads;
        for (const auto &tick : arrived_) {
            auto first = std::min_element(tick.begin(), tick.end(), [](auto &a, auto &b) { return a.first < b.first; });
            auto last = std::max_element(tick.begin(), tick.end(), [](auto &a, auto &b) { return a.last < b.last; });
            spreads.push_back(std::chrono::duration_cast<std::chrono::milliseconds>(last->last - first->first).count());
            if (std::all_of(tick.begin(), tick.end(),
                            [](const Arrivals &a) { return a.count == burst_records && a.last - a.first < 1s; }))
                ++at_once;
        }
        return {at_once, percentile(spreads, 50)};
    }

private:
    std::mutex lock_;
    std::vector<std::vector<Arrivals>> arrived_;
};

// Fresh servers for a gateway and for relays, 19 sessions in every room of
// each; a direct poster in every room of both posts 20 records, waits
// until every session has had them at its next tick, and again.
BurstFigures tick_bursts(int ticks)
{
    SharedDelays relay_delays;  // before the relays fork
    RoomServers gateway_servers, relay_servers;
    std::vector<std::unique_ptr<LoopbackServer>> relays;
    for (int r = 0; r < rooms; ++r)
        relays.push_back(std::make_unique<LoopbackServer>(
            [port = relay_servers.port(r), d = &relay_delays](int fd) { relay(fd, port, d); }));
    Gateway gateway(gateway_servers, "burst-gateway");
    Tally through_gateway(ticks), through_relays(ticks);
    BurstFigures f;
    {
        Listeners listeners(gateway.port, room_pages, [&](int s, std::string_view event, time_point at) {
            auto pos = event.find("\"text\":\"");
            if (pos != std::string::npos)
                through_gateway.seen(s, event.substr(pos + 8), at);
        });
        RelayedListeners relayed(relays,
                                 [&](int s, std::string_view line, time_point at) { through_relays.seen(s, line, at); });
        std::vector<Client> posters;
        for (int r = 0; r < rooms; ++r)
            for (int port : {gateway_servers.port(r), relay_servers.port(r)}) {
                posters.emplace_back(port);
                login(posters.back(), "200200200", "poster");
            }
        auto before = gateway.run_and_wait_ns();
        for (int tick = 0; tick < ticks; ++tick) {
            for (int k = 0; k < burst_records; ++k)
                for (auto &poster : posters)
                    line_echo(poster, "burst " + std::to_string(tick) + "/" + std::to_string(k));
            if (!eventually([&] { return through_gateway.complete(tick) && through_relays.complete(tick); }, 15s))
                throw std::runtime_error("the sessions did not get tick " + std::to_string(tick));
        }
        auto after = gateway.run_and_wait_ns();
        f.run_us = (after.first - before.first) / 1000 / (ticks * sessions);
        f.wait_us = (after.second - before.second) / 1000 / (ticks * sessions);
        f.rss_kb = gateway.rss_kb();
    }
    std::tie(f.ticks, f.spread_ms) = through_gateway.at_once_and_spread();
    f.delays = gateway.stop();
    f.relay_delays = relay_delays.figures();
    return f;
}

void row(const char *what, const std::string &value) { printf("  %-42s %s\n", what, value.c_str()); }

std::string pair_us(long long a, long long b) { return std::to_string(a) + " / " + std::to_string(b) + " us"; }

std::string delays_text(const Delays &d)
{
    return pair_us(d.p50, d.p99) + ", max " + std::to_string(d.max) + " us, " + std::to_string(d.reads) + " reads";
}

std::string ratio_text(double r, const char *target)
{
    char text[64];
    snprintf(text, sizeof text, "%.2f%s", r, target);
    return text;
}

double ratio(long long a, long long b) { return b > 0 ? double(a) / double(b) : 0; }

void report_echo(const EchoFigures &f, const std::string &prefix = "web")
{
    long long g50 = percentile(f.gateway, 50), r50 = percentile(f.relay, 50), d50 = percentile(f.direct, 50);
    long long g99 = percentile(f.gateway, 99), r99 = percentile(f.relay, 99), d99 = percentile(f.direct, 99);
    double to_relay = ratio(g50, r50), to_direct = ratio(g50, d50);
    printf("%s: own echo through chat_web (%d rooms), a byte relay and direct, turn about, %zu turns\n",
           prefix.c_str(), rooms, f.gateway.size());
    if (f.searches >= 0)
        row("with --archive; searches by 10 other pages", std::to_string(f.searches));
    else
        row("pages listening in every room", std::to_string(room_pages - 1));
    row("own echo p50 / p99 through the gateway", pair_us(g50, g99));
    row("own echo p50 / p99 through the relay", pair_us(r50, r99));
    row("own echo p50 / p99 direct", pair_us(d50, d99));
    row("p50 gateway / relay", ratio_text(to_relay, " (target at most 1.3)"));
    row("p50 gateway / direct", ratio_text(to_direct, ""));
    row("gateway's own delay p50 / p99 / max", delays_text(f.delays));
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
    double to_relay = ratio(f.delays.p99, f.relay_delays.p99);
    printf("web: tick bursts, %d pages in each of %d rooms (%d sessions) on a fresh gateway and as many through "
           "relays, %d records each at %d ticks\n",
           room_pages, rooms, sessions, burst_records, ticks);
    row("ticks with every session's records at once", std::to_string(f.ticks) + " of " + std::to_string(ticks));
    row("first session's burst to the last's, p50", std::to_string(f.spread_ms) + " ms");
    row("gateway's own delay p50 / p99 / max", delays_text(f.delays));
    row("relays' delay p50 / p99 / max", delays_text(f.relay_delays));
    row("p99 gateway / relays", ratio_text(to_relay, " (target at most 1.5)"));
    row("gateway CPU / wait for a CPU, per burst", pair_us(f.run_us, f.wait_us));
    row("gateway RSS", std::to_string(f.rss_kb) + " kB with " + std::to_string(sessions) + " sessions");
    record_figure("web_burst_ticks", f.ticks);
    record_figure("web_burst_delay_p50_us", f.delays.p50);
    record_figure("web_burst_delay_p99_us", f.delays.p99);
    record_figure("web_burst_delay_max_us", f.delays.max);
    record_figure("web_burst_relay_delay_p50_us", f.relay_delays.p50);
    record_figure("web_burst_relay_delay_p99_us", f.relay_delays.p99);
    record_figure("web_burst_relay_delay_max_us", f.relay_delays.max);
    record_figure("web_burst_gateway_relay_ratio_p99", to_relay);
    record_figure("web_burst_run_us", f.run_us);
    record_figure("web_burst_wait_us", f.wait_us);
    record_figure("web_rss_kb", f.rss_kb);
    record_figure("web_sessions", sessions);
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

// A failed measurement still stops the gateways and the servers.
void web_scenario(int ticks)
{
    try {
        measure_web(ticks);
    } catch (const std::exception &e) {
        printf("web: failed: %s\n", e.what());
    }
}

#endif
