// One post followed by one delivery of a full board of 20 records, with a
// socket pair standing in for the client and drained after every round.
#include <benchmark/benchmark.h>
#include <csignal>
#include <cstdlib>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

#include "src/board/board.hpp"

static void post_and_deliver_twenty(benchmark::State &state)
{
    char dir[] = "/tmp/chat-bench-XXXXXX";
    if (mkdtemp(dir) == nullptr)
        return state.SkipWithError("mkdtemp");
    std::string path = std::string(dir) + "/chat.dat";
    board_len = board_bytes;
    board = board_map(&board_fd, path.c_str(), &board_len);
    int pair[2];
    socketpair(AF_UNIX, SOCK_STREAM, 0, pair);
    int size = 1 << 20;
    setsockopt(pair[0], SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
    client_fd = pair[0];
    signal(SIGALRM, SIG_IGN);  // the post's own delivery is measured below
    std::string text(60, 'x');
    char sink[65536];
    for (auto _ : state) {
        last_seen = board[board_slots - 1].stamp - 1;  // all 20 records are new
        board_post(text.c_str());
        board_deliver();
        state.PauseTiming();
        while (recv(pair[1], sink, sizeof sink, MSG_DONTWAIT) > 0) {
        }
        state.ResumeTiming();
    }
    alarm(0);
    close(pair[0]);
    close(pair[1]);
    board_unmap(board_fd, board, board_len);
    unlink(path.c_str());
    rmdir(dir);
}
BENCHMARK(post_and_deliver_twenty);

BENCHMARK_MAIN();
