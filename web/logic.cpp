// One browser session step by step: the page's messages, the server's bytes
// and the history reads become Actions for the network code.
#include "session.hpp"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <sys/random.h>

#include "wire/colour.hpp"

namespace chat_web {

using chat::Event;
using chat::HistoryRecord;

namespace {

// Records of our own posts the session waits for; beyond this many the
// oldest are given up (the server lost them: a busy reply).
constexpr size_t own_posts_max = 256;

// The largest id a page may give a send: JavaScript's exact integers.
constexpr double id_max = 9007199254740991.0;

// Reads `size` random bytes: getrandom(2), or /dev/urandom where the
// system call is missing.
bool fill_random(unsigned char *out, size_t size)
{
    size_t got = 0;
    while (got < size) {
        ssize_t n = getrandom(out + got, size - got, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            break;
        got += static_cast<size_t>(n);
    }
    if (got == size)
        return true;
    FILE *f = fopen("/dev/urandom", "rb");
    if (!f)
        return false;
    bool ok = fread(out, 1, size, f) == size;
    fclose(f);
    return ok;
}

// A whole number from 0 to id_max under `key`, as a page sends ids and
// event numbers; nullopt when missing or anything else.
std::optional<long long> whole_number(const JsonObject &object, std::string_view key)
{
    auto it = object.find(key);
    if (it == object.end() || !std::holds_alternative<double>(it->second))
        return std::nullopt;
    double value = std::get<double>(it->second);
    if (!(value >= 0 && value <= id_max) || std::floor(value) != value)
        return std::nullopt;
    return static_cast<long long>(value);
}

uint64_t after_number(const JsonObject &message)
{
    return static_cast<uint64_t>(whole_number(message, "after").value_or(0));
}

long long ms_between(steady::time_point from, steady::time_point to)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(to - from).count();
}

}  // namespace

long long wall_ms()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

std::string random_token()
{
    unsigned char bits[16];
    if (!fill_random(bits, sizeof bits))
        return "";
    std::string hex;
    for (unsigned char b : bits) {
        hex += "0123456789abcdef"[b >> 4];
        hex += "0123456789abcdef"[b & 15];
    }
    return hex;
}

bool same_secret(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    unsigned char differ = 0;
    for (size_t i = 0; i < a.size(); ++i)
        differ |= static_cast<unsigned char>(a[i] ^ b[i]);
    return differ == 0;
}

bool RateLimit::allow(steady::time_point now)
{
    while (!recent_.empty() && now - recent_.front() >= window_)
        recent_.pop_front();
    if (recent_.size() >= static_cast<size_t>(count_))
        return false;
    recent_.push_back(now);
    return true;
}

std::vector<int> RateLimit::used(steady::time_point now) const
{
    std::vector<int> frees_in;
    for (auto at : recent_)
        if (now - at < window_)
            frees_in.push_back(static_cast<int>(ms_between(now, at + window_)));
    return frees_in;
}

std::string ReplayBuffer::number(std::string_view event, bool keep)
{
    uint64_t seq = next_++;
    std::string numbered = "{\"seq\":" + std::to_string(seq);
    if (event.size() > 2)
        numbered += ',';
    numbered += event.substr(1);
    if (keep) {
        bytes_ += numbered.size();
        kept_.emplace_back(seq, numbered);
        while (bytes_ > max_) {
            bytes_ -= kept_.front().second.size();
            forgotten_ = kept_.front().first;
            kept_.pop_front();
        }
    }
    return numbered;
}

ReplayBuffer::Since ReplayBuffer::after(uint64_t seq) const
{
    Since since;
    since.missed = seq < forgotten_;
    for (const auto &[n, event] : kept_)
        if (n > seq)
            since.events.push_back(event);
    return since;
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

std::string page_with_title(std::string_view html, std::string_view title)
{
    static constexpr std::string_view slot = R"(<meta name="chat-title" content="")";
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

Session::Session(const chat::Codec &codec, const Limits &limits, bool history, std::string origin)
    : codec_(codec), limits_(limits), history_(history),
      rate_(limits.rate_count, std::chrono::seconds(limits.rate_seconds)), replay_(limits.replay_max),
      origin_(std::move(origin))
{
}

// Every event to the page goes through here to be numbered. While no page
// is there, lasting events are only kept, and count against the same cap
// as the bytes waiting for a slow browser.
void Session::emit(Actions &a, const std::string &event, bool keep)
{
    std::string numbered = replay_.number(event, keep);
    if (!detached_) {
        a.to_page.push_back(std::move(numbered));
        return;
    }
    if (keep)
        detached_bytes_ += numbered.size();
}

void Session::say(Actions &a, std::string_view reason, std::string_view text)
{
    emit(a, JsonWriter().add("type", "gateway").add("reason", reason).add("text", text).text());
}

// A send that does not go out, with its id, so that the page stops
// waiting for its record.
void Session::refuse_post(Actions &a, std::string_view reason, std::string_view text, std::optional<long long> id)
{
    JsonWriter w;
    w.add("type", "gateway").add("reason", reason).add("text", text);
    if (id)
        w.add("id", *id);
    emit(a, w.text());
}

// The limits the page must keep, and once logged in the token that lets a
// new page take the session over, with what is used of the rate window.
std::string Session::hello(bool resumed, steady::time_point now) const
{
    JsonWriter w;
    w.add("type", "hello")
        .add("message_max", static_cast<long long>(limits_.message_max))
        .add("rate_count", static_cast<long long>(limits_.rate_count))
        .add("rate_seconds", static_cast<long long>(limits_.rate_seconds))
        .add("resume_seconds", static_cast<long long>(limits_.resume_seconds))
        .add("idle_seconds", static_cast<long long>(limits_.idle_seconds));
    if (!token_.empty())
        w.add("token", token_);
    if (resumed) {
        w.add("resumed", true).add("rate_used", rate_.used(now));
        if (last_send_id_)
            w.add("last_id", *last_send_id_);  // later ones the page sends again
    }
    return w.text();
}

Actions Session::opened()
{
    Actions a;
    emit(a, hello(false, steady::now()), false);
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
    auto message = parse_object(text);
    auto type = message ? get_string(*message, "type") : std::nullopt;
    bool in = state_ == State::in;
    // A logout goes through whatever the page sent before: the page sends
    // it at once, past its queue, and it ends the session anyway.
    bool logout = in && type == "logout";
    if (!logout && !rate_.allow(now)) {
        say(a, "rate", "Too many messages: at most " + std::to_string(limits_.rate_count) + " every " +
                           std::to_string(limits_.rate_seconds) + " seconds. This session is closed.");
        close(close_policy, a);
        return a;
    }
    if (!type) {
        say(a, "invalid", "The gateway did not understand a message from the page.");
        return a;
    }
    if (*type == "login" && state_ == State::out)
        login(*message, a);
    else if (*type == "resume" && state_ == State::out && !detached_)
        a.resume = ResumeRequest {get_string(*message, "token").value_or(""), after_number(*message)};
    else if (*type == "send" && in)
        post(*message, a, now);
    else if (*type == "reload" && in)
        a.to_server = "RELD\r\n";
    else if (logout) {
        a.to_server = "LGOT\r\n";
        state_ = State::logging_out;
    } else if (*type == "login" || *type == "resume")
        say(a, "logged-in", "Already logged in.");
    else
        refuse_post(a, "not-logged-in", "Not logged in.", *type == "send" ? whole_number(*message, "id") : std::nullopt);
    if (!a.to_server.empty()) {
        last_line_ = now;
        idle_warned_ = false;
    }
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
std::optional<Session::Identity> Session::checked_identity(const JsonObject &message, Actions &a)
{
    auto name = get_string(message, "name");
    auto colour = get_numbers(message, "colour");
    if (name && has_control(*name)) {
        say(a, "name-control", "A name cannot hold control characters.");
        return std::nullopt;
    }
    size_t replaced = 0;
    std::string sjis = name ? codec_.to_wire(*name, &replaced) : "";
    if (name && replaced == 0 && chat::reserved_name(sjis)) {
        say(a, "reserved", "The name " + codec_.to_local(system_sender) + " is reserved for the server's notices.");
        return std::nullopt;
    }
    if (!name || replaced > 0 || !chat::valid_name(sjis)) {
        say(a, "name", "A name is 1 to 30 Shift_JIS bytes without spaces (a Japanese character takes 2).");
        return std::nullopt;
    }
    Identity who {sjis, {}};
    // The automatic colour is derived from the name as it goes on the wire,
    // as every client derives it.
    if (get_string(message, "colour") == "auto") {
        chat::stable_colour(sjis, who.colour);
        return who;
    }
    bool colour_ok = colour && colour->size() == 3;
    for (size_t i = 0; colour_ok && i < 3; ++i)
        colour_ok = (*colour)[i] >= -99 && (*colour)[i] <= 999 && std::floor((*colour)[i]) == (*colour)[i];
    if (!colour_ok) {
        say(a, "colour", "A colour is three whole numbers from -99 to 999.");
        return std::nullopt;
    }
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

Actions Session::history_read(std::optional<std::vector<HistoryRecord>> file, long long at)
{
    Actions a;
    if (state_ == State::reading_before) {
        history_before_ = file.has_value();
        newest_before_ = file && !file->empty() ? file->back().stamp : 0;
        state_ = State::connecting;
        a.connect = true;
    } else if (state_ == State::reading_after) {
        flush_held(file ? earlier_records(*file, newest_before_, held_texts_) : std::vector<HistoryRecord> {}, a, at);
    }
    return a;
}

// The text goes out in as many posts as it needs; the records the server
// will send back for them are remembered, to mark them as ours.
void Session::post(const JsonObject &message, Actions &a, steady::time_point)
{
    auto text = get_string(message, "text");
    auto id = whole_number(message, "id");
    if (id)
        last_send_id_ = std::max(*id, last_send_id_.value_or(0));
    if (!text) {
        refuse_post(a, "invalid", "The gateway did not understand a message from the page.", id);
        return;
    }
    if (text->find_first_of(std::string_view("\r\n\0", 3)) != std::string::npos) {
        refuse_post(a, "line", "A message cannot hold line breaks or NUL characters; it was not sent.", id);
        return;
    }
    if (has_control(*text)) {
        refuse_post(a, "control", "A message cannot hold control characters such as ESC; it was not sent.", id);
        return;
    }
    size_t replaced = 0;
    std::string sjis = codec_.to_wire(*text, &replaced);
    auto pieces = chat::split_message(sjis, chat::body_limit(name_));
    for (size_t i = 0; i < pieces.size(); ++i) {
        a.to_server += "SEND " + pieces[i] + "\r\n";
        own_posts_.push_back({chat::own_record(colour_, name_, pieces[i]), id, i + 1 == pieces.size()});
    }
    while (own_posts_.size() > own_posts_max)
        own_posts_.pop_front();
    if (replaced > 0)
        emit(a, JsonWriter()
                    .add("type", "gateway")
                    .add("reason", "replaced")
                    .add("count", static_cast<long long>(replaced))
                    .add("text", std::to_string(replaced) +
                                     " character(s) have no Shift_JIS form and were sent as \xe3\x80\x93.")
                    .text());
}

Actions Session::server_connected(steady::time_point now)
{
    Actions a;
    if (state_ != State::connecting)
        return a;
    state_ = State::logging_in;
    a.to_server = std::move(pending_login_);
    last_line_ = now;
    idle_warned_ = false;
    return a;
}

Actions Session::server_unreachable()
{
    Actions a;
    if (state_ == State::connecting)
        end("unreachable", "The chat server cannot be reached. Try again later.", a);
    return a;
}

Actions Session::server_bytes(std::string_view bytes, long long at)
{
    Actions a;
    if (state_ == State::closed || state_ == State::out)
        return a;
    reader_.feed(bytes);
    while (auto event = reader_.next())
        handle(*event, a, at);
    // Without a page, what is kept may grow as far as what may wait for
    // a slow browser; beyond that the session ends as a slow one would.
    if (detached_ && detached_bytes_ > limits_.output_max) {
        state_ = State::closed;
        a.drop_server = true;
    }
    return a;
}

Actions Session::server_closed()
{
    Actions a;
    if (state_ == State::out || state_ == State::closed)
        return a;
    if (!held_.empty())
        flush_held({}, a, wall_ms());  // what the stream brought is shown, without the file
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
    own_posts_.clear();
    token_.clear();
    emit(a, JsonWriter().add("type", "ended").add("reason", reason).add("text", text).text(), false);
}

void Session::handle(const Event &event, Actions &a, long long at)
{
    if (event.kind == Event::record) {
        handle_record(event, a, at);
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
    emit(a, JsonWriter().add("type", "error").add("reason", reason).add("text", codec_.to_local(why)).text());
}

// With a history file, the stream's records wait until the file has been
// read after our own login notice: the earlier records go first.
void Session::handle_record(const Event &event, Actions &a, long long at)
{
    if (state_ == State::reading_after) {
        held_.push_back({event, at});
        return;
    }
    bool own_login = state_ == State::logging_in && event.text == own_login_;
    if (state_ == State::logging_in && history_before_) {
        held_.push_back({event, at});
        held_texts_.push_back(event.text);
        if (own_login) {
            state_ = State::reading_after;
            a.read_history = true;
        }
        return;
    }
    deliver(event, a, at);
    if (own_login)
        logged_in(a);
}

void Session::deliver(const Event &event, Actions &a, long long at)
{
    emit(a, record_json(event, at, event.system ? std::nullopt : own_post(event.text)));
    if (event.text == own_timeout_)
        server_said_ = ServerSaid::timeout;
    if (state_ == State::logging_out && event.text == own_logout_)
        end("logout", "Logged out.", a);
}

// The earlier records from the file, then what the stream held back, with
// the state change right after our own login notice.
void Session::flush_held(const std::vector<HistoryRecord> &earlier, Actions &a, long long at)
{
    // The earlier records were all there before the first held one came.
    if (!held_.empty())
        at = std::min(at, held_.front().at);
    for (const auto &r : earlier)
        emit(a, earlier_json(r, at));
    std::vector<Held> held = std::move(held_);
    size_t up_to_notice = held_texts_.size();
    bool notice_held = state_ == State::reading_after;
    held_.clear();
    held_texts_.clear();
    history_before_ = false;
    for (size_t i = 0; i < held.size(); ++i) {
        deliver(held[i].event, a, held[i].at);
        if (notice_held && i + 1 == up_to_notice)
            logged_in(a);
    }
}

// Logged in: a hello with the token that lets a later page take the
// session over (when resuming is on), then the state.
void Session::logged_in(Actions &a)
{
    state_ = State::in;
    if (limits_.resume_seconds > 0)
        token_ = random_token();
    emit(a, hello(false, steady::now()), false);
    emit(a, state_in(), false);
}

std::string Session::state_in() const
{
    return JsonWriter()
        .add("type", "state")
        .add("state", "in")
        .add("name", codec_.to_local(name_))
        .add("colour", std::vector<int>(colour_, colour_ + 3))
        .add("body_max", static_cast<long long>(chat::body_limit(name_)))
        .text();
}

// The post of ours that this record is, if any: the oldest expected one
// with the same text. Older expected ones did not come back before a
// later post of ours did, so the server lost them (a busy reply); they
// are given up. The name alone proves nothing: names may be shared.
std::optional<Session::OwnPost> Session::own_post(const std::string &record)
{
    auto it = std::find_if(own_posts_.begin(), own_posts_.end(),
                           [&](const OwnPost &p) { return p.record == record; });
    if (it == own_posts_.end())
        return std::nullopt;
    OwnPost found = *it;
    own_posts_.erase(own_posts_.begin(), it + 1);
    return found;
}

// The members every record event has, in UTF-8.
JsonWriter Session::record_members(const Event &event, bool earlier) const
{
    JsonWriter w;
    w.add("type", "record")
        .add("colour", std::vector<int>(event.rgb, event.rgb + 3))
        .add("sender", codec_.to_local(event.sender))
        .add("text", codec_.to_local(event.kind == Event::record ? event.body : event.text))
        .add("notice", event.system)
        .add("earlier", earlier);
    return w;
}

std::string Session::record_json(const Event &event, long long at, const std::optional<OwnPost> &own) const
{
    JsonWriter w = record_members(event, false);
    w.add("at", at);
    if (own) {
        w.add("own", true);
        if (own->id)
            w.add("id", *own->id);
        w.add("last", own->last);
    }
    return w.text();
}

// A record from the history file: its stamp as the file has it, and as
// `at` the time it was sent to the page.
std::string Session::earlier_json(const HistoryRecord &record, long long at) const
{
    JsonWriter w = record_members(chat::parse_record(record.text), true);
    w.add("stamp", static_cast<long long>(record.stamp)).add("at", at);
    return w.text();
}

bool Session::detach()
{
    if (state_ != State::in || token_.empty())
        return false;
    detached_ = true;
    detached_bytes_ = 0;
    return true;
}

bool Session::token_matches(std::string_view token, std::string_view origin) const
{
    return !token_.empty() && same_secret(token, token_) && origin == origin_;
}

bool Session::may_resume(std::string_view token, std::string_view origin) const
{
    return detached_ && state_ == State::in && token_matches(token, origin);
}

Actions Session::resume(uint64_t after, steady::time_point now)
{
    Actions a;
    detached_ = false;
    token_ = random_token();
    emit(a, hello(true, now), false);
    auto since = replay_.after(after);
    if (since.missed)
        emit(a, JsonWriter()
                    .add("type", "missed")
                    .add("reason", "missed")
                    .add("text", "Earlier records were missed while the page was away.")
                    .text(),
             false);
    for (auto &event : since.events)
        a.to_page.push_back(std::move(event));
    emit(a, state_in(), false);
    idle_warned_ = false;
    auto due = idle_warning_at();
    if (due && now >= *due)
        emit_idle(a, now);
    return a;
}

Actions Session::refuse_resume()
{
    Actions a;
    emit(a, JsonWriter()
                .add("type", "ended")
                .add("reason", "resume")
                .add("text", "This session cannot be taken up again here. Log in again.")
                .text(),
         false);
    return a;
}

// The warning comes min(30 s, half the time-out) before the server's idle
// time-out, counted from the last line sent to the server.
std::optional<steady::time_point> Session::idle_warning_at() const
{
    if (state_ != State::in || idle_warned_ || limits_.idle_seconds <= 0)
        return std::nullopt;
    auto idle = std::chrono::milliseconds(limits_.idle_seconds * 1000LL);
    auto lead = std::min<std::chrono::milliseconds>(std::chrono::seconds(30), idle / 2);
    return last_line_ + idle - lead;
}

Actions Session::idle_check(steady::time_point now)
{
    Actions a;
    auto due = idle_warning_at();
    if (due && now >= *due && !detached_)
        emit_idle(a, now);
    return a;
}

void Session::emit_idle(Actions &a, steady::time_point now)
{
    idle_warned_ = true;
    long long left_ms = ms_between(now, last_line_ + std::chrono::seconds(limits_.idle_seconds));
    long long seconds = std::max(0LL, (left_ms + 999) / 1000);
    emit(a, JsonWriter()
                .add("type", "idle")
                .add("reason", "idle")
                .add("seconds", seconds)
                .add("text", "The chat server logs out silent users: about " + std::to_string(seconds) +
                                 " seconds left.")
                .text(),
         false);
}

}  // namespace chat_web
