// One frame's facts, read once and passed by value to every part that
// reports on it: the statistics lines, the title, the display watch and the
// ledger, which keeps it with its present until the log takes it.
#pragma once

#include <cstdint>
#include <optional>

#include "accounts.h"
#include "presentation.h"

// Frames up to this count are not measured: they carry the window mapping,
// the driver's first shader compiles and cold caches, whose one-off delays
// would set maxima that no later frame could reach. The frame after them is
// the reference the first interval is measured from.
constexpr uint64_t warmup_frames = 20;

struct Frame {
    uint64_t number = 0;            // from 1
    uint64_t id = 0;                // what the window system's swap returned: its presents carry it
    uint64_t start_us = 0;          // raw tick at the start: the number on the screen
    uint64_t swap_end_us = 0;       // raw tick at the end of the buffer swap
    uint64_t swap_end_mono_us = 0;  // the same moment on the presentation clock, CLOCK_MONOTONIC
    uint64_t interval_us = 0;       // swap end since the previous frame's; 0 for the first frame
    uint64_t duration_us = 0;       // start to swap end
    bool measured = false;          // past the warm-up and the reference frame
    uint64_t input_us = 0;          // raw stamp of the earliest press the frame answers; 0 for none
    // Why the frame may have started late: how long it waited for the window
    // system to release it, and how late the loop noticed it was due beyond
    // its due tick and the end of the frame before (the machine's stall).
    uint64_t held_us = 0, woke_late_us = 0;
    // What the kernel saw the main thread do meanwhile, where it keeps accounts.
    std::optional<FrameAccounts> accounts = std::nullopt;
};

// The frame numbered `number` from its three clock readings, after a frame
// whose swap ended at `previous_swap_end_us` (unused for the first frame).
Frame make_frame(uint64_t number, uint64_t start_us, uint64_t swap_end_us, uint64_t swap_end_mono_us,
                 uint64_t previous_swap_end_us);

// A raw tick taken during frame `f`, such as its start, on CLOCK_MONOTONIC:
// the two clocks differ by an offset that barely moves within a frame, and
// the frame's swap end was read on both.
inline uint64_t monotonic_at(const Frame &f, uint64_t raw_us)
{
    return raw_us + (f.swap_end_mono_us - f.swap_end_us);
}

// A frame with what the display said of it: its present, where one came,
// and the animation error between it and the frame shown before it.
struct FrameRecord {
    Frame frame;
    std::optional<Presentation> present;
    std::optional<int64_t> animation_error_us;
};
