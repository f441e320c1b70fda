// chat_archive and chat_history --archive: posts through the real server
// kept once each and in order across kill -9, bursts, cut and restored
// histories; files that are no archive refused untouched; search, ranges
// and retention on a hand-made history; faults and other users' readers.
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <sched.h>
#include <sqlite3.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <thread>

#include "child_process.hpp"
#include "harness.hpp"

using namespace chat_test;
namespace fs = std::filesystem;

namespace {

// One value from a query on `db`, read-only unless `write`; "" on failure.
std::string sql(const std::string &db, const std::string &query, bool write = false)
{
    sqlite3 *handle = nullptr;
    std::string value;
    int flags = write ? SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE : SQLITE_OPEN_READONLY;
    if (sqlite3_open_v2(db.c_str(), &handle, flags, nullptr) == SQLITE_OK) {
        sqlite3_stmt *st = nullptr;
        if (sqlite3_prepare_v2(handle, query.c_str(), -1, &st, nullptr) == SQLITE_OK) {
            int rc = sqlite3_step(st);
            value = rc == SQLITE_ROW ? reinterpret_cast<const char *>(sqlite3_column_text(st, 0) ?: (const unsigned char *)"")
                    : rc == SQLITE_DONE ? "done" : "";
        }
        sqlite3_finalize(st);
    }
    sqlite3_close(handle);
    return value;
}

class ArchiveTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/chat_archive_test.XXXXXX";
        dir_ = mkdtemp(pattern);
        db_ = dir_ + "/archive.db";
    }
    void TearDown() override { fs::remove_all(dir_); }

    std::unique_ptr<ChildProcess> archiver(const std::string &history, std::vector<std::string> more = {},
                                           std::vector<std::string> environment = {})
    {
        std::vector<std::string> args = {"--history", history, "--archive", db_};
        args.insert(args.end(), more.begin(), more.end());
        return std::make_unique<ChildProcess>(CHAT_ARCHIVE_BINARY, args, false, "", environment);
    }

    // chat_history on the archive; its lines without their dates (TZ=UTC
    // keeps them), a possible gap as "(gap)".
    std::vector<std::string> kept(std::vector<std::string> args = {}, bool dated = false)
    {
        args.insert(args.begin(), {"--archive", db_});
        ChildProcess reader(CHAT_HISTORY_BINARY, args, false, "", {"TZ=UTC"});
        EXPECT_EQ(reader.wait(), 0) << reader.errors();
        std::vector<std::string> lines;
        std::istringstream in(reader.output());
        for (std::string line; std::getline(in, line);)
            lines.push_back(dated ? line : line.find("! records posted after") != std::string::npos ? "(gap)"
                                                                                                 : line.substr(20));
        return lines;
    }

    bool rows_reach(int count, millis deadline = 10s)
    {
        return eventually([&] { return atoi(sql(db_, "SELECT count(*) FROM records").c_str()) >= count; }, deadline);
    }

    void expect_sound()
    {
        EXPECT_EQ(sql(db_, "PRAGMA integrity_check"), "ok");
        EXPECT_EQ(sql(db_, "INSERT INTO records_search (records_search) VALUES ('integrity-check')", true), "done");
    }

    std::string dir_, db_;
};

// A hand-made history as the server leaves it after posts m1 to mN: the
// newest 20 of them, a second apart.
void write_board(const std::string &path, int n)
{
    std::vector<Slot> slots;
    for (int i = n; i >= 1 && i > n - 20; --i)
        slots.push_back({static_cast<uint32_t>(1796738400 + i), "255000000\talice\tm" + std::to_string(i) + "\r\n"});
    write_file(path, history_bytes(slots));
}

std::vector<std::string> numbered(const std::string &prefix, int from, int to)
{
    std::vector<std::string> out;
    for (int i = from; i <= to; ++i)
        out.push_back(prefix + std::to_string(i));
    return out;
}

}  // namespace

