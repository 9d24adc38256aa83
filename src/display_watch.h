// What the display did, from the presentation feedback the window system
// reports: the vblank clock, the phase of the swaps against it, and the
// presents completed on the window; or, where the compositor gives feedback
// for every frame, what that feedback says. No window system here.
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
    // A present of the window, completed or discarded.
    virtual void presented(const Presentation &p) = 0;

protected:
    ~PresentationFeed() = default;
};

class DisplayWatch {
public:
    explicit DisplayWatch(DisplayIdentity identity) : id_(std::move(identity)) {}

    void vblank(uint64_t msc, uint64_t ust) { fit_.add(msc, ust); }
    // A present, of `frame` where it matched one.
    void presented(const PresentedFrame &frame, const Presentation &p);
    // The phase of a measured frame's swap end.
    void frame(const Frame &f);

    // The display's figures, given the measured frames and the requested interval.
    DisplayFigures figures(const FrameFigures &frames, int32_t requested_us) const;

private:
    uint64_t refreshes_late(const PresentedFrame &frame, const Presentation &p) const;

    DisplayIdentity id_;
    VblankFit fit_;
    PhaseStats phases_;
    FeedbackStats feedback_;
    double refresh_us_ = 0;  // the compositor's latest refresh period
    DisplayFigures presents_;
};
