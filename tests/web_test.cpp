// The gateway's session logic without a network: the page's messages and
// the events for them, conversion and splitting, the caps, the end of a
// session, the Host and Origin rules, the counts of connections, the
// page's title, the seam between the history file and the live stream,
// what keeps a session across a reload (the numbered events and their
// replay, the token, own posts, the idle warning); and chat_web's command
// line.
#include <gtest/gtest.h>
#include <cstdlib>
#include <unistd.h>

#include "json/json.hpp"
#include "web/admission.hpp"
#include "web/archive_ask.hpp"
#include "web/logic.hpp"
#include "web/serving.hpp"
#include "wire/colour.hpp"
#include "child_process.hpp"
#include "harness.hpp"

using namespace chat_web;
using chat::JsonObject;
using chat::get_numbers;
using chat::get_string;
using chat::parse_object;
using chat::quote;
using chat_test::sjis;

namespace {

JsonObject only(const std::vector<std::string> &messages, size_t i = 0)
{
    EXPECT_GT(messages.size(), i);
    auto o = parse_object(messages.at(i));
    EXPECT_TRUE(o);
    return *o;
}

std::string field(const JsonObject &o, const char *key) { return get_string(o, key).value_or("<none>"); }

double number(const JsonObject &o, const char *key)
{
    auto it = o.find(key);
    return it != o.end() && std::holds_alternative<double>(it->second) ? std::get<double>(it->second) : -1;
}

bool flag(const JsonObject &o, const char *key)
{
    auto it = o.find(key);
    return it != o.end() && std::holds_alternative<bool>(it->second) && std::get<bool>(it->second);
}

// The events of a step with the given type, parsed.
std::vector<JsonObject> of_type(const Actions &a, const std::string &type)
{
    std::vector<JsonObject> out;
    for (const auto &m : a.to_page)
        if (auto o = parse_object(m); o && field(*o, "type") == type)
            out.push_back(*o);
    return out;
}

std::string token_of(const Actions &a)
{
    auto hellos = of_type(a, "hello");
    return hellos.empty() ? "" : field(hellos.back(), "token");
}

// A record from "eve" as the server delivers it, in a batch of its own.
std::string from_eve(const std::string &text)
{
    return "OK\r\n" + chat_test::message("001001001", "eve", text + "\r\n") + "END\r\n";
}

struct Fixture : ::testing::Test {
    void SetUp() override { ASSERT_TRUE(codec.open("UTF-8")); }

    // A session logged in as `name` with colour 10,20,30, from a page of
    // `origin`; `token` gets the token of its hello.
    SessionLogic logged_in(const std::string &name, const std::string &origin = "http://127.0.0.1:8080",
                      std::string *token = nullptr)
    {
        SessionLogic s(codec, limits, false, origin);
        Actions a = s.page_message(R"({"type":"login","name":")" + name + R"(","colour":[10,20,30]})", now);
        EXPECT_TRUE(a.connect);
        EXPECT_EQ(s.server_connected(now).to_server, "LGIN 010020030 " + sjis(name) + "\r\n");
        a = s.server_bytes("OK\r\n" + chat_test::login_notice("010020030", sjis(name)) + "END\r\n");
        if (token)
            *token = token_of(a);
        return s;
    }

    chat::Codec codec;
    Limits limits;
    steady::time_point now = steady::now();
};

}  // namespace

TEST_F(Fixture, JapaneseGoesOutAsShiftJisSplitAtCharactersAndComesBackAsUtf8)
{
    SessionLogic s = logged_in("花子");
    // 130 kana are 260 bytes; the body limit for a 4-byte name is 239.
    std::string long_text;
    for (int i = 0; i < 130; ++i)
        long_text += "あ";
    Actions a = s.page_message(R"({"type":"send","text":")" + long_text + "\"}", now);
    std::string first(238, '\0'), rest;
    for (int i = 0; i < 119; ++i)
        first.replace(i * 2, 2, sjis("あ"));
    for (int i = 119; i < 130; ++i)
        rest += sjis("あ");
    EXPECT_EQ(a.to_server, "SEND " + first + "\r\nSEND " + rest + "\r\n");

    Actions got = s.server_bytes("OK\r\n" + chat_test::message("255000-05", sjis("太郎"), sjis("こんにちは <b>&</b>\r\n")) + "END\r\n");
    auto o = only(got.to_page);
    EXPECT_EQ(field(o, "type"), "record");
    EXPECT_EQ(field(o, "sender"), "太郎");
    EXPECT_EQ(field(o, "text"), "こんにちは <b>&</b>");
    EXPECT_EQ(get_numbers(o, "colour"), (std::vector<double> {255, 0, -5}));
    EXPECT_EQ(got.to_page[0].find('<'), std::string::npos) << "markup is escaped even inside JSON";

    // Characters that Shift_JIS lacks go as the geta mark, and the page is told.
    a = s.page_message(R"({"type":"send","text":"a😀b"})", now);
    EXPECT_EQ(a.to_server, "SEND a" + sjis("〓") + "b\r\n");
    EXPECT_EQ(field(only(a.to_page), "reason"), "replaced");
    // Line ends and NUL are refused, nothing is sent.
    for (const char *bad : {R"({"type":"send","text":"a\nSEND x"})", R"({"type":"send","text":"a\rb"})",
                            R"({"type":"send","text":"a\u0000b"})"}) {
        a = s.page_message(bad, now);
        EXPECT_EQ(a.to_server, "") << bad;
        EXPECT_EQ(field(only(a.to_page), "reason"), "line");
    }
    // Other controls would reach raw clients' terminals: ESC, BEL, DEL, C1.
    for (const char *bad : {R"({"type":"send","text":"\u001b[31mred"})", R"({"type":"send","text":"ding\u0007"})",
                            R"({"type":"send","text":"a\u007fb"})", R"({"type":"send","text":"\u009b31m"})",
                            R"({"type":"send","text":"x\u0085"})"}) {
        a = s.page_message(bad, now);
        EXPECT_EQ(a.to_server, "") << bad;
        EXPECT_EQ(field(only(a.to_page), "reason"), "control") << bad;
    }
    EXPECT_EQ(s.page_message(R"({"type":"send","text":"a\tb\u00a0"})", now).to_server, "SEND a\tb" + sjis("〓") + "\r\n")
        << "TAB and U+00A0 are no controls";
    EXPECT_EQ(s.page_message(R"({"type":"reload"})", now).to_server, "RELD\r\n");
}

TEST_F(Fixture, BadNamesAndColoursNeverReachTheServer)
{
    SessionLogic s(codec, limits);
    for (const char *login : {R"({"type":"login","name":"a b","colour":[1,2,3]})",
                              R"({"type":"login","name":"","colour":[1,2,3]})",
                              R"({"type":"login","name":"あいうえおかきくけこさしすせそた","colour":[1,2,3]})",
                              R"({"type":"login","name":"メッセージ","colour":[1,2,3]})",
                              R"({"type":"login","name":"bob","colour":[1000,2,3]})",
                              R"({"type":"login","name":"bob","colour":[1.5,2,3]})",
                              R"({"type":"login","name":"bob"})", R"({"type":"send","text":"x"})",
                              R"(not json)", R"({"type":"login","name":{"a":1}})",
                              R"({"type":"login","name":"a\u001bb","colour":[1,2,3]})",
                              R"({"type":"login","name":"a\u0085","colour":[1,2,3]})"}) {
        Actions a = s.page_message(login, now);
        EXPECT_FALSE(a.connect) << login;
        EXPECT_EQ(a.to_server, "") << login;
        EXPECT_EQ(field(only(a.to_page), "type"), "gateway") << login;
    }
    // The server's own sender word is refused as what it is, not as too long.
    Actions reserved = s.page_message(R"({"type":"login","name":"メッセージ","colour":"auto"})", now);
    EXPECT_EQ(field(only(reserved.to_page), "reason"), "reserved");
    EXPECT_EQ(field(only(reserved.to_page), "text"), "The name メッセージ is reserved for the server's notices.");
    EXPECT_EQ(field(only(s.page_message(R"({"type":"login","name":"bob","colour":"red"})", now).to_page), "reason"),
              "colour");
    // Fifteen kana are 30 bytes: just allowed.
    EXPECT_TRUE(s.page_message(R"({"type":"login","name":"あいうえおかきくけこさしすせそ","colour":[-99,0,999]})", now).connect);
    EXPECT_EQ(s.server_connected().to_server, "LGIN -99000999 " + sjis("あいうえおかきくけこさしすせそ") + "\r\n");

    // Every event names its room. A kind the gateway does not know is not
    // understood, logged in or not; a room it does not have is refused as
    // such, and a message without a room is for the one room.
    SessionLogic in = logged_in("ann");
    auto unknown = only(in.page_message(R"({"type":"shout","id":3})", now).to_page);
    EXPECT_EQ(field(unknown, "reason"), "invalid");
    EXPECT_EQ(field(unknown, "room"), "main");
    EXPECT_EQ(field(only(in.page_message(R"({"type":"send","room":7,"text":"x"})", now).to_page), "reason"), "invalid");
    auto elsewhere = only(in.page_message(R"({"type":"send","room":"side","id":4,"text":"x"})", now).to_page);
    EXPECT_EQ(field(elsewhere, "reason"), "room");
    EXPECT_EQ(number(elsewhere, "id"), 4);
    EXPECT_EQ(in.page_message(R"({"type":"send","room":"main","text":"x"})", now).to_server, "SEND x\r\n");

    // A session of a named room takes its own room and none, and names it.
    SessionLogic lab = logged_in("ann");
    lab.set_room("lab");
    EXPECT_EQ(lab.page_message(R"({"type":"send","room":"lab","text":"x"})", now).to_server, "SEND x\r\n");
    EXPECT_EQ(lab.page_message(R"({"type":"send","text":"y"})", now).to_server, "SEND y\r\n");
    auto other = only(lab.page_message(R"({"type":"send","room":"main","id":5,"text":"z"})", now).to_page);
    EXPECT_EQ(field(other, "reason"), "room");
    EXPECT_EQ(field(other, "room"), "lab");
}

