// chat_client end to end against the real server: scripted posts, --listen,
// an interactive session on a pseudo-terminal (its screen played through
// a small terminal emulator), long messages, names and colours, and how
// it ends when the server cannot serve it.
#include <arpa/inet.h>
#include <cmath>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <pty.h>
#include <regex>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "child_process.hpp"
#include "harness.hpp"
#include "wire/codec.hpp"
#include "wire/colour.hpp"
#include "screen.hpp"

using namespace chat_test;

namespace {

std::string client_binary() { return CHAT_CLIENT_BINARY; }
// The client that knows chat_server_fast's idle time-out of 8 seconds.
std::string fast_client_binary() { return CHAT_FAST_CLIENT_BINARY; }

// chat_client as a child process.
class ClientProcess : public ChildProcess {
public:
    ClientProcess(std::vector<std::string> args, bool terminal, std::string input = "",
                  std::vector<std::string> environment = {}, std::string binary = client_binary())
        : ChildProcess(std::move(binary), std::move(args), terminal, std::move(input), std::move(environment))
    {
    }

    // What the pseudo-terminal (24 rows of 100) shows, with the rows that
    // scrolled away above.
    Screen screen() const
    {
        Screen s(24, 100);
        s.play(output());
        return s;
    }
};

// The colour field of the colour chat_client derives for a name as it
// goes on the wire.
std::string automatic_colour(const std::string &sjis_name)
{
    int colour[3];
    chat::stable_colour(sjis_name, colour);
    return chat::colour_field(colour);
}

// Makes the locale `name` (ja_JP.SJIS, say) from the system's definition
// `source` in `charmap` under `dir`, for LOCPATH. False, with the reason in
// *why, when the system lacks the definitions (Debian's package locales);
// CI installs them and sets CHAT_REQUIRE_LOCALES=1, which makes that a
// failure rather than a skip.
bool make_locale(const std::string &dir, const std::string &source, const std::string &charmap,
                 const std::string &name, std::string *why)
{
    std::string definitions = "/usr/share/i18n/locales/" + source;
    if (access(definitions.c_str(), R_OK) != 0) {
        *why = "no " + definitions + " (the package locales) to make " + name + " from";
        const char *required = getenv("CHAT_REQUIRE_LOCALES");
        if (required && std::string(required) == "1")
            ADD_FAILURE() << *why;
        return false;
    }
    std::string make = "mkdir -p " + dir + " && localedef --no-warnings=ascii -i " + source + " -f " + charmap +
                       " " + dir + "/" + name + " >/dev/null 2>&1";
    EXPECT_EQ(system(make.c_str()), 0) << make;
    return true;
}

// The most memory the process has held so far, in kB (VmHWM).
long peak_kb(pid_t pid)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmHWM:", 0) == 0)
            return std::stol(line.substr(6));
    return -1;
}

// A server of the test's own on a free port, for what no chat server
// sends: one client, whose first line it reads, and then any bytes.
class FakeServer {
public:
    FakeServer()
    {
        listen_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a {};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof a;
        if (bind(listen_, reinterpret_cast<sockaddr *>(&a), size) != 0 || listen(listen_, 1) != 0 ||
            getsockname(listen_, reinterpret_cast<sockaddr *>(&a), &size) != 0)
            throw std::runtime_error("cannot listen");
        port_ = ntohs(a.sin_port);
    }
    ~FakeServer()
    {
        if (client_ >= 0)
            close(client_);
        close(listen_);
    }
    std::string port() const { return std::to_string(port_); }

    // Waits for the client and reads its first line; "" on the deadline.
    std::string first_line(millis deadline = 10s)
    {
        pollfd p {listen_, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(deadline.count())) != 1)
            return "";
        client_ = accept(listen_, nullptr, nullptr);
        std::string line;
        char c;
        p = {client_, POLLIN, 0};
        while ((line.empty() || line.back() != '\n') && poll(&p, 1, static_cast<int>(deadline.count())) == 1 &&
               read(client_, &c, 1) == 1)
            line += c;
        return line;
    }
    // Sends all of `bytes` unless the client goes.
    void send(std::string_view bytes)
    {
        while (!bytes.empty()) {
            ssize_t n = ::send(client_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
            if (n <= 0)
                return;
            bytes.remove_prefix(static_cast<size_t>(n));
        }
    }
    void hang_up()
    {
        close(client_);
        client_ = -1;
    }

private:
    int listen_ = -1, client_ = -1, port_ = 0;
};

class ClientTest : public ::testing::Test {
protected:
    void SetUp() override { server_.start(); }
    std::string port() { return std::to_string(server_.port()); }
    Server server_ {fast_server_binary()};
};

