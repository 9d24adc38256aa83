#include <gtest/gtest.h>

#include "options.h"
#include "pacing.h"

namespace {

class Pacing : public testing::Test {
protected:
    void SetUp() override
    {
        ticks1 = ticks2 = 0;
        interval = 100000;
    }
};

}  // namespace

TEST_F(Pacing, FirstPassPostsOnceTheClockIsPastOneInterval)
{
    EXPECT_TRUE(redisplay_due(5000000000));
    EXPECT_EQ(ticks2, 5000000000u);
}

TEST_F(Pacing, PostsAtExactlyOneIntervalAndNotBefore)
{
    ASSERT_TRUE(redisplay_due(1000000));
    EXPECT_FALSE(redisplay_due(1099999));
    EXPECT_EQ(ticks1, 1099999u);
    EXPECT_EQ(ticks2, 1000000u);
    EXPECT_TRUE(redisplay_due(1100000));
    EXPECT_EQ(ticks2, 1100000u);
}

TEST_F(Pacing, MeasuresFromTheRequestNotFromTheFrame)
{
    ASSERT_TRUE(redisplay_due(1000000));
    ASSERT_TRUE(redisplay_due(1150000));  // late poll
    EXPECT_FALSE(redisplay_due(1200000));
    EXPECT_TRUE(redisplay_due(1250000));
}

TEST_F(Pacing, ZeroIntervalPostsOnEveryPass)
{
    interval = 0;
    for (uint64_t t : {7u, 7u, 8u, 8u})
        EXPECT_TRUE(redisplay_due(t));
}
