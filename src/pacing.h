// The pacing decision of the idle callback, fed with ticks so it can be tested.
#pragma once

#include <cstdint>

extern uint64_t ticks1;  // tick of the latest idle pass
extern uint64_t ticks2;  // tick of the latest redisplay request

// Records the tick `now` and tells whether a redisplay is due: at least
// `interval` microseconds since the previous request.
bool redisplay_due(uint64_t now);