// The contrast against black and against white, the lower of the two, of
// the 24-bit colour that `name` was last drawn in on the terminal.
double least_contrast(const std::string &shown, const std::string &name)
{
    std::smatch found;
    std::regex drawn("\x1b\\[1;38;2;(\\d+);(\\d+);(\\d+)m" + name);
    std::string rest = shown;
    double luminance = -1;
    while (std::regex_search(rest, found, drawn)) {
        const double weights[3] = {0.2126, 0.7152, 0.0722};
        luminance = 0;
        for (int i = 0; i < 3; ++i) {
            double c = std::stoi(found[i + 1]) / 255.0;
            luminance += weights[i] * (c <= 0.04045 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4));
        }
        rest = found.suffix();
    }
    return luminance < 0 ? 0 : std::min((luminance + 0.05) / 0.05, 1.05 / (luminance + 0.05));
}

}  // namespace

TEST_F(ClientTest, ScriptedPostArrivesAsShiftJis)
{
    Client watcher(server_.port());
    login(watcher, "000000000", "watcher");
    ClientProcess script({"-p", port(), "-c", "1,2,3", "ボブ"}, false, "こんにちは、世界\nemoji 🎉, dash –!\n");
    EXPECT_EQ(script.wait(), 0) << script.errors();
    std::string name = sjis("ボブ");
    EXPECT_NE(watcher.read_until(login_notice("001002003", name)), "");
    EXPECT_NE(watcher.read_until(message("001002003", name, sjis("こんにちは、世界") + "\r\n")), "");
    EXPECT_NE(watcher.read_until(message("001002003", name, sjis("emoji :party_popper:, dash 〓!") + "\r\n")), "")
        << "an emoji goes as its short code, another character Shift_JIS lacks as the geta mark";
    EXPECT_EQ(script.errors(), "chat_client: 1 character with no Shift_JIS form sent as 〓\n");
    EXPECT_NE(watcher.read_until(logout_notice("001002003", name)), "")
        << "the script logs out rather than timing out";
    EXPECT_EQ(script.output(), "");
}

TEST_F(ClientTest, LongMessagesAreSplitBetweenCharacters)
{
    Client watcher(server_.port());
    login(watcher, "000000000", "watcher");
    std::string text;
    for (int i = 0; i < 150; ++i)
        text += i % 7 == 0 ? "a" : "漢";  // one- and two-byte characters mixed
    ClientProcess script({"-p", port(), "-c", "9,9,9", "splitter"}, false, text + "\n");
    ASSERT_EQ(script.wait(), 0) << script.errors();
    std::string head = message("009009009", "splitter", "");
    std::string joined, all = watcher.read_until(logout_notice("009009009", "splitter"));
    size_t at = 0, pieces = 0;
    while ((at = all.find(head, at)) != std::string::npos) {
        size_t end = all.find("\r\n", at);
        std::string record = all.substr(at, end + 2 - at);
        EXPECT_LE(record.size(), 255u);
        std::string body = record.substr(head.size(), record.size() - head.size() - 2);
        EXPECT_TRUE(is_valid_sjis(body)) << "piece " << pieces << " cut inside a character";
        joined += body;
        ++pieces;
        at = end;
    }
    EXPECT_GE(pieces, 2u);
    EXPECT_EQ(joined, sjis(text));

    // Words: each post but the last ends at a space.
    std::string words;
    for (int i = 0; words.size() < 600; ++i)
        words += std::string(1 + i % 9, static_cast<char>('a' + i % 26)) + (i % 5 == 4 ? ", " : " ");
    words.pop_back();
    ClientProcess prose({"-p", port(), "-c", "8,8,8", "writer"}, false, words + "\n");
    ASSERT_EQ(prose.wait(), 0) << prose.errors();
    head = message("008008008", "writer", "");
    all = watcher.read_until(logout_notice("008008008", "writer"));
    std::vector<std::string> bodies;
    for (at = all.find(head); at != std::string::npos; at = all.find(head, at + 1))
        bodies.push_back(all.substr(at + head.size(), all.find("\r\n", at) - at - head.size()));
    ASSERT_GE(bodies.size(), 3u) << all;
    for (size_t i = 0; i + 1 < bodies.size(); ++i)
        EXPECT_NE(std::string(" ,").find(bodies[i].back()), std::string::npos) << "piece " << i << ": " << bodies[i];
    joined.clear();
    for (const std::string &body : bodies)
        joined += body;
    EXPECT_EQ(joined, words);
}

