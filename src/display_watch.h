// What the display did, from the presentation feedback the window system
// reports: the vblank clock, the phase of the swaps against it, and the
// presents completed on the window; or, where the display gives feedback
// for every frame, what that feedback says. No window system here: what it
// can give comes as its capabilities.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "figures.h"
#include "frame.h"
#include "vblank.h"

class DisplayWatch {
public:
    explicit DisplayWatch(DisplayDescription system);

    void vblank(uint64_t msc, uint64_t ust) { fit_.add(msc, ust); }
    // A present, of `frame`, or of no known frame where that is null.
    // Returns its animation error, where the frame shown before it is known:
    // the step of what the frame shows (its start) minus the step of when it
    // was shown (its present), exact here, as each frame shows its own start tick.
    std::optional<int64_t> presented(const Frame *frame, const Presentation &p);
    // The phase of a measured frame's swap end.
    void frame(const Frame &f);

    // The display's figures, given the measured frames and the requested interval.
    DisplayFigures figures(const FrameFigures &frames, int32_t requested_us) const;

private:
    bool per_frame() const { return system_.can.feedback == Feedback::per_frame; }
    std::optional<int64_t> animation_step(const Frame *frame, const Presentation &p);
    uint64_t late_by_sequence(const Frame *frame, const Presentation &p) const;
    uint64_t late_by_times(const Frame *frame, const Presentation &p) const;
    int sequence_counts_refreshes() const;
    MissedFrom missed_from(int counts_refreshes) const;

    DisplayDescription system_;
    VblankFit fit_;
    PhaseStats phases_;
    FeedbackStats feedback_;
    double refresh_us_ = 0;  // the compositor's latest refresh period
    bool variable_ = false;  // the compositor said 0: a variable refresh rate
    int hardware_clock_;     // as in DisplayFigures
    DisplayFigures presents_;
    uint64_t missed_by_sequence_ = 0, missed_by_times_ = 0;
    // The first and latest presents that carried a seq, against which it is checked.
    uint64_t first_seq_ = 0, first_seq_ust_ = 0, last_seq_ = 0, last_seq_ust_ = 0;
    // The frame shown last, its start and its present, CLOCK_MONOTONIC; 0 for none known.
    uint64_t shown_start_ = 0, shown_at_ = 0;
};
