// The page's files and headers, and the queue towards a browser.
#include "serving.hpp"

#include <algorithm>
#include <cctype>

namespace chat_web {

const PageFile *find_page(std::string_view target)
{
    target = target.substr(0, target.find('?'));
    for (unsigned long i = 0; i < page_file_count; ++i)
        if (target == page_files[i].path)
            return &page_files[i];
    return nullptr;
}

std::vector<std::pair<std::string, std::string>> page_headers(std::string_view host)
{
    // The WebSocket source is named outright for browsers that do not count
    // ws: under 'self'; a Host with unexpected characters is left out.
    bool plain = !host.empty() && std::all_of(host.begin(), host.end(), [](char c) {
        return isalnum(static_cast<unsigned char>(c)) || std::string_view(".-:[]").find(c) != std::string_view::npos;
    });
    std::string connect = "connect-src 'self'";
    if (plain)
        connect += " ws://" + std::string(host) + " wss://" + std::string(host);
    return {
        {"Content-Security-Policy",
         "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self'; manifest-src 'self'; " + connect +
             "; base-uri 'none'; form-action 'none'; frame-ancestors 'none'"},
        {"X-Content-Type-Options", "nosniff"},
        {"Referrer-Policy", "no-referrer"},
        {"Cache-Control", "no-cache"},
        {"X-Frame-Options", "DENY"},
    };
}

std::string page_with_title(std::string_view html, std::string_view title)
{
    return page_with_meta(html, "chat-title", title);
}

std::string page_with_meta(std::string_view html, std::string_view name, std::string_view title)
{
    std::string slot = "<meta name=\"" + std::string(name) + "\" content=\"\"";
    size_t at = html.find(slot);
    if (title.empty() || at == std::string_view::npos)
        return std::string(html);
    std::string escaped;
    for (char c : title) {
        switch (c) {
        case '&': escaped += "&amp;"; break;
        case '<': escaped += "&lt;"; break;
        case '>': escaped += "&gt;"; break;
        case '"': escaped += "&quot;"; break;
        case '\'': escaped += "&#39;"; break;
        default: escaped += c;
        }
    }
    std::string out(html.substr(0, at + slot.size() - 1));
    return out + escaped + std::string(html.substr(at + slot.size() - 1));
}

std::string page_showing_before_login(std::string_view html)
{
    static constexpr std::string_view slot = R"(<meta name="chat-before-login" content="">)";
    std::string out(html);
    size_t at = out.find(slot);
    if (at != std::string::npos)
        out.replace(at, slot.size(), R"(<meta name="chat-before-login" content="on">)");
    return out;
}

bool OutQueue::push(std::string message)
{
    if (!queue_.empty() && bytes_ + message.size() > max_)
        return false;
    bytes_ += message.size();
    queue_.push_back(std::move(message));
    return true;
}

std::string OutQueue::take()
{
    std::string message = std::move(queue_.front());
    queue_.pop_front();
    bytes_ -= message.size();
    return message;
}

}  // namespace chat_web
