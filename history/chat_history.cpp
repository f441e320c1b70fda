// chat_history: prints the chat's history file, read-only and without a
// connection; with --follow keeps printing new records as they are posted.
#include <cerrno>
#include <clocale>
#include <cstdio>
#include <ctime>
#include <getopt.h>
#include <langinfo.h>
#include <string>
#include <unistd.h>
#include <vector>

#include "history/archive_view.hpp"
#include "i18n/i18n.hpp"
#include "i18n/sentence.hpp"
#include "wire/history_file.hpp"
#include "json/json.hpp"
#include "terminal/display.hpp"
#include "terminal/interrupts.hpp"

namespace {

enum Exit { exit_ok = 0, exit_failed = 1, exit_usage = 2 };

const char *const usage_text = N_(
    "usage: chat_history [options] [FILE]\n"
    "       chat_history [options] --archive DATABASE [--since TIME] [--until TIME]\n"
    "                    [--search TEXT] [--limit N]\n"
    "\n"
    "Print the chat's history file (default ./chat.dat), oldest record first, one\n"
    "line each: the local date and time it was posted, the sender and the text.\n"
    "The file is only read, under the same lock the server takes; no connection\n"
    "and no place on the server are needed.\n"
    "\n"
    "options:\n"
    "  -f, --follow      keep printing new records as they are posted, until\n"
    "                    interrupted; never times out\n"
    "  -j, --json        one JSON object per record: stamp, time, colour, sender,\n"
    "                    text, notice\n"
    "      --no-colour   no colour escapes (also when NO_COLOR is set, or when\n"
    "                    the output is not a terminal)\n"
    "  -h, --help        this text\n"
    "  -V, --version     the version\n"
    "\n"
    "the archive that chat_archive keeps, read instead of FILE:\n"
    "  -a, --archive DATABASE\n"
    "                    every record, with a line where some may be missing\n"
    "      --since TIME  only records posted at TIME or later: YYYY-MM-DD or\n"
    "                    ISO 8601 such as 2026-12-08T14:00 (local time, or with\n"
    "                    Z or an offset such as +09:00)\n"
    "      --until TIME  only records posted at TIME or earlier (a bare date:\n"
    "                    to the end of that day)\n"
    "  -s, --search TEXT records whose text holds TEXT, case and full or half\n"
    "                    width aside\n"
    "  -n, --limit N     only the newest N (default: all; 100 for a search)\n"
    "\n"
    "exit status: 0 done; 1 the file or the archive is missing, is no history or\n"
    "archive, or is unreadable; 2 bad arguments.\n");

// How long one reading waits for a post to release the file.
constexpr int lock_wait_ms = 10'000;
// While following, a poll that finds the file locked just tries again at
// the next one.
constexpr int follow_lock_wait_ms = 500;

struct Options {
    const char *path = board_path;  // in the working directory, as the server keeps it
    bool archive = false;
    chat_history::ArchiveQuery query;
    bool follow = false;
    bool json = false;
    bool no_colour = false;
};

[[noreturn]] void usage_error(const std::string &why)
{
    fprintf(stderr, _("chat_history: %s\nTry 'chat_history --help' for more.\n"), why.c_str());
    exit(exit_usage);
}

// --since and --until, --limit: their values.
uint32_t time_option(const char *name, const char *value, bool end_of_day)
{
    auto t = chat_history::parse_time(value, end_of_day);
    if (!t)
        usage_error(chat::sentence(_("%s wants YYYY-MM-DD or an ISO 8601 time such as 2026-12-08T14:00, not '%s'"),
                                   name, value));
    return *t;
}

long long limit_option(const char *value)
{
    char *end = nullptr;
    long long n = strtoll(value, &end, 10);
    if (*value == '\0' || *end != '\0' || n < 0)
        usage_error(chat::sentence(_("--limit wants a number of records, not '%s'"), value));
    return n;
}

// The archive's options make sense only together with --archive.
void check_archive_options(Options &o, bool archive_only, int argc)
{
    if (o.archive && argc - optind > 0)
        usage_error(_("--archive takes the place of FILE"));
    if (!o.archive && archive_only)
        usage_error(_("--since, --until, --search and --limit need --archive"));
    if (o.archive && o.follow && o.query.search)
        usage_error(_("--follow and --search cannot be combined"));
    o.query.follow = o.follow;
}

Options parse_options(int argc, char **argv)
{
    enum { no_colour = 256, since, until };
    static const option longs[] = {
        {"follow", no_argument, nullptr, 'f'},      {"json", no_argument, nullptr, 'j'},
        {"no-colour", no_argument, nullptr, no_colour}, {"no-color", no_argument, nullptr, no_colour},
        {"help", no_argument, nullptr, 'h'},        {"version", no_argument, nullptr, 'V'},
        {"archive", required_argument, nullptr, 'a'}, {"since", required_argument, nullptr, since},
        {"until", required_argument, nullptr, until}, {"search", required_argument, nullptr, 's'},
        {"limit", required_argument, nullptr, 'n'},
        {nullptr, 0, nullptr, 0},
    };
    Options o;
    opterr = 0;
    int c;
    bool archive_only = false;
    while ((c = getopt_long(argc, argv, ":fjhVa:s:n:", longs, nullptr)) != -1) {
        switch (c) {
        case 'f': o.follow = true; break;
        case 'j': o.json = true; break;
        case no_colour: o.no_colour = true; break;
        case 'h': fputs(_(usage_text), stdout); exit(exit_ok);
        case 'V': printf("chat_history %s\n", CHAT_VERSION); exit(exit_ok);
        case 'a': o.archive = true; o.query.database = optarg; break;
        case since: o.query.since = time_option("--since", optarg, false); archive_only = true; break;
        case until: o.query.until = time_option("--until", optarg, true); archive_only = true; break;
        case 's': o.query.search = optarg; archive_only = true; break;
        case 'n': o.query.limit = limit_option(optarg); archive_only = true; break;
        case ':': usage_error(chat::sentence(_("missing value after %s"), argv[optind - 1]));
        default:
            usage_error(optopt ? chat::sentence(_("unknown option -%c"), optopt)
                               : chat::sentence(_("unknown option %s"), argv[optind - 1]));
        }
    }
    check_archive_options(o, archive_only, argc);
    if (argc - optind > 1)
        usage_error(_("only one FILE, please"));
    if (optind < argc)
        o.path = argv[optind];
    return o;
}

// ---- JSON ----

// ISO 8601 in local time with the offset from UTC: 2026-12-08T14:02:11+09:00.
std::string iso_time(time_t when)
{
    struct tm local;
    localtime_r(&when, &local);
    char text[40], offset[8];
    strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &local);
    strftime(offset, sizeof offset, "%z", &local);  // +0900
    return std::string(text) + std::string(offset, 3) + ":" + std::string(offset + 3);
}

