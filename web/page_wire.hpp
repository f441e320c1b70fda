// What the page and the gateway say to each other over the WebSocket,
// written down once. The page sends one JSON object per message, parsed
// here once into a typed value; the gateway answers with arrays of events,
// each built here by its own builder. Every message and event has a room:
// one room until there are rooms, and a message that names none is for it.
// Reasons go to the page as codes, which its text tables (web/page/texts.js)
// word; the English beside each code is for a page that knows no text for it.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace chat_web {

// The one room of a gateway started without rooms.
inline constexpr std::string_view main_room = "main";

// ---- what the page sends. Each kind says whether it belongs before the
// login (while no one is logged in on the session) or after it.

using Rgb = std::array<int, 3>;

struct Login {
    static constexpr bool before_login = true;
    std::string room;
    std::optional<std::string> name;  // UTF-8 as typed; nullopt when missing
    bool auto_colour = false;         // "colour":"auto": derived from the name
    std::optional<Rgb> colour;        // three whole numbers from -99 to 999; nullopt when not
};

// A fresh page takes over a session whose page went away.
struct Resume {
    static constexpr bool before_login = true;
    std::string room;
    std::string token;
    uint64_t after = 0;  // the last event number the page has seen
};

struct Send {
    static constexpr bool before_login = false;
    std::string room;
    std::optional<long long> id;  // the page's number for it, from 0 to 2^53 - 1
    std::string text;
};

// Asks the server for new records now.
struct Reload {
    static constexpr bool before_login = false;
    std::string room;
};

struct Logout {
    static constexpr bool before_login = false;
    std::string room;
};

// A question to the archive (with --archive), answered by an archive
// event with the same id: the records before a row (scroll-back; without
// `row`, the newest), those after a row (what a page that came back has
// not shown yet), the newest records whose text holds `text` (before
// `row` when given), or a row among its neighbours.
struct ArchiveAsk {
    static constexpr bool before_login = false;
    enum class Kind { earlier, later, search, around };
    std::string room;
    Kind kind = Kind::earlier;
    std::optional<long long> id;   // the page's number for the question
    std::optional<long long> row;  // an archive row id
    std::string text;              // search: the term
};
inline constexpr std::string_view archive_kinds[] = {"earlier", "later", "search", "around"};

enum class Reason;

// A message that is none of the above: not a JSON object, no known type,
// or a member of the wrong kind; with its id when one could be read.
struct ParseError {
    Reason reason;
    std::optional<long long> id;
};

using PageMessage = std::variant<Login, Resume, Send, Reload, Logout, ArchiveAsk, ParseError>;

PageMessage parse_page_message(std::string_view json);

// The room a message is for (empty when it names none), and its id when
// its kind has one.
std::string_view room_of(const PageMessage &message);
std::optional<long long> id_of(const PageMessage &message);
// Whether its kind belongs before the login; a parse error belongs nowhere.
bool before_login(const PageMessage &message);

// ---- what the page learns from its HTML: the rooms, in order, as a JSON
// array in the chat-rooms meta. A room without history and archive (one
// on another host) has no earlier records, scroll-back or search.
struct RoomListing {
    std::string_view name, title;  // title: UTF-8, empty for none
    bool history = false, archive = false;
};
std::string room_list(const std::vector<RoomListing> &rooms);

// ---- what the gateway sends: one WebSocket message is an array of events,
// each an object of one of these kinds.

std::string page_batch(const std::vector<std::string> &events);

namespace event {
inline constexpr std::string_view hello = "hello";      // the limits, and a token once logged in
inline constexpr std::string_view state = "state";      // logged in: the name and colour as the server has them
inline constexpr std::string_view record = "record";    // one record, live or earlier
inline constexpr std::string_view error = "error";      // an error reply of the server, in its own words
inline constexpr std::string_view gateway = "gateway";  // the gateway refused or dropped something; the session goes on
inline constexpr std::string_view missed = "missed";    // a resumed page missed records
inline constexpr std::string_view idle = "idle";        // the server's idle time-out is near
inline constexpr std::string_view ended = "ended";      // the session is over
inline constexpr std::string_view archive = "archive";  // the answer to an archive question
inline constexpr std::string_view placed = "placed";    // where records sent live stand in the archive
inline constexpr std::string_view all[] = {hello, state, record, error, gateway, missed, idle, ended, archive, placed};
}  // namespace event

