// The vblank fit and the vsync verdict from made-up CLOCK_MONOTONIC times.
#include <gtest/gtest.h>

#include <cmath>

#include "figures.h"
#include "vblank.h"

namespace {

const double period = 1e6 / 144;

// Phases of `frames` swap ends `step` μs apart, `offset` μs after a vblank, with a little jitter.
PhaseStats swaps(double step, int frames, double offset = 3000)
{
    PhaseStats p;
    for (int i = 0; i < frames; ++i)
        p.add(uint64_t(1e9 + offset + i * step + 150 * std::sin(i)), uint64_t(1e9), period);
    return p;
}

}  // namespace

TEST(Vblank, FitsThePeriodFromJitteredSamples)
{
    VblankFit fit;
    for (uint64_t msc = 500; msc < 505; ++msc)
        fit.add(msc, uint64_t(7e9 + msc * period));
    EXPECT_FALSE(fit.known());  // too few vblanks
    for (uint64_t msc = 505; msc < 800; msc += 3)
        fit.add(msc, uint64_t(7e9 + msc * period + 300 * std::sin(double(msc))));
    ASSERT_TRUE(fit.known());
    EXPECT_NEAR(fit.period_us(), period, period * 0.001);
    EXPECT_EQ(fit.last_msc(), 799u);
}

TEST(Vblank, Verdicts)
{
    EXPECT_EQ(vsync_verdict(swaps(period, 600), period, period, 0), "locked");
    EXPECT_EQ(vsync_verdict(swaps(2 * period, 600), period, 2 * period, 10000), "locked");
    // A pace between vblanks drifts through every phase.
    EXPECT_EQ(vsync_verdict(swaps(1.37 * period, 600), period, 1.37 * period, 9500), "not locked");
    // Faster than the refresh: not locked, however steady.
    EXPECT_EQ(vsync_verdict(swaps(period / 2, 600), period, period / 2, 0), "not locked");
    // Paced at a near multiple of the period, an unlocked loop could not have drifted.
    EXPECT_EQ(vsync_verdict(swaps(period, 600), period, period, int32_t(period + 0.5)), "unknown");
    EXPECT_EQ(vsync_verdict(swaps(period, 20), period, period, 0), "unknown");  // too few frames
    EXPECT_EQ(vsync_verdict(swaps(period, 600), 0, period, 0), "unknown");      // no clock
}

TEST(Vblank, PresentsByModeWithMissedVblanks)
{
    DisplayFigures d;
    const uint64_t mscs[] = {100, 101, 102, 105, 106};
    for (uint64_t msc : mscs)
        add_present(d, msc == 102 ? mode_skip : mode_flip, msc, 1, msc == 106 ? -1 : int64_t(msc * 10));
    EXPECT_EQ(present_count(d), 5u);
    EXPECT_EQ(d.presents[mode_flip], 4u);
    EXPECT_EQ(d.presents[mode_skip], 1u);
    EXPECT_EQ(d.missed_vblanks, 2u);  // 102 to 105 skipped two
    EXPECT_EQ(d.latency.count(), 4u);
    EXPECT_EQ(d.latency.max(), 1050u);
}
