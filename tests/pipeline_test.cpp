// The ledger, the log and the display watch behind the frame pipeline, fed
// by a made-up window system: presents find their own frame, and compositor
// feedback reaches the verdict.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <thread>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "clock.h"
#include "backend/wayland/connection.h"
#include "backend/wayland/feedback.h"
#include "frame_pipeline.h"
#include "frame_stats.h"
#include "frame_ledger.h"
#include "record.h"

namespace {

// A window system that reports the presentations it is given, and holds
// back as many frames as it is told: its frame never comes back.
class MadeUpBackend final : public Backend {
public:
    MadeUpBackend(DisplayDescription system, std::vector<Presentation> feedback, unsigned held = 0)
        : system_(std::move(system)), feedback_(std::move(feedback)), held_(held)
    {
    }
    int open(const WindowRequest &) override { return 0; }
    DisplayDescription describe() override { return system_; }
    WindowResults results() override { return {}; }
    Events pump(uint64_t timeout_us, const volatile sig_atomic_t *) override
    {
        ++pumps;
        std::this_thread::sleep_for(std::chrono::microseconds(timeout_us));
        return {};
    }
    unsigned in_flight() override { return held_; }
    uint64_t swap() override { return 0; }
    void size(int &width, int &height) override { width = height = 1; }
    void set_title(const char *) override {}
    void poll_presentation(PresentationFeed &feed) override
    {
        for (const Presentation &p : std::exchange(feedback_, {}))
            feed.presented(p);
    }
    uint64_t inject_press(int) override { return 0; }

    int pumps = 0;

private:
    DisplayDescription system_;
    std::vector<Presentation> feedback_;
    unsigned held_;
};

DisplayDescription compositor()
{
    DisplayDescription d;
    d.can.feedback = Feedback::per_frame, d.can.in_flight_limit = 1;
    return d;
}

}  // namespace

// A present finds its own frame's record, once, at any frame rate; the log
// takes the records in order, each once it is settled.
TEST(Records, APresentFindsItsOwnWaitingFrameAtAnyRate)
{
    std::string path = testing::TempDir() + "records_test.csv";
    FrameLog log;
    ASSERT_TRUE(log.open(path.c_str()));
    log.start(false);
    FrameLedger ledger;
    auto write = [&](const FrameRecord &r) { log.write(r); };
    // 3000 frames in 0.3 s: far more than the ring's first size wait for their presents.
    for (uint64_t n = 1; n <= 3000; ++n) {
        Frame f = make_frame(n, 1000000 + n * 100 - 50, 1000000 + n * 100, 2000000 + n * 100, 1000000 + n * 100 - 100);
        f.id = n;
        if (n == 500)
            f.accounts = FrameAccounts{30, 5, 15, 2, 7};
        ledger.add(f, true);
    }
    FrameRecord *found = ledger.find(2);
    ASSERT_TRUE(found && found->frame.number == 2);
    EXPECT_EQ(monotonic_at(found->frame, found->frame.start_us), 2000150u);
    found->present = Presentation{2000240, 77, mode_copy, 0, 0, 2}, found->animation_error_us = -30;
    EXPECT_EQ(ledger.find(2), nullptr);  // a frame takes one present
    ledger.drain(1000000 + 1000 * 100 + 500000, write);  // frames 1 to 1000 waited long enough
    EXPECT_TRUE(!ledger.find(0) && !ledger.find(500));  // none named, and one written already
    ledger.find(2999)->present = Presentation{2000240, 77, mode_flip, 0, 0, 2999};
    ledger.drain(UINT64_MAX, write);
    EXPECT_TRUE(log.close());
    std::ifstream in(path);
    std::string rows[3001];
    for (std::string &row : rows)
        std::getline(in, row);
    EXPECT_EQ(rows[2] + rows[500] + rows[2999], "2,1000150,1000200,100,50,2000200,2000240,77,copy,,0,0,0,-30,,,,,"
              "500,1049950,1050000,100,50,2050000,,,,,1,0,0,,30,5,15,2,7" "2999,1299850,1299900,100,50,2299900,2000240,77,flip,,1,0,0,,,,,,");
    std::remove(path.c_str());
}

