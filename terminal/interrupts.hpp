// Catching Ctrl-C and SIGTERM in the terminal programs, so that they can
// log out or stop cleanly instead of dying on the spot.
#pragma once

namespace chat {

// Ctrl-C and SIGTERM run `handler` and cut blocking calls short (no
// SA_RESTART).
void catch_interrupts(void (*handler)(int));

}  // namespace chat
