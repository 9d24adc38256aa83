// The frame-rate title as the X server holds it.
#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "program_run.h"

namespace {

struct Title {
    std::string vsync;
    int interval = -1, fps = -1;
};

// Waits for a title update past the first (which always counts one frame) and parses it.
Title settled_title(const std::vector<std::string> &args)
{
    ProgramRun run(args);
    XProbe x;
    Window w = x.find("High Resolution Timer", 30);
    static const std::regex format(
        "High Resolution Timer\\(VSYNC:(On|Off), Interval\\(\xce\xbcs\\):(-?\\d+), "
        "FPS:(\\d{3,}), Elapsed\\(ms\\):\\d+\\.\\d{3}\\)");
    Title t;
    std::string first;
    for (int i = 0; w && i < 100; ++i, usleep(100000)) {
        std::string text = x.title(w);
        std::smatch m;
        if (!std::regex_match(text, m, format))
            continue;
        if (first.empty())
            first = text;
        else if (text != first) {
            t = {m[1], std::stoi(m[2]), std::stoi(m[3])};
            break;
        }
    }
    EXPECT_NE(t.fps, -1) << "title never settled: " << (w ? x.title(w) : "no window");
    return t;
}

}  // namespace

TEST(Title, DefaultsShowVsyncOffAndAboutTenFrames)
{
    Title t = settled_title({});
    EXPECT_EQ(t.vsync, "Off");
    EXPECT_EQ(t.interval, 100000);
    EXPECT_GE(t.fps, 7);
    EXPECT_LE(t.fps, 11);
}

TEST(Title, VsyncOnAndAboutFiftyFramesAtTwentyMilliseconds)
{
    Title t = settled_title({"-v", "20000"});
    EXPECT_EQ(t.vsync, "On");
    EXPECT_EQ(t.interval, 20000);
    EXPECT_GE(t.fps, 30);
    EXPECT_LE(t.fps, 51);
}
