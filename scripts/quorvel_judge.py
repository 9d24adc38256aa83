"""The judging of quorvel-check: pure functions fed with each run's report
and log, which say pass, fail, or unknown with the reason for every check.
A check never passes on no evidence; a simulated clock is never a passing
display. Nothing here runs a program or writes a file, so the tests feed it
with made-up records."""
import dataclasses

from quorvel_log import percentile

CHECKS = ["refresh", "vsync-on", "vsync-off", "quantised", "vsync-flag", "hardware-clock", "sequence",
          "vblank-clock", "latency", "pacing", "causality", "input"]
FLAG_VSYNC, FLAG_HW_CLOCK = "vsync", "hw_clock"


@dataclasses.dataclass
class Tolerances:
    period: float = 0.005         # share of the period a step may be off a whole number of periods
    within: float = 0.85          # share of the steps that must be that close
    latency_periods: float = 3    # swap end to present at p99, in periods
    pace_us: float = 100          # hybrid pacing late at p99


class Run:
    """One quorvel run's report and log."""

    def __init__(self, report, log):
        self.report, self.log = report, log
        self.display = report["display"]

    def presented(self):
        """The rows of the frames that reached the screen, in order: (start, swap end, present) on
        CLOCK_MONOTONIC μs, and the present's flags."""
        rows = []
        for n, mode in enumerate(self.log.get("present_mode", [])):
            if mode in ("copy", "flip", "suboptimal_copy") and self.log["present_ust"][n]:
                offset = self.log["swap_end_mono_us"][n] - self.log["swap_end_us"][n]
                rows.append((self.log["start_us"][n] + offset, self.log["swap_end_mono_us"][n],
                             self.log["present_ust"][n], (self.log.get("present_flags") or [None] * (n + 1))[n] or ""))
        return rows

    def steps(self, flag=None):
        """μs between consecutive presents, of presents carrying `flag` where one is named."""
        rows = [r for r in self.presented() if flag is None or flag in r[3].split("|")]
        return [b[2] - a[2] for a, b in zip(rows, rows[1:])]


def check(name, expects, measured, verdict, why=""):
    return {"check": name, "expects": expects, "measured": measured, "verdict": verdict, "why": why}


def whole_periods(steps, period, tol):
    """The share of `steps` within tol of the period of a whole number (1 or more) of periods."""
    near = [s for s in steps if round(s / period) >= 1 and abs(s - round(s / period) * period) <= tol * period]
    return len(near) / len(steps) if steps else 0


def no_evidence(run):
    """Why a run's presents cannot be judged, or None where they can."""
    d = run.display
    if d.get("server") == "Xvfb":
        return "Xvfb has no display, its vblank clock is simulated"
    if d["window_system"] == "wayland" and not d.get("presentation_clock") and not d["presents"]["count"]:
        return "the compositor gives no presentation feedback"
    if d["presents"]["count"] and d["presents"]["skip"] == d["presents"]["count"]:
        return "every frame was discarded"
    if not run.presented():
        return "the display reported no presents for the window"
    return None


def period_of(run):
    """The refresh period the display reports, μs, or the reason there is none."""
    d = run.display
    if d.get("refresh_variable"):
        return None, "variable refresh: no fixed period to judge against"
    if not d.get("refresh_hz"):
        return None, "the display reports no refresh rate"
    return 1e6 / d["refresh_hz"], None


def judge(runs, tol):
    """Every check of one window system, from its runs: vsync0 (-v at interval 0), free0 (interval 0),
    vsync15 (-v at 1.5 periods), hybrid15 (--pace hybrid at 1.5 periods), and inject (X11 only)."""
    on, off = runs["vsync0"], runs["free0"]
    period, no_period = period_of(on)
    absent = no_evidence(on)
    out = []
    pct = f"{100 * tol.period:g}%"

    def unknown_unless_presents(name, expects, run=on):
        why = no_period or no_evidence(run)
        return check(name, expects, "", "unknown", why) if why else None

    # Refresh: the steps with vsync, each divided by its whole number of periods.
    expects = f"present steps within {pct} of the reported period"
    if (c := unknown_unless_presents("refresh", expects)) is None:
        periods = [s / round(s / period) for s in on.steps() if round(s / period) >= 1]
        measured = percentile(periods, 50) if periods else None
        ok = measured is not None and abs(measured - period) <= tol.period * period
        c = check("refresh", expects, f"reported {1e6 / period:.3f} Hz, steps {1e6 / measured:.3f} Hz"
                  if measured else "no step", "pass" if ok else "fail")
    out.append(c)

    expects = f"nothing discarded, {100 * tol.within:g}% of steps whole periods, one present a refresh at most"
    if (c := unknown_unless_presents("vsync-on", expects)) is None:
        steps, skipped = on.steps(), on.display["presents"]["skip"]
        share = whole_periods(steps, period, tol.period)
        too_fast = sum(s < period * (1 - tol.period) for s in steps)
        ok = not skipped and share >= tol.within and not too_fast
        c = check("vsync-on", expects, f"{skipped} discarded, {100 * share:.1f}% whole, {too_fast} faster than "
                  "the refresh", "pass" if ok else "fail")
    out.append(c)

    expects = "faster than the refresh, frames discarded, or a tearing hint"
    if no_period or on.display.get("server") == "Xvfb":
        c = check("vsync-off", expects, "", "unknown", no_period or no_evidence(on))
    else:
        fps, skipped = off.report["frames"]["fps_mean"] or 0, off.display["presents"]["skip"]
        torn = off.display.get("tearing_hint", False)
        ok = fps > 1.05 * 1e6 / period or skipped or torn
        c = check("vsync-off", expects, f"{fps:.1f} fps, {skipped} discarded" + (", tearing hint" if torn else ""),
                  "pass" if ok else "fail", "" if ok else "vsync is forced on")
    out.append(c)

    q = runs["vsync15"]
    expects = "with -v at 1.5 periods, presents on whole periods (1 and 2), not at 1.5"
    if (c := unknown_unless_presents("quantised", expects, q)) is None:
        share = whole_periods(q.steps(), period, tol.period)
        c = check("quantised", expects, f"{100 * share:.1f}% of steps whole periods",
                  "pass" if share >= tol.within else "fail")
    out.append(c)

    out += flag_checks(on, q, period, no_period or absent, tol)
    out.append(latency_check(on, period, no_period or absent, tol))
    out.append(pacing_check(runs["hybrid15"], tol))
    out.append(causality_check(runs))
    out.append(input_check(runs.get("inject")))
    return out


