// chat_archive: keeps every record that the chat server's board ever holds
// in an SQLite database, for scroll-back and search. It reads chat.dat as
// the history readers do and takes no connection.
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <getopt.h>
#include <string>

#include "archive/keeper.hpp"
#include "i18n/i18n.hpp"
#include "i18n/sentence.hpp"
#include "terminal/interrupts.hpp"

namespace {

enum Exit { exit_ok = 0, exit_failed = 1, exit_usage = 2 };

const char *const usage_text = N_(
    "usage: chat_archive [--history FILE] --archive DATABASE [--keep-days N]\n"
    "\n"
    "Keep every record of the chat server's history file (default ./chat.dat) in\n"
    "the SQLite database DATABASE, created when it is missing or empty, for\n"
    "chat_history --archive and the gateway's scroll-back and search. The history\n"
    "is read ten times a second under the server's lock; no connection is taken.\n"
    "Runs until SIGINT or SIGTERM.\n"
    "\n"
    "options:\n"
    "      --history FILE   the server's history file\n"
    "      --archive DATABASE\n"
    "                       the archive\n"
    "      --keep-days N    delete records kept more than N days ago (default:\n"
    "                       keep everything)\n"
    "  -h, --help           this text\n"
    "  -V, --version        the version\n"
    "\n"
    "exit status: 0 stopped; 1 DATABASE is no chat archive, or cannot be opened\n"
    "or created; 2 bad arguments.\n");

// Ten years: more than any retention anybody means.
constexpr long max_keep_days = 3660;

[[noreturn]] void usage_error(const std::string &why)
{
    fprintf(stderr, _("chat_archive: %s\nTry 'chat_archive --help' for more.\n"), why.c_str());
    exit(exit_usage);
}

chat_archive::Options parse_options(int argc, char **argv)
{
    enum { history = 256, archive, keep_days };
    static const option longs[] = {
        {"history", required_argument, nullptr, history}, {"archive", required_argument, nullptr, archive},
        {"keep-days", required_argument, nullptr, keep_days}, {"help", no_argument, nullptr, 'h'},
        {"version", no_argument, nullptr, 'V'},          {nullptr, 0, nullptr, 0},
    };
    chat_archive::Options o;
    opterr = 0;
    int c;
    while ((c = getopt_long(argc, argv, ":hV", longs, nullptr)) != -1) {
        switch (c) {
        case history: o.history = optarg; break;
        case archive: o.archive = optarg; break;
        case keep_days: {
            char *end = nullptr;
            long days = strtol(optarg, &end, 10);
            if (*optarg == '\0' || *end != '\0' || days < 1 || days > max_keep_days)
                usage_error(chat::sentence(_("--keep-days takes a number of days from 1 to %ld"), max_keep_days));
            o.keep_days = static_cast<int>(days);
            break;
        }
        case 'h': fputs(_(usage_text), stdout); exit(exit_ok);
        case 'V': printf("chat_archive %s\n", CHAT_VERSION); exit(exit_ok);
        case ':': usage_error(chat::sentence(_("missing value after %s"), argv[optind - 1]));
        default:
            usage_error(optopt ? chat::sentence(_("unknown option -%c"), optopt)
                               : chat::sentence(_("unknown option %s"), argv[optind - 1]));
        }
    }
    if (optind < argc)
        usage_error(chat::sentence(_("unexpected argument %s"), argv[optind]));
    if (o.archive.empty())
        usage_error(_("--archive DATABASE is needed"));
    return o;
}

}  // namespace

int main(int argc, char **argv)
{
    setlocale(LC_ALL, "");
    bind_message_catalogues();
    chat_archive::Options options = parse_options(argc, argv);
    chat::archive::Writer::Refusal refusal;
    std::string why;
    auto writer = chat::archive::Writer::open(options.archive, &refusal, &why);
    if (!writer) {
        fprintf(stderr, "chat_archive: %s\n", why.c_str());
        return exit_failed;
    }
    chat::catch_interrupts();
    chat_archive::Keeper keeper(options, std::move(writer));
    return keeper.follow_board() == 0 ? exit_ok : exit_failed;
}
