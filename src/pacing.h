// The pacing decisions of the frame loop, fed with ticks so they can be tested.
#pragma once

#include <cstdint>

extern uint64_t ticks1;    // tick of the latest idle pass
extern uint64_t ticks2;    // tick of the latest redisplay request

// Records the tick `now` and tells whether a redisplay is due: at least
// `interval` microseconds since the previous request.
bool redisplay_due(uint64_t now);

// Where a run ends: after a number of frames, at a tick, or both; 0 for no limit.
struct RunLimits {
    uint64_t frames = 0;
    uint64_t end_tick = 0;
};

// The limits of a run that starts at tick `now`.
RunLimits run_limits(uint64_t frame_limit, double duration_s, uint64_t now);

// Whether the run is over after `frames` frames at tick `now`.
bool run_over(const RunLimits &limits, uint64_t frames, uint64_t now);

// The tick at which the loop next has something to do after `frames`
// frames: the next redisplay or the end of the run, whichever comes first;
// 0 once the frame limit is reached.
uint64_t next_event_tick(const RunLimits &limits, uint64_t frames);

// Microseconds the hybrid pace may sleep at tick `now` and still wake
// `margin_us` before tick `wake`; 0 when it must poll.
uint64_t sleep_budget(uint64_t now, uint64_t wake, uint64_t margin_us);
