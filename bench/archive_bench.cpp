// archive_bench: the archive on a generated million records, through the
// store's own writer and reader, and chat_archive's cost while nothing is
// posted. Prints a table and, last, one machine-readable line.
//
//   archive_bench [--records N] [--db FILE] [--idle-seconds N] [--runs N]
//
// The archive is generated in a temporary directory and removed after,
// unless --db names a file, which is kept and used again by later runs
// that ask for the same number of records (generating a million takes a
// minute or two).
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <map>
#include <random>
#include <signal.h>
#include <sqlite3.h>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "archive/store.hpp"
#include "wire/codec.hpp"

namespace fs = std::filesystem;
using namespace chat::archive;
using Clock = std::chrono::steady_clock;

namespace {

struct Options {
    long records = 1'000'000;
    std::string db;
    int idle_seconds = 30;
    int runs = 200;
};

Options options;
std::map<std::string, double> figures;

// ---- a realistic chat ----

// Words by how often people use them, most frequent first; each is picked
// with a chance that falls with its rank (Zipf), as in real text.
const char *const english[] = {
    "the", "I", "to", "a", "you", "it", "is", "and", "that", "in", "of", "for", "on", "we", "this", "ok",
    "be", "have", "with", "not", "can", "just", "so", "do", "are", "what", "at", "it's", "but", "was", "will",
    "yes", "no", "if", "now", "there", "get", "my", "about", "thanks", "good", "think", "know", "all", "me",
    "one", "like", "up", "out", "see", "time", "build", "test", "today", "then", "would", "they", "could",
    "here", "let", "me", "check", "look", "fix", "still", "going", "lunch", "later", "need", "back", "sure",
    "work", "tomorrow", "branch", "merge", "review", "please", "sorry", "issue", "meeting", "release",
    "server", "page", "login", "error", "green", "red", "deploy", "commit", "push", "pull", "request",
    "coffee", "room", "done", "again", "someone", "anyone", "morning", "afternoon", "lesson", "homework",
    "slides", "question", "answer", "link", "file", "folder", "script", "kernel", "database", "backup",
    "archive", "search", "scroll", "browser", "window", "terminal", "password", "network", "printer",
    "projector", "whiteboard", "schedule", "deadline", "holiday", "weekend", "Friday", "Monday", "pizza",
    "cache", "latency", "benchmark", "compiler", "linker", "segfault", "valgrind", "sanitizer", "kubernetes",
};
const char *const japanese[] = {
    "です", "ます", "よろしくお願いします", "ありがとうございます", "お疲れ様です", "了解です", "はい",
    "いいえ", "ちょっと", "今日", "明日", "昨日", "会議", "会議室", "予約", "資料", "確認", "お願いします",
    "すみません", "少し遅れます", "先に行きます", "これから", "あとで", "大丈夫です", "ビルド", "テスト",
    "レビュー", "リリース", "サーバー", "ログイン", "エラー", "直しました", "見ました", "送りました",
    "昼ごはん", "コーヒー", "授業", "宿題", "質問", "答え", "スライド", "締め切り", "来週", "金曜日",
    "月曜日", "プリンター", "プロジェクター", "ホワイトボード", "予定", "変更", "共有", "ファイル",
    "フォルダー", "リンク", "パスワード", "ネットワーク", "遅い", "速い", "終わりました", "始めます",
    "休み", "週末", "ピザ", "バックアップ", "アーカイブ", "検索", "ブラウザ", "ウィンドウ", "端末",
    "東京", "大阪", "新幹線", "電車", "雨", "晴れ", "寒い", "暑い", "眠い", "楽しい", "ＯＫ", "ｗ",
};
const char *const names[] = {"alice", "bob", "carol", "dave", "erin", "frank", "grace", "heidi", "ivan", "judy",
                             "たろう", "はなこ", "けんじ", "ゆき", "さくら", "ひろし", "あや", "まさ"};

class Chat {
public:
    Chat() { wire_.open("UTF-8"); }

