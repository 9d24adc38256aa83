// The pacing decisions of the frame loop, fed with ticks so they can be tested.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "histogram.h"

extern uint64_t ticks1;    // tick of the latest pass of the frame loop
extern uint64_t ticks2;    // tick of the latest redisplay request

// Records the tick `now` and tells whether a redisplay is due: at least
// `interval` microseconds since the previous request.
bool redisplay_due(uint64_t now);

// Where a run ends: after a number of frames, at a tick, or both; 0 for no limit.
struct RunLimits {
    uint64_t frames = 0;
    uint64_t end_tick = 0;
};

// The limits of a run that starts at tick `now`.
RunLimits run_limits(uint64_t frame_limit, double duration_s, uint64_t now);

// Whether the run is over after `frames` frames at tick `now`.
bool run_over(const RunLimits &limits, uint64_t frames, uint64_t now);

// The tick at which the loop next has something to do after `frames`
// frames: the next redisplay or the end of the run, whichever comes first;
// 0 once the frame limit is reached.
uint64_t next_event_tick(const RunLimits &limits, uint64_t frames);

// The tick at which the next frame is due, 0 once the frame limit is reached.
uint64_t next_frame_tick(const RunLimits &limits, uint64_t frames);

// Work that can wait a frame (the records' catch-up, the check on standard
// output, an injected press) must never make one late. Whether such work may
// start at tick `now` with the next frame due at `frame_due` (0 for none):
// not in the `guard_us` before that frame, which is drawn first. A frame
// already due goes first anyway, and one overdue after its own drawing has
// no schedule left to keep, so the work is never starved.
bool side_work_fits(uint64_t now, uint64_t frame_due, uint64_t guard_us);

// Work that can wait a frame, kept from waiting for ever: where the interval
// is within the guard of the frame's own cost, no moment between two frames
// is far enough from the next, and work that only starts where it fits
// would wait as long as the run. Once it has been put off past two frames,
// it starts right after the next one, whatever the guard: a frame may then
// start as much later as the work takes, once in a while.
struct SideWork {
    static constexpr uint64_t starved_after_frames = 2;
    uint64_t waited = 0;  // frames drawn while the work was due and put off
    // Whether work that is due may start at tick `now`, the next frame due
    // at `frame_due`; `after_frame` for the pass right after a frame.
    bool may_start(uint64_t now, uint64_t frame_due, uint64_t guard_us, bool after_frame);
};

// The tick at which the hybrid pace, at tick `now`, wakes: for the next
// event at `event`, or earlier for work that can wait, due at `side_due`,
// where it fits before the frame due at `frame_due`.
uint64_t wake_tick(uint64_t now, uint64_t event, uint64_t frame_due, uint64_t side_due, uint64_t guard_us);

// Microseconds the hybrid pace may sleep at tick `now` and still wake
// `margin_us` before tick `wake`; 0 when it must poll.
uint64_t sleep_budget(uint64_t now, uint64_t wake, uint64_t margin_us);

// How late, at tick `now`, the loop noticed a frame due at tick `due` (0 for
// none), beyond the tick `free` at which it was done with the frame before:
// a wake-up or a stall of the machine, and not the frame before's own length.
uint64_t woke_late(uint64_t now, uint64_t due, uint64_t free);

// How early the hybrid pace wakes before a frame, learnt from its own sleeps:
// a sleeping thread wakes late by the machine's scheduling latency, which
// differs from one machine to the next by an order of magnitude. The margin
// follows a quantile above p99 of the recent overshoots, so that about one
// sleep in two hundred wakes past it, plus a little headroom. It stays
// within its bounds: at least `floor_us`, so that a quiet machine still
// spins a little, and at most the smaller of `ceiling_us` and half the
// interval, so that a stall of the machine never makes the pace spin for a
// frame. Until enough sleeps are in to tell a tail above p99 (a few
// dozen), the margin is its upper bound.
class WakeMargin {
public:
    static constexpr uint64_t floor_us = 100, ceiling_us = 3000, headroom_us = 50;
    static constexpr size_t window = 512;     // the recent sleeps it learns from
    static constexpr size_t first_settle = 64, settle_every = 32;
    static constexpr double quantile = 0.995;

    explicit WakeMargin(uint64_t interval_us);
    uint64_t margin_us() const { return margin_; }
    // A sleep meant to end at tick `target` ended at tick `woke`; one that
    // ended early was cut short by an event and says nothing of the machine.
    void slept(uint64_t target, uint64_t woke);
    // Every overshoot of the run, μs.
    const Histogram &overshoots() const { return all_; }

private:
    void settle();

    uint64_t lowest_, highest_, margin_;
    std::array<uint64_t, window> recent_{}, scratch_{};
    size_t since_settled_ = 0;
    bool settled_ = false;
    Histogram all_;
};
