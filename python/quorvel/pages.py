"""quorvel's pages: a run, a quorvel-check battery or a comparison as one HTML file that needs nothing else.

A page needs no script, no style and nothing fetched: CI servers show
archived pages under a policy that blocks all of those. It is sections of
facts, tables and plots, filled into one template (page.html, beside this
module) with Jinja2, which escapes every value; the plots come from svg,
which escapes its own text. The tools read their inputs; this module only
draws what they read.
"""
import json
import os
from types import SimpleNamespace

import jinja2
import numpy as np
from markupsafe import Markup, escape

from quorvel import log as quorvel_log
from quorvel import svg as sv

HERE = os.path.dirname(os.path.realpath(__file__))
LATE = 1.5  # a late frame's interval, in requested intervals, as the program counts them
MOST_BARS = 200  # late frames drawn one bar each; the latest of them where there are more
MODES = [("flip", sv.BLUE, "flip"), ("copy", sv.GREEN, "copy"), ("suboptimal_copy", sv.ORANGE, "suboptimal copy")]
MARKS = {"pass": (sv.GREEN, "M2 7l3 3l6 -7", "pass"), "fail": (sv.VERMILION, "M2 2l9 9M11 2l-9 9", "FAIL"),
         "unknown": (sv.GREY, "M4 4a2.5 2.5 0 1 1 3 2.5v1.5M6.5 10.5v0.5", "unknown"),
         "same": (sv.GREY, "M2 4.5h9M2 8.5h9", "same")}


class BadReport(Exception):
    """A report that cannot be used: its file, and why."""


def read_report(path, named):
    """A run's report, and the same with every value as the text it is written as; or ({}, {}) where
    none was named and none sits beside the log."""
    try:
        with open(path, encoding="utf-8") as f:
            text = f.read()
        report = json.loads(text)
    except FileNotFoundError:
        if named:
            raise BadReport(path, "no such file")
        return {}, {}
    except (OSError, UnicodeDecodeError, ValueError) as e:
        raise BadReport(path, f"not a quorvel report: {getattr(e, 'strerror', None) or e}")
    if not isinstance(report, dict) or not isinstance(report.get("settings"), dict) or not all(
            isinstance(report.get(part, {}), dict) for part in ("display", "gl")):
        raise BadReport(path, "not a quorvel report: no settings, display and gl")
    return report, as_written(text)


def same_file(path, stream):
    """Whether `path` is where `stream` goes, as /dev/stdout is standard output's."""
    try:
        return os.path.samestat(os.stat(path), os.fstat(stream.fileno()))
    except (OSError, ValueError, AttributeError):
        return False


def render(title, sections, lines=()):
    """The page as bytes. Autoescape is on: only the plots and marks made here are markup."""
    env = jinja2.Environment(loader=jinja2.FileSystemLoader(HERE), autoescape=True, trim_blocks=True,
                             lstrip_blocks=True, keep_trailing_newline=True, undefined=jinja2.StrictUndefined)
    return env.get_template("page.html").render(title=title, sections=sections, lines=list(lines)).encode()


def section(title, level=2, kind="", lines=(), tables=(), plots=()):
    return {"title": title, "level": level, "kind": kind, "lines": list(lines), "tables": list(tables),
            "plots": list(plots)}


def table(caption, head, rows):
    return {"caption": caption, "head": head, "rows": rows}


def mark(kind):
    colour, path, _ = MARKS.get(kind, MARKS["unknown"])
    return Markup(f'<svg xmlns="http://www.w3.org/2000/svg" width="13" height="13" viewBox="0 0 13 13" '
                  f'aria-hidden="true"><path d="{path}" fill="none" stroke="{colour}" stroke-width="2.2"/></svg>&nbsp;')


def verdict_mark(verdict, why=""):
    """A verdict as a mark and in words, so that it reads without colour and printed in grey."""
    return mark(verdict) + escape(MARKS.get(verdict, MARKS["unknown"])[2] + (f": {why}" if why else ""))


def flat(value, prefix=""):
    """Nested JSON as (dotted key, its text): a list of plain values on one line."""
    if isinstance(value, dict):
        return [pair for k, v in value.items() for pair in flat(v, f"{prefix}.{k}" if prefix else k)]
    if isinstance(value, list) and not any(isinstance(v, (dict, list)) for v in value):
        return [(prefix, " ".join("null" if v is None else str(v) for v in value))]
    if isinstance(value, list):
        return [pair for n, v in enumerate(value) for pair in flat(v, f"{prefix}[{n}]")]
    return [(prefix, "null" if value is None else str(value).lower() if isinstance(value, bool) else str(value))]


def as_written(text):
    """A report's JSON with every number and word kept as the text it is written as."""
    return json.loads(text, parse_float=str, parse_int=str, parse_constant=str)


