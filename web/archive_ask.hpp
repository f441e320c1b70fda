// The archive as the gateway reads it (with --archive): a page's question
// answered, and a run of records sent live found among the archive's rows.
// Each function here is a plain blocking call on a Reader, for the one
// worker thread (web/archive_worker.hpp); place_run is the matching alone,
// without a database.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "archive/store.hpp"
#include "page_wire.hpp"

namespace chat_web {

// Rows in one answer to scroll-back, a search or a later listing, and on
// each side of a row shown among its neighbours.
inline constexpr int64_t archive_rows = 100;
inline constexpr int64_t around_each_side = 10;
// The most rows the board may have dropped before a run that the page is
// sent in their place; beyond these, it is told that there were more.
inline constexpr size_t dropped_max = 100;
// How far back a session's first run is looked for among the newest rows.
inline constexpr int64_t first_run_window = 300;

ArchiveRow page_row(const chat::archive::Row &row);

// Runs the question on `reader` within the time budget.
ArchiveAnswer answer_question(chat::archive::Reader &reader, const ArchiveAsk &ask, chat::archive::Budget budget);

// Where a run of records (their texts as the server sent them, without
// line ends) stands among `rows`, oldest first. With `last`, the row the
// session's previous run ended at, `rows` are those after it: the run is
// looked for at the earliest place it fits, and the rows before that place
// are what the board dropped. Without (0), `rows` are the newest ones and
// the run is looked for at the latest place it fits. Gap rows between the
// run's records are passed over.
struct RunPlace {
    bool complete = false;           // every record of the run was found
    std::vector<int64_t> ids;        // each record's row id; 0: not found
    std::vector<chat::archive::Row> dropped;  // the rows before the run, at most dropped_max
    bool more = false;               // more were dropped than these
    int64_t last = 0;                // the row of the run's last record found; 0: none
};
RunPlace place_run(const std::vector<std::string> &texts, int64_t last, const std::vector<chat::archive::Row> &rows);

// Reads the rows for place_run and calls it.
RunPlace find_run(chat::archive::Reader &reader, const std::vector<std::string> &texts, int64_t last,
                  chat::archive::Budget budget);

}  // namespace chat_web
