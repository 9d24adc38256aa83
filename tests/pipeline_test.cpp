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
