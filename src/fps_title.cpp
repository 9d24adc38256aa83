#include "fps_title.h"

#include <cstdio>

#include "options.h"

int fpsCount = 0;
uint64_t fpstick = 0;
char fps[256] = "";

void format_title(char *buf, size_t size, int vsync, int32_t interval_us, int frames,
                  float elapsed_ms)
{
    snprintf(buf, size,
             "High Resolution Timer(VSYNC:%s, Interval(\u03bcs):%d, FPS:%03d, Elapsed(ms):%2.3f)",
             vsync ? "On" : "Off", interval_us, frames, static_cast<double>(elapsed_ms));
}

bool fps_frame(uint64_t now, float elapsed_ms)
{
    ++fpsCount;
    if (now <= fpstick + 1000000)
        return false;
    format_title(fps, sizeof fps, vsync_on, interval, fpsCount, elapsed_ms);
    fpsCount = 0;
    fpstick = now;
    return true;
}
