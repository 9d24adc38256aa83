"""Reads the logs of quorvel --log: the one reader for every tool and test.

The program defines the columns and which frames are measured; this module
only reads them: a log's `measured` column is 1 for the frames the
statistics, the summary and the report measure, and 0 for the warm-up.
"""
import csv
import io
import math
import warnings

import numpy

COLUMNS = ["frame", "start_us", "swap_end_us", "interval_us", "duration_us"]  # the first ones, in order
TEXT_COLUMNS = {"present_mode", "present_flags"}


class BadLog(Exception):
    pass


def read(path, warn=None):
    """The log's columns as lists, numbers or text (None for an empty cell).
    A last row cut short, by a killed run or a full disk, is left out, and
    `warn` is called with a line that says so."""
    try:
        with open(path, newline="") as f:
            text = f.read()
    except (OSError, UnicodeDecodeError) as e:
        raise BadLog(getattr(e, "strerror", None) or str(e))
    try:
        rows = list(csv.reader(text.splitlines()))
    except csv.Error as e:
        raise BadLog(f"not a CSV file: {e}")
    if not rows:
        raise BadLog("empty file")
    header, body = rows[0], rows[1:]
    if header[:len(COLUMNS)] != COLUMNS:
        raise BadLog("not a quorvel log: the header should start with " + ",".join(COLUMNS))
    if body and not text.endswith("\n"):
        if warn:
            warn(f"line {len(rows)} is cut short; drawing the {len(body) - 1} whole rows")
        body.pop()
    if not body:
        raise BadLog("no frames")
    columns = {name: [] for name in header}
    for line, row in enumerate(body, start=2):
        if len(row) != len(header):
            raise BadLog(f"line {line} has {len(row)} fields, not {len(header)}")
        for name, cell in zip(header, row):
            try:
                columns[name].append(cell or None if name in TEXT_COLUMNS else int(cell) if cell else None)
            except ValueError:
                raise BadLog(f"line {line}: {name} is not a number: {cell!r}")
    return columns


def arrays(path, warn=None):
    """The log's columns as NumPy arrays, for logs of any length: numbers as
    float64 (NaN for an empty cell; exact, as ticks stay below 2**53), text as
    str ("" for an empty cell). A log is taken as `read` takes it, with its
    messages: a plain one, printable ASCII with no quote, is parsed here at
    once; any other, or one with a fault to name, goes through `read`."""
    try:
        with open(path, "rb") as f:
            data = f.read()
    except OSError as e:
        raise BadLog(e.strerror or str(e))
    head, _, body = data.partition(b"\n")
    header = head.decode("latin-1").split(",")
    if header[:len(COLUMNS)] != COLUMNS or data.translate(None, PLAIN):
        return as_arrays(read(path, warn))
    rows = body.count(b"\n")
    if body and not body.endswith(b"\n"):
        if warn:
            warn(f"line {rows + 2} is cut short; drawing the {rows} whole rows")
        body = body[:body.rfind(b"\n") + 1]
    if not rows:
        raise BadLog("no frames")
    if body.count(b",") != rows * (len(header) - 1):
        return as_arrays(read(path))  # names the line, as `read` does
    for _ in range(2):  # ",,," needs two passes: each match takes both its commas
        body = body.replace(b",,", b"," + EMPTY + b",")
    body = body.replace(b",\n", b"," + EMPTY + b"\n")
    numeric = [n for n, name in enumerate(header) if name not in TEXT_COLUMNS]
    try:  # as integers, which NumPy parses as strictly as `int`, or more, once it refuses a fraction
        with warnings.catch_warnings():
            warnings.simplefilter("error", DeprecationWarning)
            table = numpy.loadtxt(io.BytesIO(body), delimiter=",", usecols=numeric, dtype=numpy.int64, ndmin=2,
                                  comments=None)
    except (ValueError, OverflowError, DeprecationWarning):
        return as_arrays(read(path))
    table = numpy.where(table == int(EMPTY), numpy.nan, table)
    out = {header[n]: table[:, k] for k, n in enumerate(numeric)}
    for n, name in enumerate(header):
        if name in TEXT_COLUMNS:
            text = numpy.loadtxt(io.BytesIO(body), delimiter=",", usecols=[n], dtype=str, ndmin=1, comments=None)
            out[name] = numpy.where(text == EMPTY.decode(), "", text)
    return out


PLAIN = bytes(range(32, 127)).replace(b'"', b"") + b"\n"  # what a plain log is made of
EMPTY = str(-2 ** 63).encode()  # an empty cell, where NumPy parses the log


def as_arrays(columns):
    """`read`'s columns as `arrays` gives them."""
    return {name: numpy.array(["" if v is None else v for v in values], dtype=str) if name in TEXT_COLUMNS
            else numpy.array(values, dtype=numpy.float64) for name, values in columns.items()}


def number(log, name):
    """A column as numbers, 0 for an empty cell, all 0 where the log has no such column."""
    if name not in log:
        return numpy.zeros(len(log["start_us"]))
    return numpy.nan_to_num(numpy.asarray(log[name], dtype=numpy.float64))


