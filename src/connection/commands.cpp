#include <cerrno>
#include <unistd.h>

#include "../common/common.hpp"
#include "connection.hpp"

// Stand-in until the chat commands exist: holds the connection until the
// client closes it.
void serve_connection()
{
    char discard[rx_size];
    for (;;) {
        ssize_t n = read(client_fd, discard, sizeof discard);
        if (n == 0 || (n < 0 && errno != EINTR))
            return;
    }
}
