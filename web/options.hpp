// What chat_web is told on its command line.
#pragma once

#include <string>
#include <vector>

#include "admission.hpp"
#include "logic.hpp"
#include "src/common/protocol.hpp"

namespace chat_web {

// One room: a chat server of its own, with its own history and archive.
struct Room {
    std::string name;                     // ASCII letters, digits, - and _: it goes into URLs
    std::string host;
    unsigned short port = 0;
    std::string history;                  // empty: no history file
    std::string archive;                  // empty: no archive
    std::string title;                    // UTF-8; empty: the page shows the name
};

struct Options {
    std::string listen_address = "0.0.0.0";
    unsigned short listen_port = 8080;
    std::string server_host = "127.0.0.1";
    unsigned short server_port = default_port;
    std::string history;                  // empty: no history file
    std::string archive;                  // empty: no archive
    std::string title;                    // empty: "Chat on" and the host
    // Every room, the first being the one a page opens with; --server,
    // --history and --archive make the one room main_room.
    std::vector<Room> rooms;
    std::vector<std::string> allow_origins;
    std::vector<std::string> allow_hosts;     // names the Host header may carry
    std::vector<AddressRange> trusted_proxies;
    std::string name_header;              // empty: names are the page's to choose
    int ipv6_prefix = 64;                 // IPv6 clients are counted by this many leading bits
    Limits limits;
};

}  // namespace chat_web