TEST_F(ClientTest, ListenPrintsDecodedRecords)
{
    ClientProcess listener({"--listen", "-p", port(), "-c", "0,0,0", "logger"}, false);
    ASSERT_TRUE(listener.expect("* loggerがログインしました\n"));
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, at = 0;
    sscanf(listener.output().c_str(), "%4d-%2d-%2d %2d:%2d:%2d %n", &year, &month, &day, &hour,
           &minute, &second, &at);
    EXPECT_TRUE(year >= 2000 && at == 20 && listener.output().compare(at, 8, "* logger") == 0)
        << "the date before the time: " << listener.output();
    Client poster(server_.port());
    login(poster, "255000000", "raw");
    poster.send("SEND " + sjis("日本語のメッセージ") + "\x1b[2J\r\n");
    EXPECT_TRUE(listener.expect(" raw: 日本語のメッセージ?[2J\n"))
        << "decoded, with the escape defused: " << listener.output();
    poster.send("SEND :party_popper:, :no_such_code: and :sushi::\r\n");
    EXPECT_TRUE(listener.expect(" raw: 🎉, :no_such_code: and 🍣:\n")) << "short codes shown as their emoji";
    // 45 posts in one write: whichever ticks they fall in, one batch holds
    // the board's full 20, and the listener says that some may be missing.
    std::string flood;
    for (int i = 1; i <= 45; ++i)
        flood += "SEND m" + std::to_string(i) + "\r\n";
    poster.send(flood);
    EXPECT_TRUE(listener.expect(" raw: m45\n"));
    // Bytes shown as they came are defused too, by the rules of UTF-8: C1
    // controls encoded or standing alone, bidi controls, line separators
    // and bytes that are no character; never a character's own bytes (the
    // no-break space after a C1 control, the Japanese).
    ClientProcess bytes({"--listen", "--raw", "-p", port(), "-c", "0,0,0", "bytes"}, false);
    ASSERT_TRUE(bytes.expect("* bytes"));
    poster.send("SEND a\xc2\x9b" "31m \x9b" "31m b\xc2\xa0" "c \x85|\xe2\x80\xae" "evil\xe2\x81\xa6|\xe2\x80\xa8|"
                "日本語\xa0|\xe0\x80\x9b\r\n");
    EXPECT_TRUE(bytes.expect(" raw: a?31m ?31m b\xc2\xa0" "c ?|?evil?|?|日本語?|???\n")) << bytes.output();
    bytes.signal(SIGINT);
    EXPECT_EQ(bytes.wait(), 0);
    listener.signal(SIGINT);
    EXPECT_EQ(listener.wait(), 0);
    EXPECT_NE(listener.errors().find("chat_client: 20 new records at once: earlier ones may have been skipped; "
                                     "the archive keeps them all (see chat_archive(8))\n"),
              std::string::npos) << listener.errors();
    EXPECT_EQ(listener.output().find("skipped"), std::string::npos) << "records alone on standard output";
    EXPECT_NE(poster.read_until(logout_notice("000000000", "logger")), "");
    EXPECT_EQ(listener.output().find("\x1b"), std::string::npos) << "no escapes into a pipe";

    // In a Shift_JIS locale 0x80, 0xA0, 0xFD and a lead byte without its
    // trail are no character; a trail byte from 0x80 to 0x9F, and a
    // half-width katakana (C2) before a lead byte, are parts of one.
    // Shown as they came and converted alike.
    std::string locales = server_.dir() + "/locales", why;
    if (!make_locale(locales, "ja_JP", "SHIFT_JIS", "ja_JP.SJIS", &why))
        GTEST_SKIP() << "the Shift_JIS half: " << why;
    std::vector<std::string> shift_jis_locale {"LC_ALL=ja_JP.SJIS", "LOCPATH=" + locales};
    ClientProcess raw_sjis({"--listen", "--raw", "-p", port(), "-c", "0,0,0", "raw_sjis"}, false, "", shift_jis_locale);
    ClientProcess converted({"--listen", "-p", port(), "-c", "0,0,0", "converted"}, false, "", shift_jis_locale);
    ASSERT_TRUE(raw_sjis.expect(sjis("* raw_sjisがログインしました"))) << raw_sjis.output() << raw_sjis.errors();
    ASSERT_TRUE(converted.expect(sjis("* convertedがログインしました"))) << converted.output();
    std::string japanese = sjis("ﾂあ÷∞ソ表");
    poster.send("SEND " + japanese + "\x80\xa0\xfd\x81!\x1b[2J\x83\r\n");
    for (ClientProcess *shown : {&raw_sjis, &converted}) {
        EXPECT_TRUE(shown->expect(" raw: " + japanese + "???" "?!?[2J?\n")) << shown->output();
        shown->signal(SIGINT);
        EXPECT_EQ(shown->wait(), 0);
    }
}

