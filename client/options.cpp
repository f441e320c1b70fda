// The command line of chat_client: getopt_long over the options, and the
// colour and name rules shared with /login.
#include "options.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <getopt.h>

#include "exit.hpp"
#include "i18n/i18n.hpp"
#include "i18n/sentence.hpp"
#include "wire/compose.hpp"

namespace chat_client {

namespace {

// A printf format: the default port and the idle time-out come from the
// protocol's constants.
// xgettext:c-format
const char *const usage_format = N_(
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
    "  -V, --version       the version\n"
    "\n"
    "commands at the prompt:\n"
    "  /reload             ask for new records now (so does Enter on an empty line,\n"
    "                      which keeps you logged in)\n"
    "  /logout             log out and stay connected\n"
    "  /login [R,G,B] [NAME]  log in again, with another colour or name\n"
    "  /nick NAME          log out and in again under another name\n"
    "  /me ACTION          post an action: /me waves shows as * NAME waves\n"
    "  /help               these commands\n"
    "  /quit               log out and leave (so do Ctrl-D and Ctrl-C)\n"
    "  //text              post a line that begins with /\n"
    "Tab completes the names of the people seen.\n"
    "\n"
    "A line you post stays dimmed above the prompt until the server sends it back.\n"
    "A message longer than one record holds is sent as several posts, cut at a\n"
    "space or punctuation mark. Emoji are sent as short codes such as\n"
    ":party_popper:, shown as the emoji in a UTF-8 locale; other characters that\n"
    "Shift_JIS cannot hold are sent as \xe3\x80\x93 (you are told when). A minute\n"
    "before the server would log you out for staying silent, the client says so.\n"
    "When the connection ends (a time-out, the server stopped), the client stays:\n"
    "the next line you type, or /login, connects and logs in again.\n"
    "\n"
    "exit status (scripts and --listen): 0 done; 1 cannot connect, or the\n"
    "connection was lost; 2 bad arguments; 3 the server is full; 4 the server was\n"
    "stopped; 5 a post did not land because the server was busy.\n");

}  // namespace

std::string name_problem(const std::string &wire, size_t replaced, const chat::Codec &codec)
{
    if (replaced == 0 && chat::reserved_name(wire))
        return chat::sentence(_("the name %s is reserved for the server's notices"),
                        codec.to_local(system_sender).c_str());
    if (replaced == 0 && chat::valid_name(wire))
        return "";
    return chat::sentence(_("the name must be at most %d bytes of Shift_JIS, without spaces"), name_max);
}

std::string colour_refusal(const std::string &text)
{
    return chat::sentence(_("bad colour '%s': three numbers from -99 to 999, such as 255,128,0"), text.c_str());
}

bool parse_colour(const char *text, int colour[3])
{
    int read[3];
    char tail;
    int n = sscanf(text, "%d%*[, ]%d%*[, ]%d%c", &read[0], &read[1], &read[2], &tail);
    if (n != 3 && strlen(text) == colour_chars && strspn(text, "0123456789") == colour_chars)
        n = sscanf(text, "%3d%3d%3d", &read[0], &read[1], &read[2]);
    if (n != 3)
        return false;
    for (int i = 0; i < 3; ++i)
        if (read[i] < -99 || read[i] > 999)
            return false;
    std::copy(read, read + 3, colour);  // only a whole colour replaces the one in use
    return true;
}

[[noreturn]] void usage_error(const std::string &why)
{
    fprintf(stderr, _("chat_client: %s\nTry 'chat_client --help' for more.\n"), why.c_str());
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
        {"help", no_argument, nullptr, 'h'},         {"version", no_argument, nullptr, 'V'},
        {nullptr, 0, nullptr, 0},
    };
    Options o;
    opterr = 0;
    int c;
    while ((c = getopt_long(argc, argv, "H:p:c:lhV", longs, nullptr)) != -1) {
        switch (c) {
        case 'H': o.host = optarg; break;
        case 'p': {
            // Decimal, 0x hexadecimal or 0 octal, as the server reads it.
            char *end;
            errno = 0;
            unsigned long port = strtoul(optarg, &end, 0);
            if (*optarg == '\0' || *end != '\0' || errno != 0 || port < 1 || port > 65535 ||
                strchr(optarg, '-') != nullptr)
                usage_error(chat::sentence(
                    _("bad port '%s': a number from 1 to 65535 (decimal, 0x hexadecimal or 0 octal)"), optarg));
            o.port = std::to_string(port);
            break;
        }
        case 'c':
            if (!parse_colour(optarg, o.colour))
                usage_error(colour_refusal(optarg));
            o.colour_given = true;
            break;
        case 'l': o.listen = true; break;
        case no_colour: o.no_colour = true; break;
        case raw: o.raw = true; break;
        case 'h': printf(_(usage_format), unsigned {default_port}, idle_seconds); exit(exit_ok);
        case 'V': printf("chat_client %s\n", CHAT_VERSION); exit(exit_ok);
        default:
            usage_error(optopt ? chat::sentence(_("unknown or incomplete option -%c"), optopt)
                               : chat::sentence(_("unknown option %s"), argv[optind - 1]));
        }
    }
    if (optind != argc - 1)
        usage_error(optind == argc ? _("a NAME is needed") : _("only one NAME, please"));
    o.name = argv[optind];
    return o;
}

}  // namespace chat_client
