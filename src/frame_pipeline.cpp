#include "frame_pipeline.h"

#include <algorithm>
#include <cstdio>

#include "clock.h"
#include "fps_title.h"
#include "frame_stats.h"
#include "qr_code.h"
#include "record.h"
#include "run_end.h"
#include "stopwatch.h"
#include "text_renderer.h"

// Times every display cycle for the title's Elapsed figure.
static StopWatchInterface *timer = nullptr;

// The hybrid pace wakes this long before a frame is due and polls the clock
// for the rest. Measured on a loaded two-core machine: a sleep wakes up to
// about this late at p99; a longer margin spins long enough to take the
// cores from the X server and the driver's threads, and frames come later.
static const uint64_t hybrid_margin_us = 300;

// Work that can wait a frame starts no later than this before the next one,
// or else after it: the records' catch-up takes tens of microseconds here and
// may take far longer on a slow disk; a press, two round trips to the X
// server and a few XTest requests, is quicker and kept close to its random phase.
static const uint64_t records_guard_us = 2000;
static const uint64_t press_guard_us = 1000;

// How long a run without limits of its own waits for its last press to be answered.
static const uint64_t press_wait_us = 1000000;

FramePipeline::FramePipeline(WindowSystem &ws, const Settings &settings)
    : ws_(ws), settings_(settings), watch_(ws.identity()), input_(settings.input, settings.inject > 0),
      presses_left_(settings.inject)
{
    // One stopwatch for the process, however many pipelines it makes.
    if (!timer)
        sdkCreateTimer(&timer);
}

void FramePipeline::start(uint64_t now)
{
    limits_ = run_limits(settings_.frame_limit, settings_.duration_limit, now);
}

// Presses are still to be sent, or the last one's answer is still awaited.
bool FramePipeline::injecting(uint64_t now) const
{
    return presses_left_ || (settings_.inject && input_.waiting() && now < last_press_ + press_wait_us);
}

// The run's limits hold whatever presses remain; a run with presses to
// inject and no limits of its own ends with its last press.
bool FramePipeline::run_ends(uint64_t now) const
{
    bool unlimited = !limits_.frames && !limits_.end_tick;
    return run_over(limits_, totalcount, now) || (settings_.inject && unlimited && !injecting(now));
}

// When the next press is due after tick `tick`, at a random phase of the frames.
uint64_t FramePipeline::press_after(uint64_t tick)
{
    return next_press_tick(tick, press_period_us(interval), std::uniform_real_distribution<double>()(phase_));
}

void FramePipeline::inject(uint64_t now)
{
    if (!next_press_ || now < next_press_)
        return;
    uint64_t stamp = ws_.inject_press(next_key_);
    if (stamp == press_held) {
        if (!holding_)
            input_.held();
        holding_ = true;
        next_press_ = now + press_period_us(interval);  // asked again a frame or so later
        return;
    }
    if (!stamp) {
        fprintf(stderr, "quorvel: --inject: the window system cannot send key presses\n");
        presses_left_ = 0;
        return;
    }
    input_.injected(stamp, next_key_);
    next_key_ = (next_key_ + 1) % press_keys;
    holding_ = false;
    last_press_ = stamp;
    next_press_ = --presses_left_ ? press_after(stamp) : 0;
}

// Sleeps on the window system's connection until shortly before the next
// event, or the records' deadline or the next press where they leave the
// next frame alone, then polls the clock up to it. Events or a signal cut
// the sleep short, so that they are handled at once.
void FramePipeline::wait_for_next_event()
{
    uint64_t now = getsystemtick();
    uint64_t frame_due = next_frame_tick(limits_, totalcount);
    uint64_t wake = wake_tick(now, next_event_tick(limits_, totalcount), frame_due, record_deadline(), records_guard_us);
    if (next_press_)
        wake = wake_tick(now, wake, frame_due, next_press_, press_guard_us);
    if (uint64_t budget = sleep_budget(now, wake, hybrid_margin_us)) {
        ws_.wait(budget, &stop_signal);
        now = getsystemtick();
        if (sleep_budget(now, wake, hybrid_margin_us))
            return;
    }
    while (now < wake && !stop_signal)
        now = getsystemtick();
}

// The work that can wait a frame, each part where it fits before the next one.
void FramePipeline::side_work(uint64_t now)
{
    uint64_t frame_due = next_frame_tick(limits_, totalcount);
    if (now >= record_deadline() && side_work_fits(now, frame_due, records_guard_us)) {
        ws_.poll_presentation(*this);
        record_catch_up(now);
        watch_stdout_reader();
    }
    if (side_work_fits(now, frame_due, press_guard_us))
        inject(now);
}

// With the busy pace, the window system calls this whenever it has no
// events, so pacing is as fine as the clock and costs one core. A paced
// frame that is due goes before any work that can wait; at interval 0 no
// frame has a due time, and that work goes between them.
void FramePipeline::idle()
{
    if (settings_.pace == Pace::hybrid)
        wait_for_next_event();
    uint64_t now = getsystemtick();
    if (stop_signal || run_ends(now)) {
        ws_.leave();
        return;
    }
    if (redisplay_due(now)) {
        ws_.redisplay();
        if (interval)
            return;
    }
    side_work(now);
}

static void computeFPS(WindowSystem &ws)
{
    if (fps_frame(getsystemtick(), sdkGetAverageTimerValue(&timer)))
        ws.set_title(fps);
    sdkResetTimer(&timer);
}

void FramePipeline::display()
{
    // A window system may ask for a frame of its own, as a configure does, after the last one.
    uint64_t start = getsystemtick();
    if (run_over(limits_, totalcount, start)) {
        ws_.leave();
        return;
    }
    sdkStartTimer(&timer);
    uint64_t answered = input_.answer(totalcount + 1, start);
    begin_frame(start);
    int width, height;
    ws_.size(width, height);
    draw_tick_text(width, height);
    if (answered)
        draw_input_marker(width, height);
    if (settings_.qr)
        draw_tick_qr(start, totalcount + 1, width, height);
    ws_.swap();
    uint64_t swap_end = getsystemtick();
    Frame frame = make_frame(totalcount + 1, start, swap_end, monotonic_us(), previous_swap_end_);
    frame.input_us = answered;
    input_.swapped(swap_end, frame.swap_end_mono_us);
    previous_swap_end_ = swap_end;
    // The presses begin once the warm-up is over, at a random phase.
    if (presses_left_ && frame.number == warmup_frames + 1)
        next_press_ = press_after(swap_end);

    end_frame(frame, interval);
    watch_stdout();
    sdkStopTimer(&timer);
    computeFPS(ws_);
    record_frame(frame, ws_.presents_may_come());
    ws_.poll_presentation(*this);
    watch_.frame(frame);
    // Right after a frame the next one is furthest away.
    side_work(getsystemtick());
}

void FramePipeline::vblank(uint64_t msc, uint64_t ust)
{
    watch_.vblank(msc, ust);
}

void FramePipeline::input(int key)
{
    input_.arrived(getsystemtick(), key);
}

void FramePipeline::presented(const Presentation &p)
{
    watch_.presented(record_present(p), p);
    if (p.mode != mode_skip)
        input_.presented(p.frame, p.ust_mono);
}

DisplayFigures FramePipeline::final_figures()
{
    ws_.poll_presentation(*this);
    DisplayFigures d = watch_.figures(frame_figures(), interval);
    // What may change during the run, as it was at the end.
    DisplayIdentity now = ws_.identity();
    d.identity.buffer_scale = now.buffer_scale;
    d.identity.tearing_hint = now.tearing_hint;
    return d;
}
