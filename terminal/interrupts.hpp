// Catching Ctrl-C and SIGTERM in the terminal programs, so that they can
// log out or stop cleanly instead of dying on the spot.
#pragma once

#include <csignal>

namespace chat {

// Set once Ctrl-C or SIGTERM has come; loops and waits end early on it.
extern volatile sig_atomic_t interrupted;

// From now on Ctrl-C and SIGTERM set `interrupted` and cut blocking calls
// short (no SA_RESTART).
void catch_interrupts();

}  // namespace chat