namespace {

struct Collected final : PresentationFeed {
    std::vector<Presentation> all;
    void vblank(uint64_t, uint64_t) override {}
    void presented(const Presentation &p) override { all.push_back(p); }
};

// The verdict, and the summary's word on presents, from 100 frames a refresh
// apart, as a compositor's events give them to the Wayland room's own
// feedback: each frame's flags, the 50th's, and which are discarded.
std::pair<std::string, std::string> verdict(unsigned flags, unsigned flags_of_50th, bool (*discarded)(uint64_t))
{
    WaylandConnection connection;
    FrameFeedback feedback;
    feedback.start(connection, nullptr, true);
    for (uint64_t i = 0; i < 100; ++i) {
        if (discarded(i))
            feedback.discarded(i + 1);
        else
            feedback.presented(i + 1, 5000000 + i * 16667, 16666667, 0, i == 50 ? flags_of_50th : flags);
    }
    Collected presents;
    feedback.drain(presents);
    MadeUpBackend backend(compositor(), presents.all);
    Settings settings;
    FrameLog log;
    FramePipeline pipeline(backend, settings, log);
    RunFigures r;
    r.display = pipeline.finish();
    std::string summary = summary_text(figure_list(r));
    return {r.display.vsync, summary.substr(summary.find("presents: "))};
}

}  // namespace

// Only presents that each carry the vsync flag, a refresh apart, with none
// discarded, are locked; the flag makes the difference, every time.
TEST(FramePipeline, CompositorFeedbackReachesTheVerdict)
{
    const unsigned vsync = flag_vsync | flag_hw_clock | flag_hw_completion;
    auto none = [](uint64_t) { return false; };
    EXPECT_EQ(verdict(vsync, vsync, none).first, "locked");
    EXPECT_EQ(verdict(vsync, flag_hw_clock, none).first, "not locked");  // one not synchronised
    EXPECT_EQ(verdict(vsync, vsync, [](uint64_t i) { return i == 70; }).first, "not locked");  // one discarded
    EXPECT_EQ(verdict(flag_hw_clock, flag_hw_clock, none).first, "unknown");  // none marked, as headless compositors
    // Every frame discarded, as headless sway does: nothing reached the screen, and nothing can be said of vsync.
    auto [said, presents] = verdict(vsync, vsync, [](uint64_t) { return true; });
    EXPECT_EQ(said, "unknown");
    EXPECT_EQ(presents.substr(0, presents.find("missed")), "presents: 100 (flip 0, copy 0, skip 100, suboptimal copy 0)\n"
                                                           "presents: every frame was discarded: none reached the screen\n");
}

// A window system that never releases the frame it holds: none is drawn,
// the hybrid pace sleeps through the wait instead of spinning, and the
// run's time still ends it, records and all.
TEST(FramePipeline, AFrameNeverReleasedDrawsNothingAndTheDurationStillEndsTheRun)
{
    std::string path = testing::TempDir() + "held.csv";
    FrameLog log;
    ASSERT_TRUE(log.open(path.c_str()));
    log.start(false);
    MadeUpBackend backend(compositor(), {}, 1);
    Settings settings;
    settings.duration_limit = 0.3;
    settings.pace = Pace::hybrid;
    FramePipeline pipeline(backend, settings, log);
    uint64_t frames = totalcount;
    auto began = std::chrono::steady_clock::now();
    EXPECT_TRUE(pipeline.run(getsystemtick()));
    EXPECT_GE(std::chrono::steady_clock::now() - began, std::chrono::milliseconds(300));
    EXPECT_LT(backend.pumps, 50);
    EXPECT_EQ(totalcount, frames);
    pipeline.finish();
    EXPECT_TRUE(log.close());
    std::ifstream in(path);
    std::string header, row;
    EXPECT_TRUE(std::getline(in, header) && header.rfind("frame,start_us,", 0) == 0 && !std::getline(in, row));
    std::remove(path.c_str());
}
