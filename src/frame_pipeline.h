// The frame loop's logic, owned here: each pass takes the window system's
// events, paces, and asks for a frame when one is due; each frame drawn is
// followed by the work that can wait. Each frame's clock readings are read
// once into a Frame, which the statistics lines, the title, the display watch
// and the ledger take in that order. A present names its frame by id: its
// record is found once in the ledger and given to the display watch, and the
// log takes the records in order.
#pragma once

#include <cstdint>
#include <functional>

#include "accounts.h"
#include "backend/backend.h"
#include "display_watch.h"
#include "frame_ledger.h"
#include "input.h"
#include "options.h"
#include "pacing.h"
#include "record.h"

class FramePipeline final : public PresentationFeed, public FrameLoop {
public:
    // Makes the frame stopwatch; `backend` must have its window open. The
    // frames' rows go to `log`.
    FramePipeline(Backend &backend, const Settings &settings, FrameLog &log);

    // Draws frames from tick `now` until the run ends: by its limits, a
    // stop signal or the window's closing; the pass that ends it calls
    // `finish`, which writes the records, while the window is still there.
    // False when the connection to the display was lost, or `finish` failed.
    bool run(uint64_t now, const std::function<bool()> &finish = [] { return true; });

    Next pass() override;
    void display() override;

    void vblank(uint64_t msc, uint64_t ust) override;
    void presented(const Presentation &p) override;

    // The display's figures, given the measured frames, once the presents
    // that have already arrived are taken in; every frame is then logged.
    DisplayFigures finish();
    InputFigures input_figures() const { return input_.figures(); }
    const WakeMargin &wake_margin() const { return margin_; }
    // The host's steal of all CPUs since the run began, where the kernel reports it.
    std::optional<uint64_t> stolen_us() const;

private:
    Next end(bool connected);
    Events wait_for_events();
    uint64_t wake_tick_now(uint64_t now, bool held) const;
    bool released();
    void draw_frame();
    void account(Frame &frame, const ThreadTimes &before_start);
    void side_work(uint64_t now, bool after_frame);
    void take_presents(uint64_t now);
    uint64_t records_due() const;
    void inject(uint64_t now);
    bool injecting(uint64_t now) const;
    bool run_ends(uint64_t now) const;

    Backend &backend_;
    const Settings &settings_;
    const DisplayDescription system_;  // as the window system told it at the start
    RunLimits limits_;
    std::function<bool()> finish_;
    bool ended_ = false, ended_well_ = false;
    DisplayWatch watch_;
    FrameLedger ledger_;
    FrameLog &log_;
    uint64_t last_catch_up_ = 0;  // when the records were last brought up to date
    bool redraw_ = false;  // a frame is asked for, by the pace or the window system, and not yet drawn
    // Why the next frame may be late: the tick since which the window system
    // holds it, 0 for none; how long it was held; how late its request came.
    uint64_t held_since_ = 0, held_ = 0, late_ = 0;
    uint64_t free_since_ = 0;  // when the loop was done with the last frame and its work after it
    uint64_t previous_swap_end_ = 0;

    // The main thread's accounts: at the last frame's end, and when the
    // loop found the next one due (none where a window system asked for it).
    ThreadAccounts accounts_;
    ThreadTimes previous_end_;
    std::optional<ThreadTimes> found_due_;
    std::optional<uint64_t> steal_at_start_;

    SideWork records_work_, press_work_;
    WakeMargin margin_;  // the hybrid pace's, learnt from its sleeps

    InputLatency input_;
    uint64_t presses_left_, next_press_ = 0, last_press_ = 0;  // ticks; 0 for none
    int next_key_ = 0;
    bool holding_ = false;  // the next press is held back, and counted so
    PressSchedule presses_;
};
