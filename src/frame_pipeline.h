// The frame loop: the pacing between frames, and the road of one frame from
// its clock readings, read once into a Frame, through the statistics lines,
// the title, the log and the display watch, in that order.
#pragma once

#include <cstdint>
#include <random>

#include "display_watch.h"
#include "input.h"
#include "options.h"
#include "pacing.h"
#include "window_system.h"

class FramePipeline final : public FrameLoop, public PresentationFeed {
public:
    // Makes the frame stopwatch; `ws` must have its window open.
    FramePipeline(WindowSystem &ws, const Settings &settings);

    // Starts the run's clock at tick `now`, for --duration.
    void start(uint64_t now);

    void idle() override;
    void display() override;
    void input(int key) override;

    void vblank(uint64_t msc, uint64_t ust) override;
    void presented(const Presentation &p) override;

    // The display's figures, given the measured frames, once the presents
    // that have already arrived are taken in.
    DisplayFigures final_figures();
    InputFigures input_figures() const { return input_.figures(); }

private:
    void wait_for_next_event();
    void side_work(uint64_t now);
    void inject(uint64_t now);
    uint64_t press_after(uint64_t tick);
    bool injecting(uint64_t now) const;
    bool run_ends(uint64_t now) const;

    WindowSystem &ws_;
    const Settings &settings_;
    RunLimits limits_;
    DisplayWatch watch_;
    uint64_t previous_swap_end_ = 0;

    InputLatency input_;
    uint64_t presses_left_, next_press_ = 0, last_press_ = 0;  // ticks; 0 for none
    int next_key_ = 0;
    bool holding_ = false;  // the next press is held back, and counted so
    std::mt19937_64 phase_{std::random_device{}()};
};