// A server that sends a line without end: chat_client reads the first 64
// KiB of it as a line, drops the rest with one note, keeps its memory and
// shows what comes after. 16 MB, so that a client that kept them would
// show it in its memory.
TEST(ClientListen, ALineThatNeverEndsIsCutOnce)
{
    FakeServer server;
    ClientProcess listener({"--listen", "-p", server.port(), "-c", "0,0,0", "endless"}, false);
    ASSERT_EQ(server.first_line(), "LGIN 000000000 endless\r\n");
    server.send(batch({login_notice("000000000", "endless")}));
    ASSERT_TRUE(listener.expect("* endlessがログインしました\n")) << listener.errors();
    long before = peak_kb(listener.pid());
    // The listener writes the cut line into a pipe that only expect()
    // empties: the server talks from a thread of its own.
    std::thread talk([&] {
        server.send(std::string(16 << 20, 'x'));
        server.send("\r\n" + batch({message("001002003", "ann", "after the endless line\r\n")}));
    });
    EXPECT_TRUE(listener.expect(" ann: after the endless line\n", 60s)) << listener.errors();
    talk.join();
    EXPECT_LT(peak_kb(listener.pid()) - before, 8 * 1024) << "kB more than before the line, from " << before;
    server.send(error_reply(server_stopped));
    server.hang_up();
    EXPECT_EQ(listener.wait(), 4);
    const std::string note = "chat_client: the server sent a line longer than 64 KiB; the rest of it was dropped\n";
    EXPECT_NE(listener.errors().find(note), std::string::npos) << listener.errors();
    EXPECT_EQ(listener.errors().find(note), listener.errors().rfind(note)) << "one note";
    EXPECT_NE(listener.output().find(" " + std::string(64 * 1024, 'x') + "\n"), std::string::npos)
        << "the line as far as the cap";
}

TEST_F(ClientTest, InteractiveSessionKeepsThePromptIntact)
{
    ClientProcess person({"-p", port(), "-c", "0,128,255", "alice"}, true);
    ASSERT_TRUE(person.expect("aliceがログインしました")) << person.output();
    ASSERT_TRUE(person.expect("alice> "));
    person.type("hel");
    ASSERT_TRUE(person.expect("hel"));

    Client bob(server_.port());
    login(bob, "255000000", "bob");
    bob.send("SEND hi alice\r\n");
    EXPECT_TRUE(person.expect("\x1b[1;38;2;255;0;0mbob")) << "bob's name in bob's colour";
    EXPECT_TRUE(person.expect(": hi alice"));
    EXPECT_TRUE(person.expect("alice> hel")) << "the half-typed line comes back under it";
    // Names near black or white are drawn lighter or darker, so that they
    // read on a dark and on a light terminal alike; a red one as it is.
    EXPECT_NEAR(least_contrast(person.output(), "bob"), 4.0, 0.1);
    for (auto [colour, name] : {std::pair {"000000000", "ink"}, {"255255255", "snow"}, {"255255000", "lemon"}}) {
        Client poster(server_.port());
        login(poster, colour, name);
        poster.send("SEND hi\r\n");
        ASSERT_TRUE(person.expect(std::string(name) + "\x1b[0m: hi"));
        EXPECT_GE(least_contrast(person.output(), name), 3.0) << name;
    }

    bob.send("RELD\r\n");  // within the fast server's idle budget on a loaded machine
    person.type("lo\r");
    person.type("/help\r");  // a command's output while its line is handled
    EXPECT_TRUE(person.expect("/me ACTION  /help  /quit")) << "/help lists itself";
    EXPECT_NE(bob.read_until(message("000128255", "alice", "hello\r\n")), "");
    person.type("/logout\r");
    EXPECT_NE(bob.read_until(logout_notice("000128255", "alice")), "");
    person.type("/login 0,0,0 名前😀\r");
    EXPECT_TRUE(person.expect("the name must be")) << "refused, not sent with a geta mark";
    person.type("/login 0,200,0 アリス\r");
    EXPECT_TRUE(person.expect("アリス> ")) << "the prompt follows the name in use";
    EXPECT_NE(bob.read_until(login_notice("000200000", sjis("アリス"))), "");
    person.type("🇯🇵 and 🍣\r");  // a flag has no short code: two geta marks
    EXPECT_TRUE(person.expect("2 characters with no Shift_JIS form sent as 〓"));
    EXPECT_NE(bob.read_until(message("000200000", sjis("アリス"), sjis("〓〓 and :sushi:") + "\r\n")), "");
    bob.send("RELD\r\n");  // bob stays within the fast server's idle budget
    person.type("/logout\r");
    EXPECT_NE(bob.read_until(logout_notice("000200000", sjis("アリス"))), "");
    person.type("/login 7seas\r");  // a name that begins like a colour
    EXPECT_NE(bob.read_until(login_notice("000200000", "7seas")), "") << "the colour stays as it was";
    person.type("/logout\r");
    EXPECT_NE(bob.read_until(logout_notice("000200000", "7seas")), "");
    person.type("/login アリス\r");
    EXPECT_NE(bob.read_until(login_notice("000200000", sjis("アリス"))), "");
    bob.send("RELD\r\n");
    person.type("\x03");  // Ctrl-C logs out before leaving
    EXPECT_EQ(person.wait(), 0) << person.errors();
    EXPECT_NE(bob.read_until(logout_notice("000200000", sjis("アリス"))), "");
    // What the terminal shows, without escape sequences and carriage
    // returns: a command's output must not leave a stray prompt behind.
    std::string screen;
    const std::string &shown = person.output();
    for (size_t i = 0; i < shown.size(); ++i) {
        if (shown[i] == '\x1b' && i + 1 < shown.size() && shown[i + 1] == '[') {
            i = shown.find_first_not_of("0123456789;?", i + 2);  // at the final letter
            if (i == std::string::npos)
                break;
        } else if (shown[i] != '\r') {
            screen += shown[i];
        }
    }
    EXPECT_EQ(screen.find("alice> alice> "), std::string::npos) << screen;
}