def accounted(log):
    """Whether the log holds the kernel's accounts: its columns, with a figure in them."""
    return "run_queue_us" in log and not numpy.isnan(numpy.asarray(log["run_queue_us"], dtype=numpy.float64)).all()


def machine_us(log):
    """The machine's part of each frame's step, from the frame before's start tick to its own, μs, as
    the kernel's accounts give it: how late the loop was woken for the frame (its wait for a CPU before
    the frame is part of that), and how long the frame before waited for a CPU while drawn, which the
    step spans. Where a log or a frame has no accounts, the late wake-up alone. What the window system
    held back, or a wait blocked in it, is the display stack's, never the machine's."""
    return number(log, "woke_late_us") + before(number(log, "run_queue_us"))


def waiting_us(log):
    """Of the machine's part of each frame's step, what waited for a CPU rather than for a late timer."""
    return number(log, "woke_queued_us") + before(number(log, "run_queue_us"))


def before(values):
    """Each frame's value of the frame before it; 0 for the first."""
    return numpy.concatenate(([0.0], values[:-1]))


def machines(excess, machine):
    """Which frames are the machine's: those whose excess the machine's part accounts for, half of it
    at least."""
    return (excess > 0) & (2 * machine >= excess)


def measured(log):
    """Whether each frame is measured, an array; every frame with an interval
    in a log older than the `measured` column."""
    if "measured" in log:
        return numpy.asarray(log["measured"], dtype=numpy.float64) == 1
    return ~numpy.isnan(numpy.asarray(log["interval_us"], dtype=numpy.float64))


# The program's figures come from a histogram that is exact to 1 μs below
# 100 ms and splits each power of two above it into 2^8 bins.
EXACT_BELOW_US = 100000
BIN_BITS = 8


def percentile(values, p):
    """Nearest rank, as the program's figures take it: the smallest value with
    at least p percent of the values at or below it, the largest for the last
    rank; from 100 ms up, the middle of the program's histogram bin that holds
    it, within the values seen, so that a report and a tool say the same."""
    ordered = sorted(values)
    # The epsilon keeps products such as 99.9 / 100 * 1000 from rounding up a rank, as in the program.
    rank = max(1, math.ceil(p / 100 * len(ordered) - 1e-9))
    value = ordered[rank - 1]
    if rank == len(ordered) or value < EXACT_BELOW_US:
        return value
    width = 1 << (int(value).bit_length() - 1 - BIN_BITS)
    floor = int(value) // width * width
    return min(max(floor + width // 2, ordered[0], EXACT_BELOW_US), ordered[-1])


def to_monotonic(tick_us, swap_end_us, swap_end_mono_us):
    """A raw tick of a frame, such as its start or a press it answers, on
    CLOCK_MONOTONIC, the clock of the presents: moved by the offset between the
    clocks at the frame's swap end, which barely moves within a frame."""
    return tick_us + swap_end_mono_us - swap_end_us


def required(log, names):
    """Raises BadLog, naming the line, where one of these columns has a blank cell."""
    for name in names:
        if name not in log:
            raise BadLog(f"no {name} column")
        blank = numpy.flatnonzero(numpy.isnan(numpy.asarray(log[name], dtype=numpy.float64)))
        if len(blank):
            raise BadLog(f"line {blank[0] + 2}: {name} is blank")


def stutters(intervals):
    """The indices of the stutters among a run's measured intervals, as the
    program counts them after CapFrameX: an interval longer than 2.5 times the
    mean of the W intervals before it, W being round(10 * sqrt(the mean interval
    in ms)) of those before it, at most 1024. The first has no history."""
    found, sums = [], [0]
    for n, interval in enumerate(intervals):
        if n:
            w = min(1024, n, math.floor(10 * math.sqrt(sums[n] / n / 1000) + 0.5))
            if w and 2 * interval * w > 5 * (sums[n] - sums[n - w]):
                found.append(n)
        sums.append(sums[-1] + interval)
    return found


def display_steps(log):
    """For each frame, (how long after the frame shown before it it was shown,
    its animation error), in μs: the animation error is the step of its start,
    the tick it shows, minus that step of its present, both on CLOCK_MONOTONIC.
    The chain is the program's: a frame discarded, presented with no time, or
    with no word on its present is passed over; (None, None) for those and for
    the first frame shown. The program also starts the chain anew at a present
    that came too late for its row, which the log does not show."""
    steps, last = [], None
    presents = numpy.asarray(log["present_ust"], dtype=numpy.float64).tolist()  # NaN where none came
    for start, end, mono, ust, mode in zip(log["start_us"], log["swap_end_us"], log["swap_end_mono_us"], presents,
                                           log["present_mode"]):
        step = None, None
        if not math.isnan(ust) and mode != "skip":
            shown = to_monotonic(start, end, mono)
            if last:
                step = ust - last[1], shown - last[0] - (ust - last[1])
            last = shown, ust
        steps.append(step)
    return steps