TEST_F(Fixture, SizeRateAndBinaryCloseTheSessionWithTheirReasonOnly)
{
    SessionLogic s = logged_in("bob");
    Actions a = s.page_message(std::string(limits.message_max + 1, ' '), now);
    EXPECT_EQ(a.close_code, close_too_big);
    EXPECT_TRUE(a.drop_server);
    EXPECT_TRUE(s.server_closed().to_page.empty()) << "the dropped server connection is no second reason";

    SessionLogic b = logged_in("bin");
    a = b.page_binary();
    EXPECT_EQ(a.close_code, close_unsupported);
    EXPECT_TRUE(a.drop_server);

    SessionLogic r = logged_in("ann");
    for (int i = 1; i < limits.rate_count; ++i)  // the login was the first
        ASSERT_EQ(r.page_message(R"({"type":"reload"})", now + std::chrono::milliseconds(i)).close_code, 0);
    EXPECT_EQ(r.page_message(R"({"type":"reload"})", now + std::chrono::seconds(10)).close_code, 0)
        << "the login has left the 10 s window";
    a = r.page_message(R"({"type":"reload"})", now + std::chrono::seconds(10));
    EXPECT_EQ(a.close_code, close_policy);
    EXPECT_TRUE(a.drop_server);
    EXPECT_EQ(a.to_server, "");
    auto rate = only(a.to_page);
    EXPECT_EQ(field(rate, "reason"), "rate");
    EXPECT_EQ(number(rate, "count"), 20) << "the page words the rate from these";
    EXPECT_EQ(number(rate, "seconds"), 10);
    EXPECT_NE(field(rate, "text").find("at most 20 every 10 seconds"), std::string::npos);
    EXPECT_TRUE(r.server_closed().to_page.empty()) << "no 'lost' after the true reason";
    EXPECT_TRUE(r.server_bytes("OK\r\n" + chat_test::message("001001001", "x", "late\r\n") + "END\r\n").to_page.empty());
}

// A page that reads promptly has at most the message being written and
// the next one or two behind it; only what waits behind counts.
TEST_F(Fixture, SlowBrowserCapCountsTheBytesWaitingBehindTheOneBeingWritten)
{
    OutQueue q(limits.output_max);
    EXPECT_TRUE(q.push(std::string(100 * 1024, 'a'))) << "a message that finds nothing waiting is taken";
    EXPECT_EQ(q.take().size(), 100u * 1024);
    EXPECT_EQ(q.bytes(), 0u) << "the message being written does not count";
    std::string piece(1024, 'x');
    for (int i = 0; i < 64; ++i)
        ASSERT_TRUE(q.push(piece)) << i;
    EXPECT_EQ(q.bytes(), 65536u);
    EXPECT_FALSE(q.push("y")) << "64 KiB waiting: one byte more passes the cap";
    EXPECT_EQ(q.bytes(), 65536u) << "a refused message is not queued";
    q.take();
    EXPECT_EQ(q.bytes(), 64512u);
    EXPECT_TRUE(q.push(piece)) << "the message handed to the socket no longer counts";
    EXPECT_FALSE(q.push("y"));

    // One read from the server is one message, however many records it holds.
    SessionLogic s = logged_in("bob");
    std::string many;
    for (int i = 0; i < 27; ++i)
        many += chat_test::message("001001001", "eve", "record " + std::to_string(i) + "\r\n");
    Actions a = s.server_bytes("OK\r\n" + many + "END\r\n");
    ASSERT_EQ(a.to_page.size(), 27u);
    std::string batch = page_batch(a.to_page);
    EXPECT_TRUE(batch.starts_with("[" + a.to_page[0] + "," + a.to_page[1] + ","));
    EXPECT_TRUE(batch.ends_with("," + a.to_page[26] + "]"));
    EXPECT_EQ(page_batch({R"({"type":"record"})", R"({"type":"state"})"}), R"([{"type":"record"},{"type":"state"}])");
}

TEST_F(Fixture, TheSessionEndsWithTheReasonTheServerGave)
{
    SessionLogic t = logged_in("bob");
    Actions a = t.server_bytes("OK\r\n" + chat_test::timeout_notice("010020030", "bob") + "END\r\n");
    EXPECT_EQ(field(only(a.to_page), "type"), "record");
    auto ended = only(t.server_closed().to_page);
    EXPECT_EQ(field(ended, "type"), "ended");
    EXPECT_EQ(field(ended, "reason"), "timeout");

    SessionLogic f(codec, limits);
    f.page_message(R"({"type":"login","name":"bob","colour":[1,2,3]})", now);
    f.server_connected();
    a = f.server_bytes(chat_test::error_reply(chat_test::server_full));
    EXPECT_EQ(field(only(a.to_page), "text"), chat_test::server_full);
    EXPECT_EQ(field(only(f.server_closed().to_page), "reason"), "full");

    SessionLogic l = logged_in("bob");
    EXPECT_EQ(l.page_message(R"({"type":"logout"})", now).to_server, "LGOT\r\n");
    a = l.server_bytes("OK\r\n" + chat_test::logout_notice("010020030", "bob") + "END\r\n");
    EXPECT_TRUE(a.drop_server);
    EXPECT_EQ(field(only(a.to_page, 1), "reason"), "logout");
    EXPECT_TRUE(l.server_closed().to_page.empty()) << "a closed connection after a logout says nothing more";

    SessionLogic lost = logged_in("bob");
    EXPECT_EQ(field(only(lost.server_closed().to_page), "reason"), "lost");
}

// The names list of the page learns who came and went from these marks
// alone: each of the server's three notices, with whose name it is, and
// nothing for a post that reads like one. A colour derived from its name
// is marked automatic.
TEST_F(Fixture, NoticesSayWhoCameAndWentAndColoursSayWhetherTheyAreAutomatic)
{
    SessionLogic s = logged_in("bob");
    int automatic[3];
    chat::stable_colour(sjis("花子"), automatic);
    std::string hanako_colour = chat::colour_field(automatic);
    Actions a = s.server_bytes("OK\r\n" + chat_test::login_notice(hanako_colour, sjis("花子")) +
                               chat_test::logout_notice("010020030", sjis("花子")) +
                               chat_test::timeout_notice("010020030", "eve") +
                               chat_test::message(hanako_colour, sjis("花子"), sjis("ボブがログインしました\r\n")) +
                               chat_test::message("010020030", sjis("花子"), "hi\r\n") + "END\r\n");
    ASSERT_EQ(a.to_page.size(), 5u);
    std::vector<std::string> presence, name;
    std::vector<bool> automatic_flags;
    for (size_t i = 0; i < 5; ++i) {
        auto o = only(a.to_page, i);
        presence.push_back(field(o, "presence"));
        name.push_back(field(o, "name"));
        automatic_flags.push_back(flag(o, "auto"));
    }
    EXPECT_EQ(presence, (std::vector<std::string> {"login", "logout", "timeout", "<none>", "<none>"}));
    EXPECT_EQ(name, (std::vector<std::string> {"花子", "花子", "eve", "<none>", "<none>"}));
    EXPECT_EQ(automatic_flags, (std::vector<bool> {true, false, false, true, false}));
}

