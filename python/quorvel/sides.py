"""quorvel-compare's sides: reports, logs, quorvel-check reports and directories read into runs and checks.

Also their fingerprints, whether two sides are comparable, and how
directories pair their entries.
"""
import dataclasses
import json
import os

from quorvel import stats as qs
from quorvel.log import BadLog, arrays

FORMAT = 1  # the newest report format read here; fingerprint.report_format
REFRESH_TOLERANCE = 0.005  # refresh rates further apart than this are different displays
RANK = {"regression": 0, "worse": 0, "worse (the machine's)": 1, "new": 2, "gone": 2, "change": 2, "fix": 3,
        "better": 3, "better (the machine's)": 4, "unknown": 4, "same": 5}


class Bad(Exception):
    """An input that cannot be used: its file, and what is wrong."""


@dataclasses.dataclass
class Run:
    path: str
    report: dict
    frames: object = None  # stats.RunFrames, or None without a log
    log_why: str = ""      # why there is no log


@dataclasses.dataclass
class Check:
    path: str
    report: dict


def need(path, report, where, kinds, null=False):
    """The value at dotted `where`, of one of `kinds` (a number: finite, not below 0); raises Bad naming
    the key where it is not."""
    value = report
    for key in where.split("."):
        value = value.get(key) if isinstance(value, dict) else None
    number = isinstance(value, (int, float)) and not isinstance(value, bool)
    if value is None and null or kinds is bool and isinstance(value, bool) or (
            isinstance(value, kinds) and not isinstance(value, bool) and (not number or 0 <= value < 1e15)):
        return value
    raise Bad(path, f"not a quorvel report: {where} is {json.dumps(value)[:40]}")


def read_json(path):
    try:
        with open(path, "rb") as f:
            text = f.read().decode("utf-8")
    except OSError as e:
        raise Bad(path, e.strerror or str(e))
    except UnicodeDecodeError:
        raise Bad(path, "not a quorvel report: not UTF-8 text")
    try:
        return json.loads(text)
    except ValueError as e:
        if getattr(e, "pos", 0) >= len(text.rstrip()) or getattr(e, "msg", "").startswith("Unterminated string"):
            raise Bad(path, f"truncated: the JSON ends at byte {len(text.encode())}")
        raise Bad(path, f"not a quorvel report: not JSON ({e})")


def read_side_file(path):
    """A run (report and its log beside it, where there is one) or a quorvel-check report."""
    report = read_json(path)
    if isinstance(report, dict) and isinstance(report.get("checks"), dict) and "runs" in report:
        return read_check(path, report)
    parts = ("settings", "frames", "display", "gl")
    if not isinstance(report, dict) or not all(isinstance(report.get(k), dict) for k in parts):
        raise Bad(path, "not a quorvel report: no settings, frames, display and gl")
    fp = report.get("fingerprint")
    if fp is not None:
        version = need(path, report, "fingerprint.report_format", int)
        if version > FORMAT:
            raise Bad(path, f"a report of format {version}, newer than this quorvel-compare reads ({FORMAT})")
    check_fields(path, report)
    log_path = os.path.splitext(path)[0] + ".csv"
    if not os.path.exists(log_path):
        return Run(path, report, None, f"no log beside it ({os.path.basename(log_path)})")
    try:
        log = arrays(log_path)
    except BadLog as e:
        raise Bad(log_path, str(e))
    if "measured" in log and int((log["measured"] == 1).sum()) != report["frames"]["measured"]:
        raise Bad(log_path, f"its {int((log['measured'] == 1).sum())} measured frames do not match the report's "
                            f"{report['frames']['measured']}: not this report's log")
    try:
        return Run(path, report, qs.run_frames(log, report))
    except (ValueError, KeyError, IndexError) as e:
        raise Bad(log_path, str(e))


def check_fields(path, report):
    """Raises Bad where a field the comparison reads is missing or of the wrong kind."""
    for where, kinds in (("settings.interval_us", int), ("settings.pace", str), ("settings.vsync_requested", bool),
                         ("frames.measured", int), ("frames.seconds", (int, float)), ("frames.stutters", int),
                         ("display.window_system", str), ("display.presents.skip", int), ("gl.renderer", str)):
        need(path, report, where, kinds)
    for where in ("display.presents.missed_vblanks", "display.refresh_hz", "display.server"):
        need(path, report, where, (int, float, str), null=True)


def read_check(path, report):
    for winsys, checks in report["checks"].items():
        if not isinstance(checks, list) or not all(
                isinstance(c, dict) and all(isinstance(c.get(k), str) for k in ("check", "verdict", "measured"))
                for c in checks):
            raise Bad(path, f"not a quorvel-check report: its checks of {winsys} are damaged")
    if not isinstance(report.get("runs"), dict) or not all(isinstance(r, dict) for r in report["runs"].values()):
        raise Bad(path, "not a quorvel-check report: no runs")
    for winsys, runs in report["runs"].items():
        if isinstance(runs.get("vsync0"), dict):
            check_fields(f"{path}: runs.{winsys}.vsync0", runs["vsync0"])
    return Check(path, report)


