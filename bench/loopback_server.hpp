// A trivial fork-per-connection server on a loopback port: the floors that
// chat_bench measures the chat server and the gateway against.
#pragma once

#include <arpa/inet.h>
#include <csignal>
#include <functional>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <stdexcept>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

class LoopbackServer {
public:
    // `serve` runs in a process of its own for each accepted connection,
    // which has TCP_NODELAY set. Construct it before starting threads.
    explicit LoopbackServer(std::function<void(int fd)> serve)
    {
        int fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a {};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 || listen(fd, 16) != 0 ||
            getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len) != 0)
            throw std::runtime_error("loopback server: cannot listen");
        port_ = ntohs(a.sin_port);
        pid_ = fork();
        if (pid_ == 0)
            accept_loop(fd, serve);
        close(fd);
    }
    ~LoopbackServer()
    {
        kill(-pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    LoopbackServer(const LoopbackServer &) = delete;
    LoopbackServer &operator=(const LoopbackServer &) = delete;
    int port() const { return port_; }

private:
    [[noreturn]] static void accept_loop(int fd, const std::function<void(int)> &serve)
    {
        setpgid(0, 0);
        signal(SIGCHLD, SIG_IGN);
        for (;;) {
            int c = accept(fd, nullptr, nullptr);
            if (c < 0)
                continue;
            if (fork() == 0) {
                close(fd);
                int on = 1;
                setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
                try {
                    serve(c);
                } catch (...) {  // never back into the caller's code
                }
                _exit(0);
            }
            close(c);
        }
    }
    pid_t pid_ = -1;
    int port_ = 0;
};