#ifdef CHAT_WEB_BINARY
// chat_web's command line: a usage error in English, and under LANGUAGE=ja
// in Japanese, as its help.
TEST(WebCommandLine, UsageErrorsAndHelpInTheLocalesLanguage)
{
    using chat_test::ChildProcess;
    ChildProcess english(CHAT_WEB_BINARY, {"--rate-limit", "0"}, false);
    EXPECT_EQ(english.wait(), 2);
    EXPECT_EQ(english.errors(), "chat_web: --rate-limit wants a count from 1 to 65535, not '0'\n"
                                "Try 'chat_web --help'.\n");
    ChildProcess japanese(CHAT_WEB_BINARY, {"--rate-limit", "0"}, false, "", {"LANGUAGE=ja"});
    EXPECT_EQ(japanese.wait(), 2);
    EXPECT_EQ(japanese.errors(), "chat_web: --rate-limit には 1 から 65535 までの数を指定してください。'0' は使えません\n"
                                 "'chat_web --help' で使い方を表示できます。\n");
    // Without a proxy to vouch for them, names from a header prove nothing.
    ChildProcess unvouched(CHAT_WEB_BINARY, {"--name-header", "X-Remote-User"}, false, "", {"LANGUAGE=ja"});
    EXPECT_EQ(unvouched.wait(), 1);
    EXPECT_NE(unvouched.errors().find("--name-header には --trusted-proxy が必要です"), std::string::npos)
        << unvouched.errors();
    ChildProcess bad_range(CHAT_WEB_BINARY, {"--trusted-proxy", "10.0.0.0/33"}, false);
    EXPECT_EQ(bad_range.wait(), 2);
    ChildProcess help(CHAT_WEB_BINARY, {"--help"}, false, "", {"LANGUAGE=ja"});
    EXPECT_EQ(help.wait(), 0);
    EXPECT_EQ(help.output().rfind("使い方: chat_web [--listen [ADDR:]PORT]", 0), 0u) << help.output();
}

