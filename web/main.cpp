// chat_web: the command line, read through a table of its options; the
// start-up is in gateway.cpp.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "admission.hpp"
#include "gateway.hpp"
#include "i18n/i18n.hpp"
#include "i18n/sentence.hpp"
#include "rooms.hpp"

using namespace chat_web;

namespace {

const char *const usage_text = N_(
    "usage: chat_web [--listen [ADDR:]PORT] [--server HOST:PORT] [--history FILE]\n"
    "                [--archive DATABASE]\n"
    "       chat_web [--listen [ADDR:]PORT] --room NAME=HOST:PORT[,OPTION]...\n"
    "       chat_web [--listen [ADDR:]PORT] --rooms FILE\n"
    "                [--allow-host NAME]... [--allow-origin ORIGIN]...\n"
    "                [--trusted-proxy ADDR[/BITS]]... [--name-header HEADER]\n"
    "                [--rate-limit COUNT] [--max-pages COUNT] [--max-per-address COUNT]\n"
    "                [--max-detached-per-address COUNT] [--ipv6-prefix BITS]\n"
    "                [--resume-seconds SECONDS] [--idle-seconds SECONDS]\n"
    "                [--title TEXT] [--show-before-login] [--help] [--version]\n"
    "Serves the chat page at / and connects each logged-in browser to the chat server.\n"
    "  --listen [ADDR:]PORT     where the page is served (0.0.0.0:8080)\n"
    "  --server HOST:PORT       the chat server (127.0.0.1:12345)\n"
    "  --history FILE           the server's chat.dat: show its records at login\n"
    "  --archive DATABASE       chat_archive's database: scroll-back and search in\n"
    "                           the page, and records the board dropped sent in\n"
    "                           their place\n"
    "  --room NAME=HOST:PORT[,history=FILE][,archive=FILE][,title=TEXT]\n"
    "                           a room, with a chat server of its own; repeat it for\n"
    "                           each room (the first is the one / opens); NAME is\n"
    "                           letters, digits, - and _; TITLE holds no comma\n"
    "  --rooms FILE             the rooms, one per line: NAME HOST:PORT\n"
    "                           [history=FILE] [archive=FILE] [title=TEXT]; title=\n"
    "                           takes the rest of the line, # starts a comment\n"
    "  --allow-host NAME        also answer requests for NAME, e.g. chat.example.org\n"
    "  --allow-origin ORIGIN    also accept pages from ORIGIN, e.g. https://chat.example.org\n"
    "  --trusted-proxy ADDR[/BITS]\n"
    "                           a reverse proxy, or a range of them; X-Forwarded-For\n"
    "                           names their clients\n"
    "  --name-header HEADER     the header in which a trusted proxy names the user it\n"
    "                           signed in, e.g. X-Remote-User: that user's only name\n"
    "  --rate-limit COUNT       posts a session may send per 10 seconds (20)\n"
    "  --max-pages COUNT        open pages at once, logged in or not (200)\n"
    "  --max-per-address COUNT  open connections from one client address (20)\n"
    "  --max-detached-per-address COUNT\n"
    "                           sessions of a room from one client address that wait\n"
    "                           for their page to come back (3); one more ends the oldest\n"
    "  --ipv6-prefix BITS       IPv6 clients are counted by their first BITS bits (64)\n"
    "  --resume-seconds SECONDS how long a session waits for its page to come back\n"
    "                           after a reload or a lost connection (30; 0: not at all)\n"
    "  --idle-seconds SECONDS   the chat server's idle time-out; the page is warned\n"
    "                           before it (300)\n"
    "  --title TEXT             the page's title (\"Chat on\" and the host name the\n"
    "                           browser used)\n"
    "  --show-before-login      with --history: show its records before the login\n"
    "                           (anyone who opens the page reads them)\n"
    "Exit status: 0 stopped by SIGINT or SIGTERM, 1 cannot listen or find a server,\n"
    "history= or archive= for a room on another host, or --name-header without\n"
    "--trusted-proxy, 2 bad arguments.\n");

int usage_error(const std::string &why)
{
    fprintf(stderr, _("chat_web: %s\nTry 'chat_web --help'.\n"), why.c_str());
    return exit_usage;
}

bool valid_origin(const std::string &origin)
{
    return (origin.starts_with("http://") || origin.starts_with("https://")) &&
           origin.find_first_of(" \t\r\n") == std::string::npos;
}

bool valid_host_name(const std::string &name)
{
    return !name.empty() && name.size() <= 253 &&
           name.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789.-_") ==
               std::string::npos;
}

// A header's name: letters, digits and the few marks a token may hold.
bool valid_header_name(const std::string &name)
{
    return !name.empty() && name.size() <= 100 &&
           name.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789-_!#$%&'*+.^`|~") ==
               std::string::npos;
}

// A count from 1 to 65535 for a --rate-limit, --max-pages or the like.
std::string take_count(const std::string &option, const std::string &value, int &into)
{
    unsigned short count = 0;
    if (!parse_u16(value, count) || count == 0)
        return chat::sentence(_("%s wants a count from 1 to 65535, not '%s'"), option.c_str(), value.c_str());
    into = count;
    return "";
}

std::string take_seconds(const std::string &option, const std::string &value, int &into, bool zero_allowed)
{
    unsigned short seconds = 0;
    if (!parse_u16(value, seconds) || (seconds == 0 && !zero_allowed))
        return chat::sentence(_("%s wants seconds from %d to 65535, not '%s'"), option.c_str(), zero_allowed ? 0 : 1,
                              value.c_str());
    into = seconds;
    return "";
}

// A --rooms file: a few lines, read whole; false with errno set when it
// cannot be read.
bool read_small_file(const std::string &path, std::string &text)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        if (errno == 0)
            errno = ENOENT;
        return false;
    }
    std::ostringstream all;
    all << in.rdbuf();
    if (in.bad()) {
        errno = EIO;
        return false;
    }
    text = all.str();
    return true;
}

