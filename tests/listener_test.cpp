// The listener end to end: port argument, history file, start-up failures,
// stop signals, the connection limit and the exactness of its count.
#include <algorithm>
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
#include "wire/history_file.hpp"

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
        Server server(server_binary(), argument, "", {"LC_ALL=C.UTF-8", "LANGUAGE=en"});
        server.start(true);
        EXPECT_EQ(server.wait_exit(), 0) << argument;
        EXPECT_NE(server.standard_output().find(argument[2] == 'v' ? "chat_server " : "usage: chat_server"),
                  std::string::npos) << argument;
        EXPECT_EQ(server.error_output(), "");
        EXPECT_FALSE(std::filesystem::exists(server.dat_path())) << argument;
    }
}

// The help follows the locale's language; nothing else of the server does:
// not its perror lines, its wire texts, nor where a name ends. (U+3000,
// the ideographic space, is 0x81 0x40 in Shift_JIS.)
TEST(Port, OnlyTheHelpSpeaksTheLocalesLanguage)
{
    const std::vector<std::string> japanese = {"LC_ALL=C.UTF-8", "LANGUAGE=ja"};
    Server help(server_binary(), "--help", "", japanese);
    help.start(true);
    EXPECT_EQ(help.wait_exit(), 0);
    EXPECT_EQ(help.standard_output().rfind("使い方: chat_server [PORT]\n\n複数人で使う", 0), 0u)
        << help.standard_output();
    EXPECT_NE(help.standard_output().find("  --version    バージョンを表示して終了する\n"), std::string::npos);
    Server c_locale(server_binary(), "--help", "", {"LC_ALL=C", "LANGUAGE=ja"});
    c_locale.start(true);
    EXPECT_EQ(c_locale.wait_exit(), 0);
    EXPECT_EQ(c_locale.standard_output().rfind("usage: chat_server [PORT]\n", 0), 0u) << "C means English";

    Server server(fast_server_binary(), "", "", japanese);
    server.start();
    Client alice(server.port());
    std::string name = sjis("名前　あ") + "\xa0\x85z";
    login(alice, "001002003", name);
    alice.send("LGIN 1 2 3 other\r\n");
    EXPECT_NE(alice.read_until(error_reply(already_logged_in)), "");
    Client bob(server.port());
    login(bob, "004005006", "bob");
    alice.send("SEND hi\r\n");
    EXPECT_NE(bob.read_until(message("001002003", name, "hi\r\n")), "") << "the whole name";

    Server second(server_binary(), std::to_string(server.port()), "", japanese);
    second.start(true);
    EXPECT_EQ(second.wait_exit(), 255);
    EXPECT_EQ(second.error_output(), "bind: Address already in use\n");
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

// Seconds by which the newest stamp in chat.dat is ahead of the clock.
long stamp_lead(const Server &server)
{
    return static_cast<long>(newest_stamp(server.dat_path())) - static_cast<long>(time(nullptr));
}

// Another client's post comes back to it within two seconds.
void expect_prompt_echo(Client &carol, const std::string &body)
{
    carol.send("SEND " + body + "\r\n");
    EXPECT_NE(carol.read_until(message("003003003", "carol", body + "\r\n"), 2s), "") << body;
}

// A server whose history is `ahead` seconds ahead of the clock, with carol
// logged in.
struct AheadServer {
    explicit AheadServer(long ahead) : carol(start(ahead)) { login(carol, "003003003", "carol"); }
    int start(long ahead)
    {
        write_file(server.dat_path(), history_with_newest(static_cast<uint32_t>(time(nullptr) + ahead)));
        server.start();
        return server.port();
    }
    Server server {fast_server_binary()};
    Client carol;
};

// Once the stamps are 300 s ahead, posts wait for the clock: for three
// seconds neither one client flooding SEND nor one that reconnects over
// and over (one connection at a time: twenty at once may move the stamps
// nineteen seconds a second) runs them further, and carol's post still
// comes back at once.
TEST(HistoryFile, FloodsCannotRunTheStampsFarAheadOfTheClock)
{
    for (bool reconnecting : {false, true}) {
        AheadServer ahead(290);
        Client flooder(ahead.server.port());
        login(flooder, "001001001", "flooder");
        std::string flood, pending;
        for (int i = 0; i < 100; ++i)
            flood += "SEND flood\r\n";
        auto start = clock_type::now();
        for (bool asked = false; clock_type::now() - start < 3s;) {
            if (reconnecting) {
                Client looper(ahead.server.port());
                ASSERT_TRUE(ahead.server.wait_children(3));
                looper.send("LGIN 002002002 looper\r\nSEND one\r\nSEND two\r\n");
                looper.close_now();
                ASSERT_TRUE(ahead.server.wait_children(2));
            } else {
                pending = pending.empty() ? flood : pending;
                ssize_t n = ::send(flooder.fd(), pending.data(), pending.size(),
                                   MSG_DONTWAIT | MSG_NOSIGNAL);
                pending.erase(0, static_cast<size_t>(std::max(n, ssize_t {0})));
                flooder.read_for(1ms);
            }
            if (!asked && clock_type::now() - start > 1s) {
                asked = true;
                expect_prompt_echo(ahead.carol, "meanwhile");
            }
        }
        EXPECT_GE(stamp_lead(ahead.server), 295) << "reconnecting " << reconnecting;
        EXPECT_LE(stamp_lead(ahead.server), 303) << "reconnecting " << reconnecting;
    }
}

// A lead that comes from elsewhere (a clock set back, a file from another
// machine) costs each post at most a second.
TEST(HistoryFile, HistoryFarAheadStillTakesPostsPromptly)
{
    for (long seconds : {20 * 60, 2 * 60 * 60}) {
        AheadServer ahead(seconds);
        expect_prompt_echo(ahead.carol, "ahead by " + std::to_string(seconds));
        expect_prompt_echo(ahead.carol, "and again");
    }
}

// A flooder on a server whose stamps are 300 s ahead: logged in, a backlog
// of thousands of seconds queued in the kernel, and its first post made.
struct QueuedFlood {
    explicit QueuedFlood(AheadServer &ahead) : client(ahead.server.port())
    {
        auto others = ahead.server.children();
        login(client, colour, "flooder");
        for (pid_t p : ahead.server.children())
            if (std::find(others.begin(), others.end(), p) == others.end())
                pid = p;
        std::string flood;
        for (int i = 0; i < 4000; ++i)
            flood += "SEND x\r\n";
        ::send(client.fd(), flood.data(), flood.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
        EXPECT_NE(ahead.carol.read_until(message(colour, "flooder", "x\r\n")), "") << "the flood has begun";
        ahead.carol.send("RELD\r\n");  // a fresh idle budget for what follows
    }
    static constexpr const char *colour = "001001001";
    Client client;
    pid_t pid = -1;
};

// Ended (and maybe not yet reaped by whoever inherited it from the listener).
bool has_ended(pid_t pid)
{
    std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
    size_t close = stat.rfind(')');
    return close == std::string::npos || stat.substr(close + 2, 1) == "Z";
}

// What a flooder queued does not outlive it: once it hangs up (a reset, or
// a FIN while it still reads), or once the listener stops, the rest of its
// lines are dropped rather than posted one a second for hours. Hung up, it
// leaves with its logout notice; stopped, with the server-stopped reply and
// no notice.
TEST(HistoryFile, QueuedFloodEndsWithItsClientOrItsListener)
{
    const std::string gone = logout_notice(QueuedFlood::colour, "flooder");
    for (bool half_closed : {false, true}) {
        AheadServer ahead(300);
        QueuedFlood flooder(ahead);
        if (half_closed)
            shutdown(flooder.client.fd(), SHUT_WR);
        else
            flooder.client.close_now();
        EXPECT_NE(ahead.carol.read_until(gone), "") << "half closed " << half_closed;
        EXPECT_TRUE(ahead.server.wait_children(1)) << "its process is gone; half closed " << half_closed;
    }

    AheadServer ahead(300);
    QueuedFlood flooder(ahead);
    EXPECT_EQ(ahead.server.stop(), 0);
    uint32_t at_stop = newest_stamp(ahead.server.dat_path());
    EXPECT_NE(flooder.client.read_until(error_reply(server_stopped)), "");
    EXPECT_TRUE(flooder.client.closed_within());
    EXPECT_TRUE(eventually([&] { return has_ended(flooder.pid); })) << "its process is gone";
    EXPECT_EQ(newest_stamp(ahead.server.dat_path()), at_stop) << "nothing is posted after the stop";
}

// Both alice and bob receive `body` from `poster`.
void expect_everywhere(Client &alice, Client &bob, const std::string &poster, const std::string &body)
{
    std::string record = message(poster == "alice" ? "001001001" : "002002002", poster, body + "\r\n");
    EXPECT_NE(alice.read_until(record, 5s), "") << "alice missed " << body;
    EXPECT_NE(bob.read_until(record, 5s), "") << "bob missed " << body;
}

// A history cut short while the server runs, into its last page (where no
// access faults) or to nothing, is whole again by the next post at the
// latest, and every post made after the cut reaches everybody, its poster
// too, also one that takes the stamp of the last post before the cut.
TEST(HistoryFile, CutWhileRunningIsGrownBackAndLosesNoLaterPost)
{
    Server server(fast_server_binary());
    server.start();
    const std::string path = server.dat_path();
    Client alice(server.port()), bob(server.port());
    login(alice, "001001001", "alice");
    login(bob, "002002002", "bob");
    bool same_second = false;
    for (int attempt = 0; attempt < 6 && !same_second; ++attempt) {
        std::string n = std::to_string(attempt);
        ASSERT_TRUE(eventually([&] { return time(nullptr) > newest_stamp(path); }));
        alice.send("SEND before " + n + "\r\n");
        expect_everywhere(alice, bob, "alice", "before " + n);
        uint32_t before = newest_stamp(path);
        ASSERT_EQ(truncate(path.c_str(), attempt == 0 ? 5199 : 0), 0);
        bob.send("SEND after " + n + "\r\n");
        expect_everywhere(alice, bob, "bob", "after " + n);
        EXPECT_EQ(read_file(path).size(), grown_size);
        EXPECT_EQ(history_problem(path), "");
        same_second = attempt > 0 && newest_stamp(path) == before;
    }
    EXPECT_TRUE(same_second) << "no post after a cut took the stamp of the one before";
    EXPECT_EQ(server.children().size(), 2u) << "every connection process lives";
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
