// One browser session step by step: the page's messages, the server's bytes
// and the history reads become Actions for the network code.
#include "session.hpp"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdlib>

namespace chat_web {

using chat::Event;
using chat::HistoryRecord;

bool RateLimit::allow(steady::time_point now)
{
    while (!recent_.empty() && now - recent_.front() >= window_)
        recent_.pop_front();
    if (recent_.size() >= static_cast<size_t>(count_))
        return false;
    recent_.push_back(now);
    return true;
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

std::string page_batch(const std::vector<std::string> &events)
{
    std::string out = "[";
    for (const auto &e : events) {
        if (out.size() > 1)
            out += ',';
        out += e;
    }
    return out + "]";
}

bool has_control(std::string_view utf8)
{
    for (size_t i = 0; i < utf8.size(); ++i) {
        auto c = static_cast<unsigned char>(utf8[i]);
        if ((c < 0x20 && c != '\t') || c == 0x7f)
            return true;
        // U+0080 to U+009F are C2 80 to C2 9F in UTF-8.
        if (c == 0xc2 && i + 1 < utf8.size() && static_cast<unsigned char>(utf8[i + 1]) >= 0x80 &&
            static_cast<unsigned char>(utf8[i + 1]) <= 0x9f)
            return true;
    }
    return false;
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
         "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self'; " + connect +
             "; base-uri 'none'; form-action 'none'; frame-ancestors 'none'"},
        {"X-Content-Type-Options", "nosniff"},
        {"Referrer-Policy", "no-referrer"},
        {"Cache-Control", "no-cache"},
        {"X-Frame-Options", "DENY"},
    };
}

std::vector<HistoryRecord> earlier_records(const std::vector<HistoryRecord> &file, uint32_t newest_before,
                                           const std::vector<std::string> &live_prefix)
{
    size_t first = 0;  // records up to newest_before surely came before the stream
    while (first < file.size() && file[first].stamp <= newest_before)
        ++first;
    size_t k = live_prefix.size();
    for (size_t j = first; k > 0 && j + k <= file.size(); ++j) {
        bool same = true;
        for (size_t i = 0; i < k && same; ++i)
            same = chat::strip_line_end(file[j + i].text) == live_prefix[i];
        if (same)
            return {file.begin(), file.begin() + static_cast<long>(j)};
    }
    return {file.begin(), file.begin() + static_cast<long>(first)};
}

Session::Session(const chat::Codec &codec, const Limits &limits, bool history)
    : codec_(codec), limits_(limits), history_(history),
      rate_(limits.rate_count, std::chrono::seconds(limits.rate_seconds))
{
}

void Session::say(Actions &a, std::string_view reason, std::string_view text) const
{
    a.to_page.push_back(JsonWriter().add("type", "gateway").add("reason", reason).add("text", text).text());
}

Actions Session::opened()
{
    Actions a;
    a.to_page.push_back(JsonWriter()
                            .add("type", "hello")
                            .add("message_max", static_cast<long long>(limits_.message_max))
                            .add("rate_count", static_cast<long long>(limits_.rate_count))
                            .add("rate_seconds", static_cast<long long>(limits_.rate_seconds))
                            .text());
    return a;
}

// The WebSocket closes: nothing more goes to the server or the page after
// what this step says, so the page learns only the true reason.
void Session::close(int code, Actions &a)
{
    state_ = State::closed;
    a.drop_server = true;
    a.close_code = code;
}

Actions Session::page_message(std::string_view text, steady::time_point now)
{
    Actions a;
    if (state_ == State::closed)
        return a;
    if (text.size() > limits_.message_max) {
        close(close_too_big, a);
        return a;
    }
    if (!rate_.allow(now)) {
        say(a, "rate", "Too many messages: at most " + std::to_string(limits_.rate_count) + " every " +
                           std::to_string(limits_.rate_seconds) + " seconds. This session is closed.");
        close(close_policy, a);
        return a;
    }
    auto message = parse_object(text);
    auto type = message ? get_string(*message, "type") : std::nullopt;
    if (!type) {
        say(a, "invalid", "The gateway did not understand a message from the page.");
        return a;
    }
    bool in = state_ == State::in;
    if (*type == "login" && state_ == State::out)
        login(*message, a);
    else if (*type == "send" && in)
        post(*message, a);
    else if (*type == "reload" && in)
        a.to_server = "RELD\r\n";
    else if (*type == "logout" && in) {
        a.to_server = "LGOT\r\n";
        state_ = State::logging_out;
    } else if (*type == "login")
        say(a, "state", "Already logged in.");
    else
        say(a, "state", "Not logged in.");
    return a;
}

