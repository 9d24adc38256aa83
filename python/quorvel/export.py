"""quorvel-export: a quorvel log in the CSV of PresentMon (which CapFrameX also reads) or MangoHud.

quorvel-export --to presentmon|mangohud LOG [--report R] [-o FILE].

One row a measured frame, as the program's own figures count them. What
quorvel knows maps exactly, on its own clocks; what it cannot know (GPU
clocks, power, temperatures, CPU load) is NA for PresentMon and 0 for
MangoHud, as those tools write a missing sensor. The README says what each
column holds.
"""
import argparse
import csv
import io
import math
import signal
import sys

import numpy

from quorvel import log as quorvel_log
from quorvel.log import BadLog
from quorvel.pages import BadReport, read_report
from quorvel.writer import Failed, write_all

PRESENTMON = ["Application", "ProcessID", "SwapChainAddress", "PresentRuntime", "SyncInterval", "PresentFlags",
              "AllowsTearing", "PresentMode", "TimeInSeconds", "MsBetweenSimulationStart", "MsBetweenPresents",
              "MsBetweenDisplayChange", "MsInPresentAPI", "MsRenderPresentLatency", "MsUntilDisplayed", "MsCPUBusy",
              "MsCPUWait", "MsGPULatency", "MsGPUTime", "MsGPUBusy", "MsGPUWait", "MsAnimationError", "AnimationTime",
              "MsAllInputToPhotonLatency", "MsClickToPhotonLatency", "Dropped"]
MANGOHUD_SYSTEM = ["os", "cpu", "gpu", "ram", "kernel", "driver", "cpuscheduler"]
MANGOHUD = ["fps", "frametime", "cpu_load", "cpu_power", "gpu_load", "cpu_temp", "gpu_temp", "gpu_core_clock",
            "gpu_mem_clock", "gpu_vram_used", "gpu_power", "ram_used", "swap_used", "process_rss", "cpu_mhz", "elapsed"]
# PresentMon's words for how a frame reached the screen. A flip scanned the
# window's own buffer out, no compositor in between. A copy on X11 is the X
# server's GPU copy of the buffer to where it is shown; on Wayland the
# compositor takes the buffer as it is and composes it, which is PresentMon's
# composed flip.
MODES = {"flip": "Hardware: Independent Flip", "copy": "Composed: Copy with GPU GDI",
         "suboptimal_copy": "Composed: Copy with GPU GDI"}
WAYLAND_MODES = {**MODES, "copy": "Composed: Flip", "suboptimal_copy": "Composed: Flip"}


class Bad(Exception):
    """A file that cannot be used: its name, and why."""


def ms(us):
    return "NA" if us is None else f"{us / 1000:.3f}"


def cell(value):
    """A value of the log as the rows below take it: a whole number, text, or None for an empty cell."""
    if isinstance(value, str):
        return value or None
    return None if math.isnan(value) else int(value)


def frames(log):
    """The measured frames as dicts of their columns, with the display steps,
    the press's time to the screen and the times since the measured run began."""
    quorvel_log.required(log, ["start_us", "swap_end_us", "duration_us", "swap_end_mono_us"])
    for name, empty in (("present_ust", numpy.nan), ("present_mode", "")):  # a log from a run that took no presents
        log.setdefault(name, numpy.full(len(log["frame"]), empty))
    rows = [dict(zip(log, map(cell, values)), line=line)
            for line, values in enumerate(zip(*(column.tolist() for column in log.values())), start=2)]
    steps = quorvel_log.display_steps(log)
    out, began = [], None
    for n, (row, measured) in enumerate(zip(rows, quorvel_log.measured(log))):
        if not measured:
            continue
        if row["interval_us"] is None:
            raise BadLog(f"line {row['line']}: interval_us is blank")
        if began is None:  # the swap end before the first measured frame's
            began, first_start = row["swap_end_us"] - row["interval_us"], row["start_us"]
        shown = row["present_ust"] is not None and row["present_mode"] != "skip"
        press = row.get("input_us")
        row.update(display_change=steps[n][0], animation_error=steps[n][1], began=began, first_start=first_start,
                   simulation_step=row["start_us"] - rows[n - 1]["start_us"] if n else None,
                   to_photon=row["present_ust"] - quorvel_log.to_monotonic(press, row["swap_end_us"],
                                                                           row["swap_end_mono_us"])
                   if shown and press is not None else None,
                   until_displayed=row["present_ust"] - row["swap_end_mono_us"] if shown else None)
        out.append(row)
    return out