# One run.

def report_section(title, raw, level=2):
    """The fingerprint, the settings and the figures as tables, each value as the report writes it."""
    figures = flat({k: v for k, v in raw.items() if k not in ("fingerprint", "settings")})
    fingerprint = flat(raw.get("fingerprint") or {}) or [("fingerprint", "none (an older report)")]
    return section(title, level, "figures", tables=[
        table("the fingerprint: the machine, the display stack and the command", ["what", "value"], fingerprint),
        table("the settings", ["setting", "value"], flat(raw.get("settings") or {})),
        table("the report's figures, as the report writes them", ["figure", "value"], figures)])


def column(log, name):
    v = log.get(name)
    return np.asarray(v, dtype=float) if v is not None and len(v) and not isinstance(v[0], str) else None


def run_plots(log, report):
    """The plots of one run's log (NumPy arrays by column, as quorvel_log.arrays reads them)."""
    t = (log["start_us"] - log["start_us"][0]) / 1e6
    measured = log["measured"] == 1 if "measured" in log else np.isfinite(log["interval_us"])
    asked = (report.get("settings") or {}).get("interval_us") or 0
    plots = intervals(t, log["interval_us"], measured, asked)
    mode = np.asarray(log.get("present_mode", np.full(len(t), "")))
    ust = column(log, "present_ust")
    if ust is not None and (np.isfinite(ust) | (mode == "skip")).any():
        plots += presents(t, ust, mode, log["swap_end_mono_us"])
    if asked > 0:
        plots += late_frames(log, measured, asked)
    if column(log, "input_us") is not None and np.isfinite(log["input_us"]).any():
        plots.append(presses(t, log, ust, mode))
    return [p.svg() for p in plots]


def thinned(points, marked=False):
    """The plot's note where its series is thinned, as svg.thin thins it."""
    if points <= 4 * (sv.WIDTH - sv.LEFT - sv.RIGHT):
        return ""
    return sv.THINNED + (", and every marked frame" if marked else "")


def intervals(t, interval, measured, asked):
    ms = interval / 1000
    over = sv.Plot("frame intervals over the run", "time since the first frame's start (s)", "interval (ms)",
                   sv.span(t, room=0), sv.span(ms, 0), note=thinned(len(t), marked=True))
    over.line(t, ms, sv.BLACK, "interval, swap end to swap end")
    if asked > 0:
        over.level(asked / 1000, sv.GREEN, f"requested {asked / 1000:g} ms")
    if asked > 0:
        late = measured & (interval > LATE * asked)
        over.marks(t[late], ms[late], sv.VERMILION, f"late, over {LATE:g} intervals", shape="triangle")
    rows = np.flatnonzero(measured & np.isfinite(interval))
    stutters = rows[quorvel_log.stutters(interval[rows].astype(int).tolist())]
    over.marks(t[stutters], ms[stutters], sv.BLUE, "stutters", size=6)
    warm = ~measured
    if warm.any():
        over.bars([t[0]], [t[np.flatnonzero(warm)[-1]]], [over.ys[1]], "#eeeeee", "warm-up")
        over.parts.insert(0, over.parts.pop())  # behind the line
    return [over, histogram(interval[rows])]


