// The listener end to end: port argument, history file, start-up failures,
// stop signals, the connection limit and the exactness of its count.
#include <arpa/inet.h>
#include <csignal>
#include <filesystem>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include "harness.hpp"
#include "protocol/history_file.hpp"

using namespace chat_test;

namespace {

constexpr size_t grown_size = 2 * 4096 + 1;  // two pages and one byte

// A socket bound to the port, or -1 when it is taken.
int bind_port(int port, bool listening)
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a {};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_ANY);
    if (bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 ||
        (listening && listen(fd, 1) != 0)) {
        close(fd);
        return -1;
    }
    return fd;
}

bool port_is_free(int port)
{
    int fd = bind_port(port, false);
    if (fd >= 0)
        close(fd);
    return fd >= 0;
}

}  // namespace

TEST(Port, NumberFormsAndDefault)
{
    int port = 0;
    for (int attempt = 0; attempt < 5 && port == 0; ++attempt) {
        Server probe;
        probe.start();
        port = probe.port();
        probe.stop();
        if (!port_is_free(port))
            port = 0;
    }
    ASSERT_NE(port, 0);

    char hex[16];
    snprintf(hex, sizeof hex, "0x%x", port);
    Server hexadecimal(server_binary(), hex);
    hexadecimal.start();
    EXPECT_EQ(hexadecimal.port(), port) << "a 0x prefix reads as hexadecimal";
    EXPECT_EQ(hexadecimal.stop(), 0);

    Server wide(server_binary(), std::to_string(port + 65536));
    wide.start();
    EXPECT_EQ(wide.port(), port) << "only the low 16 bits count";
    EXPECT_EQ(wide.stop(), 0);

    Server word(server_binary(), "chat");
    word.start();
    EXPECT_NE(word.port(), 0) << "a word gives port 0 and the system picks one";
    EXPECT_EQ(word.stop(), 0);

    if (!port_is_free(12345))
        GTEST_SKIP() << "port 12345 is in use on this machine";
    Server plain(server_binary(), "-");
    plain.start();
    EXPECT_EQ(plain.port(), 12345);
    EXPECT_EQ(plain.stop(), 0);
    EXPECT_EQ(plain.standard_output(), "");
    EXPECT_EQ(plain.error_output(), "");
}

TEST(Port, HelpAndVersionAnswerWithoutStarting)
{
    for (const char *argument : {"--help", "-h", "--version"}) {
        Server server(server_binary(), argument);
        server.start(true);
        EXPECT_EQ(server.wait_exit(), 0) << argument;
        EXPECT_NE(server.standard_output().find(argument[2] == 'v' ? "chat_server " : "usage: chat_server"),
                  std::string::npos) << argument;
        EXPECT_EQ(server.error_output(), "");
        EXPECT_FALSE(std::filesystem::exists(server.dat_path())) << argument;
    }
}

