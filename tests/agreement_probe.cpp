// Feeds the program's own figures with the vectors read as JSON from standard
// input, and prints what they make of them, for agreement_test.py to hold
// against the Python tools' module: the percentiles of each list of values,
// the stutter count after each interval, and each frame's animation error.
#include <iostream>
#include <optional>

#include "display_watch.h"
#include "figures.h"
#include "histogram.h"
#include "record.h"

using nlohmann::json;

namespace {

json percentiles(const json &values, const json &ps)
{
    Histogram h;
    for (uint64_t v : values)
        h.add(v);
    json got = json::array();
    for (double p : ps)
        got.push_back(h.percentile(p));
    return got;
}

json stutter_counts(const json &intervals)
{
    static StutterCount stutters;  // large: not on the stack
    stutters = StutterCount();
    json got = json::array();
    for (uint64_t i : intervals) {
        stutters.add(i);
        got.push_back(stutters.count());
    }
    return got;
}

// Rows of the log: start, swap end, swap end on CLOCK_MONOTONIC, present
// time (or null) and mode (or null for no word), given to the records and
// the display watch as the pipeline gives them.
json animation_errors(const json &rows)
{
    static uint64_t id = 0;  // the records keep their rows: every frame of every case is another
    DisplayWatch watch{DisplayIdentity()};
    uint64_t first = id + 1;
    for (const json &r : rows) {
        Frame f;
        f.number = f.id = ++id;
        f.start_us = r[0], f.swap_end_us = r[1], f.swap_end_mono_us = r[2];
        record_frame(f, true);
    }
    json got = json::array();
    for (const json &r : rows) {
        Presentation p;
        p.frame_id = first++;
        for (int m = 0; m < mode_count; ++m)
            p.mode = r[4] == mode_name(PresentMode(m)) ? PresentMode(m) : p.mode;
        p.ust_mono = r[3].is_null() ? 0 : r[3].get<uint64_t>();
        std::optional<int64_t> error;
        if (!r[4].is_null())  // no word on its present: the program never hears of one
            record_present(p, error = watch.presented(record_find(p), p));
        got.push_back(error ? json(*error) : json(nullptr));
    }
    return got;
}

}  // namespace

int main()
{
    json in = json::parse(std::cin), out = json::object();
    for (const json &values : in["percentiles"])
        out["percentiles"].push_back(percentiles(values, in["ps"]));
    for (const json &intervals : in["stutters"])
        out["stutters"].push_back(stutter_counts(intervals));
    for (const json &rows : in["animation"])
        out["animation"].push_back(animation_errors(rows));
    std::cout << out << "\n";
}
