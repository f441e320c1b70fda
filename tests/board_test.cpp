// The board on its own, linked with the short lock budget (4 attempts):
// a temporary chat.dat, and a socket pair standing in for the client.
#include <csignal>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <string>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include "src/board/board.hpp"
#include "harness.hpp"
#include "wire/history_file.hpp"

using namespace chat_test;

namespace {

class Board : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/chat-board-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        board_len = board_bytes;
        board = board_map(&board_fd, (dir_ + "/chat.dat").c_str(), &board_len);
        ASSERT_NE(board, nullptr);
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair_), 0);
        client_fd = pair_[0];
        client_stalled = 0;
        server_pid = getppid();  // the "listener" runs throughout: posts may wait
        last_seen = 0;
        last_seen_text[0] = '\0';
        struct sigaction tick {};
        tick.sa_handler = on_alarm;
        sigaction(SIGALRM, &tick, nullptr);
    }

    void TearDown() override
    {
        alarm(0);
        signal(SIGALRM, SIG_DFL);
        for (pid_t p : helpers_) {
            kill(p, SIGKILL);
            waitpid(p, nullptr, 0);
        }
        close(pair_[0]);
        close(pair_[1]);
        board_unmap(board_fd, board, board_len);
        board = nullptr;
        std::filesystem::remove_all(dir_);
    }

    // A post with its own delivery, and no tick left armed afterwards.
    void post(const std::string &text)
    {
        board_post(text.c_str());
        alarm(0);
    }

    // A post that is not delivered at once: made as if by another process,
    // one without a client.
    void post_quietly(const std::string &text)
    {
        int own = client_fd;
        client_fd = -1;
        board_post(text.c_str());
        alarm(0);
        client_fd = own;
    }

    // Everything the client has been sent so far.
    std::string received()
    {
        std::string out;
        char buf[8192];
        ssize_t n;
        while ((n = recv(pair_[1], buf, sizeof buf, MSG_DONTWAIT)) > 0)
            out.append(buf, static_cast<size_t>(n));
        return out;
    }

    // Another process holds a lock of `type` on chat.dat for `seconds`;
    // returns once it has it.
    void hold_lock_elsewhere(short type, double seconds)
    {
        helpers_.push_back(hold_lock(dir_ + "/chat.dat", type, seconds));
    }

    std::string dir_;
    int pair_[2] = {-1, -1};
    std::vector<pid_t> helpers_;
};

std::string stored_text(int slot) { return board[slot].text; }

}  // namespace

TEST_F(Board, StampsStrictlyIncreaseWithinOneSecondAndWhenTheClockIsBehind)
{
    uint32_t before = static_cast<uint32_t>(time(nullptr));
    post_quietly("a\r\n");
    post_quietly("b\r\n");
    post_quietly("c\r\n");
    EXPECT_GE(board[2].stamp, before);
    EXPECT_LE(board[2].stamp, static_cast<uint32_t>(time(nullptr)));
    EXPECT_EQ(board[1].stamp, board[2].stamp + 1);
    EXPECT_EQ(board[0].stamp, board[1].stamp + 1);

    board[0].stamp = static_cast<uint32_t>(time(nullptr)) + 1000;  // the clock went back
    post_quietly("d\r\n");
    EXPECT_EQ(board[0].stamp, board[1].stamp + 1);
    EXPECT_EQ(stored_text(0), "d\r\n");
    EXPECT_EQ(stored_text(1), "c\r\n");
}

TEST_F(Board, FileHoldsLittleEndianStampsAndTextsNewestFirst)
{
    post_quietly("first\r\n");
    post_quietly("second\r\n");
    std::string file = read_file(dir_ + "/chat.dat");
    ASSERT_EQ(file.size(), board_len + 1);
    for (int slot = 0; slot < 2; ++slot) {
        const char *p = file.data() + 260 * slot;
        EXPECT_EQ(chat::decode_stamp(p), board[slot].stamp);
        EXPECT_STREQ(p + 4, slot == 0 ? "second\r\n" : "first\r\n");
    }
    EXPECT_EQ(file.substr(520, 5200 - 520), std::string(5200 - 520, '\0'));
}

TEST_F(Board, PosterReceivesItsOwnRecordAtOnce)
{
    board_catch_up();
    post("hello\r\n");
    EXPECT_EQ(received(), batch({"hello\r\n"}));
    EXPECT_EQ(last_seen, board[0].stamp);
}

TEST_F(Board, MoreThanTwentyPostsBetweenDeliveriesGiveTheTwentyNewestOldestFirst)
{
    std::vector<std::string> kept;
    for (int i = 0; i < 25; ++i) {
        std::string text = "post " + std::to_string(i) + "\r\n";
        post_quietly(text);
        if (i >= 5)
            kept.push_back(text);
    }
    board_deliver();
    EXPECT_EQ(received(), batch(kept));
    board_deliver();
    EXPECT_EQ(received(), "") << "nothing new: nothing at all is written";
}

