// The --listen mode: every record on standard output with its date and
// time, until the server stops or the user interrupts.
#include <cstdio>
#include <ctime>

#include "modes.hpp"

namespace chat_client {

using chat::Event;

int run_listen(Connection &connection, chat::Style style)
{
    style.date = true;
    auto print = [&](const Event &e) {
        printf("%s\n", chat::format_event(e, style, connection.codec(), time(nullptr)).c_str());
        fflush(stdout);
    };
    connection.log_in(print);
    while (!interrupted)
        for (const Event &e : connection.wait_for_events(-1, false, nullptr)) {
            connection.check_fatal(e);
            print(e);
        }
    connection.log_out(print);
    return exit_ok;
}

}  // namespace chat_client
