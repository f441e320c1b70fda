// Installing the interrupt handler without SA_RESTART.
#include "terminal/interrupts.hpp"

#include <csignal>

namespace chat {

void catch_interrupts(void (*handler)(int))
{
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

}  // namespace chat