    // One record as the server stores it: colour, sender, body, CR LF,
    // cut at 255 bytes.
    std::string next()
    {
        std::string name = names[pick(std::size(names), 1.0)];
        char colour[16];
        snprintf(colour, sizeof colour, "%03d%03d%03d", int(rng_() % 256), int(rng_() % 256), int(rng_() % 256));
        double kind = real_(rng_);
        std::string body;
        if (kind < 0.05) {
            static const char *const endings[] = {"がログインしました", "がログアウトしました",
                                                  "はタイムアウトのためログアウトされました"};
            return std::string(colour) + "\t" + wire_.to_wire("メッセージ") + "\t" +
                   wire_.to_wire(name + endings[rng_() % 3]) + "\r\n";
        }
        // The long tail that search is for: ticket numbers and project
        // codes, each in a handful of records.
        bool tail = real_(rng_) < 0.2;
        char code[32];
        if (kind < 0.60) {
            int words = 2 + int(rng_() % 17);
            for (int i = 0; i < words; ++i)
                body += (i ? " " : "") + std::string(english[pick(std::size(english), 1.1)]);
            snprintf(code, sizeof code, " ticket-%05u", unsigned(rng_() % 100000));
        } else {
            int phrases = 1 + int(rng_() % 8);
            for (int i = 0; i < phrases; ++i) {
                body += japanese[pick(std::size(japanese), 1.1)];
                if (real_(rng_) < 0.3)
                    body += i + 1 < phrases ? "、" : "。";
            }
            snprintf(code, sizeof code, "案件%04u", unsigned(rng_() % 10000));
        }
        if (tail)
            body += code;
        std::string raw = std::string(colour) + "\t" + wire_.to_wire(name) + "\t" + wire_.to_wire(body) + "\r\n";
        return raw.substr(0, 255);
    }

private:
    size_t pick(size_t count, double skew)
    {
        if (weights_[count].empty()) {
            for (size_t r = 0; r < count; ++r)
                weights_[count].push_back(1.0 / std::pow(double(r + 1), skew));
        }
        std::discrete_distribution<size_t> d(weights_[count].begin(), weights_[count].end());
        return d(rng_);
    }

