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

#include "text.hpp"
#include <langinfo.h>

using namespace chat_client;
using chat::Reader;

namespace {

enum Exit {
    exit_ok = 0,
    exit_connection = 1,  // refused, lost, or no answer
    exit_usage = 2,
    exit_full = 3,        // the server already serves 20 clients
    exit_stopped = 4,     // the server was stopped
    exit_busy = 5,        // a post was refused as busy (scripts only)
};

const char *const usage_text =
    "usage: chat_client [options] NAME\n"
    "\n"
    "Chat with the people on a chat server. At a terminal, type a line to post it;\n"
    "records from everybody appear above your prompt as they arrive. When standard\n"
    "input is not a terminal, every input line is posted and the client logs out at\n"
    "the end of the input:  echo \"backup done\" | chat_client backup\n"
    "\n"
    "options:\n"
    "  -H, --host HOST     the server's host (default 127.0.0.1)\n"
    "  -p, --port PORT     the server's port (default 12345)\n"
    "  -c, --colour R,G,B  your colour, three numbers from -99 to 999 (shown clamped\n"
    "                      to 0..255); by default a colour derived from NAME\n"
    "  -l, --listen        log in and print every record on standard output, one\n"
    "                      line each, until the server stops or you interrupt\n"
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
    "A message longer than one record holds is sent as several posts.\n"
    "\n"
    "exit status: 0 done; 1 cannot connect, or the connection was lost; 2 bad\n"
    "arguments; 3 the server is full; 4 the server was stopped; 5 a post was\n"
    "refused because the server was busy.\n";

struct Options {
    std::string host = "127.0.0.1";
    std::string port = "12345";
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
    if (n != 3 && strlen(text) == 9 && strspn(text, "0123456789") == 9)
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
            char *end;
            long port = strtol(optarg, &end, 10);
            if (*optarg == '\0' || *end != '\0' || port < 1 || port > 65535)
                usage_error(std::string("bad port '") + optarg + "': a number from 1 to 65535");
            o.port = optarg;
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
        case 'h': fputs(usage_text, stdout); exit(exit_ok);
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
    int fd = -1;
    Reader reader;
    Codec codec;
    Style style;
    std::string name;  // Shift_JIS, as sent
    int colour[3] = {0, 0, 0};
    bool logged_in = false;
    bool stopped_reply = false;
};

Session session;

void send_line(const std::string &line)
{
    std::string bytes = line + "\r\n";
    const char *p = bytes.data();
    size_t left = bytes.size();
    while (left > 0) {
        ssize_t n = send(session.fd, p, left, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            die(exit_connection, "the connection to the server was lost");
        p += n;
        left -= static_cast<size_t>(n);
    }
}

void connect_to(const std::string &host, const std::string &port)
{
    addrinfo hints {};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *found = nullptr;
    int r = getaddrinfo(host.c_str(), port.c_str(), &hints, &found);
    if (r != 0)
        die(exit_connection, "cannot find " + host + ": " + gai_strerror(r));
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
        die(exit_connection, "cannot connect to " + host + " port " + port + ": " + strerror(error));
}

// Waits up to `timeout_ms` (-1: for ever) for something to read on the
// connection or, when `watch_input`, on standard input. Returns the events
// read; sets *input_ready when standard input can be read. Ends the
// program when the server closes the connection.
std::vector<Event> wait_for_events(int timeout_ms, bool watch_input, bool *input_ready)
{
    pollfd fds[2] = {{session.fd, POLLIN, 0}, {0, POLLIN, 0}};
    std::vector<Event> events;
    if (input_ready)
        *input_ready = false;
    int r = poll(fds, watch_input ? 2 : 1, timeout_ms);
    if (r <= 0)
        return events;
    if (watch_input && (fds[1].revents & (POLLIN | POLLHUP)) && input_ready)
        *input_ready = true;
    if (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) {
        char buf[8192];
        ssize_t n = recv(session.fd, buf, sizeof buf, 0);
        if (n <= 0 && !(n < 0 && errno == EINTR)) {
            if (session.stopped_reply)
                die(exit_stopped, "the server has stopped");
            die(exit_connection, "the server closed the connection");
        }
        if (n > 0)
            session.reader.feed(std::string_view(buf, static_cast<size_t>(n)));
    }
    while (auto e = session.reader.next())
        events.push_back(*e);
    return events;
}

// Ends the program on the replies that end a session whatever the mode.
void check_fatal(const Event &e)
{
    if (e.kind != Event::error)
        return;
    if (e.body == chat::explanation(reply_full))
        die(exit_full, "the server is full (20 clients are connected); try again later");
    if (e.body == chat::explanation(reply_server_stopped)) {
        session.stopped_reply = true;
        die(exit_stopped, "the server has stopped");
    }
}

std::string notice_text(const char *format)
{
    return chat::notice_record(format, session.colour, session.name);
}

// Waits (bounded) for a record equal to `record`; hands every event to
// `show` on the way. False on time-out or an error reply (busy, mostly).
template <class Show>
bool await_record(const std::string &record, int seconds, Show show)
{
    time_t end = time(nullptr) + seconds;
    while (time(nullptr) <= end && !interrupted) {
        for (const Event &e : wait_for_events(200, false, nullptr)) {
            check_fatal(e);
            show(e);
            if (e.kind == Event::record && e.text == record)
                return true;
            if (e.kind == Event::error)
                return false;
        }
    }
    return false;
}

template <class Show>
void log_in(Show show)
{
    char line[128];
    snprintf(line, sizeof line, "LGIN %d %d %d ", session.colour[0], session.colour[1],
             session.colour[2]);
    send_line(line + session.name);
    if (!await_record(notice_text(notice_login), 10, show))
        die(exit_connection, "the server did not accept the login");
    session.logged_in = true;
}

template <class Show>
void log_out(Show show)
{
    if (!session.logged_in)
        return;
    send_line("LGOT");
    session.logged_in = false;
    await_record(notice_text(notice_logout), 3, show);
}

// Posts a message, in as many pieces as it needs; each piece's record is
// what await_record looks for. Returns the last piece's record.
std::string post(const std::string &local_text)
{
    std::string wire = session.codec.to_wire(local_text);
    std::string last;
    for (const std::string &piece : chat::split_message(wire, chat::body_limit(session.name))) {
        send_line("SEND " + piece);
        last = chat::own_record(session.colour, session.name, piece + "\r\n");
    }
    return last.substr(0, last.size() - 2);
}

// ---- the three modes ----

int run_script(const Style &style)
{
    auto show_errors = [&](const Event &e) {
        if (e.kind == Event::error)
            fprintf(stderr, "%s\n", format_event(e, style, session.codec, time(nullptr)).c_str());
    };
    log_in(show_errors);
    std::string line;
    bool refused = false;
    while (!interrupted && std::getline(std::cin, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.empty())
            continue;
        if (!await_record(post(line), 10, show_errors))
            refused = true;
    }
    log_out(show_errors);
    if (refused)
        die(exit_busy, "a post was not accepted by the server");
    return exit_ok;
}

int run_listen(const Style &style)
{
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

bool quit_requested = false;

void interactive_command(const std::string &line)
{
    std::string command = line.substr(0, line.find(' '));
    std::string rest = line.size() > command.size() ? line.substr(command.size() + 1) : "";
    if (command == "/quit") {
        quit_requested = true;
    } else if (command == "/reload") {
        send_line("RELD");
    } else if (command == "/logout") {
        log_out(show_interactive);
    } else if (command == "/login" && session.logged_in) {
        print_above_prompt(format_note("already logged in; /logout first", session.style,
                                       time(nullptr)));
    } else if (command == "/login") {
        char word[256];
        const char *p = rest.c_str();
        int used;
        while (sscanf(p, "%255s%n", word, &used) == 1) {
            int colour[3];
            if (parse_colour(word, colour))
                std::copy(colour, colour + 3, session.colour);
            else
                session.name = session.codec.to_wire(word).substr(0, name_max);
            p += used;
        }
        log_in(show_interactive);
    } else if (command == "/help") {
        print_above_prompt("/reload  /logout  /login [R,G,B] [NAME]  /quit  (//text posts /text)");
    } else {
        print_above_prompt(format_note("unknown command " + command + "; /help lists them",
                                       session.style, time(nullptr)));
    }
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
    else if (!session.logged_in)
        print_above_prompt(format_note("not logged in; /login logs in again", session.style,
                                       time(nullptr)));
    else
        post(line[0] == '/' ? line.substr(1) : line);
    handling_line = false;
}

int run_interactive()
{
    log_in(show_interactive);
    prompt = session.codec.to_local(session.name) + "> ";
    rl_catch_signals = 0;
    rl_callback_handler_install(prompt.c_str(), on_typed_line);
    while (!quit_requested && !interrupted) {
        bool input_ready;
        for (const Event &e : wait_for_events(-1, true, &input_ready)) {
            check_fatal(e);
            show_interactive(e);
        }
        if (input_ready)
            rl_callback_read_char();
    }
    log_out(show_interactive);
    rl_callback_handler_remove();
    printf("\n");
    return exit_ok;
}

void install_interrupts()
{
    struct sigaction action {};
    action.sa_handler = on_interrupt;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);
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
    session.name = session.codec.to_wire(options.name);
    if (session.name.size() > name_max || session.name.find_first_of(" \t\r\n\v\f") != std::string::npos ||
        (session.name.find('?') != std::string::npos && options.name.find('?') == std::string::npos))
        usage_error("the name must be at most 30 bytes of Shift_JIS, without spaces");
    if (options.colour_given)
        std::copy(options.colour, options.colour + 3, session.colour);
    else
        stable_colour(options.name, session.colour);
    install_interrupts();
    bool interactive = !options.listen && isatty(0);
    session.style = choose_style(1, options.no_colour);
    connect_to(options.host, options.port);
    if (options.listen)
        return run_listen(session.style);
    if (interactive)
        return run_interactive();
    return run_script(choose_style(2, options.no_colour));
}
