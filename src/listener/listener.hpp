// The listener: the server's main process. It maps the history, accepts
// clients, forks one connection process per client and keeps count of them.
#pragma once

#include <csignal>

// The listener's one way out: reports `what` with perror when it is not
// null, closes the sockets, flushes and releases the history, and exits.
[[noreturn]] void fatal_exit(int status, const char *what);

// Installs every signal disposition once, before the history is mapped and
// before any fork, so that connection processes inherit the same table.
void install_signals();

void on_terminate(int signal);
void on_child_exit(int signal);
void on_connection_end(int signal, siginfo_t *info, void *context);

// The table of places: one per live connection process, so that the count
// stays exact. A place is claimed after fork (with SIGUSR1 and SIGCHLD held
// off) and given back once, by the process's SIGUSR1 or by its reaping,
// whichever comes first.
void claim_place(pid_t pid);
void release_place(pid_t pid);
