// chat_bench: drives a chat server over real sockets and prints what it
// measured, a table per scenario and one machine-readable line at the end.
//
//   chat_bench [--server PATH | --host H --port P] [--scenario NAME]...
//              [--storm-seconds N] [--idle-seconds N] [--web-ticks N]
//
// With --server (the default is the chat_server_bench next to this
// program's build: the shipped server, except that it never holds a post
// back for the clock, since echo and storm run the stamps far ahead of it)
// it starts its own server in a temporary directory for every scenario;
// with --port it drives a running one, and skips the scenarios that need
// the server's process ids (memory, idle).
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <poll.h>
#include <stdexcept>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "harness.hpp"
#include "loopback_server.hpp"
#include "scenarios.hpp"

using namespace chat_test;
using std::chrono::duration_cast;
using std::chrono::microseconds;

namespace {

struct Options {
    std::string server = CHAT_SERVER_BINARY;
    std::string host = "127.0.0.1";
    int port = 0;
    std::vector<std::string> scenarios;
    int storm_seconds = 30;
    int idle_seconds = 30;
    int web_ticks = 20;
};

Options options;

// The server under test for one scenario: our own, or the one given.
struct Target {
    std::unique_ptr<Server> own;
    int port = 0;
    pid_t pid = -1;
};

Target open_target()
{
    Target t;
    if (options.port != 0) {
        t.port = options.port;
        return t;
    }
    t.own = std::make_unique<Server>(options.server);
    t.own->start();
    t.port = t.own->port();
    t.pid = t.own->pid();
    return t;
}

long long micros_since(clock_type::time_point start)
{
    return duration_cast<microseconds>(clock_type::now() - start).count();
}

struct Summary {
    long long p50 = 0, p99 = 0, max = 0;
    size_t count = 0;
};

Summary summarise(std::vector<long long> values)
{
    Summary s;
    if (values.empty())
        return s;
    std::sort(values.begin(), values.end());
    s.count = values.size();
    s.p50 = values[values.size() / 2];
    s.p99 = values[std::min(values.size() - 1, values.size() * 99 / 100)];
    s.max = values.back();
    return s;
}

void row(const char *what, const std::string &value) { printf("  %-34s %s\n", what, value.c_str()); }

void row(const char *what, long long value, const char *unit)
{
    row(what, std::to_string(value) + " " + unit);
}

// What a connection process answers to RELD before any login.
const std::string &not_logged_in_reply()
{
    static const std::string reply = error_reply(not_logged_in);
    return reply;
}

// Logs in `count` clients named prefix0, prefix1, ...
std::vector<Client> log_in(int port, int count, const std::string &prefix)
{
    std::vector<Client> clients;
    for (int i = 0; i < count; ++i) {
        clients.emplace_back(port);
        login(clients.back(), "100100100", prefix + std::to_string(i));
    }
    return clients;
}

// Reads everything that arrives on `clients` until stopped, calling
// `seen(index, bytes, when)` for each piece, so that their connection
// processes never block on a full socket.
class Drain {
public:
    template <class Callback>
    Drain(std::vector<Client> &clients, Callback seen) : clients_(clients)
    {
        thread_ = std::thread([this, seen] {
            std::vector<pollfd> fds;
            for (auto &c : clients_)
                fds.push_back({c.fd(), POLLIN, 0});
            char buf[65536];
            while (!stop_) {
                if (poll(fds.data(), fds.size(), 50) <= 0)
                    continue;
                auto now = clock_type::now();
                for (size_t i = 0; i < fds.size(); ++i) {
                    if (!(fds[i].revents & POLLIN))
                        continue;
                    ssize_t n = recv(fds[i].fd, buf, sizeof buf, MSG_DONTWAIT);
                    if (n > 0)
                        seen(i, std::string_view(buf, static_cast<size_t>(n)), now);
                    else
                        fds[i].fd = -1;
                }
            }
        });
    }
    ~Drain()
    {
        stop_ = true;
        thread_.join();
    }

private:
    std::vector<Client> &clients_;
    std::atomic<bool> stop_ {false};
    std::thread thread_;
};

// The floor for own echo: a trivial fork-per-connection echo server (read,
// write back), started by the bench itself so that both figures come from
// the same run on the same, possibly busy, machine.
void echo_back(int fd)
{
    char buf[4096];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0)
        if (write(fd, buf, static_cast<size_t>(n)) != n)
            break;
}

