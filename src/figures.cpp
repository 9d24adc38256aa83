#include "figures.h"

#include <algorithm>
#include <cmath>

#include "frame.h"

void AccountSums::add(const FrameAccounts &a)
{
    on_cpu += a.on_cpu_us, run_queue += a.run_queue_us, blocked += a.blocked_us, woke_queued += a.woke_queued_us;
}

void add_frame(FrameFigures &f, int32_t requested_us, const Frame &frame)
{
    uint64_t interval_us = frame.interval_us;
    f.interval.add(interval_us);
    f.duration.add(frame.duration_us);
    f.stutters.add(interval_us);
    f.held_us += frame.held_us;
    f.woke_late_us += frame.woke_late_us;
    f.accounted = f.accounted || frame.accounts;
    if (frame.accounts)
        f.accounts.add(*frame.accounts);
    if (requested_us <= 0 || 2 * interval_us <= 3 * uint64_t(requested_us))
        return;
    ++f.late;
    if (frame.accounts)
        f.late_accounts.add(*frame.accounts);
    uint64_t excess = interval_us - uint64_t(requested_us);
    uint64_t held = std::min(frame.held_us, excess), woke = std::min(frame.woke_late_us, excess - held);
    f.late_causes.held += held;
    f.late_causes.woke_late += woke;
    f.late_causes.drawn_long += excess - held - woke;
}

size_t StutterCount::window() const
{
    double mean_ms = n_ ? double(sum_) / double(n_) / 1000 : 0;
    return std::min(kept, size_t(std::floor(10 * std::sqrt(mean_ms) + 0.5)));
}

void StutterCount::add(uint64_t interval_us)
{
    size_t w = std::min(window(), size_t(n_));
    uint64_t before = 0;
    for (size_t i = 1; i <= w; ++i)
        before += ring_[(n_ - i) % kept];
    count_ += w && 2 * interval_us * w > 5 * before;
    ring_[n_ % kept] = interval_us;
    ++n_;
    sum_ += interval_us;
}

void add_present(DisplayFigures &d, PresentMode mode, int64_t latency_us)
{
    ++d.presents[mode];
    if (latency_us >= 0)
        d.latency.add(uint64_t(latency_us));
}

double fps_mean(const FrameFigures &f)
{
    return f.interval.sum() ? 1e6 * double(f.interval.count()) / double(f.interval.sum()) : 0;
}

double fps_low(const Histogram &interval, double percent)
{
    uint64_t slow = interval.percentile(100 - percent);
    return slow ? 1e6 / double(slow) : 0;
}

uint64_t present_count(const DisplayFigures &d)
{
    uint64_t n = 0;
    for (uint64_t c : d.presents)
        n += c;
    return n;
}
