#include "figures.h"

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>

#include "frame.h"

void add_frame(FrameFigures &f, int32_t requested_us, uint64_t interval_us, uint64_t duration_us, uint64_t held_us,
               uint64_t woke_late_us)
{
    f.interval.add(interval_us);
    f.duration.add(duration_us);
    f.stutters.add(interval_us);
    f.held_us += held_us;
    f.woke_late_us += woke_late_us;
    if (requested_us <= 0 || 2 * interval_us <= 3 * uint64_t(requested_us))
        return;
    ++f.late;
    uint64_t excess = interval_us - uint64_t(requested_us);
    uint64_t held = std::min(held_us, excess), woke = std::min(woke_late_us, excess - held);
    f.late_causes.held += held;
    f.late_causes.woke_late += woke;
    f.late_causes.drawn_long += excess - held - woke;
}

size_t StutterCount::window() const
{
    double mean_ms = n_ ? double(sum_) / double(n_) / 1000 : 0;
    return std::min(kept, size_t(std::floor(10 * std::sqrt(mean_ms) + 0.5)));
}

void StutterCount::add(uint64_t interval_us)
{
    size_t w = std::min(window(), size_t(n_));
    uint64_t before = 0;
    for (size_t i = 1; i <= w; ++i)
        before += ring_[(n_ - i) % kept];
    count_ += w && 2 * interval_us * w > 5 * before;
    ring_[n_ % kept] = interval_us;
    ++n_;
    sum_ += interval_us;
}

void add_present(DisplayFigures &d, PresentMode mode, int64_t latency_us)
{
    ++d.presents[mode];
    if (latency_us >= 0)
        d.latency.add(uint64_t(latency_us));
}

std::string flags_text(unsigned flags)
{
    static const char *const names[] = {"vsync", "hw_clock", "hw_completion", "zero_copy"};
    std::string text;
    for (unsigned bit = 0; bit < 4; ++bit)
        if (flags & (1u << bit))
            text += (text.empty() ? "" : "|") + std::string(names[bit]);
    return text;
}

double fps_mean(const FrameFigures &f)
{
    return f.interval.sum() ? 1e6 * double(f.interval.count()) / double(f.interval.sum()) : 0;
}

double fps_low(const Histogram &interval, double percent)
{
    uint64_t slow = interval.percentile(100 - percent);
    return slow ? 1e6 / double(slow) : 0;
}

uint64_t present_count(const DisplayFigures &d)
{
    uint64_t n = 0;
    for (uint64_t c : d.presents)
        n += c;
    return n;
}

const char *mode_name(PresentMode m)
{
    static const char *const names[] = {"copy", "flip", "skip", "suboptimal_copy"};
    return names[m];
}

