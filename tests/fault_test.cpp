// Faults under load, on the short-timing server (1 s tick, 8 s idle budget,
// 4 lock attempts): connection processes killed or stopped, a client that
// never reads, and a restart. After each, the healthy clients have lost
// nothing, nobody healthy was told "busy", the count is exact, no zombie is
// left and chat.dat is consistent.
#include <algorithm>
#include <csignal>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <random>
#include <set>
#include <sys/socket.h>

#include "harness.hpp"

using namespace chat_test;

namespace {

constexpr const char *healthy_colour = "010010010";

// Healthy clients that post one message each per round and keep every
// byte they receive.
class Chatters {
public:
    Chatters(Server &server, size_t count)
    {
        for (size_t i = 0; i < count; ++i) {
            clients_.push_back(std::make_unique<Client>(server.port()));
            login(*clients_.back(), healthy_colour, "h" + std::to_string(i));
        }
        received_.resize(count);
    }

    void post_round()
    {
        for (size_t i = 0; i < clients_.size(); ++i) {
            std::string body = "round " + std::to_string(round_) + "\r\n";
            clients_[i]->send("SEND " + body);
            expected_.push_back(message(healthy_colour, "h" + std::to_string(i), body));
        }
        ++round_;
    }

    void listen(millis window)
    {
        std::vector<Client *> raw;
        for (auto &c : clients_)
            raw.push_back(c.get());
        drain(raw, window, received_);
    }

    // Whether every chatter has received `bytes`.
    bool everyone_has(const std::string &bytes) const
    {
        return std::all_of(received_.begin(), received_.end(),
                           [&](const std::string &r) { return r.find(bytes) != std::string::npos; });
    }

    // Every post reached every chatter, and nobody was told "busy".
    void expect_nothing_lost()
    {
        eventually([&] {  // the last round arrives with the next tick
            listen(100ms);
            return std::all_of(expected_.begin(), expected_.end(),
                               [&](const std::string &record) { return everyone_has(record); });
        });
        for (size_t i = 0; i < clients_.size(); ++i) {
            EXPECT_EQ(received_[i].find(error_reply(busy)), std::string::npos) << "client " << i;
            for (const auto &record : expected_)
                EXPECT_NE(received_[i].find(record), std::string::npos)
                    << "client " << i << " missed " << record;
        }
    }

    std::set<pid_t> pids;  // their connection processes
    const std::string &received(size_t i) const { return received_[i]; }

private:
    std::vector<std::unique_ptr<Client>> clients_;
    std::vector<std::string> received_;
    std::vector<std::string> expected_;
    int round_ = 0;
};

std::set<pid_t> children_of(Server &server)
{
    auto c = server.children();
    return {c.begin(), c.end()};
}

// The server is healthy once everybody has gone: every process reaped,
// exactly 20 places free, and a consistent history.
void expect_healthy(Server &server)
{
    ASSERT_TRUE(server.wait_children(0, 20s)) << server.children().size() << " processes left";
    EXPECT_EQ(server.zombie_children(), 0);
    auto clients = connect_all(server, 20);
    expect_full(server, clients);
    EXPECT_EQ(history_problem(server.dat_path()), "");
}

}  // namespace

TEST(Faults, ChattingWhileConnectionProcessesAreKilled)
{
    Server server(fast_server_binary());
    server.start();
    {
        Chatters chatters(server, 8);
        std::set<pid_t> healthy = children_of(server);
        std::vector<std::unique_ptr<Client>> victims;
        for (int i = 0; i < 8; ++i) {
            victims.push_back(std::make_unique<Client>(server.port()));
            login(*victims.back(), "200000000", "v" + std::to_string(i));
        }
        std::mt19937 random(20261208);
        for (int step = 0; step < 16; ++step) {
            if (step % 2 == 0)
                chatters.post_round();
            std::vector<pid_t> targets;
            for (pid_t p : children_of(server))
                if (!healthy.count(p))
                    targets.push_back(p);
            if (!targets.empty()) {
                kill(targets[random() % targets.size()], SIGKILL);
                victims.push_back(std::make_unique<Client>(server.port()));
                login(*victims.back(), "200000000", "n" + std::to_string(step));
            }
            chatters.listen(500ms);
        }
        chatters.expect_nothing_lost();
    }
    expect_healthy(server);
}

