// Input to photon, with no window system: which frame answers each key or
// button press, and how long each press took to reach that frame's start,
// its swap end and its present.
#pragma once

#include <cstdint>
#include <deque>
#include <random>
#include <vector>

#include "frame.h"
#include "histogram.h"
#include "press.h"

struct InputFigures {
    bool listening = false;  // --input or --inject
    bool injecting = false;  // --inject
    // Presses that arrived (the user's own included), sent, answered, lost;
    // held: presses held back, when due, while the window could not take them.
    uint64_t events = 0, injected = 0, answered = 0, lost = 0, held = 0;
    // μs from each press: to its arrival (injected presses only), to the
    // start, swap end and present of the frame that answered it.
    Histogram to_arrival, to_frame_start, to_swap_end, to_present;
};

class InputLatency {
public:
    InputLatency(bool listening, bool injecting);

    // A press of key `key` was sent to the window at raw tick `stamp`.
    void injected(uint64_t stamp, int key);
    // A press was due but held back.
    void held() { ++figures_.held; }
    // A press of `key` (user_key for any other) reached the window at raw
    // tick `stamp`. An injected press is timed from its injection, the
    // latest of its key; any other, when presses are injected, is the
    // user's: counted, never timed; otherwise timed from its arrival.
    void arrived(uint64_t stamp, int key);
    // A frame that starts at raw tick `start` answers every press that
    // arrived before it. Returns the earliest answered press's stamp, 0 for none.
    uint64_t answer(uint64_t start);
    // The answering frame has been swapped.
    void swapped(const Frame &frame);
    // The frame whose swap returned `id` was presented at `present_mono`, CLOCK_MONOTONIC μs.
    void presented(uint64_t id, uint64_t present_mono);

    // Presses sent that have not arrived, or arrived and are not yet answered.
    bool waiting() const { return !sent_.empty() || !arrived_.empty(); }
    InputFigures figures() const;

private:
    // The stamps of one answering frame's presses, kept until its present.
    struct Answer {
        uint64_t id;                   // 0 until the swap
        std::vector<uint64_t> stamps;  // raw until the swap ends, then CLOCK_MONOTONIC
    };

    struct Sent {
        uint64_t stamp;
        int key;
    };

    InputFigures figures_;
    std::deque<Sent> sent_;
    std::deque<uint64_t> arrived_;
    uint64_t dropped_ = 0;  // sent, and never arrived before a later press of its key
    std::deque<Answer> answers_;  // the latest last; the oldest dropped after a few
    bool drawing_ = false;        // the latest answer is waiting for its swap end
};

// When injected presses are due: each three periods and a random share of
// a fourth after the last, so that the presses stay apart and fall at a
// uniform phase of the frames.
class PressSchedule {
public:
    explicit PressSchedule(uint64_t seed = std::random_device{}()) : rng_(seed) {}
    // The press due after one at tick `tick`, frames `period_us` apart.
    uint64_t after(uint64_t tick, uint64_t period_us);

private:
    std::mt19937_64 rng_;
};