// A history cut under the server (to nothing, say) and posted to again
// holds stamps below the one seen last, equal to it or above it: once the
// record seen last is gone, everything on the board is new. A board with
// nothing on it sends nothing.
TEST_F(Board, EverythingIsNewOnceTheRecordSeenLastIsGone)
{
    post("seen\r\n");
    received();
    const uint32_t seen = board[0].stamp;
    for (uint32_t first : {seen - 5, seen, seen - 1}) {
        memset(board, 0, board_bytes);
        board_deliver();
        EXPECT_EQ(received(), "");
        last_seen = seen;
        strcpy(last_seen_text, "seen\r\n");
        for (const char *text : {"a\r\n", "b\r\n", "c\r\n"})
            post_quietly(text);
        for (uint32_t slot = 0; slot < 3; ++slot)
            board[slot].stamp = first + 2 - slot;
        board_deliver();
        EXPECT_EQ(received(), batch({"a\r\n", "b\r\n", "c\r\n"})) << "first stamp " << first;
    }
}

TEST_F(Board, TextWithoutNulIsNeverReadPastItsField)
{
    post_quietly("x");
    memset(board[0].text, 'A', text_size);
    board[1].stamp = 0;
    board_deliver();
    EXPECT_EQ(received(), batch({std::string(text_size, 'A')}));
}

TEST_F(Board, NoClientMeansNoWriteAndNoLock)
{
    post_quietly("x\r\n");
    hold_lock_elsewhere(F_WRLCK, 10);
    client_fd = -1;
    auto start = clock_type::now();
    board_deliver();
    EXPECT_LT(clock_type::now() - start, 500ms);
    client_fd = pair_[0];
    EXPECT_EQ(received(), "");
}

TEST_F(Board, PostWaitsOutABriefLock)
{
    hold_lock_elsewhere(F_RDLCK, 1.5);
    board_catch_up();
    post("patient\r\n");
    EXPECT_EQ(stored_text(0), "patient\r\n");
    EXPECT_EQ(received(), batch({"patient\r\n"}));
}

TEST_F(Board, LockHeldPastTheBudgetGivesTheBusyReplyAndNoPost)
{
    post_quietly("before\r\n");
    hold_lock_elsewhere(F_WRLCK, 30);
    post("lost\r\n");
    EXPECT_EQ(received(), error_reply(busy));
    EXPECT_EQ(stored_text(0), "before\r\n");

    last_seen = 0;
    board_deliver();  // a delivery is refused the same way
    EXPECT_EQ(received(), error_reply(busy));
    EXPECT_EQ(last_seen, 0u);
}

TEST_F(Board, ClientThatNeverReadsDoesNotHoldUpPosters)
{
    for (int i = 0; i < board_slots; ++i)
        post_quietly(std::string(250, static_cast<char>('a' + i)));
    // Fill the client's socket so that the delivery below blocks in write.
    int stuffed = fcntl(pair_[0], F_GETFL);
    fcntl(pair_[0], F_SETFL, stuffed | O_NONBLOCK);
    char junk[4096] = {};
    while (write(pair_[0], junk, sizeof junk) > 0) {
    }
    fcntl(pair_[0], F_SETFL, stuffed);

    pid_t reader = fork();
    if (reader == 0) {
        last_seen = 0;
        board_deliver();
        _exit(0);
    }
    helpers_.push_back(reader);
    std::string syscall_file = "/proc/" + std::to_string(reader) + "/syscall";
    std::string in_write = std::to_string(SYS_write) + " ";
    ASSERT_TRUE(eventually([&] { return read_file(syscall_file).rfind(in_write, 0) == 0; }))
        << "the delivering process should be blocked writing to its client";

    client_fd = -1;  // this process posts without a client of its own
    post("through\r\n");
    EXPECT_EQ(stored_text(0), "through\r\n") << "the post went through at once";
}

TEST_F(Board, RecordPostedInTheSecondOfConnectingIsDelivered)
{
    post_quietly("history\r\n");
    board[0].stamp -= 100;             // the newest record is from earlier on
    board_catch_up();                  // what a new connection starts from
    pid_t other = fork();
    if (other == 0) {
        client_fd = -1;
        board_post("same second\r\n");
        _exit(0);
    }
    waitpid(other, nullptr, 0);
    board_deliver();
    EXPECT_EQ(received(), batch({"same second\r\n"}));
}

TEST_F(Board, IdleTickTakesNoLock)
{
    post_quietly("seen\r\n");
    board_catch_up();
    hold_lock_elsewhere(F_WRLCK, 30);
    board_deliver();  // would wait out the budget and answer busy with a lock
    EXPECT_EQ(received(), "");
}
