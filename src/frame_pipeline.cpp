#include "frame_pipeline.h"

#include <algorithm>

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

FramePipeline::FramePipeline(WindowSystem &ws, const Settings &settings)
    : ws_(ws), settings_(settings), watch_(ws.identity())
{
    // One stopwatch for the process, however many pipelines it makes.
    if (!timer)
        sdkCreateTimer(&timer);
}

void FramePipeline::start(uint64_t now)
{
    limits_ = run_limits(settings_.frame_limit, settings_.duration_limit, now);
}

// Sleeps on the window system's connection until shortly before the next
// event or the records' next deadline, then polls the clock up to it.
// Events or a signal cut the sleep short, so that they are handled at once.
void FramePipeline::wait_for_next_event()
{
    uint64_t wake = std::min(next_event_tick(limits_, totalcount), record_deadline());
    uint64_t now = getsystemtick();
    if (uint64_t budget = sleep_budget(now, wake, hybrid_margin_us)) {
        ws_.wait(budget, &stop_signal);
        now = getsystemtick();
        if (sleep_budget(now, wake, hybrid_margin_us))
            return;
    }
    while (now < wake && !stop_signal)
        now = getsystemtick();
}

// With the busy pace, the window system calls this whenever it has no
// events, so pacing is as fine as the clock and costs one core.
void FramePipeline::idle()
{
    if (settings_.pace == Pace::hybrid)
        wait_for_next_event();
    uint64_t now = getsystemtick();
    if (now >= record_deadline()) {
        ws_.poll_presentation(*this);
        record_catch_up(now);
        watch_stdout_reader();
    }
    if (stop_signal || run_over(limits_, totalcount, now))
        ws_.leave();
    else if (redisplay_due(now))
        ws_.redisplay();
}

static void computeFPS(WindowSystem &ws)
{
    if (fps_frame(getsystemtick(), sdkGetAverageTimerValue(&timer)))
        ws.set_title(fps);
    sdkResetTimer(&timer);
}

void FramePipeline::display()
{
    sdkStartTimer(&timer);
    uint64_t start = getsystemtick();
    begin_frame(start);
    int width, height;
    ws_.size(width, height);
    draw_tick_text(width, height);
    if (settings_.qr)
        draw_tick_qr(start, totalcount + 1, width, height);
    ws_.swap();
    uint64_t swap_end = getsystemtick();
    Frame frame = make_frame(totalcount + 1, start, swap_end, monotonic_us(), previous_swap_end_);
    previous_swap_end_ = swap_end;

    end_frame(frame, interval);
    watch_stdout();
    sdkStopTimer(&timer);
    computeFPS(ws_);
    record_frame(frame, ws_.presents_may_come());
    ws_.poll_presentation(*this);
    watch_.frame(frame);
}

void FramePipeline::vblank(uint64_t msc, uint64_t ust)
{
    watch_.vblank(msc, ust);
}

void FramePipeline::presented(const Presentation &p)
{
    watch_.presented(record_present(p), p);
}

DisplayFigures FramePipeline::final_figures()
{
    ws_.poll_presentation(*this);
    return watch_.figures(frame_figures(), interval);
}
