// The report's fingerprint from made-up hosts and displays.
#include <gtest/gtest.h>

#include <fstream>

#include "fingerprint.h"

TEST(Fingerprint, HostTextsAreReadAsTheKernelWritesThem)
{
    EXPECT_EQ(cpu_model("processor\t: 0\nvendor_id\t: X\nmodel name\t: Some CPU @ 2.0GHz\nmodel name\t: other\n"),
              "Some CPU @ 2.0GHz");
    EXPECT_EQ(cpu_model("processor\t: 0\nmodel\t\t: 85\n"), "");  // no model name, as on some ARM kernels
    EXPECT_EQ(cpu_model("model name\t:\n"), "");
    EXPECT_EQ(utc_iso8601(0), "1970-01-01T00:00:00Z");
    EXPECT_EQ(utc_iso8601(1700000000), "2023-11-14T22:13:20Z");
    // Directories of runs pair by host: the machine's own name, as its kernel keeps it, not the kernel's.
    auto line = [](const char *path) { std::string s; std::getline(std::ifstream(path), s); return s; };
    HostFacts here = read_host_facts();
    EXPECT_EQ(here.host, line("/proc/sys/kernel/hostname"));
    EXPECT_EQ(here.kernel, line("/proc/sys/kernel/osrelease"));
}

TEST(Fingerprint, SaysWhatTheWindowSystemToldAndNullWhatItDidNot)
{
    HostFacts host;
    host.host = "lab7", host.kernel = "6.1.0", host.cores = 2, host.load[0] = 0.5;
    RunFigures run;
    run.gl_renderer = "llvmpipe";
    run.display.system.identity.window_system = "x11", run.display.system.identity.server = "Xvfb";
    run.display.system.identity.facts = {"The X.Org Foundation 12101007", {}, "screen", 1600, 1024};
    run.display.refresh_hz = 60;
    nlohmann::json x11 = fingerprint_json(host, {"quorvel", "-v", "0"}, run);
    EXPECT_EQ(x11["report_format"], report_format);
    EXPECT_EQ(x11["command_line"], nlohmann::json({"quorvel", "-v", "0"}));
    EXPECT_EQ(x11["server"], nlohmann::json({{"name", "Xvfb"}, {"version", "The X.Org Foundation 12101007"}}));
    EXPECT_EQ(x11["output"], nlohmann::json({{"name", "screen"}, {"size", {1600, 1024}}, {"scale", 1.0},
                                              {"refresh_hz", 60.0}}));
    EXPECT_EQ(x11["load_average"], nlohmann::json({0.5, nullptr, nullptr}));
    EXPECT_TRUE(x11["cpu_model"].is_null() && x11["started_utc"].is_null());

    run.display.system.identity.facts = {"", {"wl_compositor", "weston_capture_v1"}, "", 0, 0};
    run.display.refresh_hz = 0, run.display.system.identity.output_refresh_hz = 59.9;  // the output's mode, no feedback
    nlohmann::json wayland = fingerprint_json(host, {}, run);
    EXPECT_EQ(wayland["server"]["globals"], nlohmann::json({"wl_compositor", "weston_capture_v1"}));
    EXPECT_TRUE(wayland["server"]["version"].is_null() && wayland["output"]["size"].is_null());
    EXPECT_EQ(wayland["output"]["refresh_hz"], 59.9);

    EXPECT_FALSE(report_json(figure_list(run)).contains("fingerprint"));  // a report without one is as it was
    run.fingerprint = wayland;
    EXPECT_EQ(report_json(figure_list(run))["fingerprint"], wayland);
}