namespace {

std::string format(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char *fmt, ...)
{
    char line[512];
    va_list args;
    va_start(args, fmt);
    vsnprintf(line, sizeof line, fmt, args);
    va_end(args);
    return line;
}

std::string spread_line(const char *name, const Histogram &h)
{
    if (!h.count())
        return format("%s \u03bcs: n/a\n", name);
    return format("%s \u03bcs: min %llu p50 %llu p90 %llu p99 %llu p99.9 %llu max %llu mean %.1f stddev %.1f\n",
                  name, (unsigned long long)h.min(), (unsigned long long)h.percentile(50),
                  (unsigned long long)h.percentile(90), (unsigned long long)h.percentile(99),
                  (unsigned long long)h.percentile(99.9), (unsigned long long)h.max(), h.mean(),
                  h.stddev());
}

std::string frames_text(const RunFigures &r)
{
    const FrameFigures &f = r.frames;
    std::string s = format("frames measured: %llu\nseconds: %.3f\n",
                           (unsigned long long)f.interval.count(), double(f.interval.sum()) / 1e6);
    s += f.interval.count() ? format("fps mean: %.2f\n", fps_mean(f)) : "fps mean: n/a\n";
    s += spread_line("interval", f.interval) + spread_line("duration", f.duration);
    if (f.interval.count())
        s += format("fps low 1%%: %.2f\nfps low 0.1%%: %.2f\n", fps_low(f.interval, 1),
                    fps_low(f.interval, 0.1));
    if (r.interval_us > 0)
        s += format("late frames: %llu (interval above %.10g \u03bcs)\n", (unsigned long long)f.late,
                    1.5 * r.interval_us);
    else
        s += "late frames: n/a (no interval requested)\n";
    if (f.late)
        s += format("late by \u03bcs: %llu held by the window system, %llu woken late by the machine, %llu drawn long\n",
                    (unsigned long long)f.late_causes.held, (unsigned long long)f.late_causes.woke_late,
                    (unsigned long long)f.late_causes.drawn_long);
    if (f.interval.count())
        s += format("stutters: %llu (intervals above 2.5 times the mean of the %zu before them)\n",
                    (unsigned long long)f.stutters.count(), f.stutters.window());
    return s;
}

// A spread as JSON, or null when nothing was measured.
nlohmann::json spread_json(const Histogram &h)
{
    if (!h.count())
        return nullptr;
    return {{"min", h.min()}, {"p50", h.percentile(50)}, {"p90", h.percentile(90)},
            {"p99", h.percentile(99)}, {"p999", h.percentile(99.9)}, {"max", h.max()},
            {"mean", h.mean()}, {"stddev", h.stddev()}};
}

nlohmann::json or_null(bool known, double value)
{
    return known ? nlohmann::json(value) : nlohmann::json(nullptr);
}

// A latency's p50, p99 and max, as a summary line and in JSON.
std::string latency_text(const char *name, const Histogram &h)
{
    if (!h.count())
        return format("%s \u03bcs: none\n", name);
    return format("%s \u03bcs: p50 %llu p99 %llu max %llu\n", name, (unsigned long long)h.percentile(50),
                  (unsigned long long)h.percentile(99), (unsigned long long)h.max());
}

nlohmann::json latency_json(const Histogram &h)
{
    if (!h.count())
        return nullptr;
    return {{"p50", h.percentile(50)}, {"p99", h.percentile(99)}, {"max", h.max()}};
}

// What the window system is, where the summary names it, with its caveat or
// what a compositor says of its clock.
std::string window_system_text(const DisplayIdentity &id)
{
    if (!id.named_in_summary)
        return "";
    std::string s = "window system: " + id.window_system + "\n";
    if (!id.note.empty())
        return s + "note: " + id.note + "\n";
    if (!id.compositor)
        return s;
    return s + "hardware clock: " + (id.hardware_clock < 0 ? "unknown" : id.hardware_clock ? "yes" : "no") + "\n";
}

std::string refresh_text(const DisplayFigures &d)
{
    if (d.refresh_variable)
        return "refresh: variable (the compositor gives no fixed period)\n";
    return d.refresh_hz > 0 ? format("refresh: %.2f Hz (%s)\n", d.refresh_hz, d.refresh_source.c_str())
                            : "refresh: unknown (no vblank clock)\n";
}

// Where missed cycles come from a compositor's feedback, which source was
// used, or why none could be: empty on X11.
std::string missed_source_text(MissedFrom from)
{
    switch (from) {
    case MissedFrom::vblank_clock: return "";
    case MissedFrom::sequence: return "the compositor's seq, which counts refresh cycles";
    case MissedFrom::times_seq_not_refreshes: return "the times: the compositor's seq does not count refresh cycles";
    case MissedFrom::times_no_seq: return "the times: the compositor sends no seq";
    case MissedFrom::times_short_run: return "the times: the run was too short to check the compositor's seq";
    case MissedFrom::variable_refresh: return "variable refresh";
    case MissedFrom::unknown_refresh: return "the compositor gave no refresh period";
    }
    return "";
}

bool missed_measured(MissedFrom from)
{
    return from != MissedFrom::variable_refresh && from != MissedFrom::unknown_refresh;
}

std::string missed_text(const DisplayFigures &d)
{
    std::string source = missed_source_text(d.missed_from);
    if (!missed_measured(d.missed_from))
        return "missed vblanks: not measured (" + source + ")\n";
    return format("missed vblanks: %llu%s\n", (unsigned long long)d.missed_vblanks,
                  source.empty() ? "" : (" (from " + source + ")").c_str());
}

std::string display_text(const DisplayFigures &d)
{
    std::string s = window_system_text(d.identity) + refresh_text(d);
    s += format("swap control: %s\nvsync: %s\n", d.swap_control ? "yes" : "no", d.vsync.c_str());
    if (!present_count(d))
        return s + "presents: " + d.identity.no_presents + "\n";
    s += format("presents: %llu (flip %llu, copy %llu, skip %llu, suboptimal copy %llu)\n",
                (unsigned long long)present_count(d), (unsigned long long)d.presents[mode_flip],
                (unsigned long long)d.presents[mode_copy], (unsigned long long)d.presents[mode_skip],
                (unsigned long long)d.presents[mode_suboptimal_copy]);
    if (d.identity.feedback == Feedback::per_frame && d.presents[mode_skip] == present_count(d))
        s += "presents: every frame was discarded: none reached the screen\n";
    if (d.latency.count())
        s += latency_text("present latency", d.latency);
    if (d.animation_error.count()) {
        std::string line = latency_text("animation error", d.animation_error);
        s += line.substr(0, line.size() - 1) + " (each shown frame's start step against its present step)\n";
    }
    return s + missed_text(d);
}

const char *feedback_name(Feedback f)
{
    return f == Feedback::per_frame ? "per_frame" : f == Feedback::vblank_clock ? "vblank_clock" : "none";
}

nlohmann::json display_json(const DisplayFigures &d)
{
    nlohmann::json presents = {{"count", present_count(d)},
                               {"missed_vblanks", missed_measured(d.missed_from) ? nlohmann::json(d.missed_vblanks)
                                                                                  : nlohmann::json(nullptr)}};
    for (int m = 0; m < mode_count; ++m)
        presents[mode_name(PresentMode(m))] = d.presents[m];
    presents["latency_us"] = latency_json(d.latency);
    presents["animation_error_us"] = latency_json(d.animation_error);
    const DisplayIdentity &id = d.identity;
    nlohmann::json j = {{"window_system", id.window_system}, {"server", id.server},
            {"refresh_hz", or_null(d.refresh_hz > 0, d.refresh_hz)}, {"swap_control", d.swap_control},
            {"hardware_clock", id.hardware_clock < 0 ? nlohmann::json(nullptr) : nlohmann::json(id.hardware_clock == 1)},
            {"presentation_clock", id.presentation_clock.empty() ? nlohmann::json(nullptr) : nlohmann::json(id.presentation_clock)},
            {"vsync", d.vsync}, {"presents", presents}};
    if (!present_count(d))
        j["no_presents"] = id.no_presents;
    j["capabilities"] = {{"feedback", feedback_name(id.feedback)}, {"in_flight_limit", id.in_flight_limit},
                         {"swap_interval", id.swap_interval}, {"tearing_control", id.tearing_control},
                         {"inject_refusal", id.inject_refusal.empty() ? nlohmann::json(nullptr) : nlohmann::json(id.inject_refusal)}};
    if (id.compositor) {
        j["sequence_counts_refreshes"] = d.sequence_counts_refreshes < 0 ? nlohmann::json(nullptr)
                                                                          : nlohmann::json(d.sequence_counts_refreshes == 1);
        j["refresh_variable"] = d.refresh_variable;
        j["missed_vblanks_from"] = missed_source_text(d.missed_from);
        j["buffer_scale"] = id.buffer_scale;
        j["tearing_hint"] = id.tearing_hint;
    }
    return j;
}

std::string input_text(const InputFigures &in)
{
    if (!in.listening)
        return "";
    std::string s = format("input: %llu presses", (unsigned long long)in.events);
    if (in.injecting)
        s += format(", %llu injected", (unsigned long long)in.injected);
    s += format(", %llu answered, %llu lost\n", (unsigned long long)in.answered, (unsigned long long)in.lost);
    if (in.held)
        s += format("input: %llu presses held back while the window was hidden or without the keyboard focus\n",
                    (unsigned long long)in.held);
    if (in.injecting)
        s += latency_text("input to arrival", in.to_arrival);
    return s + latency_text("input to frame start", in.to_frame_start) +
           latency_text("input to swap end", in.to_swap_end) + latency_text("input to present", in.to_present);
}

nlohmann::json input_json(const InputFigures &in)
{
    nlohmann::json j = {{"events", in.events}, {"answered", in.answered}, {"lost", in.lost},
                        {"to_frame_start_us", latency_json(in.to_frame_start)},
                        {"to_swap_end_us", latency_json(in.to_swap_end)},
                        {"to_present_us", latency_json(in.to_present)}};
    if (in.injecting) {
        j["injected"] = in.injected;
        j["held"] = in.held;
        j["to_arrival_us"] = latency_json(in.to_arrival);
    }
    return j;
}

}  // namespace

