// The connection handler: what a forked connection process does with its
// client, from the first line to the end of the connection.
#pragma once

// Reads command lines, keeps the login state and posts what the client
// sends, until the client hangs up, falls silent or the listener is gone.
void serve_connection();

// Reads one line of at most max - 1 bytes, LF included, and NUL-terminates
// it. Returns 0 when the client closed before the line began, -1 on idle
// time-out, error or loss of the listener, and otherwise the number of
// bytes stored (which may include NUL bytes sent by the client).
int read_line(char *destination, int max);

// Whether the client's end is closed (its FIN or a reset has arrived),
// even while lines it sent still wait unread.
bool client_has_hung_up();
