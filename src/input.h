// Input to photon, with no window system: which frame answers each key or
// button press, and how long each press took to reach that frame's start,
// its swap end and its present.
#pragma once

#include <cstdint>
#include <deque>
#include <vector>

#include "histogram.h"

struct InputFigures {
    bool listening = false;  // --input or --inject
    bool injecting = false;  // --inject
    uint64_t events = 0, injected = 0, answered = 0, lost = 0;
    // μs from each press: to its arrival (injected presses only), to the
    // start, swap end and present of the frame that answered it.
    Histogram to_arrival, to_frame_start, to_swap_end, to_present;
};

class InputLatency {
public:
    InputLatency(bool listening, bool injecting);

    // A press was sent to the window at raw tick `stamp`.
    void injected(uint64_t stamp);
    // A press reached the window at raw tick `stamp`. An injected press is
    // timed from its injection, any other from its arrival.
    void arrived(uint64_t stamp);
    // Frame `number` starts at raw tick `start` and answers every press that
    // arrived before it. Returns the earliest answered press's stamp, 0 for none.
    uint64_t answer(uint64_t number, uint64_t start);
    // The answering frame's swap ended at raw tick `swap_end`, which is
    // `swap_end_mono` on CLOCK_MONOTONIC.
    void swapped(uint64_t swap_end, uint64_t swap_end_mono);
    // Frame `frame` (or its low 32 bits) was presented at `present_mono`, CLOCK_MONOTONIC μs.
    void presented(uint64_t frame, uint64_t present_mono);

    // Presses sent that have not arrived, or arrived and are not yet answered.
    bool waiting() const { return !sent_.empty() || !arrived_.empty(); }
    InputFigures figures() const;

private:
    // The stamps of one answering frame's presses, kept until its present.
    struct Answer {
        uint64_t frame;
        std::vector<uint64_t> stamps;  // raw until the swap ends, then CLOCK_MONOTONIC
    };

    InputFigures figures_;
    std::deque<uint64_t> sent_, arrived_;
    std::deque<Answer> answers_;  // the latest last; the oldest dropped after a few
    bool drawing_ = false;        // the latest answer is waiting for its swap end
};

// When the next injected press is due after one at `after`: three periods
// later, and a random share `u` in [0, 1) of a fourth, so that the presses
// stay apart and fall at a uniform phase of the frames.
uint64_t next_press_tick(uint64_t after, uint64_t period_us, double u);