Actions Session::page_binary()
{
    Actions a;
    if (state_ != State::closed)
        close(close_unsupported, a);
    return a;
}

// The name and colour of a login message, or nullopt after telling the
// page what is wrong with them.
std::optional<Session::Identity> Session::checked_identity(const JsonObject &message, Actions &a) const
{
    auto name = get_string(message, "name");
    auto colour = get_numbers(message, "colour");
    if (name && has_control(*name)) {
        say(a, "name", "A name cannot hold control characters.");
        return std::nullopt;
    }
    size_t replaced = 0;
    std::string sjis = name ? codec_.to_wire(*name, &replaced) : "";
    if (!name || replaced > 0 || !chat::valid_name(sjis)) {
        say(a, "name", "A name is 1 to 30 Shift_JIS bytes without spaces (a Japanese character takes 2).");
        return std::nullopt;
    }
    bool colour_ok = colour && colour->size() == 3;
    for (size_t i = 0; colour_ok && i < 3; ++i)
        colour_ok = (*colour)[i] >= -99 && (*colour)[i] <= 999 && std::floor((*colour)[i]) == (*colour)[i];
    if (!colour_ok) {
        say(a, "colour", "A colour is three whole numbers from -99 to 999.");
        return std::nullopt;
    }
    Identity who {sjis, {}};
    for (int i = 0; i < 3; ++i)
        who.colour[i] = static_cast<int>((*colour)[i]);
    return who;
}

void Session::login(const JsonObject &message, Actions &a)
{
    if (auto who = checked_identity(message, a))
        start_login(*who, a);
}

// Starts a checked login: what the server will send back for it, then the
// history read (when there is a file) or the connection.
void Session::start_login(const Identity &who, Actions &a)
{
    name_ = who.name;
    std::copy(who.colour, who.colour + 3, colour_);
    own_login_ = chat::notice_record(notice_login, colour_, name_);
    own_logout_ = chat::notice_record(notice_logout, colour_, name_);
    own_timeout_ = chat::notice_record(notice_timeout, colour_, name_);
    pending_login_ = chat::login_line(colour_, name_);
    history_before_ = false;
    held_.clear();
    held_texts_.clear();
    server_said_ = ServerSaid::nothing;
    reader_ = chat::Reader();
    // The newest stamp before the connection exists: the server's process
    // takes its starting point later than this read.
    if (history_) {
        state_ = State::reading_before;
        a.read_history = true;
        return;
    }
    state_ = State::connecting;
    a.connect = true;
}

Actions Session::history_read(std::optional<std::vector<HistoryRecord>> file)
{
    Actions a;
    if (state_ == State::reading_before) {
        history_before_ = file.has_value();
        newest_before_ = file && !file->empty() ? file->back().stamp : 0;
        state_ = State::connecting;
        a.connect = true;
    } else if (state_ == State::reading_after) {
        flush_held(file ? earlier_records(*file, newest_before_, held_texts_) : std::vector<HistoryRecord> {}, a);
    }
    return a;
}

void Session::post(const JsonObject &message, Actions &a)
{
    auto text = get_string(message, "text");
    if (!text) {
        say(a, "invalid", "The gateway did not understand a message from the page.");
        return;
    }
    if (text->find_first_of(std::string_view("\r\n\0", 3)) != std::string::npos) {
        say(a, "line", "A message cannot hold line breaks or NUL characters; it was not sent.");
        return;
    }
    if (has_control(*text)) {
        say(a, "control", "A message cannot hold control characters such as ESC; it was not sent.");
        return;
    }
    size_t replaced = 0;
    std::string sjis = codec_.to_wire(*text, &replaced);
    for (const auto &piece : chat::split_message(sjis, chat::body_limit(name_)))
        a.to_server += "SEND " + piece + "\r\n";
    if (replaced > 0)
        say(a, "replaced", std::to_string(replaced) +
                               " character(s) have no Shift_JIS form and were sent as \xe3\x80\x93.");
}

Actions Session::server_connected()
{
    Actions a;
    if (state_ != State::connecting)
        return a;
    state_ = State::logging_in;
    a.to_server = std::move(pending_login_);
    return a;
}