// Why the gateway refused something or dropped what the server sent
// (gateway), a session ended (ended), records were missed (missed) or the
// idle time-out is near (idle).
enum class Reason {
    rate, invalid, room, logged_in, not_logged_in, name, reserved, name_control, colour, line, control, replaced,
    unreachable, timeout, full, stopped, lost, logout, resume, missed, idle, overlong,
    archive_rate, archive, no_archive, backlog,
    // The door of a gateway that takes names from a proxy's sign-in.
    proxy, unverified, unfit_name,
};

// Each reason's code, and its English for a page that has no text for the
// code. {count} and {seconds} stand for members of the event of the same
// name, which the page's own texts use; {sender} for the server's sender word.
struct ReasonWords {
    Reason reason;
    std::string_view code;
    std::string_view english;
};
inline constexpr ReasonWords reason_words[] = {
    {Reason::rate, "rate", "Too many messages: at most {count} every {seconds} seconds. This session is closed."},
    {Reason::invalid, "invalid", "The gateway did not understand a message from the page."},
    {Reason::room, "room", "There is no such room here."},
    {Reason::logged_in, "logged-in", "Already logged in."},
    {Reason::not_logged_in, "not-logged-in", "Not logged in."},
    {Reason::name, "name", "A name is 1 to 30 Shift_JIS bytes without spaces (a Japanese character takes 2)."},
    {Reason::reserved, "reserved", "The name {sender} is reserved for the server's notices."},
    {Reason::name_control, "name-control", "A name cannot hold control characters."},
    {Reason::colour, "colour", "A colour is three whole numbers from -99 to 999."},
    {Reason::line, "line", "A message cannot hold line breaks or NUL characters; it was not sent."},
    {Reason::control, "control", "A message cannot hold control characters such as ESC; it was not sent."},
    {Reason::replaced, "replaced", "{count} character(s) have no Shift_JIS form and were sent as \xe3\x80\x93."},
    {Reason::unreachable, "unreachable", "The chat server cannot be reached. Try again later."},
    {Reason::timeout, "timeout", "You were logged out after a long silence."},
    {Reason::full, "full", "The chat server is full. Try again later."},
    {Reason::stopped, "stopped", "The chat server has stopped."},
    {Reason::lost, "lost", "The connection to the chat server was lost."},
    {Reason::logout, "logout", "Logged out."},
    {Reason::resume, "resume", "This session cannot be taken up again here. Log in again."},
    {Reason::missed, "missed", "Earlier records were missed while the page was away."},
    {Reason::idle, "idle", "The chat server logs out silent users: about {seconds} seconds left."},
    {Reason::overlong, "overlong", "The chat server sent a line longer than {count} KiB; the rest of it was dropped."},
    {Reason::archive_rate, "archive-rate", "Too many questions to the archive: at most {count} every {seconds} seconds. Try again shortly."},
    {Reason::archive, "archive", "The archive cannot be read now."},
    {Reason::no_archive, "no-archive", "This gateway keeps no archive."},
    {Reason::backlog, "backlog", "At most {count} posts can be on their way to the chat server; this one waits."},
    {Reason::proxy, "proxy", "This gateway takes only connections through its sign-in proxy."},
    {Reason::unverified, "unverified", "The sign-in proxy did not say who you are. Sign in again."},
    {Reason::unfit_name, "unfit-name",
     "The name you signed in with cannot be used in the chat: it must be 1 to 30 Shift_JIS bytes without spaces."},
};
static_assert([] {
    for (size_t i = 0; i < std::size(reason_words); ++i)
        if (static_cast<size_t>(reason_words[i].reason) != i)
            return false;
    return true;
}(), "reason_words lists the reasons in their order");

// What a reason's English names besides its words.
struct ReasonValues {
    long long count = 0;
    long long seconds = 0;
    std::string_view sender;  // UTF-8
    static ReasonValues of_count(long long count, long long seconds = 0) { return {count, seconds, {}}; }
    static ReasonValues of_seconds(long long seconds) { return {0, seconds, {}}; }
    static ReasonValues of_sender(std::string_view sender) { return {0, 0, sender}; }
};

