// chat_bench --scenario web: the gateway's cost. One poster and 19
// listeners over WebSocket through chat_web, then the same over direct TCP
// against the same server: own echo p50/p99 both ways and their ratio, the
// gateway's own delay from reading a batch to writing it to the browser
// (it measures that itself when CHAT_WEB_TIMING is set and prints it at
// exit), and its resident memory with 20 sessions. The poster's rate cap
// is lifted for the measurement.
#include <cstdio>
#include <string>

#ifndef CHAT_WEB_BINARY

void web_scenario() { printf("web: chat_web was not built (no Boost.Beast headers)\n"); }

#else

#include <utility>  // before Asio under C++20

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>

#include <algorithm>
#include <atomic>
#include <fcntl.h>
#include <memory>
#include <signal.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "harness.hpp"

using namespace chat_test;
namespace asio = boost::asio;
namespace beast = boost::beast;
namespace websocket = beast::websocket;
using tcp = asio::ip::tcp;

namespace {

constexpr int posts = 1000, warm_up = 100;

struct Gateway {
    pid_t pid = -1;
    int port = 0;
    std::string err_path;

    Gateway(int server_port, const std::string &dir)
    {
        err_path = dir + "/chat_web.err";
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
            execl(CHAT_WEB_BINARY, "chat_web", "--listen", "127.0.0.1:0", "--server", server.c_str(),
                  "--rate-limit", "65535", static_cast<char *>(nullptr));
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

    // Stops it and returns what it printed on standard error.
    std::string stop()
    {
        if (pid > 0) {
            kill(pid, SIGTERM);
            int status;
            waitpid(pid, &status, 0);
            pid = -1;
        }
        return read_file(err_path);
    }

    long rss_kb() const
    {
        std::string status = read_file("/proc/" + std::to_string(pid) + "/status");
        auto at = status.find("VmRSS:");
        return at == std::string::npos ? -1 : std::stol(status.substr(at + 6));
    }
};

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
        while (read().find(R"("type":"state")") == std::string::npos) {
        }
    }

    void send(const std::string &json) { ws.write(asio::buffer(json)); }

    std::string read()
    {
        buffer.consume(buffer.size());
        ws.read(buffer);
        return beast::buffers_to_string(buffer.data());
    }
};

long long percentile(std::vector<long long> v, int per_cent)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, v.size() * per_cent / 100)];
}

long long micros(clock_type::time_point start)
{
    return std::chrono::duration_cast<std::chrono::microseconds>(clock_type::now() - start).count();
}

// Reads each listener's messages on its own thread until told to stop,
// so that no session's queue fills while the poster measures.
class Listeners {
public:
    // `last` is the text of the poster's last post: each listener counts
    // itself once it has seen it.
    Listeners(int port, int count, const std::string &last)
    {
        for (int i = 0; i < count; ++i)
            pages_.push_back(std::make_unique<Page>(port, "listener" + std::to_string(i)));
        for (auto &page : pages_)
            threads_.emplace_back([this, p = page.get(), marker = "\"text\":\"" + last + "\""] {
                try {
                    for (;;)
                        if (p->read().find(marker) != std::string::npos)
                            ++done;
                } catch (const std::exception &) {
                }
            });
    }
    std::atomic<int> done {0};
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

std::vector<long long> echo_through_gateway(const Gateway &gateway, long &rss_kb)
{
    int port = gateway.port;
    Listeners listeners(port, 19, "echo " + std::to_string(posts - 1));
    Page poster(port, "poster");
    std::vector<long long> rtt;
    for (int i = 0; i < posts; ++i) {
        std::string body = "echo " + std::to_string(i);
        auto start = clock_type::now();
        poster.send(R"({"type":"send","text":")" + body + "\"}");
        while (poster.read().find("\"text\":\"" + body + "\"") == std::string::npos) {
        }
        if (i >= warm_up)
            rtt.push_back(micros(start));
    }
    // The listeners get the posts at the server's next tick, 20 records to
    // each of 19 sessions at once: the gateway's delay counts them too.
    eventually([&] { return listeners.done == 19; }, 15s);
    rss_kb = gateway.rss_kb();
    return rtt;
}

std::vector<long long> echo_direct(int port)
{
    std::vector<Client> listeners;
    for (int i = 0; i < 19; ++i) {
        listeners.emplace_back(port);
        login(listeners.back(), "100100100", "direct" + std::to_string(i));
    }
    std::atomic<bool> stop {false};
    std::thread drain([&] {
        std::vector<Client *> all;
        for (auto &c : listeners)
            all.push_back(&c);
        std::vector<std::string> sink(all.size());
        while (!stop) {
            chat_test::drain(all, 50ms, sink);
            for (auto &s : sink)
                s.clear();
        }
    });
    Client poster(port);
    login(poster, "200200200", "poster");
    std::vector<long long> rtt;
    for (int i = 0; i < posts; ++i) {
        std::string body = "echo " + std::to_string(i) + "\r\n";
        auto start = clock_type::now();
        poster.send("SEND " + body);
        if (poster.read_until(body + "END\r\n", 5s).empty())
            break;
        if (i >= warm_up)
            rtt.push_back(micros(start));
    }
    stop = true;
    drain.join();
    return rtt;
}

void measure_web()
{
    Server server(server_binary());
    server.start();
    Gateway gateway(server.port(), server.dir());
    long rss_kb = 0;
    auto through = echo_through_gateway(gateway, rss_kb);
    // Let the gateway's sessions end so that the direct phase has its places.
    eventually([&] { return server.children().empty(); }, 10s);
    auto direct = echo_direct(server.port());
    std::string report = gateway.stop();

    printf("web: one poster, 19 listeners, %d posts, through chat_web and then direct\n", posts - warm_up);
    long long g50 = percentile(through, 50), d50 = percentile(direct, 50);
    printf("  %-34s %lld us\n", "own echo p50 through the gateway", g50);
    printf("  %-34s %lld us\n", "own echo p99 through the gateway", percentile(through, 99));
    printf("  %-34s %lld us\n", "own echo p50 direct", d50);
    printf("  %-34s %lld us\n", "own echo p99 direct", percentile(direct, 99));
    printf("  %-34s %.2f (target at most 2)\n", "p50 ratio gateway/direct", d50 ? double(g50) / double(d50) : 0.0);
    printf("  %-34s %ld kB (target at most 8192)\n", "gateway RSS with 20 sessions", rss_kb);
    auto at = report.find("server read to browser write:");
    printf("  %-34s %s", "gateway's own delay",
           at == std::string::npos ? "not reported\n" : report.substr(at + 30).c_str());
}

}  // namespace

// A failed measurement still stops the gateway and the server.
void web_scenario()
{
    try {
        measure_web();
    } catch (const std::exception &e) {
        printf("web: failed: %s\n", e.what());
    }
}

#endif
