// Every figure of a run, once, in the summary's order: where the report
// keeps it, its value, and the summary's words for it. A new figure goes
// here, and nowhere else, once something measures it.
#include "figures.h"

#include "frame.h"

namespace {

const char *const mu_s = "\u03bcs";

void settings(FigureList &l, const RunFigures &r)
{
    l.push_back({"settings.interval_us", integer(r.interval_us)});
    l.push_back({"settings.vsync_requested", truth(r.vsync_requested)});
    l.push_back({"settings.pace", word(r.pace)});
    l.push_back({"settings.warmup_frames", count(warmup_frames)});
}

// The late frames' time as the kernel saw the main thread spend it, under
// the line that splits their excess; the report says so where it kept none.
void late_accounts(FigureList &l, const FrameFigures &f)
{
    const AccountSums &a = f.late_accounts;
    bool shown = f.late && f.accounted;
    auto sum = [&f](uint64_t n) { return f.accounted ? count(n) : unknown(); };
    if (f.late && !f.accounted)
        l.push_back({"", word("none"), "late frames by the kernel's accounts: {}\n"});
    l.push_back({"frames.late_by.waiting_for_cpu_us", sum(a.run_queue + a.woke_queued),
                 shown ? formatted("late frames by the kernel's accounts, %s: {} waiting for a CPU ", mu_s) : ""});
    l.push_back({"", count(a.woke_queued), shown ? "({} of it before the frame), " : ""});
    l.push_back({"frames.late_by.blocked_us", sum(a.blocked), shown ? "{} blocked in GL or the window system, " : ""});
    l.push_back({"frames.late_by.on_cpu_us", sum(a.on_cpu), shown ? "{} on the CPU\n" : ""});
}

// The run's totals of the kernel's accounts, and the host's steal: a run
// figure, as the kernel counts it for every CPU at once.
void accounts(FigureList &l, const RunFigures &r)
{
    const FrameFigures &f = r.frames;
    auto sum = [&f](uint64_t n) { return f.accounted ? count(n) : unknown(); };
    l.push_back({"frames.accounts.source", word(f.accounted ? "schedstat" : "none")});
    l.push_back({"frames.accounts.on_cpu_us", sum(f.accounts.on_cpu)});
    l.push_back({"frames.accounts.run_queue_us", sum(f.accounts.run_queue)});
    l.push_back({"frames.accounts.blocked_us", sum(f.accounts.blocked)});
    l.push_back({"frames.accounts.woke_queued_us", sum(f.accounts.woke_queued)});
    bool stolen = r.stolen_us && *r.stolen_us > 0;
    l.push_back({"frames.accounts.stolen_us", r.stolen_us ? count(*r.stolen_us) : unknown(),
                 stolen ? formatted("stolen by the host %s: {} (the hypervisor's steal over the run, all CPUs)\n", mu_s)
                        : ""});
}

// Of each late interval's excess, what held it, then how late the loop
// woke, then the rest; a line of its own where any frame was late.
void late_frames(FigureList &l, const RunFigures &r)
{
    const FrameFigures &f = r.frames;
    if (r.interval_us <= 0) {
        l.push_back({"frames.late", unknown("n/a"), "late frames: {} (no interval requested)\n"});
        l.push_back({"frames.late_by", unknown()});
        return;
    }
    l.push_back({"frames.late", count(f.late), formatted("late frames: {} (interval above %.10g %s)\n", 1.5 * r.interval_us, mu_s)});
    l.push_back({"frames.late_by.held_us", count(f.late_causes.held),
                 f.late ? formatted("late by %s: {} held by the window system, ", mu_s) : ""});
    l.push_back({"frames.late_by.woke_late_us", count(f.late_causes.woke_late), f.late ? "{} woken late by the machine, " : ""});
    l.push_back({"frames.late_by.drawn_long_us", count(f.late_causes.drawn_long), f.late ? "{} drawn long\n" : ""});
    late_accounts(l, f);
}

void frames(FigureList &l, const RunFigures &r)
{
    const FrameFigures &f = r.frames;
    bool measured = f.interval.count() > 0;
    l.push_back({"frames.measured", count(f.interval.count()), "frames measured: {}\n"});
    l.push_back({"frames.seconds", number(double(f.interval.sum()) / 1e6, "%.3f"), "seconds: {}\n"});
    l.push_back({"frames.fps_mean", measured ? number(fps_mean(f), "%.2f") : unknown("n/a"), "fps mean: {}\n"});
    l.push_back({"interval_us", spread(f.interval), formatted("interval %s: {}\n", mu_s)});
    l.push_back({"duration_us", spread(f.duration), formatted("duration %s: {}\n", mu_s)});
    l.push_back({"fps_low_1pct", measured ? number(fps_low(f.interval, 1), "%.2f") : unknown(),
                 measured ? "fps low 1%: {}\n" : ""});
    l.push_back({"fps_low_01pct", measured ? number(fps_low(f.interval, 0.1), "%.2f") : unknown(),
                 measured ? "fps low 0.1%: {}\n" : ""});
    late_frames(l, r);
    l.push_back({"frames.stutters", count(f.stutters.count()),
                 measured ? formatted("stutters: {} (intervals above 2.5 times the mean of the %zu before them)\n",
                                      f.stutters.window())
                          : ""});
    l.push_back({"frames.held_us", count(f.held_us)});
    l.push_back({"frames.woke_late_us", count(f.woke_late_us)});
    accounts(l, r);
}

// What the window system is, where the summary names it, with its caveat
// or what it says of its clock.
void window_system(FigureList &l, const DisplayFigures &d)
{
    const DisplayWording &words = d.system.words;
    bool caveat = !words.note.empty();
    l.push_back({"display.window_system", word(d.system.identity.window_system), words.named ? "window system: {}\n" : ""});
    l.push_back({"", word(words.note), words.named && caveat ? "note: {}\n" : ""});
    l.push_back({"display.hardware_clock", d.hardware_clock < 0 ? unknown("unknown") : truth(d.hardware_clock == 1),
                 words.named && !caveat && words.tells_clock ? "hardware clock: {}\n" : ""});
    l.push_back({"display.server", word(d.system.identity.server)});
    const std::string &clock = d.system.identity.presentation_clock;
    l.push_back({"display.presentation_clock", clock.empty() ? unknown() : word(clock)});
}

std::string refresh_shown(const DisplayFigures &d)
{
    if (d.refresh_variable)
        return "refresh: variable (the compositor gives no fixed period)\n";
    if (d.refresh_hz <= 0)
        return "refresh: unknown (no vblank clock)\n";
    bool fed = d.refresh_from == RefreshFrom::feedback;
    return "refresh: {} Hz (" + (fed ? d.system.words.feedback_source : "the output's nominal rate") + ")\n";
}

const char *feedback_name(Feedback f)
{
    return f == Feedback::per_frame ? "per_frame" : f == Feedback::vblank_clock ? "vblank_clock" : "none";
}

void capabilities(FigureList &l, const DisplayDescription &system)
{
    const DisplayCapabilities &can = system.can;
    bool fed = can.feedback != Feedback::none;
    l.push_back({"display.capabilities.feedback", word(feedback_name(can.feedback))});
    l.push_back({"display.capabilities.feedback_source", fed ? word(system.words.feedback_source) : unknown()});
    l.push_back({"display.capabilities.in_flight_limit", count(can.in_flight_limit)});
    l.push_back({"display.capabilities.swap_interval", truth(can.swap_control)});
    l.push_back({"display.capabilities.tearing_control", truth(can.tearing_control)});
    l.push_back({"display.capabilities.inject_refusal", can.inject_refusal.empty() ? unknown() : word(can.inject_refusal)});
}

// Where missed cycles come from a per-frame feedback, which source was
// used, or why none could be: empty for a vblank clock.
std::string missed_source(MissedFrom from)
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

void missed_vblanks(FigureList &l, const DisplayFigures &d, bool shown)
{
    std::string source = missed_source(d.missed_from);
    bool measured = d.missed_from != MissedFrom::variable_refresh && d.missed_from != MissedFrom::unknown_refresh;
    std::string line = measured ? "missed vblanks: {}" + (source.empty() ? "" : " (from " + source + ")") + "\n"
                                : "missed vblanks: {} (" + source + ")\n";
    l.push_back({"display.presents.missed_vblanks", measured ? count(d.missed_vblanks) : unknown("not measured"),
                 shown ? line : ""});
    if (!d.system.can.refresh_sequence)
        return;
    int counted = d.sequence_counted_refreshes;
    l.push_back({"display.sequence_counts_refreshes", counted < 0 ? unknown() : truth(counted == 1)});
    l.push_back({"display.refresh_variable", truth(d.refresh_variable)});
    l.push_back({"display.missed_vblanks_from", word(source)});
}

// The presents by mode, in one line, and what they took; or the words for none.
void presents(FigureList &l, const DisplayFigures &d)
{
    uint64_t n = present_count(d);
    bool shown = n > 0;
    if (!shown)
        l.push_back({"display.no_presents", word(d.system.words.no_presents), "presents: {}\n"});
    l.push_back({"display.presents.count", count(n), shown ? "presents: {} (" : ""});
    const std::pair<PresentMode, const char *> modes[] = {
        {mode_flip, "flip {}, "}, {mode_copy, "copy {}, "}, {mode_skip, "skip {}, "}, {mode_suboptimal_copy, "suboptimal copy {})\n"}};
    for (auto [mode, text] : modes)
        l.push_back({std::string("display.presents.") + mode_name(mode), count(d.presents[mode]), shown ? text : ""});
    if (shown && d.system.can.feedback == Feedback::per_frame && d.presents[mode_skip] == n)
        l.push_back({"", {}, "presents: every frame was discarded: none reached the screen\n"});
    l.push_back({"display.presents.latency_us", latency(d.latency),
                 shown && d.latency.count() ? formatted("present latency %s: {}\n", mu_s) : ""});
    l.push_back({"display.presents.animation_error_us", latency(d.animation_error),
                 shown && d.animation_error.count()
                     ? formatted("animation error %s: {} (each shown frame's start step against its present step)\n", mu_s)
                     : ""});
    missed_vblanks(l, d, shown);
}

void display(FigureList &l, const DisplayFigures &d)
{
    window_system(l, d);
    l.push_back({"display.refresh_hz", d.refresh_hz > 0 ? number(d.refresh_hz, "%.2f") : unknown(), refresh_shown(d)});
    l.push_back({"display.swap_control", truth(d.system.can.swap_control), "swap control: {}\n"});
    l.push_back({"display.vsync", word(d.vsync), "vsync: {}\n"});
    presents(l, d);
    capabilities(l, d.system);
    if (d.window.buffer_scale)
        l.push_back({"display.buffer_scale", number(*d.window.buffer_scale, "%g")});
    if (d.window.tearing_hint)
        l.push_back({"display.tearing_hint", truth(*d.window.tearing_hint)});
}

void input(FigureList &l, const InputFigures &in)
{
    if (!in.listening)
        return;
    l.push_back({"input.events", count(in.events), "input: {} presses"});
    if (in.injecting)
        l.push_back({"input.injected", count(in.injected), ", {} injected"});
    l.push_back({"input.answered", count(in.answered), ", {} answered"});
    l.push_back({"input.lost", count(in.lost), ", {} lost\n"});
    if (in.injecting) {
        l.push_back({"input.held", count(in.held),
                     in.held ? "input: {} presses held back while the window was hidden or without the keyboard focus\n" : ""});
        l.push_back({"input.to_arrival_us", latency(in.to_arrival), formatted("input to arrival %s: {}\n", mu_s)});
    }
    l.push_back({"input.to_frame_start_us", latency(in.to_frame_start), formatted("input to frame start %s: {}\n", mu_s)});
    l.push_back({"input.to_swap_end_us", latency(in.to_swap_end), formatted("input to swap end %s: {}\n", mu_s)});
    l.push_back({"input.to_present_us", latency(in.to_present), formatted("input to present %s: {}\n", mu_s)});
}

// Where the hybrid pace's margin settled, and how late its sleeps woke.
void pace(FigureList &l, const RunFigures &r)
{
    if (!r.sleeps.hybrid)
        return;
    const Histogram &overshoot = r.sleeps.overshoot;
    l.push_back({"pace.margin_us", count(r.sleeps.margin_us)});
    l.push_back({"pace.sleeps", count(overshoot.count())});
    l.push_back({"pace.overshoot_us.p50", count(overshoot.percentile(50))});
    l.push_back({"pace.overshoot_us.p99", count(overshoot.percentile(99))});
    l.push_back({"pace.overshoot_us.max", count(overshoot.max())});
}

}  // namespace

FigureList figure_list(const RunFigures &r)
{
    FigureList l;
    settings(l, r);
    frames(l, r);
    display(l, r.display);
    input(l, r.input);
    l.push_back({"gl.renderer", word(r.gl_renderer)});
    l.push_back({"gl.vendor", word(r.gl_vendor)});
    l.push_back({"gl.version", word(r.gl_version)});
    pace(l, r);
    if (!r.fingerprint.is_null())
        l.push_back({"fingerprint", {r.fingerprint, ""}});
    l.push_back({"cpu.main_thread_s", number(r.cpu_main_thread_s, "%.3f"), "cpu s: main thread {}, "});
    l.push_back({"cpu.process_s", number(r.cpu_process_s, "%.3f"), "process {}\n"});
    return l;
}
