// The report's fingerprint: what makes two runs comparable or not. The host
// is read at start; the GL, the window system and the output as the run
// ended with them. Built from plain inputs, so the tests feed it made-up ones.
#pragma once

#include <nlohmann/json.hpp>

#include <ctime>
#include <string>
#include <vector>

#include "figures.h"

// Readers of a report tell a newer format by this number.
constexpr int report_format = 1;

struct HostFacts {
    std::string host, kernel, cpu_model, started_utc;
    long cores = 0;
    double load[3] = {-1, -1, -1};  // -1 where not known
};

// The host as it is now: call at start.
HostFacts read_host_facts();

// The first "model name" of /proc/cpuinfo's text; empty where there is none.
std::string cpu_model(const std::string &cpuinfo);

// 2024-05-01T12:00:00Z
std::string utc_iso8601(time_t t);

nlohmann::json fingerprint_json(const HostFacts &host, const std::vector<std::string> &command_line,
                                const RunFigures &run);
