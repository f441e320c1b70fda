// libFuzzer target for line input and the command loop: each input is
// what one client sends before hanging up, served by serve_connection
// against a board in a temporary directory; what the client is sent must
// keep its framing.
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

#include "src/board/board.hpp"
#include "src/connection/connection.hpp"
#include "tests/framing.hpp"

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    char dir[] = "/tmp/chat-fuzz-XXXXXX";
    if (mkdtemp(dir) == nullptr)
        abort();
    std::string path = std::string(dir) + "/chat.dat";
    board_len = board_bytes;
    board = board_map(&board_fd, path.c_str(), &board_len);
    if (board == nullptr)
        abort();
    server_pid = getppid();  // the "listener" is alive throughout
    signal(SIGPIPE, SIG_IGN);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, pair) != 0)
        abort();
    // Room for everything the server can answer to one input, so that it
    // never blocks on a reader that only reads afterwards.
    int room = 4 << 20;
    setsockopt(pair[1], SOL_SOCKET, SO_SNDBUF, &room, sizeof room);
    setsockopt(pair[0], SOL_SOCKET, SO_SNDBUF, &room, sizeof room);
    if (write(pair[0], data, size) != static_cast<ssize_t>(size))
        abort();
    shutdown(pair[0], SHUT_WR);

    // libFuzzer keeps SIGALRM for its own time-outs; run with -timeout=0
    // so that the server's tick handler can have it.
    struct sigaction tick {};
    tick.sa_handler = on_alarm;
    sigaction(SIGALRM, &tick, nullptr);
    client_fd = pair[1];
    client_stalled = 0;
    board_catch_up();
    serve_connection();
    alarm(0);
    client_fd = -1;

    close(pair[1]);
    // Whatever the client sent, what it was sent must be whole replies
    // and whole batches, every record framed.
    std::string sent;
    char buf[65536];
    ssize_t n;
    while ((n = read(pair[0], buf, sizeof buf)) > 0)
        sent.append(buf, static_cast<size_t>(n));
    close(pair[0]);
    if (!chat_test::framing_problem(sent).empty())
        abort();
    return 0;
}
