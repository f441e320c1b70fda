// Pending lines: matching the records that come back, and the time after
// which a line counts as late.
#include "pending.hpp"

#include <algorithm>
#include <iterator>

namespace chat_client {

std::string Posted::text() const
{
    std::string joined;
    for (const std::string &piece : pieces)
        joined += piece;
    return joined;
}

bool PendingPosts::arrived(const std::string &record, std::vector<Posted> *passed_over)
{
    auto line = std::find_if(lines_.begin(), lines_.end(),
                             [&](const Posted &pending) { return pending.records.front() == record; });
    if (line == lines_.end())
        return false;
    std::move(lines_.begin(), line, std::back_inserter(*passed_over));
    line = lines_.erase(lines_.begin(), line);
    line->records.pop_front();
    line->pieces.pop_front();
    if (line->records.empty())
        lines_.erase(line);
    return true;
}

std::optional<Posted> PendingPosts::give_up_oldest()
{
    if (lines_.empty())
        return std::nullopt;
    Posted oldest = std::move(lines_.front());
    lines_.pop_front();
    return oldest;
}

bool PendingPosts::mark_late(steady_clock::time_point now)
{
    bool newly = false;
    for (Posted &line : lines_)
        if (!line.late && now - line.sent >= patience)
            line.late = newly = true;
    return newly;
}

int PendingPosts::ms_until_late(steady_clock::time_point now) const
{
    auto first = std::find_if(lines_.begin(), lines_.end(), [](const Posted &line) { return !line.late; });
    if (first == lines_.end())
        return -1;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(first->sent + patience - now);
    return static_cast<int>(std::max<long>(left.count(), 0) + 1);
}

}  // namespace chat_client