// Which of the server's error replies an error event carries: its text is
// the server's own explanation.
enum class ServerError { server, busy, full, stopped };
inline constexpr std::string_view server_error_codes[] = {"server", "busy", "full", "stopped"};

struct Hello {
    long long message_max, rate_count, rate_seconds, resume_seconds, idle_seconds;
    std::string token;                   // empty until logged in
    bool resumed = false;                // a page took the session over
    std::vector<int> rate_used;          // resumed: ms until each message in the rate window leaves it
    std::optional<long long> last_id;    // resumed: the last send that reached the gateway
    bool archive = false;                // the gateway answers archive questions
    long long posts_max = 0, tick_posts = 0, tick_seconds = 0;
    std::string name;                    // the name the sign-in proxy verified (UTF-8); empty: none
};

// One record in UTF-8: live ones with when the gateway received them
// (`at`, ms since the Epoch) and, for our own posts, the send's id and
// whether this is its last piece; earlier ones from the history file with
// their stamp.
struct RecordEvent {
    std::vector<int> colour;
    bool automatic = false;          // the colour is the one derived from the sender's name
    std::string sender, text;
    bool notice = false;
    // A login, logout or time-out notice: which, and whose name (UTF-8).
    std::string presence;            // "login", "logout", "timeout" or empty
    std::string about;
    bool earlier = false;
    bool before_login = false;       // earlier, shown before any login (--show-before-login)
    long long at = 0;
    std::optional<long long> stamp;  // earlier
    bool own = false;
    std::optional<long long> id;     // own
    bool last = false;               // own
    bool verified = false;           // posted through a verified session of this gateway
};

// One row of the archive as the page gets it: a record, or a gap where
// the archive may lack records (then `stamp` and `since` are the stamps of
// the records after and before it).
struct ArchiveRow {
    long long id = 0;
    long long stamp = 0;
    long long archived = 0;  // seconds since the Epoch
    std::vector<int> colour;
    std::string sender, text;
    bool notice = false;
    bool gap = false;
    long long since = 0;
};

// The answer to an archive question: its kind and id, the rows oldest
// first, whether more may match than these (`incomplete`), and for around
// the row asked for.
struct ArchiveAnswer {
    ArchiveAsk::Kind kind = ArchiveAsk::Kind::earlier;
    std::optional<long long> id;
    std::vector<ArchiveRow> rows;
    bool incomplete = false;
    bool failed = false;  // the archive could not be read
    std::optional<long long> row;
    std::string text;     // search: the term
};

// Where records sent live stand in the archive: each record's event
// number with its row id; and the rows the board dropped before the record
// numbered `before` (more than it holds came in one tick), which the page
// shows in their place; `more` when there were more of them than these.
struct Placement {
    std::vector<std::pair<uint64_t, long long>> ids;
    uint64_t before = 0;
    std::vector<ArchiveRow> dropped;
    bool more = false;
};

std::string hello_event(std::string_view room, const Hello &hello);
std::string archive_event(std::string_view room, const ArchiveAnswer &answer);
std::string placed_event(std::string_view room, const Placement &placement);
std::string state_event(std::string_view room, std::string_view name, const int colour[3], size_t body_max);
std::string record_event(std::string_view room, const RecordEvent &record);
// `text` is the server's explanation, decoded.
std::string error_event(std::string_view room, ServerError error, std::string_view text);
// A refusal; one of a send has the send's id, so that the page stops waiting for it.
std::string gateway_event(std::string_view room, Reason reason, const ReasonValues &values = {},
                          std::optional<long long> id = std::nullopt);
std::string missed_event(std::string_view room);
std::string idle_event(std::string_view room, long long seconds);
std::string ended_event(std::string_view room, Reason reason);

// How the gateway closes a page's WebSocket when it drops the session
// without an ended event: the page tells the user which it was.
inline constexpr int close_normal = 1000;
inline constexpr int close_unsupported = 1003;  // a binary message
inline constexpr int close_policy = 1008;       // past the rate limit
inline constexpr int close_too_big = 1009;      // a message over message_max

}  // namespace chat_web
