#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "backend/table.h"
#include "options.h"

using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;

// A command line as main() gets it, the program's name first.
struct CommandLine {
    explicit CommandLine(const std::vector<std::string> &args) : words{"quorvel"}
    {
        words.insert(words.end(), args.begin(), args.end());
        for (auto &w : words)
            argv.push_back(w.data());
        argv.push_back(nullptr);
    }
    int argc() const { return static_cast<int>(words.size()); }

    std::vector<std::string> words;
    std::vector<char *> argv;
};

TEST(Options, CommandLines)
{
    struct Case {
        std::vector<std::string> args;
        std::string out, err;
        int32_t interval;
        int vsync, help;
        bool ok;
    } const cases[] = {
        {{}, "", "", 100000, 0, 0, true},
        {{"-v", "5000"}, "interval:5000\n", "", 5000, 1, 0, true},
        {{"5000", "-v"}, "interval:5000\n", "", 5000, 1, 0, true},  // arguments are permuted
        {{"-hv", "5000x"}, "interval:5000x\n", "", 5000, 1, 1, true},
        {{"abc"}, "interval:abc\n", "", 100000, 0, 0, true},
        {{"5000", "6000"}, "", "", 100000, 0, 0, true},  // more than one: none is used
        {{"-5", "-x", "--unknown"}, "", "", 100000, 0, 0, true},  // unknown options are ignored
        {{"--", "-1"}, "interval:-1\n", "quorvel: interval -1 is negative; using 0\n", 0, 0, 0, true},
        {{"99999999999"}, "interval:99999999999\n", "quorvel: interval 99999999999 is too large; using 2147483647\n",
         2147483647, 0, 0, true},
        {{"--", "-99999999999999999999999"}, "interval:-99999999999999999999999\n",
         "quorvel: interval -99999999999999999999999 is negative; using 0\n", 0, 0, 0, true},
        {{"--frames", "7", "300", "--summary", "--pace=hybrid"}, "interval:300\n", "", 300, 0, 0, true},
        {{"--frames=1e3", "-v"}, "", "quorvel: --frames needs a whole number of frames above 0, not '1e3'\n",
         100000, 1, 0, false},
        // Injected presses come after the warm-up, and must fit in the run.
        {{"--inject", "0"}, "", "quorvel: --inject needs a whole number of presses above 0, not '0'\n", 100000, 0, 0, false},
        {{"--frames=40", "--inject", "5", "20000"}, "interval:20000\n", "quorvel: --inject 5 needs --frames of at least 41\n",
         20000, 0, 0, false},
        {{"--duration=1", "--inject=10", "50000"}, "interval:50000\n",
         "quorvel: --inject 10 needs --duration of at least 3.050 at this interval\n", 50000, 0, 0, false},
        // GLUT's options go to glutInit whole, wherever they stand.
        {{"5000", "-display", ":1", "--frames", "30", "-iconic"}, "interval:5000\n", "", 5000, 0, 0, true},
    };
    std::vector<std::string> glut;  // of the last case
    Settings settings;
    for (const Case &c : cases) {
        interval = 100000;
        vsync_on = show_help = 0;
        CommandLine line(c.args);
        CaptureStdout();
        CaptureStderr();
        Settings parsed = parse_options(line.argc(), line.argv.data());
        glut.assign(parsed.window_system_args.begin(), parsed.window_system_args.end());
        if (c.args.size() == 5)
            settings = parsed;
        SCOPED_TRACE(testing::PrintToString(c.args));
        EXPECT_EQ(GetCapturedStdout(), c.out);
        EXPECT_EQ(GetCapturedStderr(), c.err);
        EXPECT_EQ(parsed.ok, c.ok);
        EXPECT_EQ(interval, c.interval);
        EXPECT_EQ(vsync_on, c.vsync);
        EXPECT_EQ(show_help, c.help);
    }
    EXPECT_EQ(glut, (std::vector<std::string>{"-display", ":1", "-iconic"}));
    // Each window system gets its own options alone.
    std::vector<char *> taken;
    for (std::string &word : glut)
        taken.push_back(word.data());
    EXPECT_EQ(own_options(*choose_backend("x11", getenv), taken).size(), 3u);
    EXPECT_TRUE(own_options(*choose_backend("wayland", getenv), taken).empty());
    EXPECT_EQ(settings.frame_limit, 7u);
    EXPECT_TRUE(settings.pace == Pace::hybrid && settings.summary);
}

// --winsys auto picks X11 wherever DISPLAY is
// set, and wherever neither is; Wayland where only WAYLAND_DISPLAY is. A
// name wins over the environment; offscreen is never guessed.
TEST(Options, TheBackendChoice)
{
    struct Case {
        const char *asked, *display, *wayland, *chosen;
    } const cases[] = {
        {"auto", ":0", nullptr, "x11"},         {"auto", nullptr, "wayland-0", "wayland"},
        {"auto", ":0", "wayland-0", "x11"},     {"auto", nullptr, nullptr, "x11"},
        {"auto", "", "wayland-0", "wayland"},   {"auto", "", "", "x11"},
        {"wayland", ":0", nullptr, "wayland"},  {"x11", nullptr, "wayland-0", "x11"},
        {"offscreen", ":0", "wayland-0", "offscreen"}, {"mir", ":0", nullptr, nullptr},
    };
    for (const Case &c : cases) {
        auto env = [&c](const char *name) { return std::string(name) == "DISPLAY" ? c.display : c.wayland; };
        const BackendRow *row = choose_backend(c.asked, env);
        EXPECT_STREQ(row ? row->name : nullptr, c.chosen) << c.asked << " " << (c.display ? c.display : "-") << " "
                                                          << (c.wayland ? c.wayland : "-");
    }
}

// --version, --help and --winsys list are answered before any run, read as
// the run's options are: the first of them wins, a value is no option.
TEST(Options, EarlyRequests)
{
    struct Case {
        std::vector<std::string> args;
        Request asked;
    } const cases[] = {
        {{"-h", "5000"}, Request::run},          {{"5000", "--help"}, Request::help},
        {{"--he"}, Request::help},               {{"--log", "--help"}, Request::run},
        {{"--", "--help"}, Request::run},        {{"--winsys", "list"}, Request::list_backends},
        {{"--winsys=x11"}, Request::run},        {{"--winsys=list", "--version"}, Request::list_backends},
        {{"--version", "--help"}, Request::version}, {{"-display", ":1", "--help"}, Request::help},
    };
    for (const Case &c : cases) {
        CommandLine line(c.args);
        EXPECT_EQ(early_request(line.argc(), line.argv.data()), c.asked) << testing::PrintToString(c.args);
    }
}
