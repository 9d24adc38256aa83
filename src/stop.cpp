#include "stop.h"

#include <sys/prctl.h>

volatile sig_atomic_t stop_signal = 0;

static const int stop_signals[] = {SIGINT, SIGTERM, SIGHUP};

// A second stop, of whatever kind, means the user wants out now.
static void on_stop_signal(int sig)
{
    if (stop_signal) {
        signal(sig, SIG_DFL);
        raise(sig);
        return;
    }
    stop_signal = sig;
}

void catch_stop_signals()
{
    struct sigaction action = {};
    action.sa_handler = on_stop_signal;
    // A write to a slow log pipe goes on after the signal instead of failing
    // with EINTR; ppoll is never restarted, so the hybrid wait still wakes.
    action.sa_flags = SA_RESTART;
    for (int sig : stop_signals)
        sigaction(sig, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);
}

void sleep_unless_stopped(const volatile sig_atomic_t *stop, const std::function<void(const sigset_t *mask)> &sleep)
{
    static bool slack_set = false;
    if (!slack_set) {
        prctl(PR_SET_TIMERSLACK, 1UL, 0, 0, 0);
        slack_set = true;
    }
    sigset_t stops, before;
    sigemptyset(&stops);
    for (int sig : stop_signals)
        sigaddset(&stops, sig);
    sigprocmask(SIG_BLOCK, &stops, &before);
    if (!*stop)
        sleep(&before);
    sigprocmask(SIG_SETMASK, &before, nullptr);
}

void end_by_signal()
{
    signal(stop_signal, SIG_DFL);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, stop_signal);
    sigprocmask(SIG_UNBLOCK, &set, nullptr);
    raise(stop_signal);
}
