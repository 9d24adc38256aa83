"""quorvel-plot: the picture of a log written by quorvel --log, and the command line that draws it.

quorvel-plot LOG.csv [--report R] [-o OUT.png] [--html PAGE]. Intervals (stutters marked) and durations over the run (warm-up frames
marked) and their histograms with p50 and p99; the latency from frame start
to present and the animation error where the log holds them. --html writes
the run's page instead (pages), and the picture too where -o names one.
"""
import argparse
import io
import os
import sys

import numpy as np

from quorvel import log as quorvel_log
from quorvel.log import BadLog, percentile
from quorvel.writer import Failed, writable, write_all


def read_log(path):
    """The log's columns; a log with no interval at all has nothing to draw."""
    log = quorvel_log.arrays(path, warn=lambda line: print(f"quorvel-plot: {path}: {line}", file=sys.stderr))
    if np.isnan(log["interval_us"]).all():
        n = len(log["frame"])
        raise BadLog(f"nothing was measured: the log holds {n} frame{'s' * (n > 1)} and no interval")
    log["measured"] = quorvel_log.measured(log)
    return log


def draw_series(over, spread, frames, values, measured, name, marked=()):
    """One quantity over the run, warm-up shaded, the `marked` frames' points
    ringed, and its histogram of the measured frames."""
    kept = ~np.isnan(values)
    frames, values, measured = frames[kept], values[kept], measured[kept]
    over.plot(frames, values, lw=0.6)
    if marked:
        ringed = np.isin(frames, list(marked))
        over.plot(frames[ringed], values[ringed], "o", ms=9, mfc="none", color="red",
                  label=f"{len(marked)} stutter{'s' * (len(marked) != 1)}")
    warm = frames[~measured]
    if len(warm):
        over.axvspan(0, warm.max() + 0.5, color="orange", alpha=0.25, label="warm-up")
    if len(warm) or marked:
        over.legend(loc="best")
    over.set(title=f"{name} over the run", xlabel="frame", ylabel="μs")
    chosen = values[measured] if measured.any() else values
    spread.hist(chosen, bins=min(100, max(10, len(np.unique(chosen)))), color="grey")
    for p, colour in ((50, "green"), (99, "red")):
        at = percentile(chosen, p)
        spread.axvline(at, color=colour, label=f"p{p} {at:.0f} μs")
    spread.set(title=f"{name} histogram", xlabel="μs", ylabel="frames")
    spread.legend(loc="upper right")


def column(log, name):
    return log[name] if name in log else np.full(len(log["frame"]), np.nan)


def plot(log, out):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    # Frame start to present, in CLOCK_MONOTONIC μs, for the frames the display reported.
    latency = column(log, "present_ust") - quorvel_log.to_monotonic(log["start_us"], log["swap_end_us"],
                                                                    column(log, "swap_end_mono_us"))
    errors = column(log, "animation_error_us")
    shown = [(latency, "latency, start to present"), (errors, "animation error, start step minus present step")]
    shown = [(values, name) for values, name in shown if not np.isnan(values).all()]
    fig, axes = plt.subplots(2 + len(shown), 2, figsize=(13, 4 * (2 + len(shown))), squeeze=False)
    measured = log["measured"] & ~np.isnan(log["interval_us"])
    stutters = set(log["frame"][measured][quorvel_log.stutters(log["interval_us"][measured].tolist())].tolist())
    draw_series(*axes[0], log["frame"], log["interval_us"], log["measured"], "frame-to-frame interval", stutters)
    draw_series(*axes[1], log["frame"], log["duration_us"], log["measured"], "duration, start to swap end")
    for row, (values, name) in enumerate(shown, start=2):
        draw_series(*axes[row], log["frame"], values, log["measured"], name)
    fig.suptitle(f"quorvel: {len(log['frame'])} frames")
    fig.tight_layout()
    fig.savefig(out, dpi=80, format=os.path.splitext(getattr(out, "name", ""))[1][1:].lower() or None)


def main():
    parser = argparse.ArgumentParser(prog="quorvel-plot", description="Draws a log written by quorvel --log.")
    parser.add_argument("log", help="the CSV log")
    parser.add_argument("-o", "--output", help="the PNG to write (default: the log's name with .png, "
                        "none with --html)")
    parser.add_argument("--report", help="the run's report, for --html (default: the log's name with .json, "
                        "where it exists)")
    parser.add_argument("--html", metavar="PAGE", help="the run's page to write: one HTML file that needs no other")
    args = parser.parse_args()
    stem = args.log[:-4] if args.log.endswith(".csv") else args.log
    if args.html:
        return write_page(args, stem)
    out = args.output or stem + ".png"
    try:
        plot(read_log(args.log), out)
    except BadLog as e:
        sys.exit(f"quorvel-plot: {args.log}: {e}")
    except OSError as e:
        sys.exit(f"quorvel-plot: {out}: {e.strerror}")
    print(out)


def write_page(args, stem):
    """The page, and the picture where -o names one, both or neither; each checked before any work."""
    for path in filter(None, (args.html, args.output)):
        try:
            writable(path)
        except Failed as e:
            print(f"quorvel-plot: {path}: cannot be written: {e.args[1]}", file=sys.stderr)
            sys.exit(2)
    from quorvel import pages
    picture = io.BytesIO()
    try:
        report, raw = pages.read_report(args.report or stem + ".json", bool(args.report))
        log = read_log(args.log)
        page = pages.run_page(f"quorvel: {os.path.basename(args.log)}", log, report, raw)
        if args.output:
            picture.name = args.output
            plot(log, picture)
        write_all([(args.html, page), (args.output, picture.getvalue())])
    except BadLog as e:
        sys.exit(f"quorvel-plot: {args.log}: {e}")
    except (pages.BadReport, Failed) as e:
        sys.exit(f"quorvel-plot: {e.args[0]}: {e.args[1]}")
    if args.output and not pages.same_file(args.html, sys.stdout):
        print(args.output)
