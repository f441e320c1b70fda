// The connection handler: what a forked connection process does with its
// client, from the first line to the end of the connection.
#pragma once

// Reads command lines, keeps the login state and posts what the client
// sends, until the client hangs up, falls silent or the listener is gone.
void serve_connection();