// A record that does not start like one (nine colour characters and a TAB)
// is damaged: shown whole, as the text of nobody.
bool damaged(const chat::HistoryRecord &record) { return !chat::looks_like_record(record.text); }

std::string json_line(const chat::HistoryRecord &record, const chat::Codec &utf8)
{
    chat::Event e;
    if (damaged(record))
        e.body = chat::strip_line_end(record.text);
    else
        e = chat::parse_record(record.text);
    chat::JsonWriter line;
    line.add("stamp", static_cast<long long>(record.stamp))
        .add("time", iso_time(record.stamp))
        .add("colour", utf8.to_local(e.colour))
        .add("sender", utf8.to_local(e.sender))
        .add("text", utf8.to_local(e.body))
        .add("notice", e.system);
    if (damaged(record))
        line.add("damaged", true);
    return line.text();
}

// ---- printing ----

class Printer {
public:
    explicit Printer(const Options &options)
    {
        if (options.json) {
            json_ = true;
            codec_.open("UTF-8");
        } else if (!codec_.open(nl_langinfo(CODESET))) {
            codec_.open_raw();  // a character set iconv does not know: bytes as stored
        }
        style_ = chat::choose_style(1, options.no_colour);
        style_.date = true;
    }

    void print(const chat::HistoryRecord &record) const
    {
        std::string line;
        if (json_)
            line = json_line(record, codec_);
        else if (damaged(record))
            line = chat::format_note(chat::sentence(_("damaged record: %s"), shown(record.text).c_str()),
                                     style_, record.stamp);
        else
            line = chat::format_event(chat::parse_record(record.text), style_, codec_, record.stamp);
        printf("%s\n", line.c_str());
    }

