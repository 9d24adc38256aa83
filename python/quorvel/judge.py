"""quorvel-check's checks: pure functions that judge each one pass, fail, or unknown with the reason.

They are fed with each run's report and log, and with what the machine
itself did meanwhile. A check never passes on
no evidence, nor on fewer samples than it needs; a simulated clock is never
a passing display; what the machine's own stalls can explain never fails.
Nothing here runs a program or writes a file, so the tests feed it with
made-up records."""
import dataclasses
import math

import numpy

from quorvel.log import machines, percentile
from quorvel.runs import MIN_SAMPLES, Machine, battery_period, period_of

CHECKS = ["scheduler", "refresh", "vsync-on", "vsync-off", "quantised", "vrr", "vsync-flag", "hardware-clock",
          "sequence", "vblank-clock", "latency", "pacing", "throttle", "causality", "input"]
FLAG_VSYNC = "vsync"
# A percentile is judged only with this many samples beyond it, so that no single stall decides it.
BEYOND = 3


@dataclasses.dataclass
class Tolerances:
    period: float = 0.005         # share of the period a step may be off a whole number of periods
    within: float = 0.85          # share of the steps that must be that close
    latency_periods: float = 3    # swap end to present at the judged percentile, in periods
    pace_us: float = 100          # the hybrid pace's own lateness at the judged percentile
    wake_us: float = 1000         # the machine's wake-up lateness at the judged percentile


def judged_percentile(n):
    """The highest of p99, p95 and p90 that n samples carry, or None for too few."""
    return next((p for p in (99, 95, 90) if n * (100 - p) >= 100 * BEYOND and n >= MIN_SAMPLES), None)


def us(value):
    return f"{value / 1000:.1f} ms" if abs(value) >= 1000 else f"{value:.0f} μs"


def check(name, expects, measured, verdict, why=""):
    return {"check": name, "expects": expects, "measured": measured, "verdict": verdict, "why": why}


def bounded(name, expects, measured, bad, allowed, beyond_us, n, machine, why=""):
    """Pass where no more samples than `allowed` went beyond the tolerance; where more did, but no
    more than the machine's own noise beyond it explains, unknown; otherwise fail, saying `why`."""
    if bad <= allowed:
        return check(name, expects, measured, "pass")
    # Each sample as exposed to the machine's noise as a millisecond of its own threads was.
    share = (machine or Machine()).share_beyond(beyond_us)
    if bad <= allowed + n * share:
        return check(name, expects, measured, "unknown", f"the machine itself stalls ({bad} of {n} beyond "
                     f"{us(beyond_us)}, {allowed} allowed; it held its own threads that long in "
                     f"{100 * share:.0f}% of its milliseconds)")
    return check(name, expects, measured, "fail", why)


def at_percentile(name, expects, values, bound, what, machine, show=us, why=""):
    """`values` within `bound` at the highest percentile their number carries."""
    n, p = len(values), judged_percentile(len(values))
    if p is None:
        return check(name, expects, f"{n} {what}", "unknown", f"too few {what} ({n})")
    allowed = n - math.ceil(n * p / 100)
    return bounded(name, expects, f"p{p} {show(percentile(values, p))} of {n} {what}",
                   sum(v > bound for v in values), allowed, bound, n, machine, why)


def whole(step, period, tol):
    return round(step / period) >= 1 and abs(step - round(step / period) * period) <= tol * period


def on_whole_periods(name, expects, run, steps, period, tol, machine, label="", too_fast=0, why=""):
    """A share of `steps` on whole periods; any step faster than the refresh fails it besides."""
    if len(steps) < MIN_SAMPLES:
        n = len(steps) + 1 if steps else len(run.presented())
        return check(name, expects, f"{n} presents", "unknown", f"too few presents ({n})")
    off = sum(not whole(s, period, tol.period) or s < period * (1 - tol.period) for s in steps)
    measured = f"{label}{100 * (1 - off / len(steps)):.1f}% of {len(steps)} steps whole"
    allowed = min(math.floor(len(steps) * (1 - tol.within) + 1e-9), off - too_fast if too_fast else len(steps))
    return bounded(name, expects, measured, off, allowed, tol.period * period, len(steps), noise(run, machine), why)


def noise(run, machine):
    """The machine's noise where it can move present times: not where a hardware clock stamps them,
    which a stall can only make a whole period late."""
    return None if run.display.get("hardware_clock") else machine