// The fast client knows the fast server's idle budget of 8 seconds, and
// warns halfway through it; Enter on an empty line keeps the session.
TEST_F(ClientTest, InteractiveSessionOutlivesItsConnection)
{
    ClientProcess person({"-p", port(), "-c", "7,7,7", "sleepy"}, true, "", {}, fast_client_binary());
    ASSERT_TRUE(person.expect("sleepy> ")) << person.output();
    const std::string warning = "the server logs you out in 4 seconds for staying silent; press Enter to stay";
    ASSERT_TRUE(person.expect(warning, 20s)) << person.output();
    person.type("\r");
    ASSERT_TRUE(person.expect(warning, 20s)) << "warned again, counting from the Enter: " << person.output();
    EXPECT_EQ(person.output().find("timed out"), std::string::npos) << person.output();
    ASSERT_TRUE(person.expect("timed out", 20s)) << person.output();
    ASSERT_TRUE(person.expect("sleepy> "));
    Client watcher(server_.port());
    login(watcher, "000000000", "watcher");
    person.type("back again\r");
    EXPECT_NE(watcher.read_until(login_notice("007007007", "sleepy")), "")
        << "the next typed line logs in again with the same name and colour: " << person.output();
    EXPECT_NE(watcher.read_until(message("007007007", "sleepy", "back again\r\n")), "");

    server_.stop();
    EXPECT_TRUE(person.expect("the server has stopped")) << person.output();
    person.type("anyone?\r");
    EXPECT_TRUE(person.expect("cannot connect")) << person.output();
    // Ctrl-D once the prompt is back: while a line is handled the terminal
    // is in cooked mode, where it would be taken as the end of input.
    ASSERT_TRUE(person.expect("sleepy> "));
    person.type("\x04");
    EXPECT_EQ(person.wait(), 0) << person.errors();
}

