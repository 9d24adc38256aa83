// The histogram, the vblank fit and the vsync verdicts from made-up samples;
// the run's summary and report are in golden_test.cpp.
#include <gtest/gtest.h>

#include <cmath>
#include <tuple>
#include <utility>
#include <vector>

#include "display_watch.h"
#include "figures.h"
#include "vblank.h"

TEST(Figures, HistogramIsExactBelowAHundredMillisecondsAndCloseAbove)
{
    Histogram h;
    EXPECT_EQ(h.percentile(50), 0u);  // empty
    for (uint64_t v = 1; v <= 1000; ++v)
        h.add(v * 10);  // 10, 20, ... 10000
    EXPECT_EQ(h.min() + h.percentile(0), 20u);
    EXPECT_EQ(h.percentile(50) + h.percentile(99.9) + h.percentile(100), 5000u + 9990u + 10000u);
    EXPECT_NEAR(h.stddev(), 2886.75, 0.01);
    EXPECT_DOUBLE_EQ(fps_low(h, 1), 1e6 / 9900);  // one frame in a hundred is slower
    Histogram slow;
    for (uint64_t v : {99999ull, 100000ull, 123456789ull, 5000000000000ull})
        slow.add(v);
    EXPECT_EQ(slow.percentile(25) + slow.percentile(50), 199999u);
    EXPECT_NEAR(double(slow.percentile(75)), 123456789, 123456789 * 0.004);
    EXPECT_EQ(slow.percentile(100), 5000000000000u);
}

namespace {

const double period = 1e6 / 144;

// Phases of `frames` swap ends `step` μs apart, 3 ms after a vblank, with some jitter.
PhaseStats swaps(double step, int frames, double jitter = 150)
{
    PhaseStats p;
    for (int i = 0; i < frames; ++i)
        p.add(uint64_t(1e9 + 3000 + i * step + jitter * std::sin(i)), uint64_t(1e9), period);
    return p;
}

}  // namespace

TEST(Vblank, FitAndVerdicts)
{
    VblankFit fit;
    for (uint64_t msc = 500; msc < 505; ++msc)
        fit.add(msc, uint64_t(7e9 + msc * period));
    EXPECT_FALSE(fit.known());  // too few vblanks
    for (uint64_t msc = 505; msc < 800; msc += 3)
        fit.add(msc, uint64_t(7e9 + msc * period + 300 * std::sin(double(msc))));
    ASSERT_TRUE(fit.known());
    EXPECT_NEAR(fit.period_us(), period, period * 0.001);
    EXPECT_NEAR(double(fit.last_vblank_ust()), 7e9 + 799 * period, 100);
    // At 60 Hz a steady 20000 μs pace steps 1, 1, 1, 1, 2 vblanks: on time all the same.
    VblankFit hz60;
    for (uint64_t msc = 0; msc < 60; ++msc)
        hz60.add(msc, 5000000 + msc * 50000 / 3);
    uint64_t late = 0;
    for (uint64_t t = 6003000; t < 8000000; t += 20000)
        late += hz60.vblanks_late((t - 5000000) * 3 / 50000 + 1, t);
    EXPECT_EQ(late, 0u);
    EXPECT_EQ(hz60.vblanks_late(104, 6690000), 2u);  // due at 102, at 6700000
    // A vblank request unanswered for four periods is asked again; at 144 Hz as at 60 Hz at the least.
    EXPECT_NEAR(vblank_period(100, 1000000, 110, 1069444, 0), 6944.4, 0.1);
    EXPECT_EQ(vblank_period(0, 0, 110, 1069444, 16667), 16667);  // no earlier answer: as known
    EXPECT_FALSE(vblank_request_lost(1000000, 1066000, 6944.4));
    EXPECT_TRUE(vblank_request_lost(1000000, 1067000, 6944.4));
    EXPECT_TRUE(!vblank_request_lost(1000000, 1079000, 20000) && vblank_request_lost(1000000, 1081000, 20000));

    EXPECT_EQ(vsync_verdict(swaps(period, 600), period, period, 0), "locked");
    EXPECT_EQ(vsync_verdict(swaps(2 * period, 600), period, 2 * period, 10000), "locked");
    // A pace between vblanks drifts through every phase.
    EXPECT_EQ(vsync_verdict(swaps(1.37 * period, 600), period, 1.37 * period, 9500), "not locked");
    // Faster than the refresh: not locked, however steady.
    EXPECT_EQ(vsync_verdict(swaps(period / 2, 600), period, period / 2, 0), "not locked");
    // Paced at a near multiple of the period, an unlocked loop could not have drifted.
    EXPECT_EQ(vsync_verdict(swaps(period, 600), period, period, int32_t(period + 0.5)), "unknown");
    EXPECT_EQ(vsync_verdict(swaps(period, 20), period, period, 0), "unknown");  // too few frames
    EXPECT_EQ(vsync_verdict(swaps(period, 600, 1500), period, period, 0), "unknown");  // neither steady nor drifting
    EXPECT_EQ(vsync_verdict(swaps(period, 600), 0, period, 0), "unknown");      // no clock
}

