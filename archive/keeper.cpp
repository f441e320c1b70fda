// Following the board: a cheap look at slot 0 ten times a second, a read
// of all 20 slots under the server's read lock when it has changed, and
// one transaction for what is new.
#include "archive/keeper.hpp"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include "i18n/i18n.hpp"
#include "terminal/interrupts.hpp"
#include "i18n/sentence.hpp"

namespace chat_archive {

namespace {

using chat::HistoryRecord;
using chat::archive::Writer;

constexpr long pass_interval_ns = 100'000'000;  // ten looks a second
// A look that finds the board locked by a post waits at most this long
// and otherwise tries again at the next.
constexpr int lock_wait_ms = 50;
// After a failed write, or while the history cannot be read, the next try
// comes a second later.
constexpr int retry_seconds = 1;
// Old rows go this many at a time, one batch a look, so that deleting
// never holds up keeping; every minute the oldest are looked at again.
constexpr int trim_batch = 500;
constexpr int trim_interval_seconds = 60;
constexpr int seconds_per_day = 86'400;

void say(const std::string &words) { fprintf(stderr, "chat_archive: %s\n", words.c_str()); }

bool same_record(const HistoryRecord &r, const Writer::Record &kept)
{
    return r.stamp == kept.stamp && r.text == kept.raw;
}

// Where the last record kept stands on the board (oldest first), found the
// way a delivery finds the last one it sent: past every record stamped
// later, the next must be it. -1 when it is gone.
int position_of(const std::vector<HistoryRecord> &records, const Writer::Record &kept)
{
    int at = static_cast<int>(records.size()) - 1;
    while (at >= 0 && records[static_cast<size_t>(at)].stamp > kept.stamp)
        --at;
    return at >= 0 && same_record(records[static_cast<size_t>(at)], kept) ? at : -1;
}

void next_tick(timespec &at)
{
    at.tv_nsec += pass_interval_ns;
    if (at.tv_nsec >= 1'000'000'000) {
        at.tv_nsec -= 1'000'000'000;
        ++at.tv_sec;
    }
}

}  // namespace

Keeper::Keeper(Options options, std::unique_ptr<Writer> writer)
    : options_(std::move(options)), writer_(std::move(writer))
{
    // Nothing is read from the board until the archive says where it
    // stopped; a file that cannot be written now may be later.
    if (!writer_->writable() || !writer_->newest_record(&last_))
        write_failed(writer_->writable() ? SQLITE_IOERR : SQLITE_READONLY, time(nullptr));
}

Keeper::~Keeper()
{
    if (fd_ >= 0)
        close(fd_);
}

int Keeper::follow_board()
{
    timespec at;
    clock_gettime(CLOCK_MONOTONIC, &at);
    while (!chat::interrupted && !failed_for_good_) {
        pass(time(nullptr));
        next_tick(at);
        timespec now;
        clock_gettime(CLOCK_MONOTONIC, &now);
        if (now.tv_sec > at.tv_sec + 1)  // a pass that took long (a slow disk): no catching up in a rush
            at = now;
        while (!chat::interrupted && clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr) == EINTR) {
        }
    }
    return failed_for_good_ ? 1 : 0;
}

void Keeper::pass(time_t now)
{
    if (write_failing_ && now < retry_at_)
        return;
    if (reopen_ && !reopen_archive())
        return;
    if (!reopen_history_if_moved(now))
        return;
    std::vector<HistoryRecord> records;
    if ((write_failing_ || !slot_zero_unchanged()) && read_board(records))
        keep_new(records, now);
    if (!write_failing_)
        trim(now);
}

// Opens the history, and once a second checks that the path still names
// the file open: a history replaced by another file is followed there.
bool Keeper::reopen_history_if_moved(time_t now)
{
    if (fd_ >= 0 && now == checked_path_)
        return true;
    checked_path_ = now;
    struct stat st;
    if (fd_ >= 0 && stat(options_.history.c_str(), &st) == 0 && st.st_dev == device_ && st.st_ino == inode_)
        return true;
    int fd = chat::open_history(options_.history.c_str());
    if (fd < 0) {
        int error = errno;
        if (fd_ >= 0)
            return true;  // being replaced: the old file until the new one is there
        history_trouble(problem_sentence(chat::HistoryStatus::failed, error));
        return false;
    }
    if (fd_ >= 0)
        close(fd_);
    fd_ = fd;
    fstat(fd_, &st);
    device_ = st.st_dev;
    inode_ = st.st_ino;
    slot_zero_len_ = -1;
    return true;
}

// Slot 0 read without the lock: a post under way may be read half done,
// which reads as a change, and the locked read then shows what it is.
bool Keeper::slot_zero_unchanged()
{
    unsigned char now[slot_bytes];
    ssize_t n = pread(fd_, now, sizeof now, 0);
    return n == slot_zero_len_ && (n <= 0 || memcmp(now, slot_zero_, static_cast<size_t>(n)) == 0);
}

