// One of the command-line programs as a child process, its output read
// through a pipe or, for an interactive session, a pseudo-terminal. It
// runs in a UTF-8 locale with English messages and colours allowed;
// `environment` adds or overrides variables ("TZ=UTC", "LANGUAGE=ja"). The
// destructor kills it if it still runs.
#pragma once

#include <csignal>
#include <poll.h>
#include <pty.h>
#include <string>
#include <string_view>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "harness.hpp"

namespace chat_test {

class ChildProcess {
public:
    ChildProcess(std::string binary, std::vector<std::string> args, bool terminal,
                 std::string input = "", std::vector<std::string> environment = {})
    {
        int out[2], err[2], in[2];
        (void)!pipe(err);
        (void)!pipe(in);
        if (terminal) {
            winsize size {24, 100, 0, 0};
            pid_ = forkpty(&output_, nullptr, nullptr, &size);
        } else {
            (void)!pipe(out);
            pid_ = fork();
        }
        if (pid_ == 0) {
            if (!terminal) {
                dup2(in[0], 0);
                dup2(out[1], 1);
                close(out[0]);
                close(out[1]);
            }
            dup2(err[1], 2);
            close(in[0]);
            close(in[1]);
            close(err[0]);
            close(err[1]);
            setenv("LANG", "C.UTF-8", 1);
            setenv("LC_ALL", "C.UTF-8", 1);
            setenv("LANGUAGE", "en", 1);
            setenv("COLORTERM", "truecolor", 1);
            setenv("TERM", "xterm-256color", 1);
            unsetenv("NO_COLOR");
            for (auto &setting : environment)
                putenv(setting.data());
            std::vector<char *> argv;
            argv.push_back(binary.data());
            for (auto &a : args)
                argv.push_back(a.data());
            argv.push_back(nullptr);
            execv(binary.c_str(), argv.data());
            _exit(127);
        }
        close(err[1]);
        close(in[0]);
        error_ = err[0];
        if (!terminal) {
            close(out[1]);
            output_ = out[0];
            (void)!write(in[1], input.data(), input.size());
        }
        close(in[1]);
    }

    ~ChildProcess()
    {
        if (status_ == -1) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        close(output_);
        close(error_);
    }

    ChildProcess(const ChildProcess &) = delete;
    ChildProcess &operator=(const ChildProcess &) = delete;

    void type(std::string_view keys) { (void)!write(output_, keys.data(), keys.size()); }
    void signal(int sig) { kill(pid_, sig); }

    // Reads output until `marker` has been seen after everything read
    // before; true when it came within the deadline.
    bool expect(std::string_view marker, millis deadline = 10s)
    {
        return expect_in(output_, output_text_, checked_, marker, deadline);
    }
    // The same on standard error.
    bool expect_error(std::string_view marker, millis deadline = 10s)
    {
        return expect_in(error_, error_text_, error_checked_, marker, deadline);
    }

    // Waits for the exit status, collecting the rest of the output.
    int wait(millis deadline = 15s)
    {
        auto end = clock_type::now() + deadline;
        while (fill(output_, output_text_, end)) {
        }
        while (fill(error_, error_text_, end)) {
        }
        eventually([&] {
            int status;
            if (waitpid(pid_, &status, WNOHANG) != pid_)
                return false;
            status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            return true;
        }, deadline);
        return status_;
    }

    pid_t pid() const { return pid_; }
    const std::string &output() const { return output_text_; }
    const std::string &errors() const { return error_text_; }

private:
    static bool expect_in(int fd, std::string &text, size_t &checked, std::string_view marker, millis deadline)
    {
        auto end = clock_type::now() + deadline;
        for (;;) {
            size_t at = text.find(marker, checked);
            if (at != std::string::npos) {
                checked = at + marker.size();
                return true;
            }
            if (!fill(fd, text, end))
                return false;
        }
    }

    static bool fill(int fd, std::string &into, clock_type::time_point end)
    {
        auto left = std::chrono::duration_cast<millis>(end - clock_type::now()).count();
        pollfd p {fd, POLLIN, 0};
        if (left < 0 || poll(&p, 1, static_cast<int>(left)) <= 0)
            return false;
        char buf[4096];
        ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0)
            return false;
        into.append(buf, static_cast<size_t>(n));
        return true;
    }

    pid_t pid_ = -1;
    int output_ = -1, error_ = -1, status_ = -1;
    std::string output_text_, error_text_;
    size_t checked_ = 0, error_checked_ = 0;
};

}  // namespace chat_test
