// Per-frame bookkeeping: the tick text of the frame, the frame count, and the
// minima and maxima of the frame-to-frame interval and of the frame duration.
#pragma once

#include <cstdint>

#include "figures.h"
#include "frame.h"

extern uint64_t ticks3;          // tick at the start of the current frame
extern char system_time[128];    // ticks3 as decimal text
extern uint64_t totalcount;      // frames completed
extern uint64_t curtick;         // tick after the current frame's buffer swap
extern uint64_t pretick;         // curtick of the previous measured frame, 0 if none
extern uint64_t deltaTick, deltaMin, deltaMax, deltaCount;
extern uint64_t curElapsed, minElapsed, maxElapsed, elapsedCount;

// Starts a frame at tick `now`: records it and formats it into system_time.
void begin_frame(uint64_t now);

// Ends a frame: counts it and, past the warm-up, updates the statistics,
// printing a line on each new maximum, and folds it into the run's figures
// against the requested interval.
void end_frame(const Frame &frame, int32_t requested_us);

// Every measured interval and duration so far.
const FrameFigures &frame_figures();
