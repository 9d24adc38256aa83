// The summary and the report of made-up runs, one for each kind of window
// system, byte for byte against tests/golden: the frames, presents, vblanks,
// presses, CPU time and GL strings are fixed, so the same bytes must come.
// Each case's file keeps both on one line, as JSON; QUORVEL_GOLDEN_RECORD=1
// writes the files anew, for a deliberate change.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <utility>

#include "display_watch.h"
#include "figures.h"

namespace {

struct Case {
    const char *name;
    DisplayDescription system;
    int32_t interval_us;
    bool vsync;
    const char *pace;
    uint64_t frames, step_us;  // drawn, warm-up included, and the pace of their swap ends
    uint64_t refresh_us;       // the display's; 0 where it shows nothing
    bool presents, presses;
    bool accounts;      // the kernel keeps accounts of the main thread
    int64_t stolen_us;  // the host's steal over the run; below 0 where the kernel reports none
};

// Frames `step_us` apart with a late one every 37th and a stutter every
// 89th; where a present comes, at the first refresh after the swap, two
// refreshes late every 41st, and on a compositor discarded every 53rd.
RunFigures run(const Case &c)
{
    const uint64_t t0 = 5000000, raw = 1234567;  // CLOCK_MONOTONIC_RAW runs this far behind
    const bool compositor = c.system.can.feedback == Feedback::per_frame, holds = c.system.can.in_flight_limit > 0;
    RunFigures r;
    r.interval_us = c.interval_us, r.vsync_requested = c.vsync, r.pace = c.pace;
    r.gl_renderer = "llvmpipe (LLVM 15.0.6, 256 bits)", r.gl_vendor = "Mesa", r.gl_version = "4.5 Mesa 22.3.6";
    r.cpu_main_thread_s = 0.0625 * double(c.frames) / 100, r.cpu_process_s = 3 * r.cpu_main_thread_s;
    r.sleeps.hybrid = r.pace == "hybrid", r.sleeps.margin_us = r.sleeps.hybrid ? 250 + c.step_us / 100 : 0;
    DisplayWatch watch(c.system);
    InputLatency input(false, c.presses);
    uint64_t previous = 0, vblanks = 0, presses = 0, behind = 0;
    for (uint64_t n = 1; n <= c.frames; ++n) {
        uint64_t late = n % 89 == 0 ? 2 * c.step_us : n % 37 == 0 ? c.step_us * 4 / 5 : 0;
        behind += late;
        uint64_t end = t0 + n * c.step_us + behind + n % 7 * 90, start = end - 1500 - n % 13 * 70;
        for (; c.system.can.feedback == Feedback::vblank_clock && t0 + vblanks * c.refresh_us <= end; ++vblanks)
            watch.vblank(1000 + vblanks, t0 + vblanks * c.refresh_us);
        if (c.presses && n > 21 && n % 10 == 0) {
            int key = int(presses++ % 4);
            input.injected(start - raw - 3000, key);
            if (presses % 3)
                input.arrived(start - raw - 2000 + n, key);
        }
        if (c.presses && n == 150)
            input.held(), input.arrived(start - raw - 500, user_key);
        input.answer(start - raw);
        if (r.sleeps.hybrid)
            r.sleeps.overshoot.add(40 + n % 17 * 13);  // a sleep before each frame
        Frame f = make_frame(n, start - raw, end - raw, end, std::exchange(previous, end) - raw);
        f.id = n, f.held_us = holds && late > 1000 ? late / 2 : 0, f.woke_late_us = late > 1000 ? late / 4 : 0;
        if (c.accounts)
            f.accounts = split_frame({}, {0, f.woke_late_us * 600}, {n * 10000, 0},
                                     {n * 10000 + f.duration_us * 600, late * 20}, f.duration_us, f.woke_late_us,
                                     f.held_us);
        input.swapped(f);
        if (f.measured)
            add_frame(r.frames, c.interval_us, f);
        watch.frame(f);
        if (!c.presents)
            continue;
        uint64_t cycle = (end - t0 + c.refresh_us - 1) / c.refresh_us + (n % 41 == 0 ? 2 : 0);
        Presentation p{t0 + cycle * c.refresh_us, 1000 + cycle, compositor ? mode_copy : mode_flip, 0, 0, n};
        if (compositor)
            p.flags = flag_vsync | flag_hw_clock | (n % 3 ? unsigned(flag_hw_completion) : 0u), p.refresh_ns = c.refresh_us * 1000;
        if (n % 53 == 0)
            p = compositor ? Presentation{0, 0, mode_skip, 0, 0, n} : Presentation{p.ust_mono, p.msc, mode_skip, 0, 0, n};
        watch.presented(&f, p);
        if (p.mode != mode_skip)
            input.presented(n, p.ust_mono);
    }
    r.display = watch.figures(r.frames, c.interval_us);
    // A compositor scales the window and may be asked not to wait for vsync.
    if (c.system.identity.window_system == "wayland")
        r.display.window = {compositor ? 2 : 1.5, !c.vsync};
    r.input = input.figures();
    if (c.stolen_us >= 0)
        r.stolen_us = uint64_t(c.stolen_us);
    return r;
}

// The window systems as their backends describe them: identity, capabilities, wording.
DisplayDescription x11(const char *server, bool swap_control)
{
    return {{"x11", server, "", 0, true, {}}, {Feedback::vblank_clock, false, 0, swap_control, false, ""},
            {false, "", false, "Present vblank clock", "none reported by the X server for this window"}};
}

DisplayDescription wayland(const char *server, bool presentation)
{
    return {{"wayland", server, presentation ? "CLOCK_MONOTONIC" : "", presentation ? 60 : 143.998, false, {}},
            {presentation ? Feedback::per_frame : Feedback::none, true, 1, true, !presentation,
             "--inject on Wayland needs a uinput keyboard, which this build does not make"},
            {true, "", true, "Wayland compositor, wp_presentation",
             presentation ? "none reported by the compositor for this window"
                          : "none: the compositor gives no presentation feedback (no wp_presentation)"}};
}

std::vector<Case> cases()
{
    DisplayDescription xwayland = x11("Xwayland", true);
    xwayland.identity.window_system = "xwayland";
    xwayland.words = {true, "Xwayland's vblank clock and presents imitate the compositor's; --winsys wayland "
                      "measures the compositor itself", false, "Present vblank clock", "none"};
    DisplayDescription offscreen{{"offscreen", "none", "", 0, false, {}},
                                 {Feedback::none, false, 0, false, false, "--inject offscreen: there is no window to press keys on"},
                                 {true, "", false, "", "none: offscreen, nothing is shown"}};
    return {
        {"x11_xvfb", x11("Xvfb", false), 20000, false, "hybrid", 240, 20000, 16667, false, false, true, 1234},
        {"xwayland_presses", xwayland, 16667, true, "hybrid", 200, 16667, 16667, true, true, false, -1},
        {"wayland", wayland("weston", true), 16000, true, "hybrid", 200, 16667, 16667, true, false, true, 0},
        {"wayland_short", wayland("KWin", false), 16667, false, "hybrid", 15, 16667, 0, false, false, false, -1},
        {"offscreen", offscreen, 0, false, "busy", 120, 1000, 0, false, false, true, -1},
    };
}

}  // namespace

TEST(Golden, SummaryAndReportOfEachWindowSystem)
{
    for (const Case &c : cases()) {
        FigureList figures = figure_list(run(c));
        std::string path = std::string(QUORVEL_GOLDEN_DIR) + "/" + c.name + ".json";
        if (getenv("QUORVEL_GOLDEN_RECORD"))
            std::ofstream(path, std::ios::binary)
                << nlohmann::json{{"summary", summary_text(figures)}, {"report", report_json(figures)}}.dump() << "\n";
        nlohmann::json kept = nlohmann::json::parse(std::ifstream(path, std::ios::binary));
        EXPECT_EQ(summary_text(figures), kept["summary"].get<std::string>()) << c.name;
        // The report's file holds the same JSON, indented.
        EXPECT_EQ(report_text(figures), kept["report"].dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n")
            << c.name;
    }
}
