// The chat protocol end to end: logins, commands, error replies, relaying,
// line input limits and the end of a connection.
#include <gtest/gtest.h>
#include <memory>

#include "wire/reader.hpp"
#include "harness.hpp"

using namespace chat_test;

namespace {

constexpr const char *red = "255000000";
constexpr const char *blue = "000000255";

// A server with a 1-second tick, so that relays arrive quickly.
class Protocol : public ::testing::Test {
protected:
    virtual std::string binary() { return fast_server_binary(); }
    void SetUp() override
    {
        server_ = std::make_unique<Server>(binary());
        server_->start();
    }
    std::unique_ptr<Server> server_;
};

// The shipped server: a 5-second tick, so that anything arriving within a
// second or two came from a command, not from a tick.
class ShippedProtocol : public Protocol {
protected:
    std::string binary() override { return server_binary(); }
};

}  // namespace

TEST_F(Protocol, LoginFormsAndTheirNotices)
{
    struct Case {
        const char *line, *colour, *name;
    } cases[] = {
        {"LGIN 001002003alice\r\n", "001002003", "alice"},    // nine digits run together
        {"LGIN 1 2 3 bob\r\n", "001002003", "bob"},           // three numbers with spaces
        {"LGIN -5-10 7   carol\r\n", "-05-10007", "carol"},   // negative components
        {"LGIN 999999999\tdave extra words\r\n", "999999999", "dave"},
    };
    std::vector<Client> clients;  // kept connected: a hang-up would post a notice
    for (const auto &c : cases) {
        Client &client = clients.emplace_back(server_->port());
        client.send(c.line);
        EXPECT_EQ(client.read_batch(), batch({login_notice(c.colour, c.name)})) << c.line;
    }
    Client nameless(server_->port());
    nameless.send("LGIN alice\r\n");
    EXPECT_EQ(nameless.read_exact(error_reply(bad_command).size()), error_reply(bad_command))
        << "a name with no colour on a fresh connection";
}

TEST_F(Protocol, ErrorRepliesLeaveTheConnectionUsable)
{
    Client client(server_->port());
    for (const char *line : {"LGOT\r\n", "RELD\r\n", "SEND hello\r\n"}) {
        client.send(line);
        EXPECT_EQ(client.read_exact(error_reply(not_logged_in).size()), error_reply(not_logged_in)) << line;
    }
    for (const char *line : {"HELLO\r\n", "LGIN\r\n", "SEND\r\n", "lgin 1 2 3 x\r\n", "\r\n"}) {
        client.send(line);
        EXPECT_EQ(client.read_exact(error_reply(bad_command).size()), error_reply(bad_command)) << line;
    }
    login(client, red, "eve");
    client.send("LGIN 1 2 3 eve\r\n");
    EXPECT_EQ(client.read_until(error_reply(already_logged_in)), error_reply(already_logged_in));
    client.send("WHAT\r\n");
    EXPECT_NE(client.read_until(error_reply(bad_command)), "");
    client.send("LGOTanything\r\n");
    EXPECT_NE(client.read_batch_with(logout_notice(red, "eve")), "")
        << "LGOT followed by any text is a logout";
}

TEST_F(ShippedProtocol, PostReachesItsPosterAtOnceAndOthersWithinATick)
{
    Client alice(server_->port()), bob(server_->port());
    login(alice, red, "alice");
    login(bob, blue, "bob");
    EXPECT_NE(alice.read_batch_with(login_notice(blue, "bob"), 7s), "");

    alice.send("SEND hello bob\r\n");
    std::string mine = message(red, "alice", "hello bob\r\n");
    EXPECT_EQ(alice.read_batch(2s), batch({mine})) << "the poster's own record comes at once";
    EXPECT_EQ(bob.read_batch(7s), batch({mine})) << "others get it within one tick";

    bob.send("SEND \r\n");
    EXPECT_EQ(bob.read_batch(2s), batch({message(blue, "bob", "\r\n")}));

    bob.send("RELD\r\n");
    EXPECT_EQ(bob.read_for(500ms), "") << "RELD with nothing new writes nothing";
}

TEST_F(Protocol, TwoCommandsInOnePacket)
{
    Client client(server_->port());
    login(client, red, "ann");
    client.send("SEND one\r\nSEND two\n");
    std::string got = client.read_batch_with(message(red, "ann", "two\n"));
    EXPECT_NE(got.find(message(red, "ann", "one\r\n")), std::string::npos) << got;
}

