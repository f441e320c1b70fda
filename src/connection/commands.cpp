// The command loop: LGIN, LGOT, RELD and SEND from one client, the login
// state, and the notices posted for it.
#include <cstdio>
#include <cstring>
#include <unistd.h>

#include "../board/board.hpp"
#include "connection.hpp"

namespace {

int logged_in = 0;
char user_name[user_name_size];
int user_colour[3];

// Posts a system notice built from one of the notice formats.
void post_notice(const char *format)
{
    char text[text_size];
    snprintf(text, sizeof text, format,
             user_colour[0], user_colour[1], user_colour[2], user_name);
    board_post(text);
}

// "LGIN " then three numbers of up to three characters, optional white
// space, and a name of up to 30 bytes. sscanf keeps whatever fields it
// cannot read, so a later login may reuse the earlier name and colour. A
// login that would leave no name, or the system's own sender word (which
// would let anyone forge the server's notices), is refused and changes
// nothing.
void command_login(const char *arguments)
{
    if (logged_in) {
        client_send(reply_already_logged_in);
        return;
    }
    char format[64];
    snprintf(format, sizeof format, "%%03d%%03d%%03d %%%ds", name_max);
    int colour[3] = {user_colour[0], user_colour[1], user_colour[2]};
    char name[user_name_size];
    memcpy(name, user_name, sizeof name);
    sscanf(arguments, format, &colour[0], &colour[1], &colour[2], name);
    if (name[0] == '\0' || strcmp(name, system_sender) == 0) {
        client_send(reply_bad_command);
        return;
    }
    memcpy(user_colour, colour, sizeof colour);
    memcpy(user_name, name, sizeof name);
    post_notice(notice_login);
    logged_in = 1;
    alarm(tick_seconds);
}

void command_logout()
{
    if (!logged_in) {
        client_send(reply_not_logged_in);
        return;
    }
    logged_in = 0;
    post_notice(notice_logout);
    alarm(0);
}

void command_reload()
{
    if (!logged_in) {
        client_send(reply_not_logged_in);
        return;
    }
    board_deliver_now();  // and restarts the tick
}

// The body is everything after "SEND ", line end included. NUL bytes are
// dropped (the stored text ends at its first NUL), and a body without a
// line end (the last line of a client that hung up, or the rest of an
// over-long line) gets one, so that every record that is not cut at the
// limit ends with LF and readers keep their framing. Then the whole
// record text is cut to 255 bytes.
void command_send(const char *body, size_t len)
{
    if (!logged_in) {
        client_send(reply_not_logged_in);
        return;
    }
    char text[text_size + line_capacity + 2];  // the head, the body, CR LF
    size_t n = static_cast<size_t>(snprintf(text, text_size, message_head, user_colour[0],
                                            user_colour[1], user_colour[2], user_name));
    for (size_t i = 0; i < len; ++i)
        if (body[i] != '\0')
            text[n++] = body[i];
    if (text[n - 1] != '\n') {
        if (text[n - 1] != '\r')
            text[n++] = '\r';
        text[n++] = '\n';
    }
    text[n < record_max ? n : record_max] = '\0';
    board_post(text);
}

void handle_line(const char *line, size_t len)
{
    if (strncmp(line, "LGIN ", 5) == 0)
        command_login(line + 5);
    else if (strncmp(line, "LGOT", 4) == 0)
        command_logout();
    else if (strncmp(line, "RELD", 4) == 0)
        command_reload();
    else if (strncmp(line, "SEND ", 5) == 0)
        command_send(line + 5, len - 5);
    else
        client_send(reply_bad_command);
}

// The input ended while logged in: the client hung up (closed), fell
// silent, or the listener has gone.
void end_session(int closed)
{
    logged_in = 0;
    if (closed)
        post_notice(notice_logout);
    else if (listener_running())
        post_notice(notice_timeout);
    else
        client_send(reply_server_stopped);
    alarm(0);
}

}  // namespace

// Before each line: a logged-in connection whose listener has gone ends as
// at a failed read (the server-stopped reply, no notice), and one whose
// client has hung up ends as at its close once a post would wait for the
// clock (the logout notice; the rest of its lines are dropped), since what
// a client queued would otherwise be posted one a second for hours after
// it left.
void serve_connection()
{
    char line[rx_size];
    logged_in = 0;
    memset(user_name, 0, user_name_cleared);
    for (;;) {
        int n = read_line(line, line_capacity);
        if (n > 0 && logged_in && !listener_running())
            n = -1;
        else if (n > 0 && board_post_would_wait() && client_has_hung_up())
            n = 0;
        if (n == 0)
            client_fd = -1;  // nothing more may be written to a closed client
        if (n <= 0) {
            if (logged_in)
                end_session(n == 0);
            return;
        }
        handle_line(line, static_cast<size_t>(n));
    }
}