// A typed line shows dimmed until its record comes back, then only the
// record shows; held up by another process's lock it says so after 2 s,
// and the busy reply marks it as perhaps lost.
TEST_F(ClientTest, OwnLinesPendUntilTheirRecordsCome)
{
    ClientProcess person({"-p", port(), "-c", "0,128,255", "alice"}, true);
    ASSERT_TRUE(person.expect("alice> ")) << person.output();
    person.type("first post\r");
    EXPECT_TRUE(person.expect("\x1b[2malice> first post\x1b[0m")) << "dimmed on its way";
    ASSERT_TRUE(person.expect(": first post"));
    // The same text twice, and a message long enough for three posts:
    // each record takes the place of its own piece, in order.
    person.type("same\r");
    ASSERT_TRUE(person.expect(": same"));
    person.type("same\r");
    ASSERT_TRUE(person.expect(": same"));
    person.type(std::string(600, 'x') + "\r");
    for (int piece = 0; piece < 3; ++piece)
        ASSERT_TRUE(person.expect(": xxx")) << person.screen().text();
    // A pasted block (bracketed, as terminals paste) posts each of its
    // lines: none reaches the server as a command of its own.
    person.type("\x1b[200~pasted\nLGOT\x1b[201~\r");
    ASSERT_TRUE(person.expect(": pasted"));
    ASSERT_TRUE(person.expect(": LGOT")) << person.screen().text();

    pid_t holder = hold_lock(server_.dat_path(), F_WRLCK, 30);
    person.type("held up\r");
    EXPECT_TRUE(person.expect("held up  (waiting for the server)", 10s)) << person.output();
    EXPECT_TRUE(person.expect(std::string("! ") + busy, 20s)) << "the fast server gives up after 4 tries";
    EXPECT_TRUE(person.expect("held up  (may not have been posted)")) << person.screen().text();
    kill(holder, SIGKILL);
    waitpid(holder, nullptr, 0);
    person.type("free again\r");
    ASSERT_TRUE(person.expect(": free again"));
    person.type("/quit\r");
    EXPECT_EQ(person.wait(), 0) << person.errors();

    Screen screen = person.screen();
    EXPECT_EQ(screen.count("alice: first post"), 1u) << screen.text();
    EXPECT_EQ(screen.count("alice: same"), 2u) << screen.text();
    EXPECT_EQ(screen.count("ログアウト"), 1u) << "only at /quit: " << screen.text();
    EXPECT_EQ(screen.count("alice> "), 1u) << "no typed line left but the marked one: " << screen.text();
    EXPECT_EQ(screen.count("alice> held up  (may not have been posted)"), 1u) << screen.text();
    EXPECT_EQ(screen.count("waiting for the server"), 0u) << screen.text();
}

// Tab completes the names seen, in any case, and never file names; /me
// posts an action that every chat_client shows as one; emoji go as short
// codes and come back as emoji.
TEST_F(ClientTest, CompletionActionsAndEmojiAtThePrompt)
{
    Client bob(server_.port());
    login(bob, "255000000", "bob");
    ClientProcess person({"-p", port(), "-c", "0,128,255", "alice"}, true);
    ASSERT_TRUE(person.expect("alice> ")) << person.output();
    bob.send("SEND hello\r\n");
    ASSERT_TRUE(person.expect("bob\x1b[0m: hello"));
    Client carol(server_.port());
    login(carol, "000255000", "carol");
    ASSERT_TRUE(person.expect("carolがログインしました"));
    person.type("hi B\tand c\t\r");
    EXPECT_NE(bob.read_until(message("000128255", "alice", "hi bob and carol \r\n")), "") << person.output();
    const std::string probe = "tab_probe_" + std::to_string(getpid());  // a file Tab must not offer
    fclose(fopen(probe.c_str(), "w"));
    person.type(probe.substr(0, 8) + "\t\r");
    EXPECT_NE(bob.read_until(message("000128255", "alice", probe.substr(0, 8) + "\r\n")), "") << person.output();
    unlink(probe.c_str());

    person.type("/me waves 👋🏽\r");
    EXPECT_NE(bob.read_until(message("000128255", "alice", "/me waves :waving_hand:\r\n")), "");
    bob.send("SEND /me dances :party_popper:\r\n");
    EXPECT_TRUE(person.expect("dances")) << person.output();
    person.type("/me \r");
    EXPECT_TRUE(person.expect("usage: /me ACTION"));
    person.type("/quit\r");
    EXPECT_EQ(person.wait(), 0) << person.errors();
    Screen screen = person.screen();
    EXPECT_EQ(screen.count("* alice waves 👋"), 1u) << screen.text();
    EXPECT_EQ(screen.count("* bob dances 🎉"), 1u) << screen.text();
    EXPECT_EQ(screen.count("/me"), 1u) << "only the usage note: " << screen.text();
}