// One round trip: `line` sent, `until` read back; -1 when it never came.
long long round_trip(Client &c, const std::string &line, const std::string &until)
{
    auto start = clock_type::now();
    c.send(line);
    if (c.read_until(until, 5s).empty())
        return -1;
    return micros_since(start);
}

// ---- echo: SEND to the poster's own record, against the floor ----
void echo()
{
    Target t = open_target();
    auto listeners = log_in(t.port, 19, "listener");
    Drain drain(listeners, [](size_t, std::string_view, clock_type::time_point) {});
    Client poster(t.port);
    login(poster, "200200200", "poster");
    LoopbackServer floor_server(echo_back);
    Client floor_client(floor_server.port());
    std::vector<long long> rtt, floor_rtt;
    // Turn about, so that whatever else the machine does weighs on both.
    for (int i = 0; i < 2000; ++i) {
        std::string body = "echo " + std::to_string(i) + "\r\n";
        long long chat = round_trip(poster, "SEND " + body, body + "END\r\n");
        long long floor = round_trip(floor_client, "SEND " + body, body);
        if (chat < 0 || floor < 0)
            break;
        if (i >= 100) {  // the first ones warm up
            rtt.push_back(chat);
            floor_rtt.push_back(floor);
        }
    }
    Summary s = summarise(rtt), f = summarise(floor_rtt);
    double p50_ratio = f.p50 ? static_cast<double>(s.p50) / f.p50 : 0;
    double p99_ratio = f.p99 ? static_cast<double>(s.p99) / f.p99 : 0;
    char ratios[64];
    snprintf(ratios, sizeof ratios, "%.2f / %.2f", p50_ratio, p99_ratio);
    printf("echo: one poster, 19 logged-in listeners, %zu posts, each next to one\n"
           "      round trip through a trivial forking echo server (the floor)\n", s.count);
    row("own echo p50", s.p50, "us");
    row("own echo p99", s.p99, "us");
    row("own echo max", s.max, "us");
    row("floor p50", f.p50, "us");
    row("floor p99", f.p99, "us");
    row("own echo / floor, p50 / p99", ratios);
    record_figure("echo_p50_us", s.p50);
    record_figure("echo_p99_us", s.p99);
    record_figure("echo_max_us", s.max);
    record_figure("floor_p50_us", f.p50);
    record_figure("floor_p99_us", f.p99);
    record_figure("echo_floor_ratio_p50", p50_ratio);
    record_figure("echo_floor_ratio_p99", p99_ratio);
}

