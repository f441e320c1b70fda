// chat_history: a hand-made history printed and as JSON, files it refuses
// and leaves alone, and --follow against a running server.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "child_process.hpp"
#include "harness.hpp"

using namespace chat_test;

namespace {

std::string history_binary() { return CHAT_HISTORY_BINARY; }

class HistoryTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/chat_history_test.XXXXXX";
        dir_ = mkdtemp(pattern);
        path_ = dir_ + "/chat.dat";
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    std::string dir_, path_;
};

// Three records, newest first as stored: a notice, a message with a
// control character and a byte that is no Shift_JIS, and a message.
const std::vector<Slot> hand_made = {
    {1796738600, "000000000\t" + sjis("メッセージ") + "\t" + sjis("ボブがログアウトしました") + "\r\n"},
    {1796738545, "001002003\t" + sjis("ボブ") + "\t" + sjis("こんにちは") + "\x01\xff \"q\\\"\r\n"},
    {1796738531, "255000000\talice\thello\r\n"},
};

}  // namespace

TEST_F(HistoryTest, PrintsAHandMadeHistoryDecodedInOrderAndAsJson)
{
    write_file(path_, history_bytes(hand_made));
    ChildProcess plain(history_binary(), {path_}, false, "", {"TZ=UTC"});
    EXPECT_EQ(plain.wait(), 0) << plain.errors();
    EXPECT_EQ(plain.output(), "2026-12-08 14:02:11 alice: hello\n"
                              "2026-12-08 14:02:25 ボブ: こんにちは?\ufffd \"q\\\"\n"
                              "2026-12-08 14:03:20 * ボブがログアウトしました\n");

    ChildProcess json(history_binary(), {"--json", path_}, false, "", {"TZ=JST-9"});
    ASSERT_EQ(json.wait(), 0) << json.errors();
    write_file(dir_ + "/out.json", json.output());
    // Each line must parse on its own; print back the fields it holds.
    std::string command = "python3 -c 'import json,sys\n"
                          "for l in sys.stdin: o = json.loads(l); print(o[\"stamp\"], o[\"time\"], "
                          "o[\"colour\"], o[\"sender\"], repr(o[\"text\"]), o[\"notice\"])' < " +
                          dir_ + "/out.json";
    FILE *parser = popen(command.c_str(), "r");
    ASSERT_NE(parser, nullptr);
    std::string parsed;
    char buf[512];
    while (fgets(buf, sizeof buf, parser))
        parsed += buf;
    ASSERT_EQ(pclose(parser), 0) << json.output();
    EXPECT_EQ(parsed, "1796738531 2026-12-08T23:02:11+09:00 255000000 alice 'hello' False\n"
                      "1796738545 2026-12-08T23:02:25+09:00 001002003 ボブ "
                      "'こんにちは\\x01\ufffd \"q\\\\\"' False\n"
                      "1796738600 2026-12-08T23:03:20+09:00 000000000 メッセージ "
                      "'ボブがログアウトしました' True\n");
}

// Too short, a directory, missing, a FIFO that nobody writes to (which
// must not block the reader) and a text file with no record in it; the
// refusal in English and, under LANGUAGE=ja, in Japanese.
TEST_F(HistoryTest, RefusesWhatIsNoHistoryAtOnceAndLeavesItUnchanged)
{
    std::string short_file = history_bytes(hand_made).substr(0, 5199);
    write_file(path_, short_file);
    ASSERT_EQ(mkfifo((dir_ + "/fifo").c_str(), 0600), 0);
    std::string readme = std::filesystem::path(__FILE__).parent_path().parent_path() / "README.md";
    ASSERT_GT(read_file(readme).size(), 5200u);
    struct stat before;
    ASSERT_EQ(stat(path_.c_str(), &before), 0);
    for (const std::string &target : {path_, dir_, dir_ + "/missing.dat", dir_ + "/fifo", readme}) {
        ChildProcess refused(history_binary(), {target}, false);
        EXPECT_EQ(refused.wait(2s), 1) << target;
        EXPECT_EQ(refused.output(), "");
        EXPECT_NE(refused.errors().find("chat_history: "), std::string::npos) << target;
    }
    ChildProcess english(history_binary(), {path_}, false);
    EXPECT_EQ(english.wait(2s), 1);
    EXPECT_EQ(english.errors(), "chat_history: " + path_ + " is no chat history: it is shorter than 5200 bytes\n");
    ChildProcess japanese(history_binary(), {path_}, false, "", {"LANGUAGE=ja"});
    EXPECT_EQ(japanese.wait(2s), 1);
    EXPECT_EQ(japanese.errors(),
              "chat_history: " + path_ + " はチャットの履歴ではありません: 長さが 5200 バイトに足りません\n");
    struct stat after;
    ASSERT_EQ(stat(path_.c_str(), &after), 0);
    EXPECT_EQ(read_file(path_), short_file);
    EXPECT_EQ(after.st_mtim.tv_sec, before.st_mtim.tv_sec);
    EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
    EXPECT_FALSE(std::filesystem::exists(dir_ + "/missing.dat"));
}