TEST_F(ClientTest, NickLoginAndLogoutAtThePrompt)
{
    Client watcher(server_.port());
    login(watcher, "000000000", "watcher");
    ClientProcess person({"-p", port(), "alice"}, true);
    std::string alice = automatic_colour("alice"), bob = automatic_colour(sjis("ボブ"));
    ASSERT_NE(watcher.read_until(login_notice(alice, "alice")), "");
    ASSERT_TRUE(person.expect("alice> ")) << person.output();
    person.type("/nick ボブ\r");
    EXPECT_NE(watcher.read_until(logout_notice(alice, "alice")), "") << "the others see both notices";
    EXPECT_NE(watcher.read_until(login_notice(bob, sjis("ボブ"))), "") << "an automatic colour follows the name";
    ASSERT_TRUE(person.expect("ボブ> "));
    person.type("/nick メッセージ\r");
    EXPECT_TRUE(person.expect("the name メッセージ is reserved for the server's notices"));
    person.type("/login\r");
    EXPECT_TRUE(person.expect("already logged in; /logout first, or /nick NAME for another name"));

    watcher.send("RELD\r\n");  // within the fast server's idle budget
    person.type("/logout\r");
    EXPECT_NE(watcher.read_until(logout_notice(bob, sjis("ボブ"))), "");
    person.type("/logout\r");
    EXPECT_TRUE(person.expect("not logged in; /login logs in again"));
    // A colour that is not three numbers is refused as -c refuses it.
    person.type("/login 1,2 y\r");
    EXPECT_TRUE(person.expect("bad colour '1,2': three numbers from -99 to 999, such as 255,128,0"));
    person.type("/login 1,2,3,4 z\r");
    EXPECT_TRUE(person.expect("bad colour '1,2,3,4'"));
    person.type("/login 9 9 9\r");
    std::string seen = watcher.read_until(login_notice("009009009", sjis("ボブ")));
    EXPECT_NE(seen, "") << person.screen().text();
    EXPECT_EQ(seen.find("ログインしました"), seen.rfind("ログインしました")) << "nobody else logged in";
    person.type("/nick carol\r");
    EXPECT_NE(watcher.read_until(login_notice("009009009", "carol")), "") << "a chosen colour stays";
    ASSERT_TRUE(person.expect("carol> "));
    person.type("\x04");
    EXPECT_EQ(person.wait(), 0) << person.errors();
}

// The automatic colour is the one derived from the name in Shift_JIS,
// whatever the locale the name was typed in: the gateway derives it from
// the same bytes.
TEST_F(ClientTest, AutomaticColourComesFromTheWireName)
{
    Client watcher(server_.port());
    login(watcher, "000000000", "watcher");
    std::string name = sjis("ボブ");
    ClientProcess utf8({"-p", port(), "ボブ"}, false, "utf-8\n");
    EXPECT_EQ(utf8.wait(), 0) << utf8.errors();
    EXPECT_NE(watcher.read_until(message(automatic_colour(name), name, "utf-8\r\n")), "");
    ClientProcess ascii({"-p", port(), "alice"}, false, "ascii\n", {"LC_ALL=C"});
    EXPECT_EQ(ascii.wait(), 0) << ascii.errors();
    EXPECT_NE(watcher.read_until(message(automatic_colour("alice"), "alice", "ascii\r\n")), "");

    // EUC-JP, when this system can make the locale.
    std::string locales = server_.dir() + "/locales", why;
    if (!make_locale(locales, "ja_JP", "EUC-JP", "ja_JP.EUC-JP", &why))
        GTEST_SKIP() << why;
    chat::Codec euc;
    ASSERT_TRUE(euc.open("EUC-JP"));
    ClientProcess euc_jp({"-p", port(), euc.to_local(name)}, false, "euc-jp\n",
                         {"LC_ALL=ja_JP.EUC-JP", "LOCPATH=" + locales});
    EXPECT_EQ(euc_jp.wait(), 0) << euc_jp.errors();
    EXPECT_NE(watcher.read_until(message(automatic_colour(name), name, "euc-jp\r\n")), "");
    // Its Japanese messages come in the locale's characters too.
    ClientProcess refused({"-c", "1,2", "x"}, false, "",
                          {"LC_ALL=ja_JP.EUC-JP", "LOCPATH=" + locales, "LANGUAGE=ja"});
    EXPECT_EQ(refused.wait(), 2);
    EXPECT_NE(refused.errors().find(euc.to_local(sjis("色 '1,2' は使えません"))), std::string::npos)
        << refused.errors();
}

TEST_F(ClientTest, PortFormsOfTheServerAreAccepted)
{
    char hex[16], octal[16];
    snprintf(hex, sizeof hex, "0x%x", server_.port());
    snprintf(octal, sizeof octal, "0%o", server_.port());
    for (const char *form : {hex, octal}) {
        ClientProcess script({"-p", form, "ports"}, false, std::string(form) + "\n");
        EXPECT_EQ(script.wait(), 0) << form << ": " << script.errors();
    }
}

// The shipped server tries for about two minutes to get its lock; the
// script waits for its answer instead of giving up.
TEST(ClientScript, WaitsOutALongLock)
{
    Server server(server_binary());
    server.start();
    Client watcher(server.port());
    login(watcher, "000000000", "watcher");
    pid_t holder = hold_lock(server.dat_path(), F_WRLCK, 15);
    ClientProcess script({"-p", std::to_string(server.port()), "-c", "5,5,5", "patient"}, false,
                         "still here\n");
    EXPECT_EQ(script.wait(60s), 0) << script.errors();
    EXPECT_NE(watcher.read_until(message("005005005", "patient", "still here\r\n"), 30s), "");
    waitpid(holder, nullptr, 0);
}

