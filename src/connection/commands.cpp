#include <cstdio>
#include <cstring>
#include <unistd.h>

#include "../board/board.hpp"
#include "connection.hpp"

namespace {

int logged_in = 0;
char user_name[64];
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
// cannot read, so a later login may reuse the earlier name and colour.
void command_login(const char *arguments)
{
    if (logged_in) {
        client_send(reply_already_logged_in);
        return;
    }
    char format[64];
    snprintf(format, sizeof format, "%%03d%%03d%%03d %%%ds", name_max);
    sscanf(arguments, format, &user_colour[0], &user_colour[1], &user_colour[2], user_name);
    if (user_name[0] == '\0') {
        client_send(reply_bad_command);
        return;
    }
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
    raise(SIGALRM);  // delivers now and restarts the tick
}

// The body is everything after "SEND ", line end included, cut so that the
// whole record text fits in 255 bytes.
void command_send(const char *body)
{
    if (!logged_in) {
        client_send(reply_not_logged_in);
        return;
    }
    char text[text_size];
    int head = snprintf(text, sizeof text, message_head,
                        user_colour[0], user_colour[1], user_colour[2], user_name);
    strncat(text, body, sizeof text - 1 - static_cast<size_t>(head));
    board_post(text);
}

void handle_line(const char *line)
{
    if (strncmp(line, "LGIN ", 5) == 0)
        command_login(line + 5);
    else if (strncmp(line, "LGOT", 4) == 0)
        command_logout();
    else if (strncmp(line, "RELD", 4) == 0)
        command_reload();
    else if (strncmp(line, "SEND ", 5) == 0)
        command_send(line + 5);
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
    else if (getppid() == server_pid)
        post_notice(notice_timeout);
    else
        client_send(reply_server_stopped);
    alarm(0);
}

}  // namespace

void serve_connection()
{
    char line[rx_size];
    logged_in = 0;
    memset(user_name, 0, 50);
    for (;;) {
        int n = read_line(line, line_capacity);
        if (n == 0)
            client_fd = -1;  // nothing more may be written to a closed client
        if (n <= 0) {
            if (logged_in)
                end_session(n == 0);
            return;
        }
        handle_line(line);
    }
}