// ---- fan-out: one poster at a steady rate, 19 listeners ----
void fan_out()
{
    Target t = open_target();
    auto listeners = log_in(t.port, 19, "listener");
    constexpr int posts = 12;  // two a second: at most 10 in one tick
    std::vector<clock_type::time_point> sent(posts);
    std::vector<std::string> received(listeners.size());
    std::vector<std::vector<long long>> arrival(listeners.size(),
                                                std::vector<long long>(posts, -1));
    std::mutex lock;
    {
        Drain drain(listeners, [&](size_t i, std::string_view bytes, clock_type::time_point now) {
            std::lock_guard<std::mutex> guard(lock);
            received[i].append(bytes);
            size_t at;
            while ((at = received[i].find("fan ")) != std::string::npos) {
                size_t end = received[i].find("\r\n", at);
                if (end == std::string::npos)
                    break;
                int id = std::stoi(received[i].substr(at + 4, end - at - 4));
                if (id >= 0 && id < posts)
                    arrival[i][id] = duration_cast<microseconds>(now - sent[id]).count();
                received[i].erase(0, end + 2);
            }
        });
        Client poster(t.port);
        login(poster, "200200200", "poster");
        for (int id = 0; id < posts; ++id) {
            {
                std::lock_guard<std::mutex> guard(lock);
                sent[id] = clock_type::now();
            }
            poster.send("SEND fan " + std::to_string(id) + "\r\n");
            poster.read_until("fan " + std::to_string(id) + "\r\nEND\r\n", 5s);
            poster.read_for(500ms);
        }
        poster.read_for(6s);  // the last post's tick
    }
    std::vector<long long> delays;
    long long lost = 0;
    for (auto &per_listener : arrival) {
        for (long long d : per_listener) {
            if (d < 0)
                ++lost;
            else
                delays.push_back(d);
        }
    }
    Summary s = summarise(delays);
    printf("fan-out: one poster at 2 posts/s, 19 listeners, %d posts\n", posts);
    row("delay p50", s.p50 / 1000, "ms");
    row("delay p99", s.p99 / 1000, "ms");
    row("delay max", s.max / 1000, "ms");
    row("records lost", lost, "");
    record_figure("fanout_p50_ms", s.p50 / 1000);
    record_figure("fanout_max_ms", s.max / 1000);
    record_figure("fanout_lost", lost);
}

