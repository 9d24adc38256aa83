#include "pacing.h"

#include <algorithm>

#include "options.h"

uint64_t ticks1 = 0;
uint64_t ticks2 = 0;
uint64_t end_tick = 0;

bool redisplay_due(uint64_t now)
{
    ticks1 = now;
    if (ticks2 + static_cast<uint64_t>(static_cast<int64_t>(interval)) > ticks1)
        return false;
    ticks2 = ticks1;
    return true;
}

void start_run(uint64_t now)
{
    // Capped at about 146000 years, so that the sum cannot wrap.
    double micros = std::min(duration_limit * 1e6, 4.6e15);
    end_tick = duration_limit > 0 ? now + static_cast<uint64_t>(micros) : 0;
}

bool run_over(uint64_t frames, uint64_t now)
{
    return (frame_limit && frames >= frame_limit) || (end_tick && now >= end_tick);
}

uint64_t next_event_tick(uint64_t frames)
{
    if (frame_limit && frames >= frame_limit)
        return 0;
    uint64_t due = ticks2 + static_cast<uint64_t>(static_cast<int64_t>(interval));
    return end_tick ? std::min(due, end_tick) : due;
}

uint64_t sleep_budget(uint64_t now, uint64_t wake, uint64_t margin_us)
{
    return wake > now + margin_us ? wake - now - margin_us : 0;
}
