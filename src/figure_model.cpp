#include "figure_model.h"

#include <cstdarg>
#include <cstdio>

std::string formatted(const char *format, ...)
{
    char line[512];
    va_list args;
    va_start(args, format);
    vsnprintf(line, sizeof line, format, args);
    va_end(args);
    return line;
}

Value count(uint64_t n)
{
    return {n, formatted("%llu", (unsigned long long)n)};
}

Value integer(int64_t n)
{
    return {n, formatted("%lld", (long long)n)};
}

Value number(double x, const char *format)
{
    char text[64];
    snprintf(text, sizeof text, format, x);
    return {x, text};
}

Value truth(bool b)
{
    return {b, b ? "yes" : "no"};
}

Value word(const std::string &s)
{
    return {s, s};
}

Value unknown(const char *text)
{
    return {nullptr, text};
}

Value spread(const Histogram &h)
{
    if (!h.count())
        return unknown("n/a");
    uint64_t p50 = h.percentile(50), p90 = h.percentile(90), p99 = h.percentile(99), p999 = h.percentile(99.9);
    return {{{"min", h.min()}, {"p50", p50}, {"p90", p90}, {"p99", p99}, {"p999", p999}, {"max", h.max()},
             {"mean", h.mean()}, {"stddev", h.stddev()}},
            formatted("min %llu p50 %llu p90 %llu p99 %llu p99.9 %llu max %llu mean %.1f stddev %.1f",
                      (unsigned long long)h.min(), (unsigned long long)p50, (unsigned long long)p90,
                      (unsigned long long)p99, (unsigned long long)p999, (unsigned long long)h.max(), h.mean(),
                      h.stddev())};
}

Value latency(const Histogram &h)
{
    if (!h.count())
        return unknown("none");
    uint64_t p50 = h.percentile(50), p99 = h.percentile(99);
    return {{{"p50", p50}, {"p99", p99}, {"max", h.max()}},
            formatted("p50 %llu p99 %llu max %llu", (unsigned long long)p50, (unsigned long long)p99,
                      (unsigned long long)h.max())};
}

std::string summary_text(const FigureList &figures)
{
    std::string s;
    for (const Figure &f : figures) {
        size_t at = f.shown.find("{}");
        s += at == std::string::npos ? f.shown : f.shown.substr(0, at) + f.value.text + f.shown.substr(at + 2);
    }
    return s;
}

nlohmann::json report_json(const FigureList &figures)
{
    nlohmann::json j = nlohmann::json::object();
    for (const Figure &f : figures) {
        if (f.key.empty())
            continue;
        std::string pointer = "/" + f.key;
        for (char &c : pointer)
            c = c == '.' ? '/' : c;
        j[nlohmann::json::json_pointer(pointer)] = f.value.json;
    }
    return j;
}

std::string report_text(const FigureList &figures)
{
    // A driver's strings need not be UTF-8; dump would throw on them rather than replace.
    return report_json(figures).dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
}
