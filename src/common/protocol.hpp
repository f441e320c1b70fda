// What every program knows about the chat protocol and the history file:
// limits, time constants, the server's reply and notice texts. No state:
// the server, the client, the gateway, the tools and the tests include it.
#pragma once

#include <cstddef>
#include <cstdint>

// The three time constants can be shortened with compile definitions for the
// test build; the shipped server keeps the values below.
#ifndef CHAT_TICK_SECONDS
#define CHAT_TICK_SECONDS 5
#endif
#ifndef CHAT_IDLE_SECONDS
#define CHAT_IDLE_SECONDS 300
#endif
#ifndef CHAT_LOCK_ATTEMPTS
#define CHAT_LOCK_ATTEMPTS 122
#endif

inline constexpr int tick_seconds = CHAT_TICK_SECONDS;     // seconds between deliveries
inline constexpr int idle_seconds = CHAT_IDLE_SECONDS;     // silence that ends a connection
inline constexpr int lock_attempts = CHAT_LOCK_ATTEMPTS;   // tries, one second apart
// While the newest stamp is this many seconds or more ahead of the clock,
// every post first waits for the clock's next second, so that no flood of
// posts can run the stamps out. The benchmarks, which post thousands of
// times in a row, are built with CHAT_NO_STAMP_WAIT, which lifts the wait.
inline constexpr int stamp_lead_seconds = 300;
#ifdef CHAT_NO_STAMP_WAIT
inline constexpr bool stamp_wait = false;
#else
inline constexpr bool stamp_wait = true;
#endif
inline constexpr int board_slots = 20;                     // records kept in the history
inline constexpr int text_size = 256;                      // bytes per record text, NUL included
inline constexpr size_t record_max = text_size - 1;        // bytes of one stored record text
inline constexpr size_t slot_bytes = 4 + text_size;        // a stamp and a text field
inline constexpr size_t board_bytes = board_slots * slot_bytes;  // the history area, 5200
inline constexpr size_t colour_chars = 9;                  // three %03d components
inline constexpr int max_connections = 20;                 // connections served at once
inline constexpr int name_max = 30;                        // bytes of a login name
inline constexpr int line_max = 1022;                      // bytes of one command line, LF included
inline constexpr unsigned short default_port = 12345;
inline constexpr const char *board_path = "chat.dat";

// A reply text together with its length, so that it goes out in one write
// even where it holds bytes that look like anything.
struct reply_text {
    const char *bytes;
    size_t len;
};

template <size_t N>
constexpr reply_text make_reply(const char (&s)[N]) { return {s, N - 1}; }

inline constexpr reply_text reply_ok = make_reply("OK\r\n");
inline constexpr reply_text reply_end = make_reply("END\r\n");
// ビジー状態のため要求は受け付けられませんでした
inline constexpr reply_text reply_busy = make_reply(
    "ERR\r\n"
    "\x83\x72\x83\x57\x81\x5b\x8f\xf3\x91\xd4\x82\xcc\x82\xbd\x82\xdf\x97\x76\x8b\x81"
    "\x82\xcd\x8e\xf3\x82\xaf\x95\x74\x82\xaf\x82\xe7\x82\xea\x82\xdc\x82\xb9\x82\xf1"
    "\x82\xc5\x82\xb5\x82\xbd\r\n");
// 最大接続数を超えているのでログインできません
inline constexpr reply_text reply_full = make_reply(
    "ERR\r\n"
    "\x8d\xc5\x91\xe5\x90\xda\x91\xb1\x90\x94\x82\xf0\x92\xb4\x82\xa6\x82\xc4\x82\xa2"
    "\x82\xe9\x82\xcc\x82\xc5\x83\x8d\x83\x4f\x83\x43\x83\x93\x82\xc5\x82\xab\x82\xdc"
    "\x82\xb9\x82\xf1\r\n");
// コマンドが正しくありません
inline constexpr reply_text reply_bad_command = make_reply(
    "ERR\r\n"
    "\x83\x52\x83\x7d\x83\x93\x83\x68\x82\xaa\x90\xb3\x82\xb5\x82\xad\x82\xa0\x82\xe8"
    "\x82\xdc\x82\xb9\x82\xf1\r\n");
// まだログインしていません
inline constexpr reply_text reply_not_logged_in = make_reply(
    "ERR\r\n"
    "\x82\xdc\x82\xbe\x83\x8d\x83\x4f\x83\x43\x83\x93\x82\xb5\x82\xc4\x82\xa2\x82\xdc"
    "\x82\xb9\x82\xf1\r\n");
// すでにログインしています
inline constexpr reply_text reply_already_logged_in = make_reply(
    "ERR\r\n"
    "\x82\xb7\x82\xc5\x82\xc9\x83\x8d\x83\x4f\x83\x43\x83\x93\x82\xb5\x82\xc4\x82\xa2"
    "\x82\xdc\x82\xb7\r\n");
// サーバーが停止しました
inline constexpr reply_text reply_server_stopped = make_reply(
    "ERR\r\n"
    "\x83\x54\x81\x5b\x83\x6f\x81\x5b\x82\xaa\x92\xe2\x8e\x7e\x82\xb5\x82\xdc\x82\xb5"
    "\x82\xbd\r\n");

// Notice formats: colour, the system sender, then the user's name.
// "%03d%03d%03d\tメッセージ\t%sがログインしました\r\n"
inline constexpr const char *notice_login =
    "%03d%03d%03d\t\x83\x81\x83\x62\x83\x5a\x81\x5b\x83\x57\t%s"
    "\x82\xaa\x83\x8d\x83\x4f\x83\x43\x83\x93\x82\xb5\x82\xdc\x82\xb5\x82\xbd\r\n";
// "%03d%03d%03d\tメッセージ\t%sがログアウトしました\r\n"
inline constexpr const char *notice_logout =
    "%03d%03d%03d\t\x83\x81\x83\x62\x83\x5a\x81\x5b\x83\x57\t%s"
    "\x82\xaa\x83\x8d\x83\x4f\x83\x41\x83\x45\x83\x67\x82\xb5\x82\xdc\x82\xb5\x82\xbd\r\n";
// "%03d%03d%03d\tメッセージ\t%sはタイムアウトのためログアウトされました\r\n"
inline constexpr const char *notice_timeout =
    "%03d%03d%03d\t\x83\x81\x83\x62\x83\x5a\x81\x5b\x83\x57\t%s"
    "\x82\xcd\x83\x5e\x83\x43\x83\x80\x83\x41\x83\x45\x83\x67\x82\xcc\x82\xbd\x82\xdf"
    "\x83\x8d\x83\x4f\x83\x41\x83\x45\x83\x67\x82\xb3\x82\xea\x82\xdc\x82\xb5\x82\xbd\r\n";
// The sender word of the server's own notices: メッセージ
inline constexpr const char *system_sender = "\x83\x81\x83\x62\x83\x5a\x81\x5b\x83\x57";
// The head of a message record: colour and sender; the body follows.
inline constexpr const char *message_head = "%03d%03d%03d\t%s\t";

