// What the display did, from the presentation feedback the window system
// reports: the vblank clock, the phase of the swaps against it, and the
// presents completed on the window. No window system here.
#pragma once

#include <cstdint>
#include <string>

#include "figures.h"
#include "frame.h"
#include "vblank.h"

// Where the window system's presentation feedback goes.
class PresentationFeed {
public:
    // A vblank of the window's display: its count and its CLOCK_MONOTONIC time.
    virtual void vblank(uint64_t msc, uint64_t ust) = 0;
    // A present completed on the window, at the vblank `msc` and time `ust`.
    virtual void presented(uint64_t ust, uint64_t msc, PresentMode mode) = 0;

protected:
    ~PresentationFeed() = default;
};

class DisplayWatch {
public:
    // `clock_name` names the vblank clock in the summary.
    explicit DisplayWatch(std::string clock_name) : clock_name_(std::move(clock_name)) {}

    void vblank(uint64_t msc, uint64_t ust) { fit_.add(msc, ust); }
    // A present at `msc` and `ust`, of `frame`.
    void presented(const PresentedFrame &frame, uint64_t ust, uint64_t msc, PresentMode mode);
    // The phase of a measured frame's swap end.
    void frame(const Frame &f);

    // The display's figures, given the measured frames and the requested interval.
    DisplayFigures figures(const FrameFigures &frames, int32_t requested_us) const;

private:
    std::string clock_name_;
    VblankFit fit_;
    PhaseStats phases_;
    DisplayFigures presents_;
};
