// The network link: the gateway's port, where browsers fetch the page
// (HTTP, in web/serving.hpp's plain terms) and open the page's WebSocket,
// each connection admitted with a place of its own (web/admission.hpp).
// Each WebSocket is the page end of a conversation (web/conversation.hpp).
#pragma once

#include <deque>
#include <list>
#include <string>
#include <vector>

#include "admission.hpp"
#include "conversation.hpp"
#include "options.hpp"

namespace chat_web {

// Delays from reading a batch from the server to having written its last
// message to the browser, kept when CHAT_WEB_TIMING is set and summed up
// on standard error at exit.
class DelayLog {
public:
    bool on;
    DelayLog();
    void add(steady::duration d);
    void report();

private:
    std::vector<long long> micros_;
};

class HttpLink;

// What every link shares. Made before the io_context that runs them: the
// handlers that it destroys last still give their places and counts back.
struct Links {
    Links(const Options &options, size_t connections_max);
    bool trusted(const std::string &address) const;
    // The key under which a client address is counted (--ipv6-prefix).
    std::string key(const std::string &address) const;
    // Closes the HTTP connection that has waited longest for a request, to
    // make room for a new one; false when none waits.
    bool evict_waiting();
    // The same among the connections from one address (not through a
    // proxy) that have been answered and wait for another request: a page
    // loads its files over several at once, and keeps them open a while.
    bool evict_idle_of(const std::string &address);

    // The room of this name; the first for an empty name; null when
    // there is no such room.
    Conversations *room(std::string_view name);

    const Options &options;
    std::string index_html;  // the page's HTML with the title filled in
    chat::Codec codec;
    int sessions = 0;  // WebSocket pages open now, and sessions waiting for their page
    std::deque<Conversations> rooms;  // as the options give them
    DelayLog delays;
    HostRule hosts;
    ConnectionCounts counts;
    // HTTP connections waiting for a request, the longest waiting first.
    std::list<HttpLink *> waiting;
    // A proxy's X-Forwarded-For entry that was no address was reported.
    bool told_forwarded = false;
};

// Accepts connections on `acceptor` from now on, each admitted or refused
// at once.
void accept_next(tcp::acceptor &acceptor, Links &links);

}  // namespace chat_web