std::string summary_text(const RunFigures &r)
{
    return frames_text(r) + display_text(r.display) + input_text(r.input) +
           format("cpu s: main thread %.3f, process %.3f\n", r.cpu_main_thread_s, r.cpu_process_s);
}

nlohmann::json report_json(const RunFigures &r)
{
    const FrameFigures &f = r.frames;
    bool measured = f.interval.count() > 0;
    nlohmann::json j = {
        {"settings", {{"interval_us", r.interval_us}, {"vsync_requested", r.vsync_requested},
                      {"pace", r.pace}, {"warmup_frames", warmup_frames}}},
        {"frames", {{"measured", f.interval.count()}, {"seconds", double(f.interval.sum()) / 1e6},
                    {"fps_mean", or_null(measured, fps_mean(f))},
                    {"late", r.interval_us > 0 ? nlohmann::json(f.late) : nlohmann::json(nullptr)},
                    {"stutters", f.stutters.count()}, {"held_us", f.held_us}, {"woke_late_us", f.woke_late_us},
                    {"late_by", r.interval_us > 0 ? nlohmann::json({{"held_us", f.late_causes.held},
                                                                    {"woke_late_us", f.late_causes.woke_late},
                                                                    {"drawn_long_us", f.late_causes.drawn_long}})
                                                  : nlohmann::json(nullptr)}}},
        {"interval_us", spread_json(f.interval)},
        {"duration_us", spread_json(f.duration)},
        {"fps_low_1pct", or_null(measured, fps_low(f.interval, 1))},
        {"fps_low_01pct", or_null(measured, fps_low(f.interval, 0.1))},
        {"gl", {{"renderer", r.gl_renderer}, {"vendor", r.gl_vendor}, {"version", r.gl_version}}},
        {"display", display_json(r.display)},
        {"cpu", {{"main_thread_s", r.cpu_main_thread_s}, {"process_s", r.cpu_process_s}}},
    };
    if (!r.fingerprint.is_null())
        j["fingerprint"] = r.fingerprint;
    if (r.input.listening)
        j["input"] = input_json(r.input);
    if (r.sleeps.hybrid)
        j["pace"] = {{"margin_us", r.sleeps.margin_us},
                     {"sleeps", r.sleeps.overshoot.count()},
                     {"overshoot_us", {{"p50", r.sleeps.overshoot.percentile(50)},
                                       {"p99", r.sleeps.overshoot.percentile(99)},
                                       {"max", r.sleeps.overshoot.max()}}}};
    return j;
}
