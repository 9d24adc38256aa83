// The stop signals, and the one sleep that they cut short. Every window
// system sleeps here, so that no stop can be missed for the whole of a wait.
#pragma once

#include <csignal>
#include <functional>

// The signal that stops the run, or 0: the run ends at the next pass of the
// frame loop. A lost reader of standard output stops it as SIGPIPE.
extern volatile sig_atomic_t stop_signal;

// The first SIGINT, SIGTERM or SIGHUP ends the run cleanly; a second one
// of any of them ends the process at once. SIGPIPE is ignored, so that a
// write to a closed pipe fails with EPIPE and the records can still be
// written.
void catch_stop_signals();

// Sleeps through `sleep`, which waits with the signal mask it is given: the
// stop signals are let in only there, so one that comes just before the
// sleep cannot be missed for the whole of it. No sleep once `*stop` is set.
// The thread's timer slack is 1 ns from the first call on: the default
// 50 μs would make every wake-up late by as much.
void sleep_unless_stopped(const volatile sig_atomic_t *stop, const std::function<void(const sigset_t *mask)> &sleep);

// Leaves the process the way the stop signal would have, once the records are written.
void end_by_signal();