// A compositor's feedback: `n` presentations `step` μs apart, flagged vsync
// where `vsync(i)`, with `discarded` frames besides, at a 60 Hz refresh.
template <typename Vsync>
std::string feedback(int n, double step, Vsync vsync, int discarded = 0)
{
    FeedbackStats f;
    for (int i = 0; i < n; ++i)
        f.presented(uint64_t(1e9 + i * step), vsync(i), 1e6 / 60);
    for (int i = 0; i < discarded; ++i)
        f.discarded();
    return f.verdict();
}

TEST(Vblank, FeedbackVerdicts)
{
    auto all = [](int) { return true; };
    auto none = [](int) { return false; };
    const double period = 1e6 / 60;
    EXPECT_EQ(feedback(0, period, all), "unknown");                     // no feedback
    EXPECT_EQ(feedback(100, 2 * period, all), "locked");                 // whole periods
    EXPECT_EQ(feedback(100, period / 2, none), "not locked");            // faster than the refresh
    EXPECT_EQ(feedback(100, 25000, none), "unknown");                    // a software timer, as headless Weston
    EXPECT_EQ(feedback(100, 1.5 * period, all), "unknown");              // steps that are not whole periods
    EXPECT_EQ(flags_text(flag_vsync | flag_hw_clock | flag_zero_copy), "vsync|hw_clock|zero_copy");
}

// A seq is trusted only where it is meant to count refresh cycles and steps
// with them; a refresh of 0 is a variable rate, where no count is made. The
// summary names where the count came from, or why there is none.
TEST(DisplayWatch, MissedRefreshCyclesComeFromATrustedSource)
{
    struct Case {
        uint64_t step_us, refresh_ns, first_msc, presents;
        bool meant;
        int counts;
        const char *said;
    };
    for (auto c : {Case{16667, 16666667, 100, 40, true, 1, "0 (from the compositor's seq, which counts refresh cycles)"},
                   Case{33333, 16666667, 100, 40, true, 0, "0 (from the times: the compositor's seq does not count refresh cycles)"},
                   Case{16667, 16666667, 100, 40, false, -1, "0 (from the times: the compositor's seq does not count refresh cycles)"},
                   Case{16667, 16666667, 0, 40, true, -1, "0 (from the times: the compositor sends no seq)"},
                   Case{16667, 16666667, 100, 5, true, -1, "0 (from the times: the run was too short to check the compositor's seq)"},
                   Case{16667, 0, 100, 40, true, -1, "not measured (variable refresh)"}}) {
        DisplayDescription system;
        system.can.feedback = Feedback::per_frame, system.can.refresh_sequence = c.meant;
        DisplayWatch w(system);
        for (uint64_t i = 0; i < c.presents; ++i)
            w.presented(nullptr, {1000000 + i * c.step_us, c.first_msc ? c.first_msc + i : 0, mode_copy, 0, c.refresh_ns, 0});
        RunFigures r;
        r.display = w.figures(FrameFigures{}, 0);
        EXPECT_EQ(std::pair(r.display.sequence_counted_refreshes, r.display.refresh_variable), std::pair(c.counts, !c.refresh_ns));
        EXPECT_NE(summary_text(figure_list(r)).find(std::string("\nmissed vblanks: ") + c.said + "\n"), std::string::npos) << c.said;
        EXPECT_EQ(report_json(figure_list(r))["display"]["presents"]["missed_vblanks"].is_null(), !c.refresh_ns);
    }
}