// 25 posts about 60 ms apart (several fall within one look, most not),
// with a kill -9 while posting, posts while it is down, and another kill
// with an immediate restart.
TEST_F(ArchiveTest, KeepsSpacedPostsOnceInOrderThroughKillsAndRestarts)
{
    Server server(fast_server_binary());
    server.start();
    auto keeper = archiver(server.dat_path());
    Client poster(server.port());
    login(poster, "255000000", "poster");
    ASSERT_TRUE(rows_reach(1)) << keeper->errors();
    for (int i = 1; i <= 25; ++i) {
        poster.send("SEND m" + std::to_string(i) + "\r\n");
        ASSERT_NE(poster.read_until(message("255000000", "poster", "m" + std::to_string(i) + "\r\n")), "");
        if (i == 8 || i == 18) {
            keeper->signal(SIGKILL);
            keeper->wait();
            EXPECT_EQ(sql(db_, "PRAGMA integrity_check"), "ok") << "after a kill -9 at post " << i;
        }
        if (i == 12 || i == 18)
            keeper = archiver(server.dat_path());
        std::this_thread::sleep_for(60ms);  // the pace of people typing, not a wait for anything
    }
    ASSERT_TRUE(rows_reach(26)) << keeper->errors();
    keeper->signal(SIGTERM);
    EXPECT_EQ(keeper->wait(), 0) << keeper->errors();
    EXPECT_EQ(keeper->errors(), "");
    std::vector<std::string> expected = {"* posterがログインしました"};
    for (const auto &m : numbered("poster: m", 1, 25))
        expected.push_back(m);
    EXPECT_EQ(kept(), expected);
    expect_sound();
}

// 45 posts in one write cannot all stay on a board of 20; what the
// archive could not see is marked with a possible gap, never lost without
// a word. A burst of exactly 20 is kept whole.
TEST_F(ArchiveTest, ABurstInOneWriteIsKeptWholeOrMarkedWithAPossibleGap)
{
    Server server(fast_server_binary());
    server.start();
    auto keeper = archiver(server.dat_path());
    Client poster(server.port());
    login(poster, "000255000", "burst");
    ASSERT_TRUE(rows_reach(1));
    std::string flood;
    for (const auto &m : numbered("b", 1, 45))
        flood += "SEND " + m + "\r\n";
    poster.send(flood);
    ASSERT_NE(poster.read_until(message("000255000", "burst", "b45\r\n")), "");
    ASSERT_TRUE(eventually([&] { return !kept().empty() && kept().back() == "burst: b45"; }));
    std::vector<std::string> lines = kept();
    int last = 0, gaps = 0;
    bool gap_before = false;
    for (const auto &line : lines) {
        if (line == "(gap)") {
            ++gaps;
            gap_before = true;
        } else if (line.starts_with("burst: b")) {
            int n = std::stoi(line.substr(8));
            EXPECT_TRUE(n == last + 1 || gap_before) << "b" << last + 1 << " lost without a gap before b" << n;
            EXPECT_GT(n, last) << "b" << n << " twice or out of order";
            last = n;
            gap_before = false;
        }
    }
    EXPECT_EQ(last, 45);
    EXPECT_GE(gaps, 1);
    std::vector<std::string> json = kept({"--json"}, true);
    auto gap_line = std::find_if(json.begin(), json.end(), [](auto &l) { return l.starts_with("{\"gap\":true,"); });
    ASSERT_NE(gap_line, json.end());
    EXPECT_NE(gap_line->find("\"since_stamp\":"), std::string::npos);
    EXPECT_NE(gap_line->find("\"until\":\""), std::string::npos);

    flood.clear();
    for (const auto &m : numbered("c", 1, 20))
        flood += "SEND " + m + "\r\n";
    poster.send(flood);
    ASSERT_TRUE(eventually([&] { return kept().back() == "burst: c20"; }));
    lines = kept();
    std::vector<std::string> twenty(lines.end() - 20, lines.end());
    EXPECT_EQ(twenty, numbered("burst: c", 1, 20));
}

// The history cut to nothing under the running server, then put back from
// a copy, then the archive restarted: every record once, and no gap.
TEST_F(ArchiveTest, ACutOrRestoredHistoryIsNeitherRepeatedNorMistakenForOld)
{
    Server server(fast_server_binary());
    server.start();
    auto keeper = archiver(server.dat_path());
    Client poster(server.port());
    login(poster, "000000255", "cutter");
    auto post = [&](const std::string &text, int rows) {
        poster.send("SEND " + text + "\r\n");
        ASSERT_TRUE(rows_reach(rows)) << text << ": " << keeper->errors();
    };
    post("a", 2);
    post("b", 3);
    std::string copy = read_file(server.dat_path());
    post("c", 4);
    write_file(server.dat_path(), "");
    post("d", 5);
    write_file(server.dat_path(), copy);  // login, a and b again, as restored from a backup
    post("e", 6);
    keeper->signal(SIGTERM);
    EXPECT_EQ(keeper->wait(), 0);
    keeper = archiver(server.dat_path());
    post("f", 7);
    EXPECT_EQ(kept(), (std::vector<std::string> {"* cutterがログインしました", "cutter: a", "cutter: b", "cutter: c",
                                                 "cutter: d", "cutter: e", "cutter: f"}));
    EXPECT_EQ(keeper->errors(), "");
}