    chat::Codec wire_;
    std::mt19937 rng_ {2026};
    std::uniform_real_distribution<double> real_ {0, 1};
    std::map<size_t, std::vector<double>> weights_;
};

// ---- helpers ----

double ms_since(Clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

double percentile(std::vector<double> v, double p)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[std::min(v.size() - 1, size_t(p * double(v.size())))];
}

std::string sql_value(const std::string &db, const char *query)
{
    sqlite3 *h = nullptr;
    std::string value;
    if (sqlite3_open_v2(db.c_str(), &h, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK) {
        sqlite3_stmt *st = nullptr;
        if (sqlite3_prepare_v2(h, query, -1, &st, nullptr) == SQLITE_OK && sqlite3_step(st) == SQLITE_ROW &&
            sqlite3_column_text(st, 0))
            value = reinterpret_cast<const char *>(sqlite3_column_text(st, 0));
        sqlite3_finalize(st);
    }
    sqlite3_close(h);
    return value;
}

std::unique_ptr<Writer> open_writer(const std::string &db)
{
    Writer::Refusal refusal;
    std::string why;
    auto w = Writer::open(db, &refusal, &why);
    if (!w) {
        fprintf(stderr, "archive_bench: %s\n", why.c_str());
        exit(1);
    }
    return w;
}

// Keeps `count` generated records in batches of `batch`, one transaction
// each as chat_archive's passes; records per second.
double keep(Writer &w, Chat &chat, long count, int batch, uint32_t &stamp)
{
    auto start = Clock::now();
    std::vector<Writer::Record> records;
    for (long done = 0; done < count; done += batch) {
        records.clear();
        for (int i = 0; i < batch && done + i < count; ++i) {
            stamp += 1 + uint32_t(i % 7 == 0 ? 17 : 2);
            records.push_back({stamp, chat.next()});
        }
        if (w.keep(records, std::nullopt, time(nullptr)) != SQLITE_OK) {
            fprintf(stderr, "archive_bench: keeping failed: %s\n", w.last_error().c_str());
            exit(1);
        }
    }
    return double(count) / (ms_since(start) / 1000.0);
}

// ---- the scenarios ----

void generate(const std::string &db)
{
    bool reuse = fs::exists(db) && sql_value(db, "SELECT count(*) FROM records") == std::to_string(options.records);
    Chat chat;
    uint32_t stamp = 1780000000;
    if (!reuse) {
        fs::remove(db);
        auto w = open_writer(db);
        double rate = keep(*w, chat, options.records, 20, stamp);
        printf("generated %ld records in batches of 20: %.0f records/s\n", options.records, rate);
        figures["generate_per_s"] = rate;
    }
    sql_value(db, "PRAGMA wal_checkpoint(TRUNCATE)");
    double size = double(fs::file_size(db));
    double per_million = size * 1e6 / double(options.records) / 1048576.0;
    auto part = [&](const char *like) {
        std::string q = std::string("SELECT sum(pgsize) FROM dbstat WHERE name LIKE '") + like + "'";
        return atof(sql_value(db, q.c_str()).c_str()) * 1e6 / double(options.records) / 1048576.0;
    };
    printf("size: %.0f MiB per million records (records %.0f, by stamp %.0f, search index %.0f)\n", per_million,
           part("records"), part("records_by_stamp"), part("records_search%"));
    figures["mib_per_million"] = per_million;
}

// Records per second as chat_archive keeps them on top of a full archive:
// a quiet chat (one record a pass) and a busy one (a full board a pass).
void keeping_rate(const std::string &db)
{
    auto w = open_writer(db);
    Chat chat;
    uint32_t stamp = 2000000000;
    for (int batch : {1, 20}) {
        double rate = keep(*w, chat, 2000, batch, stamp);
        printf("keeping on a full archive, batches of %2d: %.0f records/s\n", batch, rate);
        figures["keep_batch" + std::to_string(batch) + "_per_s"] = rate;
    }
    w.reset();
    // Back to the archive as generated, so that --db can use it again.
    std::string trim = "DELETE FROM records WHERE id > " + std::to_string(options.records);
    sql_value(db, trim.c_str());
}

void scroll_back(Reader &r)
{
    std::mt19937 rng(7);
    int64_t newest = r.newest_id();
    std::vector<double> times;
    for (int i = 0; i < options.runs * 10; ++i) {
        int64_t id = 101 + int64_t(rng() % uint64_t(newest - 100));
        auto start = Clock::now();
        Result result = r.before(id, 100, Budget(1000));
        times.push_back(ms_since(start));
        if (result.rows.size() != 100)
            fprintf(stderr, "archive_bench: before(%lld) gave %zu rows\n", (long long)id, result.rows.size());
    }
    printf("the 100 before a row: p50 %.3f ms, p99 %.3f ms, max %.3f ms (target p99 <= 2 ms)\n",
           percentile(times, 0.5), percentile(times, 0.99), percentile(times, 1.0));
    figures["before100_p99_ms"] = percentile(times, 0.99);
}

// LIKE over the records' own table: the same newest 100 matches, and all
// of them (what a LIKE search must look through to say there are no more).
double like_ms(sqlite3 *h, const std::string &term, bool all)
{
    sqlite3_stmt *st = nullptr;
    sqlite3_prepare_v2(h,
                       all ? "SELECT count(*) FROM records WHERE text LIKE ?1"
                           : "SELECT id FROM records WHERE text LIKE ?1 ORDER BY id DESC LIMIT 100",
                       -1, &st, nullptr);
    std::string pattern = "%" + term + "%";
    sqlite3_bind_text(st, 1, pattern.c_str(), -1, SQLITE_TRANSIENT);
    auto start = Clock::now();
    while (sqlite3_step(st) == SQLITE_ROW) {
    }
    double ms = ms_since(start);
    sqlite3_finalize(st);
    return ms;
}

void search(Reader &r, const std::string &db)
{
    sqlite3 *h = nullptr;
    sqlite3_open_v2(db.c_str(), &h, SQLITE_OPEN_READONLY, nullptr);
    printf("%-14s %7s %8s %8s %13s %6s %13s %6s\n", "search", "found", "p50 ms", "p99 ms", "LIKE 100 ms",
           "ratio", "LIKE all ms", "ratio");
    struct Term {
        const char *text, *key;
    };
    for (Term t : {Term {"meeting", "en_common"}, Term {"release notes", "en_phrase"}, Term {"ticket-31337", "en_rare"},
                   Term {"会議室", "ja_common"}, Term {"ホワイトボード", "ja_word"}, Term {"案件4821", "ja_rare"},
                   Term {"会議", "ja_two"}, Term {"鰻丼", "ja_two_absent"}, Term {"ＯＫ", "fullwidth"}}) {
        std::vector<double> times, limited, all;
        size_t found = 0;
        for (int i = 0; i < options.runs; ++i) {
            auto start = Clock::now();
            Result result = r.search(t.text, 100, Budget(5000));
            times.push_back(ms_since(start));
            found = result.rows.size();
        }
        for (int i = 0; i < 5; ++i) {
            limited.push_back(like_ms(h, fold(t.text), false));
            all.push_back(like_ms(h, fold(t.text), true));
        }
        double p50 = percentile(times, 0.5), p99 = percentile(times, 0.99);
        double like100 = percentile(limited, 0.5), like_all = percentile(all, 0.5);
        printf("%-14s %7zu %8.3f %8.3f %13.2f %5.0fx %13.1f %5.0fx\n", t.text, found, p50, p99, like100,
               like100 / p50, like_all, like_all / p50);
        std::string key = std::string("search_") + t.key;
        figures[key + "_p99_ms"] = p99;
        figures[key + "_like100_ratio"] = like100 / p50;
        figures[key + "_likeall_ratio"] = like_all / p50;
    }
    sqlite3_close(h);
}

// chat_archive on a history that does not change: its CPU time over the
// window, from the scheduler's own account (nanoseconds), next to a loop
// that only wakes as often.
void idle(const std::string &dir)
{
    std::string history = dir + "/chat.dat";
    std::string board(5200, '\0');
    Chat chat;
    for (int slot = 0; slot < 20; ++slot) {
        uint32_t stamp = 1796738400u - uint32_t(slot);
        memcpy(&board[slot * 260], &stamp, 4);
        std::string text = chat.next();
        memcpy(&board[slot * 260 + 4], text.data(), text.size());
    }
    FILE *f = fopen(history.c_str(), "wb");
    fwrite(board.data(), 1, board.size(), f);
    fclose(f);
    pid_t pid = fork();
    if (pid == 0) {
        std::string db = dir + "/idle.db";
        execl(CHAT_ARCHIVE_BINARY, "chat_archive", "--history", history.c_str(), "--archive", db.c_str(), nullptr);
        _exit(127);
    }
    // The floor beside it: a process that does nothing but read 260 bytes
    // of the same file and sleep to the next tenth of a second, as often.
    pid_t floor = fork();
    if (floor == 0) {
        int fd = open(history.c_str(), O_RDONLY);
        char slot[260];
        timespec at;
        clock_gettime(CLOCK_MONOTONIC, &at);
        for (;;) {
            if (pread(fd, slot, sizeof slot, 0) < 0)
                _exit(1);
            at.tv_nsec += 100'000'000;
            if (at.tv_nsec >= 1'000'000'000) {
                at.tv_nsec -= 1'000'000'000;
                ++at.tv_sec;
            }
            clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr);
        }
    }
    auto cpu_ns = [](pid_t p) {
        FILE *s = fopen(("/proc/" + std::to_string(p) + "/schedstat").c_str(), "r");
        unsigned long long ns = 0;
        if (s && fscanf(s, "%llu", &ns) != 1)
            ns = 0;
        if (s)
            fclose(s);
        return ns;
    };
    std::this_thread::sleep_for(std::chrono::seconds(2));  // the first look keeps the board
    unsigned long long before = cpu_ns(pid), floor_before = cpu_ns(floor);
    auto start = Clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(options.idle_seconds));
    unsigned long long used = cpu_ns(pid) - before, floor_used = cpu_ns(floor) - floor_before;
    double seconds = ms_since(start) / 1000.0;
    kill(pid, SIGTERM);
    kill(floor, SIGKILL);
    waitpid(pid, nullptr, 0);
    waitpid(floor, nullptr, 0);
    double percent = double(used) / 1e9 / seconds * 100.0;
    double floor_percent = double(floor_used) / 1e9 / seconds * 100.0;
    printf("chat_archive idle for %.0f s: %.3f ms of CPU, %.4f %% of one core (target < 0.1 %%); "
           "a bare read-and-sleep loop as often: %.4f %%\n",
           seconds, double(used) / 1e6, percent, floor_percent);
    figures["idle_percent"] = percent;
    figures["idle_floor_percent"] = floor_percent;
}

