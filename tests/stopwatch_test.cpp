#include <gtest/gtest.h>
#include <unistd.h>

#include "stopwatch.h"

TEST(Stopwatch, SumsAveragesAndResetsThroughThePointerFunctions)
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
    float total = timer->getTime();  // sleeps may run long on a busy machine, never short
    EXPECT_TRUE(total >= 6 && total < 200) << total;
    EXPECT_EQ(sdkGetAverageTimerValue(&timer), total / 2);
    sdkStartTimer(&timer);
    usleep(20000);
    sdkResetTimer(&timer);  // a run in progress goes on from the reset
    EXPECT_LT(timer->getTime(), 20.0f);
    sdkStopTimer(&timer);
    EXPECT_EQ(sdkGetAverageTimerValue(&timer), timer->getTime());
    delete timer;
}
