// The signal dispositions and the connection accounting: what the listener
// asks of the handlers that stop it and keep its count of connections.
#pragma once

#include <csignal>
#include <sys/types.h>

// Installs every signal disposition once, before the history is mapped and
// before any fork, so that connection processes inherit the same table.
// 0 when done, -1 when a sigaction call failed (errno tells why).
int install_signals();

// Holds off the two signals that give places back (a connection's SIGUSR1
// and SIGCHLD) from before a fork until its place is claimed, and then
// restores the mask that `saved` holds.
void hold_accounting(sigset_t *saved);
void resume_accounting(const sigset_t *saved);

// The table of places: one per live connection process, so that the count
// stays exact. A place is claimed after fork, with the accounting held
// off, and given back once, by the process's SIGUSR1 or by its reaping,
// whichever comes first.
void claim_place(pid_t pid);