void parse(int argc, char **argv)
{
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&] {
            if (i + 1 >= argc) {
                fprintf(stderr, "archive_bench: %s wants a value\n", a.c_str());
                exit(2);
            }
            return std::string(argv[++i]);
        };
        if (a == "--records")
            options.records = std::stol(value());
        else if (a == "--db")
            options.db = value();
        else if (a == "--idle-seconds")
            options.idle_seconds = std::stoi(value());
        else if (a == "--runs")
            options.runs = std::stoi(value());
        else {
            fprintf(stderr, "usage: archive_bench [--records N] [--db FILE] [--idle-seconds N] [--runs N]\n");
            exit(a == "--help" ? 0 : 2);
        }
    }
}

}  // namespace

int main(int argc, char **argv)
{
    parse(argc, argv);
    char pattern[] = "/tmp/archive-bench-XXXXXX";
    std::string dir = mkdtemp(pattern);
    std::string db = options.db.empty() ? dir + "/archive.db" : options.db;
    generate(db);
    {
        std::string why;
        auto reader = Reader::open(db, &why);
        if (!reader) {
            fprintf(stderr, "archive_bench: %s\n", why.c_str());
            return 1;
        }
        scroll_back(*reader);
        search(*reader, db);
    }
    keeping_rate(db);
    idle(dir);
    if (options.db.empty())
        fs::remove(db);
    fs::remove_all(dir);
    printf("RESULT");
    for (const auto &[key, value] : figures)
        printf(" %s=%.4g", key.c_str(), value);
    printf("\n");
    return 0;
}
