// The run's figures, the vblank fit and the vsync verdict from made-up samples.
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

TEST(Figures, SummaryAndReportOfFramesAndPresents)
{
    RunFigures r;
    r.interval_us = 10000;
    r.pace = "busy";
    for (uint64_t i = 0; i < 1000; ++i)
        add_frame(r.frames, r.interval_us, i == 500 ? 20000 : 10000, 2000 + i % 10, i == 500 ? 4000 : 100, i == 500 ? 3000 : 0);
    nlohmann::json j = report_json(r);
    EXPECT_EQ(j["frames"]["late"], 1);
    EXPECT_EQ(j["interval_us"]["p999"], 10000);
    EXPECT_EQ(j["duration_us"]["p50"], 2004);
    EXPECT_DOUBLE_EQ(j["fps_low_1pct"].get<double>(), 100);
    std::string s = summary_text(r);
    EXPECT_EQ(s.substr(0, s.find("fps low")),
              "frames measured: 1000\nseconds: 10.010\nfps mean: 99.90\n"
              "interval \xce\xbcs: min 10000 p50 10000 p90 10000 p99 10000 p99.9 10000 max 20000 mean 10010.0 stddev 316.1\n"
              "duration \xce\xbcs: min 2000 p50 2004 p90 2008 p99 2009 p99.9 2009 max 2009 mean 2004.5 stddev 2.9\n");
    // The late frame's 10000 μs beyond the interval: what held it, then how late the loop woke, then the rest.
    EXPECT_NE(s.find("\nlate frames: 1 (interval above 15000 \xce\xbcs)\nlate by \xce\xbcs: 4000 held by the window system, "
                     "3000 woken late by the machine, 3000 drawn long\nstutters: 0 (intervals above 2.5 times the mean of "
                     "the 32 before them)\nrefresh: unknown"), std::string::npos) << s;
    EXPECT_EQ(j["frames"]["held_us"], 999 * 100 + 4000);
    EXPECT_EQ(j["frames"]["late_by"], nlohmann::json::parse(R"({"held_us": 4000, "woke_late_us": 3000, "drawn_long_us": 3000})"));

    // A window system that is neither X11 nor Wayland is told in the words its identity gives.
    RunFigures other;
    DisplayIdentity &id = other.display.identity;
    id.window_system = "kms", id.named_in_summary = true, id.no_presents = "none: made up";
    id.in_flight_limit = 2, id.inject_refusal = "no keys";
    EXPECT_NE(summary_text(other).find("\nwindow system: kms\nrefresh: "
                                       "unknown (no vblank clock)\nswap control: no\nvsync: unknown\npresents: none: made up\n"),
              std::string::npos) << summary_text(other);
    EXPECT_EQ(report_json(other)["display"], nlohmann::json::parse(R"({"window_system": "kms", "server": "", "refresh_hz": null,
        "swap_control": false, "hardware_clock": null, "presentation_clock": null, "vsync": "unknown", "no_presents": "none: made up",
        "presents": {"count": 0, "missed_vblanks": 0, "copy": 0, "flip": 0, "skip": 0, "suboptimal_copy": 0, "latency_us": null,
        "animation_error_us": null},
        "capabilities": {"feedback": "none", "feedback_source": null, "in_flight_limit": 2, "swap_interval": false, "tearing_control": false,
        "inject_refusal": "no keys"}})"));

    RunFigures empty;
    j = report_json(empty);
    EXPECT_TRUE(j["interval_us"].is_null() && j["fps_low_1pct"].is_null() && j["frames"]["late"].is_null());
    EXPECT_NE(summary_text(empty).find("interval \xce\xbcs: n/a\n"), std::string::npos);
    // No late frame: one line says so, with an interval or without.
    empty.interval_us = 20000;
    for (const RunFigures &run : {RunFigures{}, empty}) {
        const std::string text = summary_text(run);
        const size_t first = text.find("\nlate frames: ");
        EXPECT_EQ(text.substr(first, text.find('\n', first + 1) - first),
                  run.interval_us ? "\nlate frames: 0 (interval above 30000 \xce\xbcs)" : "\nlate frames: n/a (no interval requested)");
        EXPECT_EQ(text.find("\nlate ", first + 1), std::string::npos) << text;
    }

    // Presents by mode, and the vblanks missed between them.
    for (uint64_t msc : {100, 101, 102, 105, 106})
        add_present(r.display, msc == 102 ? mode_skip : mode_flip, msc == 106 ? -1 : int64_t(msc * 10));
    r.display.missed_vblanks = 2;
    EXPECT_EQ(report_json(r)["display"]["presents"], nlohmann::json::parse(R"({"count": 5, "flip": 4, "copy": 0, "skip": 1, "suboptimal_copy": 0,
        "missed_vblanks": 2, "latency_us": {"p50": 1010, "p99": 1050, "max": 1050}, "animation_error_us": null})"));
    // Stutters: above 2.5 times the mean of the 32 intervals before (10 ms a frame), which for a long
    // frame right after another holds that one.
    StutterCount stutters;
    for (int i = 0; i < 200; ++i)
        stutters.add(i == 50 || i == 100 || i == 101 ? 26000 : 10000);
    EXPECT_EQ(std::pair(stutters.count(), stutters.window()), std::pair(uint64_t(2), size_t(32)));
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

TEST(DisplayWatch, CompositorFeedbackCountsLateAndDiscardedFramesAndGivesTheVerdict)
{
    DisplayIdentity wayland;
    wayland.feedback = Feedback::per_frame;
    DisplayWatch watch(wayland);
    std::vector<int64_t> errors;
    for (uint64_t i = 0; i < 40; ++i) {
        Presentation p;
        p.ust_mono = 1000000 + i * 16667 + 10000;  // 10 ms after each swap end: on time
        p.mode = i == 39 ? mode_skip : mode_copy;
        p.flags = flag_hw_clock;
        p.refresh_ns = 16666667;
        if (i == 20)
            p.ust_mono += 30000;  // 40 ms after its swap end: two refreshes missed
        errors.push_back(watch.presented({true, 1000000 + i * 16667 - 5000, 1000000 + i * 16667}, p).value_or(0));
    }
    DisplayFigures d = watch.figures(FrameFigures{}, 0);
    EXPECT_EQ(d.missed_vblanks, 2u);
    // Frame 20 shown 30 ms late: its step is 30 ms longer than what it shows, the next one's 30 ms shorter.
    EXPECT_EQ(std::tuple(d.animation_error.count(), d.animation_error.max(), d.animation_error.percentile(50)),
              std::tuple(uint64_t(38), uint64_t(30000), uint64_t(0)));
    EXPECT_EQ(errors[20], -30000);
    EXPECT_EQ(errors[21], 30000);
    EXPECT_EQ(d.presents[mode_skip] + d.presents[mode_copy], 40u);
    EXPECT_NEAR(d.refresh_hz, 60, 0.001);
    EXPECT_EQ(d.vsync, "not locked");  // a frame was discarded
    EXPECT_EQ(d.identity.hardware_clock, 1);
    EXPECT_EQ(d.latency.percentile(50), 15000u);  // frame start to present
    // A seq is trusted only where it steps with the refresh cycles; a refresh of 0 is a variable rate, where
    // no count is made. The summary names where the count came from, or why there is none.
    struct Case {
        uint64_t step_us, refresh_ns, first_msc, presents;
        int counts;
        const char *said;
    };
    for (auto c : {Case{16667, 16666667, 100, 40, 1, "0 (from the compositor's seq, which counts refresh cycles)"},
                   Case{33333, 16666667, 100, 40, 0, "0 (from the times: the compositor's seq does not count refresh cycles)"},
                   Case{16667, 16666667, 0, 40, -1, "0 (from the times: the compositor sends no seq)"},
                   Case{16667, 16666667, 100, 5, -1, "0 (from the times: the run was too short to check the compositor's seq)"},
                   Case{16667, 0, 100, 40, -1, "not measured (variable refresh)"}}) {
        DisplayWatch w(wayland);
        for (uint64_t i = 0; i < c.presents; ++i) {
            Presentation p;
            p.ust_mono = 1000000 + i * c.step_us;
            p.msc = c.first_msc ? c.first_msc + i : 0;
            p.refresh_ns = c.refresh_ns;
            w.presented({}, p);
        }
        RunFigures r;
        r.display = w.figures(FrameFigures{}, 0);
        r.display.identity.compositor = true;
        EXPECT_EQ(std::pair(r.display.sequence_counts_refreshes, r.display.refresh_variable), std::pair(c.counts, !c.refresh_ns));
        EXPECT_NE(summary_text(r).find(std::string("\nmissed vblanks: ") + c.said + "\n"), std::string::npos) << c.said;
        EXPECT_EQ(report_json(r)["display"]["presents"]["missed_vblanks"].is_null(), !c.refresh_ns);
    }
}
