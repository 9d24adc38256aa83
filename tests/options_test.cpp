#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <vector>

#include "options.h"

using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;

namespace {

struct Parsed {
    std::string out, err;
};

// Parses a command line from a clean state and returns what it printed.
Parsed parse(std::initializer_list<const char *> args)
{
    interval = 100000;
    vsync_on = 0;
    show_help = 0;
    std::vector<std::string> words{"quorvel"};
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char *> argv;
    for (auto &w : words)
        argv.push_back(w.data());
    argv.push_back(nullptr);
    CaptureStdout();
    CaptureStderr();
    parse_options(static_cast<int>(words.size()), argv.data());
    Parsed p;
    p.out = GetCapturedStdout();
    p.err = GetCapturedStderr();
    return p;
}

}  // namespace

TEST(Options, NoArgumentsKeepTheDefaults)
{
    auto p = parse({});
    EXPECT_EQ(p.out, "");
    EXPECT_EQ(interval, 100000);
    EXPECT_EQ(vsync_on, 0);
    EXPECT_EQ(show_help, 0);
}

TEST(Options, VsyncAndIntervalInEitherOrder)
{
    for (auto p : {parse({"-v", "5000"}), parse({"5000", "-v"})}) {
        EXPECT_EQ(p.out, "interval:5000\n");
        EXPECT_EQ(interval, 5000);
        EXPECT_EQ(vsync_on, 1);
    }
}

TEST(Options, HelpAndVsyncCombine)
{
    parse({"-hv"});
    EXPECT_EQ(show_help, 1);
    EXPECT_EQ(vsync_on, 1);
}

TEST(Options, IntervalReadsTheLeadingInteger)
{
    auto p = parse({"5000x"});
    EXPECT_EQ(p.out, "interval:5000x\n");
    EXPECT_EQ(interval, 5000);

    p = parse({"abc"});
    EXPECT_EQ(p.out, "interval:abc\n");
    EXPECT_EQ(p.err, "");
    EXPECT_EQ(interval, 100000);
}

TEST(Options, TwoRemainingArgumentsAreBothIgnored)
{
    auto p = parse({"5000", "6000"});
    EXPECT_EQ(p.out, "");
    EXPECT_EQ(interval, 100000);
}

TEST(Options, UnknownLettersAreSilent)
{
    auto p = parse({"-5"});
    EXPECT_EQ(p.out, "");
    EXPECT_EQ(p.err, "");
    EXPECT_EQ(interval, 100000);

    p = parse({"-x", "-v"});
    EXPECT_EQ(p.err, "");
    EXPECT_EQ(vsync_on, 1);
}

TEST(Options, NegativeIntervalAfterDoubleDashBecomesZero)
{
    auto p = parse({"--", "-5"});
    EXPECT_EQ(p.out, "interval:-5\n");
    EXPECT_EQ(p.err, "quorvel: interval -5 is negative; using 0\n");
    EXPECT_EQ(interval, 0);
}

TEST(Options, OverflowingIntervalIsClampedNotTruncated)
{
    auto p = parse({"99999999999"});
    EXPECT_EQ(p.out, "interval:99999999999\n");
    EXPECT_EQ(p.err, "quorvel: interval 99999999999 is too large; using 2147483647\n");
    EXPECT_EQ(interval, 2147483647);

    parse({"--", "-99999999999999999999999"});
    EXPECT_EQ(interval, 0);
}

TEST(Options, UsageText)
{
    char name[] = "./quorvel";
    char *argv[] = {name, nullptr};
    CaptureStdout();
    usage(1, argv);
    EXPECT_EQ(GetCapturedStdout(),
              "Usage: ./quorvel [-vh] [interval]\n"
              "    -v: enable vsync on.\n"
              "    -h: show usage.\n"
              "Example:\n"
              "Set Interval 5000\xce\xbcs and vsync on: quorvel -v 5000\n"
              "Set Interval 5000\xce\xbcs and vsync off: quorvel 5000\n");
}
