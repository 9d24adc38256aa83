// The per-frame logic, fed with made-up ticks: pacing, statistics and title. The
// layout is checked against FreeType's metrics on a real GL, the QR code end to end.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "accounts.h"
#include "fps_title.h"
#include "frame_stats.h"
#include "input.h"
#include "options.h"
#include "pacing.h"

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

TEST(Pacing, RequestsRunEndsAndSleeps)
{
    interval = 100000;
    // A late poll at 1150000 does not move the next request from 1200000.
    for (auto [tick, due] : {std::pair{1000000, true}, {1099999, false}, {1100000, true},
                             {1150000, false}, {1200000, true}, {1299999, false}})
        EXPECT_EQ(redisplay_due(uint64_t(tick)), due) << tick;
    EXPECT_EQ(ticks1, 1299999u);
    interval = 20000;
    ticks2 = 1000000;
    RunLimits timed = run_limits(0, 0.5, 900000), counted = run_limits(1000, 0, 900000);
    EXPECT_TRUE(!run_over(timed, 1000, 1399999) && run_over(timed, 1000, 1400000));
    EXPECT_TRUE(run_over(counted, 1000, 0) && !run_over(counted, 999, 0));
    // Sleep until the margin before the next redisplay at 1020000, or before the end.
    EXPECT_EQ(sleep_budget(1000000, next_event_tick(counted, 999), 300), 19700u);
    EXPECT_EQ(sleep_budget(1019700, next_event_tick(counted, 999), 300), 0u);
    ticks2 = 1390000;
    EXPECT_EQ(sleep_budget(1390000, next_event_tick(timed, 999), 300), 9700u);
    EXPECT_EQ(next_event_tick(counted, 1000), 0u);  // the last frame is done: no sleep at all
    interval = 0;
    EXPECT_TRUE(redisplay_due(1390000) && redisplay_due(1390000));
}

// The hybrid loop on made-up ticks: sleep to the wake-up, do the work that
// can wait where it fits, draw the frame once it is due. However close
// before the frame a records deadline or a press falls, and however long
// the work takes up to its guard, the frame starts on time and the work is
// done once, before it or right after it.
TEST(Pacing, WorkThatCanWaitNeverMakesAFrameLate)
{
    const uint64_t frame = 1020000, guard = 2000;
    for (uint64_t cost : {1u, 700u, 1999u})
        for (uint64_t side = frame - 3000; side <= frame + 100; side += 50) {
            uint64_t now = frame - 19000;
            int done = 0;
            while (now < frame) {
                now = std::max(now, wake_tick(now, frame, frame, done ? frame : side, guard));
                if (now < frame && now >= side && !done && side_work_fits(now, frame, guard))
                    now += cost, ++done;
            }
            EXPECT_EQ(now, frame) << side << " " << cost;
            EXPECT_EQ(done, side + guard <= frame) << side;
            // Right after the frame, whatever was put off fits before the next one.
            EXPECT_TRUE(side_work_fits(frame + 3000, frame + 20000, guard));
        }
    // A frame already due or overdue has no schedule left to keep; none due, none to keep.
    EXPECT_TRUE(side_work_fits(frame, frame, guard) && side_work_fits(frame + 5, frame, guard));
    EXPECT_TRUE(side_work_fits(frame - 1, 0, guard));
    ticks2 = 1000000;
    interval = 20000;
    EXPECT_EQ(next_frame_tick(RunLimits{5, 0}, 4), frame);
    EXPECT_EQ(next_frame_tick(RunLimits{5, 0}, 5), 0u);
}