TEST(HistoryFile, CreatedAtTwoPagesAndOneByteOfZeros)
{
    mode_t old = umask(022);
    Server server;
    server.start();
    umask(old);
    struct stat st;
    ASSERT_EQ(stat(server.dat_path().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u) << "created 0666 less the umask";
    EXPECT_EQ(read_file(server.dat_path()), std::string(grown_size, '\0'));
    EXPECT_EQ(server.stop(SIGINT), 0);
    EXPECT_EQ(read_file(server.dat_path()).size(), grown_size);
    EXPECT_EQ(server.standard_output(), "");
}

TEST(HistoryFile, ExistingFilesKeepEveryByte)
{
    std::string big(3 * 4096 + 7, '\0');
    for (size_t i = 0; i < big.size(); ++i)
        big[i] = static_cast<char>(i * 7 + 1);
    Server large;
    write_file(large.dat_path(), big);
    large.start();
    EXPECT_EQ(large.stop(), 0);
    EXPECT_EQ(read_file(large.dat_path()), big) << "a long file is not touched";

    std::string small = big.substr(0, 100);
    Server short_file;
    write_file(short_file.dat_path(), small);
    short_file.start();
    EXPECT_EQ(short_file.stop(), 0);
    std::string grown = read_file(short_file.dat_path());
    ASSERT_EQ(grown.size(), grown_size);
    EXPECT_EQ(grown.substr(0, 100), small);
    EXPECT_EQ(grown.substr(100), std::string(grown_size - 100, '\0'));
}

// A history whose slot 0 holds `stamp` and a record, the rest empty.
std::string history_with_newest(uint32_t stamp)
{
    return history_bytes({{stamp, message("000000000", "old", "before\r\n")}});
}

uint32_t newest_stamp(const std::string &path)
{
    std::string file = read_file(path);
    return file.size() < 4 ? 0 : chat::decode_stamp(file.data());
}

TEST(HistoryFile, StampsRunPast2038AndRunOutWithoutHarm)
{
    Server server(fast_server_binary());
    write_file(server.dat_path(), history_with_newest(2147483645));
    server.start();
    Client alice(server.port()), bob(server.port());
    login(alice, "001001001", "alice");  // 2147483646
    login(bob, "002002002", "bob");      // 2147483647, the last signed one
    alice.send("SEND after 2038\r\n");
    EXPECT_NE(bob.read_until(message("001001001", "alice", "after 2038\r\n")), "")
        << "the post after 2147483647 reaches the others";
    EXPECT_EQ(newest_stamp(server.dat_path()), 2147483648u);
    EXPECT_EQ(history_problem(server.dat_path()), "");
    EXPECT_EQ(server.stop(), 0);

    Server last(fast_server_binary(), "", server.dir());
    write_file(last.dat_path(), history_with_newest(4294967294u));
    last.start();
    Client carol(last.port());
    login(carol, "003003003", "carol");  // takes 4294967295, the last stamp
    std::string before = read_file(last.dat_path());
    EXPECT_EQ(newest_stamp(last.dat_path()), 4294967295u);
    carol.send("SEND one too many\r\n");
    EXPECT_EQ(carol.read_exact(error_reply(busy).size()), error_reply(busy));
    EXPECT_EQ(read_file(last.dat_path()), before) << "nothing is posted";
}

TEST(HistoryFile, CutWhileRunningIsGrownBackAndChattingGoesOn)
{
    Server server(fast_server_binary());
    server.start();
    Client alice(server.port()), bob(server.port());
    login(alice, "001001001", "alice");
    login(bob, "002002002", "bob");
    alice.send("SEND before\r\n");
    EXPECT_NE(bob.read_until(message("001001001", "alice", "before\r\n")), "");
    ASSERT_EQ(truncate(server.dat_path().c_str(), 0), 0);
    // Until each process's tick has looked at the cut file (the first grows
    // it back; each finds it empty, older than what its client saw, and
    // sends an empty batch).
    alice.read_until("OK\r\nEND\r\n");
    bob.read_until("OK\r\nEND\r\n");
    EXPECT_EQ(server.children().size(), 2u) << "every connection process lives";
    EXPECT_EQ(read_file(server.dat_path()).size(), grown_size);
    bob.send("SEND after\r\n");
    std::string after = message("002002002", "bob", "after\r\n");
    EXPECT_NE(alice.read_until(after), "");
    EXPECT_NE(bob.read_until(after), "");
    EXPECT_EQ(read_file(server.dat_path()).substr(4, after.size()), after) << "in slot 0";
    Client carol(server.port());
    login(carol, "003003003", "carol");
    EXPECT_EQ(server.stop(), 0);
}

TEST(StartupFailure, HistoryFileThatCannotBeOpened)
{
    Server server;
    std::filesystem::create_directory(server.dat_path());
    server.start(true);
    EXPECT_EQ(server.wait_exit(), 255);
    EXPECT_EQ(server.error_output(), "open: Is a directory\n");
    EXPECT_EQ(server.standard_output(), "");
}

TEST(StartupFailure, PortInUse)
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a {};
    a.sin_family = AF_INET;
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
    ASSERT_EQ(listen(fd, 1), 0);
    socklen_t len = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len);
    int port = ntohs(a.sin_port);
    Server server(server_binary(), std::to_string(port));
    server.start(true);
    EXPECT_EQ(server.wait_exit(), 255);
    EXPECT_EQ(server.error_output(), "bind: Address already in use\n");
    EXPECT_EQ(read_file(server.dat_path()).size(), grown_size) << "the history was mapped first";
    close(fd);
}

