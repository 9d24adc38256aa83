"""quorvel-read's command line: the QR codes of quorvel --qr read from pictures or a video.

quorvel-read IMAGE... | VIDEO [--log LOG.csv] [--csv OUT.csv] [--report OUT.json] [--plot OUT.png]

Reads the QR codes that quorvel --qr draws. For each picture it prints every
code it finds, with its tick, its frame and where it lies, and where a picture
holds two or more codes, the differences of their ticks in microseconds.

A file that is not a still picture is read as a video, frame by frame: which
display frames reached the glass, when each was first and last seen, how long
each stayed, which never appeared, and, against the run's log, how evenly the
frames arrived, in the display's own time.

This is the command line; the work is in the modules beside it: the scan
(scan), the video walk (video), the fit (fit) and the outputs (outputs,
through writer).
"""
import argparse
import contextlib
import os
import sys

import numpy

from quorvel.fit import glass_figures, input_figures
from quorvel.log import BadLog, arrays, required
from quorvel.outputs import picture_lines, summary, write_outputs
from quorvel.scan import Unreadable, open_picture, picture_codes
from quorvel.video import read_video
from quorvel.writer import Failed, writable


def report_picture(path, grey):
    codes = picture_codes(grey)
    sys.stdout.write(picture_lines(path, codes))
    if not codes:
        print(f"quorvel-read: {path}: no code found", file=sys.stderr)
    return bool(codes)


def read_log_for_video(path):
    """The log's frame numbers with their ticks and swap ends, and the presses
    the frames answered, where the run timed them."""
    try:
        columns = arrays(path)
        required(columns, ("frame", "start_us", "swap_end_us"))
    except BadLog as e:
        raise Failed(path, str(e))
    frame, start, end = (columns[name].astype(numpy.int64).tolist() for name in ("frame", "start_us", "swap_end_us"))
    press = columns.get("input_us", numpy.full(len(frame), numpy.nan))
    inputs = {n: int(t) for n, t in zip(frame, press.tolist()) if not numpy.isnan(t)}
    return dict(zip(frame, start)), dict(zip(frame, end)), inputs


def video(args, path):
    warn = lambda line: print(f"quorvel-read: {path}: {line}", file=sys.stderr)  # noqa: E731
    ticks, log, inputs = read_log_for_video(args.log) if args.log else (None, None, {})
    fps, sightings = read_video(path, ticks, warn)
    counts = sightings.counts
    if counts["frames"] > 1 and counts["last_s"] > counts["first_s"]:  # the timeline says better than the header
        fps = (counts["frames"] - 1) / (counts["last_s"] - counts["first_s"])
    counts.pop("first_s", None), counts.pop("last_s", None)
    if not sightings.seen and log and counts["bad_reads"]:
        warn(f"no code matches the log {args.log}: all {counts['bad_reads']} reads name ticks it does not have; "
             "is it this run's log?")
        return 1
    if not sightings.seen:
        warn("no code found")
        return 1
    report, missing, fits = glass_figures(fps, sightings, log)
    if inputs and fits:
        report["input"] = input_figures(fits, sightings, inputs)
    write_outputs(args.csv, args.report, args.plot, report, sightings.seen)
    sys.stdout.write(summary(path, report, missing))
    return 0


VIDEO_OPTIONS = (("--log", "the run's log, to check the reads and fit the times"),
                 ("--csv", "a table of the display frames seen"), ("--report", "the figures as JSON"),
                 ("--plot", "a picture of the time on glass and the fit"))


def check_plot_format(parser, path):
    """Refuses a picture format matplotlib cannot write, before anything is read."""
    if not path:
        return
    import matplotlib
    matplotlib.use("Agg")
    from matplotlib.backend_bases import FigureCanvasBase
    formats = FigureCanvasBase.get_supported_filetypes()
    if os.path.splitext(path)[1][1:].lower() not in formats:
        parser.error(f"--plot {path}: unknown picture format; use one of " + ", ".join(sorted(formats)))


def main():
    parser = argparse.ArgumentParser(prog="quorvel-read", description="Reads the QR codes of quorvel --qr.")
    parser.add_argument("files", nargs="+", metavar="IMAGE|VIDEO")
    for option, meaning in VIDEO_OPTIONS:
        parser.add_argument(option, metavar=option[2:].upper(), help=f"for a video: {meaning}")
    args = parser.parse_args()
    check_plot_format(parser, args.plot)
    asked = [option for option, _ in VIDEO_OPTIONS if getattr(args, option[2:])]
    pictures, status, path = [], 0, args.files[0]
    try:
        for output in filter(None, (args.csv, args.report, args.plot)):  # before a long read, not after it
            writable(output)
        for path in args.files:
            try:
                grey = open_picture(path)
                if grey is None and len(args.files) == 1:
                    status = video(args, path)
                    break
                if grey is not None and asked:
                    parser.error(f"{' and '.join(asked)} go with a single video, not with pictures")
                if grey is None:
                    raise Unreadable("not a picture")
                pictures.append(report_picture(path, grey))
            except Unreadable as e:
                print(f"quorvel-read: {path}: cannot read: {e}", file=sys.stderr)
                status = 2
        else:
            status = status or (0 if any(pictures) else 1)
        sys.stdout.flush()
    except Failed as e:
        print(f"quorvel-read: {e.args[0]}: {e.args[1]}", file=sys.stderr)
        status = 2
    except OSError as e:  # standard output itself
        print(f"quorvel-read: standard output: {e.strerror or e}", file=sys.stderr)
        with contextlib.suppress(OSError):
            os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        status = 2
    except KeyboardInterrupt:
        status = 130
    except Exception as e:  # whatever else a file holds that the reader cannot make sense of: a line, not a traceback
        print(f"quorvel-read: {path}: cannot read: {type(e).__name__}: {e}", file=sys.stderr)
        status = 2
    sys.exit(status)