// The hybrid pace's margin on made-up overshoots, a thousand sleeps each:
// it settles just above the machine's own tail, never past its bounds.
TEST(Pacing, WakeMarginLearnsTheMachinesTail)
{
    struct Case {
        const char *machine;
        uint64_t interval, usual, tail, tail_every, lowest, highest;
    } cases[] = {
        {"always 50 late", 20000, 50, 50, 1, 100, 150},
        {"a 1% tail of 1 ms", 20000, 50, 1000, 100, 1001, 1100},
        {"the same tail, a short interval", 1200, 50, 1000, 100, 600, 600},
        {"a 50 ms stall twice", 20000, 50, 50000, 500, 100, 150},
        {"stalls of 5 ms, 3 ms at most", 20000, 50, 5000, 20, 3000, 3000},
    };
    for (const Case &c : cases) {
        WakeMargin margin(c.interval);
        EXPECT_EQ(margin.margin_us(), std::min<uint64_t>(3000, c.interval / 2)) << c.machine;
        for (uint64_t i = 1; i <= 1000; ++i) {
            uint64_t target = i * c.interval;
            margin.slept(target, target + (i % c.tail_every ? c.usual : c.tail));
            margin.slept(target, target - 10);  // cut short by an event: not counted
        }
        EXPECT_GE(margin.margin_us(), c.lowest) << c.machine;
        EXPECT_LE(margin.margin_us(), c.highest) << c.machine;
        EXPECT_EQ(margin.overshoots().count(), 1000u) << c.machine;
        EXPECT_EQ(margin.overshoots().max(), c.tail) << c.machine;
    }
}

// Intervals just above the frame's own cost leave no moment between frames
// outside the guard: the work still runs within three frames of falling due,
// wherever between two frames it falls due; with room, within one.
TEST(Pacing, WorkThatCanWaitIsNeverStarved)
{
    const uint64_t cost = 1300, guard = 2000;
    for (uint64_t room : {100u, 500u, 999u, 1999u, 5000u})
        for (uint64_t phase = 0; phase < cost + room; phase += 97) {
            SideWork work;
            uint64_t frames = 0, due = 1000000 + phase, now = 1000000;
            bool done = false;
            for (uint64_t start = 1000000; !done && frames < 50; start += cost + room, ++frames)
                for (now = start + cost; !done && now < start + cost + room; now += 10)
                    done = now >= due && work.may_start(now, start + cost + room, guard, now == start + cost);
            EXPECT_LE(frames, room + cost >= guard + cost ? 2u : 4u) << room << " " << phase;
        }
}

// Runs a frame from `start` to the end of its swap at `end`; returns what it printed.
static std::string frame(uint64_t start, uint64_t end)
{
    static uint64_t previous_end = 0;
    CaptureStdout();
    begin_frame(start);
    end_frame(make_frame(totalcount + 1, start, end, 0, previous_end), interval);
    previous_end = end;
    return GetCapturedStdout();
}