// Rooms on the command line: what will not do is said at start, with the
// line of a rooms file; a room on another host cannot have the files that
// are read on this one.
TEST(WebCommandLine, RoomsThatWillNotDo)
{
    using chat_test::ChildProcess;
    auto refused = [](std::vector<std::string> args, int status, const std::string &why) {
        ChildProcess web(CHAT_WEB_BINARY, args, false);
        EXPECT_EQ(web.wait(), status) << args[1];
        EXPECT_NE(web.errors().find(why), std::string::npos) << web.errors();
    };
    refused({"--server", "127.0.0.1:1", "--room", "a=127.0.0.1:2"}, 2, "are for a gateway of one room");
    refused({"--room", "a b=127.0.0.1:2"}, 2, "a room's name is 1 to 32 ASCII letters");
    refused({"--room", std::string(33, 'x') + "=127.0.0.1:2"}, 2, "a room's name");
    refused({"--room", "a=127.0.0.1:2", "--room", "a=127.0.0.1:3"}, 2, "two rooms named a");
    refused({"--room", "a=127.0.0.1:2,title=Lab, second floor"}, 2, "' second floor' is none of");
    refused({"--room", "a=127.0.0.1"}, 2, "room a wants HOST:PORT");
    refused({"--room", "a=192.0.2.1:2,history=chat.dat"}, 1, "room a: its chat server 192.0.2.1 is on another host");

    char path[] = "/tmp/rooms.XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    std::string text = "# rooms\nmain 127.0.0.1:2 title=Main #1\n\nlab 127.0.0.1:3 colour=red\n";
    ASSERT_EQ(write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    close(fd);
    refused({"--rooms", path}, 2, std::string(path) + ", line 4: 'colour=red' is none of");
    unlink(path);
    refused({"--rooms", path}, 2, "--rooms: cannot read");
}
#endif

TEST(WebOrigin, SameHostOrAllowedOrNone)
{
    std::vector<std::string> none, allowed {"https://chat.example.org"};
    EXPECT_TRUE(origin_allowed(std::nullopt, "127.0.0.1:8080", none));
    EXPECT_TRUE(origin_allowed("http://127.0.0.1:8080", "127.0.0.1:8080", none));
    EXPECT_TRUE(origin_allowed("https://Chat.Example.org", "chat.example.org", none));
    EXPECT_TRUE(origin_allowed("http://chat.example.org", "chat.example.org:80", none));
    EXPECT_TRUE(origin_allowed("http://[::1]:8080", "[::1]:8080", none));
    EXPECT_TRUE(origin_allowed("https://chat.example.org", "127.0.0.1:8080", allowed));
    EXPECT_FALSE(origin_allowed("http://127.0.0.1:9999", "127.0.0.1:8080", none));
    EXPECT_FALSE(origin_allowed("http://evil.example", "127.0.0.1:8080", none));
    EXPECT_FALSE(origin_allowed("https://chat.example.org", "chat.example.org:80", none));
    EXPECT_FALSE(origin_allowed("http://chat.example.org.evil", "chat.example.org", none));
    EXPECT_FALSE(origin_allowed("null", "127.0.0.1:8080", none));
    EXPECT_FALSE(origin_allowed("", "127.0.0.1:8080", none));
}

// DNS rebinding: a name that somebody points at the gateway's address
// must not get the page or a session; IP literals cannot be rebound.
TEST(WebHost, IpLiteralsLocalhostAndAllowedNamesOnly)
{
    HostRule rule;
    rule.allow("Chat.Example.org.");
    rule.allow_origin("https://other.example:8443");
    using V = HostRule::Verdict;
    for (const char *ok : {"127.0.0.1:8080", "10.1.2.3", "[::1]:8080", "[2001:db8::1]", "localhost:8080",
                           "LOCALHOST", "chat.example.org", "chat.example.org.:443", "other.example:1"})
        EXPECT_EQ(rule.check(ok), V::allowed) << ok;
    for (const char *foreign : {"evil.example:8080", "chat.example.org.evil", "example.org", "localhost.evil",
                                "127.0.0.1.evil.example"})
        EXPECT_EQ(rule.check(foreign), V::foreign) << foreign;
    for (const char *bad : {"", ":8080", "a b", "::1", "[::1", "[evil]:80", "[::1]x", "host:port", "host:",
                            "host:123456", "h/o"})
        EXPECT_EQ(rule.check(bad), V::malformed) << bad;
}

// Behind a trusted proxy the client is the address the proxy added last;
// what the client wrote further left proves nothing.
TEST(WebAdmission, ForwardedClientAndCountsPerAddressAndInTotal)
{
    auto client = [](std::string_view values) { return forwarded_client(values).address; };
    EXPECT_EQ(client("203.0.113.9"), "203.0.113.9");
    EXPECT_EQ(client("1.1.1.1, 203.0.113.9"), "203.0.113.9");
    EXPECT_EQ(client("1.1.1.1,203.0.113.9 , ::ffff:198.51.100.7"), "198.51.100.7");
    EXPECT_EQ(client("1.1.1.1, 2001:DB8::1"), "2001:db8::1");
    // With a port, as some proxies write it.
    EXPECT_EQ(client("unknown, 203.0.113.9:4711"), "203.0.113.9");
    EXPECT_EQ(client("[2001:db8::7]:4711"), "2001:db8::7");
    EXPECT_EQ(client("[2001:db8::7]"), "2001:db8::7");
    for (const char *bad : {"203.0.113.9, unknown", "203.0.113.9:port", "[2001:db8::7]x", "[2001:db8::7", "::1:80x",
                            "[203.0.113.9:80", "203.0.113.9:123456"}) {
        EXPECT_EQ(client(bad), std::nullopt) << bad;
        EXPECT_TRUE(forwarded_client(bad).present) << "an entry that is no address is refused, not ignored: " << bad;
    }
    EXPECT_EQ(forwarded_client("1.1.1.1, unknown").entry, "unknown");
    EXPECT_FALSE(forwarded_client(" ").present);
    EXPECT_EQ(canonical_address("::ffff:127.0.0.1"), "127.0.0.1");

    ConnectionCounts counts(5, 2);
    std::vector<Place> places;
    places.push_back(*counts.admit("a"));
    places.push_back(*counts.admit("a"));
    EXPECT_FALSE(counts.admit("a")) << "the address's share is taken";
    EXPECT_EQ(counts.total(), 2u) << "a refused connection counts nowhere";
    places.push_back(*counts.admit(""));  // a proxy's, not yet tied to a client
    places.push_back(*counts.admit(""));
    EXPECT_FALSE(places[2].claim("a")) << "its client already holds its share";
    EXPECT_TRUE(places[2].claim("b"));
    EXPECT_TRUE(places[2].claim("c")) << "a later request may name another client";
    EXPECT_EQ(counts.at("b"), 0u);
    places.push_back(*counts.admit("b"));
    EXPECT_TRUE(counts.full());
    EXPECT_FALSE(counts.admit("d")) << "all places are taken";
    places[0].release();
    EXPECT_EQ(counts.at("a"), 1u);
    EXPECT_TRUE(counts.admit("d")) << "a released place is free again (and given back at once here)";
    places.clear();
    EXPECT_EQ(counts.total(), 0u);
    EXPECT_EQ(counts.at("c"), 0u);

    EXPECT_GE(connections_for_descriptors(10), 1u);
}

// Proxies are given as ranges; IPv6 clients are counted by their prefix,
// an IPv4-mapped one as the IPv4 client it is.
TEST(WebAdmission, ProxyRangesAndIpv6Prefixes)
{
    auto range = [](const char *text) { return *AddressRange::parse(text); };
    EXPECT_TRUE(range("10.0.0.0/8").contains("10.255.1.2"));
    EXPECT_FALSE(range("10.0.0.0/8").contains("11.0.0.1"));
    EXPECT_FALSE(range("192.168.4.0/22").contains("192.168.8.0"));
    EXPECT_TRUE(range("127.0.0.1").contains("::ffff:127.0.0.1")) << "a mapped client is the IPv4 one";
    EXPECT_FALSE(range("127.0.0.1").contains("127.0.0.2"));
    EXPECT_TRUE(range("::ffff:10.0.0.0/104").contains("10.9.9.9"));
    EXPECT_TRUE(range("fd00::/8").contains("fdab::1"));
    EXPECT_FALSE(range("fd00::/8").contains("fe80::1"));
    EXPECT_FALSE(range("::/0").contains("127.0.0.1")) << "IPv6 ranges hold no IPv4 clients";
    EXPECT_TRUE(range("2001:db8::1/128").contains("2001:DB8::1"));
    for (const char *bad : {"10.0.0.0/33", "::/129", "10.0.0.0/", "10.0.0.0/x", "host", "::ffff:10.0.0.0/95", ""})
        EXPECT_FALSE(AddressRange::parse(bad)) << bad;

    EXPECT_EQ(client_key("203.0.113.9", 64), "203.0.113.9");
    EXPECT_EQ(client_key("2001:db8:1:2:aaaa:bbbb:cccc:dddd", 64), "2001:db8:1:2::/64");
    EXPECT_EQ(client_key("2001:db8:1:2:ffff::1", 64), client_key("2001:db8:1:2::9", 64)) << "one /64, one client";
    EXPECT_NE(client_key("2001:db8:1:2::1", 64), client_key("2001:db8:1:3::1", 64));
    EXPECT_EQ(client_key("2001:db8:1:2ff::1", 56), "2001:db8:1:200::/56");
    EXPECT_EQ(client_key("2001:db8:1:2ff::1", 57), "2001:db8:1:280::/57") << "a prefix that cuts a byte";
    EXPECT_EQ(client_key("2001:db8::1", 128), "2001:db8::1");

    EXPECT_TRUE(transfer_coding_ends_in_chunked("chunked"));
    EXPECT_TRUE(transfer_coding_ends_in_chunked("gzip, Chunked"));
    EXPECT_FALSE(transfer_coding_ends_in_chunked("xchunked"));
    EXPECT_FALSE(transfer_coding_ends_in_chunked("chunked, gzip"));
    EXPECT_FALSE(transfer_coding_ends_in_chunked(""));
}

// A name from the proxy's header is taken whole or not at all.
TEST(WebAdmission, NamesFromTheProxysHeader)
{
    chat::Codec codec;
    ASSERT_TRUE(codec.open("UTF-8"));
    using P = HeaderNameProblem;
    auto problem = [&](std::vector<std::string_view> lines) { return header_name(lines, codec).problem; };
    HeaderName ok = header_name({"花子"}, codec);
    EXPECT_EQ(ok.problem, P::none);
    EXPECT_EQ(ok.sjis, sjis("花子"));
    EXPECT_EQ(problem({" alice "}), P::none) << "the spaces around a field's value are no part of it";
    EXPECT_EQ(problem({}), P::missing);
    EXPECT_EQ(problem({""}), P::missing);
    EXPECT_EQ(problem({"alice", "bob"}), P::repeated);
    EXPECT_EQ(problem({"alice,bob"}), P::repeated) << "a repeat that a proxy joined";
    EXPECT_EQ(problem({"\xe8\x8a"}), P::not_utf8);
    EXPECT_EQ(problem({"\xc0\xaf"}), P::not_utf8) << "an overlong form";
    EXPECT_EQ(problem({"\xed\xa0\x80"}), P::not_utf8) << "a surrogate";
    EXPECT_EQ(problem({std::string(30, 'a')}), P::none);
    EXPECT_EQ(problem({std::string(31, 'a')}), P::unfit) << "never cut down";
    EXPECT_EQ(problem({"firstname.lastname@example.org"}), P::none) << "30 bytes";
    EXPECT_EQ(problem({"あいうえおかきくけこさしすせそ"}), P::none) << "15 kana are 30 bytes";
    EXPECT_EQ(problem({"あいうえおかきくけこさしすせそた"}), P::unfit);
    for (const char *unfit : {"a b", "a\tb", "a\xe3\x80\x80" "b", "a\xc2\xa0" "b", "a\x1b" "b", "a\xc2\x85",
                              "a\xe2\x80\xae" "b", "\xf0\x9f\x98\x80", "caf\xc3\xa9\xcc\x81"})
        EXPECT_EQ(problem({unfit}), P::unfit) << unfit;
    EXPECT_EQ(problem({"メッセージ"}), P::reserved);
}

TEST(WebHeaders, TheTitleGoesIntoThePageEscaped)
{
    std::string html = R"(<head><meta name="chat-title" content=""><title>Chat</title>)";
    EXPECT_EQ(page_with_title(html, ""), html);
    EXPECT_EQ(page_with_title(html, R"(R&D "chat" <b>'s)"),
              R"(<head><meta name="chat-title" content="R&amp;D &quot;chat&quot; &lt;b&gt;&#39;s"><title>Chat</title>)");
    EXPECT_EQ(page_with_title(html, "開発チーム"), R"(<head><meta name="chat-title" content="開発チーム"><title>Chat</title>)");
}

// The live stream starts after the newest stamp when the server's process
// took its starting point, somewhere between the read before connecting
// and our own login notice.
TEST(WebSeam, FileRecordsBeforeTheStreamOnlyOnce)
{
    auto rec = [](uint32_t stamp, std::string text) { return chat::HistoryRecord {stamp, text + "\r\n"}; };
    std::vector<chat::HistoryRecord> file {rec(1, "a"), rec(2, "b"), rec(3, "c"), rec(4, "me in"), rec(5, "d")};
    auto stamps = [](const std::vector<chat::HistoryRecord> &records) {
        std::vector<uint32_t> out;
        for (const auto &r : records)
            out.push_back(r.stamp);
        return out;
    };
    // Nothing raced: the stream begins with our notice.
    EXPECT_EQ(stamps(earlier_records(file, 3, {"me in"})), (std::vector<uint32_t> {1, 2, 3}));
    // "b" and "c" were posted between the first read and the server's
    // starting point: they are earlier; the stream brought nothing before us.
    EXPECT_EQ(stamps(earlier_records(file, 1, {"me in"})), (std::vector<uint32_t> {1, 2, 3}));
    // "c" was posted after the starting point: the stream brought it.
    EXPECT_EQ(stamps(earlier_records(file, 1, {"c", "me in"})), (std::vector<uint32_t> {1, 2}));
    // The same text twice: the one at or before the first read stays earlier.
    std::vector<chat::HistoryRecord> twice {rec(1, "x"), rec(2, "x"), rec(3, "me in")};
    EXPECT_EQ(stamps(earlier_records(twice, 1, {"x", "me in"})), (std::vector<uint32_t> {1}));
    // More than the file holds came before us: nothing newer than the first read.
    EXPECT_EQ(stamps(earlier_records(file, 2, {"zz", "me in"})), (std::vector<uint32_t> {1, 2}));
}

// The history file is read by the network code when a step asks for it;
// the connection opens only after the first read, and the stream waits for
// the second.
TEST_F(Fixture, EarlierRecordsComeFirstAndTheHeldBackStreamAfter)
{
    std::string mine = chat_test::login_notice("010020030", "bob");
    std::string racer = chat_test::message("001001001", "eve", "racing\r\n");
    std::string after = chat_test::message("001001001", "eve", "after\r\n");
    std::vector<chat::HistoryRecord> file {{10, "001001001\teve\told\r\n"}};
    SessionLogic s(codec, limits, true);
    Actions a = s.page_message(R"({"type":"login","name":"bob","colour":[10,20,30]})", now);
    EXPECT_TRUE(a.read_history);
    EXPECT_FALSE(a.connect) << "no connection before the first read is done";
    EXPECT_EQ(s.page_message(R"({"type":"login","name":"bob","colour":[10,20,30]})", now).to_page.size(), 1u)
        << "a second login meanwhile is refused";
    a = s.history_read(file);
    EXPECT_TRUE(a.connect);
    EXPECT_FALSE(a.read_history);
    // Posted while we connect, after the server's starting point.
    file.push_back({11, racer});
    file.push_back({12, mine});
    s.server_connected();
    a = s.server_bytes("OK\r\n" + racer, 1000);
    EXPECT_TRUE(a.to_page.empty()) << "held back until our own notice";
    a = s.server_bytes(mine + "END\r\n", 1500);
    EXPECT_TRUE(a.to_page.empty()) << "held back until the second read";
    EXPECT_TRUE(a.read_history);
    a = s.server_bytes("OK\r\n" + after + "END\r\n");
    EXPECT_TRUE(a.to_page.empty()) << "what comes during the second read waits too";
    EXPECT_EQ(s.page_message(R"({"type":"reload"})", now).to_server, "") << "not logged in until the page is told";
    a = s.history_read(file, 2000);
    ASSERT_EQ(a.to_page.size(), 6u);
    EXPECT_EQ(field(only(a.to_page, 0), "text"), "old");
    EXPECT_EQ(std::get<bool>(only(a.to_page, 0).at("earlier")), true);
    EXPECT_EQ(number(only(a.to_page, 0), "at"), 1000) << "no later than the stream's first record came";
    EXPECT_EQ(number(only(a.to_page, 1), "at"), 1000);
    EXPECT_EQ(field(only(a.to_page, 1), "text"), "racing");
    EXPECT_EQ(std::get<bool>(only(a.to_page, 1).at("earlier")), false);
    EXPECT_EQ(field(only(a.to_page, 3), "type"), "hello");
    EXPECT_EQ(field(only(a.to_page, 4), "type"), "state");
    EXPECT_EQ(field(only(a.to_page, 5), "text"), "after");
    EXPECT_TRUE(s.history_read(file).to_page.empty()) << "a late result changes nothing";

    // A file that cannot be read: no earlier records and no second read.
    SessionLogic u(codec, limits, true);
    u.page_message(R"({"type":"login","name":"bob","colour":[10,20,30]})", now);
    EXPECT_TRUE(u.history_read(std::nullopt).connect);
    u.server_connected();
    a = u.server_bytes("OK\r\n" + mine + "END\r\n");
    EXPECT_FALSE(a.read_history);
    ASSERT_EQ(a.to_page.size(), 3u);
    EXPECT_EQ(field(only(a.to_page, 2), "type"), "state");

    // The server goes while the second read waits: what it sent is shown,
    // then why it ended.
    SessionLogic g(codec, limits, true);
    g.page_message(R"({"type":"login","name":"bob","colour":[10,20,30]})", now);
    g.history_read(file);
    g.server_connected();
    EXPECT_TRUE(g.server_bytes("OK\r\n" + mine + "END\r\n").read_history);
    a = g.server_closed();
    ASSERT_EQ(a.to_page.size(), 4u);
    EXPECT_EQ(field(only(a.to_page, 3), "reason"), "lost");
    EXPECT_TRUE(g.history_read(file).to_page.empty());

    // --show-before-login: a page that opens gets the file read-only, once.
    EXPECT_FALSE(SessionLogic(codec, limits, true).opened().read_history) << "off by default";
    limits.show_before_login = true;
    SessionLogic shown(codec, limits, true);
    ASSERT_TRUE(shown.opened().read_history);
    a = shown.history_read(file);
    ASSERT_EQ(a.to_page.size(), file.size());
    EXPECT_TRUE(flag(only(a.to_page), "earlier"));
    EXPECT_TRUE(flag(only(a.to_page), "before_login"));
    EXPECT_TRUE(shown.history_read(file).to_page.empty()) << "only the read the opening asked for";
}

TEST(WebJson, ParsesFlatObjectsAndQuotesSafely)
{
    auto o = parse_object(R"( {"a":"x\"\\\/\u00e9\ud83d\ude00","n":-1.5e1,"t":true,"z":null,"l":[1, 2]} )");
    ASSERT_TRUE(o);
    EXPECT_EQ(field(*o, "a"), "x\"\\/é😀");
    EXPECT_EQ(std::get<double>(o->at("n")), -15);
    EXPECT_EQ(get_numbers(*o, "l"), (std::vector<double> {1, 2}));
    for (const char *bad : {"", "{", R"({"a":1,"a":2})", R"({"a":[["x"]]})", R"({"a":1} x)", "{\"a\":\"\x01\"}"})
        EXPECT_FALSE(parse_object(bad)) << bad;
    // A lone surrogate is replaced, not refused.
    EXPECT_EQ(field(*parse_object(R"({"a":"\ud800"})"), "a"), "\xef\xbf\xbd");
    EXPECT_EQ(quote("<a href=\"x\">\n\xe2\x80\xa8"), R"("\u003ca href=\"x\"\u003e\u000a\u2028")");
}

// Every event carries its number; lasting ones are kept up to 64 KiB, and a
// page that asks from further back learns that some are gone.
TEST(WebReplay, NumbersEveryEventAndKeepsTheNewestLastingOnes)
{
    ReplayBuffer replay(64 * 1024);
    EXPECT_EQ(replay.number(R"({"type":"hello"})", false), R"({"seq":1,"type":"hello"})");
    EXPECT_EQ(replay.number(R"({"type":"record","text":"a"})", true), R"({"seq":2,"type":"record","text":"a"})");
    EXPECT_EQ(replay.number("{}", true), R"({"seq":3})");
    auto since = replay.after(1);
    EXPECT_EQ(since.events, (std::vector<std::string> {R"({"seq":2,"type":"record","text":"a"})", R"({"seq":3})"}))
        << "passing events are numbered, never replayed";
    EXPECT_FALSE(since.missed);
    EXPECT_TRUE(replay.after(3).events.empty());
    EXPECT_TRUE(replay.after(99).events.empty()) << "a page that claims more than was sent gets nothing";

    std::string text(1000, 'x');
    for (int i = 0; i < 100; ++i)
        replay.number(R"({"type":"record","text":")" + text + "\"}", true);
    EXPECT_LE(replay.bytes(), 64u * 1024);
    EXPECT_GT(replay.bytes(), 63u * 1024);
    EXPECT_EQ(replay.last(), 103u);
    since = replay.after(0);
    EXPECT_TRUE(since.missed) << "asked from further back than is kept";
    ASSERT_FALSE(since.events.empty());
    auto first_kept = static_cast<uint64_t>(number(*parse_object(since.events.front()), "seq"));
    EXPECT_EQ(first_kept, 104u - since.events.size());
    EXPECT_TRUE(replay.after(first_kept - 2).missed);
    EXPECT_FALSE(replay.after(first_kept - 1).missed) << "nothing after it is gone";
    EXPECT_EQ(replay.after(first_kept - 1).events.size(), since.events.size());
}

