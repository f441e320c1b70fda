// chat_client's three ways of running, each until the user or the server
// ends it; each returns the exit status.
#pragma once

#include "connection.hpp"
#include "terminal/display.hpp"

namespace chat_client {

// Standard input is no terminal: logs in, posts every input line, waits
// for each to land, and logs out.
int run_script(Connection &connection);
// --listen: prints every record on standard output, one line each.
int run_listen(Connection &connection, chat::Style style);
// At a terminal: records above a prompt that keeps the typed line.
int run_interactive(Connection &connection, const chat::Style &style);

}  // namespace chat_client