// A text file, another program's database, a newer archive and a damaged
// one are refused at once with status 1, byte for byte as they were and
// with nothing beside them; a second keeper of a live archive likewise.
TEST_F(ArchiveTest, RefusesWhatIsNoArchiveAndLeavesItAsItWas)
{
    std::string history = dir_ + "/chat.dat";
    write_file(history, history_bytes({{1796738400, "255000000\talice\thello\r\n"}}));
    auto keeper = archiver(history);
    ASSERT_TRUE(rows_reach(1));
    auto second = archiver(history);
    EXPECT_EQ(second->wait(), 1);
    EXPECT_EQ(second->errors(), "chat_archive: " + db_ + " is kept by another chat_archive already\n");
    keeper->signal(SIGTERM);
    ASSERT_EQ(keeper->wait(), 0);
    std::string good = read_file(db_);

    std::string other = dir_ + "/other.db";
    sql(other, "CREATE TABLE t (x)", true);
    std::string newer = dir_ + "/newer.db";
    fs::copy_file(db_, newer);
    sql(newer, "PRAGMA user_version = 2", true);
    std::string damaged = dir_ + "/damaged.db";
    write_file(damaged, good.substr(0, 100) + std::string(4000, '\x55'));
    std::string text = dir_ + "/notes.txt";
    write_file(text, "SQLite format 2, or just some notes\n");
    const std::pair<std::string, std::string> refused[] = {
        {text, " is no chat archive: it is no SQLite database\n"},
        {other, " is no chat archive: it is another program's SQLite database\n"},
        {newer, " is a chat archive of a newer version (2); this program knows version 1\n"},
        {damaged, " is damaged: database disk image is malformed\n"},
    };
    for (const auto &[path, why] : refused) {
        std::string before = read_file(path);
        auto files = std::distance(fs::directory_iterator(dir_), fs::directory_iterator());
        ChildProcess keeping(CHAT_ARCHIVE_BINARY, {"--history", history, "--archive", path}, false);
        EXPECT_EQ(keeping.wait(5s), 1) << path;
        EXPECT_EQ(keeping.errors(), "chat_archive: " + path + why);
        ChildProcess reading(CHAT_HISTORY_BINARY, {"--archive", path}, false);
        EXPECT_EQ(reading.wait(5s), 1) << path;
        EXPECT_EQ(reading.errors(), "chat_history: " + path + why);
        EXPECT_TRUE(read_file(path) == before) << path << " changed";
        EXPECT_EQ(std::distance(fs::directory_iterator(dir_), fs::directory_iterator()), files) << "beside " << path;
    }
    ChildProcess japanese(CHAT_ARCHIVE_BINARY, {"--archive", other}, false, "", {"LANGUAGE=ja"});
    EXPECT_EQ(japanese.wait(5s), 1);
    EXPECT_EQ(japanese.errors(), "chat_archive: " + other + " はチャットのアーカイブではありません: "
                                 "ほかのプログラムの SQLite データベースです\n");
    EXPECT_TRUE(read_file(db_) == good);
}

namespace {

// A hand-made history over two days, oldest first.
const std::vector<Slot> two_days = {
    {1796738400, "255000000\talice\tHello World, the meeting is at three\r\n"},
    {1796738460, "001002003\t" + sjis("ボブ") + "\t" + sjis("会議室の予約は明日です") + "\r\n"},
    {1796738520, "001002003\t" + sjis("ボブ") + "\t" + sjis("会議は三時から") + "\r\n"},
    {1796824800, "255000000\talice\t" + sjis("ＡＢＣ ｶﾀｶﾅ") + " full width\r\n"},
    {1796824860, "255000000\talice\tabc plain, \"a\" -b OR c:d*\r\n"},
    {1796824920, "000000000\t" + sjis("メッセージ") + "\t" + sjis("carolがログインしました") + "\r\n"},
};

std::string newest_first(std::vector<Slot> slots)
{
    std::reverse(slots.begin(), slots.end());
    return history_bytes(slots);
}

}  // namespace

