// Reading the archive for a page: questions answered, and where the
// records that a session was sent live stand among the rows kept.
#include "archive_ask.hpp"

#include <algorithm>
#include <climits>

#include "wire/reader.hpp"

namespace chat_web {

using chat::archive::Reader;
using chat::archive::Result;
using chat::archive::Row;

ArchiveRow page_row(const Row &row)
{
    ArchiveRow r;
    r.id = row.id;
    r.stamp = row.stamp;
    r.archived = row.archived;
    r.gap = row.gap;
    r.since = row.gap_since;
    if (row.gap)
        return r;
    chat::Event e = chat::parse_record(row.raw);
    r.colour.assign(e.rgb, e.rgb + 3);
    r.sender = row.sender;
    r.text = row.text;
    r.notice = row.notice != chat::archive::Notice::none;
    return r;
}

ArchiveAnswer answer_question(Reader &reader, const ArchiveAsk &ask, chat::archive::Budget budget)
{
    using Kind = ArchiveAsk::Kind;
    Result result;
    int64_t row = ask.row.value_or(INT64_MAX);
    switch (ask.kind) {
    case Kind::earlier: result = reader.before(row, archive_rows, budget); break;
    case Kind::later: result = reader.after(row, archive_rows, budget); break;
    case Kind::search: result = reader.search(ask.text, archive_rows, budget, {}, row); break;
    case Kind::around: result = reader.around(row, around_each_side, budget); break;
    }
    ArchiveAnswer answer {ask.kind, ask.id, {}, result.incomplete, !result.error.empty(), ask.row, ask.text};
    for (const auto &r : result.rows)
        answer.rows.push_back(page_row(r));
    return answer;
}

namespace {

bool same(const Row &row, std::string_view text)
{
    return !row.gap && chat::strip_line_end(row.raw) == text;
}

// How many of the texts match the rows from `at` on, gap rows between
// them passed over, with each one's row id in *ids; *ran_out when the rows
// ended before the texts did (the archive has not caught up yet).
size_t match_from(const std::vector<std::string> &texts, const std::vector<Row> &rows, size_t at,
                  std::vector<int64_t> *ids, bool *ran_out)
{
    size_t k = 0;
    size_t i = at;
    while (k < texts.size() && i < rows.size()) {
        if (rows[i].gap && k > 0) {
            ++i;
            continue;
        }
        if (!same(rows[i], texts[k]))
            break;
        (*ids)[k++] = rows[i++].id;
    }
    *ran_out = k < texts.size() && i == rows.size();
    return k;
}

int64_t last_found(const std::vector<int64_t> &ids)
{
    for (auto it = ids.rbegin(); it != ids.rend(); ++it)
        if (*it != 0)
            return *it;
    return 0;
}

// The place found, and the rows before it as dropped when they are.
RunPlace at_place(const std::vector<Row> &rows, size_t at, std::vector<int64_t> ids, bool complete, bool dropped)
{
    RunPlace p;
    p.complete = complete;
    p.last = last_found(ids);
    p.ids = std::move(ids);
    if (dropped) {
        size_t from = at > dropped_max ? at - dropped_max : 0;
        p.more = from > 0;
        p.dropped.assign(rows.begin() + static_cast<long>(from), rows.begin() + static_cast<long>(at));
    }
    return p;
}

}  // namespace

RunPlace place_run(const std::vector<std::string> &texts, int64_t last, const std::vector<Row> &rows)
{
    RunPlace partial;
    partial.ids.assign(texts.size(), 0);
    bool have_partial = false;
    if (texts.empty())
        return {true, {}, {}, false, last};
    // After a known row the earliest place, else the latest.
    for (size_t n = 0; n < rows.size(); ++n) {
        size_t at = last != 0 ? n : rows.size() - 1 - n;
        std::vector<int64_t> ids(texts.size(), 0);
        bool ran_out = false;
        size_t k = match_from(texts, rows, at, &ids, &ran_out);
        if (k == texts.size())
            return at_place(rows, at, std::move(ids), true, last != 0);
        // Part of the run at the end of what is kept: the rest is on its way.
        if (k > 0 && ran_out && !have_partial) {
            partial = at_place(rows, at, std::move(ids), false, last != 0);
            have_partial = true;
        }
    }
    if (!have_partial)
        partial.last = last;
    return partial;
}

RunPlace find_run(Reader &reader, const std::vector<std::string> &texts, int64_t last, chat::archive::Budget budget)
{
    int64_t extra = static_cast<int64_t>(dropped_max) * 10;
    Result result = last != 0 ? reader.after(last, static_cast<int64_t>(texts.size()) + extra, budget)
                              : reader.before(INT64_MAX, first_run_window, budget);
    RunPlace p = place_run(texts, last, result.rows);
    if (!result.error.empty())
        p.complete = false;
    return p;
}

}  // namespace chat_web
