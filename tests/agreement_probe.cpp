// Feeds the program's own figures with the vectors read as JSON on standard
// input and prints what they make of them, for agreement_test.py to hold
// against the Python tools' module: the percentiles of each list of values,
// the stutter count after each interval, and each frame's animation error.
#include <iostream>

#include <nlohmann/json.hpp>

#include "display_watch.h"
#include "frame_ledger.h"

using nlohmann::json;

// Rows of a log: start, swap end, swap end on CLOCK_MONOTONIC, present time
// (or null) and mode (or null: no word), through the ledger and the display
// watch as the pipeline takes them; frame ids go on from case to case.
static json animation_errors(const json &rows, uint64_t &id)
{
    DisplayWatch watch{DisplayDescription()};
    FrameLedger ledger;
    for (const json &r : rows) {
        Frame f = make_frame(++id, r[0], r[1], r[2], 0);
        f.id = id;
        ledger.add(f, true);
    }
    json got = json::array();
    for (size_t n = 0; n < rows.size(); ++n) {
        const json &r = rows[n];
        Presentation p;
        p.frame_id = id - rows.size() + n + 1;
        p.ust_mono = r[3].is_null() ? 0 : r[3].get<uint64_t>();
        for (int m = 0; m < mode_count; ++m)
            p.mode = r[4] == mode_name(PresentMode(m)) ? PresentMode(m) : p.mode;
        std::optional<int64_t> error;
        if (!r[4].is_null()) {  // with no word on its present, the program never hears of one
            FrameRecord *record = ledger.find(p.frame_id);
            error = watch.presented(record ? &record->frame : nullptr, p);
            if (record)
                record->present = p, record->animation_error_us = error;
        }
        got.push_back(error ? json(*error) : json(nullptr));
    }
    return got;
}

int main()
{
    json in = json::parse(std::cin), out = json::object();
    for (const json &values : in["percentiles"]) {
        Histogram h;
        for (uint64_t v : values)
            h.add(v);
        out["percentiles"].push_back(json::array());
        for (double p : in["ps"])
            out["percentiles"].back().push_back(h.percentile(p));
    }
    for (const json &intervals : in["stutters"]) {
        StutterCount stutters;
        out["stutters"].push_back(json::array());
        for (uint64_t i : intervals) {
            stutters.add(i);
            out["stutters"].back().push_back(stutters.count());
        }
    }
    uint64_t id = 0;
    for (const json &rows : in["animation"])
        out["animation"].push_back(animation_errors(rows, id));
    std::cout << out << "\n";
}