bool Keeper::read_board(std::vector<HistoryRecord> &records)
{
    unsigned char zero[slot_bytes];
    ssize_t zero_len = pread(fd_, zero, sizeof zero, 0);
    switch (chat::read_history(fd_, records, lock_wait_ms)) {
    case chat::HistoryStatus::ok: break;
    case chat::HistoryStatus::locked: return false;  // the next look will do
    case chat::HistoryStatus::too_short:
        records.clear();  // cleared or cut short: empty until the server writes it again
        break;
    case chat::HistoryStatus::failed:
        history_trouble(problem_sentence(chat::HistoryStatus::failed, errno));
        return false;
    case chat::HistoryStatus::foreign:
        history_trouble(problem_sentence(chat::HistoryStatus::foreign, 0));
        records.clear();
        break;
    }
    if (history_said_ && !records.empty()) {
        say(chat::sentence(_("reading %s again"), options_.history.c_str()));
        history_said_ = false;
    }
    // Slot 0 as it was before the locked read: a post in between is seen
    // at the next look.
    memcpy(slot_zero_, zero, zero_len > 0 ? static_cast<size_t>(zero_len) : 0);
    slot_zero_len_ = zero_len;
    return true;
}

// Everything after the last record kept is new. When that one is gone from
// the board, every record there is new unless the archive holds it already
// (a history put back from a copy); and a full board of new records may
// have lost some to more than 20 posts: a possible gap goes before them.
void Keeper::keep_new(const std::vector<HistoryRecord> &records, time_t now)
{
    if (records.empty()) {
        if (first_look_ == 0)
            first_look_ = now;
        return;
    }
    std::vector<Writer::Record> fresh;
    std::optional<uint32_t> gap_since;
    int at = last_ ? position_of(records, *last_) : -1;
    if (at >= 0) {
        for (size_t i = static_cast<size_t>(at) + 1; i < records.size(); ++i)
            fresh.push_back({records[i].stamp, records[i].text});
    } else {
        for (const HistoryRecord &r : records)
            if (!last_ || !writer_->holds(r.stamp, r.text))
                fresh.push_back({r.stamp, r.text});
        // On the first look at the board into an empty archive, what went
        // before was never kept: the archive's start, not a gap.
        bool full = records.size() == static_cast<size_t>(board_slots);
        bool oldest_new = !fresh.empty() && fresh.front().stamp == records.front().stamp &&
                          fresh.front().raw == records.front().text;
        if (full && oldest_new && (last_ || first_look_ != 0))
            gap_since = last_ ? last_->stamp : static_cast<uint32_t>(first_look_);
    }
    int rc = writer_->keep(fresh, gap_since, now);
    if (rc != SQLITE_OK) {
        write_failed(rc, now);
        return;
    }
    if (write_failing_)
        say(chat::sentence(_("keeping records in %s again"), options_.archive.c_str()));
    write_failing_ = false;
    if (first_look_ == 0)
        first_look_ = now;
    last_ = Writer::Record {records.back().stamp, records.back().text};
}

// A full disk, a read-only file, a lock held too long: said once for the
// whole episode, tried again every second, and caught up from the board
// once it works. The board's records wait there meanwhile.
void Keeper::write_failed(int code, time_t now)
{
    if (!write_failing_)
        say(chat::sentence(_("cannot keep records in %s: %s; trying again every second"),
                           options_.archive.c_str(), sqlite3_errstr(code)));
    write_failing_ = true;
    retry_at_ = now + retry_seconds;
    // A read-only connection stays read-only, and one that could not say
    // where the archive stopped must not guess: a new one may do better.
    if ((code & 0xff) == SQLITE_READONLY || (code & 0xff) == SQLITE_CANTOPEN || (code & 0xff) == SQLITE_IOERR)
        reopen_ = true;
}

bool Keeper::reopen_archive()
{
    writer_.reset();
    Writer::Refusal refusal;
    std::string why;
    writer_ = Writer::open(options_.archive, &refusal, &why);
    if (!writer_ && refusal != Writer::Refusal::cannot_open && refusal != Writer::Refusal::in_use) {
        say(why);
        failed_for_good_ = true;
        return false;
    }
    if (!writer_ || !writer_->writable() || !writer_->newest_record(&last_)) {
        retry_at_ = time(nullptr) + retry_seconds;
        return false;
    }
    reopen_ = false;
    return true;
}

// With --keep-days, deletes what was kept longer ago than that, a batch a
// look while there is some, and looks again a minute later.
void Keeper::trim(time_t now)
{
    if (options_.keep_days <= 0 || now < trim_at_)
        return;
    int64_t before = static_cast<int64_t>(now) - static_cast<int64_t>(options_.keep_days) * seconds_per_day;
    int deleted = writer_->trim(before, trim_batch);
    if (deleted < trim_batch)
        trim_at_ = now + trim_interval_seconds;
}

// Why the history cannot be read now, in the words chat_history uses.
std::string Keeper::problem_sentence(chat::HistoryStatus status, int error) const
{
    std::string problem = chat::history_read_problem(status, error);
    const char *path = options_.history.c_str();
    if (status == chat::HistoryStatus::foreign)
        return chat::sentence(_("%s is no chat history: %s"), path, problem.c_str());
    return chat::sentence(_("cannot read %s: %s"), path, problem.c_str());
}

void Keeper::history_trouble(const std::string &words)
{
    if (!history_said_)
        say(chat::sentence(_("%s; trying again"), words.c_str()));
    history_said_ = true;
}

}  // namespace chat_archive
