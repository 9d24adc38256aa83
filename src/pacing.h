// The pacing decisions of the idle callback, fed with ticks so they can be tested.
#pragma once

#include <cstdint>

extern uint64_t ticks1;    // tick of the latest idle pass
extern uint64_t ticks2;    // tick of the latest redisplay request
extern uint64_t end_tick;  // tick at which --duration ends the run; 0 for none

// Records the tick `now` and tells whether a redisplay is due: at least
// `interval` microseconds since the previous request.
bool redisplay_due(uint64_t now);

// Starts the run's clock at tick `now`, for --duration.
void start_run(uint64_t now);

// Whether the run is over after `frames` frames at tick `now`.
bool run_over(uint64_t frames, uint64_t now);

// The tick at which the idle callback next has something to do after
// `frames` frames: the next redisplay or the end of the run, whichever comes
// first; 0 once the frame limit is reached.
uint64_t next_event_tick(uint64_t frames);

// Microseconds the hybrid pace may sleep at tick `now` and still wake
// `margin_us` before tick `wake`; 0 when it must poll.
uint64_t sleep_budget(uint64_t now, uint64_t wake, uint64_t margin_us);
