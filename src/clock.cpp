#include "clock.h"

#include <ctime>

uint64_t clock_us(clockid_t clock)
{
    struct timespec ts;
    clock_gettime(clock, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000 + static_cast<uint64_t>(ts.tv_nsec) / 1000;
}

uint64_t getsystemtick()
{
    return clock_us(CLOCK_MONOTONIC_RAW);
}

uint64_t monotonic_us()
{
    return clock_us(CLOCK_MONOTONIC);
}
