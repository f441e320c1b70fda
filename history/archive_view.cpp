// Reading the archive for chat_history: a time range, a search or the
// whole of it, page by page, and following what is kept later.
#include "history/archive_view.hpp"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <ctime>

#include "archive/store.hpp"
#include "i18n/i18n.hpp"
#include "i18n/sentence.hpp"

namespace chat_history {

namespace {

using chat::archive::Budget;
using chat::archive::Reader;
using chat::archive::Result;

// A listing goes out this many rows at a time, never all in memory.
constexpr int64_t page_rows = 1000;
constexpr long long default_search_limit = 100;
// The most one query may take; a search that needs longer says that its
// results may be incomplete.
constexpr Budget query_budget {10'000};

// Reads "Z", "+HH", "+HHMM" or "+HH:MM" (or with -) into seconds east of UTC.
bool parse_offset(std::string_view p, long *offset)
{
    if (p == "Z") {
        *offset = 0;
        return true;
    }
    auto digits = [&](size_t at) {
        return at + 2 <= p.size() && isdigit(static_cast<unsigned char>(p[at])) &&
               isdigit(static_cast<unsigned char>(p[at + 1]));
    };
    bool shaped = (p.size() == 3 && digits(1)) || (p.size() == 5 && digits(1) && digits(3)) ||
                  (p.size() == 6 && digits(1) && p[3] == ':' && digits(4));
    if (!shaped || (p[0] != '+' && p[0] != '-'))
        return false;
    int hours = std::stoi(std::string(p.substr(1, 2)));
    int minutes = p.size() > 3 ? std::stoi(std::string(p.substr(p.size() - 2))) : 0;
    if (hours > 23 || minutes > 59)
        return false;
    *offset = (p[0] == '-' ? -1 : 1) * (hours * 3600L + minutes * 60L);
    return true;
}

}  // namespace

std::optional<uint32_t> parse_time(const std::string &text, bool end_of_day)
{
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, n = 0;
    if (sscanf(text.c_str(), "%4d-%2d-%2d%n", &year, &month, &day, &n) != 3 || n != 10)
        return std::nullopt;
    const char *rest = text.c_str() + n;
    bool date_only = *rest == '\0';
    if (!date_only) {
        if ((*rest != 'T' && *rest != ' ') || sscanf(rest + 1, "%2d:%2d%n", &hour, &minute, &n) != 2 || n != 5)
            return std::nullopt;
        rest += 1 + n;
        if (*rest == ':') {
            if (sscanf(rest + 1, "%2d%n", &second, &n) != 1 || n != 2)
                return std::nullopt;
            rest += 1 + n;
        }
    }
    long offset = 0;
    bool local = *rest == '\0';
    if ((!local && !parse_offset(rest, &offset)) || hour > 23 || minute > 59 || second > 59)
        return std::nullopt;
    // A bare date as the end of a range is the last second of that day.
    int next_day = date_only && end_of_day ? 1 : 0;
    struct tm when {};
    when.tm_year = year - 1900;
    when.tm_mon = month - 1;
    when.tm_mday = day + next_day;
    when.tm_hour = hour;
    when.tm_min = minute;
    when.tm_sec = second;
    when.tm_isdst = -1;
    time_t t = (local ? mktime(&when) : timegm(&when) - offset) - next_day;
    // A date that does not exist (2026-02-30) comes back as another one.
    struct tm check {};
    check.tm_year = year - 1900;
    check.tm_mon = month - 1;
    check.tm_mday = day;
    check.tm_hour = 12;
    timegm(&check);
    if (check.tm_year != year - 1900 || check.tm_mon != month - 1 || check.tm_mday != day)
        return std::nullopt;
    if (t < 0 || t > static_cast<time_t>(UINT32_MAX))
        return std::nullopt;
    return static_cast<uint32_t>(t);
}

int show_archive(const ArchiveQuery &query, const ArchiveOutput &out, const volatile sig_atomic_t &interrupted)
{
    std::string why;
    std::unique_ptr<Reader> reader = Reader::open(query.database, &why);
    if (!reader) {
        fprintf(stderr, "chat_history: %s\n", why.c_str());
        return 1;
    }
    chat::archive::Span span {query.since, query.until};
    int64_t newest = reader->newest_id();
    int64_t printed = 0;
    auto print = [&](const Result &result) {
        for (const auto &row : result.rows) {
            if (row.gap)
                out.gap(row.gap_since, row.stamp);
            else
                out.record({row.stamp, row.raw});
            printed = std::max(printed, row.id);
        }
        fflush(stdout);
        if (!result.error.empty())
            fprintf(stderr, "chat_history: %s\n",
                    chat::sentence(_("cannot read %s: %s"), query.database.c_str(), result.error.c_str()).c_str());
        return result.error.empty();
    };
    Result result;
    if (query.search) {
        long long limit = query.limit < 0 ? default_search_limit : query.limit;
        result = reader->search(*query.search, limit, query_budget, span);
        if (!print(result))
            return 1;
        if (result.incomplete && !chat::archive::uses_index(*query.search))
            fprintf(stderr, "chat_history: %s\n",
                    chat::sentence(_("a term of fewer than %zu characters is looked for among the newest %lld "
                                     "records only: the results may be incomplete"),
                                   chat::archive::indexed_term_chars,
                                   static_cast<long long>(chat::archive::scan_records)).c_str());
        else if (result.incomplete)
            fprintf(stderr, "chat_history: %s\n", _("the search took too long: the results may be incomplete"));
    } else if (query.limit >= 0) {
        if (!print(reader->before(INT64_MAX, query.limit, query_budget, span)))
            return 1;
    } else {
        do {
            result = reader->after(printed, page_rows, query_budget, span);
            if (!print(result))
                return 1;
        } while (static_cast<int64_t>(result.rows.size()) == page_rows && !interrupted);
    }
    if (!query.follow)
        return 0;
    // Following: once a second, what was kept after everything seen so far.
    int64_t cursor = std::max(newest, printed);
    while (!interrupted) {
        timespec second {1, 0};
        nanosleep(&second, nullptr);
        do {  // a look that fails is tried again at the next
            result = reader->after(cursor, page_rows, query_budget, span);
            result.error.clear();
            print(result);
            cursor = std::max(cursor, printed);
        } while (static_cast<int64_t>(result.rows.size()) == page_rows && !interrupted);
    }
    return 0;
}

}  // namespace chat_history
