// What the display did, learnt from the X server's Present extension on a
// connection of its own: the vblank clock, the phase of the swaps against
// it, and the presents completed on the window.
#pragma once

#include <cstdint>

#include "figures.h"

// Starts watching `window` on the X server named `display_name`. Without
// the Present extension, or without the server, nothing is learnt and the
// run goes on.
void watch_display(const char *display_name, uint32_t window);

// Whether presents may still be reported: the watch has a connection.
bool watching_presents();

// Takes in what the server has reported so far.
void watch_events();

// Takes in what the server has reported since the last frame, and the phase
// of this frame's swap end (a CLOCK_MONOTONIC time) when it is measured.
void watch_frame(uint64_t swap_end_mono_us, bool measured);

// The display's figures, given the measured frames and the requested interval.
DisplayFigures display_figures(const FrameFigures &frames, int32_t requested_us);
