#include "clock.h"

#include <ctime>

static uint64_t micros(clockid_t clock)
{
    struct timespec ts;
    clock_gettime(clock, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000 + static_cast<uint64_t>(ts.tv_nsec) / 1000;
}

uint64_t getsystemtick()
{
    return micros(CLOCK_MONOTONIC_RAW);
}

uint64_t monotonic_us()
{
    return micros(CLOCK_MONOTONIC);
}