    // A possible gap in the archive: records posted after `since` and
    // before `until` may be missing there.
    void gap(uint32_t since, uint32_t until) const
    {
        if (json_) {
            printf("%s\n", chat::JsonWriter()
                               .add("gap", true)
                               .add("since_stamp", static_cast<long long>(since))
                               .add("since", iso_time(since))
                               .add("until_stamp", static_cast<long long>(until))
                               .add("until", iso_time(until))
                               .text()
                               .c_str());
            return;
        }
        std::string words = chat::sentence(_("records posted after %s may be missing here"),
                                           chat::clock_text(since, style_).c_str());
        printf("%s\n", chat::format_note(words, style_, until).c_str());
    }

    void skipped() const
    {
        if (json_)
            return;  // every line of the JSON output is a record
        printf("%s\n", chat::format_note(_("some records were skipped"), style_, time(nullptr)).c_str());
    }

private:
    std::string shown(std::string_view text) const
    {
        return chat::defuse_controls(codec_.to_local(chat::strip_line_end(text)), style_.charset);
    }

    chat::Codec codec_;
    chat::Style style_;
    bool json_ = false;
};

// ---- reading ----

// What kept the history at `path` from being shown, in one sentence.
std::string problem_sentence(const char *path, chat::HistoryStatus status, int error, int wait_ms)
{
    using chat::HistoryStatus;
    if (status == HistoryStatus::locked)
        return chat::sentence(_("%s stayed locked for %d seconds; try again"), path, wait_ms / 1000);
    std::string problem = chat::history_read_problem(status, error);
    if (status == HistoryStatus::too_short || status == HistoryStatus::foreign)
        return chat::sentence(_("%s is no chat history: %s"), path, problem.c_str());
    return chat::sentence(_("cannot read %s: %s"), path, problem.c_str());
}

// Reads the history at `path`. On failure returns false and, when `why`
// is given, a message for the user.
bool read_records(const char *path, std::vector<chat::HistoryRecord> &records, int wait_ms,
                  std::string *why)
{
    records.clear();
    auto status = chat::HistoryStatus::failed;
    int fd = chat::open_history(path);
    int error = errno;
    if (fd >= 0) {
        status = chat::read_history(fd, records, wait_ms);
        error = errno;
        close(fd);
    }
    if (why && status != chat::HistoryStatus::ok)
        *why = problem_sentence(path, status, error, wait_ms);
    return status == chat::HistoryStatus::ok;
}

// A second, cut short by a signal.
void pause_a_second()
{
    timespec second {1, 0};
    nanosleep(&second, nullptr);
}

// Polls about once a second, like the server's idle tick, and prints what
// is newer than the newest record printed so far.
void follow(const char *path, uint32_t newest, const Printer &printer)
{
    std::vector<chat::HistoryRecord> records;
    while (!chat::interrupted) {
        pause_a_second();
        if (chat::interrupted)
            break;
        // A missing or cut file (being cleared or replaced) counts as empty
        // for this poll; a locked one is tried again at the next.
        if (!read_records(path, records, follow_lock_wait_ms, nullptr))
            continue;
        if (records.empty())
            continue;
        if (records.back().stamp < newest) {  // an older file put in place: start over from it
            newest = records.back().stamp;
            continue;
        }
        std::vector<chat::HistoryRecord> fresh = chat::newer_than(records, newest);
        // The stamps are no sequence numbers: a board full of records that
        // are all newer than the last one printed means some fell off it.
        if (newest != 0 && fresh.size() == static_cast<size_t>(board_slots))
            printer.skipped();
        for (const auto &r : fresh)
            printer.print(r);
        if (!fresh.empty())
            newest = fresh.back().stamp;
        fflush(stdout);
    }
}

}  // namespace

int main(int argc, char **argv)
{
    setlocale(LC_ALL, "");
    bind_message_catalogues();
    Options options = parse_options(argc, argv);
    Printer printer(options);
    if (options.archive) {
        chat::catch_interrupts();
        chat_history::ArchiveOutput out {[&](const chat::HistoryRecord &r) { printer.print(r); },
                                         [&](uint32_t since, uint32_t until) { printer.gap(since, until); }};
        return chat_history::show_archive(options.query, out, chat::interrupted);
    }
    std::vector<chat::HistoryRecord> records;
    std::string why;
    if (!read_records(options.path, records, lock_wait_ms, &why)) {
        fprintf(stderr, "chat_history: %s\n", why.c_str());
        return exit_failed;
    }
    for (const auto &r : records)
        printer.print(r);
    fflush(stdout);
    if (options.follow) {
        chat::catch_interrupts();
        follow(options.path, records.empty() ? 0 : records.back().stamp, printer);
    }
    return exit_ok;
}