def no_evidence(run):
    """Why a run's presents cannot be judged, or None where they can."""
    d = run.display
    if d.get("server") == "Xvfb":
        return "Xvfb has no display, its vblank clock is simulated"
    if run.caps.get("feedback", "none") == "none":
        return "the window system gives no presentation feedback"
    presents = d.get("presents") or {}
    if presents.get("count") and presents.get("skip") == presents["count"]:
        return "every frame was discarded"
    if not run.presented():
        return "the display reported no presents for the window"
    return None


def judge(runs, tol, machine=None, failed=None, vrr_expected=False):
    """Every check of one window system, from its runs: vsync0 (-v at interval 0), free0 (interval 0),
    vsync15 (-v at 1.5 periods), hybrid15 (--pace hybrid at 1.5 periods), and inject where presses can
    be injected; `failed` names a run that could not be made, and why. `vrr_expected`: whether
    --expect names the vrr check, which then judges a fixed refresh a failure."""
    failed = failed or {}
    on = runs["vsync0"]
    period, no_period = period_of(on)
    pace_period = battery_period(on)
    absent = no_evidence(on)

    def lacking(*names):
        return next((f"the run {n} could not be made: {failed.get(n, 'not run')}" for n in names if n not in runs), None)

    def unknown_unless(name, expects, *names):
        why = lacking(*names) or no_period or next(filter(None, (no_evidence(runs[n]) for n in names)), None)
        return check(name, expects, "", "unknown", why) if why else None

    out = [scheduler_check(machine, pace_period, tol)]
    pct = f"{100 * tol.period:g}%"

    expects = f"present steps within {pct} of the reported period (their median)"
    if (c := unknown_unless("refresh", expects, "vsync0")) is None:
        c = against_period("refresh", expects, on, period, tol, machine,
                           lambda m: f"reported {1e6 / period:.3f} Hz, steps {1e6 / m:.3f} Hz")
    out.append(c)

    expects = f"nothing discarded, {100 * tol.within:g}% of steps whole periods, one present a refresh at most"
    if (c := unknown_unless("vsync-on", expects, "vsync0")) is None:
        steps, skipped = on.steps(), on.display["presents"]["skip"]
        too_fast = sum(s < period * (1 - tol.period) for s in steps)
        c = on_whole_periods("vsync-on", expects, on, steps, period, tol, machine, f"{skipped} discarded, ",
                             too_fast, f"{too_fast} faster than the refresh" if too_fast else "")
        if skipped and not c["why"].startswith("too few"):
            c.update(verdict="fail", why=f"{skipped} discarded with -v")
    out.append(c)

    out.append(vsync_off_check(runs, period, no_period or lacking("vsync0", "free0"), tol))

    expects = "with -v at 1.5 periods, presents on whole periods (1 and 2), not at 1.5"
    if (c := unknown_unless("quantised", expects, "vsync15")) is None:
        c = on_whole_periods("quantised", expects, runs["vsync15"], runs["vsync15"].steps(), period, tol, machine)
    out.append(c)

    out.append(vrr_check(runs.get("vsync15"), on, pace_period, tol, lacking("vsync15"), vrr_expected))
    out += flag_checks(on, runs.get("vsync15"), period, no_period or absent, lacking("vsync15"), tol, machine)
    out.append(latency_check(on, period, no_period or absent, tol, machine))
    out.append(pacing_check(runs.get("hybrid15"), lacking("hybrid15"), tol, machine))
    out.append(throttle_check(runs.get("hybrid15"), runs.get("vsync15"), pace_period, lacking("hybrid15"), machine))
    out.append(causality_check(runs))
    out.append(input_check(runs.get("inject"), on, lacking("inject") if "inject" in failed else None))
    return out


