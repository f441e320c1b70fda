// The signal dispositions of the listener and of its connection processes,
// and the connection accounting: the table of places and the handlers that
// keep the connection count.
#include "signals.hpp"

#include <cerrno>
#include <initializer_list>
#include <sys/wait.h>
#include <unistd.h>

#include "../board/board.hpp"

namespace {

volatile sig_atomic_t places[max_connections];  // process ids, 0 when free

// Every handler gets no SA_RESTART, so that select, accept, read and sleep
// are cut short by a signal and their callers look at what it changed.
// True when installed.
bool install(int signal, const struct sigaction &action)
{
    return sigaction(signal, &action, nullptr) == 0;
}

void set_mask(struct sigaction &action, int first, int second = 0, int third = 0)
{
    sigemptyset(&action.sa_mask);
    for (int signal : {first, second, third})
        if (signal != 0)
            sigaddset(&action.sa_mask, signal);
}

void release_place(pid_t pid)
{
    for (auto &place : places) {
        if (place == pid) {
            place = 0;
            connection_count = connection_count - 1;
            return;
        }
    }
}

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

void set_accounting(sigset_t *set)
{
    sigemptyset(set);
    sigaddset(set, SIGUSR1);
    sigaddset(set, SIGCHLD);
}

}  // namespace

void hold_accounting(sigset_t *saved)
{
    sigset_t accounting;
    set_accounting(&accounting);
    sigprocmask(SIG_BLOCK, &accounting, saved);
}

void resume_accounting(const sigset_t *saved)
{
    sigprocmask(SIG_SETMASK, saved, nullptr);
}

void claim_place(pid_t pid)
{
    for (auto &place : places) {
        if (place == 0) {
            place = pid;
            connection_count = connection_count + 1;
            return;
        }
    }
}

// Stops at the first failed call, so that errno still tells why.
int install_signals()
{
    struct sigaction action {};
    action.sa_flags = 0;
    action.sa_handler = on_terminate;
    set_mask(action, SIGINT, SIGTERM, SIGQUIT);
    if (!install(SIGINT, action) || !install(SIGTERM, action) || !install(SIGQUIT, action))
        return -1;

    action.sa_handler = on_alarm;
    set_mask(action, SIGALRM);
    if (!install(SIGALRM, action))
        return -1;

    // The two accounting handlers both change the table of places, so each
    // holds the other off.
    action.sa_handler = on_child_exit;
    set_mask(action, SIGUSR1);
    if (!install(SIGCHLD, action))
        return -1;

    action.sa_sigaction = on_connection_end;
    action.sa_flags = SA_SIGINFO;
    set_mask(action, SIGUSR1, SIGCHLD);
    if (!install(SIGUSR1, action))
        return -1;

    // A history file cut short while the server runs is grown back.
    action.sa_sigaction = on_history_cut;
    action.sa_flags = SA_SIGINFO;
    set_mask(action, 0);
    if (!install(SIGBUS, action))
        return -1;

    // A write to a client that has gone away must fail, not kill the process.
    action.sa_handler = SIG_IGN;
    action.sa_flags = 0;
    set_mask(action, 0);
    return install(SIGPIPE, action) ? 0 : -1;
}
