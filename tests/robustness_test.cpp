// The built program under hostile input: random command lines, odd data
// files and window sizes. It may refuse, but never crash.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>

#include <random>
#include <string>
#include <vector>

#include "program_run.h"
#include "temp_dir.h"

namespace {

const std::string banner = "\nquorvel is running...\n";

// Stops a run if it is still going and checks that it neither crashed nor
// printed anything before its banner.
void expect_clean_end(ProgramRun &run, const std::string &what)
{
    int status = run.stop(SIGTERM);
    EXPECT_TRUE(WIFEXITED(status) || WTERMSIG(status) == SIGTERM)
        << what << ": died of signal " << WTERMSIG(status) << "\n" << run.err;
    EXPECT_EQ(run.out.rfind(banner, 0), 0u) << what << ": " << run.out;
}

std::string random_argument(std::mt19937 &rng)
{
    static const std::vector<std::string> pieces = {
        "-v", "-h", "-vh", "--", "-", "-x", "-5", "0", "1", "5000", "-2147483648",
        "2147483647", "99999999999999999999", "+12", " 42", "abc", "5000x", "\xce\xbc",
        "\xff\xfe", "%s%n%d", "-display", "-geometry", "1x1+0+0", ""};
    std::uniform_int_distribution<size_t> pick(0, pieces.size());
    size_t i = pick(rng);
    if (i < pieces.size())
        return pieces[i];
    return std::string(20000, char('0' + rng() % 10));  // very long
}

}  // namespace

TEST(Robustness, RandomCommandLines)
{
    std::mt19937 rng(20261206);
    for (int i = 0; i < 24; ++i) {
        std::vector<std::string> args(rng() % 4);
        std::string line;
        for (auto &a : args) {
            a = random_argument(rng);
            line += " '" + a.substr(0, 40) + "'";
        }
        ProgramRun run(args);
        run.wait_for("\n", 5);
        usleep(300000);
        expect_clean_end(run, "quorvel" + line);
    }
}

TEST(Robustness, EmptyAndOversizedShadersAreCompileErrors)
{
    // Cut at 16 MiB, the long file is one unfinished comment: no main().
    std::string huge = "// " + std::string(16 * 1024 * 1024 + 100, 'x');
    for (const std::string &vertex : {std::string(), huge}) {
        TempDir dir;
        ASSERT_EQ(std::system(("cp " QUORVEL_DATA_DIR "/* " + dir.path).c_str()), 0);
        dir.write("text.v.glsl", vertex);
        ProgramRun run({}, {}, dir.path);
        EXPECT_EQ(run.wait_exit(60), 0) << run.err;
        EXPECT_EQ(run.err.rfind("text.v.glsl:", 0), 0u) << run.err.substr(0, 200);
    }
}

TEST(Robustness, ResizingKeepsFramesComing)
{
    ProgramRun run({"0"});
    XProbe x;
    Window w = x.find("High Resolution Timer", 30);
    ASSERT_NE(w, 0u) << run.err;
    for (auto size : {std::pair{1, 1}, {2000, 1500}, {1, 600}, {300, 1}, {640, 480}}) {
        x.resize(w, size.first, size.second);
        std::string before = x.title(w);
        bool changed = false;
        for (int i = 0; i < 50 && !changed; ++i, usleep(100000))
            changed = x.title(w) != before;
        EXPECT_TRUE(changed) << "no frames at " << size.first << "x" << size.second;
    }
    expect_clean_end(run, "resized");
}
