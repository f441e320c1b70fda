// Reading the page's messages and writing the gateway's events.
#include "page_wire.hpp"

#include <cmath>

#include "json/json.hpp"

namespace chat_web {

using chat::JsonObject;
using chat::JsonWriter;
using chat::get_numbers;
using chat::get_string;

namespace {

// The largest id a page may give: JavaScript's exact integers.
constexpr double id_max = 9007199254740991.0;

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

// Three whole numbers from -99 to 999, what the colour field can hold.
std::optional<Rgb> colour_of(const JsonObject &object)
{
    auto numbers = get_numbers(object, "colour");
    if (!numbers || numbers->size() != 3)
        return std::nullopt;
    Rgb rgb;
    for (size_t i = 0; i < 3; ++i) {
        double n = (*numbers)[i];
        if (!(n >= -99 && n <= 999) || std::floor(n) != n)
            return std::nullopt;
        rgb[i] = static_cast<int>(n);
    }
    return rgb;
}

// An archive question: later and around name a row, a search a term.
PageMessage archive_ask(ArchiveAsk::Kind kind, const JsonObject &m, std::string room)
{
    ArchiveAsk ask {std::move(room), kind, whole_number(m, "id"), whole_number(m, "row"), ""};
    bool needs_row = kind == ArchiveAsk::Kind::later || kind == ArchiveAsk::Kind::around;
    auto text = get_string(m, "text");
    if ((needs_row && !ask.row) || (kind == ArchiveAsk::Kind::search && !text))
        return ParseError {Reason::invalid, ask.id};
    ask.text = text.value_or("");
    return ask;
}

PageMessage parse_kind(std::string_view type, const JsonObject &m, std::string room)
{
    if (type == "login")
        return Login {std::move(room), get_string(m, "name"), get_string(m, "colour") == "auto", colour_of(m)};
    if (type == "resume")
        return Resume {std::move(room), get_string(m, "token").value_or(""),
                       static_cast<uint64_t>(whole_number(m, "after").value_or(0))};
    if (type == "send") {
        auto text = get_string(m, "text");
        if (!text)
            return ParseError {Reason::invalid, whole_number(m, "id")};
        return Send {std::move(room), whole_number(m, "id"), std::move(*text)};
    }
    if (type == "reload")
        return Reload {std::move(room)};
    for (size_t k = 0; k < std::size(archive_kinds); ++k)
        if (type == archive_kinds[k])
            return archive_ask(static_cast<ArchiveAsk::Kind>(k), m, std::move(room));
    if (type == "logout")
        return Logout {std::move(room)};
    return ParseError {Reason::invalid, whole_number(m, "id")};
}

JsonWriter start(std::string_view type, std::string_view room)
{
    JsonWriter w;
    w.add("type", type).add("room", room);
    return w;
}

// The English of a reason with its values in place.
std::string english(Reason reason, const ReasonValues &values)
{
    std::string text(reason_words[static_cast<size_t>(reason)].english);
    auto fill = [&](std::string_view slot, std::string_view value) {
        if (size_t at = text.find(slot); at != std::string::npos)
            text.replace(at, slot.size(), value);
    };
    fill("{count}", std::to_string(values.count));
    fill("{seconds}", std::to_string(values.seconds));
    fill("{sender}", values.sender);
    return text;
}

// A reason's code, the values its English names as members, and the English.
JsonWriter reason_event(std::string_view type, std::string_view room, Reason reason, const ReasonValues &values)
{
    const ReasonWords &words = reason_words[static_cast<size_t>(reason)];
    JsonWriter w = start(type, room);
    w.add("reason", words.code);
    if (words.english.find("{count}") != std::string_view::npos)
        w.add("count", values.count);
    if (words.english.find("{seconds}") != std::string_view::npos)
        w.add("seconds", values.seconds);
    w.add("text", english(reason, values));
    return w;
}

}  // namespace

PageMessage parse_page_message(std::string_view json)
{
    auto object = chat::parse_object(json);
    auto type = object ? get_string(*object, "type") : std::nullopt;
    if (!type)
        return ParseError {Reason::invalid, std::nullopt};
    std::string room;  // none: the first room
    if (auto it = object->find("room"); it != object->end()) {
        if (!std::holds_alternative<std::string>(it->second))
            return ParseError {Reason::invalid, whole_number(*object, "id")};
        room = std::get<std::string>(it->second);
    }
    return parse_kind(*type, *object, std::move(room));
}

std::string room_list(const std::vector<RoomListing> &rooms)
{
    std::string json = "[";
    for (const RoomListing &room : rooms) {
        if (json.size() > 1)
            json += ',';
        json += JsonWriter()
                    .add("name", room.name)
                    .add("title", room.title)
                    .add("history", room.history)
                    .add("archive", room.archive)
                    .text();
    }
    return json + "]";
}

std::string_view room_of(const PageMessage &message)
{
    return std::visit([](const auto &m) -> std::string_view {
        if constexpr (requires { m.room; })
            return m.room;
        else
            return main_room;
    }, message);
}

std::optional<long long> id_of(const PageMessage &message)
{
    return std::visit([](const auto &m) -> std::optional<long long> {
        if constexpr (requires { m.id; })
            return m.id;
        else
            return std::nullopt;
    }, message);
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

bool before_login(const PageMessage &message)
{
    return std::visit([](const auto &m) {
        if constexpr (requires { m.before_login; })
            return m.before_login;
        else
            return false;
    }, message);
}

std::string hello_event(std::string_view room, const Hello &h)
{
    JsonWriter w = start(event::hello, room);
    w.add("message_max", h.message_max)
        .add("rate_count", h.rate_count)
        .add("rate_seconds", h.rate_seconds)
        .add("resume_seconds", h.resume_seconds)
        .add("idle_seconds", h.idle_seconds)
        .add("posts_max", h.posts_max)
        .add("tick_posts", h.tick_posts)
        .add("tick_seconds", h.tick_seconds);
    if (!h.token.empty())
        w.add("token", h.token);
    if (h.archive)
        w.add("archive", true);
    if (!h.name.empty())
        w.add("name", h.name);
    if (h.resumed) {
        w.add("resumed", true).add("rate_used", h.rate_used);
        if (h.last_id)
            w.add("last_id", *h.last_id);  // later ones the page sends again
    }
    return w.text();
}

namespace {

std::string rows_json(const std::vector<ArchiveRow> &rows)
{
    std::string out = "[";
    for (const auto &r : rows) {
        if (out.size() > 1)
            out += ',';
        JsonWriter w;
        w.add("id", r.id).add("stamp", r.stamp).add("archived", r.archived);
        if (r.gap)
            w.add("gap", true).add("since", r.since);
        else
            w.add("colour", r.colour).add("sender", r.sender).add("text", r.text).add("notice", r.notice);
        out += w.text();
    }
    return out + "]";
}

}  // namespace

std::string archive_event(std::string_view room, const ArchiveAnswer &a)
{
    JsonWriter w = start(event::archive, room);
    w.add("ask", archive_kinds[static_cast<size_t>(a.kind)]);
    if (a.id)
        w.add("id", *a.id);
    if (a.row)
        w.add("row", *a.row);
    if (a.kind == ArchiveAsk::Kind::search)
        w.add("term", a.text);
    w.add("incomplete", a.incomplete).add("failed", a.failed).add_json("rows", rows_json(a.rows));
    return w.text();
}

std::string placed_event(std::string_view room, const Placement &p)
{
    std::string ids = "[";
    for (const auto &[seq, id] : p.ids) {
        if (ids.size() > 1)
            ids += ',';
        ids += "[" + std::to_string(seq) + "," + std::to_string(id) + "]";
    }
    JsonWriter w = start(event::placed, room);
    w.add_json("ids", ids + "]");
    if (!p.dropped.empty() || p.more)
        w.add("before", static_cast<long long>(p.before)).add_json("dropped", rows_json(p.dropped)).add("more", p.more);
    return w.text();
}

std::string state_event(std::string_view room, std::string_view name, const int colour[3], size_t body_max)
{
    return start(event::state, room)
        .add("state", "in")
        .add("name", name)
        .add("colour", std::vector<int>(colour, colour + 3))
        .add("body_max", static_cast<long long>(body_max))
        .text();
}

std::string record_event(std::string_view room, const RecordEvent &r)
{
    JsonWriter w = start(event::record, room);
    w.add("colour", r.colour).add("sender", r.sender).add("text", r.text).add("notice", r.notice).add("earlier", r.earlier);
    if (r.automatic)
        w.add("auto", true);
    if (!r.presence.empty())
        w.add("presence", r.presence).add("name", r.about);
    if (r.stamp)
        w.add("stamp", *r.stamp);
    if (r.before_login)
        w.add("before_login", true);
    w.add("at", r.at);
    if (r.own) {
        w.add("own", true);
        if (r.id)
            w.add("id", *r.id);
        w.add("last", r.last);
    }
    if (r.verified)
        w.add("verified", true);
    return w.text();
}

std::string error_event(std::string_view room, ServerError error, std::string_view text)
{
    return start(event::error, room)
        .add("reason", server_error_codes[static_cast<size_t>(error)])
        .add("text", text)
        .text();
}

std::string gateway_event(std::string_view room, Reason reason, const ReasonValues &values, std::optional<long long> id)
{
    JsonWriter w = reason_event(event::gateway, room, reason, values);
    if (id)
        w.add("id", *id);
    return w.text();
}

std::string missed_event(std::string_view room)
{
    return reason_event(event::missed, room, Reason::missed, {}).text();
}

std::string idle_event(std::string_view room, long long seconds)
{
    return reason_event(event::idle, room, Reason::idle, ReasonValues::of_seconds(seconds)).text();
}

std::string ended_event(std::string_view room, Reason reason)
{
    return reason_event(event::ended, room, reason, {}).text();
}

}  // namespace chat_web
