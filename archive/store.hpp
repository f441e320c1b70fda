// The chat archive: every record the board ever held, kept in an SQLite
// database by chat_archive and read by chat_history and the gateway. This
// header is the whole interface; the schema stays inside store.cpp.
//
// Readers open the database read-only and never create a file beside it:
// the writer keeps its -wal and -shm files in place (persistent WAL), and a
// reader that finds them missing on a database that is not its own reads
// the main file alone (SQLite's immutable mode).
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct sqlite3;

namespace chat::archive {

// Which of the server's notices a record is.
enum class Notice { none, login, logout, timeout, other };

// One row of the archive: a record, or a possible gap, where the board
// may have dropped records between the rows around it.
struct Row {
    int64_t id = 0;              // the order rows were kept in; ids only grow
    uint32_t stamp = 0;          // the board's stamp; a gap: that of the record after it
    int64_t archived = 0;        // when it was kept, seconds since the Epoch
    std::string raw;             // the record as on the board (Shift_JIS, line end included)
    std::string colour;          // UTF-8: nine characters, or empty for a damaged record
    std::string sender;
    std::string text;            // without its line end; a damaged record: all of it
    Notice notice = Notice::none;
    bool damaged = false;        // does not start like a record (no colour and TAB)
    bool gap = false;
    uint32_t gap_since = 0;      // a gap: the stamp of the record before it
};

// What a query gave, oldest row first. `incomplete` when more may match
// than the rows say: the time budget ran out, or a short search term could
// look only at the newest records. `error` is empty when the query ran.
struct Result {
    std::vector<Row> rows;
    bool incomplete = false;
    std::string error;
};

using Budget = std::chrono::milliseconds;

// Search terms shorter than this many characters (after folding) are
// looked for in the newest scan_records records instead of the index.
inline constexpr size_t indexed_term_chars = 3;
inline constexpr int64_t scan_records = 100'000;

// The text as it is indexed and asked for: NFKC, so that ＡＢＣ finds ABC
// and ｶﾅ finds カナ.
std::string fold(std::string_view utf8);
// Whether a search for `text` uses the index: its folded form, spaces at
// either end aside, has at least indexed_term_chars characters.
bool uses_index(std::string_view text);

// Stamps from `since` to `until`, both included.
struct Span {
    uint32_t since = 0;
    uint32_t until = UINT32_MAX;
};

// A read-only connection. Each call is a plain blocking function with a
// LIMIT and a time budget, for a worker thread; one thread at a time.
class Reader {
public:
    // Opens `path` read-only; nullptr and a message in *why when it is no
    // archive or cannot be read.
    static std::unique_ptr<Reader> open(const std::string &path, std::string *why);
    ~Reader();
    Reader(const Reader &) = delete;
    Reader &operator=(const Reader &) = delete;

    // The newest row's id; 0 when the archive is empty, -1 on an error.
    int64_t newest_id();
    // The newest `limit` rows before `id` within `span` ("the 100 before
    // this one"; INT64_MAX: the newest of all; a negative limit: all).
    Result before(int64_t id, int64_t limit, Budget budget, Span span = {});
    // The oldest `limit` rows after `id` within `span`: what followed a
    // row, or the next page of a long listing.
    Result after(int64_t id, int64_t limit, Budget budget, Span span = {});
    // Row `id` among its neighbours: up to `each_side` rows before and after.
    Result around(int64_t id, int64_t each_side, Budget budget);
    // The newest `limit` records before `before_id` within `span` whose
    // text holds `text`, case and width aside. An empty term finds nothing.
    Result search(std::string_view text, int64_t limit, Budget budget, Span span = {},
                  int64_t before_id = INT64_MAX);

private:
    explicit Reader(sqlite3 *db) : db_(db) {}
    sqlite3 *db_;
};

// The one writer, chat_archive.
class Writer {
public:
    enum class Refusal { none, not_sqlite, foreign, newer, damaged, in_use, cannot_open };
    // Opens `path` for writing, creating it when it is missing or empty.
    // Before anything is written the file's SQLite header must name this
    // archive (application_id and user_version); anything else is refused
    // with the file left as it was, *refusal saying why and *why in words.
    static std::unique_ptr<Writer> open(const std::string &path, Refusal *refusal, std::string *why);
    ~Writer();
    Writer(const Writer &) = delete;
    Writer &operator=(const Writer &) = delete;

    // A record as on the board: its stamp and its bytes before the NUL.
    struct Record {
        uint32_t stamp;
        std::string raw;
    };
    // The newest record kept (not a gap), where the board is read on from.
    // False when it cannot be read; *kept is empty in an empty archive.
    bool newest_record(std::optional<Record> *kept);
    // Whether a record with this stamp and text is kept already.
    bool holds(uint32_t stamp, std::string_view raw);

    // What one pass keeps: a possible gap first (when `gap_since` is set,
    // before the first record), then the records, oldest first, in one
    // transaction. SQLITE_OK, or the SQLite error code when nothing was
    // kept (the transaction is rolled back).
    int keep(const std::vector<Record> &records, std::optional<uint32_t> gap_since, int64_t now);
    // Deletes up to `batch` of the oldest rows kept before `before` (never
    // the newest row); how many, or -1 on an error.
    int trim(int64_t before, int batch);
    // Whether the connection can write at all (a read-only file cannot).
    bool writable();
    std::string last_error() const;

private:
    Writer(sqlite3 *db, int guard) : db_(db), guard_(guard) {}
    sqlite3 *db_;
    int guard_;  // holds the flock that keeps a second writer out
};

// A row decoded from a board record (no id yet).
Row decode(uint32_t stamp, std::string_view raw);

}  // namespace chat::archive
