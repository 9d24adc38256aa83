// The program's two clocks, in microseconds.
#pragma once

#include <cstdint>
#include <ctime>

// The raw monotonic clock, which NTP never slews: the tick on the screen.
uint64_t getsystemtick();

// CLOCK_MONOTONIC, the clock of the X server's presentation times.
uint64_t monotonic_us();

// Any clock_gettime clock, such as a compositor's presentation clock.
uint64_t clock_us(clockid_t clock);
