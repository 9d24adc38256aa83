// The built program on a virtual X server: start-up, usage and statistics.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>

#include "program_run.h"

static const char banner[] = "\nquorvel is running...\n";

TEST(Startup, BannerThenIntervalEcho)
{
    ProgramRun run({"20000"});
    ASSERT_TRUE(run.wait_for("interval:", 10));
    run.stop(SIGTERM);
    EXPECT_EQ(run.out.rfind(std::string(banner) + "interval:20000\n", 0), 0u) << run.out;
}

TEST(Startup, HelpPrintsUsageAndTheWindowStillOpens)
{
    ProgramRun run({"-h"});
    XProbe x;
    EXPECT_NE(x.find("High Resolution Timer", 20), 0u);
    run.stop(SIGTERM);
    EXPECT_EQ(run.out.rfind(std::string(banner) +
                                "Usage: " QUORVEL_BIN " [-vh] [interval]\n"
                                "    -v: enable vsync on.\n"
                                "    -h: show usage.\n"
                                "Example:\n"
                                "Set Interval 5000\xce\xbcs and vsync on: quorvel -v 5000\n"
                                "Set Interval 5000\xce\xbcs and vsync off: quorvel 5000\n",
                            0),
              0u)
        << run.out;
}

TEST(Startup, StatisticsLinesSurviveSigterm)
{
    for (auto args : {std::vector<std::string>{"0"}, {"-v", "0"}}) {
        ProgramRun run(args);
        ASSERT_TRUE(run.wait_for("curElapsed:", 60)) << run.out << run.err;
        int status = run.stop(SIGTERM);
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM);
        EXPECT_EQ(run.out.back(), '\n');
        EXPECT_NE(run.out.find("\ndeltaTick:"), std::string::npos);
        EXPECT_EQ(run.err, "");
    }
}

TEST(Startup, NoOpenGL2IsReported)
{
    ProgramRun run({}, {"MESA_GL_VERSION_OVERRIDE=1.5"});
    int status = run.wait_exit(30);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1);
    EXPECT_EQ(run.err, "No support for OpenGL 2.0 found\n");
}

TEST(Startup, NoDisplayFailsWithAMessage)
{
    ProgramRun run({}, {"DISPLAY="});
    int status = run.wait_exit(30);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) != 0);
    EXPECT_NE(run.err.find("failed to open display"), std::string::npos) << run.err;
}