def scheduler_check(machine, period, tol):
    """The machine's own noise, from threads of quorvel-check's own: how often it stalls a running
    thread, and how late it wakes a sleeping one."""
    expects = f"no stall longer than a refresh ({us(period)}), wake-ups within {us(tol.wake_us)} at p99"
    if not machine or not machine.wakes_us or not machine.spin_s:
        return check("scheduler", expects, "", "unknown", "the machine was not measured")
    worst = max(machine.gaps_us, default=0)
    stalls = sum(g > 1000 for g in machine.gaps_us) + sum(w > 1000 for w in machine.wakes_us)
    n, p = len(machine.wakes_us), judged_percentile(len(machine.wakes_us))
    measured = (f"stalls over 1 ms: {stalls} in {machine.spin_s:.1f} s spinning and {n} wake-ups, worst "
                f"{us(max(worst, max(machine.wakes_us)))}; wake-ups late p50 {us(percentile(machine.wakes_us, 50))}")
    if p is None:
        return check("scheduler", expects, measured, "unknown", f"too few wake-ups ({n})")
    late = percentile(machine.wakes_us, p)
    measured += f", p{p} {us(late)}"
    ok = max(worst, max(machine.wakes_us)) <= period and late <= tol.wake_us
    return check("scheduler", expects, measured, "pass" if ok else "fail", "" if ok else "the machine stalls its threads")


def vsync_off_check(runs, period, why, tol):
    """Without -v, what the run with -v does not show: a frame rate above the refresh, discards where
    the -v run had none, or steps off whole periods where the -v run's were on them."""
    expects = "unlike -v: faster than the refresh, discards, or steps off whole periods"
    if why:
        return check("vsync-off", expects, "", "unknown", why)
    on, off = runs["vsync0"], runs["free0"]
    if on.display.get("server") == "Xvfb":
        return check("vsync-off", expects, "", "unknown", no_evidence(on))
    fps = off.report["frames"].get("fps_mean") or 0
    skipped, skipped_on = off.display["presents"]["skip"], on.display["presents"]["skip"]
    steps, steps_on = off.steps(), on.steps()

    def share(s):
        return sum(whole(x, period, tol.period) for x in s) / len(s) if len(s) >= MIN_SAMPLES else None
    whole_off, whole_on = share(steps), share(steps_on)
    measured = f"{fps:.1f} fps of {off.report['frames'].get('measured') or 0} frames, {skipped} discarded " \
               f"(with -v {skipped_on})" + (f", {100 * whole_off:.0f}% of steps whole" if whole_off is not None else "")
    if fps > 1.05 * 1e6 / period or (skipped and not skipped_on) or (
            whole_off is not None and whole_on is not None and whole_off < tol.within <= whole_on):
        return check("vsync-off", expects, measured, "pass")
    single = sum(abs(s - period) <= tol.period * period for s in steps)
    if len(steps) >= MIN_SAMPLES and not skipped and single >= tol.within * len(steps):
        return check("vsync-off", expects, measured, "fail", "vsync is forced on: a present every refresh without -v")
    held = off.measured().held.sum() / 1e6
    if off.seconds() and held >= off.seconds() / 2:
        return check("vsync-off", expects, measured, "unknown", f"the compositor held the frames back ({fps:.0f} fps, "
                     f"held {100 * held / off.seconds():.0f}% of the run)")
    return check("vsync-off", expects, measured, "unknown",
                 f"the GL stack cannot draw faster than the refresh here ({fps:.0f} fps)")


def vrr_check(run, on, period, tol, why, expected):
    """Whether a pace between refreshes is presented at its own pace (a variable refresh at work) or
    on whole periods (a fixed one). A display that reports a variable refresh promises the first; a
    fixed one is a failure where --expect asks about it, and otherwise figures only."""
    expects = "with -v at 1.5 periods: presents at that pace where the refresh is variable"
    why = why or (no_evidence(run) if run else None)
    if why:
        return check("vrr", expects, "", "unknown", why)
    steps, pace = run.steps(), run.report["settings"]["interval_us"]
    if len(steps) < MIN_SAMPLES:
        return check("vrr", expects, "", "unknown", f"too few presents ({len(run.presented())})")
    follow = sum(abs(s - pace) <= 0.1 * period for s in steps) / len(steps)
    fixed = sum(whole(s, period, tol.period) for s in steps) / len(steps)
    variable = on.display.get("refresh_variable")
    measured = (f"reported {'variable' if variable else 'fixed'}; {100 * follow:.0f}% of {len(steps)} steps at the "
                f"{us(pace)} pace, {100 * fixed:.0f}% whole periods of {us(period)}")
    if follow >= tol.within:
        return check("vrr", expects, measured + ": variable refresh at work", "pass")
    if fixed < tol.within:
        return check("vrr", expects, measured, "unknown", "the steps neither follow the pace nor fall on whole periods")
    if variable or expected:
        return check("vrr", expects, measured + ": a fixed refresh", "fail", "the refresh stays fixed")
    return check("vrr", expects, measured + ": a fixed refresh", "unknown",
                 "a fixed refresh, as reported: --expect vrr=pass or vrr=fail judges it")


