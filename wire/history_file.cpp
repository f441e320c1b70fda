// The history-file reader: pread under a shared record lock, slot by slot.
#include "wire/history_file.hpp"
#include "wire/reader.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "i18n/i18n.hpp"
#include "i18n/sentence.hpp"

namespace chat {

namespace {

constexpr long lock_retry_ms = 5;

bool lock_file(int fd, short type, int wait_ms)
{
    struct flock lock {};
    lock.l_type = type;
    lock.l_whence = SEEK_SET;
    for (int waited = 0;; waited += lock_retry_ms) {
        if (fcntl(fd, F_SETLK, &lock) == 0)
            return true;
        if (errno != EAGAIN && errno != EACCES && errno != EINTR)
            return false;
        if (waited >= wait_ms)
            return false;
        timespec pause {0, lock_retry_ms * 1'000'000};
        nanosleep(&pause, nullptr);
    }
}

bool read_all(int fd, unsigned char *into, size_t len)
{
    size_t done = 0;
    while (done < len) {
        ssize_t n = pread(fd, into + done, len - done, static_cast<off_t>(done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

uint32_t decode_stamp(const void *bytes)
{
    const unsigned char *p = static_cast<const unsigned char *>(bytes);
    return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24;
}

int open_history(const char *path)
{
    int fd = open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return -1;
    struct stat st;
    bool known = fstat(fd, &st) == 0;
    if (!known || !S_ISREG(st.st_mode)) {
        int error = !known ? errno : S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
        close(fd);
        errno = error;
        return -1;
    }
    return fd;
}

HistoryStatus read_history(int fd, std::vector<HistoryRecord> &records, int lock_wait_ms)
{
    records.clear();
    if (!lock_file(fd, F_RDLCK, lock_wait_ms))
        return errno == EAGAIN || errno == EACCES || errno == EINTR ? HistoryStatus::locked
                                                                    : HistoryStatus::failed;
    unsigned char area[board_bytes];
    struct stat st;
    HistoryStatus status = HistoryStatus::ok;
    if (fstat(fd, &st) != 0)
        status = HistoryStatus::failed;
    else if (st.st_size < static_cast<off_t>(board_bytes) || !read_all(fd, area, sizeof area))
        status = HistoryStatus::too_short;  // also when it was cut while being read
    int saved = errno;
    lock_file(fd, F_UNLCK, 0);
    errno = saved;
    if (status != HistoryStatus::ok)
        return status;
    uint32_t previous = 0;
    for (int slot = 0; slot < board_slots; ++slot) {
        const unsigned char *p = area + slot * slot_bytes;
        uint32_t stamp = decode_stamp(p);
        if (stamp == 0 || (slot > 0 && stamp >= previous))
            break;
        const char *text = reinterpret_cast<const char *>(p + 4);
        records.insert(records.begin(), {stamp, std::string(text, strnlen(text, text_size))});
        previous = stamp;
    }
    auto is_record = [](const HistoryRecord &r) { return looks_like_record(r.text); };
    if (!records.empty() && std::none_of(records.begin(), records.end(), is_record)) {
        records.clear();
        return HistoryStatus::foreign;
    }
    return HistoryStatus::ok;
}

std::string history_read_problem(HistoryStatus status, int error)
{
    switch (status) {
    case HistoryStatus::ok:
    case HistoryStatus::locked: return "";
    case HistoryStatus::too_short: return sentence(_("it is shorter than %zu bytes"), board_bytes);
    case HistoryStatus::foreign: return _("none of its records looks like one");
    case HistoryStatus::failed: break;
    }
    // What open_history says of anything that is no regular file.
    return error == EINVAL ? _("not a regular file") : strerror(error);
}

std::vector<HistoryRecord> newer_than(const std::vector<HistoryRecord> &records, uint32_t stamp)
{
    std::vector<HistoryRecord> out;
    for (const auto &r : records)
        if (r.stamp > stamp)
            out.push_back(r);
    return out;
}

}  // namespace chat
