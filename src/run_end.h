// How a run ends: by a stop signal, by the reader of standard output going
// away, or by itself, with its figures gathered from every part once the
// frames have stopped.
#pragma once

#include <string>

#include "figures.h"
#include "stop.h"

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
// this flush, once on standard error; a reader that went away stops the run
// as SIGPIPE and is not reported. Returns false when it failed.
bool finish_stdout();

// What the program knows of its GL, learnt at start-up.
struct GlIdentity {
    std::string renderer, vendor, version;
};

// The whole run's figures, as they stand now. Call on the main thread, whose
// CPU time is that of the frames and the pacing.
RunFigures gather_figures(const GlIdentity &gl, const char *pace, const FrameFigures &frames,
                          const DisplayFigures &display);
