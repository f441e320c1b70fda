// The listener's main: the port argument, start-up, the accept loop, one
// forked connection process per client and the orderly stop.
#include "listener.hpp"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include "../board/board.hpp"
#include "../connection/connection.hpp"
#include "i18n/i18n.hpp"
#include "signals.hpp"

namespace {

void open_listener(unsigned short port)
{
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    listen_fd = socket(AF_INET, SOCK_STREAM, 0);
    if (listen_fd < 0)
        fatal_exit(-1, "socket");
    // Connection processes close their clients when the server stops, so
    // the port is left with connections in TIME_WAIT for a minute; without
    // this a restart fails with "Address already in use" until they are
    // gone. It never lets a second server listen on a port in use.
    int on = 1;
    setsockopt(listen_fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (bind(listen_fd, reinterpret_cast<sockaddr *>(&address), sizeof address) < 0)
        fatal_exit(-1, "bind");
    if (listen(listen_fd, 1) < 0)
        fatal_exit(-1, "listen");
}

// Errors that concern one pending connection, not the listening socket:
// the next pass goes on accepting.
bool accept_error_is_transient(int error)
{
    switch (error) {
    case EINTR: case ECONNABORTED: case EPROTO: case ENETDOWN: case ENOPROTOOPT:
    case EHOSTDOWN: case ENONET: case EHOSTUNREACH: case EOPNOTSUPP: case ENETUNREACH:
        return true;
    default:
        return false;
    }
}

// Each piece of a delivery goes out at once rather than waiting for the
// client's acknowledgement. A client that stops reading cannot hold a write
// for longer than the idle budget, nor make the kernel queue megabytes for
// it: a dozen full batches is more than any reading client ever lags.
void tune_client_socket(int fd)
{
    int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    timeval limit {idle_seconds, 0};
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    int queue = client_send_buffer;
    setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &queue, sizeof queue);
}

[[noreturn]] void run_connection()
{
    close(listen_fd);
    listen_fd = -1;
    tune_client_socket(client_fd);
    board_catch_up();
    serve_connection();
    if (client_fd >= 0)
        close(client_fd);
    client_fd = -1;
    if (listener_running())
        kill(server_pid, SIGUSR1);
    exit(0);
}

void spawn_connection()
{
    sigset_t saved;
    hold_accounting(&saved);
    pid_t pid = fork();
    if (pid == -1)
        fatal_exit(-1, "fork");
    if (pid == 0) {
        resume_accounting(&saved);
        run_connection();
    }
    close(client_fd);
    client_fd = -1;
    claim_place(pid);
    resume_accounting(&saved);
}

// Waits for a pending connection; false when the loop must end.
bool wait_for_client(bool *ready)
{
    *ready = false;
    int fd = listen_fd;  // a stop request may close it at any moment
    if (fd < 0)
        return false;
    fd_set set;
    FD_ZERO(&set);
    FD_SET(fd, &set);
    if (select(fd + 1, &set, nullptr, nullptr, nullptr) == -1) {
        if (errno == EINTR)
            return true;
        perror("select");
        return false;
    }
    *ready = FD_ISSET(fd, &set);
    return true;
}

// Errors that say the process or the system is short of descriptors or
// memory for now. The pending connection stays queued; the loop pauses
// and tries again rather than stopping the server for good.
bool accept_error_is_shortage(int error)
{
    return error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM;
}

// Reports the first of a run of shortages only, then waits a moment (a
// stop signal cuts the wait short).
void pause_for_resources(bool *reported)
{
    if (!*reported)
        perror("accept");
    *reported = true;
    timespec pause {0, shortage_pause_ms * 1'000'000L};
    nanosleep(&pause, nullptr);
}

void accept_loop()
{
    bool ready, shortage_reported = false;
    while (running && wait_for_client(&ready)) {
        if (!ready)
            continue;
        sockaddr_in peer;
        socklen_t peer_len = sizeof peer;
        int fd = accept(listen_fd, reinterpret_cast<sockaddr *>(&peer), &peer_len);
        if (fd < 0) {
            if (accept_error_is_transient(errno))
                continue;
            if (accept_error_is_shortage(errno)) {
                pause_for_resources(&shortage_reported);
                continue;
            }
            perror("accept");
            return;
        }
        shortage_reported = false;
        client_fd = fd;
        if (connection_count > max_connections - 1) {
            client_send(reply_full);
            close(fd);
            client_fd = -1;
            continue;
        }
        spawn_connection();
    }
}

const char usage_text[] = N_(
    "usage: chat_server [PORT]\n"
    "\n"
    "A multi-user text chat server. It listens on PORT (default 12345) on every\n"
    "local IPv4 address, serves at most 20 clients at once, and keeps the 20\n"
    "newest records in chat.dat in the working directory. PORT is decimal,\n"
    "hexadecimal with 0x, or octal with a leading 0; only its low 16 bits\n"
    "count, and an argument that is no number lets the system pick a port.\n"
    "Ctrl-C, SIGTERM or SIGQUIT stop it. See chat_server(8).\n"
    "\n"
    "  -h, --help   print this text and exit\n"
    "  --version    print the version and exit\n");

// -h, --help and --version answer on standard output and end the program
// before anything is created; every other argument is a port. Only the
// help reads the locale, and of it only the message language: the server's
// handling of names and texts never follows the locale.
void answer_information_request(const char *argument)
{
    if (strcmp(argument, "-h") == 0 || strcmp(argument, "--help") == 0) {
        use_locale_for_messages_only();
        fputs(gettext(usage_text), stdout);
        exit(0);
    }
    if (strcmp(argument, "--version") == 0) {
        fputs("chat_server " CHAT_VERSION "\n", stdout);
        exit(0);
    }
}

}  // namespace

void fatal_exit(int status, const char *what)
{
    if (what != nullptr)
        perror(what);
    if (client_fd >= 0)
        close(client_fd);
    int fd = listen_fd;
    if (fd >= 0) {
        listen_fd = -1;
        close(fd);
    }
    if (board != nullptr)
        board_unmap(board_fd, board, board_len);
    exit(status);
}

int main(int argc, char **argv)
{
    if (argc > 1)
        answer_information_request(argv[1]);
    server_pid = getpid();
    unsigned short port = default_port;
    if (argc > 1)
        port = static_cast<unsigned short>(strtoul(argv[1], nullptr, 0));
    if (install_signals() == -1)
        fatal_exit(-1, "sigaction");
    board_len = board_bytes;
    board = board_map(&board_fd, board_path, &board_len);
    if (board == nullptr)
        fatal_exit(-1, nullptr);
    open_listener(port);
    accept_loop();
    fatal_exit(0, nullptr);
}