TEST_F(HistoryTest, AllZeroIsAnEmptyHistoryAndADamagedRecordIsShownAsSuch)
{
    write_file(path_, std::string(5200, '\0'));
    ChildProcess empty(history_binary(), {path_}, false);
    EXPECT_EQ(empty.wait(), 0) << empty.errors();
    EXPECT_EQ(empty.output(), "");

    write_file(path_, history_bytes({hand_made[0], {1796738560, "damaged\x01\r\n"}, hand_made[2]}));
    ChildProcess plain(history_binary(), {path_}, false, "", {"TZ=UTC"});
    EXPECT_EQ(plain.wait(), 0) << plain.errors();
    EXPECT_EQ(plain.output(), "2026-12-08 14:02:11 alice: hello\n"
                              "2026-12-08 14:02:40 ! damaged record: damaged?\n"
                              "2026-12-08 14:03:20 * ボブがログアウトしました\n");
    ChildProcess json(history_binary(), {"--json", path_}, false, "", {"TZ=UTC"});
    EXPECT_EQ(json.wait(), 0) << json.errors();
    EXPECT_NE(json.output().find("\"text\":\"damaged\\u0001\",\"notice\":false,\"damaged\":true}"),
              std::string::npos) << json.output();
}

TEST_F(HistoryTest, FollowingSurvivesAFileCutShort)
{
    write_file(path_, history_bytes({hand_made[2]}));
    ChildProcess follower(history_binary(), {"--follow", path_}, false, "", {"TZ=UTC"});
    ASSERT_TRUE(follower.expect("alice: hello\n")) << follower.errors();
    write_file(path_, "");  // cleared; the server grows it back
    EXPECT_FALSE(follower.expect("\n", 2500ms)) << "an empty file prints nothing and is no error";
    write_file(path_, history_bytes({hand_made[1], hand_made[2]}));
    EXPECT_TRUE(follower.expect("ボブ: こんにちは")) << follower.errors();
    follower.signal(SIGTERM);
    EXPECT_EQ(follower.wait(), 0);
    EXPECT_EQ(follower.output().find("hello", follower.output().find("hello") + 1), std::string::npos)
        << "nothing printed twice: " << follower.output();
}

TEST(HistoryFollow, PrintsNewPostsAndSaysWhenSomeWereSkipped)
{
    Server server(fast_server_binary());
    server.start();
    ChildProcess follower(history_binary(), {"--follow", server.dat_path()}, false);
    Client poster(server.port());
    login(poster, "255000000", "poster");
    ASSERT_TRUE(follower.expect("* posterがログインしました\n")) << follower.errors();
    poster.send("SEND " + sjis("見えますか") + "\r\n");
    EXPECT_TRUE(follower.expect(" poster: 見えますか\n")) << follower.output();

    // Stopped, the follower cannot poll while 25 records are posted.
    follower.signal(SIGSTOP);
    std::string flood;
    for (int i = 1; i <= 25; ++i)
        flood += "SEND m" + std::to_string(i) + "\r\n";
    poster.send(flood);
    EXPECT_NE(poster.read_until(message("255000000", "poster", "m25\r\n")), "");
    follower.signal(SIGCONT);
    EXPECT_TRUE(follower.expect("! some records were skipped\n")) << follower.output();
    EXPECT_TRUE(follower.expect(" poster: m6\n"));
    EXPECT_TRUE(follower.expect(" poster: m25\n"));
    EXPECT_EQ(follower.output().find(" poster: m5\n"), std::string::npos);
    follower.signal(SIGINT);
    EXPECT_EQ(follower.wait(), 0);
}
