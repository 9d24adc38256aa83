#include "vblank.h"

#include <algorithm>
#include <cmath>

namespace {

constexpr double two_pi = 6.283185307179586;
constexpr uint64_t min_vblanks = 10;     // samples, and the vblanks they span, for a period
constexpr uint64_t min_frames = 30;      // phases before a verdict
constexpr double faster_than_refresh = 0.99;
constexpr double locked_concentration = 0.9;  // phase jitter under about a fourteenth of a period
constexpr double drifting_concentration = 0.5;
constexpr int drifting_bins = 12;        // of the 16

}  // namespace

void VblankFit::add(uint64_t msc, uint64_t ust)
{
    if (n_ == 0) {
        first_msc_ = msc;
        first_ust_ = ust;
    }
    double m = double(int64_t(msc - first_msc_)), u = double(int64_t(ust - first_ust_));
    ++n_;
    sm_ += m;
    su_ += u;
    smm_ += m * m;
    smu_ += m * u;
    last_msc_ = msc;
}

bool VblankFit::known() const
{
    return n_ >= min_vblanks && last_msc_ >= first_msc_ + min_vblanks && period_us() > 0;
}

double VblankFit::period_us() const
{
    double n = double(n_);
    double spread = n * smm_ - sm_ * sm_;
    return spread > 0 ? (n * smu_ - sm_ * su_) / spread : 0;
}

uint64_t VblankFit::last_vblank_ust() const
{
    double n = double(n_);
    double m = double(int64_t(last_msc_ - first_msc_));
    return first_ust_ + uint64_t(std::llround(su_ / n + period_us() * (m - sm_ / n)));
}

uint64_t VblankFit::vblanks_late(uint64_t msc, uint64_t t) const
{
    double since = double(int64_t(t - last_vblank_ust())) / period_us();
    uint64_t due = last_msc_ + uint64_t(int64_t(std::ceil(since)));
    return msc > due ? msc - due : 0;
}

double vblank_period(uint64_t msc0, uint64_t ust0, uint64_t msc1, uint64_t ust1, double known)
{
    if (!msc0 || msc1 <= msc0 || ust1 <= ust0)
        return known;
    return double(ust1 - ust0) / double(msc1 - msc0);
}

bool vblank_request_lost(uint64_t asked_at, uint64_t now, double period_us)
{
    // Four periods, and never less than a 60 Hz display's, nor before one is known.
    double wait = 4 * std::max(period_us, 1e6 / 60);
    return asked_at && now > asked_at && double(now - asked_at) > wait;
}

void PhaseStats::add(uint64_t t, uint64_t vblank_ust, double period_us)
{
    double since = double(int64_t(t - vblank_ust));
    double phase = since / period_us - std::floor(since / period_us);  // 0 <= phase < 1
    ++n_;
    cos_ += std::cos(two_pi * phase);
    sin_ += std::sin(two_pi * phase);
    ++hits_[int(phase * bins) % bins];
}

double PhaseStats::concentration() const
{
    return n_ ? std::hypot(cos_, sin_) / double(n_) : 0;
}

int PhaseStats::bins_hit() const
{
    int hit = 0;
    for (uint64_t h : hits_)
        hit += h > 0;
    return hit;
}

// An unlocked loop paced near a multiple of the period keeps nearly the same
// phase from frame to frame; unless it drifts at least a period over the run,
// a steady phase proves nothing.
static bool cannot_drift(double period_us, int32_t requested_us, uint64_t frames)
{
    if (requested_us <= 0)
        return false;
    double multiple = std::max(1.0, std::round(requested_us / period_us)) * period_us;
    return std::fabs(requested_us - multiple) * double(frames) < period_us;
}

bool faster_than(double mean_interval_us, double period_us)
{
    return mean_interval_us < faster_than_refresh * period_us;
}

std::string vsync_verdict(const PhaseStats &phases, double period_us, double mean_interval_us,
                          int32_t requested_us)
{
    if (period_us <= 0 || phases.count() < min_frames)
        return "unknown";
    if (faster_than(mean_interval_us, period_us))
        return "not locked";
    if (cannot_drift(period_us, requested_us, phases.count()))
        return "unknown";
    if (phases.concentration() >= locked_concentration)
        return "locked";
    if (phases.concentration() < drifting_concentration && phases.bins_hit() >= drifting_bins)
        return "not locked";
    return "unknown";
}

void FeedbackStats::presented(uint64_t t, bool vsync, double refresh_us)
{
    if (presented_++ == 0)
        first_ = t;
    else if (refresh_us > 0) {
        double periods = double(int64_t(t - last_)) / refresh_us;
        ++steps_;
        whole_steps_ += std::round(periods) >= 1 && std::fabs(periods - std::round(periods)) <= 0.1;
    }
    last_ = t;
    vsync_ += vsync;
    if (refresh_us > 0)
        refresh_us_ = refresh_us;
}

std::string FeedbackStats::verdict() const
{
    // With nothing shown, nothing can be said of how it was shown.
    if (presented_ == 0)
        return "unknown";
    bool faster = refresh_us_ > 0 && presented_ > 1 &&
                  faster_than(double(last_ - first_) / double(presented_ - 1), refresh_us_);
    if (discarded_ || faster || (vsync_ && vsync_ < presented_))
        return "not locked";
    if (!vsync_ || whole_steps_ < steps_ || !steps_)
        return "unknown";
    return "locked";
}
