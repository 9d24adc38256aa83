#include "display_watch.h"

void DisplayWatch::presented(const PresentedFrame &frame, uint64_t ust, uint64_t msc, PresentMode mode)
{
    // A present is late when it missed the first vblank after its swap ended.
    uint64_t missed = frame.found && fit_.known() && mode != mode_skip
        ? fit_.vblanks_late(msc, frame.swap_end_mono_us) : 0;
    add_present(presents_, mode, missed,
                frame.found && ust >= frame.start_mono_us ? int64_t(ust - frame.start_mono_us) : -1);
}

void DisplayWatch::frame(const Frame &f)
{
    if (f.measured && fit_.known())
        phases_.add(f.swap_end_mono_us, fit_.last_vblank_ust(), fit_.period_us());
}

DisplayFigures DisplayWatch::figures(const FrameFigures &frames, int32_t requested_us) const
{
    DisplayFigures d = presents_;
    double period = fit_.known() ? fit_.period_us() : 0;
    if (period > 0) {
        d.refresh_hz = 1e6 / period;
        d.refresh_source = clock_name_;
    }
    d.vsync = vsync_verdict(phases_, period, frames.interval.mean(), requested_us);
    return d;
}
