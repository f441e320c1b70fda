// The archive's SQLite database: its schema, the checks before anything is
// written, the writer's transactions and the readers' bounded queries.
#include "archive/store.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sqlite3.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unicode/unorm2.h>
#include <unicode/ustring.h>
#include <unistd.h>

#include "i18n/i18n.hpp"
#include "i18n/sentence.hpp"
#include "wire/codec.hpp"
#include "wire/reader.hpp"

namespace chat::archive {

namespace {

// The database names itself in its header: application_id 'CHAT', and the
// version of the schema below in user_version.
constexpr int32_t application_id = 0x43484154;
constexpr int32_t schema_version = 1;

// One row per record the board held, in the order they were kept, and a
// possible-gap row wherever the board may have dropped some. The search
// index holds each text NFKC-folded; `folded` keeps that form only where
// it differs from the text itself.
constexpr const char *schema_sql = R"(
CREATE TABLE records (
    id INTEGER PRIMARY KEY,
    stamp INTEGER NOT NULL,
    raw BLOB NOT NULL,
    colour TEXT NOT NULL,
    sender TEXT NOT NULL,
    text TEXT NOT NULL,
    notice TEXT CHECK (notice IN ('login', 'logout', 'timeout', 'other')),
    gap_since INTEGER,
    folded TEXT,
    archived INTEGER NOT NULL
);
CREATE INDEX records_by_stamp ON records (stamp);
CREATE VIEW records_folded AS SELECT id, coalesce(folded, text) AS text FROM records;
CREATE VIRTUAL TABLE records_search USING fts5 (
    text, content = 'records_folded', content_rowid = 'id', tokenize = 'trigram');
CREATE TRIGGER records_indexed AFTER INSERT ON records BEGIN
    INSERT INTO records_search (rowid, text) VALUES (new.id, coalesce(new.folded, new.text));
END;
CREATE TRIGGER records_unindexed AFTER DELETE ON records BEGIN
    INSERT INTO records_search (records_search, rowid, text)
        VALUES ('delete', old.id, coalesce(old.folded, old.text));
END;
)";

constexpr const char *row_columns =
    "records.id, records.stamp, records.archived, records.raw, records.colour, records.sender, "
    "records.text, records.notice, records.gap_since";

// A reader that finds the database locked (a checkpoint, a recovery)
// waits this long before it gives up.
constexpr int busy_wait_ms = 2000;
// The writer keeps its write-ahead log near this size between checkpoints.
constexpr int wal_size_limit_bytes = 4 << 20;
// How often, in virtual-machine steps, a query looks at its budget.
constexpr int budget_check_steps = 1000;

class Statement {
public:
    Statement(sqlite3 *db, const char *sql) { rc_ = sqlite3_prepare_v2(db, sql, -1, &st_, nullptr); }
    ~Statement() { sqlite3_finalize(st_); }
    Statement(const Statement &) = delete;
    Statement &operator=(const Statement &) = delete;

