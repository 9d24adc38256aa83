#include "display_watch.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

DisplayWatch::DisplayWatch(DisplayDescription system)
    : system_(std::move(system)), hardware_clock_(system_.identity.software_clock ? 0 : -1)
{
}

// A present is late by the refresh cycles it missed after the first one
// following its swap end: counted on the vblank clock where the display
// counts vblanks...
uint64_t DisplayWatch::late_by_sequence(const Frame *frame, const Presentation &p) const
{
    if (!frame || p.mode == mode_skip || !p.msc || !fit_.known())
        return 0;
    return fit_.vblanks_late(p.msc, frame->swap_end_mono_us);
}

// ...and from the times and the compositor's refresh period where it gives feedback.
uint64_t DisplayWatch::late_by_times(const Frame *frame, const Presentation &p) const
{
    if (!frame || p.mode == mode_skip || !per_frame() || refresh_us_ <= 0 || p.ust_mono <= frame->swap_end_mono_us)
        return 0;
    double cycles = std::ceil(double(p.ust_mono - frame->swap_end_mono_us) / refresh_us_) - 1;
    return cycles > 0 ? uint64_t(cycles) : 0;
}

// A compositor's seq may count its own frames rather than refresh cycles, as
// headless Mutter's does: over the run it then steps fewer (or more) times
// than the refresh cycles that the times say passed.
int DisplayWatch::sequence_counts_refreshes() const
{
    if (!per_frame() || !system_.can.refresh_sequence || !last_seq_ || refresh_us_ <= 0 || variable_)
        return -1;
    double cycles = double(last_seq_ust_ - first_seq_ust_) / refresh_us_;
    if (cycles < 10)
        return -1;
    return std::fabs(double(last_seq_ - first_seq_) - cycles) <= std::max(2.0, 0.02 * cycles);
}

MissedFrom DisplayWatch::missed_from(int counts_refreshes) const
{
    if (!per_frame())
        return MissedFrom::vblank_clock;
    if (variable_)
        return MissedFrom::variable_refresh;
    if (refresh_us_ <= 0)
        return MissedFrom::unknown_refresh;
    if (counts_refreshes >= 0)
        return counts_refreshes ? MissedFrom::sequence : MissedFrom::times_seq_not_refreshes;
    if (!last_seq_)
        return MissedFrom::times_no_seq;
    return system_.can.refresh_sequence ? MissedFrom::times_short_run : MissedFrom::times_seq_not_refreshes;
}

std::optional<int64_t> DisplayWatch::animation_step(const Frame *frame, const Presentation &p)
{
    if (p.mode == mode_skip || !p.ust_mono)
        return std::nullopt;
    uint64_t start = frame ? monotonic_at(*frame, frame->start_us) : 0;
    std::optional<int64_t> error;
    if (frame && shown_at_)
        error = int64_t(start - shown_start_) - int64_t(p.ust_mono - shown_at_);
    // A frame shown that matches none of the waiting ones breaks the chain.
    shown_start_ = start;
    shown_at_ = frame ? p.ust_mono : 0;
    if (error)
        presents_.animation_error.add(uint64_t(std::llabs(*error)));
    return error;
}

std::optional<int64_t> DisplayWatch::presented(const Frame *frame, const Presentation &p)
{
    if (per_frame() && p.mode == mode_skip) {
        feedback_.discarded();
    } else if (per_frame()) {
        if (p.refresh_ns)
            refresh_us_ = double(p.refresh_ns) / 1e3;
        variable_ = variable_ || !p.refresh_ns;
        feedback_.presented(p.ust_mono, p.flags & flag_vsync, refresh_us_);
        if (p.msc) {
            fit_.add(p.msc, p.ust_mono);
            if (!first_seq_)
                first_seq_ = p.msc, first_seq_ust_ = p.ust_mono;
            last_seq_ = p.msc, last_seq_ust_ = p.ust_mono;
        }
        hardware_clock_ = hardware_clock_ == 1 || (p.flags & flag_hw_clock);
    }
    missed_by_sequence_ += late_by_sequence(frame, p);
    missed_by_times_ += late_by_times(frame, p);
    uint64_t start = frame ? monotonic_at(*frame, frame->start_us) : 0;
    add_present(presents_, p.mode, frame && p.ust_mono >= start ? int64_t(p.ust_mono - start) : -1);
    return animation_step(frame, p);
}

void DisplayWatch::frame(const Frame &f)
{
    if (f.measured && fit_.known() && !per_frame())
        phases_.add(f.swap_end_mono_us, fit_.last_vblank_ust(), fit_.period_us());
}

DisplayFigures DisplayWatch::figures(const FrameFigures &frames, int32_t requested_us) const
{
    DisplayFigures d = presents_;
    d.system = system_;
    d.sequence_counted_refreshes = sequence_counts_refreshes();
    d.hardware_clock = hardware_clock_;
    d.missed_from = missed_from(d.sequence_counted_refreshes);
    bool by_sequence = d.missed_from == MissedFrom::vblank_clock || d.missed_from == MissedFrom::sequence;
    d.missed_vblanks = by_sequence ? missed_by_sequence_ : missed_by_times_;
    d.refresh_variable = variable_;
    double period = per_frame() ? refresh_us_ : fit_.known() ? fit_.period_us() : 0;
    if (period > 0) {
        d.refresh_hz = 1e6 / period;
        d.refresh_from = RefreshFrom::feedback;
    } else if (system_.identity.output_refresh_hz > 0) {
        d.refresh_hz = system_.identity.output_refresh_hz;
        d.refresh_from = RefreshFrom::output_mode;
    }
    d.vsync = per_frame() ? feedback_.verdict()
                                      : vsync_verdict(phases_, period, frames.interval.mean(), requested_us);
    return d;
}
