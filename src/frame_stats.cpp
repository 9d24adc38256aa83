#include "frame_stats.h"

#include <cstdio>

uint64_t ticks3 = 0;
char system_time[128] = "";
uint64_t totalcount = 0;
uint64_t curtick = 0;
uint64_t pretick = 0;
// The minima start above any possible sample, so the first sample is always
// the minimum (a smaller start would report minima that were never measured).
uint64_t deltaTick = 0, deltaMin = UINT64_MAX, deltaMax = 0, deltaCount = 0;
uint64_t curElapsed = 0, minElapsed = UINT64_MAX, maxElapsed = 0, elapsedCount = 0;
static FrameFigures figures;

void begin_frame(uint64_t now)
{
    ticks3 = now;
    snprintf(system_time, sizeof system_time, "%ld", static_cast<long>(ticks3));
}

// Folds one sample into its minimum and maximum; true when the maximum rose.
static bool track(uint64_t sample, uint64_t &min, uint64_t &max, uint64_t &count)
{
    if (min > sample)
        min = sample;
    if (max >= sample)
        return false;
    max = sample;
    ++count;
    return true;
}

static void measure(const Frame &frame, int32_t requested_us)
{
    deltaTick = frame.interval_us;
    if (track(deltaTick, deltaMin, deltaMax, deltaCount))
        printf("deltaTick:%ld deltaMin:%ld deltaMax:%ld deltaCount:%ld\n",
               static_cast<long>(deltaTick), static_cast<long>(deltaMin),
               static_cast<long>(deltaMax), static_cast<long>(deltaCount));
    curElapsed = frame.duration_us;
    if (track(curElapsed, minElapsed, maxElapsed, elapsedCount))
        printf("curElapsed:%ld minElapsed:%ld maxElapsed:%ld elapsedCount:%ld\n",
               static_cast<long>(curElapsed), static_cast<long>(minElapsed),
               static_cast<long>(maxElapsed), static_cast<long>(elapsedCount));
    add_frame(figures, requested_us, frame);
}

void end_frame(const Frame &frame, int32_t requested_us)
{
    ++totalcount;
    if (totalcount <= warmup_frames)
        return;
    curtick = frame.swap_end_us;
    if (pretick != 0)
        measure(frame, requested_us);
    pretick = curtick;
}

const FrameFigures &frame_figures()
{
    return figures;
}
