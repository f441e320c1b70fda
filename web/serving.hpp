// What the network link serves, in plain code: the page's files with their
// headers and the chat's title, and the queue of messages waiting for a
// browser.
#pragma once

#include <cstddef>
#include <deque>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace chat_web {

// The page's files, embedded at build time (web/page_files.cmake lists them).
struct PageFile {
    const char *path;
    const char *type;
    const char *body;
    unsigned long size;
};
extern const PageFile page_files[];
extern const unsigned long page_file_count;

// The file served at a request's target (its query aside); null for none.
const PageFile *find_page(std::string_view target);

// The headers sent with the page and its files (Content-Type aside).
// `host` is the request's Host, for the WebSocket source of the policy.
std::vector<std::pair<std::string, std::string>> page_headers(std::string_view host);

// The page's HTML with the chat's title (from --title) in its chat-title
// meta element, escaped; with an empty title the page names itself after
// the host the browser used.
std::string page_with_title(std::string_view html, std::string_view title);
// The page's HTML told (in its chat-before-login meta element) to show the
// history before the login: --show-before-login.
std::string page_showing_before_login(std::string_view html);
// The same for any meta element of the page with an empty content: the
// page's HTML with `value` in it, escaped.
std::string page_with_meta(std::string_view html, std::string_view name, std::string_view value);

// Messages for the browser. One is written at a time: take() hands it to
// the socket, and from then on it no longer counts; the cap counts the
// bytes waiting behind it, so that a browser that reads promptly is never
// taken for a slow one however large the message being written.
class OutQueue {
public:
    explicit OutQueue(size_t max_bytes) : max_(max_bytes) {}
    // False (and nothing queued) when the waiting bytes would pass the
    // cap; a message that finds nothing waiting is always taken.
    bool push(std::string message);
    bool empty() const { return queue_.empty(); }
    // The next message to write, no longer counted.
    std::string take();
    size_t bytes() const { return bytes_; }

private:
    size_t max_;
    size_t bytes_ = 0;
    std::deque<std::string> queue_;
};

}  // namespace chat_web
