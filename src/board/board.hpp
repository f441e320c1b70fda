// The message board: the shared history in chat.dat, its whole-file lock,
// posting a record and delivering new records to this process's client.
#pragma once

#include <bit>

#include "../common/state.hpp"

// One slot of the history as it lies in the file: a stamp in seconds since
// the Epoch (0 in a slot never written) and a NUL-terminated text.
struct board_record {
    uint32_t stamp;
    char text[text_size];
};
static_assert(sizeof(board_record) == slot_bytes, "a slot is 260 bytes in chat.dat");
static_assert(std::endian::native == std::endian::little, "stamps are stored little-endian");

// Opens (creating it with mode 0666) and maps the history file. *len holds
// the wanted length on entry and the mapped length on return; the descriptor
// goes to *fd even on failure. Null after a perror line on failure.
board_record *board_map(int *fd, const char *path, size_t *len);
// Flushes, unmaps and closes the history; the listener's last act.
void board_unmap(int fd, board_record *address, size_t len);

// Sets (or with F_UNLCK releases) a whole-file record lock, polling once a
// second; 0 when done, -1 when every attempt failed.
int board_lock(int fd, short type);

// Pushes `text` (at most 255 bytes) into slot 0 with a fresh stamp and
// delivers it to this process's own client at once. While the newest stamp
// is stamp_lead_seconds or more ahead of the clock, first waits for the
// clock's next second, with the tick going on; should the listener go
// meanwhile, the wait ends and nothing is posted. Answers the busy reply
// when the lock cannot be had or no stamp is left (after 4294967295); the
// record is then not posted.
void board_post(const char *text);
// Whether a post made now would first wait for the clock's next second:
// a read of slot 0's stamp and of the clock, no system call.
bool board_post_would_wait();
// Sends the client every record posted since the last delivery (the one
// in slot 0 then, kept in last_seen and last_seen_text), oldest first,
// framed by OK and END, in one write. Writes nothing when nothing changed
// or no client is there.
void board_deliver();
// A delivery now, with the tick held off, and the next tick 5 seconds on.
void board_deliver_now();
// Takes the newest record as seen: a new connection is sent only what is
// posted after it connected.
void board_catch_up();

// Writes one reply to the client in full, holding off the delivery tick so
// that no batch lands inside it. A write that times out marks the client
// as stalled; other write errors are left for the line input to find.
void client_send(reply_text reply);

// SIGALRM: deliver, then arm the next tick.
void on_alarm(int signal);
// SIGBUS from the mapping: the history file was cut short; grows it back.
void on_history_cut(int signal, siginfo_t *info, void *context);
