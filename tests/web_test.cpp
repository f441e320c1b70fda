// The gateway's session logic without a network: conversion and
// splitting, the caps, the end of a session, the Host and Origin rules, the
// counts of connections, the page's headers and the seam between the
// history file and the live stream; and chat_web's command line.
#include <gtest/gtest.h>

#include "json/json.hpp"
#include "web/admission.hpp"
#include "web/session.hpp"
#include "child_process.hpp"
#include "harness.hpp"

using namespace chat_web;
using chat_test::sjis;

namespace {

struct Fixture : ::testing::Test {
    void SetUp() override { ASSERT_TRUE(codec.open("UTF-8")); }

    // A session logged in as `name` with colour 10,20,30.
    Session logged_in(const std::string &name)
    {
        Session s(codec, limits);
        Actions a = s.page_message(R"({"type":"login","name":")" + name + R"(","colour":[10,20,30]})", now);
        EXPECT_TRUE(a.connect);
        EXPECT_EQ(s.server_connected().to_server, "LGIN 010020030 " + sjis(name) + "\r\n");
        s.server_bytes("OK\r\n" + chat_test::login_notice("010020030", sjis(name)) + "END\r\n");
        return s;
    }

    chat::Codec codec;
    Limits limits;
    steady::time_point now = steady::now();
};

JsonObject only(const std::vector<std::string> &messages, size_t i = 0)
{
    EXPECT_GT(messages.size(), i);
    auto o = parse_object(messages.at(i));
    EXPECT_TRUE(o);
    return *o;
}

std::string field(const JsonObject &o, const char *key) { return get_string(o, key).value_or("<none>"); }

}  // namespace

TEST_F(Fixture, JapaneseGoesOutAsShiftJisSplitAtCharactersAndComesBackAsUtf8)
{
    Session s = logged_in("花子");
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
    Session s(codec, limits);
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
    // Fifteen kana are 30 bytes: just allowed.
    EXPECT_TRUE(s.page_message(R"({"type":"login","name":"あいうえおかきくけこさしすせそ","colour":[-99,0,999]})", now).connect);
    EXPECT_EQ(s.server_connected().to_server, "LGIN -99000999 " + sjis("あいうえおかきくけこさしすせそ") + "\r\n");
}

TEST_F(Fixture, SizeRateAndBinaryCloseTheSessionWithTheirReasonOnly)
{
    Session s = logged_in("bob");
    Actions a = s.page_message(std::string(limits.message_max + 1, ' '), now);
    EXPECT_EQ(a.close_code, close_too_big);
    EXPECT_TRUE(a.drop_server);
    EXPECT_TRUE(s.server_closed().to_page.empty()) << "the dropped server connection is no second reason";

    Session b = logged_in("bin");
    a = b.page_binary();
    EXPECT_EQ(a.close_code, close_unsupported);
    EXPECT_TRUE(a.drop_server);

    Session r = logged_in("ann");
    for (int i = 1; i < limits.rate_count; ++i)  // the login was the first
        ASSERT_EQ(r.page_message(R"({"type":"reload"})", now + std::chrono::milliseconds(i)).close_code, 0);
    a = r.page_message(R"({"type":"reload"})", now + std::chrono::seconds(1));
    EXPECT_EQ(a.close_code, close_policy);
    EXPECT_TRUE(a.drop_server);
    EXPECT_EQ(a.to_server, "");
    EXPECT_NE(field(only(a.to_page), "text").find("at most 20 every 10 seconds"), std::string::npos);
    EXPECT_TRUE(r.server_closed().to_page.empty()) << "no 'lost' after the true reason";
    EXPECT_TRUE(r.server_bytes("OK\r\n" + chat_test::message("001001001", "x", "late\r\n") + "END\r\n").to_page.empty());

    RateLimit limit(2, std::chrono::seconds(10));
    EXPECT_TRUE(limit.allow(now));
    EXPECT_TRUE(limit.allow(now + std::chrono::seconds(1)));
    EXPECT_FALSE(limit.allow(now + std::chrono::seconds(9)));
    EXPECT_TRUE(limit.allow(now + std::chrono::seconds(10)));  // the first has left the window
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
    Session s = logged_in("bob");
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
    Session t = logged_in("bob");
    Actions a = t.server_bytes("OK\r\n" + chat_test::timeout_notice("010020030", "bob") + "END\r\n");
    EXPECT_EQ(field(only(a.to_page), "type"), "record");
    auto ended = only(t.server_closed().to_page);
    EXPECT_EQ(field(ended, "type"), "ended");
    EXPECT_EQ(field(ended, "reason"), "timeout");

    Session f(codec, limits);
    f.page_message(R"({"type":"login","name":"bob","colour":[1,2,3]})", now);
    f.server_connected();
    a = f.server_bytes(chat_test::error_reply(chat_test::server_full));
    EXPECT_EQ(field(only(a.to_page), "text"), chat_test::server_full);
    EXPECT_EQ(field(only(f.server_closed().to_page), "reason"), "full");

    Session l = logged_in("bob");
    EXPECT_EQ(l.page_message(R"({"type":"logout"})", now).to_server, "LGOT\r\n");
    a = l.server_bytes("OK\r\n" + chat_test::logout_notice("010020030", "bob") + "END\r\n");
    EXPECT_TRUE(a.drop_server);
    EXPECT_EQ(field(only(a.to_page, 1), "reason"), "logout");
    EXPECT_TRUE(l.server_closed().to_page.empty()) << "a closed connection after a logout says nothing more";

    Session lost = logged_in("bob");
    EXPECT_EQ(field(only(lost.server_closed().to_page), "reason"), "lost");
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
    ChildProcess help(CHAT_WEB_BINARY, {"--help"}, false, "", {"LANGUAGE=ja"});
    EXPECT_EQ(help.wait(), 0);
    EXPECT_EQ(help.output().rfind("使い方: chat_web [--listen [ADDR:]PORT]", 0), 0u) << help.output();
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
    EXPECT_EQ(forwarded_client("203.0.113.9"), "203.0.113.9");
    EXPECT_EQ(forwarded_client("1.1.1.1, 203.0.113.9"), "203.0.113.9");
    EXPECT_EQ(forwarded_client("1.1.1.1,203.0.113.9 , ::ffff:198.51.100.7"), "198.51.100.7");
    EXPECT_EQ(forwarded_client("1.1.1.1, 2001:DB8::1"), "2001:db8::1");
    EXPECT_EQ(forwarded_client("203.0.113.9, unknown"), std::nullopt);
    EXPECT_EQ(forwarded_client(""), std::nullopt);
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

    EXPECT_EQ(connections_for_descriptors(256), 74u) << "room for each connection's server socket and history read";
    EXPECT_GE(connections_for_descriptors(10), 1u);
}

