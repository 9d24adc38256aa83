#include "display_watch.h"

#include <cmath>

// A present is late by the refresh cycles it missed after the first one
// following its swap end: counted on the vblank clock where the display
// counts vblanks, else from the times and the compositor's refresh period.
uint64_t DisplayWatch::refreshes_late(const PresentedFrame &frame, const Presentation &p) const
{
    if (!frame.found || p.mode == mode_skip)
        return 0;
    if (p.msc && fit_.known())
        return fit_.vblanks_late(p.msc, frame.swap_end_mono_us);
    if (!id_.compositor_feedback || refresh_us_ <= 0 || p.ust_mono <= frame.swap_end_mono_us)
        return 0;
    double cycles = std::ceil(double(p.ust_mono - frame.swap_end_mono_us) / refresh_us_) - 1;
    return cycles > 0 ? uint64_t(cycles) : 0;
}

void DisplayWatch::presented(const PresentedFrame &frame, const Presentation &p)
{
    if (id_.compositor_feedback && p.mode == mode_skip) {
        feedback_.discarded();
    } else if (id_.compositor_feedback) {
        if (p.refresh_ns)
            refresh_us_ = double(p.refresh_ns) / 1e3;
        feedback_.presented(p.ust_mono, p.flags & flag_vsync, refresh_us_);
        if (p.msc)
            fit_.add(p.msc, p.ust_mono);
        id_.hardware_clock = id_.hardware_clock == 1 || (p.flags & flag_hw_clock);
    }
    add_present(presents_, p.mode, refreshes_late(frame, p),
                frame.found && p.ust_mono >= frame.start_mono_us ? int64_t(p.ust_mono - frame.start_mono_us) : -1);
}

void DisplayWatch::frame(const Frame &f)
{
    if (f.measured && fit_.known() && !id_.compositor_feedback)
        phases_.add(f.swap_end_mono_us, fit_.last_vblank_ust(), fit_.period_us());
}

DisplayFigures DisplayWatch::figures(const FrameFigures &frames, int32_t requested_us) const
{
    DisplayFigures d = presents_;
    d.identity = id_;
    double period = id_.compositor_feedback ? refresh_us_ : fit_.known() ? fit_.period_us() : 0;
    if (period > 0) {
        d.refresh_hz = 1e6 / period;
        d.refresh_source = id_.clock_name;
    }
    d.vsync = id_.compositor_feedback ? feedback_.verdict()
                                      : vsync_verdict(phases_, period, frames.interval.mean(), requested_us);
    return d;
}
