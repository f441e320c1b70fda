// The lines the user posted whose records have not come back yet, each
// waiting for the records the server stores for its pieces, in order.
#pragma once

#include <chrono>
#include <deque>
#include <optional>
#include <string>
#include <vector>

namespace chat_client {

using steady_clock = std::chrono::steady_clock;

// A typed line on its way: the pieces it was posted in and the record the
// server stores for each, both still to come back.
struct Posted {
    std::string sender;                // the name posted under, in the locale's character set
    std::deque<std::string> pieces;    // in the locale's character set
    std::deque<std::string> records;   // as the server stores them, without CR LF
    steady_clock::time_point sent;
    bool late = false;                 // pending longer than PendingPosts::patience

    // The pieces still to come, joined.
    std::string text() const;
};

class PendingPosts {
public:
    // How long a line waits before it is shown as waiting for the server.
    static constexpr std::chrono::seconds patience {2};

    void add(Posted line) { lines_.push_back(std::move(line)); }
    // True when `record` is the next record of a pending line (the
    // earliest such line); that piece is then no longer pending, nor the
    // line once all its pieces came back. The server takes posts in
    // order, so the lines sent before that one that are still pending
    // will not come back: they go to *passed_over.
    bool arrived(const std::string &record, std::vector<Posted> *passed_over);
    // The oldest pending line, given up on; nullopt when there is none.
    std::optional<Posted> give_up_oldest();
    // Marks the lines pending longer than `patience` late; true when one
    // has just become late.
    bool mark_late(steady_clock::time_point now);
    // Milliseconds until the next line becomes late (a poll timeout); -1
    // when none will.
    int ms_until_late(steady_clock::time_point now) const;

    const std::deque<Posted> &lines() const { return lines_; }
    bool empty() const { return lines_.empty(); }

private:
    std::deque<Posted> lines_;  // oldest first
};

}  // namespace chat_client
