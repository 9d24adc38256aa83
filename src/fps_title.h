// The frame-rate report in the window title, fed with ticks so it can be tested.
#pragma once

#include <cstddef>
#include <cstdint>

extern int fpsCount;     // frames since the last title update, the current one included
extern uint64_t fpstick; // tick of the last title update
extern char fps[256];    // the latest title

// Formats the title for a vsync state, an interval in microseconds, a frame
// count and a frame duration in milliseconds.
void format_title(char *buf, size_t size, int vsync, int32_t interval_us, int frames,
                  float elapsed_ms);

// Counts a frame that ended at tick `now` and took `elapsed_ms`. When more
// than a second has passed since the last update, formats a new title into
// fps, restarts the count and returns true.
bool fps_frame(uint64_t now, float elapsed_ms);