TEST_F(ClientTest, ServerThatCannotServeGivesAMessageAndAStatus)
{
    ClientProcess listener({"--listen", "-p", port(), "stopper"}, false);
    ASSERT_TRUE(listener.expect("stopperがログインしました"));
    std::vector<Client> crowd;
    for (size_t i = 0; i < 19; ++i) {
        crowd.emplace_back(server_.port());
        ASSERT_TRUE(server_.wait_children(i + 2));
    }

    ClientProcess full({"-p", port(), "late"}, false, "hello\n");
    EXPECT_EQ(full.wait(), 3);
    EXPECT_NE(full.errors().find("full"), std::string::npos) << full.errors();

    server_.stop();
    EXPECT_EQ(listener.wait(), 4);
    EXPECT_NE(listener.errors().find("stopped"), std::string::npos) << listener.errors();

    ClientProcess nobody({"-p", port(), "lonely"}, false, "hello\n");
    EXPECT_EQ(nobody.wait(), 1);
    EXPECT_NE(nobody.errors().find("cannot connect"), std::string::npos) << nobody.errors();
}

TEST(ClientArguments, BadArgumentsExitWithTwo)
{
    for (std::vector<std::string> args : {std::vector<std::string> {},
                                          {"-c", "1,2", "x"},
                                          {"-c", "1000,0,0", "x"},
                                          {"-p", "70000", "x"},
                                          {"-p", "0", "x"},
                                          {"-p", "0x10000", "x"},
                                          {"-p", "port", "x"},
                                          {"-p", "-1", "x"},
                                          {"emoji😀"},
                                          {"メッセージ"},
                                          {"--bogus", "x"},
                                          {"name with space"},
                                          {"a", "b"}}) {
        ClientProcess bad(args, false);
        EXPECT_EQ(bad.wait(), 2);
        EXPECT_NE(bad.errors().find("chat_client: "), std::string::npos);
    }
    ClientProcess help({"--help"}, false);
    EXPECT_EQ(help.wait(), 0);
    EXPECT_NE(help.output().find("usage: chat_client"), std::string::npos);
    ClientProcess version({"--version"}, false);
    EXPECT_EQ(version.wait(), 0);
    EXPECT_EQ(version.output(), "chat_client " CHAT_VERSION "\n");
    ClientProcess reserved({"メッセージ"}, false);
    EXPECT_EQ(reserved.wait(), 2);
    EXPECT_NE(reserved.errors().find("chat_client: the name メッセージ is reserved for the server's notices"),
              std::string::npos)
        << "its real reason, not the length: " << reserved.errors();

    // LANG=C.UTF-8 LANGUAGE=ja, as a user without a Japanese locale sets it.
    ClientProcess japanese({"メッセージ"}, false, "", {"LC_ALL=", "LANGUAGE=ja"});
    EXPECT_EQ(japanese.wait(), 2);
    EXPECT_EQ(japanese.errors(), "chat_client: メッセージ という名前はサーバーのお知らせ用に予約されています\n"
                                 "詳しくは 'chat_client --help' を実行してください。\n");
    ClientProcess japanese_help({"--help"}, false, "", {"LANGUAGE=ja"});
    EXPECT_EQ(japanese_help.wait(), 0);
    EXPECT_EQ(japanese_help.output().rfind("使い方: chat_client [オプション] NAME\n", 0), 0u) << japanese_help.output();
    EXPECT_NE(japanese_help.output().find("(既定は 12345)"), std::string::npos) << "its values filled in";
}

// Under a Japanese locale the client's own notes at the prompt are
// Japanese; the server's texts are shown as they come.
TEST_F(ClientTest, PromptNotesFollowTheLocalesLanguage)
{
    ClientProcess person({"-p", port(), "taro"}, true, "", {"LANGUAGE=ja"});
    ASSERT_TRUE(person.expect("taro> ")) << person.output();
    person.type("/login 1,2 y\r");
    EXPECT_TRUE(person.expect("! 色 '1,2' は使えません: 255,128,0 のように -99 から 999 までの数を 3 つ指定してください"))
        << person.screen().text();
    person.type("/logout\r");
    ASSERT_TRUE(person.expect("taroがログアウトしました"));
    person.type("hello\r");
    EXPECT_TRUE(person.expect("! ログインしていません。/login で再びログインします")) << person.screen().text();
    // Typed while the line above is still being handled, so as a line:
    // a Ctrl-D then could meet the terminal between modes.
    person.type("/quit\r");
    EXPECT_EQ(person.wait(), 0) << person.errors() << person.screen().text();
}
