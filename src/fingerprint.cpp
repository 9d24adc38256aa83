#include "fingerprint.h"

#include <sys/utsname.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

HostFacts read_host_facts()
{
    HostFacts h;
    h.started_utc = utc_iso8601(time(nullptr));
    struct utsname u;
    if (uname(&u) == 0)
        h.host = u.nodename, h.kernel = u.release;
    std::ifstream cpuinfo("/proc/cpuinfo");
    std::stringstream text;
    text << cpuinfo.rdbuf();
    h.cpu_model = cpu_model(text.str());
    h.cores = sysconf(_SC_NPROCESSORS_ONLN);
    if (getloadavg(h.load, 3) != 3)
        h.load[0] = h.load[1] = h.load[2] = -1;
    return h;
}

std::string cpu_model(const std::string &cpuinfo)
{
    std::istringstream lines(cpuinfo);
    for (std::string line; std::getline(lines, line);) {
        size_t colon = line.find(':');
        if (line.rfind("model name", 0) != 0 || colon == std::string::npos)
            continue;
        size_t first = line.find_first_not_of(" \t", colon + 1);
        return first == std::string::npos ? "" : line.substr(first);
    }
    return "";
}

std::string utc_iso8601(time_t t)
{
    struct tm utc;
    char text[32];
    if (!gmtime_r(&t, &utc) || !strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc))
        return "";
    return text;
}

namespace {

nlohmann::json text_or_null(const std::string &s)
{
    return s.empty() ? nlohmann::json(nullptr) : nlohmann::json(s);
}

}  // namespace

nlohmann::json fingerprint_json(const HostFacts &host, const std::vector<std::string> &command_line,
                                const RunFigures &run)
{
    const DisplayIdentity &id = run.display.system.identity;
    nlohmann::json load = nlohmann::json::array();
    for (double l : host.load)
        load.push_back(l < 0 ? nlohmann::json(nullptr) : nlohmann::json(l));
    nlohmann::json server = {{"name", id.server}, {"version", text_or_null(id.facts.version)}};
    if (!id.facts.globals.empty())
        server["globals"] = id.facts.globals;
    double refresh = run.display.refresh_hz > 0 ? run.display.refresh_hz : id.output_refresh_hz;
    return {{"report_format", report_format},
            {"quorvel_version", QUORVEL_VERSION},
            {"command_line", command_line},
            {"host", text_or_null(host.host)},
            {"started_utc", text_or_null(host.started_utc)},
            {"kernel", text_or_null(host.kernel)},
            {"cpu_model", text_or_null(host.cpu_model)},
            {"cores", host.cores > 0 ? nlohmann::json(host.cores) : nlohmann::json(nullptr)},
            {"load_average", load},
            {"gl", {{"renderer", run.gl_renderer}, {"vendor", run.gl_vendor}, {"version", run.gl_version}}},
            {"window_system", id.window_system},
            {"server", server},
            {"output", {{"name", text_or_null(id.facts.output)},
                        {"size", id.facts.width > 0 ? nlohmann::json({id.facts.width, id.facts.height})
                                                    : nlohmann::json(nullptr)},
                        {"scale", run.display.window.buffer_scale.value_or(1)},
                        {"refresh_hz", refresh > 0 ? nlohmann::json(refresh) : nlohmann::json(nullptr)}}}};
}
