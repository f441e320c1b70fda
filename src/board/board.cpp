// The board's work: mapping chat.dat, taking turns on it with record locks,
// posting with fresh stamps and delivering what a client has not seen.
#include "board.hpp"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The new history is assembled here and copied over the board in one go.
board_record staging[board_slots];

// What a delivery sends: OK, the new records oldest first, and END. It is
// copied out under the lock, so that a slow client never holds the lock
// while its socket drains, and goes out in one write.
char batch[reply_ok.len + board_slots * text_size + reply_end.len];
size_t batch_len = 0;

// Writes all of `len` bytes to the client, retrying after partial writes
// and interrupted calls. The socket's send time-out ends a write to a
// client that stopped reading; that client is then treated as gone.
void write_all(const char *bytes, size_t len)
{
    while (len > 0 && client_fd > 0 && !client_stalled) {
        ssize_t n = write(client_fd, bytes, len);
        if (n > 0) {
            bytes += n;
            len -= static_cast<size_t>(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
                client_stalled = 1;
            return;
        }
    }
}

void block_tick(sigset_t *saved)
{
    sigset_t tick;
    sigemptyset(&tick);
    sigaddset(&tick, SIGALRM);
    sigprocmask(SIG_BLOCK, &tick, saved);
}

void restore_mask(const sigset_t *saved)
{
    sigprocmask(SIG_SETMASK, saved, nullptr);
}

// The next stamp: the clock, or one past the newest record when the clock
// has not moved past it, so that stamps always strictly increase. Stamps
// are unsigned seconds; 0 when the newest record already holds the last
// one there is.
uint32_t next_stamp()
{
    uint32_t now = static_cast<uint32_t>(time(nullptr));
    if (board[0].stamp >= now)
        return board[0].stamp == UINT32_MAX ? 0 : board[0].stamp + 1u;
    return now;
}

// Grows the history file back to its full length (the mapped length and
// one byte) when it has been cut short under the mapping (truncate, or
// ": > chat.dat"). True when it was short and has been grown.
bool grow_back_if_cut()
{
    struct stat st;
    off_t full = static_cast<off_t>(board_len + 1);
    return fstat(board_fd, &st) == 0 && st.st_size < full && ftruncate(board_fd, full) == 0;
}

// Called with the write lock held and the tick held off. False when no
// stamp is left; nothing is posted then. A history file cut short is
// grown back first, so that the post lands in a whole file.
bool push_record(const char *text)
{
    uint32_t stamp = next_stamp();
    if (stamp == 0)
        return false;
    grow_back_if_cut();
    size_t len = strnlen(text, record_max);
    memset(&staging[0], 0, sizeof staging[0]);
    staging[0].stamp = stamp;
    memcpy(staging[0].text, text, len);
    memcpy(&staging[1], &board[0], (board_slots - 1) * sizeof(board_record));
    memcpy(board, staging, board_bytes);
    msync(board, board_bytes, 0);
    return true;
}

void append(const char *bytes, size_t len)
{
    memcpy(batch + batch_len, bytes, len);
    batch_len += len;
}

// Whether `slot` holds the record that slot 0 held at the last delivery:
// its stamp and its text.
bool holds_last_seen(int slot)
{
    return board[slot].stamp == last_seen &&
           strncmp(board[slot].text, last_seen_text, text_size) == 0;
}

// How many records, from slot 0 on, the client has not been sent: those
// above the one it saw last, or all of them when that one is no longer on
// the board (more than 20 posts since, or the history was cut and posted
// to again, with stamps that may be lower than last_seen or equal to it).
int unseen_count()
{
    int count = 0;
    while (count < board_slots && board[count].stamp > last_seen)
        ++count;
    if (count < board_slots && holds_last_seen(count))
        return count;
    count = 0;
    while (count < board_slots && board[count].stamp != 0)
        ++count;
    return count;
}

// Slot 0 as the batch was taken: what the client has seen once it is sent.
board_record batch_newest;

// Called under a lock: puts every record the client has not been sent into
// the batch, oldest first, framed by OK and END (nothing at all when there
// is none, as on a history cut to nothing). False when slot 0 still holds
// the record seen last, so that nothing is to be sent.
bool take_batch()
{
    if (holds_last_seen(0))
        return false;
    int count = unseen_count();
    batch_newest.stamp = board[0].stamp;
    memcpy(batch_newest.text, board[0].text, text_size);
    batch_len = 0;
    if (count == 0)
        return true;
    append(reply_ok.bytes, reply_ok.len);
    for (int i = count - 1; i >= 0; --i)
        append(board[i].text, strnlen(board[i].text, text_size));
    append(reply_end.bytes, reply_end.len);
    return true;
}

void send_batch()
{
    write_all(batch, batch_len);
    last_seen = batch_newest.stamp;
    memcpy(last_seen_text, batch_newest.text, text_size);
}

bool client_present()
{
    return client_fd > 0 && !client_stalled;
}

// Others hold the lock for microseconds at a time (a copy of 5200 bytes at
// the most), so a burst of quick retries nearly always gets it without the
// one-second pause, which is meant for a lock that stays held.
bool retry_quickly(int fd, struct flock *lock)
{
    for (int i = 0; i < quick_lock_retries; ++i) {
        timespec pause {0, quick_lock_pause_ns};
        nanosleep(&pause, nullptr);
        if (fcntl(fd, F_SETLK, lock) == 0)
            return true;
    }
    return false;
}

// The newest stamp, read without the lock: a word that a post rewrites
// whole, good enough to see that nothing has changed.
uint32_t peek_newest_stamp()
{
    return std::atomic_ref<uint32_t>(board[0].stamp).load(std::memory_order_relaxed);
}

// Slot 0 still holds the record seen last, read without the lock. A post
// under way may be read half done; that reads as a change, and the lock
// then shows what it is.
bool peek_nothing_new()
{
    return peek_newest_stamp() == last_seen && holds_last_seen(0);
}

// True while the newest stamp is stamp_lead_seconds or more ahead of the
// clock: posts have run ahead of it (or the clock went back).
bool stamps_far_ahead()
{
    int64_t lead = static_cast<int64_t>(peek_newest_stamp()) - static_cast<int64_t>(time(nullptr));
    return lead >= stamp_lead_seconds;
}

constexpr long second_ns = 1'000'000'000;

// The monotonic clock `ns` nanoseconds (less than a second) from now.
timespec monotonic_in(long ns)
{
    timespec at;
    clock_gettime(CLOCK_MONOTONIC, &at);
    at.tv_nsec += ns;
    if (at.tv_nsec >= second_ns) {
        at.tv_sec += 1;
        at.tv_nsec -= second_ns;
    }
    return at;
}

bool earlier(const timespec &a, const timespec &b)
{
    return a.tv_sec < b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec < b.tv_nsec);
}