def flag_checks(run, between, period, why, between_why, tol, machine):
    """The flags of the runs with vsync at interval 0 (`run`) and at 1.5 periods (`between`, where a
    sequence that counts the compositor's own frames falls behind the refresh cycles). A per-frame
    feedback carries flags and a sequence; a vblank clock is the X server's."""
    d, pct = run.display, f"{100 * tol.period:g}%"
    feedback = run.caps.get("feedback", "none")
    per_frame = feedback == "per_frame"
    not_per_frame = {"vblank_clock": "the X server's presents carry no flags or sequence of their own",
                     "none": "the window system gives no presentation feedback"}.get(feedback)
    out = []
    expects = f"the vsync flag only on presents whose steps are whole periods, within {pct}"
    flagged = any(FLAG_VSYNC in r[3].split("|") for r in run.presented()) if per_frame and not why else False
    if not per_frame or why or not flagged:
        out.append(check("vsync-flag", expects, "", "unknown",
                         not_per_frame or why or "no present carries the vsync flag"))
    else:
        out.append(on_whole_periods("vsync-flag", expects, run, run.steps(FLAG_VSYNC), period, tol, machine, "flagged: "))
    expects = "a hardware clock claimed only where the present times are that regular"
    if why or not d.get("hardware_clock"):
        out.append(check("hardware-clock", expects, "", "unknown", why or "no hardware clock is claimed"))
    else:
        out.append(on_whole_periods("hardware-clock", expects, run, run.steps(), period, tol, machine, "claimed; "))
    out.append(sequence_check(between, not_per_frame or why or between_why))
    expects = f"the X server's vblank clock within {pct} of the present steps (their median)"
    if feedback != "vblank_clock" or why:
        out.append(check("vblank-clock", expects, "", "unknown", why or (
            "the window system has no X vblank clock: its feedback comes per frame" if per_frame else not_per_frame)))
    else:
        out.append(against_period("vblank-clock", expects, run, period, tol, machine,
                                  lambda m: f"clock {period:.1f} μs, presents {m:.1f} μs"))
    return out


