// One browser session step by step: the page's messages, the server's bytes
// and the history reads become Actions for the conversation.
#include "logic.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <sys/random.h>

#include "wire/colour.hpp"
#include "wire/compose.hpp"
#include "wire/control.hpp"
#include "wire/splitter.hpp"

namespace chat_web {

using chat::Event;
using chat::HistoryRecord;

namespace {

// Which of the server's notices a notice body is, and whose name it
// carries: the one place where the page's names list is told who came and
// went. {nullptr, ""} for a body that is none of them.
std::pair<const char *, std::string> presence_of(std::string_view body)
{
    static constexpr std::pair<const char *, const char *> formats[] = {
        {"login", notice_login}, {"logout", notice_logout}, {"timeout", notice_timeout}};
    for (auto [presence, format] : formats) {
        std::string name = chat::notice_name(format, body);
        if (!name.empty())
            return {presence, name};
    }
    return {nullptr, ""};
}

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

bool RateLimit::allow(steady::time_point now, size_t n)
{
    while (!recent_.empty() && now - recent_.front() >= window_)
        recent_.pop_front();
    if (recent_.size() + n > static_cast<size_t>(count_))
        return false;
    recent_.insert(recent_.end(), n, now);
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

void VerifiedPosts::add(const std::string &record, steady::time_point now)
{
    forget_old(now);
    posts_.push_back({next_, now, record});
    by_record_[record].push_back(next_++);
    while (posts_.size() > max_)
        forget_oldest();
}

void VerifiedPosts::forget_oldest()
{
    auto it = by_record_.find(posts_.front().record);
    it->second.pop_front();
    if (it->second.empty())
        by_record_.erase(it);
    posts_.pop_front();
}

void VerifiedPosts::forget_old(steady::time_point now)
{
    while (!posts_.empty() && now - posts_.front().at >= keep_)
        forget_oldest();
}

bool VerifiedPosts::mark(const std::string &record, std::set<uint64_t> &used, steady::time_point now)
{
    forget_old(now);
    uint64_t oldest = posts_.empty() ? next_ : posts_.front().serial;
    used.erase(used.begin(), used.lower_bound(oldest));
    auto it = by_record_.find(record);
    if (it == by_record_.end())
        return false;
    for (uint64_t serial : it->second)
        if (used.insert(serial).second)
            return true;
    return false;
}

bool has_control(std::string_view utf8)
{
    for (size_t i = 0; i < utf8.size(); ++i)
        if (utf8[i] != '\t' && chat::control_length(utf8, i) > 0)
            return true;
    return false;
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

SessionLogic::SessionLogic(const chat::Codec &codec, const Limits &limits, bool history, std::string origin)
    : codec_(codec), limits_(limits), history_(history),
      rate_(limits.rate_count, std::chrono::seconds(limits.rate_seconds)), replay_(limits.replay_max),
      origin_(std::move(origin)), archive_rate_(limits.archive_rate_count, std::chrono::seconds(limits.archive_rate_seconds))
{
}

// Every event to the page goes through here to be numbered. While no page
// is there, lasting events are only kept, and count against the same cap
// as the bytes waiting for a slow browser.
void SessionLogic::emit(Actions &a, const std::string &event, bool keep)
{
    std::string numbered = replay_.number(event, keep);
    if (!detached_) {
        a.to_page.push_back(std::move(numbered));
        return;
    }
    if (keep)
        detached_bytes_ += numbered.size();
}

// A refusal; a send's carries its id, so that the page stops waiting for
// its record.
void SessionLogic::say(Actions &a, Reason reason, const ReasonValues &values, std::optional<long long> id)
{
    emit(a, gateway_event(room_, reason, values, id));
}

// The limits the page must keep, and once logged in the token that lets a
// new page take the session over, with what is used of the rate window.
std::string SessionLogic::hello(bool resumed, steady::time_point now) const
{
    Hello h {static_cast<long long>(limits_.message_max), limits_.rate_count, limits_.rate_seconds,
             limits_.resume_seconds, limits_.idle_seconds, token_, resumed, {}, std::nullopt, archive_,
             limits_.posts_max, limits_.tick_posts, limits_.tick_seconds, {}};
    if (!verified_name_.empty())
        h.name = codec_.to_local(verified_name_);
    if (resumed) {
        h.rate_used = rate_.used(now);
        h.last_id = last_send_id_;
    }
    return hello_event(room_, h);
}

Actions SessionLogic::opened()
{
    Actions a;
    emit(a, hello(false, steady::now()), false);
    a.read_history = showing_before_login_ = history_ && limits_.show_before_login;
    return a;
}

Actions SessionLogic::turned_away(Reason reason)
{
    Actions a;
    emit(a, ended_event(room_, reason), false);
    close(close_normal, a);
    return a;
}

// The WebSocket closes: nothing more goes to the server or the page after
// what this step says, so the page learns only the true reason.
void SessionLogic::close(int code, Actions &a)
{
    state_ = State::closed;
    a.drop_server = true;
    a.close_code = code;
}

// Each message is read once, checked against the rate, its room and the
// session's state, and then taken by the step for its kind.
Actions SessionLogic::page_message(std::string_view text, steady::time_point now)
{
    Actions a;
    if (state_ == State::closed)
        return a;
    if (text.size() > limits_.message_max) {
        close(close_too_big, a);
        return a;
    }
    return page_message(parse_page_message(text), now);
}

Actions SessionLogic::page_message(const PageMessage &message, steady::time_point now)
{
    Actions a;
    if (state_ == State::closed)
        return a;
    // A logout goes through whatever the page sent before: the page sends
    // it at once, past its queue, and it ends the session anyway.
    bool logout = state_ == State::in && std::holds_alternative<Logout>(message);
    if (archive_refused(message, now, a))
        return a;
    bool asks = std::holds_alternative<ArchiveAsk>(message);
    if (!logout && !asks && !rate_.allow(now, plan(message))) {
        say(a, Reason::rate, ReasonValues::of_count(limits_.rate_count, limits_.rate_seconds));
        close(close_policy, a);
        return a;
    }
    if (refused(message, a))
        return a;
    std::visit([&](const auto &m) { take(m, a); }, message);
    if (!a.to_server.empty()) {
        last_line_ = now;
        idle_warned_ = false;
    }
    return a;
}

Actions SessionLogic::page_binary()
{
    Actions a;
    if (state_ != State::closed)
        close(close_unsupported, a);
    return a;
}

// What a message counts against the rate: one, or for a send that goes
// out, its posts, which are cut here for take(Send).
size_t SessionLogic::plan(const PageMessage &message)
{
    pieces_.clear();
    replaced_ = 0;
    auto *send = std::get_if<Send>(&message);
    if (!send || state_ != State::in || send_problem(*send))
        return 1;
    std::string sjis = codec_.to_wire(send->text, &replaced_);
    pieces_ = chat::split_message(sjis, chat::body_limit(name_));
    if (own_posts_.size() + pieces_.size() > static_cast<size_t>(limits_.posts_max))
        return 1;  // refused for the backlog: nothing is posted
    return pieces_.size();
}

// A message that cannot be taken now is refused with its reason: one that
// could not be read, one for another room, and one of a kind that belongs
// before the login while logged in, or after it while not.
bool SessionLogic::refused(const PageMessage &message, Actions &a)
{
    if (auto *error = std::get_if<ParseError>(&message)) {
        say(a, error->reason, {}, error->id);
        return true;
    }
    if (!room_of(message).empty() && room_of(message) != room_) {
        say(a, Reason::room, {}, id_of(message));
        return true;
    }
    if (before_login(message) && state_ != State::out) {
        say(a, Reason::logged_in);
        return true;
    }
    if (!before_login(message) && state_ != State::in) {
        say(a, Reason::not_logged_in, {}, id_of(message));
        return true;
    }
    return false;
}

void SessionLogic::take(const Login &login, Actions &a)
{
    if (auto who = checked_identity(login, a))
        start_login(*who, a);
}

void SessionLogic::take(const Resume &resume, Actions &a) { a.resume = resume; }

void SessionLogic::take(const Reload &, Actions &a) { a.to_server = "RELD\r\n"; }

// Archive questions have a rate of their own, so that reading back does
// not use up what the page may post; one past it is refused, and counts
// against the page's rate, which a flood of them still runs into.
bool SessionLogic::archive_refused(const PageMessage &message, steady::time_point now, Actions &a)
{
    auto *ask = std::get_if<ArchiveAsk>(&message);
    if (!ask || archive_rate_.allow(now))
        return false;
    if (!rate_.allow(now)) {
        say(a, Reason::rate, ReasonValues::of_count(limits_.rate_count, limits_.rate_seconds));
        close(close_policy, a);
        return true;
    }
    say(a, Reason::archive_rate, ReasonValues::of_count(limits_.archive_rate_count, limits_.archive_rate_seconds),
        ask->id);
    return true;
}

void SessionLogic::take(const ArchiveAsk &ask, Actions &a)
{
    if (!archive_) {
        say(a, Reason::no_archive, {}, ask.id);
        return;
    }
    a.archive.push_back(ask);
}

Actions SessionLogic::archive_answered(const ArchiveAnswer &answer)
{
    Actions a;
    if (state_ == State::closed || state_ == State::out)
        return a;
    if (answer.failed)
        say(a, Reason::archive, {}, answer.id);
    emit(a, archive_event(room_, answer), false);
    return a;
}

// Each record sent to the page joins the run being sent; a new batch of
// the server's starts a new run, as the board drops records only before a
// batch's first one.
void SessionLogic::note_record(const std::string &text, int place)
{
    if (!archive_)
        return;
    if (place == 1 && !current_run_.texts.empty())
        runs_.push_back(std::exchange(current_run_, {}));
    current_run_.texts.push_back(text);
    current_run_.seqs.push_back(replay_.last());
}

// The runs of a step wait for the one being placed; the next goes out
// with where the one before it ended.
void SessionLogic::finish_run(Actions &a)
{
    if (!current_run_.texts.empty())
        runs_.push_back(std::exchange(current_run_, {}));
    if (placing_ || runs_.empty())
        return;
    placing_ = true;
    a.place = std::move(runs_.front());
    runs_.pop_front();
    a.place->last = placed_last_;
    a.place->login = login_count_;
}

// The page learns each record's row, and gets the dropped rows in their
// place. A run not found whole leaves the place unknown: the next run is
// looked for among the newest rows, and no record is sent twice.
Actions SessionLogic::run_placed(const RunToPlace &run, const RunFound &found)
{
    Actions a;
    if (run.login != login_count_ || state_ == State::closed || state_ == State::out)
        return a;
    Placement p;
    for (size_t i = 0; i < run.seqs.size() && i < found.ids.size(); ++i)
        if (found.ids[i] != 0)
            p.ids.emplace_back(run.seqs[i], found.ids[i]);
    p.before = run.seqs.empty() ? 0 : run.seqs.front();
    p.dropped = found.dropped;
    p.more = found.more;
    if (!p.ids.empty() || !p.dropped.empty())
        emit(a, placed_event(room_, p));
    placed_last_ = found.complete ? found.last : 0;
    placing_ = false;
    finish_run(a);
    return a;
}

void SessionLogic::take(const Logout &, Actions &a)
{
    a.to_server = "LGOT\r\n";
    state_ = State::logging_out;
}

// The name and colour of a login message, or nullopt after telling the
// page what is wrong with them.
std::optional<SessionLogic::Identity> SessionLogic::checked_identity(const Login &login, Actions &a)
{
    // A verified name was checked at the door; the page's is not looked at.
    std::optional<std::string> name = login.name;
    if (!verified_name_.empty())
        name = codec_.to_local(verified_name_);
    if (name && has_control(*name)) {
        say(a, Reason::name_control);
        return std::nullopt;
    }
    size_t replaced = 0;
    std::string sjis = name ? codec_.to_wire(*name, &replaced) : "";
    if (name && replaced == 0 && chat::reserved_name(sjis)) {
        std::string sender = codec_.to_local(system_sender);
        say(a, Reason::reserved, ReasonValues::of_sender(sender));
        return std::nullopt;
    }
    if (!name || replaced > 0 || !chat::valid_name(sjis)) {
        say(a, Reason::name);
        return std::nullopt;
    }
    Identity who {sjis, {}};
    // The automatic colour is derived from the name as it goes on the wire,
    // as every client derives it.
    if (login.auto_colour) {
        chat::stable_colour(sjis, who.colour);
        return who;
    }
    if (!login.colour) {
        say(a, Reason::colour);
        return std::nullopt;
    }
    std::copy(login.colour->begin(), login.colour->end(), who.colour);
    return who;
}

// Starts a checked login: what the server will send back for it, then the
// history read (when there is a file) or the connection.
void SessionLogic::start_login(const Identity &who, Actions &a)
{
    name_ = who.name;
    std::copy(who.colour, who.colour + 3, colour_);
    own_login_ = chat::notice_record(notice_login, colour_, name_);
    own_logout_ = chat::notice_record(notice_logout, colour_, name_);
    own_timeout_ = chat::notice_record(notice_timeout, colour_, name_);
    pending_login_ = chat::login_line(colour_, name_);
    history_before_ = false;
    showing_before_login_ = false;
    held_.clear();
    held_texts_.clear();
    server_said_ = ServerSaid::nothing;
    reader_ = chat::Reader();
    ++login_count_;
    current_run_ = {};
    runs_.clear();
    placing_ = false;
    placed_last_ = 0;
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

Actions SessionLogic::history_read(std::optional<std::vector<HistoryRecord>> file, long long at)
{
    Actions a;
    if (state_ == State::reading_before) {
        history_before_ = file.has_value();
        newest_before_ = file && !file->empty() ? file->back().stamp : 0;
        state_ = State::connecting;
        a.connect = true;
    } else if (state_ == State::reading_after) {
        flush_held(file ? earlier_records(*file, newest_before_, held_texts_) : std::vector<HistoryRecord> {}, a, at);
    } else if (state_ == State::out && showing_before_login_ && file) {
        emit_earlier(*file, a, at, true);  // read-only, before any login: not kept for a replay
    }
    showing_before_login_ = false;
    finish_run(a);
    return a;
}

// Why a send's text may not go out: line ends and NUL would make more
// lines, other controls would reach raw clients' terminals.
std::optional<Reason> SessionLogic::send_problem(const Send &send) const
{
    if (send.text.find_first_of(std::string_view("\r\n\0", 3)) != std::string::npos)
        return Reason::line;
    if (has_control(send.text))
        return Reason::control;
    return std::nullopt;
}

// The text goes out in the posts plan() cut, unless that would put more
// than posts_max on their way: then the page holds it and sends it again
// once records have come back. The records the server will send back for
// the posts are remembered, to mark them as ours.
void SessionLogic::take(const Send &send, Actions &a)
{
    if (send.id)
        last_send_id_ = std::max(*send.id, last_send_id_.value_or(0));
    if (auto problem = send_problem(send)) {
        say(a, *problem, {}, send.id);
        return;
    }
    if (own_posts_.size() + pieces_.size() > static_cast<size_t>(limits_.posts_max)) {
        say(a, Reason::backlog, ReasonValues::of_count(limits_.posts_max), send.id);
        return;
    }
    for (size_t i = 0; i < pieces_.size(); ++i) {
        a.to_server += "SEND " + pieces_[i] + "\r\n";
        own_posts_.push_back({chat::own_record(colour_, name_, pieces_[i]), send.id, i + 1 == pieces_.size()});
        if (verified_posts_ && !verified_name_.empty())
            verified_posts_->add(own_posts_.back().record, steady::now());
    }
    if (replaced_ > 0)
        say(a, Reason::replaced, ReasonValues::of_count(static_cast<long long>(replaced_)));
}

Actions SessionLogic::server_connected(steady::time_point now)
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

Actions SessionLogic::server_unreachable()
{
    Actions a;
    if (state_ == State::connecting)
        end(Reason::unreachable, a);
    return a;
}

Actions SessionLogic::server_bytes(std::string_view bytes, long long at)
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
    finish_run(a);
    return a;
}

Actions SessionLogic::server_closed()
{
    Actions a;
    if (state_ == State::out || state_ == State::closed)
        return a;
    if (!held_.empty())
        flush_held({}, a, wall_ms());  // what the stream brought is shown, without the file
    switch (server_said_) {
    case ServerSaid::timeout: end(Reason::timeout, a); break;
    case ServerSaid::full: end(Reason::full, a); break;
    case ServerSaid::stopped: end(Reason::stopped, a); break;
    case ServerSaid::nothing: end(Reason::lost, a); break;
    }
    return a;
}

void SessionLogic::end(Reason reason, Actions &a)
{
    state_ = State::out;
    a.drop_server = true;
    own_posts_.clear();
    token_.clear();
    emit(a, ended_event(room_, reason), false);
}

void SessionLogic::handle(const Event &event, Actions &a, long long at)
{
    if (event.kind == Event::record) {
        handle_record(event, a, at);
        return;
    }
    if (event.kind == Event::overlong) {
        say(a, Reason::overlong, ReasonValues::of_count(chat::Reader::line_max / 1024));
        return;
    }
    if (event.kind != Event::error)
        return;
    std::string_view why = event.body;
    ServerError error = ServerError::server;
    if (why == chat::explanation(reply_full)) {
        error = ServerError::full;
        server_said_ = ServerSaid::full;
    } else if (why == chat::explanation(reply_server_stopped)) {
        error = ServerError::stopped;
        server_said_ = ServerSaid::stopped;
    } else if (why == chat::explanation(reply_busy)) {
        error = ServerError::busy;
        // The server lost one of the posts on their way: one fewer waits.
        if (!own_posts_.empty())
            own_posts_.pop_front();
    }
    emit(a, error_event(room_, error, codec_.to_local(why)));
}

// With a history file, the stream's records wait until the file has been
// read after our own login notice: the earlier records go first.
void SessionLogic::handle_record(const Event &event, Actions &a, long long at)
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

void SessionLogic::deliver(const Event &event, Actions &a, long long at)
{
    RecordEvent r = record_of(event);
    r.at = at;
    if (auto own = event.system ? std::nullopt : own_post(event.text)) {
        r.own = true;
        r.id = own->id;
        r.last = own->last;
    }
    if (!event.system && verified_posts_)
        r.verified = verified_posts_->mark(event.text, marks_used_, steady::now());
    emit(a, record_event(room_, r));
    note_record(event.text, event.place);
    if (event.text == own_timeout_)
        server_said_ = ServerSaid::timeout;
    if (state_ == State::logging_out && event.text == own_logout_)
        end(Reason::logout, a);
}

// The earlier records from the file, then what the stream held back, with
// the state change right after our own login notice.
void SessionLogic::flush_held(const std::vector<HistoryRecord> &earlier, Actions &a, long long at)
{
    // The earlier records were all there before the first held one came.
    if (!held_.empty())
        at = std::min(at, held_.front().at);
    emit_earlier(earlier, a, at, false);
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

// Records of the file, each with its stamp as the file has it, and as
// `at` the time it was sent to the page; those shown before a login say so.
void SessionLogic::emit_earlier(const std::vector<HistoryRecord> &earlier, Actions &a, long long at, bool before_login)
{
    for (const auto &record : earlier) {
        RecordEvent r = record_of(chat::parse_record(record.text));
        r.earlier = true;
        r.before_login = before_login;
        r.stamp = record.stamp;
        r.at = at;
        emit(a, record_event(room_, r), !before_login);
        // Placed in the archive like live ones, but not what only the
        // login screen shows.
        if (!before_login)
            note_record(std::string(chat::strip_line_end(record.text)), 0);
    }
}

// Logged in: a hello with the token that lets a later page take the
// session over (when resuming is on), then the state.
void SessionLogic::logged_in(Actions &a)
{
    state_ = State::in;
    if (limits_.resume_seconds > 0)
        token_ = random_token();
    emit(a, hello(false, steady::now()), false);
    emit(a, state_in(), false);
}

std::string SessionLogic::state_in() const
{
    return state_event(room_, codec_.to_local(name_), colour_, chat::body_limit(name_));
}

// The post of ours that this record is, if any: the oldest expected one
// with the same text. Older expected ones did not come back before a
// later post of ours did, so the server lost them (a busy reply); they
// are given up. The name alone proves nothing: names may be shared.
std::optional<SessionLogic::OwnPost> SessionLogic::own_post(const std::string &record)
{
    auto it = std::find_if(own_posts_.begin(), own_posts_.end(),
                           [&](const OwnPost &p) { return p.record == record; });
    if (it == own_posts_.end())
        return std::nullopt;
    OwnPost found = *it;
    own_posts_.erase(own_posts_.begin(), it + 1);
    return found;
}

// The members every record has, in UTF-8; a notice says who logged in or
// out, a record whether its colour is the automatic one of its name.
RecordEvent SessionLogic::record_of(const Event &event) const
{
    RecordEvent r;
    r.colour.assign(event.rgb, event.rgb + 3);
    r.sender = codec_.to_local(event.sender);
    r.text = codec_.to_local(event.kind == Event::record ? event.body : event.text);
    r.notice = event.system;
    std::string named = event.sender;
    if (event.system && event.kind == Event::record) {
        if (auto [presence, name] = presence_of(event.body); presence) {
            r.presence = presence;
            r.about = codec_.to_local(name);
            named = name;
        }
    }
    int automatic[3];
    chat::stable_colour(named, automatic);
    r.automatic = std::equal(automatic, automatic + 3, event.rgb);
    return r;
}

bool SessionLogic::detach()
{
    if (state_ != State::in || token_.empty())
        return false;
    detached_ = true;
    detached_bytes_ = 0;
    return true;
}

bool SessionLogic::token_matches(std::string_view token, std::string_view origin) const
{
    return !token_.empty() && same_secret(token, token_) && origin == origin_;
}

bool SessionLogic::may_resume(std::string_view token, std::string_view origin) const
{
    return detached_ && state_ == State::in && token_matches(token, origin);
}

Actions SessionLogic::resume(uint64_t after, steady::time_point now)
{
    Actions a;
    detached_ = false;
    token_ = random_token();
    emit(a, hello(true, now), false);
    auto since = replay_.after(after);
    if (since.missed)
        emit(a, missed_event(room_), false);
    for (auto &event : since.events)
        a.to_page.push_back(std::move(event));
    emit(a, state_in(), false);
    idle_warned_ = false;
    auto due = idle_warning_at();
    if (due && now >= *due)
        emit_idle(a, now);
    return a;
}

Actions SessionLogic::refuse_resume()
{
    Actions a;
    emit(a, ended_event(room_, Reason::resume), false);
    return a;
}

// The warning comes min(30 s, half the time-out) before the server's idle
// time-out, counted from the last line sent to the server.
std::optional<steady::time_point> SessionLogic::idle_warning_at() const
{
    if (state_ != State::in || idle_warned_ || limits_.idle_seconds <= 0)
        return std::nullopt;
    auto idle = std::chrono::milliseconds(limits_.idle_seconds * 1000LL);
    auto lead = std::min<std::chrono::milliseconds>(std::chrono::seconds(30), idle / 2);
    return last_line_ + idle - lead;
}

Actions SessionLogic::idle_check(steady::time_point now)
{
    Actions a;
    auto due = idle_warning_at();
    if (due && now >= *due && !detached_)
        emit_idle(a, now);
    return a;
}

void SessionLogic::emit_idle(Actions &a, steady::time_point now)
{
    idle_warned_ = true;
    long long left_ms = ms_between(now, last_line_ + std::chrono::seconds(limits_.idle_seconds));
    long long seconds = std::max(0LL, (left_ms + 999) / 1000);
    emit(a, idle_event(room_, seconds), false);
}

}  // namespace chat_web
