// Reading the history file from outside the server: read-only, with pread
// under the same shared lock that the server's deliveries take, never
// through a mapping (the file may be cut short while it is read).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "src/common/protocol.hpp"

namespace chat {

// One used slot: its stamp (unsigned seconds since the Epoch) and its text,
// the bytes before the NUL (all 256 when a damaged slot has none).
struct HistoryRecord {
    uint32_t stamp = 0;
    std::string text;
};

enum class HistoryStatus {
    ok,
    too_short,  // shorter than the 20 slots (new, or cut while the server runs)
    locked,     // the lock could not be had within the wait
    failed,     // fstat, pread or fcntl failed; errno tells why
    foreign,    // none of its records looks like one: some other file
};

// Reads the used slots of the history open on `fd`, oldest first, into
// `records`: slot 0 and the slots after it while their stamps strictly
// decrease and are not 0. Waits at most `lock_wait_ms` for the lock,
// retrying every few milliseconds (0: one attempt). A file with records
// of which none starts like one (nine colour characters and a TAB) is
// foreign and gives no records; a damaged record among good ones is
// returned like the others, and an all-zero file is an empty history.
HistoryStatus read_history(int fd, std::vector<HistoryRecord> &records, int lock_wait_ms);

// The stamp kept in the four bytes at `bytes`, the start of a slot: an
// unsigned little-endian number of seconds since the Epoch.
uint32_t decode_stamp(const void *bytes);

// Opens a history file for reading without ever blocking (a FIFO would
// wait for a writer); -1 with errno set on failure, and with errno EISDIR
// (or EINVAL for anything else that is not a regular file) when it is no
// file at all.
int open_history(const char *path);

// Why the history could not be read, in the user's language, for a
// message that names the file before it: "not a regular file" or the
// system's words for `error` after a failed open_history (status failed)
// or read_history, and for too_short and foreign what makes the file no
// chat history. Empty for ok and locked (a later try may get past a lock;
// the caller says how long it waited).
std::string history_read_problem(HistoryStatus status, int error);

// The records in `records` (oldest first) stamped later than `stamp`.
std::vector<HistoryRecord> newer_than(const std::vector<HistoryRecord> &records, uint32_t stamp);

}  // namespace chat
