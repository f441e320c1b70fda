// Test harness: runs the real server binary in a fresh temporary directory
// on a free port, talks to it over real sockets with deadlines, and stops
// every process it started, also when a test fails.
#pragma once

#include <chrono>
#include <csignal>
#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>

namespace chat_test {

using namespace std::chrono_literals;
using clock_type = std::chrono::steady_clock;
using millis = std::chrono::milliseconds;

// Paths of the binaries under test, set by the build.
std::string server_binary();       // the shipped time constants
std::string fast_server_binary();  // 1 s tick, 8 s idle budget, 4 lock attempts

// UTF-8 text converted to Shift_JIS, as the server sends its own texts.
std::string sjis(std::string_view utf8);
// Whether the bytes are whole Shift_JIS characters (as Windows writes them).
bool is_valid_sjis(std::string_view bytes);

// The server's wire texts, built from readable Japanese.
std::string error_reply(std::string_view explanation_utf8);
std::string login_notice(std::string_view colour, std::string_view name);
std::string logout_notice(std::string_view colour, std::string_view name);
std::string timeout_notice(std::string_view colour, std::string_view name);
std::string message(std::string_view colour, std::string_view name, std::string_view body);
std::string batch(const std::vector<std::string> &records);

inline const char *const not_logged_in = "まだログインしていません";
inline const char *const bad_command = "コマンドが正しくありません";
inline const char *const already_logged_in = "すでにログインしています";
inline const char *const server_stopped = "サーバーが停止しました";
inline const char *const busy = "ビジー状態のため要求は受け付けられませんでした";
inline const char *const server_full = "最大接続数を超えているのでログインできません";

// Runs until `done` holds or the deadline passes; true when it held.
template <class Predicate>
bool eventually(Predicate done, millis deadline = 10s)
{
    auto end = clock_type::now() + deadline;
    for (;;) {
        if (done())
            return true;
        if (clock_type::now() > end)
            return false;
        struct timespec pause {0, 10'000'000};
        nanosleep(&pause, nullptr);
    }
}

class Server {
public:
    // Starts `binary` in a new temporary directory (or in `dir`). With
    // `port_argument` empty a free port is chosen and passed; otherwise the
    // argument is passed as it is (or not at all when it is "-").
    // `environment` adds or overrides variables ("LANGUAGE=ja").
    explicit Server(std::string binary = server_binary(), std::string port_argument = "",
                    std::string dir = "", std::vector<std::string> environment = {});
    ~Server();
    Server(const Server &) = delete;
    Server &operator=(const Server &) = delete;

    // Launches the process and, unless expect_failure, waits until it listens.
    void start(bool expect_failure = false);
    int port() const { return port_; }
    pid_t pid() const { return pid_; }
    const std::string &dir() const { return dir_; }
    std::string dat_path() const { return dir_ + "/chat.dat"; }

    // Sends `signal` and waits for the exit status (-1 on no exit in time).
    int stop(int signal = SIGTERM);
    // Waits for the process to end on its own; the exit status or -1.
    int wait_exit(millis deadline = 10s);
    bool running();

    // What the server wrote to standard error. A test that reads it owns
    // it; otherwise anything there but the designed line of a stop that
    // races the accept loop fails the test when the server is destroyed
    // (a sanitizer report from a connection process, say).
    std::string error_output() const;
    std::string standard_output() const;

    // The port the process listens on, read from /proc; 0 when none.
    int listening_port() const;
    std::vector<pid_t> children() const;
    int zombie_children() const;
    bool wait_children(size_t count, millis deadline = 10s) const;

private:
    std::string binary_, argument_, dir_;
    std::vector<std::string> environment_;
    bool own_dir_ = false;
    void check_error_output();
    pid_t pid_ = -1;
    int port_ = 0;
    int status_ = -1;
    bool stop_requested_ = false;
    mutable bool error_output_read_ = false;
};

class Client {
public:
    // A receive_buffer other than 0 is set before connecting (a client
    // whose window fills quickly).
    explicit Client(int port, int receive_buffer = 0);
    ~Client();
    Client(const Client &) = delete;
    Client &operator=(const Client &) = delete;
    Client(Client &&other) noexcept;

    void send(std::string_view bytes);
    // Reads until `marker` has arrived; returns everything read up to and
    // including it ("" on deadline). Bytes after it stay buffered.
    std::string read_until(std::string_view marker, millis deadline = 10s);
    // Reads exactly n bytes, or what arrived by the deadline.
    std::string read_exact(size_t n, millis deadline = 10s);
    // Whatever arrives within the window (a check that nothing comes).
    std::string read_for(millis window);
    // True when the server closes the connection within the deadline.
    bool closed_within(millis deadline = 10s);
    // Reads one delivery batch and returns its records joined.
    std::string read_batch(millis deadline = 10s);
    // Reads up to the END of the batch that holds `record`, whatever else
    // that batch holds before or after it; "" on deadline.
    std::string read_batch_with(std::string_view record, millis deadline = 10s);
    std::string buffered() const { return pending_; }
    // Everything buffered or readable now, without waiting.
    std::string take_available();
    int fd() const { return fd_; }
    void close_now();

private:
    bool fill(clock_type::time_point end);
    int fd_ = -1;
    std::string pending_;
    bool eof_ = false;
};

// Waits up to `window` for data on any of the clients and appends what
// each has received to its entry of `into`.
void drain(std::vector<Client *> &clients, millis window, std::vector<std::string> &into);

// Logs in and consumes the batch that carries the client's own notice.
void login(Client &client, std::string_view colour, std::string_view name);

// What is wrong with a history file ("" when nothing): stamps strictly
// decrease over the used slots, unused slots follow them with stamp 0, and
// every text is NUL-terminated within its field.
std::string history_problem(const std::string &path);

// Connects `count` clients one after another, waiting for each to get its
// own connection process.
std::vector<Client> connect_all(Server &server, size_t count);

// With 20 clients connected, the next one gets the exact limit reply and
// is closed, and none of the 20 is disturbed (a test expectation).
void expect_full(Server &server, std::vector<Client> &clients);

// One used slot of a history file: its stamp and its text.
struct Slot {
    uint32_t stamp;
    std::string text;
};
// A history file holding `slots`, newest first, the rest unused.
std::string history_bytes(const std::vector<Slot> &slots);

// Another process takes a lock of `type` (F_RDLCK or F_WRLCK) on the
// whole file at `path` and holds it for `seconds`; returns its process id
// once it has the lock. The caller reaps it.
pid_t hold_lock(const std::string &path, short type, double seconds);

std::string read_file(const std::string &path);
void write_file(const std::string &path, std::string_view bytes);

}  // namespace chat_test