TEST(Signals, EachStopSignalEndsWithStatusZeroAndFreesThePort)
{
    for (int signal : {SIGINT, SIGTERM, SIGQUIT}) {
        Server server;
        server.start();
        int port = server.port();
        EXPECT_EQ(server.stop(signal), 0) << strsignal(signal);
        EXPECT_TRUE(port_is_free(port)) << strsignal(signal);
        EXPECT_EQ(server.error_output(), "");
        EXPECT_EQ(server.standard_output(), "");
    }
}

TEST(Signals, ConnectionProcessesOutliveTheListenerAndIgnoreStopSignals)
{
    Server server;
    server.start();
    Client client(server.port());
    ASSERT_TRUE(server.wait_children(1));
    pid_t connection = server.children().at(0);
    kill(connection, SIGTERM);
    EXPECT_FALSE(client.closed_within(300ms)) << "a stop signal alone does not end a connection";
    EXPECT_EQ(server.stop(), 0);
    EXPECT_EQ(kill(connection, 0), 0) << "the connection process carries on";
    EXPECT_FALSE(client.closed_within(0ms));
}

TEST(ConnectionLimit, TwentyFirstClientIsTurnedAway)
{
    Server server;
    server.start();
    auto clients = connect_all(server, 20);
    expect_full(server, clients);
}

TEST(ConnectionLimit, PlacesComeBackWhenClientsLeave)
{
    Server server;
    server.start();
    for (int round = 0; round < 3; ++round) {
        auto clients = connect_all(server, 20);
        expect_full(server, clients);
        clients.clear();  // all twenty hang up at once
        ASSERT_TRUE(server.wait_children(0)) << "round " << round;
    }
    auto clients = connect_all(server, 20);
    expect_full(server, clients);
    EXPECT_EQ(server.error_output(), "");
}

TEST(ConnectionLimit, PlacesComeBackWhenConnectionProcessesAreKilled)
{
    Server server;
    server.start();
    for (int round = 0; round < 2; ++round) {
        auto clients = connect_all(server, 20);
        for (pid_t child : server.children())
            kill(child, SIGKILL);
        ASSERT_TRUE(server.wait_children(0)) << "every killed process is reaped";
        EXPECT_EQ(server.zombie_children(), 0);
    }
    auto clients = connect_all(server, 20);
    expect_full(server, clients);
}

TEST(ConnectionLimit, ListenerOutOfDescriptorsAcceptsAgainOnceItHasThem)
{
    Server server;
    server.start();
    rlimit plenty;
    ASSERT_EQ(prlimit(server.pid(), RLIMIT_NOFILE, nullptr, &plenty), 0);
    // Standard input, output and error, the history and the listening socket.
    rlimit none_left = plenty;
    none_left.rlim_cur = 5;
    ASSERT_EQ(prlimit(server.pid(), RLIMIT_NOFILE, &none_left, nullptr), 0);
    Client waiting(server.port());  // completes in the kernel's queue
    EXPECT_TRUE(eventually([&] { return server.error_output() != ""; }));
    EXPECT_EQ(server.error_output(), "accept: Too many open files\n") << "said once";
    EXPECT_TRUE(server.running());
    ASSERT_EQ(prlimit(server.pid(), RLIMIT_NOFILE, &plenty, nullptr), 0);
    waiting.send("RELD\r\n");
    EXPECT_EQ(waiting.read_exact(error_reply(not_logged_in).size()), error_reply(not_logged_in))
        << "accepted and served once descriptors are there";
    EXPECT_EQ(server.error_output(), "accept: Too many open files\n");
    EXPECT_EQ(server.stop(), 0);
}

TEST(ConnectionLimit, NoZombieIsLeft)
{
    Server server;
    server.start();
    for (int round = 0; round < 5; ++round) {
        {
            auto clients = connect_all(server, 10);
        }
        ASSERT_TRUE(server.wait_children(0)) << "round " << round;
    }
    EXPECT_EQ(server.zombie_children(), 0);
}
