"""quorvel-check's command line: a battery of quorvel runs, and whether the display stack keeps its promises.

Runs a short battery of quorvel runs in the session it is started in, on
X11, on Wayland or on both, each with --report and --log, and judges each
check from those records alone: pass, fail, or unknown with the reason. A
check never passes on no evidence; a simulated clock is never a passing
display. Between the runs it measures how the machine itself stalls its
threads, so that what the machine did is never blamed on the display.
Prints one table a window system; --report and --junit write the same for
machines, --html for people, with the plots of the runs. Exit status: 0
when nothing fails, 1 when a check fails (or its verdict is not the one
--expect names), 2 for bad usage, when no window system could run at all
or an output cannot be written.

This is the command line: it runs quorvel, measures the machine and writes
what it found; the judging itself is in judge, beside it.
"""
import argparse
import ctypes
import dataclasses
import io
import json
import math
import os
import shutil
import subprocess
import sys
import tempfile
import threading
import time
import xml.etree.ElementTree as ET

from quorvel import pages
from quorvel.judge import CHECKS, Tolerances, check, judge
from quorvel.log import BadLog, arrays
from quorvel.runs import MIN_SAMPLES, Machine, Run, battery, battery_period, battery_seconds
from quorvel.writer import Failed, write_all, writable

# The machine is measured between the runs, not beside them: a spinning probe beside a run would
# take one of two cores from quorvel and the compositor, and a sleeping one would mostly measure
# the run's own load (the busy pace spins a core). Each pause costs this long, half spinning, half
# sleeping.
PROBE_S = 0.4
PROBE_NAP_S = 0.001


class CannotRun(Exception):
    pass


def run_quorvel(program, winsys, name, args, seconds, where):
    log, report = os.path.join(where, f"{winsys}-{name}.csv"), os.path.join(where, f"{winsys}-{name}.json")
    command = [program, "--winsys", winsys, "--duration", f"{seconds:g}", "--log", log, "--report", report, *args]
    said = f"quorvel --winsys {winsys} {' '.join(args)}"
    try:
        done = subprocess.run(command, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True,
                              timeout=seconds + 120)
    except subprocess.TimeoutExpired:
        raise CannotRun(f"{said}: did not end within {seconds + 120:g} s")
    except OSError as e:
        raise CannotRun(f"{program}: {e.strerror or e}")
    if done.returncode != 0:
        last = done.stderr.strip().splitlines()
        raise CannotRun(f"{said}: status {done.returncode}: {last[-1] if last else 'no message'}")
    try:
        with open(report) as f:
            return Run(json.load(f), arrays(log))
    except (OSError, ValueError, KeyError, TypeError, BadLog) as e:
        raise CannotRun(f"{said}: its records cannot be read: {getattr(e, 'strerror', None) or e}")


