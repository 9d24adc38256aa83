#include <gtest/gtest.h>

#include <unistd.h>

#include "stopwatch.h"

TEST(Stopwatch, SumsAndAveragesRunsThroughThePointerFunctions)
{
    StopWatchInterface *timer = nullptr;
    EXPECT_TRUE(sdkStartTimer(&timer) && sdkStopTimer(&timer) && sdkResetTimer(&timer));
    EXPECT_EQ(sdkGetAverageTimerValue(&timer), 0.0f);  // null: nothing happens
    ASSERT_TRUE(sdkCreateTimer(&timer));
    for (useconds_t run : {2000, 4000}) {
        sdkStartTimer(&timer);
        usleep(run);
        sdkStopTimer(&timer);
    }
    // Sleeps may run long on a busy machine, never short.
    float total = timer->getTime();
    EXPECT_GE(total, 6.0f);
    EXPECT_LT(total, 200.0f);
    EXPECT_EQ(sdkGetAverageTimerValue(&timer), total / 2);
    usleep(2000);
    EXPECT_EQ(timer->getTime(), total);  // stopped: no time passes
    sdkResetTimer(&timer);
    EXPECT_EQ(sdkGetAverageTimerValue(&timer), 0.0f);
    EXPECT_EQ(timer->getTime(), 0.0f);
    delete timer;
}

TEST(Stopwatch, ResetKeepsARunGoingFromTheReset)
{
    StopWatchLinux watch;
    watch.start();
    usleep(20000);
    watch.reset();
    EXPECT_LT(watch.getTime(), 20.0f);
    usleep(2000);
    EXPECT_GE(watch.getTime(), 2.0f);  // the run in progress counts
    watch.stop();
    EXPECT_GE(watch.getAverageTime(), 2.0f);
    EXPECT_EQ(watch.getAverageTime(), watch.getTime());
}