// The token: fresh at every login and resumption, honoured only while the
// session has no page, and only from the origin of the page that logged in.
TEST_F(Fixture, TheTokenResumesADetachedSessionFromItsOriginOnce)
{
    std::string token;
    SessionLogic s = logged_in("bob", "http://chat.example:8080", &token);
    ASSERT_EQ(token.size(), 32u);
    EXPECT_EQ(token.find_first_not_of("0123456789abcdef"), std::string::npos);
    EXPECT_NE(random_token(), random_token());
    EXPECT_FALSE(s.may_resume(token, "http://chat.example:8080")) << "not while its page is there";
    EXPECT_TRUE(s.token_matches(token, "http://chat.example:8080"));

    s.server_bytes(from_eve("one"));
    ASSERT_TRUE(s.detach());
    EXPECT_FALSE(s.may_resume(token, "http://evil.example")) << "another origin";
    EXPECT_FALSE(s.may_resume(token, "")) << "no origin";
    std::string wrong = token.substr(0, 31) + (token.back() == '0' ? "1" : "0");
    EXPECT_FALSE(s.may_resume(wrong, "http://chat.example:8080"));
    EXPECT_FALSE(s.may_resume("", "http://chat.example:8080"));
    EXPECT_TRUE(s.may_resume(token, "http://chat.example:8080"));

    Actions a = s.resume(0, now);
    std::string fresh = token_of(a);
    EXPECT_EQ(fresh.size(), 32u);
    EXPECT_NE(fresh, token) << "replaced at each resumption";
    EXPECT_FALSE(s.token_matches(token, "http://chat.example:8080"));
    EXPECT_TRUE(flag(of_type(a, "hello")[0], "resumed"));
    EXPECT_EQ(of_type(a, "state").size(), 1u);
    EXPECT_FALSE(s.may_resume(fresh, "http://chat.example:8080")) << "attached again";
    ASSERT_TRUE(s.detach());
    EXPECT_TRUE(s.may_resume(fresh, "http://chat.example:8080"));

    // What has no token: a session that is not logged in, one that has
    // logged out, and every session when resuming is off.
    SessionLogic out(codec, limits);
    EXPECT_FALSE(out.detach());
    SessionLogic l = logged_in("bob");
    l.page_message(R"({"type":"logout"})", now);
    EXPECT_FALSE(l.detach()) << "logging out";
    limits.resume_seconds = 0;
    std::string none = "x";
    SessionLogic off = logged_in("ann", "http://127.0.0.1:8080", &none);
    EXPECT_EQ(none, "<none>");
    EXPECT_FALSE(off.detach());
    // A resume is the first message of a fresh page, and names its token.
    Actions r = out.page_message(R"({"type":"resume","token":"abc","after":17})", now);
    ASSERT_TRUE(r.resume);
    EXPECT_EQ(r.resume->token, "abc");
    EXPECT_EQ(r.resume->after, 17u);
    EXPECT_TRUE(r.to_page.empty());
    EXPECT_EQ(field(of_type(out.refuse_resume(), "ended")[0], "reason"), "resume");
    EXPECT_FALSE(off.page_message(R"({"type":"resume","token":"abc"})", now).resume) << "not once logged in";
}

