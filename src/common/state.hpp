// The server's process-wide variables and its own tuning constants. Only
// the server, its tests and the board benchmark include this.
#pragma once

#include <csignal>
#include <sys/types.h>
#include <unistd.h>

#include "protocol.hpp"

inline constexpr int quick_lock_retries = 50;              // before each one-second pause
inline constexpr long quick_lock_pause_ns = 100'000;       // between quick retries
inline constexpr int line_capacity = line_max + 1;         // command line bytes plus the NUL
inline constexpr int rx_size = 1024;                       // receive buffer bytes
inline constexpr int client_send_buffer = 32 * 1024;       // bytes queued for a slow client
inline constexpr long shortage_pause_ms = 100;             // accept retry when out of descriptors
inline constexpr long listener_look_ms = 100;              // while a post waits for the clock
inline constexpr int user_name_size = 64;                  // login name buffer
inline constexpr int user_name_cleared = 50;               // bytes zeroed when a connection starts

struct board_record;

// Process-wide variables. Signal handlers reach them, so those that a handler
// writes are volatile sig_atomic_t. After fork every process has its own
// copy; only the memory behind `board` is shared.
extern pid_t server_pid;                       // the listener's process id
extern volatile sig_atomic_t running;          // the accept loop runs while set
extern volatile sig_atomic_t listen_fd;        // listening socket, or -1
extern volatile sig_atomic_t client_fd;        // this process's client, or -1
extern volatile sig_atomic_t client_stalled;   // a write to the client timed out
extern volatile sig_atomic_t connection_count; // connections counted as alive
extern int board_fd;                           // history file, locks go on it
extern board_record *board;                    // the mapped history, newest first
extern size_t board_len;                       // mapped length in bytes
extern uint32_t last_seen;                     // newest stamp sent to the client
extern char last_seen_text[text_size];         // and the text it came with

// Whether the listener still runs. Nothing tells a connection process when
// it stops; once it has gone, the process is some other process's child.
inline bool listener_running() { return getppid() == server_pid; }
