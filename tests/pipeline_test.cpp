// The records and the display watch behind the frame pipeline, fed by a
// made-up window system: presents find their own frame, and compositor
// feedback reaches the verdict.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>
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
        for (const Presentation &p : feedback_)
            feed.presented(p);
        feedback_.clear();
    }
    bool presents_may_come() override { return true; }
    DisplayIdentity identity() override
    {
        DisplayIdentity id;
        id.window_system = "wayland";
        id.compositor_feedback = true;
        return id;
    }

private:
    std::vector<Presentation> feedback_;
};

std::vector<std::string> lines(const std::string &path)
{
    std::ifstream in(path);
    std::vector<std::string> all;
    for (std::string line; std::getline(in, line);)
        all.push_back(line);
    return all;
}

}  // namespace

TEST(Records, APresentFindsItsOwnWaitingFrameAtAnyRate)
{
    std::string path = testing::TempDir() + "records_test.csv";
    ASSERT_TRUE(open_records(path.c_str(), nullptr));
    start_records();
    // 3000 frames in 0.3 s: far more than the ring's first size wait for their presents.
    for (uint64_t n = 1; n <= 3000; ++n)
        record_frame(make_frame(n, 1000000 + n * 100 - 50, 1000000 + n * 100, 2000000 + n * 100, 1000000 + n * 100 - 100),
                     true);
    Presentation p;
    p.ust = p.ust_mono = 2000000 + 2 * 100 + 40;
    p.msc = 77;
    p.frame = 2;
    PresentedFrame found = record_present(p);
    EXPECT_TRUE(found.found);
    EXPECT_EQ(found.swap_end_mono_us, 2000200u);
    EXPECT_EQ(found.start_mono_us, 2000150u);
    EXPECT_FALSE(record_present(p).found);  // a frame takes one present
    p.frame = 0;
    EXPECT_FALSE(record_present(p).found);  // no frame named: none guessed
    record_catch_up(1000000 + 1000 * 100 + 500000);  // frames 1 to 1000 waited long enough
    p.frame = 500;
    EXPECT_FALSE(record_present(p).found);  // written already: it changes no row
    p.frame = 2999;
    p.mode = mode_flip;
    EXPECT_TRUE(record_present(p).found);
    EXPECT_TRUE(finish_records(RunFigures{}, false));
    std::vector<std::string> rows = lines(path);
    ASSERT_EQ(rows.size(), 3001u);
    EXPECT_EQ(rows[2], "2,1000150,1000200,100,50,2000200,2000240,77,copy,,0");
    EXPECT_EQ(rows[500], "500,1049950,1050000,100,50,2050000,,,,,1");
    EXPECT_EQ(rows[2999], "2999,1299850,1299900,100,50,2299900,2000240,77,flip,,1");
    std::remove(path.c_str());
}

namespace {

// The verdict on 100 presentations a refresh apart, through the pipeline.
std::string verdict(unsigned flags_of_50th, unsigned flags, bool discard_one)
{
    std::vector<Presentation> feedback;
    for (uint64_t i = 0; i < 100; ++i) {
        Presentation p;
        p.ust = p.ust_mono = 5000000 + i * 16667;
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
