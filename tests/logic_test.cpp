// The per-frame logic, fed with made-up ticks: pacing, statistics, layout and title.
#include <gtest/gtest.h>

#include <string>

#include "fps_title.h"
#include "frame_stats.h"
#include "options.h"
#include "pacing.h"
#include "text_layout.h"

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

TEST(Pacing, PostsFromTheRequestOnceAnIntervalHasPassed)
{
    interval = 100000;
    ticks2 = 0;
    // tick, due; a late poll at 1150000 moves the next request to 1250000
    const std::pair<uint64_t, bool> passes[] = {{1000000, true}, {1099999, false}, {1100000, true},
                                                {1150000, false}, {1200000, true}, {1299999, false}};
    for (auto [tick, due] : passes)
        EXPECT_EQ(redisplay_due(tick), due) << tick;
    EXPECT_EQ(ticks1, 1299999u);
    EXPECT_EQ(ticks2, 1200000u);
    interval = 0;
    EXPECT_TRUE(redisplay_due(1200000));
    EXPECT_TRUE(redisplay_due(1200000));
}

TEST(Pacing, RunEndsAndSleeps)
{
    interval = 20000;
    ticks2 = 1000000;
    frame_limit = 0;
    duration_limit = 0.5;
    start_run(900000);
    EXPECT_FALSE(run_over(1000, 1399999));
    EXPECT_TRUE(run_over(1000, 1400000));
    frame_limit = 1000;
    EXPECT_TRUE(run_over(1000, 0));
    EXPECT_FALSE(run_over(999, 0));
    // Next redisplay at 1020000: sleep until the margin before it, then poll.
    EXPECT_EQ(sleep_budget(1000000, 300), 19700u);
    EXPECT_EQ(sleep_budget(1019700, 300), 0u);
    EXPECT_EQ(sleep_budget(1030000, 300), 0u);
    ticks2 = 1390000;  // the end of the run comes before the next redisplay
    EXPECT_EQ(sleep_budget(1390000, 300), 9700u);
    frame_limit = 0;
    duration_limit = 0;
}

class FrameStats : public testing::Test {
protected:
    void SetUp() override
    {
        totalcount = pretick = 0;
        deltaMax = deltaCount = maxElapsed = elapsedCount = 0;
        deltaMin = minElapsed = UINT64_MAX;
        frame_figures = FrameFigures();
        interval = 1000;
        for (uint64_t i = 1; i <= 21; ++i)  // warm-up, then the first reference tick
            EXPECT_EQ(frame(i * 1000, i * 1000 + 100), "");
    }

    // Runs a frame from `start` to the end of its swap at `end`; returns what it printed.
    static std::string frame(uint64_t start, uint64_t end)
    {
        CaptureStdout();
        begin_frame(start);
        end_frame(end);
        return GetCapturedStdout();
    }
};

TEST_F(FrameStats, LinesOnStrictlyNewMaxima)
{
    EXPECT_EQ(pretick, 21100u);
    EXPECT_EQ(frame(22000, 22150),
              "deltaTick:1050 deltaMin:1050 deltaMax:1050 deltaCount:1\n"
              "curElapsed:150 minElapsed:150 maxElapsed:150 elapsedCount:1\n");
    EXPECT_STREQ(system_time, "22000");
    EXPECT_EQ(frame(23050, 23200), "");  // equal: silent
    EXPECT_EQ(frame(23700, 23800), "");  // smaller: new minima, silent
    EXPECT_EQ(frame(23900, 24800),       // the elapsed line alone
              "curElapsed:900 minElapsed:100 maxElapsed:900 elapsedCount:2\n");
    EXPECT_EQ(frame(26700, 26750), "deltaTick:1950 deltaMin:600 deltaMax:1950 deltaCount:2\n");
    EXPECT_EQ(frame_figures.interval.count(), 5u);
    EXPECT_EQ(frame_figures.late, 1u);  // only 1950 is above 1.5 times 1000
    EXPECT_EQ(totalcount, 26u);
}

TEST_F(FrameStats, HugeFirstSampleIsItsOwnMinimum)
{
    EXPECT_EQ(frame(300021100, 600021100),
              "deltaTick:600000000 deltaMin:600000000 deltaMax:600000000 deltaCount:1\n"
              "curElapsed:300000000 minElapsed:300000000 maxElapsed:300000000 elapsedCount:1\n");
}

TEST(TextLayout, QuadsPenRowsAndScale)
{
    // Pen at (-0.5, 0.25), 0.01 by 0.02 per pixel, a 10x20 bitmap 2 right of and 15 above it.
    GlyphQuad q = glyph_quad(-0.5f, 0.25f, 0.01f, 0.02f, 2, 15, 10, 20);
    const float l = -0.48f, r = -0.38f, t = 0.55f, b = 0.15f;
    const float expected[16] = {l, t, 0, 0, r, t, 1, 0, l, b, 0, 1, r, b, 1, 1};
    for (int i = 0; i < 16; ++i)
        EXPECT_NEAR(q[i], expected[i], 1e-6) << "component " << i;
    EXPECT_FLOAT_EQ(glyph_quad(0, 0, 0.5f, 0.5f, -2, -1, 0, 0)[12], -1.0f);  // negative bearing
    EXPECT_FLOAT_EQ(pen_step(27 * 64 + 63, 0.5f), 13.5f);  // whole pixels only
    EXPECT_FLOAT_EQ(pen_step(-1, 1.0f), -1.0f);            // arithmetic shift
    EXPECT_FLOAT_EQ(pixel_scale(800), 0.0075f);
    const unsigned rows[] = {250, 200, 150, 100, 50, 250};
    for (uint64_t frame = 0; frame < 6; ++frame)
        EXPECT_EQ(text_row(frame), rows[frame]);
}

TEST(FpsTitle, ExactBytesAndTheStrictSecond)
{
    char buf[256];
    format_title(buf, sizeof buf, 1, 5000, 1234, 16.6667f);
    EXPECT_STREQ(buf, "High Resolution Timer(VSYNC:On, Interval(\xce\xbcs):5000, FPS:1234, Elapsed(ms):16.667)");
    fpsCount = 0;
    fpstick = 0;
    vsync_on = 0;
    interval = 100000;
    ASSERT_TRUE(fps_frame(5000000000, 2.0f));  // the first frame always updates
    EXPECT_STREQ(fps, "High Resolution Timer(VSYNC:Off, Interval(\xce\xbcs):100000, FPS:001, Elapsed(ms):2.000)");
    EXPECT_FALSE(fps_frame(5000500000, 2.0f));
    EXPECT_FALSE(fps_frame(5001000000, 2.0f));  // exactly one second: not yet
    ASSERT_TRUE(fps_frame(5001000001, 3.0f));
    EXPECT_NE(std::string(fps).find("FPS:003, Elapsed(ms):3.000)"), std::string::npos) << fps;
    EXPECT_EQ(fpstick, 5001000001u);
    EXPECT_EQ(fpsCount, 0);
}
