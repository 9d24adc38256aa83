// The figures of a whole run, from its frames, its display, its presses
// and its CPU time, as they are measured; figure_list.cpp gives each one
// its place in the summary and the report.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "accounts.h"
#include "figure_model.h"
#include "histogram.h"
#include "input.h"
#include "presentation.h"
#include "window_system.h"

// Where the late frames' lateness went: of each late interval's excess over
// the requested one, first what the window system held the frame back, then
// how late the loop woke for it, and the rest drawn long (this frame's or the
// frame before's own length). μs.
struct LateCauses {
    uint64_t held = 0, woke_late = 0, drawn_long = 0;
};

// Stutters as CapFrameX counts them: an interval longer than 2.5 times the
// mean of the intervals before it, as many as round(10 * sqrt(the mean
// interval in ms)), the mean being that of the run so far. The last 1024
// intervals are kept, so memory does not grow with the run.
class StutterCount {
public:
    static constexpr size_t kept = 1024;
    void add(uint64_t interval_us);
    uint64_t count() const { return count_; }
    // How many intervals before each one its mean is taken over, now.
    size_t window() const;

private:
    uint64_t ring_[kept] = {};
    uint64_t n_ = 0, sum_ = 0, count_ = 0;
};

// Sums of frames' accounts (frame.h), μs.
struct AccountSums {
    uint64_t on_cpu = 0, run_queue = 0, blocked = 0, woke_queued = 0;
    void add(const FrameAccounts &a);
};

// The frames past the warm-up: the same ones the statistics lines measure.
struct FrameFigures {
    Histogram interval, duration;  // μs, swap end to swap end, and start to swap end
    uint64_t late = 0;             // intervals above 1.5 times the requested one
    uint64_t held_us = 0, woke_late_us = 0;  // over every measured frame
    LateCauses late_causes;
    StutterCount stutters;
    // The kernel's accounts of every measured frame and of the late ones;
    // `accounted` where it kept them.
    bool accounted = false;
    AccountSums accounts, late_accounts;
};

// Where the count of missed vblanks comes from, or why there is none.
enum class MissedFrom {
    vblank_clock,             // the X server's vblank clock, or no clock at all
    sequence,                 // a compositor's seq that counts refresh cycles
    times_seq_not_refreshes,  // the times, as the seq counts something else
    times_no_seq,             // the times, as the compositor sends no seq
    times_short_run,          // the times, as the run was too short to check the seq
    variable_refresh,         // not measured: no period to count cycles with
    unknown_refresh,          // not measured: the compositor gave no period
};

// Where the refresh rate comes from.
enum class RefreshFrom { none, feedback, output_mode };

struct DisplayFigures {
    DisplayDescription system;      // what the window system is, can give, and the summary's words for it
    double refresh_hz = 0;          // 0 when no vblank clock was seen
    RefreshFrom refresh_from = RefreshFrom::none;
    std::string vsync = "unknown";  // locked, not locked or unknown
    uint64_t presents[mode_count] = {};
    uint64_t missed_vblanks = 0;
    MissedFrom missed_from = MissedFrom::vblank_clock;
    Histogram latency;              // μs, frame start to present
    // Where the sequence is meant to count refresh cycles: whether it did
    // (1), did not (0, and missed cycles come from the times), or is not sent (-1).
    int sequence_counted_refreshes = -1;
    bool refresh_variable = false;  // the compositor gave a refresh of 0: a variable rate
    int hardware_clock = -1;        // the presentation clock was a hardware one: -1 unknown, 0 no, 1 yes
    // |start step - present step| between frames shown one after the other, μs.
    Histogram animation_error;
    WindowResults window;
};

struct RunFigures {
    int32_t interval_us = 0;
    bool vsync_requested = false;
    std::string pace;
    // The hybrid pace's margin where it settled and the overshoots of its
    // sleeps, μs; `hybrid` is false for the busy pace, which never sleeps.
    struct {
        bool hybrid = false;
        uint64_t margin_us = 0;
        Histogram overshoot;
    } sleeps;
    FrameFigures frames;
    DisplayFigures display;
    InputFigures input;
    std::string gl_renderer, gl_vendor, gl_version;
    double cpu_main_thread_s = 0, cpu_process_s = 0;
    std::optional<uint64_t> stolen_us;  // the host's steal of all CPUs over the run, where the kernel reports it
    nlohmann::json fingerprint;  // null for none
};

struct Frame;
// Folds in one measured frame, with what held it back, how late the loop
// woke for it and the kernel's accounts of it.
void add_frame(FrameFigures &f, int32_t requested_us, const Frame &frame);

// Folds in a present; a latency below 0 is unknown.
void add_present(DisplayFigures &d, PresentMode mode, int64_t latency_us);

double fps_mean(const FrameFigures &f);  // 0 with no measured frame
// The frame rate that 1% (0.1%) of the intervals fall below: 1 s over p99 (p99.9).
double fps_low(const Histogram &interval, double percent);
uint64_t present_count(const DisplayFigures &d);

// Every figure of the run, once, in the summary's order; the summary and the
// report are rendered from it (figure_model.h).
FigureList figure_list(const RunFigures &r);
