// Per-frame bookkeeping: the tick text of the frame, the frame count, and the
// minima and maxima of the frame-to-frame interval and of the frame duration.
#pragma once

#include <cstdint>

#include "figures.h"

extern uint64_t ticks3;          // tick at the start of the current frame
extern char system_time[128];    // ticks3 as decimal text
extern uint64_t totalcount;      // frames completed
extern uint64_t curtick;         // tick after the current frame's buffer swap
extern uint64_t pretick;         // curtick of the previous measured frame, 0 if none
extern uint64_t deltaTick, deltaMin, deltaMax, deltaCount;
extern uint64_t curElapsed, minElapsed, maxElapsed, elapsedCount;
extern FrameFigures frame_figures;  // every measured interval and duration

// Frames up to this count are not measured: they carry the window mapping,
// the driver's first shader compiles and cold caches, whose one-off delays
// would set maxima that no later frame could reach.
constexpr uint64_t warmup_frames = 20;

// Starts a frame at tick `now`: records it and formats it into system_time.
void begin_frame(uint64_t now);

// Ends a frame whose buffer swap finished at tick `now`: counts it and, past
// the warm-up, updates the statistics, printing a line on each new maximum.
void end_frame(uint64_t now);
