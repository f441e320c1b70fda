// Line input: reading the client's command lines with the idle time-out
// counted in interrupted waits.
#include <cerrno>
#include <cstdio>
#include <poll.h>
#include <sys/select.h>
#include <unistd.h>

#include "../common/state.hpp"
#include "connection.hpp"

namespace {

// A FIN shows as POLLRDHUP where the system has it; elsewhere only a reset
// or a connection closed both ways shows, as POLLHUP or POLLERR.
#ifdef POLLRDHUP
constexpr short hang_up_events = POLLRDHUP | POLLHUP | POLLERR;
#else
constexpr short hang_up_events = POLLHUP | POLLERR;
#endif

char rx_buffer[rx_size];
int rx_cursor = 0;
int rx_count = 0;  // bytes received and not yet taken

// Waits until fd is readable. While the client is logged in, every delivery
// tick interrupts the wait and is counted as one tick of idleness, whatever
// time really passed; without ticks this is a plain wait. Returns a
// positive count when readable, 0 when the idle budget is used up, -1 on an
// error, when the listener has gone or when the client stopped reading.
int wait_readable(int fd)
{
    int budget = idle_seconds;
    fd_set watched;
    FD_ZERO(&watched);
    FD_SET(fd, &watched);
    for (;;) {
        fd_set ready = watched;  // select leaves the set undefined on EINTR
        timeval limit {budget, 0};
        int n = select(fd + 1, &ready, nullptr, nullptr, &limit);
        if (n == -1 && errno == EINTR) {
            if (!listener_running() || client_stalled)
                return -1;
            budget -= tick_seconds;
            if (budget <= 0)
                return 0;
            continue;
        }
        if (n == -1) {
            perror("select");
            return -1;
        }
        if (n == 0)
            return 0;
        if (FD_ISSET(fd, &ready))
            return n;
    }
}

// 1 with one byte in *out, 0 when the client has closed the connection (or
// stopped reading what it is sent), -1 on time-out, error or loss of the
// listener.
int read_char(char *out)
{
    if (client_stalled)
        return 0;
    if (rx_count == 0) {
        if (wait_readable(client_fd) <= 0)
            return client_stalled ? 0 : -1;
        ssize_t n;
        do
            n = read(client_fd, rx_buffer, sizeof rx_buffer);
        while (n == -1 && errno == EINTR);
        if (n < 0)
            return -1;
        if (n == 0)
            return 0;
        rx_count = static_cast<int>(n);
        rx_cursor = 0;
    }
    *out = rx_buffer[rx_cursor++];
    --rx_count;
    return 1;
}

}  // namespace

int read_line(char *destination, int max)
{
    char *p = destination;
    int i = 1;
    while (i < max) {
        int got = read_char(p);
        if (got == 1) {
            if (*p++ == '\n')
                break;
            ++i;
        } else if (got == 0) {
            if (i == 1)
                return 0;
            break;
        } else {
            return -1;
        }
    }
    *p = '\0';
    return static_cast<int>(p - destination);
}

bool client_has_hung_up()
{
    pollfd watched {client_fd, hang_up_events, 0};
    return poll(&watched, 1, 0) > 0 && (watched.revents & hang_up_events) != 0;
}
