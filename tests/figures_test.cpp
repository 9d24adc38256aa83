// The run's figures from made-up samples.
#include <gtest/gtest.h>

#include "figures.h"

TEST(Histogram, ExactBelowAHundredMillisecondsAndCloseAbove)
{
    Histogram h;
    EXPECT_EQ(h.percentile(50), 0u);
    for (uint64_t v = 1; v <= 1000; ++v)
        h.add(v * 10);  // 10, 20, ... 10000
    EXPECT_EQ(h.min(), 10u);
    EXPECT_EQ(h.max(), 10000u);
    EXPECT_EQ(h.percentile(50), 5000u);
    EXPECT_EQ(h.percentile(90), 9000u);
    EXPECT_EQ(h.percentile(99.9), 9990u);
    EXPECT_EQ(h.percentile(100), 10000u);
    EXPECT_EQ(h.percentile(0), 10u);
    EXPECT_DOUBLE_EQ(h.mean(), 5005);
    EXPECT_NEAR(h.stddev(), 2886.75, 0.01);

    Histogram slow;
    for (uint64_t v : {99999ull, 100000ull, 123456789ull, 5000000000000ull})
        slow.add(v);
    EXPECT_EQ(slow.percentile(25), 99999u);
    EXPECT_EQ(slow.percentile(50), 100000u);
    EXPECT_NEAR(double(slow.percentile(75)), 123456789, 123456789 * 0.004);
    EXPECT_LE(slow.percentile(75), 123456789u);
    EXPECT_EQ(slow.percentile(100), 5000000000000u);
}

TEST(Figures, SummaryAndReportAgree)
{
    RunFigures r;
    r.interval_us = 10000;
    r.pace = "busy";
    for (uint64_t i = 0; i < 1000; ++i)
        add_frame(r.frames, r.interval_us, i == 500 ? 20000 : 10000, 2000 + i % 10);
    EXPECT_EQ(r.frames.late, 1u);
    EXPECT_NEAR(fps_mean(r.frames), 1e6 * 1000 / 10010000, 1e-9);
    nlohmann::json j = report_json(r);
    EXPECT_EQ(j["frames"]["measured"], 1000);
    EXPECT_EQ(j["interval_us"]["p999"], 10000);
    EXPECT_EQ(j["interval_us"]["max"], 20000);
    EXPECT_EQ(j["duration_us"]["p50"], 2004);
    EXPECT_DOUBLE_EQ(j["fps_low_1pct"].get<double>(), 100);
    EXPECT_EQ(j["settings"]["pace"], "busy");
    std::string s = summary_text(r);
    EXPECT_NE(s.find("frames measured: 1000\nseconds: 10.010\nfps mean: 99.90\n"
                     "interval \xce\xbcs: min 10000 p50 10000 p90 10000 p99 10000 p99.9 10000 max 20000 "
                     "mean 10010.0 stddev 316.1\n"),
              std::string::npos) << s;
    EXPECT_NE(s.find("\nlate frames: 1 (interval above 15000 \xce\xbcs)\n"), std::string::npos) << s;

    RunFigures empty;
    j = report_json(empty);
    EXPECT_TRUE(j["interval_us"].is_null() && j["fps_low_1pct"].is_null() && j["frames"]["late"].is_null());
    EXPECT_NE(summary_text(empty).find("interval \xce\xbcs: n/a\n"), std::string::npos);
}