    bool ok() const { return rc_ == SQLITE_OK; }
    int prepare_code() const { return rc_; }
    Statement &bind(int at, int64_t value)
    {
        sqlite3_bind_int64(st_, at, value);
        return *this;
    }
    Statement &bind(int at, std::string_view text)
    {
        sqlite3_bind_text(st_, at, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
        return *this;
    }
    Statement &bind_blob(int at, std::string_view bytes)
    {
        sqlite3_bind_blob(st_, at, bytes.data(), static_cast<int>(bytes.size()), SQLITE_TRANSIENT);
        return *this;
    }
    Statement &bind_null(int at)
    {
        sqlite3_bind_null(st_, at);
        return *this;
    }
    int step() { return sqlite3_step(st_); }
    void reset()
    {
        sqlite3_reset(st_);
        sqlite3_clear_bindings(st_);
    }
    int64_t integer(int column) const { return sqlite3_column_int64(st_, column); }
    bool is_null(int column) const { return sqlite3_column_type(st_, column) == SQLITE_NULL; }
    std::string text(int column) const
    {
        const void *p = sqlite3_column_blob(st_, column);
        return p ? std::string(static_cast<const char *>(p), static_cast<size_t>(sqlite3_column_bytes(st_, column)))
                 : std::string();
    }

private:
    sqlite3_stmt *st_ = nullptr;
    int rc_;
};

bool exec(sqlite3 *db, const char *sql) { return sqlite3_exec(db, sql, nullptr, nullptr, nullptr) == SQLITE_OK; }

int64_t single_integer(sqlite3 *db, const char *sql, int64_t otherwise)
{
    Statement st(db, sql);
    return st.ok() && st.step() == SQLITE_ROW ? st.integer(0) : otherwise;
}

// Keeps -wal and -shm in place when the connection closes, so that readers
// of another user never have to create them.
void persist_wal(sqlite3 *db)
{
    int on = 1;
    sqlite3_file_control(db, "main", SQLITE_FCNTL_PERSIST_WAL, &on);
}

// ---- the file's header ----

enum class Header { missing, empty, ours, not_sqlite, foreign, newer, damaged, unreadable };

uint32_t big_endian(const unsigned char *p)
{
    return static_cast<uint32_t>(p[0]) << 24 | p[1] << 16 | p[2] << 8 | p[3];
}

// Looks at the first 100 bytes with a plain read, which changes nothing
// (SQLite itself might roll back a journal it finds). *version gets the
// schema version a newer archive has; *error the errno of a failed open.
Header read_header(const std::string &path, int *version, int *error)
{
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        *error = errno;
        return errno == ENOENT ? Header::missing : Header::unreadable;
    }
    struct stat st;
    unsigned char head[100];
    ssize_t n = -1;
    bool regular = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    if (regular)
        n = pread(fd, head, sizeof head, 0);
    *error = errno;
    close(fd);
    if (!regular)
        return Header::not_sqlite;
    if (n < 0)
        return Header::unreadable;
    if (n == 0)
        return Header::empty;
    static const char magic[] = "SQLite format 3";  // and its NUL
    if (static_cast<size_t>(n) < sizeof magic || memcmp(head, magic, sizeof magic) != 0)
        return Header::not_sqlite;
    if (n < static_cast<ssize_t>(sizeof head))
        return Header::damaged;
    if (static_cast<int32_t>(big_endian(head + 68)) != application_id)
        return Header::foreign;
    *version = static_cast<int32_t>(big_endian(head + 60));
    if (*version > schema_version)
        return Header::newer;
    unsigned page = head[16] << 8 | head[17];
    if (page == 1)
        page = 65536;
    bool page_ok = page >= 512 && (page & (page - 1)) == 0;
    if (*version != schema_version || !page_ok || st.st_size < static_cast<off_t>(page))
        return Header::damaged;
    return Header::ours;
}

// The words for a header that is not an archive's.
std::string refusal_words(Header h, const std::string &path, int version, int error)
{
    switch (h) {
    case Header::missing:
    case Header::unreadable: return sentence(_("cannot open %s: %s"), path.c_str(), strerror(error));
    case Header::empty: return sentence(_("%s is no chat archive: it is empty"), path.c_str());
    case Header::not_sqlite: return sentence(_("%s is no chat archive: it is no SQLite database"), path.c_str());
    case Header::foreign:
        return sentence(_("%s is no chat archive: it is another program's SQLite database"), path.c_str());
    case Header::newer:
        return sentence(_("%s is a chat archive of a newer version (%d); this program knows version %d"),
                        path.c_str(), version, schema_version);
    case Header::damaged: return sentence(_("%s is damaged: its header is not an archive's"), path.c_str());
    case Header::ours: break;
    }
    return {};
}

// The schema as it should be: the header's marks and both tables.
bool schema_present(sqlite3 *db)
{
    return single_integer(db, "PRAGMA application_id", 0) == application_id &&
           single_integer(db, "PRAGMA user_version", 0) == schema_version &&
           single_integer(db, "SELECT count(*) FROM sqlite_master WHERE name IN ('records', 'records_search')",
                          0) == 2;
}

// ---- decoding a record ----

const Codec &utf8_codec()
{
    thread_local Codec codec;
    thread_local bool opened = codec.open("UTF-8");
    (void)opened;
    return codec;
}

// The part of a notice format after the user's name, without its CR LF:
// "がログインしました" for the login notice.
std::string_view notice_ending(const char *format)
{
    std::string_view f(format);
    f.remove_prefix(f.find("%s") + 2);
    return strip_line_end(f);
}

Notice notice_kind(std::string_view sjis_body)
{
    if (sjis_body.ends_with(notice_ending(notice_login)))
        return Notice::login;
    if (sjis_body.ends_with(notice_ending(notice_logout)))
        return Notice::logout;
    if (sjis_body.ends_with(notice_ending(notice_timeout)))
        return Notice::timeout;
    return Notice::other;
}

const char *notice_name(Notice n)
{
    switch (n) {
    case Notice::login: return "login";
    case Notice::logout: return "logout";
    case Notice::timeout: return "timeout";
    case Notice::other: return "other";
    case Notice::none: break;
    }
    return nullptr;
}

Notice notice_of(const std::string &name)
{
    for (Notice n : {Notice::login, Notice::logout, Notice::timeout, Notice::other})
        if (name == notice_name(n))
            return n;
    return Notice::none;
}

Row read_row(const Statement &st)
{
    Row row;
    row.id = st.integer(0);
    row.stamp = static_cast<uint32_t>(st.integer(1));
    row.archived = st.integer(2);
    row.raw = st.text(3);
    row.colour = st.text(4);
    row.sender = st.text(5);
    row.text = st.text(6);
    row.notice = notice_of(st.text(7));
    row.gap = !st.is_null(8);
    row.gap_since = row.gap ? static_cast<uint32_t>(st.integer(8)) : 0;
    row.damaged = !row.gap && !looks_like_record(row.raw);
    return row;
}

// ---- budgets ----

// Ends the query running on `db` once the deadline has passed.
class BudgetGuard {
public:
    BudgetGuard(sqlite3 *db, Budget budget) : db_(db), end_(std::chrono::steady_clock::now() + budget)
    {
        sqlite3_progress_handler(db_, budget_check_steps, &BudgetGuard::check, this);
    }
    ~BudgetGuard() { sqlite3_progress_handler(db_, 0, nullptr, nullptr); }
    BudgetGuard(const BudgetGuard &) = delete;
    BudgetGuard &operator=(const BudgetGuard &) = delete;

private:
    static int check(void *self)
    {
        return std::chrono::steady_clock::now() > static_cast<BudgetGuard *>(self)->end_ ? 1 : 0;
    }
    sqlite3 *db_;
    std::chrono::steady_clock::time_point end_;
};

// Steps through a prepared query, collecting its rows oldest first (the
// queries that take the newest rows read them newest first).
Result collect(sqlite3 *db, Statement &st, Budget budget, bool newest_first)
{
    Result result;
    if (!st.ok()) {
        result.error = sqlite3_errmsg(db);
        return result;
    }
    BudgetGuard guard(db, budget);
    int rc;
    while ((rc = st.step()) == SQLITE_ROW)
        result.rows.push_back(read_row(st));
    if (rc == SQLITE_INTERRUPT)
        result.incomplete = true;
    else if (rc != SQLITE_DONE)
        result.error = sqlite3_errmsg(db);
    if (newest_first)
        std::reverse(result.rows.begin(), result.rows.end());
    return result;
}

size_t characters(std::string_view utf8)
{
    size_t n = 0;
    for (char c : utf8)
        n += (static_cast<unsigned char>(c) & 0xc0) != 0x80;
    return n;
}

std::string_view trimmed(std::string_view s)
{
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t'))
        s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t'))
        s.remove_suffix(1);
    return s;
}

// The term as one FTS5 phrase: quoted, its quotes doubled, so that -, :,
// *, AND and OR in it are just text.
std::string phrase(std::string_view term)
{
    std::string out = "\"";
    for (char c : term) {
        if (c == '"')
            out += '"';
        out += c;
    }
    return out + "\"";
}

// The term as a LIKE pattern that matches it anywhere, with \ escaping.
std::string like_pattern(std::string_view term)
{
    std::string out = "%";
    for (char c : term) {
        if (c == '%' || c == '_' || c == '\\')
            out += '\\';
        out += c;
    }
    return out + "%";
}

std::string uri_of(const std::string &path, bool immutable)
{
    std::string uri = "file:";
    for (char c : path) {
        if (c == '%' || c == '?' || c == '#') {
            char escaped[4];
            snprintf(escaped, sizeof escaped, "%%%02X", static_cast<unsigned char>(c));
            uri += escaped;
        } else {
            uri += c;
        }
    }
    return uri + (immutable ? "?mode=ro&immutable=1" : "?mode=ro");
}

bool exists(const std::string &path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

// Reads the schema from the main file alone (immutable: no lock taken, no
// -wal or -shm made), so that a damaged file is refused with nothing left
// beside it. The schema is written before the archive turns to WAL, so
// the main file always holds it. Empty when it is there, else why not.
std::string schema_problem(const std::string &path)
{
    sqlite3 *db = nullptr;
    std::string problem;
    int rc = sqlite3_open_v2(uri_of(path, true).c_str(), &db, SQLITE_OPEN_READONLY | SQLITE_OPEN_URI, nullptr);
    if (rc != SQLITE_OK || !schema_present(db))
        problem = sqlite3_errcode(db) != SQLITE_OK ? sqlite3_errmsg(db) : _("the archive's tables are missing");
    sqlite3_close(db);
    return problem;
}

}  // namespace

// ---- folding ----

std::string fold(std::string_view utf8)
{
    bool ascii = std::all_of(utf8.begin(), utf8.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
    if (ascii)
        return std::string(utf8);  // ASCII is its own NFKC form
    UErrorCode error = U_ZERO_ERROR;
    const UNormalizer2 *nfkc = unorm2_getNFKCInstance(&error);
    std::u16string wide(utf8.size(), u'\0');
    int32_t wide_len = 0;
    u_strFromUTF8WithSub(wide.data(), static_cast<int32_t>(wide.size()), &wide_len, utf8.data(),
                         static_cast<int32_t>(utf8.size()), 0xfffd, nullptr, &error);
    if (U_FAILURE(error))
        return std::string(utf8);
    // NFKC can grow a text (㍿ is four characters), at most eighteenfold.
    std::u16string normal(static_cast<size_t>(wide_len) * 18 + 1, u'\0');
    int32_t normal_len = unorm2_normalize(nfkc, wide.data(), wide_len, normal.data(),
                                          static_cast<int32_t>(normal.size()), &error);
    std::string out(static_cast<size_t>(normal_len) * 3 + 1, '\0');
    int32_t out_len = 0;
    u_strToUTF8(out.data(), static_cast<int32_t>(out.size()), &out_len, normal.data(), normal_len, &error);
    if (U_FAILURE(error))
        return std::string(utf8);
    out.resize(static_cast<size_t>(out_len));
    return out;
}

bool uses_index(std::string_view text) { return characters(trimmed(fold(text))) >= indexed_term_chars; }

Row decode(uint32_t stamp, std::string_view raw)
{
    const Codec &utf8 = utf8_codec();
    Row row;
    row.stamp = stamp;
    row.raw = std::string(raw);
    row.damaged = !looks_like_record(raw);
    if (row.damaged) {
        row.text = utf8.to_local(strip_line_end(raw));
        return row;
    }
    Event e = parse_record(raw);
    row.colour = utf8.to_local(e.colour);
    row.sender = utf8.to_local(e.sender);
    row.text = utf8.to_local(e.body);
    row.notice = e.system ? notice_kind(e.body) : Notice::none;
    return row;
}

// ---- reading ----

std::unique_ptr<Reader> Reader::open(const std::string &path, std::string *why)
{
    int version = 0, error = 0;
    Header h = read_header(path, &version, &error);
    if (h != Header::ours) {
        *why = refusal_words(h, path, version, error);
        return nullptr;
    }
    std::string problem = schema_problem(path);
    if (!problem.empty()) {
        *why = sentence(_("%s is damaged: %s"), path.c_str(), problem.c_str());
        return nullptr;
    }
    // Without the writer's -wal and -shm, opening would create them, owned
    // by whoever reads; on a database of another user, read the main file
    // alone instead (nobody writes it then: a writer would have made them).
    struct stat st;
    bool own = stat(path.c_str(), &st) == 0 && st.st_uid == geteuid();
    bool immutable = !own && !(exists(path + "-wal") && exists(path + "-shm"));
    sqlite3 *db = nullptr;
    int rc = sqlite3_open_v2(uri_of(path, immutable).c_str(), &db, SQLITE_OPEN_READONLY | SQLITE_OPEN_URI,
                             nullptr);
    std::unique_ptr<Reader> reader(new Reader(db));
    if (rc != SQLITE_OK || !schema_present(db)) {
        *why = sentence(_("cannot open %s: %s"), path.c_str(), sqlite3_errmsg(db));
        return nullptr;
    }
    sqlite3_busy_timeout(db, busy_wait_ms);
    persist_wal(db);
    return reader;
}

Reader::~Reader() { sqlite3_close(db_); }

int64_t Reader::newest_id() { return single_integer(db_, "SELECT coalesce(max(id), 0) FROM records", -1); }

Result Reader::before(int64_t id, int64_t limit, Budget budget, Span span)
{
    std::string sql = std::string("SELECT ") + row_columns +
                      " FROM records WHERE id < ?1 AND stamp BETWEEN ?2 AND ?3 ORDER BY id DESC LIMIT ?4";
    Statement st(db_, sql.c_str());
    st.bind(1, id).bind(2, span.since).bind(3, span.until).bind(4, limit);
    return collect(db_, st, budget, true);
}

Result Reader::after(int64_t id, int64_t limit, Budget budget, Span span)
{
    std::string sql = std::string("SELECT ") + row_columns +
                      " FROM records WHERE id > ?1 AND stamp BETWEEN ?2 AND ?3 ORDER BY id LIMIT ?4";
    Statement st(db_, sql.c_str());
    st.bind(1, id).bind(2, span.since).bind(3, span.until).bind(4, limit);
    return collect(db_, st, budget, false);
}

Result Reader::around(int64_t id, int64_t each_side, Budget budget)
{
    Result result = before(id == INT64_MAX ? id : id + 1, each_side + 1, budget);
    if (!result.error.empty())
        return result;
    Result later = after(id, each_side, budget);
    result.rows.insert(result.rows.end(), later.rows.begin(), later.rows.end());
    result.incomplete = result.incomplete || later.incomplete;
    result.error = later.error;
    return result;
}

Result Reader::search(std::string_view text, int64_t limit, Budget budget, Span span, int64_t before_id)
{
    std::string term(trimmed(fold(text)));
    if (term.empty())
        return {};
    if (uses_index(term)) {
        std::string sql = std::string("SELECT ") + row_columns +
                          " FROM records_search JOIN records ON records.id = records_search.rowid"
                          " WHERE records_search MATCH ?1 AND records_search.rowid < ?2"
                          " AND records.stamp BETWEEN ?3 AND ?4"
                          " ORDER BY records_search.rowid DESC LIMIT ?5";
        Statement st(db_, sql.c_str());
        st.bind(1, phrase(term)).bind(2, before_id).bind(3, span.since).bind(4, span.until).bind(5, limit);
        return collect(db_, st, budget, true);
    }
    // The trigram index cannot find fewer than three characters: look
    // through the newest records themselves.
    int64_t newest = newest_id();
    int64_t floor = newest - scan_records;
    std::string sql = std::string("SELECT ") + row_columns +
                      " FROM records WHERE id > ?1 AND id < ?2 AND stamp BETWEEN ?3 AND ?4"
                      " AND gap_since IS NULL AND coalesce(folded, text) LIKE ?5 ESCAPE '\\'"
                      " ORDER BY id DESC LIMIT ?6";
    Statement st(db_, sql.c_str());
    st.bind(1, floor).bind(2, before_id).bind(3, span.since).bind(4, span.until).bind(5, like_pattern(term)).bind(6, limit);
    Result result = collect(db_, st, budget, true);
    bool limit_reached = limit >= 0 && static_cast<int64_t>(result.rows.size()) >= limit;
    if (!limit_reached && single_integer(db_, "SELECT coalesce(min(id), 0) FROM records", 0) <= floor)
        result.incomplete = true;
    return result;
}

// ---- writing ----

std::unique_ptr<Writer> Writer::open(const std::string &path, Refusal *refusal, std::string *why)
{
    auto refuse = [&](Refusal r, std::string words) {
        *refusal = r;
        *why = std::move(words);
        return nullptr;
    };
    int version = 0, error = 0;
    Header h = read_header(path, &version, &error);
    switch (h) {
    case Header::ours:
    case Header::missing:
    case Header::empty: break;
    case Header::not_sqlite: return refuse(Refusal::not_sqlite, refusal_words(h, path, version, error));
    case Header::foreign: return refuse(Refusal::foreign, refusal_words(h, path, version, error));
    case Header::newer: return refuse(Refusal::newer, refusal_words(h, path, version, error));
    case Header::damaged: return refuse(Refusal::damaged, refusal_words(h, path, version, error));
    case Header::unreadable: return refuse(Refusal::cannot_open, refusal_words(h, path, version, error));
    }
    // One writer at a time, which a lock on the file tells before SQLite
    // touches it: a second one would keep every record twice. The lock is
    // flock(2), which SQLite's own fcntl(2) locks do not see.
    int guard = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (guard < 0 && errno == ENOENT)
        guard = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_CREAT, 0666);
    if (guard < 0)
        return refuse(Refusal::cannot_open, sentence(_("cannot open %s: %s"), path.c_str(), strerror(errno)));
    std::unique_ptr<Writer> writer(new Writer(nullptr, guard));
    if (flock(guard, LOCK_EX | LOCK_NB) != 0)
        return refuse(Refusal::in_use, sentence(_("%s is kept by another chat_archive already"), path.c_str()));
    // A journal beside it is a creation cut short, which SQLite rolls back.
    if (h == Header::ours && !exists(path + "-journal")) {
        std::string problem = schema_problem(path);
        if (!problem.empty())
            return refuse(Refusal::damaged, sentence(_("%s is damaged: %s"), path.c_str(), problem.c_str()));
    }
    int rc = sqlite3_open_v2(path.c_str(), &writer->db_, SQLITE_OPEN_READWRITE, nullptr);
    sqlite3 *db = writer->db_;
    if (rc != SQLITE_OK)
        return refuse(Refusal::cannot_open, sentence(_("cannot open %s: %s"), path.c_str(), sqlite3_errmsg(db)));
    sqlite3_busy_timeout(db, busy_wait_ms);
    persist_wal(db);
    // A new file, or one whose creation was cut short and rolled back.
    bool blank = single_integer(db, "SELECT count(*) FROM sqlite_master", -1) == 0 &&
                 single_integer(db, "PRAGMA application_id", -1) == 0;
    if (blank) {
        std::string create = std::string("BEGIN;") + schema_sql + "PRAGMA application_id = " +
                             std::to_string(application_id) + "; PRAGMA user_version = " +
                             std::to_string(schema_version) + "; COMMIT;";
        if (!exec(db, create.c_str())) {
            std::string words = sentence(_("cannot create %s: %s"), path.c_str(), sqlite3_errmsg(db));
            exec(db, "ROLLBACK");
            return refuse(Refusal::cannot_open, words);
        }
    } else if (!schema_present(db)) {
        return refuse(Refusal::damaged, sentence(_("%s is damaged: %s"), path.c_str(), sqlite3_errmsg(db)));
    }
    // WAL lets readers read while records are kept. On a read-only file
    // this fails, and writable() says so.
    exec(db, "PRAGMA journal_mode = WAL");
    exec(db, "PRAGMA synchronous = NORMAL");
    exec(db, ("PRAGMA journal_size_limit = " + std::to_string(wal_size_limit_bytes)).c_str());
    *refusal = Refusal::none;
    return writer;
}

Writer::~Writer()
{
    sqlite3_close(db_);
    if (guard_ >= 0)
        close(guard_);  // after SQLite's own descriptor, whose locks a close would drop
}

bool Writer::writable() { return sqlite3_db_readonly(db_, "main") == 0; }

std::string Writer::last_error() const { return sqlite3_errmsg(db_); }


bool Writer::newest_record(std::optional<Record> *kept)
{
    kept->reset();
    Statement st(db_, "SELECT stamp, raw FROM records WHERE gap_since IS NULL ORDER BY id DESC LIMIT 1");
    int rc = st.ok() ? st.step() : SQLITE_ERROR;
    if (rc == SQLITE_ROW)
        *kept = Record {static_cast<uint32_t>(st.integer(0)), st.text(1)};
    return rc == SQLITE_ROW || rc == SQLITE_DONE;
}

bool Writer::holds(uint32_t stamp, std::string_view raw)
{
    Statement st(db_, "SELECT 1 FROM records WHERE stamp = ?1 AND raw = ?2 AND gap_since IS NULL LIMIT 1");
    st.bind(1, stamp).bind_blob(2, raw);
    return st.ok() && st.step() == SQLITE_ROW;
}

int Writer::keep(const std::vector<Record> &records, std::optional<uint32_t> gap_since, int64_t now)
{
    if (records.empty())
        return SQLITE_OK;
    int rc = sqlite3_exec(db_, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK)
        return rc;
    Statement insert(db_, "INSERT INTO records (stamp, raw, colour, sender, text, notice, gap_since, folded, archived)"
                          " VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9)");
    rc = insert.prepare_code();
    auto put = [&](const Row &row, std::optional<uint32_t> since) {
        insert.bind(1, row.stamp).bind_blob(2, row.raw).bind(3, row.colour).bind(4, row.sender).bind(5, row.text);
        if (const char *name = notice_name(row.notice))
            insert.bind(6, name);
        if (since)
            insert.bind(7, *since);
        std::string folded = fold(row.text);
        if (folded != row.text)
            insert.bind(8, folded);
        insert.bind(9, now);
        int step = insert.step();
        insert.reset();
        return step == SQLITE_DONE ? SQLITE_OK : sqlite3_errcode(db_);
    };
    if (rc == SQLITE_OK && gap_since) {
        Row gap;
        gap.stamp = records.front().stamp;
        rc = put(gap, gap_since);
    }
    for (size_t i = 0; rc == SQLITE_OK && i < records.size(); ++i)
        rc = put(decode(records[i].stamp, records[i].raw), std::nullopt);
    if (rc == SQLITE_OK)
        rc = sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK && !sqlite3_get_autocommit(db_))
        exec(db_, "ROLLBACK");
    return rc;
}

int Writer::trim(int64_t before, int batch)
{
    // Only among the oldest rows, which the primary key finds at once; the
    // times they were kept at grow with their ids.
    Statement st(db_, "DELETE FROM records WHERE id IN (SELECT id FROM (SELECT id, archived FROM records"
                      " ORDER BY id LIMIT ?2) WHERE archived < ?1) AND id < (SELECT max(id) FROM records)");
    st.bind(1, before).bind(2, batch);
    if (!st.ok() || st.step() != SQLITE_DONE)
        return -1;
    return sqlite3_changes(db_);
}

}  // namespace chat::archive