TEST_F(Protocol, LongTextsAreCut)
{
    Client client(server_->port());
    std::string name(40, 'n');
    client.send("LGIN 001001001 " + name + "\r\n");
    std::string cut_name(30, 'n');
    EXPECT_EQ(client.read_batch(), batch({login_notice("001001001", cut_name)}))
        << "a name is cut to 30 bytes";

    // A record text is cut at 255 bytes, with no line end left.
    std::string head = message("001001001", cut_name, "");
    std::string body(300, 'b');
    client.send("SEND " + body + "\r\n");
    EXPECT_EQ(client.read_batch(), batch({head + body.substr(0, 255 - head.size())}));

    // A line longer than 1022 bytes arrives as a first piece of 1022 bytes
    // and the rest as the next line.
    std::string long_line = "SEND " + std::string(1017, 'x') + "tail\r\n";
    client.send(long_line);
    EXPECT_EQ(client.read_batch(), batch({head + std::string(255 - head.size(), 'x')}));
    EXPECT_EQ(client.read_until(error_reply(bad_command)), error_reply(bad_command))
        << "\"tail\" on its own is no command";
}

TEST_F(Protocol, LoginAfterLogoutReusesWhatIsNotGiven)
{
    Client client(server_->port());
    login(client, red, "zoe");
    client.send("LGOT\r\n");
    EXPECT_EQ(client.read_batch(), batch({logout_notice(red, "zoe")}));
    client.send("LGIN 004005006\r\n");
    EXPECT_EQ(client.read_batch(), batch({login_notice("004005006", "zoe")}))
        << "no name: the earlier one";
    client.send("LGOT\r\n");
    EXPECT_EQ(client.read_batch(), batch({logout_notice("004005006", "zoe")}));
    client.send("LGIN x\r\n");
    EXPECT_EQ(client.read_batch(), batch({login_notice("004005006", "zoe")}))
        << "no valid colour: the earlier name and colour";
}

TEST_F(Protocol, SystemSenderNameIsRefusedTypedOrReused)
{
    std::string sender = sjis("メッセージ");
    std::string refused = error_reply(bad_command);
    Client fresh(server_->port());
    fresh.send("LGIN 1 2 3 " + sender + "\r\n");
    EXPECT_EQ(fresh.read_exact(refused.size()), refused) << "typed";
    fresh.send("LGIN 4 5 6\r\n");
    EXPECT_EQ(fresh.read_exact(refused.size()), refused) << "the refused name was not kept";

    Client client(server_->port());
    login(client, red, "ivy");
    client.send("LGOT\r\n");
    EXPECT_EQ(client.read_batch(), batch({logout_notice(red, "ivy")}));
    client.send("LGIN 7 8 9 " + sender + "\r\n");
    EXPECT_EQ(client.read_exact(refused.size()), refused);
    client.send("LGIN 1 1 1\r\n");
    EXPECT_EQ(client.read_batch(), batch({login_notice("001001001", "ivy")}))
        << "reused: the name from before the refused line";
}

TEST_F(Protocol, RecordsShorterThanTheLimitAlwaysEndWithTheirLineEnd)
{
    Client watcher(server_->port()), mallory(server_->port());
    login(watcher, blue, "watcher");
    login(mallory, red, "mallory");
    mallory.send(std::string("SEND first\0\r\n", 13));
    EXPECT_EQ(mallory.read_batch(), batch({message(red, "mallory", "first\r\n")}));
    mallory.send(std::string("SEND a\0b\0\r\n", 11));
    EXPECT_EQ(mallory.read_batch(), batch({message(red, "mallory", "ab\r\n")}));
    // An over-long line whose first piece holds little but NUL bytes.
    mallory.send("SEND x" + std::string(1016, '\0') + "tail\r\n");
    EXPECT_EQ(mallory.read_batch(), batch({message(red, "mallory", "x\r\n")}));
    {
        Client quitter(server_->port());
        login(quitter, "001002003", "quitter");
        quitter.send("SEND half");  // and hangs up in the middle of the line
    }
    std::string last = logout_notice("001002003", "quitter");
    std::string seen = watcher.read_until(last, 10s);
    ASSERT_NE(seen, "");
    seen += watcher.read_until("END\r\n");
    chat::Reader reader;
    reader.feed(seen);
    std::vector<std::string> records;
    while (auto e = reader.next()) {
        EXPECT_EQ(e->kind, chat::Event::record) << e->body;
        records.push_back(e->text + "\r\n");
    }
    std::vector<std::string> expected = {
        login_notice(red, "mallory"), message(red, "mallory", "first\r\n"), message(red, "mallory", "ab\r\n"),
        message(red, "mallory", "x\r\n"), login_notice("001002003", "quitter"),
        message("001002003", "quitter", "half\r\n"), last};
    EXPECT_EQ(records, expected);
    EXPECT_EQ(reader.pending(), 0u);
}