// ---- storm: 20 posters at 2 posts/s each ----
void storm()
{
    Target t = open_target();
    auto posters = log_in(t.port, 20, "storm");
    std::vector<long long> echoes;
    long long busy = 0, lost = 0, waited = 0, sent = 0;
    std::mutex lock;
    std::string busy_reply = error_reply(chat_test::busy);
    std::vector<std::thread> threads;
    for (size_t p = 0; p < posters.size(); ++p) {
        threads.emplace_back([&, p] {
            Client &c = posters[p];
            auto end = clock_type::now() + std::chrono::seconds(options.storm_seconds);
            for (int id = 0; clock_type::now() < end; ++id) {
                auto due = clock_type::now() + 500ms;
                std::string body = "storm " + std::to_string(p) + "/" + std::to_string(id) + "\r\n";
                auto start = clock_type::now();
                c.send("SEND " + body);
                std::string got = c.read_until(body, 150s);
                long long us = micros_since(start);
                {
                    std::lock_guard<std::mutex> guard(lock);
                    ++sent;
                    if (got.find(busy_reply) != std::string::npos)
                        ++busy;
                    if (got.empty())
                        ++lost;
                    else
                        echoes.push_back(us);
                    if (us > 900'000)
                        ++waited;
                }
                c.read_for(std::chrono::duration_cast<millis>(due - clock_type::now()));
            }
        });
    }
    for (auto &th : threads)
        th.join();
    Summary s = summarise(echoes);
    printf("storm: 20 posters at 2 posts/s each for %d s, %lld posts\n", options.storm_seconds, sent);
    row("busy replies", busy, "");
    row("lost records", lost, "");
    row("posts that waited out a lock retry", waited, "");
    row("own echo p50", s.p50, "us");
    row("own echo p99", s.p99, "us");
    row("own echo max", s.max, "us");
    record_figure("storm_busy", busy);
    record_figure("storm_lost", lost);
    record_figure("storm_waited", waited);
    record_figure("storm_p50_us", s.p50);
    record_figure("storm_p99_us", s.p99);
    record_figure("storm_max_us", s.max);
}

// ---- connect: set-up rate and latency, the 21st client, a burst ----
void connect_scenario()
{
    Target t = open_target();
    std::vector<long long> setup;
    auto start_all = clock_type::now();
    constexpr int rounds = 200;
    for (int i = 0; i < rounds; ++i) {
        auto start = clock_type::now();
        Client c(t.port);
        c.send("RELD\r\n");  // answered by the connection process itself
        c.read_exact(not_logged_in_reply().size(), 5s);
        setup.push_back(micros_since(start));
    }
    double rate = rounds / (micros_since(start_all) / 1e6);
    Summary s = summarise(setup);

    std::vector<Client> held;
    for (int i = 0; i < 20; ++i) {
        held.emplace_back(t.port);
        held.back().send("RELD\r\n");
        held.back().read_exact(not_logged_in_reply().size(), 5s);
    }
    auto start = clock_type::now();
    Client extra(t.port);
    extra.read_exact(error_reply(server_full).size(), 5s);
    long long refused = micros_since(start);
    held.clear();

    // A burst against the backlog of 1: connections beyond the queue wait
    // for the kernel to retry their handshake (about a second).
    while (t.own && t.own->children().size() > 0)
        extra.read_for(10ms);
    std::vector<long long> burst(20);
    std::vector<std::thread> threads;
    for (int i = 0; i < 20; ++i)
        threads.emplace_back([&, i] {
            auto begin = clock_type::now();
            Client c(t.port);
            burst[i] = micros_since(begin);
            c.send("RELD\r\n");
            c.read_exact(not_logged_in_reply().size(), 5s);
        });
    for (auto &th : threads)
        th.join();
    Summary b = summarise(burst);
    long long retried = std::count_if(burst.begin(), burst.end(), [](long long us) { return us > 900'000; });

    printf("connect: %d sequential connections, then 20 held, then a burst of 20\n", rounds);
    row("set-up rate", static_cast<long long>(rate), "connections/s");
    row("connect to first reply p50", s.p50, "us");
    row("connect to first reply p99", s.p99, "us");
    row("21st connection refused in", refused, "us");
    row("burst connect p50", b.p50, "us");
    row("burst connect max", b.max, "us");
    row("burst connections retried (>0.9 s)", retried, "of 20");
    record_figure("connect_rate", rate);
    record_figure("connect_p50_us", s.p50);
    record_figure("refused_us", refused);
    record_figure("burst_max_us", b.max);
    record_figure("burst_retried", retried);
}

long long pss_kb(pid_t pid)
{
    std::string rollup = read_file("/proc/" + std::to_string(pid) + "/smaps_rollup");
    size_t at = rollup.find("\nPss:");
    return at == std::string::npos ? -1 : std::stoll(rollup.substr(at + 5));
}

// ---- memory: PSS with 20 logged-in clients ----
void memory()
{
    Target t = open_target();
    if (!t.own) {
        printf("memory: skipped (needs a server started by chat_bench)\n");
        return;
    }
    auto clients = log_in(t.port, 20, "mem");
    std::vector<long long> per_connection;
    for (pid_t child : t.own->children())
        per_connection.push_back(pss_kb(child));
    Summary s = summarise(per_connection);
    printf("memory: proportional set size with 20 logged-in clients\n");
    row("listener", pss_kb(t.pid), "kB");
    row("connection process p50", s.p50, "kB");
    row("connection process max", s.max, "kB");
    record_figure("pss_listener_kb", pss_kb(t.pid));
    record_figure("pss_connection_max_kb", s.max);
}

long long cpu_ns(pid_t pid)
{
    std::string stat = read_file("/proc/" + std::to_string(pid) + "/schedstat");
    return stat.empty() ? 0 : std::stoll(stat);
}

// ---- idle: 20 silent logged-in clients ----
void idle()
{
    Target t = open_target();
    if (!t.own) {
        printf("idle: skipped (needs a server started by chat_bench)\n");
        return;
    }
    auto clients = log_in(t.port, 20, "idle");
    // Each client is told of the logins after its own at its next tick:
    // let those deliveries pass before measuring idleness.
    clients.front().read_for(6s);
    std::vector<pid_t> pids = t.own->children();
    pids.push_back(t.pid);
    auto total = [&] {
        long long sum = 0;
        for (pid_t p : pids)
            sum += cpu_ns(p);
        return sum;
    };
    long long before = total();
    auto start = clock_type::now();
    clients.front().read_for(std::chrono::seconds(options.idle_seconds));
    double seconds = micros_since(start) / 1e6;
    double used = (total() - before) / 1e9;
    printf("idle: 20 silent logged-in clients for %.0f s\n", seconds);
    row("CPU time of all server processes", std::to_string(used * 1000) + " ms");
    row("share of one core", std::to_string(100 * used / seconds) + " %");
    record_figure("idle_cpu_percent", 100 * used / seconds);
}

const std::map<std::string, void (*)()> scenarios = {
    {"echo", echo}, {"fanout", fan_out}, {"storm", storm},
    {"connect", connect_scenario}, {"memory", memory}, {"idle", idle},
    {"web", [] { web_scenario(options.web_ticks); }},
};
const char *const order[] = {"echo", "fanout", "connect", "memory", "storm", "idle"};

const char *const usage_text =
    "usage: chat_bench [--server PATH | --host 127.0.0.1 --port P] [--scenario NAME]...\n"
    "                  [--storm-seconds N] [--idle-seconds N] [--web-ticks N]\n"
    "scenarios (all by default, in this order):\n"
    "  echo     one poster, 19 listeners: SEND to the poster's own record, p50/p99/max,\n"
    "           and as a ratio to a trivial forking echo server run alongside\n"
    "  fanout   one poster at 2 posts/s, 19 listeners: post-to-arrival delay, losses\n"
    "  connect  sequential set-up rate, the 21st connection's refusal, a burst of 20\n"
    "  memory   PSS of the listener and of each connection process, 20 clients\n"
    "  storm    20 posters at 2 posts/s each (30 s): busy replies, losses, own echo\n"
    "  idle     20 silent logged-in clients (30 s): CPU time of all server processes\n"
    "  web      (only when named) own echo through chat_web, a byte relay and direct,\n"
    "           turn about; the gateway's own delay for 19 sessions' tick bursts\n"
    "           over 20 ticks (about 2 minutes)\n"
    "With --server (default: the chat_server_bench of this build, which never waits\n"
    "for the clock when posts run the stamps ahead) every scenario gets a\n"
    "fresh server in a temporary directory; with --port a running server is used\n"
    "and memory and idle are skipped.\n";

int usage(const char *why)
{
    fprintf(stderr, "chat_bench: %s\n%s", why, usage_text);
    return 2;
}

}  // namespace

int main(int argc, char **argv)
{
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--help" || a == "-h") {
            fputs(usage_text, stdout);
            return 0;
        }
        if (i + 1 >= argc)
            return usage(("missing value after " + a).c_str());
        std::string v = argv[++i];
        if (a == "--server")
            options.server = v;
        else if (a == "--host")
            options.host = v;
        else if (a == "--port")
            options.port = std::stoi(v);
        else if (a == "--scenario" && scenarios.count(v))
            options.scenarios.push_back(v);
        else if (a == "--storm-seconds")
            options.storm_seconds = std::stoi(v);
        else if (a == "--idle-seconds")
            options.idle_seconds = std::stoi(v);
        else if (a == "--web-ticks")
            options.web_ticks = std::stoi(v);
        else
            return usage(("unknown option " + a + " " + v).c_str());
    }
    if (options.host != "127.0.0.1")
        return usage("only a server on this machine (127.0.0.1) can be measured");
    if (options.scenarios.empty())
        options.scenarios.assign(std::begin(order), std::end(order));
    for (const auto &name : options.scenarios) {
        scenarios.at(name)();
        printf("\n");
        fflush(stdout);
    }
    printf("RESULT");
    for (const auto &[key, value] : figures())
        printf(" %s=%g", key.c_str(), value);
    printf("\n");
    return 0;
}