// A frame's duration splits whole into time on a CPU, waiting for one and
// blocked, never negative, whatever the counters did; the wake-up's and the
// hold's queued parts are capped at how late it woke and how long it was held.
TEST(Accounts, AFrameSplitsWholeAndNeverNegative)
{
    struct Row {
        ThreadTimes previous_end, found_due, before_start, after_end;
        uint64_t duration_us, woke_late_us, held_us;
        FrameAccounts want;
    } rows[] = {
        {{0, 1000}, {50000, 401000}, {60000, 401000}, {2060000, 3401000}, 10000, 800, 0, {2000, 3000, 5000, 400, 0}},
        {{0, 0}, {0, 900000}, {0, 900000}, {0, 900000}, 5000, 300, 0, {0, 0, 5000, 300, 0}},      // capped at woke late
        {{0, 0}, {0, 0}, {0, 700000}, {0, 700000}, 5000, 0, 20000, {0, 0, 5000, 0, 700}},         // waited once released
        {{0, 0}, {0, 0}, {0, 700000}, {0, 700000}, 5000, 0, 400, {0, 0, 5000, 0, 400}},           // capped at held
        {{0, 0}, {0, 500000}, {0, 700000}, {0, 700000}, 5000, 600, 9000, {0, 0, 5000, 500, 200}}, // waits before due are the wake-up's
        {{0, 0}, {0, 0}, {9000000, 0}, {0, 8000000}, 5000, 0, 0, {0, 5000, 0, 0, 0}},             // CPU went backwards
        {{0, 0}, {0, 0}, {0, 0}, {4000000, 3000000}, 5000, 0, 0, {4000, 1000, 0, 0, 0}},          // reads' own cost, capped
        {{0, 5000000}, {0, 1000}, {0, 1000}, {0, 1000}, 2000, 2000, 0, {0, 0, 2000, 0, 0}},       // run queue went backwards
    };
    for (const Row &r : rows) {
        FrameAccounts a = split_frame(r.previous_end, r.found_due, r.before_start, r.after_end, r.duration_us,
                                      r.woke_late_us, r.held_us);
        auto all = [](const FrameAccounts &x) {
            return std::vector<uint64_t>({x.on_cpu_us, x.run_queue_us, x.blocked_us, x.woke_queued_us, x.held_queued_us});
        };
        EXPECT_EQ(all(a), all(r.want)) << r.duration_us << " " << r.woke_late_us << " " << r.held_us;
    }
    EXPECT_EQ(parse_run_queue_ns("123456 7890 42\n"), 7890u);
    for (const char *none : {"0 0 0\n", "", "123 abc 4\n", "123 456"})  // no accounts, or not schedstat's text
        EXPECT_FALSE(parse_run_queue_ns(none)) << none;
    EXPECT_EQ(parse_steal_us("cpu  10 0 20 300 4 0 1 250 0 0\ncpu0 5\n", 100), 2500000u);
    EXPECT_FALSE(parse_steal_us("cpu  10 0 20 300\n", 100));  // a kernel without the steal field
    EXPECT_FALSE(parse_steal_us("intr 10 0 20 300 4 0 1 250\n", 100));
}

TEST(FrameStats, LinesOnStrictlyNewMaximaAfterTheWarmUp)
{
    interval = 400;
    for (uint64_t i = 1; i <= warmup_frames + 1; ++i)  // warm-up, then the first reference tick
        EXPECT_EQ(frame(i * 1000, i * 1000 + 100), "");
    // A first sample over 268 s is its own minimum.
    EXPECT_EQ(frame(21200, 300021200), "deltaTick:300000100 deltaMin:300000100 deltaMax:300000100 deltaCount:1\n"
                                       "curElapsed:300000000 minElapsed:300000000 maxElapsed:300000000 elapsedCount:1\n");
    deltaMax = maxElapsed = 0;
    const uint64_t p = 300021200;
    EXPECT_EQ(frame(p + 850, p + 1000), "deltaTick:1000 deltaMin:1000 deltaMax:1000 deltaCount:2\n"
                                        "curElapsed:150 minElapsed:150 maxElapsed:150 elapsedCount:2\n");
    EXPECT_STREQ(system_time, "300022050");
    EXPECT_EQ(frame(p + 1850, p + 2000), "");  // equal: silent
    EXPECT_EQ(frame(p + 2500, p + 2600), "");  // smaller: new minima, silent
    EXPECT_EQ(frame(p + 2700, p + 3600), "curElapsed:900 minElapsed:100 maxElapsed:900 elapsedCount:3\n");
    EXPECT_EQ(frame(p + 5500, p + 5550), "deltaTick:1950 deltaMin:600 deltaMax:1950 deltaCount:3\n");
    EXPECT_EQ(frame_figures().interval.count(), 6u);
    EXPECT_EQ(frame_figures().late, 5u);  // all but the 600, exactly 1.5 times 400
    EXPECT_EQ(totalcount, 27u);
}

