// How a run ends: by a caught SIGINT or SIGTERM, or by itself, with its
// figures gathered from every part once the frames have stopped.
#pragma once

#include <csignal>
#include <string>

#include "figures.h"

// The signal caught, or 0: the run ends at the next idle pass.
extern volatile sig_atomic_t stop_signal;

// The first SIGINT or SIGTERM ends the run cleanly; a second one, with the
// default action restored, ends the process at once.
void catch_stop_signals();

// Leaves the process the way the caught signal would have, once the records are written.
void end_by_signal();

// What the program knows of its GL, learnt at start-up.
struct GlIdentity {
    std::string renderer, vendor, version;
    bool swap_control = false;
};

// The whole run's figures, as they stand now. Call on the main thread, whose
// CPU time is that of the frames and the pacing.
RunFigures gather_figures(const GlIdentity &gl);
