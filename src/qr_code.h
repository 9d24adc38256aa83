// The frame's tick and number as a QR code, for a camera to read (--qr).
#pragma once

#include <cstdint>

// Draws the code of `tick` and `frame` in the top-right corner of a window
// `width` by `height` pixels, after the tick text has been drawn.
void draw_tick_qr(uint64_t tick, uint64_t frame, int width, int height);
