// The listener: the server's main process. It maps the history, accepts
// clients, forks one connection process per client and keeps count of them.
#pragma once

// The listener's one way out: reports `what` with perror when it is not
// null, closes the sockets, flushes and releases the history, and exits.
[[noreturn]] void fatal_exit(int status, const char *what);
