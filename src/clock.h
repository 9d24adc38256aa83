// The program's two clocks, in microseconds.
#pragma once

#include <cstdint>

// The raw monotonic clock, which NTP never slews: the tick on the screen.
uint64_t getsystemtick();

// CLOCK_MONOTONIC, the clock of the X server's presentation times.
uint64_t monotonic_us();