// While detached the session keeps reading; the page that comes back gets
// every record it has not seen, with when it arrived, and none twice.
TEST_F(Fixture, AResumedPageGetsWhatItHasNotSeenAndNothingTwice)
{
    SessionLogic s = logged_in("bob");
    auto seq_of = [](const std::string &event) { return static_cast<uint64_t>(number(*parse_object(event), "seq")); };
    s.page_message(R"({"type":"send","id":41,"text":"mine"})", now);
    Actions seen = s.server_bytes(from_eve("seen"), 1000);
    Actions unseen = s.server_bytes(from_eve("in flight"), 2000);  // sent, never read by the page
    uint64_t last_seen = seq_of(seen.to_page.back());
    EXPECT_EQ(seq_of(unseen.to_page.back()), last_seen + 1);
    ASSERT_TRUE(s.detach());
    EXPECT_TRUE(s.server_bytes(from_eve("while away"), 3000).to_page.empty()) << "kept, not sent";
    Actions a = s.resume(last_seen, now);
    auto records = of_type(a, "record");
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(field(records[0], "text"), "in flight");
    EXPECT_EQ(number(records[0], "at"), 2000) << "when it arrived, not when it was replayed";
    EXPECT_EQ(field(records[1], "text"), "while away");
    EXPECT_EQ(number(records[1], "at"), 3000);
    EXPECT_TRUE(of_type(a, "missed").empty());
    EXPECT_EQ(field(only(a.to_page, 0), "type"), "hello") << "the new token first";
    EXPECT_EQ(number(only(a.to_page, 0), "last_id"), 41) << "the page sends its later lines again";
    EXPECT_GT(seq_of(a.to_page.front()), seq_of(a.to_page[1])) << "replayed events keep their numbers";
    Actions next = s.server_bytes(from_eve("live"));
    EXPECT_EQ(seq_of(next.to_page[0]), seq_of(a.to_page.back()) + 1);

    // Asked from further back than the 64 KiB kept: what is kept, after a
    // line that says earlier records were missed. 20 records of 200 bytes
    // are some 6 KiB of events.
    std::string board;
    for (int i = 0; i < 20; ++i)
        board += chat_test::message("001001001", "eve", std::string(200, 'a' + i) + "\r\n");
    for (int i = 0; i < 10; ++i)
        s.server_bytes("OK\r\n" + board + "END\r\n");
    ASSERT_TRUE(s.detach());
    s.server_bytes("OK\r\n" + board + "END\r\n");
    EXPECT_TRUE(s.logged_in()) << "6 KiB without a page is well within the cap";
    a = s.resume(0, now);
    ASSERT_EQ(of_type(a, "missed").size(), 1u);
    EXPECT_EQ(field(only(a.to_page, 1), "type"), "missed") << "right after the hello, before the records";
    EXPECT_LT(of_type(a, "record").size(), 220u);
    EXPECT_GT(of_type(a, "record").size(), 150u);
    EXPECT_EQ(field(of_type(a, "record").back(), "text"), std::string(200, 'a' + 19));

    // Beyond the slow-browser cap without a page, the session ends as a
    // slow browser's would.
    ASSERT_TRUE(s.detach());
    Actions last;
    for (int i = 0; i < 20 && s.logged_in(); ++i)
        last = s.server_bytes("OK\r\n" + board + "END\r\n");
    EXPECT_FALSE(s.logged_in());
    EXPECT_TRUE(last.drop_server);
    EXPECT_TRUE(last.to_page.empty());
}

// The records of our own posts come back marked with the send's id; the
// name alone proves nothing, since names may be shared.
TEST_F(Fixture, OwnPostsAreMatchedByWhatThisSessionPosted)
{
    SessionLogic s = logged_in("bob");
    std::string long_text(300, 'x');  // two pieces for a 3-byte name: 239 + 61
    Actions a = s.page_message(R"({"type":"send","id":7,"text":")" + long_text + "\"}", now);
    ASSERT_EQ(a.to_server, "SEND " + std::string(239, 'x') + "\r\nSEND " + std::string(61, 'x') + "\r\n");
    auto rec = [](const char *colour, const std::string &body) {
        return "OK\r\n" + chat_test::message(colour, "bob", body + "\r\n") + "END\r\n";
    };
    auto other = only(s.server_bytes(rec("001001001", std::string(239, 'x'))).to_page);
    EXPECT_FALSE(flag(other, "own")) << "another bob, another colour";
    auto first = only(s.server_bytes(rec("010020030", std::string(239, 'x'))).to_page);
    EXPECT_TRUE(flag(first, "own"));
    EXPECT_EQ(number(first, "id"), 7);
    EXPECT_FALSE(flag(first, "last"));
    auto again = only(s.server_bytes(rec("010020030", std::string(239, 'x'))).to_page);
    EXPECT_FALSE(flag(again, "own")) << "each post is matched once: this is another bob of the same colour";
    auto second = only(s.server_bytes(rec("010020030", std::string(61, 'x'))).to_page);
    EXPECT_TRUE(flag(second, "own"));
    EXPECT_TRUE(flag(second, "last"));

    // A busy server lost a post: when a later one comes back, the lost one
    // is given up, and its text from anybody else is not ours.
    s.page_message(R"({"type":"send","id":8,"text":"lost"})", now);
    s.page_message(R"({"type":"send","id":9,"text":"kept"})", now);
    auto busy = only(s.server_bytes(chat_test::error_reply(chat_test::busy)).to_page);
    EXPECT_EQ(field(busy, "reason"), "busy");
    auto kept = only(s.server_bytes(rec("010020030", "kept")).to_page);
    EXPECT_EQ(number(kept, "id"), 9);
    EXPECT_FALSE(flag(only(s.server_bytes(rec("010020030", "lost")).to_page), "own"));
    // A send that does not go out says so with its id.
    auto refused = only(s.page_message(R"({"type":"send","id":10,"text":"\u001b[2J"})", now).to_page);
    EXPECT_EQ(field(refused, "reason"), "control");
    EXPECT_EQ(number(refused, "id"), 10);
    SessionLogic leaving = logged_in("ann");
    leaving.page_message(R"({"type":"logout"})", now);
    auto late = only(leaving.page_message(R"({"type":"send","id":11,"text":"too late"})", now).to_page);
    EXPECT_EQ(field(late, "reason"), "not-logged-in");
    EXPECT_EQ(number(late, "id"), 11) << "a send that comes after the logout";
    // Without an id (or with one that is no whole number) a post is still ours.
    s.page_message(R"({"type":"send","id":-1,"text":"plain"})", now);
    auto plain = only(s.server_bytes(rec("010020030", "plain")).to_page);
    EXPECT_TRUE(flag(plain, "own"));
    EXPECT_EQ(plain.count("id"), 0u);
    EXPECT_FALSE(flag(only(s.server_bytes(chat_test::message("010020030", sjis("メッセージ"), sjis("bobがログインしました") + "\r\n")).to_page), "own"));
}

// At most posts_max posts are on their way to the server: beyond that a
// send is refused with its id and the page holds it; a record that comes
// back or an error reply frees a place. A logout goes straight out, and
// nothing is posted once it has.
TEST_F(Fixture, ThePostsOnTheirWayAreCappedAndALogoutOvertakesTheRest)
{
    limits.rate_count = 100;  // the cap, not the rate, is what refuses here
    SessionLogic s = logged_in("bob");
    std::string two_posts(300, 'x');  // 239 + 61 for a 3-byte name
    for (int id = 1; id <= 10; ++id)
        ASSERT_EQ(s.page_message(R"({"type":"send","id":)" + std::to_string(id) + R"(,"text":")" + two_posts + "\"}", now)
                      .to_server.size(),
                  2 * 5 + 300 + 2 * 2);
    Actions a = s.page_message(R"({"type":"send","id":11,"text":"one more"})", now);
    EXPECT_EQ(a.to_server, "") << "a 21st post on its way";
    auto held = only(a.to_page);
    EXPECT_EQ(field(held, "type"), "gateway");
    EXPECT_EQ(field(held, "reason"), "backlog");
    EXPECT_EQ(number(held, "id"), 11) << "the page holds it and sends it again";
    EXPECT_EQ(number(held, "count"), 20);
    EXPECT_EQ(a.close_code, 0);

    auto rec = [](const std::string &body) {
        return "OK\r\n" + chat_test::message("010020030", "bob", body + "\r\n") + "END\r\n";
    };
    EXPECT_TRUE(flag(only(s.server_bytes(rec(std::string(239, 'x'))).to_page), "own"));
    EXPECT_EQ(s.page_message(R"({"type":"send","id":11,"text":"one more"})", now).to_server, "SEND one more\r\n")
        << "a record back frees a place";
    EXPECT_EQ(s.page_message(R"({"type":"send","id":12,"text":"and one"})", now).to_server, "");
    s.server_bytes(chat_test::error_reply(chat_test::busy));
    EXPECT_EQ(s.page_message(R"({"type":"send","id":12,"text":"and one"})", now).to_server, "SEND and one\r\n")
        << "so does an error reply: the server lost a post";

    a = s.page_message(R"({"type":"logout"})", now);
    EXPECT_EQ(a.to_server, "LGOT\r\n") << "at once, with 20 posts on their way";
    EXPECT_EQ(s.page_message(R"({"type":"send","id":13,"text":"late"})", now).to_server, "");
    auto ended = of_type(s.server_bytes("OK\r\n" + chat_test::logout_notice("010020030", "bob") + "END\r\n"), "ended");
    ASSERT_EQ(ended.size(), 1u);
    EXPECT_EQ(field(ended[0], "reason"), "logout");
    EXPECT_EQ(s.page_message(R"({"type":"send","id":14,"text":"later"})", now).to_server, "");
    EXPECT_EQ(s.page_message(R"({"type":"reload"})", now).to_server, "") << "nothing after the end";
}

