#include "pacing.h"

#include "options.h"

uint64_t ticks1 = 0;
uint64_t ticks2 = 0;

bool redisplay_due(uint64_t now)
{
    ticks1 = now;
    if (ticks2 + static_cast<uint64_t>(static_cast<int64_t>(interval)) > ticks1)
        return false;
    ticks2 = ticks1;
    return true;
}
