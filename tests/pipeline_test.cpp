// The records and the display watch behind the frame pipeline, fed by a
// made-up window system: presents find their own frame, and compositor
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
#include "frame_pipeline.h"
#include "frame_stats.h"
#include "record.h"

namespace {

// A window system that reports the presentations it is given, and holds
// back as many frames as it is told: its frame never comes back.
class MadeUpBackend final : public Backend {
public:
    MadeUpBackend(DisplayIdentity id, std::vector<Presentation> feedback, unsigned held = 0)
        : id_(std::move(id)), feedback_(std::move(feedback)), held_(held)
    {
    }
    int open(const WindowRequest &) override { return 0; }
    DisplayIdentity identity() override { return id_; }
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
    DisplayIdentity id_;
    std::vector<Presentation> feedback_;
    unsigned held_;
};

DisplayIdentity compositor()
{
    DisplayIdentity id;
    id.window_system = "made up";
    id.feedback = Feedback::per_frame;
    id.in_flight_limit = 1;
    return id;
}

}  // namespace
TEST(Records, APresentFindsItsOwnWaitingFrameAtAnyRate)
{
    std::string path = testing::TempDir() + "records_test.csv";
    ASSERT_TRUE(open_records(path.c_str(), nullptr));
    start_records(false);
    // 3000 frames in 0.3 s: far more than the ring's first size wait for their presents.
    for (uint64_t n = 1; n <= 3000; ++n)
        {
        Frame f = make_frame(n, 1000000 + n * 100 - 50, 1000000 + n * 100, 2000000 + n * 100, 1000000 + n * 100 - 100);
        f.id = n;
        record_frame(f, true);
    }
    Presentation p{2000240, 77, mode_copy, 0, 0, 2};
    PresentedFrame found = record_find(p);
    record_present(p, -30);
    EXPECT_TRUE(found.found && found.swap_end_mono_us == 2000200u && found.start_mono_us == 2000150u);
    EXPECT_FALSE(record_find(p).found);  // a frame takes one present
    record_catch_up(1000000 + 1000 * 100 + 500000);  // frames 1 to 1000 waited long enough
    for (uint64_t frame : {0, 500})  // none named, and one written already: no row changes
        EXPECT_FALSE(record_find({1, 1, mode_skip, 0, 0, frame}).found);
    EXPECT_TRUE(record_find({2000240, 77, mode_flip, 0, 0, 2999}).found);
    record_present({2000240, 77, mode_flip, 0, 0, 2999}, {});
    EXPECT_TRUE(finish_records(RunFigures{}, false));
    std::ifstream in(path);
    std::string rows[3001];
    for (std::string &row : rows)
        std::getline(in, row);
    EXPECT_EQ(rows[2] + rows[500] + rows[2999], "2,1000150,1000200,100,50,2000200,2000240,77,copy,,0,0,0,-30"
              "500,1049950,1050000,100,50,2050000,,,,,1,0,0," "2999,1299850,1299900,100,50,2299900,2000240,77,flip,,1,0,0,");
    std::remove(path.c_str());
}

namespace {

// The verdict on 100 presentations a refresh apart, through the pipeline.
std::string verdict(unsigned flags_of_50th, unsigned flags, bool discard_one)
{
    std::vector<Presentation> feedback;
    for (uint64_t i = 0; i < 100; ++i) {
        Presentation p;
        p.ust_mono = 5000000 + i * 16667;
        p.flags = i == 50 ? flags_of_50th : flags;
        p.mode = discard_one && i == 70 ? mode_skip : mode_copy;
        p.refresh_ns = 16666667;
        p.frame_id = i + 1;
        feedback.push_back(p);
    }
    MadeUpBackend backend(compositor(), feedback);
    Settings settings;
    FramePipeline pipeline(backend, settings);
    return pipeline.final_figures().vsync;
}

}  // namespace

TEST(FramePipeline, CompositorFeedbackReachesTheVerdict)
{
    const unsigned vsync = flag_vsync | flag_hw_clock | flag_hw_completion;
    EXPECT_EQ(verdict(vsync, vsync, false), "locked");
    EXPECT_EQ(verdict(flag_hw_clock, vsync, false), "not locked");  // one not synchronised
    EXPECT_EQ(verdict(vsync, vsync, true), "not locked");           // one discarded
    EXPECT_EQ(verdict(flag_hw_clock, flag_hw_clock, false), "unknown");  // none marked, as headless compositors
}

// A window system that never releases the frame it holds: none is drawn,
// the hybrid pace sleeps through the wait instead of spinning, and the
// run's time still ends it, records and all.
TEST(FramePipeline, AFrameNeverReleasedDrawsNothingAndTheDurationStillEndsTheRun)
{
    std::string path = testing::TempDir() + "held.csv";
    ASSERT_TRUE(open_records(path.c_str(), nullptr));
    start_records(false);
    MadeUpBackend backend(compositor(), {}, 1);
    Settings settings;
    settings.duration_limit = 0.3;
    settings.pace = Pace::hybrid;
    FramePipeline pipeline(backend, settings);
    uint64_t frames = totalcount;
    auto began = std::chrono::steady_clock::now();
    EXPECT_TRUE(pipeline.run(getsystemtick()));
    EXPECT_GE(std::chrono::steady_clock::now() - began, std::chrono::milliseconds(300));
    EXPECT_LT(backend.pumps, 50);
    EXPECT_EQ(totalcount, frames);
    EXPECT_TRUE(finish_records(RunFigures{}, false));
    std::ifstream in(path);
    std::string header, row;
    EXPECT_TRUE(std::getline(in, header) && header.rfind("frame,start_us,", 0) == 0 && !std::getline(in, row));
    std::remove(path.c_str());
}
