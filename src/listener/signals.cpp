// The signal dispositions of the listener and of its connection processes,
// and the handlers that keep the connection count.
#include <cerrno>
#include <initializer_list>
#include <sys/wait.h>
#include <unistd.h>

#include "../board/board.hpp"
#include "listener.hpp"

namespace {

// Every handler gets no SA_RESTART, so that select, accept, read and sleep
// are cut short by a signal and their callers look at what it changed.
void install(int signal, const struct sigaction &action)
{
    if (sigaction(signal, &action, nullptr) != 0)
        fatal_exit(-1, "sigaction");
}

void set_mask(struct sigaction &action, int first, int second = 0, int third = 0)
{
    sigemptyset(&action.sa_mask);
    for (int signal : {first, second, third})
        if (signal != 0)
            sigaddset(&action.sa_mask, signal);
}

}  // namespace

void on_terminate(int)
{
    int saved_errno = errno;
    running = 0;
    int fd = listen_fd;
    if (fd >= 0) {
        listen_fd = -1;
        close(fd);
    }
    errno = saved_errno;
}

// Reaps every ended child, not just one: SIGCHLD signals that arrive
// together are seen as one. A child that never sent its SIGUSR1 (killed or
// crashed) gives its place back here.
void on_child_exit(int)
{
    int saved_errno = errno;
    int status;
    pid_t pid;
    while ((pid = waitpid(-1, &status, WNOHANG)) > 0)
        release_place(pid);
    errno = saved_errno;
}

// A connection process says it has served its client.
void on_connection_end(int, siginfo_t *info, void *)
{
    int saved_errno = errno;
    release_place(info->si_pid);
    errno = saved_errno;
}

void install_signals()
{
    struct sigaction action {};
    action.sa_flags = 0;
    action.sa_handler = on_terminate;
    set_mask(action, SIGINT, SIGTERM, SIGQUIT);
    install(SIGINT, action);
    install(SIGTERM, action);
    install(SIGQUIT, action);

    action.sa_handler = on_alarm;
    set_mask(action, SIGALRM);
    install(SIGALRM, action);

    // The two accounting handlers both change the table of places, so each
    // holds the other off.
    action.sa_handler = on_child_exit;
    set_mask(action, SIGUSR1);
    install(SIGCHLD, action);

    action.sa_sigaction = on_connection_end;
    action.sa_flags = SA_SIGINFO;
    set_mask(action, SIGUSR1, SIGCHLD);
    install(SIGUSR1, action);

    // A history file cut short while the server runs is grown back.
    action.sa_sigaction = on_history_cut;
    action.sa_flags = SA_SIGINFO;
    set_mask(action, 0);
    install(SIGBUS, action);

    // A write to a client that has gone away must fail, not kill the process.
    action.sa_handler = SIG_IGN;
    action.sa_flags = 0;
    set_mask(action, 0);
    install(SIGPIPE, action);
}
