// chat_client: a terminal client for the chat server. Interactive at a
// terminal; posts its standard input when that is not a terminal; prints
// every record with --listen.
#include <cerrno>
#include <clocale>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <getopt.h>
#include <iostream>
#include <netdb.h>
#include <optional>
#include <poll.h>
#include <readline/history.h>
#include <readline/readline.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include <langinfo.h>

#include "protocol/codec.hpp"
#include "protocol/colour.hpp"
#include "protocol/compose.hpp"
#include "protocol/reader.hpp"
#include "protocol/splitter.hpp"
#include "terminal/display.hpp"
#include "terminal/interrupts.hpp"

using chat::Codec;
using chat::Event;
using chat::Reader;
using chat::Style;
using chat::choose_style;
using chat::format_event;
using chat::format_note;
using chat::stable_colour;

namespace {

enum Exit {
    exit_ok = 0,
    exit_connection = 1,  // refused, lost, or no answer
    exit_usage = 2,
    exit_full = 3,        // the server already serves 20 clients
    exit_stopped = 4,     // the server was stopped
    exit_busy = 5,        // a post was refused as busy (scripts only)
};

// A printf format: the default port and the idle time-out come from the
// protocol's constants.
const char *const usage_format =
    "usage: chat_client [options] NAME\n"
    "\n"
    "Chat with the people on a chat server. At a terminal, type a line to post it;\n"
    "records from everybody appear above your prompt as they arrive. When standard\n"
    "input is not a terminal, every input line is posted and the client logs out at\n"
    "the end of the input:  echo \"backup done\" | chat_client backup\n"
    "\n"
    "options:\n"
    "  -H, --host HOST     the server's host (default 127.0.0.1)\n"
    "  -p, --port PORT     the server's port (default %u): decimal, 0x hex or\n"
    "                      0 octal, as the server reads it\n"
    "  -c, --colour R,G,B  your colour, three numbers from -99 to 999 (shown clamped\n"
    "                      to 0..255); by default a colour derived from NAME\n"
    "  -l, --listen        log in and print every record on standard output, one\n"
    "                      line each, until the server stops or you interrupt.\n"
    "                      Like any client it is logged out after %d s of\n"
    "                      silence; to keep a log, use chat_history --follow\n"
    "      --no-colour     no colour escapes (also when NO_COLOR is set, or when\n"
    "                      the output is not a terminal)\n"
    "      --raw           send and show bytes unchanged instead of converting\n"
    "                      between Shift_JIS and your locale's character set\n"
    "  -h, --help          this text\n"
    "\n"
    "commands at the prompt:\n"
    "  /reload             ask for new records now\n"
    "  /logout             log out and stay connected\n"
    "  /login [R,G,B] [NAME]  log in again, with another colour or name\n"
    "  /help               these commands\n"
    "  /quit               log out and leave (so do Ctrl-D and Ctrl-C)\n"
    "  //text              post a line that begins with /\n"
    "\n"
    "A message longer than one record holds is sent as several posts. Characters\n"
    "that Shift_JIS cannot hold are sent as \xe3\x80\x93 (you are told when).\n"
    "When the connection ends (a time-out, the server stopped), the client stays:\n"
    "the next line you type, or /login, connects and logs in again.\n"
    "\n"
    "exit status (scripts and --listen): 0 done; 1 cannot connect, or the\n"
    "connection was lost; 2 bad arguments; 3 the server is full; 4 the server was\n"
    "stopped; 5 a post did not land because the server was busy.\n";

std::string name_rule()
{
    return "the name must be at most " + std::to_string(name_max) +
           " bytes of Shift_JIS, without spaces";
}

struct Options {
    std::string host = "127.0.0.1";
    std::string port = std::to_string(default_port);
    std::string name;
    int colour[3] = {0, 0, 0};
    bool colour_given = false;
    bool listen = false;
    bool no_colour = false;
    bool raw = false;
};

volatile sig_atomic_t interrupted = 0;

void on_interrupt(int) { interrupted = 1; }

[[noreturn]] void die(Exit status, const std::string &message)
{
    rl_callback_handler_remove();
    fprintf(stderr, "chat_client: %s\n", message.c_str());
    exit(status);
}

// "R,G,B", "R G B", or nine digits run together as the server prints them.
bool parse_colour(const char *text, int colour[3])
{
    char tail;
    int n = sscanf(text, "%d%*[, ]%d%*[, ]%d%c", &colour[0], &colour[1], &colour[2], &tail);
    if (n != 3 && strlen(text) == colour_chars && strspn(text, "0123456789") == colour_chars)
        n = sscanf(text, "%3d%3d%3d", &colour[0], &colour[1], &colour[2]);
    if (n != 3)
        return false;
    for (int i = 0; i < 3; ++i)
        if (colour[i] < -99 || colour[i] > 999)
            return false;
    return true;
}

[[noreturn]] void usage_error(const std::string &why)
{
    fprintf(stderr, "chat_client: %s\nTry 'chat_client --help' for more.\n", why.c_str());
    exit(exit_usage);
}

Options parse_options(int argc, char **argv)
{
    enum { no_colour = 256, raw };
    static const option longs[] = {
        {"host", required_argument, nullptr, 'H'},   {"port", required_argument, nullptr, 'p'},
        {"colour", required_argument, nullptr, 'c'}, {"color", required_argument, nullptr, 'c'},
        {"listen", no_argument, nullptr, 'l'},       {"no-colour", no_argument, nullptr, no_colour},
        {"no-color", no_argument, nullptr, no_colour}, {"raw", no_argument, nullptr, raw},
        {"help", no_argument, nullptr, 'h'},         {nullptr, 0, nullptr, 0},
    };
    Options o;
    opterr = 0;
    int c;
    while ((c = getopt_long(argc, argv, "H:p:c:lh", longs, nullptr)) != -1) {
        switch (c) {
        case 'H': o.host = optarg; break;
        case 'p': {
            // Decimal, 0x hexadecimal or 0 octal, as the server reads it.
            char *end;
            errno = 0;
            unsigned long port = strtoul(optarg, &end, 0);
            if (*optarg == '\0' || *end != '\0' || errno != 0 || port < 1 || port > 65535 ||
                strchr(optarg, '-') != nullptr)
                usage_error(std::string("bad port '") + optarg +
                            "': a number from 1 to 65535 (decimal, 0x hexadecimal or 0 octal)");
            o.port = std::to_string(port);
            break;
        }
        case 'c':
            if (!parse_colour(optarg, o.colour))
                usage_error(std::string("bad colour '") + optarg +
                            "': three numbers from -99 to 999, such as 255,128,0");
            o.colour_given = true;
            break;
        case 'l': o.listen = true; break;
        case no_colour: o.no_colour = true; break;
        case raw: o.raw = true; break;
        case 'h': printf(usage_format, unsigned {default_port}, idle_seconds); exit(exit_ok);
        default:
            usage_error(optopt ? std::string("unknown or incomplete option -") + static_cast<char>(optopt)
                               : std::string("unknown option ") + argv[optind - 1]);
        }
    }
    if (optind != argc - 1)
        usage_error(optind == argc ? "a NAME is needed" : "only one NAME, please");
    o.name = argv[optind];
    return o;
}

// The connection, the reader of what the server says, and the user's
// login as the server knows it.
struct Session {
    int fd = -1;  // -1: not connected
    std::string host, port;
    Reader reader;
    Codec codec;
    Style style;
    std::string name;  // Shift_JIS, as sent
    int colour[3] = {0, 0, 0};
    bool logged_in = false;
    bool stopped_reply = false;
    // The last record was a time-out notice under our name and colour:
    // if the connection now closes, it was our own time-out.
    bool timeout_notice_seen = false;
    // Interactive: an ended connection is reported and the client stays.
    bool stays = false;
};

Session session;

void print_above_prompt(const std::string &text);

void note(const std::string &text)
{
    if (session.stays)
        print_above_prompt(format_note(text, session.style, time(nullptr)));
    else
        fprintf(stderr, "chat_client: %s\n", text.c_str());
}

// The connection has ended or could not be made. Scripts and --listen end
// with `status`; an interactive session says what happened and connects
// again when the user next types a line or /login.
void connection_ended(Exit status, const std::string &message)
{
    if (!session.stays)
        die(status, message);
    if (session.fd >= 0)
        close(session.fd);
    session.fd = -1;
    session.reader = Reader();
    session.logged_in = false;
    session.stopped_reply = false;
    session.timeout_notice_seen = false;
    note(message + "; type a line or /login to log in again");
}

// False when the connection is gone (and then reported).
bool send_bytes(const std::string &bytes)
{
    if (session.fd < 0)
        return false;
    const char *p = bytes.data();
    size_t left = bytes.size();
    while (left > 0) {
        ssize_t n = send(session.fd, p, left, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            connection_ended(exit_connection, "the connection to the server was lost");
            return false;
        }
        p += n;
        left -= static_cast<size_t>(n);
    }
    return true;
}

bool send_line(const std::string &line) { return send_bytes(line + "\r\n"); }

bool connect_to_server()
{
    addrinfo hints {};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *found = nullptr;
    int r = getaddrinfo(session.host.c_str(), session.port.c_str(), &hints, &found);
    if (r != 0) {
        connection_ended(exit_connection, "cannot find " + session.host + ": " + gai_strerror(r));
        return false;
    }
    int error = 0;
    for (addrinfo *a = found; a != nullptr && session.fd < 0; a = a->ai_next) {
        int fd = socket(a->ai_family, a->ai_socktype, a->ai_protocol);
        if (fd >= 0 && connect(fd, a->ai_addr, a->ai_addrlen) == 0) {
            session.fd = fd;
            break;
        }
        error = errno;
        if (fd >= 0)
            close(fd);
    }
    freeaddrinfo(found);
    if (session.fd < 0)
        connection_ended(exit_connection, "cannot connect to " + session.host + " port " +
                                              session.port + ": " + strerror(error));
    return session.fd >= 0;
}

std::string notice_text(const char *format)
{
    return chat::notice_record(format, session.colour, session.name);
}

// The server closed the connection: say why, as far as it can be told.
void connection_closed()
{
    if (session.stopped_reply)
        connection_ended(exit_stopped, "the server has stopped");
    else if (session.timeout_notice_seen)
        connection_ended(exit_connection, "timed out for staying silent");
    else
        connection_ended(exit_connection, "the server closed the connection");
}

// Waits up to `timeout_ms` (-1: for ever) for something to read on the
// connection or, when `watch_input`, on standard input. Returns the events
// read; sets *input_ready when standard input can be read.
std::vector<Event> wait_for_events(int timeout_ms, bool watch_input, bool *input_ready)
{
    pollfd fds[2] = {{0, POLLIN, 0}, {session.fd, POLLIN, 0}};
    std::vector<Event> events;
    if (input_ready)
        *input_ready = false;
    int count = session.fd >= 0 ? 2 : 1;
    pollfd *first = watch_input ? fds : fds + 1;
    if (!watch_input)
        --count;
    if (count == 0 || poll(first, static_cast<nfds_t>(count), timeout_ms) <= 0)
        return events;
    if (watch_input && (fds[0].revents & (POLLIN | POLLHUP)) && input_ready)
        *input_ready = true;
    if (session.fd >= 0 && (fds[1].revents & (POLLIN | POLLHUP | POLLERR))) {
        char buf[8192];
        ssize_t n = recv(session.fd, buf, sizeof buf, 0);
        if (n > 0)
            session.reader.feed(std::string_view(buf, static_cast<size_t>(n)));
        else if (!(n < 0 && errno == EINTR))
            connection_closed();
    }
    while (auto e = session.reader.next()) {
        if (e->kind == Event::record)
            session.timeout_notice_seen = e->text == notice_text(notice_timeout);
        events.push_back(*e);
    }
    return events;
}

// The replies that end a connection whatever the mode. True when `e` was
// one of them.
bool check_fatal(const Event &e)
{
    if (e.kind != Event::error)
        return false;
    if (e.body == chat::explanation(reply_full)) {
        connection_ended(exit_full, "the server is full (" + std::to_string(max_connections) +
                                        " clients are connected); try again later");
        return true;
    }
    if (e.body == chat::explanation(reply_server_stopped)) {
        session.stopped_reply = true;
        connection_closed();
        return true;
    }
    return false;
}

enum class Outcome { arrived, error, gone, timed_out };

// Waits for a record equal to `record` (for at most `seconds`, or while
// the connection lasts when -1); hands every event to `show` on the way.
// Stops at the first error reply, which is in *error when given.
template <class Show>
Outcome await_record(const std::string &record, int seconds, Show show, Event *error = nullptr)
{
    time_t end = time(nullptr) + seconds;
    while ((seconds < 0 || time(nullptr) <= end) && !interrupted) {
        for (const Event &e : wait_for_events(200, false, nullptr)) {
            if (check_fatal(e))
                return Outcome::gone;
            show(e);
            if (e.kind == Event::record && e.text == record)
                return Outcome::arrived;
            if (e.kind == Event::error) {
                if (error)
                    *error = e;
                return Outcome::error;
            }
        }
        if (session.fd < 0)
            return Outcome::gone;
    }
    return Outcome::timed_out;
}

bool is_busy(const Event &e) { return e.body == chat::explanation(reply_busy); }

// Connects when needed and logs in with the session's name and colour.
// A busy reply still logs in (only the notice was not posted).
template <class Show>
bool log_in(Show show)
{
    if (session.fd < 0 && !connect_to_server())
        return false;
    if (!send_bytes(chat::login_line(session.colour, session.name)))
        return false;
    Event error;
    Outcome o = await_record(notice_text(notice_login), -1, show, &error);
    if (o == Outcome::gone)
        return false;
    if (o != Outcome::arrived && !(o == Outcome::error && is_busy(error))) {
        if (!session.stays)
            die(exit_connection, "the server did not accept the login");
        note("the server did not accept the login");
        return false;
    }
    session.logged_in = true;
    return true;
}

template <class Show>
void log_out(Show show)
{
    if (!session.logged_in)
        return;
    session.logged_in = false;
    if (send_line("LGOT"))
        await_record(notice_text(notice_logout), 3, show);
}

// A name the server takes, and that says what the user typed.
bool acceptable_name(const std::string &wire, size_t replaced)
{
    return replaced == 0 && chat::valid_name(wire);
}

// The text in Shift_JIS; tells the user once when some characters had to
// become 〓.
std::string to_wire_told(const std::string &local_text)
{
    size_t replaced = 0;
    std::string wire = session.codec.to_wire(local_text, &replaced);
    if (replaced > 0)
        note(std::to_string(replaced) + (replaced == 1 ? " character" : " characters") +
             " with no Shift_JIS form sent as " + session.codec.to_local(chat::geta_mark));
    return wire;
}

// The pieces a message is posted in, each at most one record long.
std::vector<std::string> pieces_of(const std::string &local_text)
{
    return chat::split_message(to_wire_told(local_text), chat::body_limit(session.name));
}

std::string record_of(const std::string &piece)
{
    std::string record = chat::own_record(session.colour, session.name, piece + "\r\n");
    return record.substr(0, record.size() - 2);
}

// ---- the three modes ----

// An unknown command: its error reply marks the end of what the server
// sent before it.
const char *const probe_line = "PING";

// After a busy reply the post may have landed all the same (the unlock or
// the delivery failed): ask for what is new and look for it there.
bool landed_after_busy(const std::string &record)
{
    if (!send_line("RELD") || !send_line(probe_line))
        return false;
    bool found = false;
    auto look = [&](const Event &e) { found = found || (e.kind == Event::record && e.text == record); };
    Event error;
    Outcome o;
    while ((o = await_record("", -1, look, &error)) == Outcome::error && is_busy(error)) {
    }
    return found;
}

// Posts one piece and waits for the server's answer, however long its
// lock takes. True when the post landed.
bool post_confirmed(const std::string &piece)
{
    if (!send_line("SEND " + piece))
        return false;
    std::string record = record_of(piece);
    Event error;
    auto ignore = [](const Event &) {};
    Outcome o = await_record(record, -1, ignore, &error);
    if (o == Outcome::arrived)
        return true;
    return o == Outcome::error && is_busy(error) && landed_after_busy(record);
}

int run_script()
{
    log_in([](const Event &) {});
    std::string line;
    bool lost = false;
    while (!interrupted && std::getline(std::cin, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.empty())
            continue;
        for (const std::string &piece : pieces_of(line))
            if (!post_confirmed(piece) && !interrupted)
                lost = true;
    }
    log_out([](const Event &) {});
    if (lost)
        die(exit_busy, "a post did not land because the server was busy");
    return exit_ok;
}

int run_listen(Style style)
{
    style.date = true;
    auto print = [&](const Event &e) {
        printf("%s\n", format_event(e, style, session.codec, time(nullptr)).c_str());
        fflush(stdout);
    };
    log_in(print);
    while (!interrupted)
        for (const Event &e : wait_for_events(-1, false, nullptr)) {
            check_fatal(e);
            print(e);
        }
    log_out(print);
    return exit_ok;
}

std::string prompt;
bool handling_line = false;  // inside on_typed_line: no prompt is shown

// Prints a line above the prompt and puts the prompt and the half-typed
// line back under it.
void print_above_prompt(const std::string &text)
{
    if (handling_line) {  // the cursor is already on a fresh line
        printf("%s\n", text.c_str());
        return;
    }
    char *saved = rl_copy_text(0, rl_end);
    int point = rl_point;
    rl_set_prompt("");
    rl_replace_line("", 0);
    rl_redisplay();
    printf("%s\n", text.c_str());
    rl_set_prompt(prompt.c_str());
    rl_replace_line(saved, 0);
    rl_point = point;
    rl_redisplay();
    free(saved);
}

void show_interactive(const Event &e)
{
    print_above_prompt(format_event(e, session.style, session.codec, time(nullptr)));
}

// The prompt is the name in use.
void update_prompt()
{
    prompt = session.codec.to_local(session.name) + "> ";
    rl_set_prompt(prompt.c_str());
}

bool quit_requested = false;

// "/login [R,G,B] [NAME]": a new colour or name, then a login (connecting
// first when the connection has ended).
void command_login(const std::string &rest)
{
    char word[256];
    const char *p = rest.c_str();
    int used;
    int colour[3];
    std::copy(session.colour, session.colour + 3, colour);
    std::string name = session.name;
    while (sscanf(p, "%255s%n", word, &used) == 1) {
        p += used;
        if (parse_colour(word, colour))
            continue;
        size_t replaced = 0;
        name = session.codec.to_wire(word, &replaced);
        if (!acceptable_name(name, replaced)) {
            note(name_rule());
            return;
        }
    }
    std::copy(colour, colour + 3, session.colour);
    session.name = name;
    if (log_in(show_interactive))
        update_prompt();
}

void interactive_command(const std::string &line)
{
    std::string command = line.substr(0, line.find(' '));
    std::string rest = line.size() > command.size() ? line.substr(command.size() + 1) : "";
    if (command == "/quit") {
        quit_requested = true;
    } else if (command == "/reload") {
        if (!send_line("RELD"))
            note("not connected; type a line or /login to log in again");
    } else if (command == "/logout") {
        log_out(show_interactive);
    } else if (command == "/login" && session.logged_in) {
        note("already logged in; /logout first");
    } else if (command == "/login") {
        command_login(rest);
    } else if (command == "/help") {
        print_above_prompt("/reload  /logout  /login [R,G,B] [NAME]  /quit  (//text posts /text)");
    } else {
        note("unknown command " + command + "; /help lists them");
    }
}

// Posts a typed line; after a lost connection, connects and logs in
// again first.
void post_typed(const std::string &text)
{
    if (!session.logged_in && session.fd >= 0) {  // logged out on purpose
        note("not logged in; /login logs in again");
        return;
    }
    if (!session.logged_in && !log_in(show_interactive))
        return;
    for (const std::string &piece : pieces_of(text))
        if (!send_line("SEND " + piece))
            return;
}

void on_typed_line(char *typed)
{
    if (typed == nullptr) {  // Ctrl-D
        quit_requested = true;
        return;
    }
    std::string line = typed;
    free(typed);
    if (line.empty())
        return;
    add_history(line.c_str());
    // Readline has moved to a new line but still holds the accepted text;
    // what a command prints now goes out plainly, and the prompt comes
    // back, empty, once this returns.
    rl_replace_line("", 0);
    handling_line = true;
    if (line[0] == '/' && line.compare(0, 2, "//") != 0)
        interactive_command(line);
    else
        post_typed(line[0] == '/' ? line.substr(1) : line);
    handling_line = false;
}

int run_interactive()
{
    log_in(show_interactive);  // a first login that fails ends the client
    session.stays = true;
    prompt = session.codec.to_local(session.name) + "> ";
    rl_catch_signals = 0;
    rl_callback_handler_install(prompt.c_str(), on_typed_line);
    while (!quit_requested && !interrupted) {
        bool input_ready;
        for (const Event &e : wait_for_events(-1, true, &input_ready))
            if (!check_fatal(e))
                show_interactive(e);
        if (input_ready)
            rl_callback_read_char();
    }
    log_out(show_interactive);
    rl_callback_handler_remove();
    printf("\n");
    return exit_ok;
}

}  // namespace

int main(int argc, char **argv)
{
    setlocale(LC_ALL, "");
    Options options = parse_options(argc, argv);
    if (options.raw)
        session.codec.open_raw();
    else if (!session.codec.open(nl_langinfo(CODESET)))
        usage_error("this locale's character set cannot be converted to Shift_JIS; try --raw");
    size_t replaced = 0;
    session.name = session.codec.to_wire(options.name, &replaced);
    if (!acceptable_name(session.name, replaced))
        usage_error(name_rule());
    if (options.colour_given)
        std::copy(options.colour, options.colour + 3, session.colour);
    else
        stable_colour(options.name, session.colour);
    chat::catch_interrupts(on_interrupt);
    signal(SIGPIPE, SIG_IGN);
    bool interactive = !options.listen && isatty(0);
    session.style = choose_style(1, options.no_colour);
    session.host = options.host;
    session.port = options.port;
    connect_to_server();
    if (options.listen)
        return run_listen(session.style);
    if (interactive)
        return run_interactive();
    return run_script();
}
