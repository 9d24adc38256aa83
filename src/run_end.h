// How a run ends: by a caught stop signal, by the reader of standard output
// going away, or by itself, with its figures gathered from every part once
// the frames have stopped.
#pragma once

#include <csignal>
#include <functional>
#include <string>

#include "figures.h"

// The signal that stops the run, or 0: the run ends at the next idle pass.
// A lost reader of standard output stops it as SIGPIPE.
extern volatile sig_atomic_t stop_signal;

// The first SIGINT, SIGTERM or SIGHUP ends the run cleanly; a second one
// of any of them ends the process at once. SIGPIPE is ignored, so that a
// write to a closed pipe fails with EPIPE and the records can still be
// written: see watch_stdout.
void catch_stop_signals();

// Sleeps through `sleep`, which waits with the signal mask it is given: the
// stop signals are let in only there, so one that comes just before the
// sleep cannot be missed for the whole of it. No sleep once `*stop` is set.
// The thread's timer slack is 1 ns from the first call on: the default
// 50 μs would make every wake-up late by as much.
void sleep_unless_stopped(const volatile sig_atomic_t *stop, const std::function<void(const sigset_t *mask)> &sleep);

// Puts /dev/null on a closed standard stream, so that no file or X
// connection the program opens later takes its place; a closed standard
// output counts as a failed write.
void guard_standard_streams();

// Notes the first failed write to standard output; a closed pipe stops the
// run as SIGPIPE would have. Cheap enough to call after every frame.
void watch_stdout();

// Notices a pipe on standard output whose reader has gone, before any
// write fails, and stops the run as a failed write would.
void watch_stdout_reader();

// Flushes standard output and reports its first failure, of the run or of
// this flush, once on standard error. Returns false when it failed.
bool finish_stdout();

// Leaves the process the way the stop signal would have, once the records are written.
void end_by_signal();

// What the program knows of its GL, learnt at start-up.
struct GlIdentity {
    std::string renderer, vendor, version;
    bool swap_control = false;
};

// The whole run's figures, as they stand now. Call on the main thread, whose
// CPU time is that of the frames and the pacing.
RunFigures gather_figures(const GlIdentity &gl, const char *pace, const FrameFigures &frames,
                          const DisplayFigures &display);