TEST_F(Protocol, HangUpWhileLoggedInTellsTheOthers)
{
    Client stays(server_->port());
    login(stays, blue, "stays");
    {
        Client leaves(server_->port());
        login(leaves, red, "leaves");
    }
    EXPECT_NE(stays.read_until(logout_notice(red, "leaves")), "");
    EXPECT_TRUE(server_->wait_children(1));

    // A script that sends its lines and hangs up at once, reading nothing,
    // has every one of them posted before its logout.
    {
        Client script(server_->port());
        script.send("LGIN 001002003 script\r\nSEND one\r\nSEND two\r\nSEND three\r\n");
    }
    std::string seen = stays.read_until(logout_notice("001002003", "script"));
    size_t at = 0;
    for (const char *body : {"one\r\n", "two\r\n", "three\r\n"}) {
        at = seen.find(message("001002003", "script", body), at);
        EXPECT_NE(at, std::string::npos) << body << " in " << seen;
    }
}

TEST_F(Protocol, ClientThatVanishesMidRepliesIsStillNoticed)
{
    Client stays(server_->port());
    login(stays, blue, "stays");
    {
        Client vanishes(server_->port());
        login(vanishes, red, "gone");
        std::string flood;
        for (int i = 0; i < 200; ++i)
            flood += "LGIN 1 2 3 again\r\n";  // 200 error replies to write
        vanishes.send(flood);
    }  // closed before reading them: the later writes fail with EPIPE
    // A hang-up gives the logout notice; a reset seen as a read error gives
    // the time-out notice. Either way the process lived to post it.
    std::string seen;
    EXPECT_TRUE(eventually([&] {
        seen += stays.read_for(100ms);
        return seen.find(logout_notice(red, "gone")) != std::string::npos ||
               seen.find(timeout_notice(red, "gone")) != std::string::npos;
    })) << seen;
    EXPECT_TRUE(server_->wait_children(1));
}

TEST_F(Protocol, HistoryReachesOnlyWhatIsPostedAfterConnecting)
{
    Client early(server_->port());
    login(early, red, "early");
    early.send("SEND before\r\n");
    EXPECT_NE(early.read_until("before\r\nEND\r\n"), "");
    Client late(server_->port());
    login(late, blue, "late");  // its first batch holds its own notice only
    early.send("SEND after\r\n");
    EXPECT_EQ(late.read_batch(), batch({message(red, "early", "after\r\n")}));
}

TEST_F(Protocol, StoppedServerIsReportedToLoggedInClients)
{
    Client alice(server_->port()), bystander(server_->port());
    login(alice, red, "alice");
    std::string newest = read_file(server_->dat_path()).substr(4, 200);
    EXPECT_EQ(server_->stop(), 0);
    EXPECT_NE(alice.read_until(error_reply(server_stopped)), "");
    EXPECT_TRUE(alice.closed_within());
    EXPECT_EQ(read_file(server_->dat_path()).substr(4, 200), newest) << "no notice is posted";
    bystander.send("RELD\r\n");
    EXPECT_EQ(bystander.read_exact(error_reply(not_logged_in).size()), error_reply(not_logged_in))
        << "a client that is not logged in is still served";
}

TEST_F(Protocol, SilentClientsAreDroppedAfterTheIdleBudget)
{
    Client silent(server_->port()), watcher(server_->port()), quiet(server_->port());
    login(silent, red, "silent");
    login(watcher, blue, "watcher");
    for (int i = 0; i < 6; ++i) {  // the watcher stays active
        watcher.send("RELD\r\n");
        watcher.read_for(1s);
    }
    EXPECT_TRUE(quiet.closed_within(20s)) << "not logged in: dropped without a word";
    EXPECT_EQ(quiet.buffered(), "");
    EXPECT_NE(silent.read_until(timeout_notice(red, "silent"), 20s), "");
    EXPECT_TRUE(silent.closed_within());
    EXPECT_NE(watcher.read_until(timeout_notice(red, "silent"), 20s), "");
}

TEST_F(Protocol, TricklingBytesKeepAConnectionOpen)
{
    Client trickle(server_->port());
    login(trickle, red, "slow");
    std::string line = "SEND trickled\r";
    for (char c : line) {  // 15 bytes, 1 s apart: twice the idle budget
        trickle.send(std::string(1, c));
        EXPECT_EQ(trickle.read_for(1s), "");
    }
    trickle.send("\n");
    EXPECT_NE(trickle.read_until(message(red, "slow", "trickled\r\n")), "");
}
