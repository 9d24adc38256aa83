// The records and the display watch behind the frame pipeline, fed by a
// made-up window system: presents find their own frame, and compositor
// feedback reaches the verdict.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "frame_pipeline.h"
#include "record.h"

namespace {

// A window system that only reports the presentations it is given.
class MadeUpWindowSystem final : public WindowSystem {
public:
    explicit MadeUpWindowSystem(std::vector<Presentation> feedback) : feedback_(std::move(feedback)) {}
    int open(const WindowRequest &) override { return 0; }
    void run(FrameLoop &) override {}
    bool connection_lost() override { return false; }
    void redisplay() override {}
    void leave() override {}
    void swap() override {}
    void set_title(const char *) override {}
    void size(int &width, int &height) override { width = height = 1; }
    void wait(uint64_t, const volatile sig_atomic_t *) override {}
    bool swap_control_offered() override { return true; }
    void request_swap_interval(int) override {}
    void watch_presentation() override {}
    void poll_presentation(PresentationFeed &feed) override
    {
        for (const Presentation &p : std::exchange(feedback_, {}))
            feed.presented(p);
    }
    bool presents_may_come() override { return true; }
    DisplayIdentity identity() override { return {"wayland", "made up", "made up", "CLOCK_MONOTONIC", true, -1}; }
    void listen_for_input() override {}
    uint64_t inject_press(int) override { return 0; }

private:
    std::vector<Presentation> feedback_;
};

}  // namespace

TEST(Records, APresentFindsItsOwnWaitingFrameAtAnyRate)
{
    std::string path = testing::TempDir() + "records_test.csv";
    ASSERT_TRUE(open_records(path.c_str(), nullptr));
    start_records(false);
    // 3000 frames in 0.3 s: far more than the ring's first size wait for their presents.
    for (uint64_t n = 1; n <= 3000; ++n)
        record_frame(make_frame(n, 1000000 + n * 100 - 50, 1000000 + n * 100, 2000000 + n * 100, 1000000 + n * 100 - 100),
                     true);
    Presentation p{2000240, 77, mode_copy, 0, 0, 2};
    PresentedFrame found = record_present(p);
    EXPECT_TRUE(found.found && found.swap_end_mono_us == 2000200u && found.start_mono_us == 2000150u);
    EXPECT_FALSE(record_present(p).found);  // a frame takes one present
    record_catch_up(1000000 + 1000 * 100 + 500000);  // frames 1 to 1000 waited long enough
    for (uint64_t frame : {0, 500})  // none named, and one written already: no row changes
        EXPECT_FALSE(record_present({1, 1, mode_skip, 0, 0, frame}).found);
    EXPECT_TRUE(record_present({2000240, 77, mode_flip, 0, 0, 2999}).found);
    EXPECT_TRUE(finish_records(RunFigures{}, false));
    std::ifstream in(path);
    std::string rows[3001];
    for (std::string &row : rows)
        std::getline(in, row);
    EXPECT_EQ(rows[2] + rows[500] + rows[2999], "2,1000150,1000200,100,50,2000200,2000240,77,copy,,0"
              "500,1049950,1050000,100,50,2050000,,,,,1" "2999,1299850,1299900,100,50,2299900,2000240,77,flip,,1");
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
        p.frame = i + 1;
        feedback.push_back(p);
    }
    MadeUpWindowSystem ws(feedback);
    Settings settings;
    FramePipeline pipeline(ws, settings);
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
