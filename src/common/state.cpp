// The server's process-wide variables, defined once, and checks that the
// reply texts keep the lengths their readers count on.
#include "state.hpp"

static_assert(reply_busy.len == 53 && reply_full.len == 51);
static_assert(reply_bad_command.len == 33 && reply_server_stopped.len == 29);
static_assert(reply_not_logged_in.len == 31 && reply_already_logged_in.len == 31);

pid_t server_pid = 0;
volatile sig_atomic_t running = 1;
volatile sig_atomic_t listen_fd = -1;
volatile sig_atomic_t client_fd = -1;
volatile sig_atomic_t client_stalled = 0;
volatile sig_atomic_t connection_count = 0;
int board_fd = -1;
board_record *board = nullptr;
size_t board_len = board_bytes;
uint32_t last_seen = 0;
char last_seen_text[text_size] = {};