// The rooms the command line names; "" when they will do. --server,
// --history and --archive make the one room of a gateway without rooms.
std::string settle_rooms(Options &options, bool one_room_options)
{
    if (!options.rooms.empty()) {
        if (one_room_options)
            return _("--server, --history and --archive are for a gateway of one room; with --room or --rooms, "
                     "give each room's server, history= and archive= there");
        return "";
    }
    options.rooms.push_back(
        {std::string(main_room), options.server_host, options.server_port, options.history, options.archive, ""});
    return "";
}

bool any_history(const Options &options)
{
    for (const Room &room : options.rooms)
        if (!room.history.empty())
            return true;
    return false;
}

// Every option that takes a value: what it does with the value, and why
// it will not do (empty when it does).
struct ValueOption {
    const char *name;
    std::string (*take)(const std::string &option, const std::string &value, Options &o);
};

const ValueOption value_options[] = {
    {"--listen", [](const std::string &, const std::string &v, Options &o) -> std::string {
         if (parse_endpoint(v, o.listen_address, o.listen_port, false))
             return "";
         return chat::sentence(_("--listen wants [ADDR:]PORT with PORT from 0 to 65535, not '%s'"), v.c_str());
     }},
    {"--server", [](const std::string &, const std::string &v, Options &o) -> std::string {
         if (parse_endpoint(v, o.server_host, o.server_port, true) && o.server_port != 0)
             return "";
         return chat::sentence(_("--server wants HOST:PORT with PORT from 1 to 65535, not '%s'"), v.c_str());
     }},
    {"--history", [](const std::string &, const std::string &v, Options &o) -> std::string {
         if (v.empty())
             return _("--history wants a file name");
         o.history = v;
         return "";
     }},
    {"--archive", [](const std::string &, const std::string &v, Options &o) -> std::string {
         if (v.empty())
             return _("--archive wants a database file name");
         o.archive = v;
         return "";
     }},
    {"--room", [](const std::string &, const std::string &v, Options &o) {
         return add_room_option(v, o.rooms);
     }},
    {"--rooms", [](const std::string &, const std::string &v, Options &o) -> std::string {
         std::string text;
         if (!read_small_file(v, text))
             return chat::sentence(_("--rooms: cannot read %s: %s"), v.c_str(), strerror(errno));
         std::string problem = add_rooms_file(v, text, o.rooms);
         if (problem.empty() && o.rooms.empty())
             return chat::sentence(_("--rooms: %s names no room"), v.c_str());
         return problem.empty() ? "" : "--rooms: " + problem;
     }},
    {"--allow-origin", [](const std::string &, const std::string &v, Options &o) -> std::string {
         if (!valid_origin(v))
             return chat::sentence(_("--allow-origin wants an origin such as https://chat.example.org, not '%s'"),
                                   v.c_str());
         o.allow_origins.push_back(v);
         return "";
     }},
    {"--allow-host", [](const std::string &, const std::string &v, Options &o) -> std::string {
         if (!valid_host_name(v))
             return chat::sentence(_("--allow-host wants a host name such as chat.example.org, not '%s'"), v.c_str());
         o.allow_hosts.push_back(v);
         return "";
     }},
    {"--trusted-proxy", [](const std::string &, const std::string &v, Options &o) -> std::string {
         auto range = AddressRange::parse(v);
         if (!range)
             return chat::sentence(
                 _("--trusted-proxy wants an IP address or range such as 127.0.0.1 or 10.0.0.0/8, not '%s'"),
                 v.c_str());
         o.trusted_proxies.push_back(*range);
         return "";
     }},
    {"--name-header", [](const std::string &, const std::string &v, Options &o) -> std::string {
         if (!valid_header_name(v))
             return chat::sentence(_("--name-header wants a header name such as X-Remote-User, not '%s'"), v.c_str());
         o.name_header = v;
         return "";
     }},
    {"--max-detached-per-address", [](const std::string &a, const std::string &v, Options &o) {
         return take_count(a, v, o.limits.detached_per_address_max);
     }},
    {"--ipv6-prefix", [](const std::string &, const std::string &v, Options &o) -> std::string {
         unsigned short bits = 0;
         if (!parse_u16(v, bits) || bits < 1 || bits > 128)
             return chat::sentence(_("--ipv6-prefix wants a number of bits from 1 to 128, not '%s'"), v.c_str());
         o.ipv6_prefix = bits;
         return "";
     }},
    {"--rate-limit", [](const std::string &a, const std::string &v, Options &o) {
         return take_count(a, v, o.limits.rate_count);
     }},
    {"--max-pages", [](const std::string &a, const std::string &v, Options &o) {
         return take_count(a, v, o.limits.sessions_max);
     }},
    {"--max-per-address", [](const std::string &a, const std::string &v, Options &o) {
         return take_count(a, v, o.limits.per_address_max);
     }},
    {"--resume-seconds", [](const std::string &a, const std::string &v, Options &o) {
         return take_seconds(a, v, o.limits.resume_seconds, true);
     }},
    {"--idle-seconds", [](const std::string &a, const std::string &v, Options &o) {
         return take_seconds(a, v, o.limits.idle_seconds, false);
     }},
    {"--title", [](const std::string &, const std::string &v, Options &o) -> std::string {
         if (!valid_title(v))
             return chat::sentence(_("--title wants a text of 1 to %zu bytes without control characters"), title_max);
         o.title = v;
         return "";
     }},
};