def against_period(name, expects, run, period, tol, machine, show):
    """The median of the present steps, each divided by its whole number of periods, against the period."""
    steps = [s for s in run.steps() if round(s / period) >= 1]
    if len(steps) < MIN_SAMPLES:
        return check(name, expects, f"{len(steps)} steps", "unknown", f"too few presents ({len(run.presented())})")
    periods = [s / round(s / period) for s in steps]
    measured = percentile(periods, 50)
    # Where the median is off, more than half the steps are off with it; where it is not, none counts.
    off = max(sum(abs(p - period) > tol.period * period for p in periods), len(steps) // 2 + 1) \
        if abs(measured - period) > tol.period * period else 0
    return bounded(name, expects, f"{show(measured)} ({len(steps)} steps)", off, len(steps) // 2,
                   tol.period * period, len(steps), noise(run, machine))


def sequence_check(run, why):
    expects = "the compositor's sequence counts refresh cycles"
    why = why or no_evidence(run) or (f"too few presents ({run.shown()})" if run.shown() < MIN_SAMPLES else None)
    counts = None if why else run.display.get("sequence_counts_refreshes")
    if why or counts is None:
        return check("sequence", expects, "", "unknown", why or "the compositor sends no seq")
    return check("sequence", expects, f"{'counts refresh cycles' if counts else 'counts something else'} over "
                 f"{run.shown()} presents", "pass" if counts else "fail")


def latency_check(run, period, why, tol, machine):
    expects = f"swap end to present within {tol.latency_periods:g} periods at p99"
    if why:
        return check("latency", expects, "", "unknown", why)
    waits = [p - end for _, end, p, _ in run.presented()]
    return at_percentile("latency", expects, waits, tol.latency_periods * period, "presents", machine,
                         lambda v: f"{v / period:.2f} periods")


def pacing_check(run, why, tol, machine):
    """The hybrid pace's own lateness: each frame's start step beyond the interval, less what the
    window system held the frame. A frame late beyond the bound whose excess the kernel's accounts give
    the machine is set apart (within the bound it passes whoever's it is, and setting it apart would
    leave the late ones a larger share); in a log without them, how late the machine woke the loop is
    taken off each frame instead, and its noise beside the run explains what it can. What is left is
    the loop's: the frame before drawn past the due tick, or work that should have waited."""
    expects = f"--pace hybrid at 1.5 periods: frames late by their own within {tol.pace_us:g} μs at p99"
    if why:
        return check("pacing", expects, "", "unknown", why)
    interval, f = run.report["settings"]["interval_us"], run.measured()
    excess = f.step - interval - f.held
    if f.accounted:
        apart = machines(excess, f.machine) & (excess > tol.pace_us)
        c = at_percentile("pacing", expects, numpy.maximum(0, excess[~apart]).tolist(), tol.pace_us, "frames", None)
    else:
        c = at_percentile("pacing", expects, numpy.maximum(0, excess - f.woke).tolist(), tol.pace_us, "frames", machine)
    woke = f.woke[f.woke > 0]
    if len(f.step):
        c["measured"] += f"; not its own: {(f.held > 0).sum()} held" + (
            set_apart(apart, f.machine, f.waiting) if f.accounted else
            f", {len(woke)} woken late" + (f" (worst {us(woke.max())})" if len(woke) else ""))
    return c


def set_apart(apart, machine, waiting):
    """How many frames were set apart as the machine's, and why: mostly `waiting` for a CPU of the
    `machine`'s part, or woken late."""
    waiting = (2 * waiting[apart] >= machine[apart]).sum()
    return f", {apart.sum()} set apart: the machine's ({waiting} waiting for a CPU, {apart.sum() - waiting} woken late)"


def throttle_check(paced, vsynced, period, why, machine):
    """How long the window system held frames back before it let them be drawn. With -v that is how
    a compositor paces its clients, and only figures; without -v a compositor should release each
    frame within a refresh, or no client can draw faster than it: holding them longer is a finding.
    A frame held beyond a refresh that the kernel's accounts give the machine, at least half of that,
    is set apart: the hold is the window system's but for the thread's wait for a CPU once released."""
    expects = f"without -v, frames released within a refresh ({us(period)}) at p99"
    if why:
        return check("throttle", expects, "", "unknown", why)
    if not paced.caps.get("in_flight_limit"):
        return check("throttle", expects, "", "unknown",
                     "the window system holds no frame back: a swap that waits shows in its duration")
    f = paced.measured()
    apart = machines(f.held - period, f.held_waiting) if f.accounted else numpy.zeros(len(f.held), bool)
    c = at_percentile("throttle", expects, f.held[~apart].tolist(), period, "frames", None if f.accounted else machine,
                      why="the compositor holds frames back without -v")
    c["measured"] = f"without -v: {(f.held > 0).sum()} held, {(f.held > period).sum()} over a refresh" \
        + (set_apart(apart, f.held_waiting, f.held_waiting) if f.accounted else "") + "; " + c["measured"]
    if vsynced:
        with_v = vsynced.measured().held.tolist()
        if with_v:
            c["measured"] += (f"; with -v: {sum(h > 0 for h in with_v)} of {len(with_v)} held, "
                              f"p50 {us(percentile(with_v, 50))}")
    return c


def causality_check(runs):
    expects = "no frame presented before its own swap began"
    rows = [r for run in runs.values() if run for r in run.presented()]
    early = sum(present < start for start, _, present, _ in rows)
    measured = f"{early} of {len(rows)} presents before their frame"
    if early:
        return check("causality", expects, measured, "fail")
    if not rows:
        return check("causality", expects, "", "unknown", no_evidence(runs["vsync0"]) or "no presents")
    if len(rows) < MIN_SAMPLES:
        return check("causality", expects, measured, "unknown", f"too few presents ({len(rows)})")
    return check("causality", expects, measured, "pass")


def input_check(run, on, why):
    expects = "figures only: injected presses to the present of their frame"
    if run is None:
        refusal = on.caps.get("inject_refusal")
        return check("input", expects, "", "unknown", why or (f"presses cannot be injected: {refusal}"
                                                              if refusal else "no presses were injected"))
    figures = run.report.get("input") or {}
    to = figures.get("to_present_us") or figures.get("to_swap_end_us")
    what = "present" if figures.get("to_present_us") else "swap end (no presents)"
    measured = f"to {what}: p50 {to['p50']} μs, p99 {to['p99']} μs of {figures.get('answered', 0)} presses" \
        if to else "none answered"
    return check("input", expects, measured, "unknown", "figures without a verdict")