TEST(WebHeaders, StrictPolicyForThePage)
{
    auto headers = page_headers("chat.example.org");
    auto value = [&](const char *name) {
        for (const auto &[n, v] : headers)
            if (n == name)
                return v;
        return std::string("<none>");
    };
    std::string csp = value("Content-Security-Policy");
    EXPECT_NE(csp.find("default-src 'none'"), std::string::npos);
    EXPECT_NE(csp.find("script-src 'self';"), std::string::npos);
    EXPECT_NE(csp.find("connect-src 'self' ws://chat.example.org wss://chat.example.org;"), std::string::npos);
    EXPECT_EQ(csp.find("unsafe"), std::string::npos);
    EXPECT_EQ(value("X-Content-Type-Options"), "nosniff");
    EXPECT_EQ(value("Cache-Control"), "no-cache");
    EXPECT_EQ(value("Referrer-Policy"), "no-referrer");
    // A Host that could break the header is left out of the policy.
    csp = page_headers("a;script-src *")[0].second;
    EXPECT_EQ(csp.find("script-src *"), std::string::npos);
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
    Session s(codec, limits, true);
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
    a = s.server_bytes("OK\r\n" + racer);
    EXPECT_TRUE(a.to_page.empty()) << "held back until our own notice";
    a = s.server_bytes(mine + "END\r\n");
    EXPECT_TRUE(a.to_page.empty()) << "held back until the second read";
    EXPECT_TRUE(a.read_history);
    a = s.server_bytes("OK\r\n" + after + "END\r\n");
    EXPECT_TRUE(a.to_page.empty()) << "what comes during the second read waits too";
    EXPECT_EQ(s.page_message(R"({"type":"reload"})", now).to_server, "") << "not logged in until the page is told";
    a = s.history_read(file);
    ASSERT_EQ(a.to_page.size(), 5u);
    EXPECT_EQ(field(only(a.to_page, 0), "text"), "old");
    EXPECT_EQ(std::get<bool>(only(a.to_page, 0).at("earlier")), true);
    EXPECT_EQ(field(only(a.to_page, 1), "text"), "racing");
    EXPECT_EQ(std::get<bool>(only(a.to_page, 1).at("earlier")), false);
    EXPECT_EQ(field(only(a.to_page, 3), "type"), "state");
    EXPECT_EQ(field(only(a.to_page, 4), "text"), "after");
    EXPECT_TRUE(s.history_read(file).to_page.empty()) << "a late result changes nothing";

    // A file that cannot be read: no earlier records and no second read.
    Session u(codec, limits, true);
    u.page_message(R"({"type":"login","name":"bob","colour":[10,20,30]})", now);
    EXPECT_TRUE(u.history_read(std::nullopt).connect);
    u.server_connected();
    a = u.server_bytes("OK\r\n" + mine + "END\r\n");
    EXPECT_FALSE(a.read_history);
    ASSERT_EQ(a.to_page.size(), 2u);
    EXPECT_EQ(field(only(a.to_page, 1), "type"), "state");

    // The server goes while the second read waits: what it sent is shown,
    // then why it ended.
    Session g(codec, limits, true);
    g.page_message(R"({"type":"login","name":"bob","colour":[10,20,30]})", now);
    g.history_read(file);
    g.server_connected();
    EXPECT_TRUE(g.server_bytes("OK\r\n" + mine + "END\r\n").read_history);
    a = g.server_closed();
    ASSERT_EQ(a.to_page.size(), 3u);
    EXPECT_EQ(field(only(a.to_page, 2), "reason"), "lost");
    EXPECT_TRUE(g.history_read(file).to_page.empty());
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
