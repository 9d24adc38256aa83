#include "pacing.h"

#include <algorithm>
#include <cmath>

#include "options.h"

uint64_t ticks1 = 0;
uint64_t ticks2 = 0;

static uint64_t interval_us()
{
    return static_cast<uint64_t>(static_cast<int64_t>(interval));
}

bool redisplay_due(uint64_t now)
{
    ticks1 = now;
    if (ticks2 + interval_us() > ticks1)
        return false;
    ticks2 = ticks1;
    return true;
}

RunLimits run_limits(uint64_t frame_limit, double duration_s, uint64_t now)
{
    // Capped at about 146000 years, so that the sum cannot wrap.
    double micros = std::min(duration_s * 1e6, 4.6e15);
    return {frame_limit, duration_s > 0 ? now + static_cast<uint64_t>(micros) : 0};
}

bool run_over(const RunLimits &limits, uint64_t frames, uint64_t now)
{
    return (limits.frames && frames >= limits.frames) || (limits.end_tick && now >= limits.end_tick);
}

uint64_t next_frame_tick(const RunLimits &limits, uint64_t frames)
{
    return limits.frames && frames >= limits.frames ? 0 : ticks2 + interval_us();
}

uint64_t next_event_tick(const RunLimits &limits, uint64_t frames)
{
    uint64_t due = next_frame_tick(limits, frames);
    return due && limits.end_tick ? std::min(due, limits.end_tick) : due;
}

bool side_work_fits(uint64_t now, uint64_t frame_due, uint64_t guard_us)
{
    return !(now < frame_due && frame_due < now + guard_us);
}

bool SideWork::may_start(uint64_t now, uint64_t frame_due, uint64_t guard_us, bool after_frame)
{
    waited += after_frame;
    bool start = side_work_fits(now, frame_due, guard_us) || (after_frame && waited > starved_after_frames);
    if (start)
        waited = 0;
    return start;
}

uint64_t wake_tick(uint64_t now, uint64_t event, uint64_t frame_due, uint64_t side_due, uint64_t guard_us)
{
    return side_due < event && side_work_fits(std::max(now, side_due), frame_due, guard_us) ? side_due : event;
}

uint64_t sleep_budget(uint64_t now, uint64_t wake, uint64_t margin_us)
{
    return wake > now + margin_us ? wake - now - margin_us : 0;
}

uint64_t woke_late(uint64_t now, uint64_t due, uint64_t free)
{
    uint64_t from = std::max(due, free);
    return due && now > from ? now - from : 0;
}

WakeMargin::WakeMargin(uint64_t interval_us)
    : highest_(std::min(ceiling_us, interval_us / 2))
{
    lowest_ = std::min(floor_us, highest_);
    margin_ = highest_;
}

void WakeMargin::slept(uint64_t target, uint64_t woke)
{
    if (woke < target)
        return;
    uint64_t overshoot = woke - target;
    recent_[all_.count() % window] = overshoot;
    all_.add(overshoot);
    ++since_settled_;
    if (since_settled_ >= (settled_ ? settle_every : first_settle))
        settle();
}

// Runs once in tens of sleeps, on a fixed scratch array: no allocation.
void WakeMargin::settle()
{
    size_t n = std::min<uint64_t>(all_.count(), window);
    auto last = scratch_.begin() + static_cast<std::ptrdiff_t>(n);
    std::copy(recent_.begin(), recent_.begin() + static_cast<std::ptrdiff_t>(n), scratch_.begin());
    auto rank = scratch_.begin() + static_cast<std::ptrdiff_t>(std::ceil(quantile * double(n)) - 1);
    std::nth_element(scratch_.begin(), rank, last);
    margin_ = std::clamp(*rank + headroom_us, lowest_, highest_);
    since_settled_ = 0;
    settled_ = true;
}
