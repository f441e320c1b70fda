// The scripted mode: every line of standard input is posted, and the
// client waits for each to land, however long the server's lock takes.
#include <iostream>
#include <string>

#include "i18n/i18n.hpp"
#include "modes.hpp"

namespace chat_client {

using chat::Event;

namespace {

// An unknown command: its error reply marks the end of what the server
// sent before it.
const char *const probe_line = "PING";

// After a busy reply the post may have landed all the same (the unlock or
// the delivery failed): ask for what is new and look for it there.
bool landed_after_busy(Connection &connection, const std::string &record)
{
    if (!connection.send_line("RELD") || !connection.send_line(probe_line))
        return false;
    bool found = false;
    auto look = [&](const Event &e) { found = found || (e.kind == Event::record && e.text == record); };
    Event error;
    Outcome o;
    while ((o = connection.await_record("", -1, look, &error)) == Outcome::error && is_busy(error)) {
    }
    return found;
}

// Posts one piece and waits for the server's answer. True when the post
// landed.
bool post_confirmed(Connection &connection, const std::string &piece)
{
    if (!connection.send_line("SEND " + piece))
        return false;
    std::string record = connection.record_of(piece);
    Event error;
    auto ignore = [](const Event &) {};
    Outcome o = connection.await_record(record, -1, ignore, &error);
    if (o == Outcome::arrived)
        return true;
    return o == Outcome::error && is_busy(error) && landed_after_busy(connection, record);
}

}  // namespace

int run_script(Connection &connection)
{
    auto ignore = [](const Event &) {};
    connection.log_in(ignore);
    std::string line;
    bool lost = false;
    while (!interrupted && std::getline(std::cin, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.empty())
            continue;
        for (const std::string &piece : connection.pieces_of(line))
            if (!post_confirmed(connection, piece) && !interrupted)
                lost = true;
    }
    connection.log_out(ignore);
    if (lost)
        die(exit_busy, _("a post did not land because the server was busy"));
    return exit_ok;
}

}  // namespace chat_client