// Sleeps until the clock's next second; false as soon as the listener is
// seen gone, which no signal announces: the sleep is taken in slices with
// a look in between. The tick's SIGALRM cuts a slice short and delivers,
// and the sleep goes on to the same deadline. The deadline lies on the
// monotonic clock, so that the clock being set meanwhile cannot stretch
// the sleep past a second.
bool wait_for_next_second()
{
    timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    timespec deadline = monotonic_in(second_ns - now.tv_nsec);
    for (;;) {
        timespec slice = monotonic_in(listener_look_ms * 1'000'000L);
        bool last = !earlier(slice, deadline);
        int result = clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, last ? &deadline : &slice, nullptr);
        if (!listener_running())
            return false;
        if (last && result == 0)
            return true;
    }
}

}  // namespace

board_record *board_map(int *fd, const char *path, size_t *len)
{
    *fd = open(path, O_RDWR | O_CREAT, 0666);
    if (*fd == -1) {
        perror("open");
        return nullptr;
    }
    // The next multiple of the page size strictly above the wanted length.
    size_t page = static_cast<size_t>(getpagesize());
    size_t mapped = (*len / page + 1) * page;
    *len = mapped;
    if (lseek(*fd, static_cast<off_t>(mapped), SEEK_SET) < 0) {
        perror("lseek");
        return nullptr;
    }
    // Rewriting the byte at `mapped` grows a short file to mapped + 1 bytes
    // of zeros and leaves a longer one as it is.
    char byte = 0;
    if (read(*fd, &byte, 1) != 1)
        byte = 0;
    if (pwrite(*fd, &byte, 1, static_cast<off_t>(mapped)) != 1) {
        perror("write");
        return nullptr;
    }
    void *address = mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_SHARED, *fd, 0);
    if (address == MAP_FAILED) {
        perror("mmap");
        return nullptr;
    }
    return static_cast<board_record *>(address);
}