TEST(FpsTitle, ExactBytesAndTheStrictSecond)
{
    char buf[256];
    format_title(buf, sizeof buf, 1, 5000, 1234, 16.6667f);
    EXPECT_STREQ(buf, "High Resolution Timer(VSYNC:On, Interval(\xce\xbcs):5000, FPS:1234, Elapsed(ms):16.667)");
    vsync_on = 0;
    interval = 100000;
    ASSERT_TRUE(fps_frame(5000000000, 2.0f));  // the first frame always updates
    EXPECT_STREQ(fps, "High Resolution Timer(VSYNC:Off, Interval(\xce\xbcs):100000, FPS:001, Elapsed(ms):2.000)");
    EXPECT_FALSE(fps_frame(5000500000, 2.0f));
    EXPECT_FALSE(fps_frame(5001000000, 2.0f));  // exactly one second: not yet
    ASSERT_TRUE(fps_frame(5001000001, 3.0f));
    EXPECT_NE(std::string(fps).find("FPS:003, Elapsed(ms):3.000)"), std::string::npos) << fps;
}

// Made-up presses: each is answered once, by the first frame to start after
// it arrived, and timed from its own injection, told by its key: a press
// that never arrives is lost alone, and the user's own key takes no stamp.
TEST(Input, EachPressIsAnsweredOnceAndTimedToItsFramesPresent)
{
    InputLatency in(false, true);
    in.injected(1000, 0);
    EXPECT_EQ(in.answer(1500), 0u);  // sent but not yet arrived
    in.arrived(1800, 0);
    in.injected(1900, 1);
    in.arrived(2100, 1);
    EXPECT_EQ(in.answer(2500), 1000u);  // both, by one frame
    in.swapped(Frame{3, 2, 2500, 3000, 103000});  // its swap ended at 3000, 103000 on CLOCK_MONOTONIC
    in.injected(3200, 2);  // never arrives
    in.injected(4000, 3);
    in.arrived(4050, user_key);
    in.arrived(4100, 3);  // 100 after its own injection, not 900 after the lost one's
    EXPECT_EQ(in.answer(4500), 4000u);
    in.presented(2, 110000);
    in.swapped(Frame{4, 3, 4500, 5000, 105000});
    in.held();
    for (uint64_t stamp : {6000, 7000, 8000})
        in.injected(stamp, int(stamp / 1000 - 6));  // keys 0, 1 and 2: the first two never arrive
    in.arrived(8100, 2);  // the lost press of key 2 is given up now
    InputFigures f = in.figures();
    EXPECT_EQ((std::vector<uint64_t>{f.events, f.injected, f.answered, f.lost, f.held}),
              (std::vector<uint64_t>{5, 7, 3, 4, 1}));
    EXPECT_EQ((std::vector<uint64_t>{f.to_arrival.min(), f.to_arrival.max(), f.to_frame_start.min(),
                                     f.to_frame_start.max(), f.to_swap_end.min(), f.to_swap_end.max()}),
              (std::vector<uint64_t>{100, 800, 500, 1500, 1000, 2000}));
    EXPECT_EQ((std::vector<uint64_t>{f.to_present.count(), f.to_present.min(), f.to_present.max()}),
              (std::vector<uint64_t>{2, 8100, 9000}));
    // Presses fall at a uniform phase of the frames: over 60 of them, every quarter of the period holds
    // some, each three to four periods after the last.
    PressSchedule schedule(20261209);
    std::vector<int> quarters(4);
    for (uint64_t i = 0, t = 1000000; i < 60; ++i) {
        uint64_t next = schedule.after(t, 20000);
        EXPECT_TRUE(next >= t + 60000 && next < t + 80000);
        ++quarters[(next % 20000) / 5000];
        t = next;
    }
    EXPECT_EQ(std::count(quarters.begin(), quarters.end(), 0), 0) << testing::PrintToString(quarters);
    // Without injection, every press is the user's, timed from its arrival.
    InputLatency listening(true, false);
    listening.arrived(100, user_key);
    EXPECT_EQ(listening.answer(300), 100u);
}
