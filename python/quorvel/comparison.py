"""quorvel-compare's work: the figures and checks of two sides compared, and the result's table, JSON and JUnit XML.

The sides are read by sides and the statistics are in stats; the command
line (compare) only asks.
"""
import dataclasses
import io
import math
import xml.etree.ElementTree as ET

import numpy as np

from quorvel import stats as qs
from quorvel.sides import RANK, Bad, Check, Run, context, differences, fingerprint, label, repeats_differ

def compare_runs(base, new, threshold, rng, tick):
    """Every figure between two sides of runs: (figure, verdict, all frames' Change, the stack's Change);
    `tick` is called after each series resampled one way."""
    logged = [r for r in base + new if r.frames]
    rows = []
    if len(logged) == len(base) + len(new):
        sides = [qs.Side([r.frames for r in side], rng) for side in (base, new)]
        both = {False: [], True: []}
        for series in qs.SERIES:
            for mask in both:
                both[mask] += qs.percentile_changes([f for f in qs.FIGURES if f.series == series], *sides, mask)
                tick()
        rates = [rate_change(f, base, new) for f in qs.FIGURES if not f.p]
        qs.settle(both[False] + both[True] + rates, threshold)
        for everything, stack in zip(both[False], both[True]):
            rows.append((everything.figure, joint(everything, stack), everything, stack))
        rows += [(c.figure, verdict(c), c, None) for c in rates]
    else:
        why = next(r.log_why for r in base + new if not r.frames)
        rows = [(c.figure, verdict(c), c, None) for c in report_figures(base, new, why)]
        rates = [rate_change(f, base, new) for f in qs.FIGURES if not f.p]
        qs.settle(rates, threshold)
        rows += [(c.figure, verdict(c), c, None) for c in rates]
    return rows


def verdict(c):
    return c.verdict + (f": {c.why}" if c.why else "")


def joint(everything, stack):
    """A figure's verdict from all frames and from the stack's alone: a change only with the machine's
    frames counted is the machine's, whichever way it goes, since a quieter machine is no better stack."""
    for way in ("worse", "better"):
        if stack.verdict == way:
            return way
        if everything.verdict == way:
            return f"{way} (the machine's)"
    if "same" in (everything.verdict, stack.verdict):
        return "same"
    return verdict(everything)


RATE_COUNTS = {  # count and exposure of a rate, from a report
    "missed vblanks": lambda r: (r["display"]["presents"].get("missed_vblanks"), r["frames"]["measured"] / 1000),
    "discards": lambda r: (r["display"]["presents"]["skip"], r["frames"]["measured"] / 1000),
    "stutters": lambda r: (r["frames"]["stutters"], r["frames"]["seconds"] / 60)}


def rate_change(figure, base, new):
    sums = []
    for side in (base, new):
        counted = [RATE_COUNTS[figure.name](r.report) for r in side]
        if any(k is None for k, _ in counted):
            c = qs.Change(figure.name, why=f"{'BASE' if side is base else 'NEW'}: not counted (see its report)")
            return c
        sums.append((sum(k for k, _ in counted), sum(t for _, t in counted)))
    return qs.rate_change(figure, *sums)


REPORT_FIGURES = {"frame cost p50": ("duration_us", "p50"), "frame cost p99": ("duration_us", "p99"),
                  "animation error p99": ("display.presents.animation_error_us", "p99"),
                  "input to present p50": ("input.to_present_us", "p50"),
                  "input to present p99": ("input.to_present_us", "p99")}


def report_figures(base, new, why):
    """Without a log: the reports' own figures, with no interval (repeats: their mean)."""
    out = []
    for f in (f for f in qs.FIGURES if f.p):
        c = qs.Change(f.name, why=f"{why}: the report's figure alone, with no interval")
        if f.name in REPORT_FIGURES:
            where, key = REPORT_FIGURES[f.name]
            values = []
            for side in (base, new):
                found = []
                for r in side:
                    part = r.report
                    for k in where.split("."):
                        part = part.get(k) if isinstance(part, dict) else None
                    found.append(part.get(key) if isinstance(part, dict) else None)
                values.append(float(np.mean(found)) if all(isinstance(v, (int, float)) for v in found) else None)
            if None not in values:
                c.base, c.new, c.change = values[0], values[1], values[1] - values[0]
        else:
            c.why = f"{why}: no report figure"
        out.append(c)
    return out


ORDER = {"pass": 0, "fail": 1}


def compare_checks(base, new):
    """The verdicts of two quorvel-check reports in piglit's manner: (name, what, base, new)."""
    def verdicts(check):
        return {(w, c["check"]): c for w, checks in check.report["checks"].items() for c in checks}
    a, b = verdicts(base), verdicts(new)
    rows = []
    for key in sorted(set(a) | set(b)):
        x, y = a.get(key), b.get(key)
        name = f"{key[0]}:{key[1]}"
        if x is None or y is None:
            rows.append((name, "new" if x is None else "gone", x, y))
            continue
        was, now = x["verdict"], y["verdict"]
        what = ("same" if was == now else "regression" if (was, now) == ("pass", "fail")
                else "fix" if (was, now) == ("fail", "pass") else "change")
        rows.append((name, what, x, y))
    return rows