def flag(value):
    return str(int(value)) if isinstance(value, bool) else "NA"


def presentmon(log, report):
    settings, display = report.get("settings", {}), report.get("display", {})
    modes = WAYLAND_MODES if display.get("window_system") == "wayland" else MODES
    lines = [PRESENTMON]
    for r in frames(log):
        mode = r["present_mode"]
        lines.append(["quorvel", "NA", "NA", "Other", flag(settings.get("vsync_requested")), "0",
                      flag(display.get("tearing_hint")), modes.get(mode, "NA"),
                      f"{(r['swap_end_us'] - r['began']) / 1e6:.6f}", ms(r["simulation_step"]), ms(r["interval_us"]),
                      ms(r["display_change"]), "NA", "NA", ms(r["until_displayed"]), ms(r["duration_us"]),
                      ms(r["interval_us"] - r["duration_us"]), "NA", "NA", "NA", "NA", ms(r["animation_error"]),
                      ms(r["start_us"] - r["first_start"]), ms(r["to_photon"]), ms(r["to_photon"]),
                      "NA" if mode is None else str(int(mode == "skip"))])
    return lines


def mangohud(log, report):
    gl = report.get("gl", {})
    lines = [MANGOHUD_SYSTEM, ["", "", gl.get("renderer", ""), "", "", gl.get("version", ""), ""], MANGOHUD]
    for r in frames(log):
        us = r["interval_us"]
        elapsed_ns = 1000 * (r["swap_end_us"] - r["began"])
        lines.append([f"{1e6 / us:.3f}" if us else "inf", ms(us)] + ["0"] * 13 + [str(elapsed_ns)])
    return lines


class Parser(argparse.ArgumentParser):
    def error(self, message):
        print(f"quorvel-export: {message}", file=sys.stderr)
        sys.exit(2)


def main():
    parser = Parser(prog="quorvel-export", description="Writes a quorvel log in PresentMon's or MangoHud's CSV.")
    parser.add_argument("--to", required=True, choices=["presentmon", "mangohud"], help="the format to write")
    parser.add_argument("log", help="the CSV log of quorvel --log")
    parser.add_argument("--report", help="the run's report (default: the log's name with .json, where it exists)")
    parser.add_argument("-o", "--output", help="the file to write (default: standard output)")
    args = parser.parse_args()
    signal.signal(signal.SIGPIPE, signal.SIG_DFL)  # a reader that goes away ends it, as it ends cat
    report_path = args.report or (args.log[:-4] if args.log.endswith(".csv") else args.log) + ".json"
    try:
        report = read_report(report_path, bool(args.report))[0]
        try:
            log = quorvel_log.arrays(args.log, warn=lambda line: print(f"quorvel-export: {args.log}: {line}",
                                                                       file=sys.stderr))
            lines = (presentmon if args.to == "presentmon" else mangohud)(log, report)
        except BadLog as e:
            raise Bad(args.log, str(e))
        out = io.StringIO()
        csv.writer(out, lineterminator="\n").writerows(lines)
        if args.output:
            try:
                write_all([(args.output, out.getvalue().encode())])
            except Failed as e:
                raise Bad(args.output, f"cannot be written: {e.args[1]}")
        else:
            try:
                sys.stdout.write(out.getvalue())
                sys.stdout.flush()
            except OSError as e:
                raise Bad("standard output", f"cannot be written: {e.strerror or e}")
    except (Bad, BadReport) as e:
        print(f"quorvel-export: {e.args[0]}: {e.args[1]}", file=sys.stderr)
        sys.exit(2)