TEST(Faults, StoppedConnectionProcessHoldsNobodyUp)
{
    Server server(fast_server_binary());
    server.start();
    {
        Chatters chatters(server, 8);
        std::set<pid_t> healthy = children_of(server);
        Client frozen(server.port());
        login(frozen, "300000000", "frozen");
        pid_t frozen_pid = -1;
        for (pid_t p : children_of(server))
            if (!healthy.count(p))
                frozen_pid = p;
        kill(frozen_pid, SIGSTOP);
        for (int round = 0; round < 6; ++round) {
            chatters.post_round();
            chatters.listen(1s);
        }
        chatters.expect_nothing_lost();
        kill(frozen_pid, SIGCONT);
        EXPECT_NE(frozen.read_until(message(healthy_colour, "h7", "round 5\r\n"), 5s), "")
            << "once running again it catches up with the newest records";
    }
    expect_healthy(server);
}

TEST(Faults, ClientThatNeverReadsIsLetGo)
{
    Server server(fast_server_binary());
    server.start();
    {
        Client poster(server.port());
        login(poster, healthy_colour, "poster");

        Client sink(server.port(), 2048);  // a small window fills up quickly
        login(sink, "400000000", "sink");

        std::string seen;
        std::string gone = logout_notice("400000000", "sink");
        std::string body(240, 'x');
        auto start = clock_type::now();
        long posted = 0;
        while (seen.find(gone) == std::string::npos && clock_type::now() < start + 90s) {
            // Fast enough that each of the sink's deliveries carries 20
            // records; the poster sees its own posts at once all the same.
            // Past 280 posts, no faster than the clock: the stamps stay
            // under 300 s ahead of it, where posts would wait for the clock.
            long elapsed = std::chrono::duration_cast<std::chrono::seconds>(
                               clock_type::now() - start).count();
            long room = std::min(20L, 280 + elapsed - posted);
            for (long i = 0; i < room; ++i)
                poster.send("SEND " + body + "\r\n");
            posted += std::max(room, 0L);
            ::send(sink.fd(), "RELD\r\n", 6, MSG_DONTWAIT | MSG_NOSIGNAL);
            seen += poster.read_for(200ms);
            if (seen.size() > 1 << 20)
                seen.erase(0, seen.size() - 4096);
        }
        EXPECT_NE(seen.find(gone), std::string::npos)
            << "the stalled client is logged out as if it had hung up";
        EXPECT_EQ(seen.find(error_reply(busy)), std::string::npos);
    }
    expect_healthy(server);
}

TEST(Faults, RestartUnderLoad)
{
    Server first(fast_server_binary());
    first.start();
    int port = first.port();
    {
        Chatters chatters(first, 10);
        for (int round = 0; round < 3; ++round) {
            chatters.post_round();
            chatters.listen(300ms);
        }
        chatters.expect_nothing_lost();
        EXPECT_EQ(first.stop(), 0);
        eventually([&] {
            chatters.listen(100ms);
            return chatters.everyone_has(error_reply(server_stopped));
        });
        for (size_t i = 0; i < 10; ++i)
            EXPECT_NE(chatters.received(i).find(error_reply(server_stopped)), std::string::npos);
    }
    std::string history = read_file(first.dat_path()).substr(0, 5200);

    Server second(fast_server_binary(), std::to_string(port), first.dir());
    second.start();
    EXPECT_EQ(second.port(), port) << "the port is free again at once";
    EXPECT_EQ(read_file(second.dat_path()).substr(0, 5200), history) << "the history survives";
    {
        Chatters chatters(second, 10);
        for (int round = 0; round < 3; ++round) {
            chatters.post_round();
            chatters.listen(300ms);
        }
        chatters.expect_nothing_lost();
    }
    expect_healthy(second);
}
