// chat_web's start-up: the page's port opened, the chat server found and
// the history looked at once, then the one thread that runs every link and
// conversation until SIGINT or SIGTERM.
#include "gateway.hpp"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <sys/resource.h>
#include <unistd.h>

#include "i18n/i18n.hpp"
#include "archive_worker.hpp"
#include "link.hpp"
#include "serving.hpp"

namespace chat_web {

namespace {

// One try at the history without waiting for its lock: what keeps it from
// being read, or "" when it can be (or is only locked now, or new).
std::string first_look_at_history(const std::string &path)
{
    int fd = chat::open_history(path.c_str());
    if (fd < 0)
        return chat::history_read_problem(chat::HistoryStatus::failed, errno);
    std::vector<chat::HistoryRecord> records;
    auto status = chat::read_history(fd, records, 0);
    int error = errno;
    close(fd);
    return status == chat::HistoryStatus::too_short ? "" : chat::history_read_problem(status, error);
}

// One look at the archive at start-up, to say at once when it cannot be
// read; the worker opens it again when a page first asks.
void first_look_at_archive(const std::string &path)
{
    std::string why;
    if (!chat::archive::Reader::open(path, &why))
        fprintf(stderr, _("chat_web: cannot read the archive yet: %s; the page asks it again later\n"), why.c_str());
}

bool resolve_server(asio::io_context &io, const Room &room, tcp::endpoint &server)
{
    error_code ec;
    tcp::resolver resolver(io);
    auto results = resolver.resolve(room.host, std::to_string(room.port), ec);
    if (ec || results.empty()) {
        fprintf(stderr, _("chat_web: cannot find the chat server %s: %s\n"), room.host.c_str(),
                ec ? ec.message().c_str() : _("no address"));
        return false;
    }
    server = results.begin()->endpoint();
    return true;
}

// Whether `address` is one of this machine's own: a socket can be bound
// to it.
bool on_this_host(const asio::ip::address &address)
{
    if (address.is_loopback())
        return true;
    asio::io_context io;
    asio::ip::udp::socket probe(io);
    error_code ec;
    probe.open(address.is_v6() ? asio::ip::udp::v6() : asio::ip::udp::v4(), ec);
    if (!ec)
        probe.bind(asio::ip::udp::endpoint(address, 0), ec);
    return !ec;
}

// A room's history is read under the server's file locks and its archive
// is a database for one host: both only where the room's server runs.
bool local_files_allowed(const Room &room, const tcp::endpoint &server)
{
    if ((room.history.empty() && room.archive.empty()) || on_this_host(server.address()))
        return true;
    fprintf(stderr,
            _("chat_web: room %s: its chat server %s is on another host, where history= and archive= cannot be "
              "read; leave them out for that room\n"),
            room.name.c_str(), room.host.c_str());
    return false;
}

// The room's server found, its files looked at once, and its archive's
// worker started.
bool set_up_room(asio::io_context &io, const Room &room, Conversations &conversations,
                 std::vector<std::unique_ptr<ArchiveWorker>> &archives)
{
    if (!resolve_server(io, room, conversations.server) || !local_files_allowed(room, conversations.server))
        return false;
    if (!room.archive.empty()) {
        first_look_at_archive(room.archive);
        archives.push_back(std::make_unique<ArchiveWorker>(room.archive));
        conversations.archive = archives.back().get();
    }
    if (!room.history.empty()) {
        std::string problem = first_look_at_history(room.history);
        if (!problem.empty())
            fprintf(stderr, _("chat_web: cannot read the history %s yet: %s; sessions start without earlier records until it can be read\n"),
                    room.history.c_str(), problem.c_str());
    }
    return true;
}

// The rooms as the page learns them from its HTML.
std::string rooms_meta(const Options &options)
{
    std::vector<RoomListing> listing;
    for (const Room &room : options.rooms)
        listing.push_back({room.name, room.title, !room.history.empty(), !room.archive.empty()});
    return room_list(listing);
}


bool open_acceptor(tcp::acceptor &acceptor, const Options &options)
{
    error_code ec;
    auto address = asio::ip::make_address(options.listen_address, ec);
    if (ec) {
        fprintf(stderr, _("chat_web: --listen: '%s' is not an IP address\n"), options.listen_address.c_str());
        return false;
    }
    tcp::endpoint at(address, options.listen_port);
    acceptor.open(at.protocol(), ec);
    if (!ec)
        acceptor.set_option(tcp::acceptor::reuse_address(true), ec);
    if (!ec)
        acceptor.bind(at, ec);
    if (!ec)
        acceptor.listen(asio::socket_base::max_listen_connections, ec);
    if (ec) {
        fprintf(stderr, _("chat_web: cannot listen on %s:%u: %s\n"), options.listen_address.c_str(),
                options.listen_port, ec.message().c_str());
        return false;
    }
    return true;
}

// Raises the soft descriptor limit to the hard one; returns the limit in
// force.
unsigned long long raise_descriptor_limit()
{
    rlimit limit {};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return 1024;
    if (limit.rlim_cur < limit.rlim_max) {
        rlimit raised = limit;
        raised.rlim_cur = limit.rlim_max;
        if (setrlimit(RLIMIT_NOFILE, &raised) == 0)
            limit = raised;
    }
    return limit.rlim_cur == RLIM_INFINITY ? 1ULL << 20 : limit.rlim_cur;
}

// An address a person can open the page at: for a wildcard listen
// address, the loopback one of its kind; IPv6 in brackets.
std::string page_url(const tcp::endpoint &at)
{
    auto address = at.address();
    if (address.is_unspecified())
        address = address.is_v6() ? asio::ip::address(asio::ip::address_v6::loopback())
                                  : asio::ip::address(asio::ip::address_v4::loopback());
    std::string host = address.to_string();
    if (address.is_v6())
        host = "[" + host + "]";
    return "http://" + host + ":" + std::to_string(at.port()) + "/";
}

// The line that says the gateway serves: with rooms, each room's server.
void say_serving(const Options &options, const tcp::endpoint &at)
{
    const Room &first = options.rooms.front();
    if (options.rooms.size() == 1 && first.name == main_room) {
        // TRANSLATORS: keep the page's address before the server's: chat_bench
        // takes the first address in this line for the page's.
        printf(_("chat_web: serving %s for the chat server at %s:%u\n"), page_url(at).c_str(), first.host.c_str(),
               first.port);
    } else {
        std::string rooms;
        for (const Room &room : options.rooms)
            rooms += (rooms.empty() ? "" : ", ") + room.name + " (" + room.host + ":" + std::to_string(room.port) + ")";
        // TRANSLATORS: the page's address comes first, as in the line above.
        printf(_("chat_web: serving %s for the rooms %s\n"), page_url(at).c_str(), rooms.c_str());
    }
    fflush(stdout);
}

}  // namespace

int run_gateway(const Options &options)
{
    // Made before the io_context: the handlers that it destroys last still
    // give their places and counts back to it.
    Links links(options, connections_for_descriptors(raise_descriptor_limit()));
    if (const PageFile *index = find_page("/"))
        links.index_html = page_with_title(std::string_view(index->body, index->size), options.title);
    if (options.limits.show_before_login)
        links.index_html = page_showing_before_login(links.index_html);
    // The page then waits for the name the gateway's first hello gives.
    if (!options.name_header.empty())
        links.index_html = page_with_meta(links.index_html, "chat-sign-in", "proxy");
    for (const auto &name : own_host_names())
        links.hosts.allow(name);
    for (const auto &name : options.allow_hosts)
        links.hosts.allow(name);
    for (const auto &origin : options.allow_origins)
        links.hosts.allow_origin(origin);
    links.index_html = page_with_meta(links.index_html, "chat-rooms", rooms_meta(options));
    if (!links.codec.open("UTF-8")) {
        fprintf(stderr, _("chat_web: no converter between UTF-8 and Shift_JIS\n"));
        return exit_failure;
    }
    asio::io_context io(1);
    // Made after the io_context and so gone before it: the worker's last
    // results are posted to a loop that still exists.
    std::vector<std::unique_ptr<ArchiveWorker>> archives;
    for (size_t i = 0; i < options.rooms.size(); ++i)
        if (!set_up_room(io, options.rooms[i], links.rooms[i], archives))
            return exit_failure;
    tcp::acceptor acceptor(io);
    if (!open_acceptor(acceptor, options))
        return exit_failure;
    // The stop signals are caught before the line that says the gateway
    // serves: a stop right after it is an orderly one.
    asio::signal_set stop(io, SIGINT, SIGTERM);
    stop.async_wait([&](error_code, int) { io.stop(); });
    signal(SIGPIPE, SIG_IGN);
    say_serving(options, acceptor.local_endpoint());
    accept_next(acceptor, links);
    io.run();
    links.delays.report();
    return exit_stopped;
}

}  // namespace chat_web
