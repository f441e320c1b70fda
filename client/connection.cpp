// The connection's life: connecting through getaddrinfo, sending whole
// lines, polling, and the login and logout handshakes that wait for our
// own notice.
#include "connection.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "i18n/i18n.hpp"
#include "i18n/sentence.hpp"
#include "wire/colour.hpp"
#include "wire/compose.hpp"
#include "wire/emoji.hpp"
#include "wire/splitter.hpp"
#include "src/common/protocol.hpp"

namespace chat_client {

using chat::Event;

bool is_busy(const Event &e) { return e.body == chat::explanation(reply_busy); }

Connection::Connection(const chat::Codec &codec, std::string host, std::string port)
    : codec_(codec), host_(std::move(host)), port_(std::move(port))
{
}

Connection::~Connection()
{
    if (fd_ >= 0)
        close(fd_);
}

void Connection::stay(std::function<void(const std::string &)> note) { stays_ = std::move(note); }

void Connection::set_name(const std::string &name)
{
    name_ = name;
    if (!colour_chosen_)
        chat::stable_colour(name_, colour_);
}

void Connection::choose_colour(const int colour[3])
{
    std::copy(colour, colour + 3, colour_);
    colour_chosen_ = true;
}

void Connection::note(const std::string &text)
{
    if (stays_)
        stays_(text);
    else
        fprintf(stderr, "chat_client: %s\n", text.c_str());
}

// The connection has ended or could not be made. Scripts and --listen end
// with `status`; an interactive session says what happened and connects
// again when the user next types a line or /login.
void Connection::ended(Exit status, const std::string &message)
{
    if (!stays_)
        die(status, message);
    if (fd_ >= 0)
        close(fd_);
    fd_ = -1;
    reader_ = chat::Reader();
    logged_in_ = false;
    stopped_reply_ = false;
    timeout_notice_seen_ = false;
    note(chat::sentence(_("%s; type a line or /login to log in again"), message.c_str()));
}

bool Connection::send_bytes(const std::string &bytes)
{
    if (fd_ < 0)
        return false;
    const char *p = bytes.data();
    size_t left = bytes.size();
    while (left > 0) {
        ssize_t n = send(fd_, p, left, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            ended(exit_connection, _("the connection to the server was lost"));
            return false;
        }
        p += n;
        left -= static_cast<size_t>(n);
    }
    last_sent_ = std::chrono::steady_clock::now();
    return true;
}

bool Connection::send_line(const std::string &line) { return send_bytes(line + "\r\n"); }

bool Connection::connect()
{
    addrinfo hints {};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *found = nullptr;
    int r = getaddrinfo(host_.c_str(), port_.c_str(), &hints, &found);
    if (r != 0) {
        ended(exit_connection, chat::sentence(_("cannot find %s: %s"), host_.c_str(), gai_strerror(r)));
        return false;
    }
    int error = 0;
    for (addrinfo *a = found; a != nullptr && fd_ < 0; a = a->ai_next) {
        int fd = socket(a->ai_family, a->ai_socktype, a->ai_protocol);
        if (fd >= 0 && ::connect(fd, a->ai_addr, a->ai_addrlen) == 0) {
            fd_ = fd;
            break;
        }
        error = errno;
        if (fd >= 0)
            close(fd);
    }
    freeaddrinfo(found);
    if (fd_ < 0)
        ended(exit_connection,
              chat::sentence(_("cannot connect to %s port %s: %s"), host_.c_str(), port_.c_str(), strerror(error)));
    return fd_ >= 0;
}

std::string Connection::notice_text(const char *format) const
{
    return chat::notice_record(format, colour_, name_);
}

// The server closed the connection: say why, as far as it can be told.
void Connection::closed()
{
    if (stopped_reply_)
        ended(exit_stopped, _("the server has stopped"));
    else if (timeout_notice_seen_)
        ended(exit_connection, _("timed out for staying silent"));
    else
        ended(exit_connection, _("the server closed the connection"));
}

std::vector<Event> Connection::wait_for_events(int timeout_ms, bool watch_input, bool *input_ready)
{
    pollfd fds[2] = {{0, POLLIN, 0}, {fd_, POLLIN, 0}};
    std::vector<Event> events;
    if (input_ready)
        *input_ready = false;
    int count = fd_ >= 0 ? 2 : 1;
    pollfd *first = watch_input ? fds : fds + 1;
    if (!watch_input)
        --count;
    if (count == 0 || poll(first, static_cast<nfds_t>(count), timeout_ms) <= 0)
        return events;
    if (watch_input && (fds[0].revents & (POLLIN | POLLHUP)) && input_ready)
        *input_ready = true;
    if (fd_ >= 0 && (fds[1].revents & (POLLIN | POLLHUP | POLLERR))) {
        char buf[8192];
        ssize_t n = recv(fd_, buf, sizeof buf, 0);
        if (n > 0)
            reader_.feed(std::string_view(buf, static_cast<size_t>(n)));
        else if (!(n < 0 && errno == EINTR))
            closed();
    }
    while (auto e = reader_.next()) {
        if (e->kind == Event::overlong) {
            note(chat::sentence(_("the server sent a line longer than %zu KiB; the rest of it was dropped"),
                                chat::Reader::line_max / 1024));
            continue;
        }
        if (e->kind == Event::record)
            timeout_notice_seen_ = e->text == notice_text(notice_timeout);
        // A batch as long as the board: more may have been posted than it holds.
        if (e->kind == Event::record && e->place == board_slots)
            note(chat::sentence(_("%d new records at once: earlier ones may have been skipped; "
                                  "the archive keeps them all (see chat_archive(8))"), board_slots));
        events.push_back(*e);
    }
    return events;
}

bool Connection::check_fatal(const Event &e)
{
    if (e.kind != Event::error)
        return false;
    if (e.body == chat::explanation(reply_full)) {
        ended(exit_full, chat::sentence(_("the server is full (%d clients are connected); try again later"),
                                  max_connections));
        return true;
    }
    if (e.body == chat::explanation(reply_server_stopped)) {
        stopped_reply_ = true;
        closed();
        return true;
    }
    return false;
}

Outcome Connection::await_record(const std::string &record, int seconds, const Show &show, Event *error)
{
    time_t end = time(nullptr) + seconds;
    while ((seconds < 0 || time(nullptr) <= end) && !interrupted) {
        for (const Event &e : wait_for_events(200, false, nullptr)) {
            if (check_fatal(e))
                return Outcome::gone;
            show(e);
            if (e.kind == Event::record && e.text == record)
                return Outcome::arrived;
            if (e.kind == Event::error) {
                if (error)
                    *error = e;
                return Outcome::error;
            }
        }
        if (fd_ < 0)
            return Outcome::gone;
    }
    return Outcome::timed_out;
}

bool Connection::log_in(const Show &show)
{
    if (fd_ < 0 && !connect())
        return false;
    if (!send_bytes(chat::login_line(colour_, name_)))
        return false;
    Event error;
    Outcome o = await_record(notice_text(notice_login), -1, show, &error);
    if (o == Outcome::gone)
        return false;
    if (o != Outcome::arrived && !(o == Outcome::error && is_busy(error))) {
        if (!stays_)
            die(exit_connection, _("the server did not accept the login"));
        note(_("the server did not accept the login"));
        return false;
    }
    logged_in_ = true;
    return true;
}

void Connection::log_out(const Show &show)
{
    if (!logged_in_)
        return;
    logged_in_ = false;
    if (send_line("LGOT"))
        await_record(notice_text(notice_logout), 3, show);
}

std::vector<std::string> Connection::pieces_of(const std::string &local_text)
{
    size_t replaced = 0;
    std::string wire = codec_.to_wire(codec_.utf8() ? chat::emoji_to_short_codes(local_text) : local_text, &replaced);
    std::string mark = codec_.to_local(chat::geta_mark);
    if (replaced > 0)
        note(chat::sentence(ngettext("%zu character with no Shift_JIS form sent as %s",
                                     "%zu characters with no Shift_JIS form sent as %s", replaced),
                            replaced, mark.c_str()));
    return chat::split_message(wire, chat::body_limit(name_));
}

std::string Connection::record_of(const std::string &piece) const
{
    std::string record = chat::own_record(colour_, name_, piece + "\r\n");
    return record.substr(0, record.size() - 2);
}

}  // namespace chat_client
