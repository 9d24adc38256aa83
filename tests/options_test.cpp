#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "options.h"

using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;

namespace {

struct Case {
    std::vector<std::string> args;
    std::string out, err;
    int32_t interval;
    int vsync, help;
    bool ok = true;
};

const Case cases[] = {
    {{}, "", "", 100000, 0, 0},
    {{"-v", "5000"}, "interval:5000\n", "", 5000, 1, 0},
    {{"5000", "-v"}, "interval:5000\n", "", 5000, 1, 0},  // arguments are permuted
    {{"-hv"}, "", "", 100000, 1, 1},
    {{"5000x"}, "interval:5000x\n", "", 5000, 0, 0},
    {{"abc"}, "interval:abc\n", "", 100000, 0, 0},
    {{"5000", "6000"}, "", "", 100000, 0, 0},  // more than one: none is used
    {{"-5"}, "", "", 100000, 0, 0},            // an unknown option letter
    {{"-x", "--unknown", "-v"}, "", "", 100000, 1, 0},
    {{"--", "-1"}, "interval:-1\n", "quorvel: interval -1 is negative; using 0\n", 0, 0, 0},
    {{"99999999999"}, "interval:99999999999\n",
     "quorvel: interval 99999999999 is too large; using 2147483647\n", 2147483647, 0, 0},
    {{"--", "-99999999999999999999999"}, "interval:-99999999999999999999999\n",
     "quorvel: interval -99999999999999999999999 is negative; using 0\n", 0, 0, 0},
    {{"--frames", "7", "300", "--summary"}, "interval:300\n", "", 300, 0, 0},
    {{"--frames=1e3", "-v"}, "", "quorvel: --frames needs a whole number of frames above 0, not '1e3'\n",
     100000, 1, 0, false},
    {{"--duration", "0"}, "", "quorvel: --duration needs a number of seconds above 0, not '0'\n",
     100000, 0, 0, false},
};

}  // namespace

TEST(Options, CommandLines)
{
    for (const Case &c : cases) {
        interval = 100000;
        vsync_on = show_help = summary_on = 0;
        frame_limit = 0;
        std::vector<std::string> words{"quorvel"};
        words.insert(words.end(), c.args.begin(), c.args.end());
        std::vector<char *> argv;
        for (auto &w : words)
            argv.push_back(w.data());
        argv.push_back(nullptr);
        CaptureStdout();
        CaptureStderr();
        bool ok = parse_options(static_cast<int>(words.size()), argv.data());
        std::string out = GetCapturedStdout(), err = GetCapturedStderr();

        SCOPED_TRACE(testing::PrintToString(c.args));
        EXPECT_EQ(out, c.out);
        EXPECT_EQ(err, c.err);
        EXPECT_EQ(ok, c.ok);
        EXPECT_EQ(interval, c.interval);
        EXPECT_EQ(vsync_on, c.vsync);
        EXPECT_EQ(show_help, c.help);
    }
    EXPECT_EQ(frame_limit, 0u);
    char *argv[] = {(char *)"q", (char *)"--frames", (char *)"7", (char *)"--duration", (char *)"2.5",
                    (char *)"--pace", (char *)"hybrid", (char *)"--log", (char *)"l", (char *)"--summary",
                    nullptr};
    ASSERT_TRUE(parse_options(10, argv));
    EXPECT_EQ(frame_limit, 7u);
    EXPECT_EQ(duration_limit, 2.5);
    EXPECT_EQ(pace, Pace::hybrid);
    EXPECT_STREQ(log_path, "l");
    EXPECT_EQ(summary_on, 1);
}

TEST(Options, UsageText)
{
    char name[] = "./quorvel";
    char *argv[] = {name, nullptr};
    CaptureStdout();
    usage(1, argv);
    std::string text = GetCapturedStdout();
    EXPECT_EQ(text.substr(0, text.find("Long options:")),
              "Usage: ./quorvel [-vh] [interval]\n"
              "    -v: enable vsync on.\n"
              "    -h: show usage.\n"
              "Example:\n"
              "Set Interval 5000\xce\xbcs and vsync on: quorvel -v 5000\n"
              "Set Interval 5000\xce\xbcs and vsync off: quorvel 5000\n");
    for (const char *option : {"--frames N", "--duration SECONDS", "--log FILE", "--summary",
                               "--report FILE", "--pace busy|hybrid"})
        EXPECT_NE(text.find(std::string("\n    ") + option + ": "), std::string::npos) << option;
}
