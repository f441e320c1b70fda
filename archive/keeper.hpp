// chat_archive's work: following the board in chat.dat and keeping every
// record it ever holds in the archive.
#pragma once

#include <csignal>
#include <memory>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

#include "archive/store.hpp"
#include "src/common/protocol.hpp"
#include "wire/history_file.hpp"

namespace chat_archive {

struct Options {
    std::string history = board_path;
    std::string archive;
    int keep_days = 0;  // 0: keep everything
};

class Keeper {
public:
    Keeper(Options options, std::unique_ptr<chat::archive::Writer> writer);
    ~Keeper();
    Keeper(const Keeper &) = delete;
    Keeper &operator=(const Keeper &) = delete;

    // Looks at the board ten times a second until SIGINT or SIGTERM (chat::interrupted); 0, or 1
    // when the archive stopped being one (replaced while closed for a retry).
    int follow_board();

private:
    void pass(time_t now);
    bool reopen_history_if_moved(time_t now);
    bool slot_zero_unchanged();
    bool read_board(std::vector<chat::HistoryRecord> &records);
    void keep_new(const std::vector<chat::HistoryRecord> &records, time_t now);
    void write_failed(int code, time_t now);
    bool reopen_archive();
    void trim(time_t now);
    std::string problem_sentence(chat::HistoryStatus status, int error) const;
    void history_trouble(const std::string &words);

    Options options_;
    std::unique_ptr<chat::archive::Writer> writer_;
    // The newest record kept: the board is read on from it, as a
    // connection's delivery reads on from the last record it sent.
    std::optional<chat::archive::Writer::Record> last_;

    int fd_ = -1;
    dev_t device_ = 0;
    ino_t inode_ = 0;
    time_t checked_path_ = 0;
    // Slot 0 as read at the last pass that kept what the board held: while
    // it reads the same, nothing has been posted.
    unsigned char slot_zero_[slot_bytes] = {};
    ssize_t slot_zero_len_ = -1;

    // When this run first read the board (0: not yet): the earliest time
    // a gap could begin while the archive has no record yet.
    time_t first_look_ = 0;
    bool history_said_ = false;  // a problem with the history has been reported
    bool write_failing_ = false; // in an episode of failed writes, reported once
    bool reopen_ = false;        // the connection cannot write: open it again
    time_t retry_at_ = 0;
    time_t trim_at_ = 0;
    bool failed_for_good_ = false;
};

}  // namespace chat_archive