def measure_machine(machine, seconds):
    """A spinning thread's gaps, then a sleeping thread's wake-ups, on CLOCK_MONOTONIC_RAW, as cyclictest
    measures them. A thread of its own, so that the timer slack it drops (the 50 μs the kernel may add to
    any sleep on purpose, which is no lateness of the machine's) is not inherited by the runs."""
    def probe():
        try:
            ctypes.CDLL(None, use_errno=True).prctl(29, 1, 0, 0, 0)  # PR_SET_TIMERSLACK, 1 ns
        except (OSError, AttributeError):
            pass
        clock, raw = time.clock_gettime_ns, time.CLOCK_MONOTONIC_RAW
        first = last = clock(raw)
        end = first + int(seconds / 2 * 1e9)
        while last < end:
            now = clock(raw)
            if now - last > 20000:
                machine.gaps_us.append((now - last) // 1000)
            last = now
        machine.spin_s += (last - first) / 1e9
        end = last + int(seconds / 2 * 1e9)
        while (before := clock(raw)) < end:
            time.sleep(PROBE_NAP_S)
            machine.wakes_us.append(max(0, (clock(raw) - before) // 1000 - round(PROBE_NAP_S * 1e6)))
    thread = threading.Thread(target=probe)
    thread.start()
    thread.join()


def progress(text):
    if sys.stderr.isatty():
        sys.stderr.write(f"\r\033[K{text}")
        sys.stderr.flush()


def run_battery(program, winsys, seconds, where):
    """The runs of one window system, the machine measured before the first and after each one: the
    runs made, and why the others could not be made. Raises CannotRun where the first cannot."""
    machine = Machine()
    measure_machine(machine, PROBE_S)
    progress(f"quorvel-check: {winsys}: run 1...")
    first = run_quorvel(program, winsys, "vsync0", ["-v", "0"], seconds, where)
    measure_machine(machine, PROBE_S)
    period, needed = battery_period(first), battery_seconds(first, seconds)
    # The paced runs need their own frames beyond the warm-up, however long a period is.
    if needed > seconds:
        print(f"quorvel-check: {winsys}: runs of {needed:g} s, to measure {MIN_SAMPLES} frames at 1.5 periods "
              f"of {period / 1000:.1f} ms", file=sys.stderr)
        seconds = needed
    runs, failed = {"vsync0": first}, {}
    todo = list(battery(period, first.caps.get("inject_refusal", "") is None).items())[1:]
    for n, (name, args) in enumerate(todo, start=2):
        progress(f"quorvel-check: {winsys}: run {n} of {len(todo) + 1} ({name})...")
        try:
            runs[name] = run_quorvel(program, winsys, name, args, seconds, where)
        except CannotRun as e:
            failed[name] = str(e)
        measure_machine(machine, PROBE_S)
    return runs, failed, machine


def header(runs):
    on, off = runs["vsync0"], runs.get("free0")
    d, caps, gl = on.display, on.caps, on.report.get("gl") or {}
    refresh = "variable" if d.get("refresh_variable") else f"{d['refresh_hz']:.2f} Hz" if d.get("refresh_hz") else "unknown"
    # In the run's own words: where the presents come from, on the clock the window system names.
    feedback = ", ".join(filter(None, (caps.get("feedback_source"), d.get("presentation_clock")))) or "none"
    tearing = ("used" if off and off.display.get("tearing_hint") else "offered") \
        if caps.get("tearing_control") else "not offered"
    return [f"window system: {d.get('window_system')} ({d.get('server', 'unknown')})",
            f"GL renderer: {gl.get('renderer', 'unknown')}", f"refresh: {refresh}",
            f"timing: {feedback}; swap interval: {'can be set' if caps.get('swap_interval') else 'cannot be set'}",
            f"tearing hint: {tearing}"]


def table(checks):
    rows = [("check", "expects", "measured", "verdict")] + [
        (c["check"], c["expects"], c["measured"], c["verdict"] + (f": {c['why']}" if c["why"] else "")) for c in checks]
    widths = [max(len(r[i]) for r in rows) for i in range(3)]
    return "\n".join("  ".join(r[i].ljust(widths[i]) for i in range(3)) + "  " + r[3] for r in rows)


def junit(results):
    suites = ET.Element("testsuites")
    for winsys, checks in results.items():
        suite = ET.SubElement(suites, "testsuite", name=f"quorvel-check {winsys}", tests=str(len(checks)),
                              failures=str(sum(c["verdict"] == "fail" for c in checks)),
                              skipped=str(sum(c["verdict"] == "unknown" for c in checks)))
        for c in checks:
            case = ET.SubElement(suite, "testcase", classname=f"quorvel-check.{winsys}", name=c["check"])
            if c["verdict"] == "fail":
                ET.SubElement(case, "failure", message=f"expected {c['expects']}; measured {c['measured']}"
                              + (f"; {c['why']}" if c["why"] else ""))
            elif c["verdict"] == "unknown":
                ET.SubElement(case, "skipped", message=c["why"])
            ET.SubElement(case, "system-out").text = c["measured"]
    out = io.BytesIO()
    ET.ElementTree(suites).write(out, encoding="utf-8", xml_declaration=True)
    return out.getvalue()


def expectations(parser, pairs, names):
    """--expect [WINSYS:]CHECK=VERDICT, each as {(WINSYS or None for every one, CHECK): VERDICT}; WINSYS
    one of `names`."""
    expected = {}
    for pair in pairs:
        name, _, verdict = pair.partition("=")
        winsys, _, name = name.rpartition(":")
        if name not in CHECKS or verdict not in ("pass", "fail", "unknown") or winsys not in ("", *names):
            parser.error(f"--expect {pair}: [WINSYS:]CHECK=pass|fail|unknown, WINSYS {' or '.join(names)}, "
                         f"CHECK one of {', '.join(CHECKS)}")
        expected[winsys or None, name] = verdict
    return expected


def unmet(expected, results):
    """The lines of the expectations the verdicts do not meet, and the (window system, check) they name."""
    named = {w: {} for w in results} | {w: {} for w, _ in expected if w}
    for (w, name), verdict in sorted(expected.items(), key=lambda e: e[0][0] is not None):
        for winsys in [w] if w else results:
            named[winsys][name] = verdict  # one that names the window system wins
    lines = []
    for winsys, wanted in named.items():
        got = {c["check"]: c["verdict"] for c in results.get(winsys, [])}
        for name, verdict in wanted.items():  # where nothing could be judged, every check is unknown
            if got.get(name, "unknown") != verdict:
                lines.append(f"{winsys}: {name} is {got.get(name, 'unknown')}, expected {verdict}"
                             + ("" if name in got else " (not judged: " + (
                                 "quorvel cannot run" if winsys in results else "not checked here") + ")"))
    return lines, {(w, name) for w, wanted in named.items() for name in wanted}


def shown_window_systems(program):
    """The window systems of quorvel's own table that show a window on a display, as `quorvel --winsys
    list` tells them in this environment: each with its name and whether its session is here."""
    said = f"{program} --winsys list"
    try:
        done = subprocess.run([program, "--winsys", "list"], capture_output=True, text=True, timeout=60)
    except (OSError, subprocess.TimeoutExpired) as e:
        raise CannotRun(f"{said}: {getattr(e, 'strerror', None) or e}")
    if done.returncode != 0:
        raise CannotRun(f"{said}: status {done.returncode}: {(done.stderr.strip().splitlines() or ['no message'])[-1]}")
    try:
        return [row for row in json.loads(done.stdout) if row["shows"]]
    except (ValueError, TypeError, KeyError) as e:
        raise CannotRun(f"{said}: not a list of window systems: {e}")


def window_systems(parser, asked, rows):
    names = [row["name"] for row in rows]
    if asked not in (*names, "all"):
        parser.error(f"argument --winsys: invalid choice: '{asked}' (choose from {', '.join(names)} or all)")
    there = [row["name"] for row in rows if row["session"]]
    wanted = there if asked == "all" else [asked]
    missing = [w for w in wanted if w not in there]
    if missing or not wanted:
        parser.error(f"no {' or '.join(missing or names)} session here (quorvel --winsys list finds none)")
    return wanted


def command_folders():
    """The folder of this command as it was called, then of each link on the way to its file: bin/ holds a
    link to the installed command, beside the program."""
    path, folders = os.path.abspath(sys.argv[0]), []
    for _ in range(40):  # as many links as the kernel follows
        folders.append(os.path.dirname(path))
        if not os.path.islink(path):
            break
        path = os.path.join(folders[-1], os.readlink(path))
    return folders


def find_program():
    """QUORVEL_BIN, the one installed beside this command, the one on PATH, or the build's in the source tree
    that holds this package."""
    tree = os.path.dirname(os.path.dirname(os.path.dirname(os.path.realpath(__file__))))
    for candidate in (os.environ.get("QUORVEL_BIN"), *(os.path.join(f, "quorvel") for f in command_folders()),
                      shutil.which("quorvel"), os.path.join(tree, "build", "quorvel")):
        if candidate and os.path.isfile(candidate) and os.access(candidate, os.X_OK):
            return candidate
    return None


def page_sections(args, winsys, said, checks, runs):
    """For --html: the window system's verdicts and its runs, from the records they were judged on."""
    if not args.html:
        return []
    logs = {name: (run.log, run.report) for name, run in runs.items()}
    return pages.check_sections(winsys, said, checks, logs)


def parse():
    parser = argparse.ArgumentParser(prog="quorvel-check", description="Whether a display stack keeps its promises.")
    parser.add_argument("--winsys", default="all", help="a window system of quorvel --winsys list that shows a "
                        "window, or all of those whose session is here (the default)")
    parser.add_argument("--seconds", type=float, default=3, help="the length of each run (s), 2 or more")
    parser.add_argument("--report", help="all checks as JSON, with the runs' own reports")
    parser.add_argument("--junit", help="JUnit XML, one test case a check")
    parser.add_argument("--html", metavar="PAGE", help="a page of the verdicts and the runs they stand on")
    parser.add_argument("--expect", action="append", default=[], metavar="[WINSYS:]CHECK=VERDICT")
    ask = Tolerances()
    parser.add_argument("--period-tolerance", type=float, default=ask.period, help=f"share of the period ({ask.period})")
    parser.add_argument("--within", type=float, default=ask.within, help=f"share of the steps ({ask.within})")
    parser.add_argument("--latency-periods", type=float, default=ask.latency_periods,
                        help=f"present latency at p99 ({ask.latency_periods})")
    parser.add_argument("--pace-us", type=float, default=ask.pace_us, help=f"hybrid pacing at p99 ({ask.pace_us} μs)")
    parser.add_argument("--wake-us", type=float, default=ask.wake_us,
                        help=f"the machine's wake-up lateness at p99 ({ask.wake_us} μs)")
    args = parser.parse_args()
    if not (args.seconds >= 2 and math.isfinite(args.seconds)):
        parser.error(f"--seconds takes a number of seconds, 2 or more: shorter runs measure too few frames "
                     f"for the checks (at least {MIN_SAMPLES} after the warm-up)")
    for path in filter(None, (args.report, args.junit, args.html)):  # before the battery, not after it
        try:
            writable(path)
        except Failed as e:  # one line, not the usage: the command line itself is sound
            print(f"quorvel-check: {path}: cannot be written: {e.args[1]}", file=sys.stderr)
            sys.exit(2)
    return parser, args


def main():
    """quorvel-check's command line: its exit status."""
    try:
        return check_stack()
    except KeyboardInterrupt:
        progress("")
        return 130


def check_stack():
    """The battery on each window system asked for, judged, printed and written: the exit status."""
    parser, args = parse()
    program = find_program()
    if not program:
        print("quorvel-check: quorvel not found (QUORVEL_BIN, beside quorvel-check, PATH or build/quorvel)",
              file=sys.stderr)
        return 2
    try:
        rows = shown_window_systems(program)
    except CannotRun as e:
        print(f"quorvel-check: {e}", file=sys.stderr)
        return 2
    expected = expectations(parser, args.expect, [row["name"] for row in rows])
    systems = window_systems(parser, args.winsys, rows)
    tol = Tolerances(args.period_tolerance, args.within, args.latency_periods, args.pace_us, args.wake_us)
    results, reports, machines, lines, sections = {}, {}, {}, [], []
    with tempfile.TemporaryDirectory() as where:
        for winsys in systems:
            try:
                runs, failed, machine = run_battery(program, winsys, args.seconds, where)
            except CannotRun as e:  # the other window system's verdicts still stand
                results[winsys] = [check("run", "quorvel runs on this window system", "", "unknown", str(e))]
                lines += [f"window system: {winsys}: quorvel cannot run here", "", table(results[winsys]), ""]
                sections += page_sections(args, winsys, ["quorvel cannot run here"], results[winsys], {})
                continue
            vrr = (winsys, "vrr") in expected or (None, "vrr") in expected
            results[winsys] = judge(runs, tol, machine, failed, vrr)
            reports[winsys] = {name: run.report for name, run in runs.items()}
            machines[winsys] = dataclasses.asdict(machine)
            lines += header(runs) + ["", table(results[winsys]), ""]
            sections += page_sections(args, winsys, header(runs), results[winsys], runs)
    progress("")
    print("\n".join(lines), end="")
    missed, named = unmet(expected, results)
    for line in missed:
        print(f"quorvel-check: {line}", file=sys.stderr)
    try:
        # Each window system's fingerprint is its first run's: what makes two batteries comparable.
        fingerprints = {w: runs["vsync0"].get("fingerprint") for w, runs in reports.items()}
        write_all([(args.report, (json.dumps({"checks": results, "runs": reports, "machine": machines,
                                              "fingerprint": fingerprints}, indent=2) + "\n").encode()),
                   (args.junit, junit(results) if args.junit else b""),
                   (args.html, pages.render("quorvel-check", sections) if args.html else b"")])
    except Failed as e:
        print(f"quorvel-check: {e.args[0]}: {e.args[1]}", file=sys.stderr)
        return 2
    if not reports:
        print("quorvel-check: no window system could run", file=sys.stderr)
        return 2
    failed = any(c["verdict"] == "fail" and (w, c["check"]) not in named for w, checks in results.items() for c in checks)
    return 1 if failed or missed else 0