TEST_F(ArchiveTest, SearchFindsEnglishJapanesePhrasesShortWordsAndFullWidth)
{
    write_file(dir_ + "/chat.dat", newest_first(two_days));
    auto keeper = archiver(dir_ + "/chat.dat");
    ASSERT_TRUE(rows_reach(6));
    using Lines = std::vector<std::string>;
    EXPECT_EQ(kept({"--search", "WORLD"}), Lines {"alice: Hello World, the meeting is at three"});
    EXPECT_EQ(kept({"--search", "会議室の予約"}), Lines {"ボブ: 会議室の予約は明日です"});
    EXPECT_EQ(kept({"--search", "会議"}), (Lines {"ボブ: 会議室の予約は明日です", "ボブ: 会議は三時から"}));
    EXPECT_EQ(kept({"--search", "会議", "--limit", "1"}), Lines {"ボブ: 会議は三時から"});
    Lines abc = {"alice: ＡＢＣ ｶﾀｶﾅ full width", "alice: abc plain, \"a\" -b OR c:d*"};
    EXPECT_EQ(kept({"--search", "ＡＢＣ"}), abc);
    EXPECT_EQ(kept({"-s", "abc"}), abc);
    EXPECT_EQ(kept({"-s", "カタカナ"}), Lines {abc[0]});
    EXPECT_EQ(kept({"-s", "\"a\" -b OR c:d*"}), Lines {abc[1]});
    EXPECT_EQ(kept({"-s", "ab"}), abc) << "two characters, by a scan";
    EXPECT_EQ(kept({"-s", "xyz"}), Lines {});
    std::vector<std::string> json = kept({"--json", "--search", "三時"}, true);
    ASSERT_EQ(json.size(), 1u);
    EXPECT_EQ(json[0], "{\"stamp\":1796738520,\"time\":\"2026-12-08T14:02:00+00:00\",\"colour\":\"001002003\","
                       "\"sender\":\"ボブ\",\"text\":\"会議は三時から\",\"notice\":false}");
}

// --since and --until take dates (a whole day as the end) and times in
// local time or with an offset; --limit keeps the newest. Then rows kept
// more than --keep-days ago go, from the index as well.
TEST_F(ArchiveTest, RangesLimitsAndRetention)
{
    write_file(dir_ + "/chat.dat", newest_first(two_days));
    auto keeper = archiver(dir_ + "/chat.dat");
    ASSERT_TRUE(rows_reach(6));
    std::vector<std::string> all = kept({}, true);
    ASSERT_EQ(all.size(), 6u);
    EXPECT_EQ(all[0], "2026-12-08 14:00:00 alice: Hello World, the meeting is at three");
    using Lines = std::vector<std::string>;
    EXPECT_EQ(kept({"--since", "2026-12-09"}, true), Lines(all.begin() + 3, all.end()));
    EXPECT_EQ(kept({"--until", "2026-12-08"}, true), Lines(all.begin(), all.begin() + 3));
    EXPECT_EQ(kept({"--since", "2026-12-08T14:01", "--until", "2026-12-08T23:01:00+09:00"}, true), Lines {all[1]});
    EXPECT_EQ(kept({"--since", "2026-12-08T23:00+0900", "--limit", "2"}, true), Lines(all.end() - 2, all.end()));
    EXPECT_EQ(kept({"--limit", "0"}), Lines {});
    ChildProcess follower(CHAT_HISTORY_BINARY, {"--archive", db_, "--follow", "--json", "--limit", "1"}, false);
    ASSERT_TRUE(follower.expect("\"text\":\"carolがログインしました\""));
    std::vector<Slot> later = two_days;
    later.push_back({1796824980, "255000000\talice\tlater\r\n"});
    write_file(dir_ + "/chat.dat", newest_first(later));
    EXPECT_TRUE(follower.expect("{\"stamp\":1796824980,"));
    follower.signal(SIGTERM);
    EXPECT_EQ(follower.wait(), 0);
    for (const char *bad : {"2026-02-30", "2026-12-08T25:00", "yesterday", "2026-12-08T14:00+9"}) {
        ChildProcess refused(CHAT_HISTORY_BINARY, {"--archive", db_, "--since", bad}, false);
        EXPECT_EQ(refused.wait(), 2) << bad;
    }
    keeper->signal(SIGTERM);
    ASSERT_EQ(keeper->wait(), 0);
    sql(db_, "UPDATE records SET archived = archived - 3 * 86400 WHERE stamp < 1796824800", true);
    keeper = archiver(dir_ + "/chat.dat", {"--keep-days", "2"});
    ASSERT_TRUE(eventually([&] { return sql(db_, "SELECT count(*) FROM records") == "4"; }));
    EXPECT_EQ(kept({"-s", "会議"}), Lines {});
    EXPECT_EQ(kept({"-s", "abc"}).size(), 2u);
    keeper->signal(SIGTERM);
    ASSERT_EQ(keeper->wait(), 0);
    EXPECT_EQ(kept().size(), 4u) << "the old records are not kept again from the board";
    expect_sound();
}