def read_side(spec, damaged, tick=lambda: None):
    """The entries of one side: its files (a comma-separated list of repeats) or, for a directory,
    each of its reports, a damaged one noted in `damaged` and left out; `tick` is called after each."""
    if os.path.isdir(spec):
        found = []
        for name in sorted(os.listdir(spec)):
            if name.endswith(".json") and not name.startswith("."):
                try:
                    found.append(read_side_file(os.path.join(spec, name)))
                except Bad as e:
                    damaged.append(e)
                tick()
        return found, True
    paths = [spec] if os.path.exists(spec) or "," not in spec else [p for p in spec.split(",") if p]
    found = []
    for p in paths:
        found.append(read_side_file(p))
        tick()
    return found, False


# What makes two runs comparable: (name, how to read it from a report).
COUNTING = [("window system", lambda r: r["display"]["window_system"]),
            ("compositor", lambda r: r["display"].get("server")),
            ("GL renderer", lambda r: r["gl"]["renderer"]),
            ("interval", lambda r: r["settings"]["interval_us"]),
            ("pace", lambda r: r["settings"]["pace"]),
            ("vsync request", lambda r: r["settings"]["vsync_requested"])]
CONTEXT = ["host", "kernel", "cpu_model", "cores", "quorvel_version", "started_utc", "load_average"]


def fingerprint(report, key):
    fp = report.get("fingerprint")
    return fp.get(key) if isinstance(fp, dict) else None


def pairing_key(entry):
    """How a directory's runs pair up: the host, the window system and the settings."""
    if isinstance(entry, Check):
        fps = entry.report.get("fingerprint") or {}
        hosts = sorted({str(f.get("host")) for f in fps.values() if isinstance(f, dict)})
        return ("quorvel-check", ",".join(hosts), ",".join(sorted(entry.report["checks"])))
    return (str(fingerprint(entry.report, "host")),) + tuple(str(read(entry.report)) for _, read in COUNTING)


def differences(base, new):
    """The fields that count, as `name: BASE against NEW`, where the sides differ."""
    out = []
    for name, read in COUNTING:
        a, b = {read(r.report) for r in base}, {read(r.report) for r in new}
        if a != b:
            out.append(f"{name}: {'/'.join(sorted(map(str, a)))} against {'/'.join(sorted(map(str, b)))}")
    rates = [[r.report["display"].get("refresh_hz") for r in side] for side in (base, new)]
    if all(rates[0] + rates[1]) and max(rates[0] + rates[1]) > min(rates[0] + rates[1]) * (1 + REFRESH_TOLERANCE):
        out.append(f"refresh: {'/'.join(f'{r:.2f}' for r in rates[0])} Hz against "
                   f"{'/'.join(f'{r:.2f}' for r in rates[1])} Hz")
    return out


def context(base, new):
    """Where the fingerprints differ in what does not count: the machine, its load, the time."""
    out = []
    for key in CONTEXT:
        a, b = ([json.dumps(rounded(fingerprint(r.report, key))) for r in side] for side in (base, new))
        if a != b and key != "started_utc":
            out.append(f"{key.replace('_', ' ')}: {'/'.join(dict.fromkeys(a))} against {'/'.join(dict.fromkeys(b))}")
        elif key == "started_utc" and a != b:
            out.append(f"started: {'/'.join(a)} against {'/'.join(b)}".replace('"', ""))
    return out


def rounded(value):
    return [round(v, 2) if isinstance(v, float) else v for v in value] if isinstance(value, list) else value


def repeats_differ(side):
    """Why the repeats of one side are not repeats, or None."""
    for name, read in COUNTING:
        values = {str(read(r.report)) for r in side}
        if len(values) > 1:
            return f"its repeats differ in {name}: {', '.join(sorted(values))}"
    return None


def label(side):
    return ",".join(e.path for e in side)


def pairs_of(base, new, base_dir, new_dir):
    """The pairs to compare, and the lines for entries with no partner. Two sides named as files
    are one pair; directories pair their entries by host, window system and settings."""
    if not (base_dir or new_dir):
        return [(base, new)], []
    groups = [{}, {}]
    for g, side in zip(groups, (base, new)):
        for e in side:
            g.setdefault(pairing_key(e), []).append(e)
    pairs = [(groups[0][k], groups[1][k]) for k in groups[0] if k in groups[1]]
    alone = [f"only in {'BASE' if k in groups[0] else 'NEW'}: {label((groups[0] if k in groups[0] else groups[1])[k])}"
             for k in list(groups[0]) + [k for k in groups[1] if k not in groups[0]]
             if not (k in groups[0] and k in groups[1])]
    return pairs, alone
