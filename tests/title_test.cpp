// The frame-rate title as the X server holds it.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "fps_title.h"
#include "program_run.h"

namespace {

struct Title {
    std::string vsync;
    int interval = -1, fps = -1;
};

// Reads the values back from a title; empty unless the text is exactly
// what the same values format to.
Title parse(const std::string &text)
{
    char vsync[4] = "";
    int interval_us, frames;
    float elapsed_ms;
    if (sscanf(text.c_str(), "High Resolution Timer(VSYNC:%3[nOf], Interval(\xce\xbcs):%d, FPS:%d, Elapsed(ms):%f)",
               vsync, &interval_us, &frames, &elapsed_ms) != 4)
        return {};
    char expected[256];
    format_title(expected, sizeof expected, std::string(vsync) == "On", interval_us, frames, elapsed_ms);
    if (text != expected)
        return {};
    return {vsync, interval_us, frames};
}

// Waits for a title update past the first (which always counts one frame) and parses it.
Title settled_title(const std::vector<std::string> &args)
{
    ProgramRun run(args);
    XProbe x;
    Window w = x.find("High Resolution Timer", 30);
    Title t;
    std::string first;
    for (int i = 0; w && i < 100 && t.fps == -1; ++i, usleep(100000)) {
        std::string text = x.title(w);
        if (parse(text).fps == -1)
            continue;
        if (first.empty())
            first = text;
        else if (text != first)
            t = parse(text);
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