// A full disk and then a read-only file system under the archive (a tmpfs
// of the test's own in a mount namespace, so root only): each said once,
// tried again, and caught up from the board with nothing lost or repeated.
TEST_F(ArchiveTest, AFullDiskOrAReadOnlyFileIsSaidOnceAndCaughtUpFromTheBoard)
{
    std::string disk = dir_ + "/disk";
    fs::create_directory(disk);
    if (geteuid() != 0 || unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount("tmpfs", disk.c_str(), "tmpfs", 0, "size=512k") != 0)
        GTEST_SKIP() << "a file system of the test's own needs root";
    db_ = disk + "/archive.db";
    std::string history = dir_ + "/chat.dat";
    write_board(history, 3);
    auto keeper = archiver(history);
    ASSERT_TRUE(rows_reach(3)) << keeper->errors();
    std::string full = "cannot keep records in " + db_ + ": database or disk is full; trying again every second\n";
    std::string again = "chat_archive: keeping records in " + db_ + " again\n";
    {
        std::ofstream filler(disk + "/filler");
        std::string block(65536, 'x');
        while (filler.write(block.data(), block.size()))
            filler.flush();
    }
    write_board(history, 8);
    ASSERT_TRUE(keeper->expect_error(full)) << keeper->errors();
    write_board(history, 10);
    fs::remove(disk + "/filler");
    ASSERT_TRUE(keeper->expect_error(again)) << keeper->errors();
    ASSERT_TRUE(rows_reach(10));
    keeper->signal(SIGTERM);
    EXPECT_EQ(keeper->wait(), 0);
    EXPECT_EQ(keeper->errors(), "chat_archive: " + full + again);

    ASSERT_EQ(mount(nullptr, disk.c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr), 0);
    write_board(history, 13);
    keeper = archiver(history);
    ASSERT_TRUE(keeper->expect_error("attempt to write a readonly database; trying again every second\n"));
    ASSERT_EQ(mount(nullptr, disk.c_str(), nullptr, MS_REMOUNT, nullptr), 0);
    ASSERT_TRUE(keeper->expect_error(again));
    ASSERT_TRUE(rows_reach(13));
    keeper->signal(SIGTERM);
    EXPECT_EQ(keeper->wait(), 0);
    EXPECT_EQ(kept(), numbered("alice: m", 1, 13));
    expect_sound();
    umount2(disk.c_str(), MNT_DETACH);
}

// Kept by root with umask 022, read by nobody: while the keeper runs and
// after it stopped, even with its -wal and -shm gone, the reader needs no
// file of its own and leaves none.
TEST_F(ArchiveTest, AnotherUsersReaderMakesNoFileAndNeedsNone)
{
    if (geteuid() != 0 || access("/usr/bin/setpriv", X_OK) != 0)
        GTEST_SKIP() << "reading as another user needs root and setpriv";
    chmod(dir_.c_str(), 0755);
    mode_t saved = umask(022);
    std::string history = dir_ + "/chat.dat";
    write_board(history, 2);
    auto keeper = archiver(history);
    umask(saved);
    ASSERT_TRUE(rows_reach(2));
    auto listing = [&] {
        std::string files;
        for (const auto &entry : fs::directory_iterator(dir_)) {
            struct stat st;
            stat(entry.path().c_str(), &st);
            files += entry.path().filename().string() + ":" + std::to_string(st.st_uid) + " ";
        }
        return files;
    };
    auto read_as_nobody = [&] {
        ChildProcess reader("/usr/bin/setpriv",
                            {"--reuid=nobody", "--regid=nogroup", "--clear-groups", CHAT_HISTORY_BINARY, "--archive", db_},
                            false, "", {"TZ=UTC"});
        EXPECT_EQ(reader.wait(), 0) << reader.errors();
        return std::count(reader.output().begin(), reader.output().end(), '\n');
    };
    std::string files = listing();
    EXPECT_EQ(read_as_nobody(), 2);
    write_board(history, 3);
    ASSERT_TRUE(rows_reach(3));
    EXPECT_EQ(read_as_nobody(), 3) << "what is only in the -wal yet";
    keeper->signal(SIGTERM);
    EXPECT_EQ(keeper->wait(), 0);
    EXPECT_EQ(read_as_nobody(), 3);
    EXPECT_EQ(listing(), files);
    fs::remove(db_ + "-wal");
    fs::remove(db_ + "-shm");
    files = listing();
    EXPECT_EQ(read_as_nobody(), 3);
    EXPECT_EQ(listing(), files);
}