def read_names(path, known_names):
    """The names of a --known or --flakes file: one [WINSYS:]CHECK or FIGURE a line, # comments."""
    try:
        with open(path) as f:
            lines = f.read().splitlines()
    except (OSError, UnicodeDecodeError) as e:
        raise Bad(path, getattr(e, "strerror", None) or str(e))
    names = set()
    for n, line in enumerate(lines, start=1):
        name = line.split("#", 1)[0].strip()
        if not name:
            continue
        if name not in known_names and name.rpartition(":")[2] not in known_names:
            raise Bad(path, f"line {n}: {name!r} names no figure or check")
        names.add(name)
    return names


def listed(names, name):
    """Whether `name` (a figure, or WINSYS:CHECK) is in a list, with or without its window system."""
    return name in names or name.partition(":")[2] in names


def usage_of(name, what, known, flakes):
    """How a line counts towards the status: 'fail', 'strict' (the machine's), or None; and its note."""
    if what.startswith(("regression", "worse")):
        if listed(flakes, name):
            return None, " (flake)"
        if listed(known, name):
            return None, " (known)"
        return ("strict" if what == "worse (the machine's)" else "fail"), ""
    if what in ("fix", "change", "better") and listed(flakes, name):
        return None, " (flake)"
    return None, ""


def amount(value, unit, signed=False):
    if value is None:
        return "-"
    if unit == "μs":
        return f"{value:+.0f} μs" if signed else f"{value:.0f} μs"
    return f"{value:+.2f}{unit}" if signed else f"{value:.2f}{unit}"


def interval_text(c, unit):
    if c.low is None:
        return ""
    u = " μs" if unit == "μs" else unit
    return f"[{c.low:+.0f}, {c.high:+.0f}]{u}" if unit == "μs" else f"[{c.low:+.2f}, {c.high:+.2f}]{u}"


def table(rows):
    widths = [max(len(r[i]) for r in rows) for i in range(len(rows[0]) - 1)]
    return ["  ".join(r[i].ljust(widths[i]) for i in range(len(widths))) + "  " + r[-1] for r in rows]


UNITS = {f.name: f.unit for f in qs.FIGURES}


def figure_lines(rows, everything, known, flakes):
    """The table of a comparison of runs, changes first, regressions first, and the same and the
    unknown folded to a line each unless `everything`; and the statuses it asks."""
    shown, folded, unknown, asks = [("figure", "BASE", "NEW", "change", "95% interval", "verdict")], [], {}, set()
    for name, what, c, stack in sorted(rows, key=lambda r: RANK[r[1].split(":")[0]]):
        ask, note = usage_of(name, what, known, flakes)
        asks.add(ask)
        if not everything and what == "same":
            folded.append(name)
            continue
        if not everything and c.base is None and (stack is None or stack.why == c.why):
            unknown.setdefault(c.why, []).append(name)
            continue
        unit = UNITS[name]
        shown.append((name, amount(c.base, unit), amount(c.new, unit), amount(c.change, unit, True),
                      interval_text(c, unit), what + note))
        if stack is not None:
            shown.append(("  the stack's frames", amount(stack.base, unit), amount(stack.new, unit),
                          amount(stack.change, unit, True), interval_text(stack, unit), verdict(stack)))
    lines = table(shown) if len(shown) > 1 else []
    lines += [f"unknown: {', '.join(names)}: {why}" for why, names in unknown.items()]
    if folded:
        lines.append(f"same: {', '.join(folded)}")
    return lines, asks


def check_lines(rows, everything, known, flakes):
    shown, folded, asks = [("check", "BASE", "NEW", "what")], [], set()
    for name, what, x, y in sorted(rows, key=lambda r: RANK[r[1]]):
        ask, note = usage_of(name, what, known, flakes)
        asks.add(ask)
        if what == "same" and not everything:
            folded.append(name)
            continue
        side = [f"{c['verdict']}{': ' + c['why'] if c.get('why') else ''} ({c['measured'] or 'nothing measured'})"
                if c else "absent" for c in (x, y)]
        shown.append((name, side[0], side[1], what + note))
    lines = table(shown) if len(shown) > 1 else []
    if folded:
        lines.append(f"same: {', '.join(folded)}")
    return lines, asks


def floors_line(threshold):
    return (f"a change is called where its {qs.CONFIDENCE:.0%} interval excludes 0, its p-value corrected by "
            f"Holm's method is below {qs.ALPHA:g}, and it exceeds the larger of {threshold:.0%} of BASE and "
            f"{qs.FLOOR_US} μs a percentile, {qs.FLOOR_PER_1000:g} per 1000 frames, {qs.FLOOR_PER_MINUTE:g} "
            f"stutter a minute; intervals from {qs.RESAMPLES} resamples in blocks of at least {qs.BLOCK_S:g} s")


