// The interrupt flag and its handler, installed without SA_RESTART.
#include "terminal/interrupts.hpp"

namespace chat {

volatile sig_atomic_t interrupted = 0;

namespace {

void on_interrupt(int) { interrupted = 1; }

}  // namespace

void catch_interrupts()
{
    struct sigaction action {};
    action.sa_handler = on_interrupt;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

}  // namespace chat