// The rate counts what reaches the server: a send as its posts.
TEST_F(Fixture, TheRateCountsPostsNotMessages)
{
    SessionLogic s = logged_in("ann");  // the login is the first of 20
    std::string two_posts(300, 'x');
    for (int i = 0; i < 9; ++i)
        ASSERT_EQ(s.page_message(R"({"type":"send","text":")" + two_posts + "\"}", now).close_code, 0);
    Actions a = s.page_message(R"({"type":"send","text":")" + two_posts + "\"}", now);
    EXPECT_EQ(a.close_code, close_policy) << "the 11th message, but the 20th and 21st post";
    EXPECT_EQ(a.to_server, "");
    EXPECT_EQ(field(only(a.to_page), "reason"), "rate");
}

// The warning comes min(30 s, half the time-out) before the server's idle
// time-out, counted from the last line sent to the server, once; a line
// from the user starts the count again, and a resumed page is warned anew.
TEST_F(Fixture, TheIdleWarningComesBeforeTheTimeOutOnce)
{
    using std::chrono::seconds;
    SessionLogic s = logged_in("bob");
    EXPECT_EQ(s.idle_warning_at(), now + seconds(270));
    EXPECT_TRUE(s.idle_check(now + seconds(269)).to_page.empty());
    auto idle = only(s.idle_check(now + seconds(271)).to_page);
    EXPECT_EQ(field(idle, "type"), "idle");
    EXPECT_EQ(field(idle, "reason"), "idle");
    EXPECT_EQ(number(idle, "seconds"), 29);
    EXPECT_TRUE(s.idle_check(now + seconds(280)).to_page.empty()) << "once";
    EXPECT_EQ(s.idle_warning_at(), std::nullopt);
    EXPECT_EQ(s.page_message(R"({"type":"reload"})", now + seconds(285)).to_server, "RELD\r\n");
    EXPECT_EQ(s.idle_warning_at(), now + seconds(285 + 270)) << "the button's RELD starts the count again";
    s.page_message(R"({"type":"send","text":"hi"})", now + seconds(300));
    EXPECT_EQ(s.idle_warning_at(), now + seconds(570));
    s.server_bytes(from_eve("others talking do not count"));
    EXPECT_EQ(s.idle_warning_at(), now + seconds(570));

    ASSERT_TRUE(s.detach());
    EXPECT_TRUE(s.idle_check(now + seconds(580)).to_page.empty()) << "nobody to warn";
    auto warned = of_type(s.resume(0, now + seconds(585)), "idle");
    ASSERT_EQ(warned.size(), 1u) << "a resumed page is warned if it is due";
    EXPECT_EQ(number(warned[0], "seconds"), 15);
    EXPECT_TRUE(of_type(s.resume(0, now + seconds(586)), "idle").size() == 1u) << "and again on the next page";

    limits.idle_seconds = 8;
    SessionLogic fast = logged_in("ann");
    EXPECT_EQ(fast.idle_warning_at(), now + seconds(4)) << "half of a short time-out";
    SessionLogic out(codec, limits);
    EXPECT_EQ(out.idle_warning_at(), std::nullopt);
}

// The page learns every limit from the hello, and a resumed page how much
// of the rate window its session has used; a logout always goes through.
TEST_F(Fixture, HelloCarriesTheLimitsAndWhatIsUsedOfTheRateWindow)
{
    using std::chrono::milliseconds;
    SessionLogic fresh(codec, limits);
    auto hello = only(fresh.opened().to_page);
    EXPECT_EQ(number(hello, "seq"), 1);
    EXPECT_EQ(number(hello, "message_max"), 4096);
    EXPECT_EQ(number(hello, "rate_count"), 20);
    EXPECT_EQ(number(hello, "rate_seconds"), 10);
    EXPECT_EQ(number(hello, "resume_seconds"), 30);
    EXPECT_EQ(number(hello, "idle_seconds"), 300);
    EXPECT_EQ(number(hello, "posts_max"), 20);
    EXPECT_EQ(number(hello, "tick_posts"), 10);
    EXPECT_EQ(number(hello, "tick_seconds"), 5);
    EXPECT_EQ(hello.count("token"), 0u) << "no token before the login";

    SessionLogic s = logged_in("bob");  // the login is the first message
    for (int i = 1; i <= 3; ++i)
        s.page_message(R"({"type":"reload"})", now + milliseconds(1000 * i));
    ASSERT_TRUE(s.detach());
    auto resumed = of_type(s.resume(0, now + milliseconds(2500)), "hello");
    EXPECT_EQ(get_numbers(resumed[0], "rate_used"), (std::vector<double> {7500, 8500, 9500, 10500}));

    for (int i = 4; i < limits.rate_count; ++i)
        ASSERT_EQ(s.page_message(R"({"type":"reload"})", now + milliseconds(3000)).close_code, 0);
    Actions a = s.page_message(R"({"type":"logout"})", now + milliseconds(3000));
    EXPECT_EQ(a.close_code, 0) << "the 21st message, but a logout";
    EXPECT_EQ(a.to_server, "LGOT\r\n");
    EXPECT_EQ(s.page_message(R"({"type":"logout"})", now + milliseconds(3000)).close_code, close_policy)
        << "a second one is no logout any more";
}

namespace {

chat::archive::Row archive_row(int64_t id, const std::string &text)
{
    chat::archive::Row r;
    r.id = id;
    r.raw = "001001001\teve\t" + text + "\r\n";
    return r;
}

chat::archive::Row gap_row(int64_t id)
{
    chat::archive::Row r;
    r.id = id;
    r.gap = true;
    return r;
}

std::string eve(const std::string &text) { return "001001001\teve\t" + text; }

}  // namespace

// A run of live records is found in the archive: after the last row
// placed at the earliest place it fits, the rows before it being what the
// board dropped; for a session's first run at the latest place among the
// newest rows, dropping nothing; gap rows inside the run passed over.
TEST(WebArchive, RunsArePlacedAndWhatTheBoardDroppedIsFound)
{
    std::vector<chat::archive::Row> after {archive_row(11, "d1"), archive_row(12, "d2"), archive_row(13, "r1"),
                                           gap_row(14), archive_row(15, "r2"), archive_row(16, "later")};
    RunPlace p = place_run({eve("r1"), eve("r2")}, 10, after);
    EXPECT_TRUE(p.complete);
    EXPECT_EQ(p.ids, (std::vector<int64_t> {13, 15}));
    ASSERT_EQ(p.dropped.size(), 2u);
    EXPECT_EQ(p.dropped[0].id, 11);
    EXPECT_EQ(p.last, 15);

    // The archive has not caught up: part of the run, not complete.
    p = place_run({eve("r1"), eve("r2")}, 10, {archive_row(11, "d1"), archive_row(13, "r1")});
    EXPECT_FALSE(p.complete);
    EXPECT_EQ(p.ids, (std::vector<int64_t> {13, 0}));
    EXPECT_FALSE(place_run({eve("r9")}, 10, after).complete);

    // The same text twice after the last row: the earlier one is the run.
    p = place_run({eve("a")}, 10, {archive_row(11, "a"), archive_row(12, "b"), archive_row(13, "a")});
    EXPECT_EQ(p.ids, (std::vector<int64_t> {11}));
    EXPECT_TRUE(p.dropped.empty());

    // A first run: the latest place among the newest rows, nothing dropped.
    p = place_run({eve("x"), eve("a")}, 0, {archive_row(1, "x"), archive_row(2, "a"), archive_row(3, "b"),
                                            archive_row(4, "x"), archive_row(5, "a")});
    EXPECT_TRUE(p.complete);
    EXPECT_EQ(p.ids, (std::vector<int64_t> {4, 5}));
    EXPECT_TRUE(p.dropped.empty());

    // More dropped than a page is sent: the newest of them, and a mark.
    std::vector<chat::archive::Row> many;
    for (int64_t i = 1; i <= 150; ++i)
        many.push_back(archive_row(i, "lost " + std::to_string(i)));
    many.push_back(archive_row(151, "r"));
    p = place_run({eve("r")}, 0 + 1, many);
    EXPECT_TRUE(p.complete);
    EXPECT_EQ(p.dropped.size(), dropped_max);
    EXPECT_EQ(p.dropped.front().id, 51);
    EXPECT_TRUE(p.more);
}