def figure_json(name, what, c, stack):
    def one(x):
        return dataclasses.asdict(x) if x else None
    return {"figure": name, "verdict": what, "unit": UNITS[name], "all_frames": one(c), "stack_frames": one(stack)}


def junit(pairs):
    suites = ET.Element("testsuites")
    for pair in pairs:
        cases = [(f["figure"], f["verdict"], f["counts"]) for f in pair.get("figures", [])] + \
                [(c["check"], c["what"], c["counts"]) for c in pair.get("checks", [])]
        suite = ET.SubElement(suites, "testsuite", name=f"quorvel-compare {pair['name']}", tests=str(len(cases)),
                              failures=str(sum(k == "fail" for _, _, k in cases)),
                              skipped=str(sum(w.startswith("unknown") for _, w, _ in cases)))
        for name, what, counts in cases:
            case = ET.SubElement(suite, "testcase", classname="quorvel-compare." + pair["name"], name=name)
            if counts == "fail":
                ET.SubElement(case, "failure", message=what)
            elif what.startswith("unknown"):
                ET.SubElement(case, "skipped", message=what)
            ET.SubElement(case, "system-out").text = what
    out = io.BytesIO()
    ET.ElementTree(suites).write(out, encoding="utf-8", xml_declaration=True)
    return out.getvalue()


def compare_pair(base, new, opts, rng, tick=lambda: None):
    """One pair of sides: the lines it prints, its JSON, and the statuses it asks (fail, strict, refused);
    `tick` is called after each series resampled one way."""
    if isinstance(base[0], Check) != isinstance(new[0], Check) or any(
            isinstance(e, Check) != isinstance(side[0], Check) for side in (base, new) for e in side):
        raise Bad(f"{label(base)} against {label(new)}", "a quorvel report and a quorvel-check report: "
                  "compare runs with runs and checks with checks")
    prefix = "across: " if opts.across else ""
    out = {"name": f"{label(base)} against {label(new)}", "base": [e.path for e in base], "new": [e.path for e in new]}
    lines = [f"BASE {label(base)}, NEW {label(new)}"]
    if isinstance(base[0], Check):
        if len(base) > 1 or len(new) > 1:
            raise Bad(out["name"], "quorvel-check reports compare one against one")
        runs = [[Run(c.path, r) for c in side for r in (c.report["runs"][w].get("vsync0") for w in sorted(
            c.report["runs"])) if isinstance(r, dict)] for side in (base, new)]
        diffs = differences(*runs) if all(runs) else []
        rows = compare_checks(base[0], new[0])
        body, asks = check_lines(rows, opts.all, opts.known, opts.flakes)
        out["checks"] = [{"check": n, "what": w + usage_of(n, w, opts.known, opts.flakes)[1],
                          "counts": usage_of(n, w, opts.known, opts.flakes)[0], "base": x, "new": y}
                         for n, w, x, y in rows]
        ctx = []
    else:
        for side in (base, new):
            why = repeats_differ(side)
            if why:
                raise Bad(label(side), why)
        diffs, ctx = differences(base, new), context(base, new)
        rows = compare_runs(base, new, opts.threshold, rng, tick)
        body, asks = figure_lines(rows, opts.all, opts.known, opts.flakes)
        out["figures"] = [dict(figure_json(*r), counts=usage_of(r[0], r[1], opts.known, opts.flakes)[0]) for r in rows]
        for r in (r for r in base + new if not fingerprint(r.report, "report_format")):
            lines.append(f"note: {r.path} has no fingerprint (an older report): compared by its settings alone")
        if len(base) == 1 or len(new) == 1:
            lines.append("note: one run a side: the drift from run to run is estimated from within the runs; "
                         "repeats (a comma-separated list of reports a side) measure it")
        lines.append("note: " + floors_line(opts.threshold))
    out["differences"], out["context"] = diffs, ctx
    if diffs and not opts.across:
        raise Bad(out["name"], f"not comparable: {'; '.join(diffs)} (--across compares them anyway)")
    lines += [f"differs: {d}" for d in diffs] + [f"context: {d}" for d in ctx] + body
    out["lines"] = [prefix + line for line in lines]
    return out["lines"], out, asks


def as_json(results, alone, damaged, threshold, status):
    return {"pairs": results, "unpartnered": alone, "damaged": [f"{e.args[0]}: {e.args[1]}" for e in damaged],
            "threshold": threshold, "confidence": qs.CONFIDENCE, "resamples": qs.RESAMPLES,
            "block_seconds": qs.BLOCK_S, "alpha": qs.ALPHA, "correction": "holm",
            "floors": {"percentile_us": qs.FLOOR_US, "per_1000_frames": qs.FLOOR_PER_1000,
                       "per_minute": qs.FLOOR_PER_MINUTE}, "status": status}


def nan_free(value):
    """JSON has no NaN: a figure that could not be had is null."""
    if isinstance(value, float) and not math.isfinite(value):
        return None
    if isinstance(value, dict):
        return {k: nan_free(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [nan_free(v) for v in value]
    return value
