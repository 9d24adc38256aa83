#include <gtest/gtest.h>

#include <string>

#include "fps_title.h"
#include "options.h"

namespace {

std::string title(int vsync, int32_t interval_us, int frames, float elapsed_ms)
{
    char buf[256];
    format_title(buf, sizeof buf, vsync, interval_us, frames, elapsed_ms);
    return buf;
}

}  // namespace

TEST(FpsTitle, ExactBytes)
{
    EXPECT_EQ(title(0, 100000, 1, 1.5f),
              "High Resolution Timer(VSYNC:Off, Interval(\xce\xbcs):100000, FPS:001, Elapsed(ms):1.500)");
    EXPECT_EQ(title(1, 5000, 60, 16.6667f),
              "High Resolution Timer(VSYNC:On, Interval(\xce\xbcs):5000, FPS:060, Elapsed(ms):16.667)");
}

TEST(FpsTitle, NumbersArePaddedNeverCut)
{
    EXPECT_NE(title(0, 0, 1234, 0).find("Interval(\xce\xbcs):0, FPS:1234, Elapsed(ms):0.000)"),
              std::string::npos);
    EXPECT_NE(title(0, -5, 7, 1234.5f).find(":-5, FPS:007, Elapsed(ms):1234.500)"), std::string::npos);
}

TEST(FpsTitle, UpdatesStrictlyAfterOneSecond)
{
    fpsCount = 0;
    fpstick = 0;
    vsync_on = 0;
    interval = 100000;
    ASSERT_TRUE(fps_frame(5000000000, 2.0f));  // the first frame always updates
    EXPECT_EQ(std::string(fps),
              "High Resolution Timer(VSYNC:Off, Interval(\xce\xbcs):100000, FPS:001, Elapsed(ms):2.000)");
    EXPECT_EQ(fpsCount, 0);
    EXPECT_EQ(fpstick, 5000000000u);

    EXPECT_FALSE(fps_frame(5000500000, 2.0f));
    EXPECT_FALSE(fps_frame(5001000000, 2.0f));  // exactly one second: not yet
    EXPECT_EQ(fpsCount, 2);
    ASSERT_TRUE(fps_frame(5001000001, 3.0f));
    EXPECT_NE(std::string(fps).find("FPS:003, Elapsed(ms):3.000)"), std::string::npos) << fps;
    EXPECT_EQ(fpstick, 5001000001u);
}
