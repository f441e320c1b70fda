// chat_history --archive: the archive's records by time or by text, in the
// same lines and JSON objects as the board's.
#pragma once

#include <csignal>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "wire/history_file.hpp"

namespace chat_history {

struct ArchiveQuery {
    std::string database;
    uint32_t since = 0;
    uint32_t until = UINT32_MAX;
    std::optional<std::string> search;
    long long limit = -1;  // -1: all for a range, 100 for a search
    bool follow = false;
};

// Where the rows go: records as the board's, and a possible gap with the
// stamps of the records around it.
struct ArchiveOutput {
    std::function<void(const chat::HistoryRecord &)> record;
    std::function<void(uint32_t since, uint32_t until)> gap;
};

// A time as given to --since or --until: YYYY-MM-DD, or ISO 8601 with a
// time of day (local unless it ends in Z or an offset such as +09:00).
// A bare date means its first second, or with `end_of_day` its last.
std::optional<uint32_t> parse_time(const std::string &text, bool end_of_day);

// Prints what the query asks for, then with `follow` what is kept later,
// until `interrupted`. Returns the exit status: 0, or 1 when the archive
// cannot be read (said on standard error).
int show_archive(const ArchiveQuery &query, const ArchiveOutput &out, const volatile sig_atomic_t &interrupted);

}  // namespace chat_history
