// chat_web's start-up and its one thread: the page's port, the chat
// server's address and the history checked, then the network link
// (web/link.hpp) served until a stop signal.
#pragma once

#include "options.hpp"

namespace chat_web {

// Exit statuses.
inline constexpr int exit_stopped = 0;      // SIGINT or SIGTERM
inline constexpr int exit_failure = 1;      // cannot listen, cannot resolve the server
inline constexpr int exit_usage = 2;        // bad arguments

// Serves until SIGINT or SIGTERM; returns the exit status.
int run_gateway(const Options &options);

}  // namespace chat_web
