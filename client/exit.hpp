// chat_client's exit statuses, and how it ends when it cannot go on.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>

namespace chat_client {

enum Exit {
    exit_ok = 0,
    exit_connection = 1,  // refused, lost, or no answer
    exit_usage = 2,
    exit_full = 3,        // the server already serves 20 clients
    exit_stopped = 4,     // the server was stopped
    exit_busy = 5,        // a post was refused as busy (scripts only)
};

// Says why on standard error and exits with `status`.
[[noreturn]] inline void die(Exit status, const std::string &message)
{
    fprintf(stderr, "chat_client: %s\n", message.c_str());
    exit(status);
}

}  // namespace chat_client
