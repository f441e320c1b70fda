// The framing check: whole error replies and whole batches, record by record.
#include "framing.hpp"

#include "wire/reader.hpp"

namespace chat_test {

std::string framing_problem(std::string_view s)
{
    static constexpr reply_text errors[] = {reply_bad_command, reply_not_logged_in,
                                            reply_already_logged_in, reply_busy, reply_full,
                                            reply_server_stopped};
    size_t p = 0;
    auto at = [&](const char *what) { return std::string(what) + " at byte " + std::to_string(p); };
    while (p < s.size()) {
        bool matched = false;
        for (const reply_text &e : errors)
            if (s.substr(p).starts_with(std::string_view(e.bytes, e.len))) {
                p += e.len;
                matched = true;
                break;
            }
        if (matched)
            continue;
        if (!s.substr(p).starts_with("OK\r\n"))
            return at("unexpected bytes");
        p += 4;
        while (!s.substr(p).starts_with("END\r\n")) {
            if (p >= s.size())
                return at("a batch without its END");
            if (!chat::looks_like_record(s.substr(p, colour_chars + 1)))
                return at("a record without its colour");
            size_t lf = s.find('\n', p);
            size_t end = lf != std::string_view::npos && lf - p < record_max ? lf + 1 : p + record_max;
            if (end > s.size())
                return at("a record cut short");
            p = end;
        }
        p += 5;
    }
    return "";
}

}  // namespace chat_test
