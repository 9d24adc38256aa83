// One model of a run's figures, from which the summary and the report are
// both rendered: each figure once, with its place in the report, its value,
// and the summary's words for it. The run's own figures are listed in
// figure_list.cpp; nothing here knows what they are.
#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <string>
#include <vector>

#include "histogram.h"

// A figure's value as the report gives it and as the summary writes it; the
// kind, which the makers below name, fixes both.
struct Value {
    nlohmann::json json;  // null where unknown
    std::string text;
};

Value count(uint64_t n);
Value integer(int64_t n);
Value number(double x, const char *format);  // the summary's printf format, such as "%.2f"
Value truth(bool b);                         // yes or no
Value word(const std::string &s);
Value unknown(const char *text = "");        // null in the report; the summary's words for it
Value spread(const Histogram &h);            // min to max, mean and stddev; n/a when empty
Value latency(const Histogram &h);           // p50, p99 and max; none when empty

struct Figure {
    // Where the report keeps it, as "frames.fps_mean"; empty where only the summary says it.
    std::string key;
    Value value;
    // The summary's text for it, "{}" standing for the value, in the order
    // of the list; several figures may make one line. Empty where the
    // summary leaves it out.
    std::string shown = "";
};

using FigureList = std::vector<Figure>;

std::string summary_text(const FigureList &figures);
nlohmann::json report_json(const FigureList &figures);
// The report as its file holds it.
std::string report_text(const FigureList &figures);

// printf into a string, for the summary's words.
std::string formatted(const char *format, ...) __attribute__((format(printf, 1, 2)));