// The session hands out one run at a time, split where a batch begins,
// and tells the page where each record stands and what was dropped.
TEST_F(Fixture, LiveRecordsArePlacedOneRunAtATime)
{
    SessionLogic s(codec, limits, false, "http://127.0.0.1:8080");
    s.use_archive();
    EXPECT_TRUE(flag(only(s.opened().to_page), "archive"));
    s.page_message(R"({"type":"login","name":"bob","colour":[10,20,30]})", now);
    s.server_connected(now);
    Actions a = s.server_bytes("OK\r\n" + chat_test::login_notice("010020030", "bob") + "END\r\n");
    ASSERT_TRUE(a.place);
    RunToPlace first = *a.place;
    EXPECT_EQ(first.last, 0) << "the first run of a login is looked for among the newest rows";
    ASSERT_EQ(first.texts.size(), 1u);
    // Two batches while the first run is looked for: they wait, apart.
    EXPECT_FALSE(s.server_bytes(from_eve("one") + from_eve("two")).place);
    a = s.run_placed(first, RunFound {true, {7}, {}, false, 7});
    ASSERT_EQ(a.to_page.size(), 1u);
    EXPECT_NE(a.to_page[0].find(R"("type":"placed")"), std::string::npos);
    EXPECT_NE(a.to_page[0].find(R"("ids":[[)" + std::to_string(first.seqs[0]) + ",7]]"), std::string::npos);
    EXPECT_EQ(a.to_page[0].find("dropped"), std::string::npos) << "none dropped";
    ASSERT_TRUE(a.place);
    EXPECT_EQ(a.place->last, 7);
    EXPECT_EQ(a.place->texts, (std::vector<std::string> {eve("one")}));
    ArchiveRow dropped;
    dropped.id = 8;
    dropped.text = "lost";
    RunToPlace second = *a.place;
    a = s.run_placed(second, RunFound {true, {9}, {dropped}, false, 9});
    ASSERT_EQ(a.to_page.size(), 1u);
    EXPECT_NE(a.to_page[0].find(R"("ids":[[)" + std::to_string(second.seqs[0]) + ",9]]"), std::string::npos) << a.to_page[0];
    EXPECT_NE(a.to_page[0].find(R"("before":)" + std::to_string(second.seqs[0])), std::string::npos);
    EXPECT_NE(a.to_page[0].find(R"("text":"lost")"), std::string::npos);
    ASSERT_TRUE(a.place);
    EXPECT_EQ(a.place->last, 9);
    // Not found whole: the place is forgotten, and nothing is sent twice later.
    a = s.run_placed(*a.place, RunFound {false, {0}, {}, false, 0});
    EXPECT_TRUE(a.to_page.empty());
    a = s.server_bytes(from_eve("three"));
    ASSERT_TRUE(a.place);
    EXPECT_EQ(a.place->last, 0);
}

// Archive questions: read once, with their own rate, refused with their
// id past it or where there is no archive.
TEST_F(Fixture, ArchiveQuestionsHaveTheirOwnRateAndReasons)
{
    auto plain = std::get<ArchiveAsk>(parse_page_message(R"({"type":"search","text":"cat","row":5,"id":3})"));
    EXPECT_EQ(plain.kind, ArchiveAsk::Kind::search);
    EXPECT_EQ(plain.row, 5);
    EXPECT_EQ(plain.text, "cat");
    EXPECT_TRUE(std::holds_alternative<ParseError>(parse_page_message(R"({"type":"later","id":3})")));
    EXPECT_TRUE(std::holds_alternative<ParseError>(parse_page_message(R"({"type":"search"})")));

    SessionLogic none = logged_in("bob");
    Actions a = none.page_message(R"({"type":"earlier","id":4})", now);
    EXPECT_EQ(field(only(a.to_page), "reason"), "no-archive");
    EXPECT_EQ(number(only(a.to_page), "id"), 4);

    SessionLogic s(codec, limits, false, "http://127.0.0.1:8080");
    s.use_archive();
    s.page_message(R"({"type":"login","name":"bob","colour":[10,20,30]})", now);
    s.server_connected(now);
    s.server_bytes("OK\r\n" + chat_test::login_notice("010020030", "bob") + "END\r\n");
    for (int i = 0; i < limits.archive_rate_count; ++i)
        EXPECT_EQ(s.page_message(R"({"type":"earlier","row":100})", now).archive.size(), 1u) << i;
    a = s.page_message(R"({"type":"earlier","row":100,"id":9})", now);
    EXPECT_TRUE(a.archive.empty());
    EXPECT_EQ(field(only(a.to_page), "reason"), "archive-rate");
    EXPECT_EQ(number(only(a.to_page), "id"), 9);
    EXPECT_EQ(s.page_message(R"({"type":"reload"})", now).to_server, "RELD\r\n")
        << "reading back uses up nothing of what the page may send";
    // A flood of refused questions runs into the page's rate after all
    // (the login, the reload and the first refusal took some of it).
    int refused = 0;
    Actions last;
    while (refused <= limits.rate_count && (last = s.page_message(R"({"type":"earlier"})", now)).close_code == 0)
        ++refused;
    EXPECT_EQ(last.close_code, close_policy);
    EXPECT_EQ(refused, limits.rate_count - 3);
}

// Behind a sign-in proxy: the verified name is the session's only one, the
// hello says it, and records of what verified sessions posted are marked
// in every session, each post once, and only live ones.
TEST_F(Fixture, AVerifiedNameLogsInAndMarksItsPostsInEverySession)
{
    VerifiedPosts posts(std::chrono::seconds(60));
    SessionLogic v(codec, limits, false, "http://127.0.0.1:8080");
    v.set_verified_posts(&posts);
    v.set_verified_name(sjis("花子"));
    EXPECT_EQ(field(only(v.opened().to_page), "name"), "花子") << "the page learns the name before the login";
    Actions a = v.page_message(R"({"type":"login","name":"mallory","colour":"auto"})", now);
    EXPECT_TRUE(a.connect) << "the page's name is ignored";
    int colour[3];
    chat::stable_colour(sjis("花子"), colour);
    char field_text[16];
    snprintf(field_text, sizeof field_text, "%03d%03d%03d", colour[0], colour[1], colour[2]);
    EXPECT_EQ(v.server_connected(now).to_server, "LGIN " + std::string(field_text) + " " + sjis("花子") + "\r\n");
    a = v.server_bytes("OK\r\n" + chat_test::login_notice(field_text, sjis("花子")) + "END\r\n");
    EXPECT_EQ(field(of_type(a, "state").at(0), "name"), "花子");

    SessionLogic other = logged_in("bob");
    other.set_verified_posts(&posts);
    EXPECT_EQ(v.page_message(R"({"type":"send","text":"hello"})", now).to_server, "SEND hello\r\n");
    std::string echo = chat_test::message(field_text, sjis("花子"), "hello\r\n");
    std::string impostor = chat_test::message(field_text, sjis("花子"), "not me\r\n");
    for (SessionLogic *s : {&v, &other}) {
        a = s->server_bytes("OK\r\n" + impostor + echo + echo + "END\r\n");
        auto records = of_type(a, "record");
        ASSERT_EQ(records.size(), 3u);
        EXPECT_FALSE(flag(records[0], "verified")) << "a text the verified session did not post";
        EXPECT_TRUE(flag(records[1], "verified"));
        EXPECT_FALSE(flag(records[2], "verified")) << "one post marks one record";
    }
    // A raw client with the same name and colour, posting what bob's page
    // posted: bob is not verified, so nothing is marked.
    other.page_message(R"({"type":"send","text":"mine"})", now);
    a = v.server_bytes("OK\r\n" + chat_test::message("010020030", "bob", "mine\r\n") + "END\r\n");
    EXPECT_FALSE(flag(of_type(a, "record").at(0), "verified"));

    // A post is forgotten after its time.
    VerifiedPosts brief(std::chrono::milliseconds(0));
    std::set<uint64_t> used;
    brief.add("r", now);
    EXPECT_FALSE(brief.mark("r", used, now));
    VerifiedPosts few(std::chrono::seconds(60), 2);
    for (const char *r : {"a", "b", "c"})
        few.add(r, now);
    EXPECT_FALSE(few.mark("a", used, now)) << "beyond the cap the oldest goes";
    EXPECT_TRUE(few.mark("c", used, now));
}
