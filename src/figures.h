// The figures of a whole run, from its frames, its display and its CPU time,
// and the two ways they are given: plain summary lines and a JSON report.
#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <string>

#include "histogram.h"
#include "input.h"

// The frames past the warm-up: the same ones the statistics lines measure.
struct FrameFigures {
    Histogram interval, duration;  // μs, swap end to swap end, and start to swap end
    uint64_t late = 0;             // intervals above 1.5 times the requested one
};

enum PresentMode { mode_copy, mode_flip, mode_skip, mode_suboptimal_copy, mode_count };

// What a compositor says of a presentation, with the values of Wayland's
// presentation-time protocol.
enum PresentFlag : unsigned { flag_vsync = 1, flag_hw_clock = 2, flag_hw_completion = 4, flag_zero_copy = 8 };

// One present of the window, as the display reported it.
struct Presentation {
    uint64_t ust = 0;         // μs on the display's presentation clock
    uint64_t ust_mono = 0;    // the same moment on CLOCK_MONOTONIC
    uint64_t msc = 0;         // the vblank count; 0 where the display counts none
    PresentMode mode = mode_copy;
    unsigned flags = 0;       // PresentFlag bits
    uint64_t refresh_ns = 0;  // the refresh period the compositor gave; 0 for none
    uint64_t frame = 0;       // the frame presented, or its low 32 bits (X's serial); 0 for none
};

// What is known of the display before any frame.
struct DisplayIdentity {
    std::string window_system = "x11";  // x11, xwayland or wayland
    std::string clock_name = "Present vblank clock";
    std::string presentation_clock;     // the clock of the presentation times, where announced
    bool compositor_feedback = false;   // each frame gets its own feedback
    int hardware_clock = -1;            // -1 unknown until feedback says, 0 no, 1 yes
};

struct DisplayFigures {
    DisplayIdentity identity;
    double refresh_hz = 0;          // 0 when no vblank clock was seen
    std::string refresh_source = "none";
    bool swap_control = false;
    std::string vsync = "unknown";  // locked, not locked or unknown
    uint64_t presents[mode_count] = {};
    uint64_t missed_vblanks = 0;
    Histogram latency;              // μs, frame start to present
};

struct RunFigures {
    int32_t interval_us = 0;
    bool vsync_requested = false;
    std::string pace;
    FrameFigures frames;
    DisplayFigures display;
    InputFigures input;
    std::string gl_renderer, gl_vendor, gl_version;
    double cpu_main_thread_s = 0, cpu_process_s = 0;
};

// Folds in one measured frame.
void add_frame(FrameFigures &f, int32_t requested_us, uint64_t interval_us, uint64_t duration_us);

// "vsync|hw_clock" and so on; empty for none.
std::string flags_text(unsigned flags);

// Folds in a present that came `missed` vblanks late; a latency below 0 is unknown.
void add_present(DisplayFigures &d, PresentMode mode, uint64_t missed, int64_t latency_us);

double fps_mean(const FrameFigures &f);  // 0 with no measured frame
// The frame rate that 1% (0.1%) of the intervals fall below: 1 s over p99 (p99.9).
double fps_low(const Histogram &interval, double percent);
uint64_t present_count(const DisplayFigures &d);
const char *mode_name(PresentMode m);

std::string summary_text(const RunFigures &r);
nlohmann::json report_json(const RunFigures &r);