def histogram(us):
    """The measured intervals in at most 200 bins, each a whole number of μs wide, as the log's are."""
    low, high = (us.min(), us.max()) if len(us) else (0, 1)
    width = max(1, int(np.ceil((high - low + 1) / 200)))
    counts, edges = np.histogram(us, bins=low + width * np.arange(int((high - low) // width) + 2))
    edges = edges / 1000
    spread = sv.Plot("histogram of the measured intervals", "interval (ms)", "frames", (edges[0], edges[-1]),
                     sv.span(counts, 0))
    spread.bars(edges[:-1], edges[1:], counts, sv.SKY, f"{len(us)} measured frames")
    for p, colour in ((50, sv.GREEN), (99, sv.VERMILION)):
        at = quorvel_log.percentile(us.tolist(), p) / 1000 if len(us) else 0
        spread.line([at, at], spread.ys, colour, f"p{p} {at:g} ms", dash="4 3")
    return spread


def presents(t, ust, mode, mono):
    """Each shown frame's step from the one shown before it, by mode; the discarded frames; and
    each shown frame's wait from its swap end to its present."""
    shown = np.flatnonzero(np.isfinite(ust) & (mode != "skip"))
    step = np.full(len(t), np.nan)
    step[shown[1:]] = np.diff(ust[shown]) / 1000
    steps = sv.Plot("present steps over the run", "time since the first frame's start (s)",
                    "step from the present before (ms)", sv.span(t, room=0), sv.span(step, 0), note=thinned(len(shown)))
    for name, colour, words in (m for m in MODES if (mode == m[0]).any()):
        steps.marks(t[mode == name], step[mode == name], colour, words, shape="dot", size=2, thinned=True)
    skipped = mode == "skip"
    if skipped.any():
        steps.marks(t[skipped], np.full(skipped.sum(), steps.ys[0]), sv.VERMILION, "discarded", shape="triangle")
    wait = (ust - mono) / 1000
    waits = sv.Plot("swap end to present", "time since the first frame's start (s)", "swap end to present (ms)",
                    sv.span(t, room=0), sv.span(wait[shown], 0), note=thinned(len(shown)))
    waits.line(t[shown], wait[shown], sv.BLUE, "each shown frame")
    return [steps, waits]


def late_frames(log, measured, asked):
    """Where each late frame's time went: its excess over the requested interval split as the program
    splits it (held, woken late, drawn long) and, where the log has them, the kernel's accounts of the
    frame: waiting for a CPU (its run-queue wait and that of its wake-up), blocked, on the CPU."""
    late = np.flatnonzero(measured & (log["interval_us"] > LATE * asked))
    if not len(late):
        return []
    note = f"the {MOST_BARS} latest of {len(late)}, in time order" if len(late) > MOST_BARS else "in time order"
    late = np.sort(late[np.argsort(log["interval_us"][late], kind="stable")[-MOST_BARS:]])
    excess = log["interval_us"][late] - asked
    held = np.minimum(np.nan_to_num(log["held_us"][late]) if "held_us" in log else 0, excess)
    woke = np.minimum(np.nan_to_num(log["woke_late_us"][late]) if "woke_late_us" in log else 0, excess - held)
    parts = [("held by the window system", sv.ORANGE, held), ("woken late by the machine", sv.SKY, woke),
             ("drawn long", sv.PURPLE, excess - held - woke)]
    plots = [stacked("where each late frame's lateness went", "lateness beyond the requested interval (ms)",
                     parts, note)]
    accounts = [column(log, n) for n in ("run_queue_us", "woke_queued_us", "blocked_us", "on_cpu_us")]
    if all(a is not None for a in accounts) and np.isfinite(accounts[0][late]).any():
        queue, queued, blocked, cpu = (np.nan_to_num(a[late]) for a in accounts)
        plots.append(stacked("the late frames by the kernel's accounts", "time of the frame's main thread (ms)",
                             [("waiting for a CPU", sv.VERMILION, queue + queued), ("blocked in GL or the window "
                              "system", sv.BLUE, blocked), ("on the CPU", sv.GREEN, cpu)], note))
    return plots


def stacked(title, ylabel, parts, note):
    n = len(parts[0][2])
    total = sum(p for _, _, p in parts) / 1000
    plot = sv.Plot(title, "late frame, in time order (count)", ylabel, (0.5, n + 0.5), sv.span(total, 0), note=note)
    base, x = np.zeros(n), np.arange(1, n + 1)
    for name, colour, part in parts:
        plot.bars(x - 0.4, x + 0.4, base + part / 1000, colour, name, bottom=base)
        base = base + part / 1000
    return plot


def presses(t, log, ust, mode):
    """Each press to the present of the frame that answered it, or to its swap end without presents."""
    press, end, mono = log["input_us"], log["swap_end_us"], log["swap_end_mono_us"]
    shown = np.isfinite(ust) & (mode != "skip") if ust is not None else np.zeros(len(t), bool)
    answered = np.isfinite(press)
    if (shown & answered).any():
        wait, what, rows = (ust - quorvel_log.to_monotonic(press, end, mono)) / 1000, "present", shown & answered
    else:
        wait, what, rows = (end - press) / 1000, "swap end (no presents)", answered
    plot = sv.Plot(f"presses to {what}", "time since the first frame's start (s)", f"press to {what} (ms)",
                   sv.span(t, room=0), sv.span(wait[rows], 0))
    plot.marks(t[rows], wait[rows], sv.PURPLE, "presses answered", shape="dot", size=5)
    return plot


def run_page(title, log, report, raw):
    return render(title, [section("the run", kind="run", plots=run_plots(log, report)),
                          report_section("its fingerprint, settings and figures", raw)])


# A quorvel-check battery.

def check_sections(winsys, said, checks, runs):
    """A window system's header lines, its verdicts, and the plots of each run they stand on:
    `runs` maps a run's name to its log's arrays and its report."""
    rows = [[c["check"], c["expects"], c["measured"], verdict_mark(c["verdict"], c["why"])] for c in checks]
    out = [section(f"window system: {winsys}", kind="checks", lines=said,
                   tables=[table(f"the checks of {winsys}", ["check", "expects", "measured", "verdict"], rows)])]
    for name, (log, report) in runs.items():
        command = (report.get("fingerprint") or {}).get("command_line") or []
        out.append(section(f"{winsys}: the run {name}", level=3, kind="run",
                           lines=[" ".join(map(str, command))] if command else [], plots=run_plots(log, report)))
    return out


# A comparison.

SAID = ("BASE ", "note: ", "differs: ", "context: ", "unknown: ", "same: ")
PERCENTILES = [(50, "p50"), (90, "p90"), (99, "p99"), (99.9, "p99.9"), (100, "max")]


def compare_sections(out, base, new):
    """One pair of a comparison: what it says beside its table, the table with each change's
    interval, and, where both sides have logs, their intervals and lateness overlaid."""
    from quorvel.comparison import RANK, amount, interval_text  # SciPy's weight, only for a comparison
    said = [line for line in out["lines"] if line.removeprefix("across: ").startswith(SAID)]
    if "checks" in out:
        rows = [[c["check"], *(f"{x['verdict']}: {x['why']}" if x and x.get("why") else x["verdict"] if x else "absent"
                               for x in (c["base"], c["new"])), change_mark(c["what"])]
                for c in sorted(out["checks"], key=lambda c: RANK[c["what"].split(" (")[0]])]
        return [section(out["name"], kind="pair", lines=said,
                        tables=[table("the checks", ["check", "BASE", "NEW", "what"], rows)])]
    rows = []
    for f in sorted(out["figures"], key=lambda f: RANK[f["verdict"].split(":")[0]]):
        for name, c in ((f["figure"], f["all_frames"]), ("\u21b3 the stack's frames", f["stack_frames"])):
            if c:
                rows.append([name, amount(c["base"], f["unit"]), amount(c["new"], f["unit"]),
                             amount(c["change"], f["unit"], True), interval_text(SimpleNamespace(**c), f["unit"]),
                             change_mark(f["verdict"] if name == f["figure"] else c["verdict"] + (
                                 f": {c['why']}" if c["why"] else ""))])
    plots = []
    if all(r.frames for r in base + new):
        plots = [cumulative(base, new), lateness(base, new)]
    return [section(out["name"], kind="pair", lines=said, plots=[p.svg() for p in plots if p],
                    tables=[table("the figures, changes first", ["figure", "BASE", "NEW", "change", "95% interval",
                                                                  "verdict"], rows)])]


def change_mark(what):
    """A change as a mark and in its words: worse or a regression as a failure, better or a fix as a pass."""
    kind = ("fail" if what.startswith(("worse", "regression")) else "pass" if what.startswith(("better", "fix"))
            else "same" if what.startswith("same") else "unknown")
    return mark(kind) + escape(what)


def pooled(side, series):
    v = np.concatenate([r.frames.series[series] for r in side])
    return np.sort(v[np.isfinite(v)])


def cumulative(base, new):
    """The measured intervals of each side as cumulative curves, thinned as the time series are."""
    sides = [(pooled(base, "interval") / 1000, sv.BLUE, "BASE"), (pooled(new, "interval") / 1000, sv.ORANGE, "NEW")]
    plot = sv.Plot("frame intervals, BASE and NEW", "interval, swap end to swap end (ms)",
                   "share of the measured frames at or below", sv.span(np.concatenate([v for v, _, _ in sides]), room=0),
                   (0, 1.02), note=thinned(max(len(v) for v, _, _ in sides)))
    for v, colour, name in sides:
        plot.line(v, np.arange(1, len(v) + 1) / max(len(v), 1), colour, f"{name} ({len(v)} frames)",
                  dash="6 3" if name == "NEW" else None)
    return plot


def lateness(base, new):
    """Each side's lateness at the figures' percentiles, side by side."""
    sides = [(pooled(base, "lateness") / 1000, sv.BLUE, "BASE"), (pooled(new, "lateness") / 1000, sv.ORANGE, "NEW")]
    if not all(len(v) for v, _, _ in sides):
        return None
    from quorvel.stats import nearest_rank
    at = [[nearest_rank(v, p) for p, _ in PERCENTILES] for v, _, _ in sides]
    plot = sv.Plot("lateness, BASE and NEW: start step off the requested interval", "percentile of the frames",
                   "lateness (ms)", (0.5, len(PERCENTILES) + 0.5), sv.span(np.concatenate(at), 0))
    plot.categories = [(n + 1, name) for n, (_, name) in enumerate(PERCENTILES)]
    x = np.arange(1, len(PERCENTILES) + 1)
    for (v, colour, name), values, shift in zip(sides, at, (-0.35, 0)):
        plot.bars(x + shift, x + shift + 0.35, values, colour, name)
    return plot
