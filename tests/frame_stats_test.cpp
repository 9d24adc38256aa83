#include <gtest/gtest.h>

#include <string>

#include "frame_stats.h"

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

namespace {

class FrameStats : public testing::Test {
protected:
    void SetUp() override
    {
        totalcount = curtick = pretick = ticks3 = 0;
        deltaTick = deltaMax = deltaCount = 0;
        curElapsed = maxElapsed = elapsedCount = 0;
        deltaMin = minElapsed = UINT64_MAX;
    }

    // Runs one frame that starts at `start` and finishes its swap at `end`,
    // returning what it printed.
    std::string frame(uint64_t start, uint64_t end)
    {
        CaptureStdout();
        begin_frame(start);
        end_frame(end);
        return GetCapturedStdout();
    }

    // Runs the 21 frames that only warm up and set the first reference tick.
    void warm_up()
    {
        for (uint64_t i = 1; i <= 21; ++i)
            ASSERT_EQ(frame(i * 1000, i * 1000 + 100), "");
    }
};

}  // namespace

TEST_F(FrameStats, FormatsTheStartTickAsDecimalText)
{
    begin_frame(1234567890123);
    EXPECT_STREQ(system_time, "1234567890123");
}

TEST_F(FrameStats, WarmUpFramesAreCountedButNotMeasured)
{
    warm_up();
    EXPECT_EQ(totalcount, 21u);
    EXPECT_EQ(pretick, 21100u);
    EXPECT_EQ(deltaCount, 0u);
    EXPECT_EQ(elapsedCount, 0u);
}

TEST_F(FrameStats, FrameTwentyTwoPrintsBothLinesWithMinEqualToMax)
{
    warm_up();
    EXPECT_EQ(frame(22000, 22150),
              "deltaTick:1050 deltaMin:1050 deltaMax:1050 deltaCount:1\n"
              "curElapsed:150 minElapsed:150 maxElapsed:150 elapsedCount:1\n");
}

TEST_F(FrameStats, HugeFirstSampleIsItsOwnMinimum)
{
    warm_up();
    EXPECT_EQ(frame(300021100, 300021100 + 300000000),
              "deltaTick:600000000 deltaMin:600000000 deltaMax:600000000 deltaCount:1\n"
              "curElapsed:300000000 minElapsed:300000000 maxElapsed:300000000 elapsedCount:1\n");
}

TEST_F(FrameStats, OnlyAStrictlyGreaterMaximumPrints)
{
    warm_up();
    frame(22000, 22150);                    // delta 1050, elapsed 150
    EXPECT_EQ(frame(23050, 23200), "");     // equal delta, equal elapsed
    EXPECT_EQ(frame(23700, 23800), "");     // smaller: new minima, silent
    EXPECT_EQ(frame(24000, 25000),          // delta 1200, elapsed 1000
              "deltaTick:1200 deltaMin:600 deltaMax:1200 deltaCount:2\n"
              "curElapsed:1000 minElapsed:100 maxElapsed:1000 elapsedCount:2\n");
}

TEST_F(FrameStats, EitherLinePrintsWithoutTheOther)
{
    warm_up();
    frame(22000, 22150);
    EXPECT_EQ(frame(22500, 23150), "curElapsed:650 minElapsed:150 maxElapsed:650 elapsedCount:2\n");
    EXPECT_EQ(frame(30000, 30010), "deltaTick:6860 deltaMin:1000 deltaMax:6860 deltaCount:2\n");
}