void board_unmap(int fd, board_record *address, size_t len)
{
    msync(address, len, MS_SYNC);
    if (munmap(address, len) == -1)
        perror("munmap");
    close(fd);
}

int board_lock(int fd, short type)
{
    struct flock lock {};
    lock.l_type = type;
    lock.l_whence = SEEK_SET;
    lock.l_start = 0;
    lock.l_len = 0;
    for (int attempt = 1;; ++attempt) {
        if (fcntl(fd, F_SETLK, &lock) == 0 || retry_quickly(fd, &lock))
            return 0;
        sleep(1);
        if (attempt >= lock_attempts)
            return -1;
    }
}

// The poster's own delivery is taken while the write lock is still held
// (the records a read lock right after would find, as of this post) and
// sent once the lock is released, followed by the next tick, just as the
// tick handler would have done it, without a signal.
void board_post(const char *text)
{
    // One post at most per second and connection while the stamps are far
    // ahead, so that they can never catch up with 4294967295. The wait comes
    // before the tick is held off: deliveries go on meanwhile. Nothing is
    // posted once the listener has gone.
    if (board_post_would_wait() && !wait_for_next_second())
        return;
    // Record locks belong to the process: a tick inside the post would take
    // and drop a read lock and so give up the write lock early.
    sigset_t saved;
    block_tick(&saved);
    if (board_lock(board_fd, F_WRLCK) == -1) {
        write_all(reply_busy.bytes, reply_busy.len);
        restore_mask(&saved);
        return;
    }
    bool posted = push_record(text);
    bool to_send = posted && client_present() && take_batch();
    if (board_lock(board_fd, F_UNLCK) == -1 || !posted) {
        write_all(reply_busy.bytes, reply_busy.len);
    } else {
        if (to_send)
            send_batch();
        alarm(tick_seconds);
    }
    restore_mask(&saved);
}

bool board_post_would_wait()
{
    return stamp_wait && stamps_far_ahead();
}

void board_deliver()
{
    if (!client_present())
        return;
    if (peek_nothing_new())
        return;  // the usual idle tick: nothing new, no lock taken
    if (board_lock(board_fd, F_RDLCK) == -1) {
        write_all(reply_busy.bytes, reply_busy.len);
        return;
    }
    bool to_send = take_batch();
    board_lock(board_fd, F_UNLCK);
    if (to_send)
        send_batch();
}

void board_deliver_now()
{
    sigset_t saved;
    block_tick(&saved);
    board_deliver();
    alarm(tick_seconds);
    restore_mask(&saved);
}

// A history file cut short under the mapping (truncate, or ": > chat.dat")
// makes every access past its new end raise SIGBUS. The handler grows the
// file back to its mapped length and returns: the access is then made
// again and finds zeros, an empty history, and posting goes on. A SIGBUS
// that has another cause is left to kill the process as before.
void on_history_cut(int, siginfo_t *info, void *)
{
    int saved_errno = errno;
    const char *at = static_cast<const char *>(info->si_addr);
    const char *start = reinterpret_cast<const char *>(board);
    bool grown = board != nullptr && at >= start && at < start + board_len && grow_back_if_cut();
    if (!grown) {
        struct sigaction fatal {};
        fatal.sa_handler = SIG_DFL;
        sigaction(SIGBUS, &fatal, nullptr);
    }
    errno = saved_errno;
}

// Slot 0 is read under the read lock; should that stay held past its
// budget, it is read all the same: what holds the lock for minutes is
// hardly a post half done.
void board_catch_up()
{
    bool locked = board_lock(board_fd, F_RDLCK) == 0;
    last_seen = board[0].stamp;
    memcpy(last_seen_text, board[0].text, text_size);
    if (locked)
        board_lock(board_fd, F_UNLCK);
}

void client_send(reply_text reply)
{
    sigset_t saved;
    block_tick(&saved);
    write_all(reply.bytes, reply.len);
    restore_mask(&saved);
}

void on_alarm(int)
{
    int saved_errno = errno;
    board_deliver();
    alarm(tick_seconds);
    errno = saved_errno;
}