def flag_checks(run, between, period, why, tol):
    """The flags of the runs with vsync at interval 0 (`run`) and at 1.5 periods (`between`, where a
    sequence that counts the compositor's own frames falls behind the refresh cycles)."""
    d, pct = run.display, f"{100 * tol.period:g}%"
    wayland = d["window_system"] == "wayland"
    out = []
    expects = f"the vsync flag only on presents whose steps are whole periods, within {pct}"
    flagged = run.steps(FLAG_VSYNC) if wayland and not why else []
    if not wayland:
        out.append(check("vsync-flag", expects, "", "unknown", "X11 presents carry no vsync flag"))
    elif why or not flagged:
        out.append(check("vsync-flag", expects, "", "unknown", why or "no present carries the vsync flag"))
    else:
        share = whole_periods(flagged, period, tol.period)
        out.append(check("vsync-flag", expects, f"{100 * share:.1f}% of flagged steps whole",
                         "pass" if share >= tol.within else "fail"))
    expects = "a hardware clock claimed only where the present times are that regular"
    if why or not d.get("hardware_clock"):
        out.append(check("hardware-clock", expects, "", "unknown", why or "no hardware clock is claimed"))
    else:
        share = whole_periods(run.steps(), period, tol.period)
        out.append(check("hardware-clock", expects, f"claimed; {100 * share:.1f}% of steps whole",
                         "pass" if share >= tol.within else "fail"))
    expects = "the compositor's sequence counts refresh cycles"
    counts = between.display.get("sequence_counts_refreshes")
    if not wayland or why or counts is None:
        out.append(check("sequence", expects, "", "unknown",
                         "X11 has no compositor sequence" if not wayland else why or "the compositor sends no seq"))
    else:
        out.append(check("sequence", expects, "counts refresh cycles" if counts else "counts something else",
                         "pass" if counts else "fail"))
    expects = f"the X server's vblank clock within {pct} of the present steps"
    if wayland or why:
        out.append(check("vblank-clock", expects, "", "unknown", why or "Wayland has no X vblank clock"))
    else:
        periods = [s / round(s / period) for s in run.steps() if round(s / period) >= 1]
        measured = percentile(periods, 50)
        out.append(check("vblank-clock", expects, f"clock {period:.1f} μs, presents {measured:.1f} μs",
                         "pass" if abs(measured - period) <= tol.period * period else "fail"))
    return out


def latency_check(run, period, why, tol):
    expects = f"swap end to present within {tol.latency_periods:g} periods at p99"
    if why:
        return check("latency", expects, "", "unknown", why)
    waits = [(p - end) / period for _, end, p, _ in run.presented()]
    p50, p99 = percentile(waits, 50), percentile(waits, 99)
    return check("latency", expects, f"p50 {p50:.2f}, p99 {p99:.2f} periods",
                 "pass" if p99 <= tol.latency_periods else "fail")


def pacing_check(run, tol):
    expects = f"--pace hybrid at 1.5 periods: frame starts within {tol.pace_us:g} μs of their due time at p99"
    interval, log = run.report["settings"]["interval_us"], run.log
    starts = [s for s, m in zip(log["start_us"], log["measured"]) if m]
    late = [b - a - interval for a, b in zip(starts, starts[1:])]
    if not late:
        return check("pacing", expects, "", "unknown", "no frame was measured")
    p99 = percentile(late, 99)
    return check("pacing", expects, f"p99 {p99} μs late", "pass" if p99 <= tol.pace_us else "fail")


def causality_check(runs):
    expects = "no frame presented before its own swap began"
    rows = [r for run in runs.values() if run for r in run.presented()]
    if not rows:
        return check("causality", expects, "", "unknown", no_evidence(runs["vsync0"]) or "no presents")
    early = sum(present < start for start, _, present, _ in rows)
    return check("causality", expects, f"{early} of {len(rows)} presents before their frame",
                 "fail" if early else "pass")


def input_check(run):
    expects = "figures only: injected presses to the present of their frame"
    if run is None:
        return check("input", expects, "", "unknown", "presses are injected on X11 only")
    figures = run.report.get("input", {})
    to = figures.get("to_present_us") or figures.get("to_swap_end_us")
    what = "present" if figures.get("to_present_us") else "swap end (no presents)"
    measured = f"to {what}: p50 {to['p50']} μs, p99 {to['p99']} μs" if to else "none answered"
    return check("input", expects, measured, "unknown", "figures without a verdict")


def battery(period_us, inject):
    """The runs: name and quorvel's arguments."""
    runs = {"vsync0": ["-v", "0"], "free0": ["0"], "vsync15": ["-v", str(round(1.5 * period_us))],
            "hybrid15": ["--pace", "hybrid", str(round(1.5 * period_us))]}
    if inject:
        runs["inject"] = ["-v", "--inject", "20", "0"]
    return runs
