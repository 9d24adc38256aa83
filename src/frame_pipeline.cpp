// The frame pipeline: the loop's pass and the frame it asks for, the hybrid
// pace's sleep, the work that can wait a frame and where it goes so that no
// frame is late for it, and the presses injected at a random phase. The
// frame's own road (draw, swap, statistics, title, log, display watch) is
// draw_frame, in that order.
#include "frame_pipeline.h"

#include <algorithm>
#include <cstdio>
#include <utility>

#include "clock.h"
#include "fps_title.h"
#include "frame_stats.h"
#include "qr_code.h"
#include "run_end.h"
#include "stop.h"
#include "stopwatch.h"
#include "text_renderer.h"

// Times every display cycle for the title's Elapsed figure.
static StopWatchInterface *timer = nullptr;

// Work that can wait a frame starts no later than this before the next one,
// or else after it: the records' catch-up takes tens of microseconds here and
// may take far longer on a slow disk; a press, two round trips to the X
// server and a few XTest requests, is quicker and kept close to its random phase.
static const uint64_t records_guard_us = 2000;
static const uint64_t press_guard_us = 1000;

// How long a run without limits of its own waits for its last press to be answered.
static const uint64_t press_wait_us = 1000000;

FramePipeline::FramePipeline(Backend &backend, const Settings &settings, FrameLog &log)
    : backend_(backend), settings_(settings), system_(backend.describe()), watch_(system_), log_(log),
      margin_(static_cast<uint64_t>(static_cast<int64_t>(interval))), input_(settings.input, settings.inject > 0),
      presses_left_(settings.inject)
{
    // One stopwatch for the process, however many pipelines it makes.
    if (!timer)
        sdkCreateTimer(&timer);
}

bool FramePipeline::run(uint64_t now, const std::function<bool()> &finish)
{
    limits_ = run_limits(settings_.frame_limit, settings_.duration_limit, now);
    finish_ = finish;
    steal_at_start_ = read_steal_us();
    if (!backend_.run(*this))
        for (Next next = pass(); next != Next::end; next = pass())
            if (next == Next::draw)
                display();
    end(true);
    return ended_well_;
}

// Once: the records are finished while the window system still holds the
// window and its context.
Next FramePipeline::end(bool connected)
{
    if (!ended_) {
        ended_ = true;
        ended_well_ = finish_() && connected;
    }
    return Next::end;
}

// A pass, top to bottom: what the window system says, whether the run is
// over, whether a frame is due and may be drawn, and the work that can wait.
// A paced request and the window system's own (an expose, a configure) are
// one latch: a frame asked for is drawn once, as soon as the window system
// has released the frames before it.
Next FramePipeline::pass()
{
    if (ended_)
        return Next::end;
    Events events = wait_for_events();
    for (const Press &p : events.presses)
        input_.arrived(p.stamp, p.key);
    if (events.closed || events.lost)
        return end(!events.lost);
    uint64_t now = getsystemtick();
    if (stop_signal || run_ends(now))
        return end(true);
    // The first request, and any at interval 0, had no due tick to be late for.
    uint64_t due_at = interval && ticks2 ? next_frame_tick(limits_, totalcount) : 0;
    bool due = redisplay_due(now);
    if (due && !redraw_) {
        late_ = woke_late(now, due_at, free_since_);
        found_due_ = accounts_.read();
    }
    redraw_ = redraw_ || due || events.redraw;
    if (redraw_ && released()) {
        held_ = held_since_ ? now - held_since_ : 0;
        return Next::draw;
    }
    if (redraw_ && !held_since_)
        held_since_ = now;
    side_work(now, false);
    return Next::pass;
}

// A window system may ask for a frame of its own, as an expose does, after
// the last one; the run's end stands.
void FramePipeline::display()
{
    if (ended_ || stop_signal || run_ends(getsystemtick()))
        return;
    redraw_ = false;
    draw_frame();
    // Right after a frame the next one is furthest away.
    side_work(getsystemtick(), true);
    free_since_ = getsystemtick();
    // The next frame's late wake-up is counted from here, and so is its wait for a CPU.
    previous_end_ = accounts_.read();
}