const ValueOption *find_option(const std::string &name)
{
    for (const auto &option : value_options)
        if (name == option.name)
            return &option;
    return nullptr;
}

}  // namespace

int main(int argc, char **argv)
{
    use_locale_for_messages_only();
    Options options;
    bool one_room_options = false;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--help" || a == "-h") {
            fputs(_(usage_text), stdout);
            return 0;
        }
        if (a == "--version") {
            printf("chat_web %s\n", CHAT_VERSION);
            return 0;
        }
        if (a == "--show-before-login") {
            options.limits.show_before_login = true;
            continue;
        }
        const ValueOption *option = find_option(a);
        if (!option)
            return usage_error(chat::sentence(_("unknown option %s"), a.c_str()));
        if (i + 1 >= argc)
            return usage_error(chat::sentence(_("missing value after %s"), a.c_str()));
        one_room_options |= a == "--server" || a == "--history" || a == "--archive";
        std::string problem = option->take(a, argv[++i], options);
        if (!problem.empty())
            return usage_error(problem);
    }
    if (std::string problem = settle_rooms(options, one_room_options); !problem.empty())
        return usage_error(problem);
    if (options.limits.show_before_login && !any_history(options))
        return usage_error(_("--show-before-login wants --history FILE, or a room with history="));
    // Only a proxy can vouch for a name: without one, anybody who reaches
    // the port could send the header.
    if (!options.name_header.empty() && options.trusted_proxies.empty()) {
        fprintf(stderr, _("chat_web: --name-header needs a --trusted-proxy: only a proxy that signs users in may "
                          "name them\n"));
        return exit_failure;
    }
    return run_gateway(options);
}