Actions Session::server_unreachable()
{
    Actions a;
    if (state_ == State::connecting)
        end("unreachable", "The chat server cannot be reached. Try again later.", a);
    return a;
}

Actions Session::server_bytes(std::string_view bytes)
{
    Actions a;
    if (state_ == State::closed || state_ == State::out)
        return a;
    reader_.feed(bytes);
    while (auto event = reader_.next())
        handle(*event, a);
    return a;
}

Actions Session::server_closed()
{
    Actions a;
    if (state_ == State::out || state_ == State::closed)
        return a;
    if (!held_.empty())
        flush_held({}, a);  // what the stream brought is shown, without the file
    switch (server_said_) {
    case ServerSaid::timeout: end("timeout", "You were logged out after a long silence.", a); break;
    case ServerSaid::full: end("full", "The chat server is full. Try again later.", a); break;
    case ServerSaid::stopped: end("stopped", "The chat server has stopped.", a); break;
    case ServerSaid::nothing: end("lost", "The connection to the chat server was lost.", a); break;
    }
    return a;
}

void Session::end(std::string_view reason, std::string_view text, Actions &a)
{
    state_ = State::out;
    a.drop_server = true;
    a.to_page.push_back(JsonWriter().add("type", "ended").add("reason", reason).add("text", text).text());
}

void Session::handle(const Event &event, Actions &a)
{
    if (event.kind == Event::record) {
        handle_record(event, a);
        return;
    }
    if (event.kind != Event::error)
        return;
    std::string_view why = event.body;
    std::string reason = "server";
    if (why == chat::explanation(reply_full)) {
        reason = "full";
        server_said_ = ServerSaid::full;
    } else if (why == chat::explanation(reply_server_stopped)) {
        reason = "stopped";
        server_said_ = ServerSaid::stopped;
    } else if (why == chat::explanation(reply_busy)) {
        reason = "busy";
    }
    a.to_page.push_back(
        JsonWriter().add("type", "error").add("reason", reason).add("text", codec_.to_local(why)).text());
}

// With a history file, the stream's records wait until the file has been
// read after our own login notice: the earlier records go first.
void Session::handle_record(const Event &event, Actions &a)
{
    if (state_ == State::reading_after) {
        held_.push_back(event);
        return;
    }
    bool own_login = state_ == State::logging_in && event.text == own_login_;
    if (state_ == State::logging_in && history_before_) {
        held_.push_back(event);
        held_texts_.push_back(event.text);
        if (own_login) {
            state_ = State::reading_after;
            a.read_history = true;
        }
        return;
    }
    deliver(event, a);
    if (own_login)
        logged_in(a);
}

void Session::deliver(const Event &event, Actions &a)
{
    a.to_page.push_back(record_json(event, false));
    if (event.text == own_timeout_)
        server_said_ = ServerSaid::timeout;
    if (state_ == State::logging_out && event.text == own_logout_)
        end("logout", "Logged out.", a);
}

// The earlier records from the file, then what the stream held back, with
// the state change right after our own login notice.
void Session::flush_held(const std::vector<HistoryRecord> &earlier, Actions &a)
{
    for (const auto &r : earlier)
        a.to_page.push_back(record_json(chat::parse_record(r.text), true, r.stamp));
    std::vector<Event> held = std::move(held_);
    size_t up_to_notice = held_texts_.size();
    bool notice_held = state_ == State::reading_after;
    held_.clear();
    held_texts_.clear();
    history_before_ = false;
    for (size_t i = 0; i < held.size(); ++i) {
        deliver(held[i], a);
        if (notice_held && i + 1 == up_to_notice)
            logged_in(a);
    }
}

void Session::logged_in(Actions &a)
{
    state_ = State::in;
    a.to_page.push_back(JsonWriter()
                            .add("type", "state")
                            .add("state", "in")
                            .add("name", codec_.to_local(name_))
                            .add("body_max", static_cast<long long>(chat::body_limit(name_)))
                            .text());
}

std::string Session::record_json(const Event &event, bool earlier, uint32_t stamp) const
{
    JsonWriter w;
    w.add("type", "record")
        .add("colour", std::vector<int>(event.rgb, event.rgb + 3))
        .add("sender", codec_.to_local(event.sender))
        .add("text", codec_.to_local(event.kind == Event::record ? event.body : event.text))
        .add("notice", event.system)
        .add("earlier", earlier);
    if (earlier)
        w.add("stamp", static_cast<long long>(stamp));
    return w.text();
}

}  // namespace chat_web