// Where the window system holds frames back, no more than its limit are out.
bool FramePipeline::released()
{
    return !system_.can.in_flight_limit || backend_.in_flight() < system_.can.in_flight_limit;
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

void FramePipeline::inject(uint64_t now)
{
    uint64_t stamp = backend_.inject_press(next_key_);
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
    next_press_ = --presses_left_ ? presses_.after(stamp, press_period_us(interval)) : 0;
}

// The tick the hybrid pace wakes at: shortly before the next frame or the
// run's end, or earlier for the records' deadline or the next press where
// they leave the next frame alone. A frame `held` by the window system comes
// with its release, which wakes the sleep; only the end and the work that
// can wait have ticks then.
uint64_t FramePipeline::wake_tick_now(uint64_t now, bool held) const
{
    uint64_t frame_due = held ? 0 : next_frame_tick(limits_, totalcount);
    uint64_t event = held ? (limits_.end_tick ? limits_.end_tick : UINT64_MAX) : next_event_tick(limits_, totalcount);
    uint64_t wake = wake_tick(now, event, frame_due, records_due(), records_guard_us);
    if (next_press_)
        wake = wake_tick(now, wake, frame_due, next_press_, press_guard_us);
    return wake;
}

// The busy pace takes what has come and goes on at once, so pacing is as
// fine as the clock and costs one core. The hybrid pace sleeps on the window
// system's connection until its learnt margin before its wake-up, then polls
// the clock up to it, in the next pass: what came during the sleep is taken
// in first (GLUT takes X events between passes), so that the frame does not
// wait for it once due. Events or a stop signal cut the sleep short, so that
// they are handled at once.
Events FramePipeline::wait_for_events()
{
    if (settings_.pace != Pace::hybrid)
        return backend_.pump(0, &stop_signal);
    uint64_t now = getsystemtick();
    bool held = redraw_ && !released();
    uint64_t wake = wake_tick_now(now, held);
    // A held frame keeps no tick, so nothing needs the margin's precision.
    uint64_t margin = held ? 0 : margin_.margin_us();
    uint64_t budget = sleep_budget(now, wake, margin);
    Events events = backend_.pump(budget, &stop_signal);
    uint64_t woke = getsystemtick();
    if (budget && !held)
        margin_.slept(now + budget, woke);
    now = woke;
    if (held || budget)
        return events;
    while (now < wake && !stop_signal)
        now = getsystemtick();
    return events;
}

// The work that can wait a frame, each part where it fits before the next
// one, or once it has waited too many frames. A frame the window system holds has no tick to keep: its release
// cannot be foreseen, and the work is never put off for it.
void FramePipeline::side_work(uint64_t now, bool after_frame)
{
    uint64_t frame_due = redraw_ ? 0 : next_frame_tick(limits_, totalcount);
    if (now >= records_due() && records_work_.may_start(now, frame_due, records_guard_us, after_frame)) {
        last_catch_up_ = now;
        take_presents(now);
        if (log_.flush_due() <= now)
            log_.flush();
        watch_stdout_reader();
    }
    if (next_press_ && now >= next_press_ && press_work_.may_start(now, frame_due, press_guard_us, after_frame))
        inject(now);
}

// The tick by which the records have work to do: a frame whose present is
// overdue, rows that have waited long enough in the log's buffer, or half a
// second since they were last brought up to date.
uint64_t FramePipeline::records_due() const
{
    return std::min({last_catch_up_ + FrameLedger::wait_us, ledger_.overdue_at(), log_.flush_due()});
}

// Takes the presents that have come, then logs, oldest first, the frames
// settled by tick `now`: those whose present has come, or none can, or that
// have waited long enough (0: none has).
void FramePipeline::take_presents(uint64_t now)
{
    backend_.poll_presentation(*this);
    ledger_.drain(now, [this](const FrameRecord &r) { log_.write(r); });
}

static void computeFPS(Backend &backend)
{
    if (fps_frame(getsystemtick(), sdkGetAverageTimerValue(&timer)))
        backend.set_title(fps);
    sdkResetTimer(&timer);
}

// The kernel's accounts of the frame, from reads that bracket its start and
// swap-end ticks from outside.
void FramePipeline::account(Frame &frame, const ThreadTimes &before_start)
{
    ThreadTimes after_end = accounts_.read();
    // The busy pace spins through a hold, so its waits for a CPU then are
    // preemptions while the window system held the frame, not what kept the
    // loop from the release; the hybrid pace sleeps, and waits only once woken.
    uint64_t held_us = settings_.pace == Pace::hybrid ? frame.held_us : 0;
    if (accounts_.available())
        frame.accounts = split_frame(previous_end_, found_due_.value_or(before_start), before_start, after_end,
                                     frame.duration_us, frame.woke_late_us, held_us);
    found_due_.reset();
}

void FramePipeline::draw_frame()
{
    ThreadTimes before_start = accounts_.read();
    sdkStartTimer(&timer);
    uint64_t start = getsystemtick();
    uint64_t number = totalcount + 1;
    uint64_t answered = input_.answer(start);
    begin_frame(start);
    int width, height;
    backend_.size(width, height);
    draw_tick_text(width, height);
    if (answered)
        draw_input_marker(width, height);
    if (settings_.qr)
        draw_tick_qr(start, number, width, height);
    uint64_t id = backend_.swap();
    uint64_t swap_end = getsystemtick();
    Frame frame = make_frame(number, start, swap_end, monotonic_us(), previous_swap_end_);
    frame.id = id;
    frame.input_us = answered;
    frame.held_us = std::exchange(held_, 0);
    frame.woke_late_us = std::exchange(late_, 0);
    account(frame, before_start);
    held_since_ = 0;
    input_.swapped(frame);
    previous_swap_end_ = swap_end;
    // The presses begin once the warm-up is over, at a random phase.
    if (presses_left_ && frame.number == warmup_frames + 1)
        next_press_ = presses_.after(swap_end, press_period_us(interval));

    end_frame(frame, interval);
    watch_stdout();
    sdkStopTimer(&timer);
    computeFPS(backend_);
    ledger_.add(frame, system_.can.feedback != Feedback::none);
    take_presents(0);
    watch_.frame(frame);
}

void FramePipeline::vblank(uint64_t msc, uint64_t ust)
{
    watch_.vblank(msc, ust);
}

// A present goes to its frame's record, found once, and to the display
// watch with that frame; the log takes the record once it is settled.
void FramePipeline::presented(const Presentation &p)
{
    FrameRecord *record = ledger_.find(p.frame_id);
    std::optional<int64_t> error = watch_.presented(record ? &record->frame : nullptr, p);
    if (record)
        record->present = p, record->animation_error_us = error;
    if (p.mode != mode_skip)
        input_.presented(p.frame_id, p.ust_mono);
}

std::optional<uint64_t> FramePipeline::stolen_us() const
{
    std::optional<uint64_t> now = read_steal_us();
    if (!now || !steal_at_start_)
        return std::nullopt;
    return *now > *steal_at_start_ ? *now - *steal_at_start_ : 0;
}

DisplayFigures FramePipeline::finish()
{
    take_presents(UINT64_MAX);
    DisplayFigures d = watch_.figures(frame_figures(), interval);
    d.window = backend_.results();
    return d;
}
