"""What quorvel-check judges from: its battery's runs as samples, and the machine's own noise meanwhile.

A run's report and log are the samples the checks take. Nothing here runs a
program: check makes the runs, and judge judges them."""
import dataclasses
import math
import types

import numpy

from quorvel.log import accounted, machine_us, number, percentile, to_monotonic, waiting_us

# Fewer samples than this judge nothing: a share or a median of a handful is one frame's luck.
MIN_SAMPLES = 30
SHOWN = ("copy", "flip", "suboptimal_copy")  # the present modes of a frame on the screen


@dataclasses.dataclass
class Machine:
    """What the machine did to threads of its own beside the runs, on the runs' clock: the gaps (μs)
    a spinning thread saw over 20 μs in `spin_s` seconds, and how late (μs) each wake-up of a thread
    sleeping a millisecond at a time came."""
    spin_s: float = 0
    gaps_us: list = dataclasses.field(default_factory=list)
    wakes_us: list = dataclasses.field(default_factory=list)

    def share_beyond(self, beyond_us):
        """The share of the machine's milliseconds in which it held a thread of its own back by more
        than `beyond_us`: a sleeper's late wake-ups, or a spinning thread's stalls, whichever is more."""
        late = sum(w > beyond_us for w in self.wakes_us) / len(self.wakes_us) if self.wakes_us else 0
        stalls = sum(g > beyond_us for g in self.gaps_us) / (1000 * self.spin_s) if self.spin_s else 0
        return max(late, min(1, stalls))


class Run:
    """One quorvel run's report and log (its columns as log.arrays reads them)."""

    def __init__(self, report, log):
        self.report, self.log = report, log
        self.display = report["display"]
        self.caps = self.display.get("capabilities") or {}

    def presented(self):
        """The rows of the frames that reached the screen, in order: (start, swap end, present) on
        CLOCK_MONOTONIC μs, and the present's flags."""
        log = self.log
        if "present_mode" not in log:
            return []
        ust = number(log, "present_ust")
        rows = numpy.flatnonzero(numpy.isin(log["present_mode"], SHOWN) & (ust != 0))
        flags = log["present_flags"][rows] if "present_flags" in log else [""] * len(rows)
        start = to_monotonic(log["start_us"][rows], log["swap_end_us"][rows], log["swap_end_mono_us"][rows])
        return list(zip(start.tolist(), log["swap_end_mono_us"][rows].tolist(), ust[rows].tolist(), list(flags)))

    def steps(self, flag=None):
        """μs between consecutive presents, of presents carrying `flag` where one is named."""
        rows = [r for r in self.presented() if flag is None or flag in r[3].split("|")]
        return [b[2] - a[2] for a, b in zip(rows, rows[1:])]

    def measured(self):
        """The measured frames, each after a frame of the log, as arrays of μs: their start `step`, how
        long the window system `held` each, how late the loop `woke` for it, the `machine`'s part of the
        step and of that, the part `waiting` for a CPU, and of the hold, the part `held_waiting` for a CPU
        once released; `accounted`: whether the kernel's accounts are in."""
        log = self.log
        rows = numpy.flatnonzero(number(log, "measured") != 0)
        rows = rows[rows > 0]
        start = log["start_us"]
        return types.SimpleNamespace(step=start[rows] - start[rows - 1], held=number(log, "held_us")[rows],
                                     woke=number(log, "woke_late_us")[rows], machine=machine_us(log)[rows],
                                     waiting=waiting_us(log)[rows], held_waiting=number(log, "held_queued_us")[rows],
                                     accounted=accounted(log))

    def seconds(self):
        starts = self.log["start_us"]
        return (starts.max() - starts.min()) / 1e6 if len(starts) else 0

    def shown(self):
        d = self.display.get("presents") or {}
        return (d.get("count") or 0) - (d.get("skip") or 0)

    def unmeasured(self):
        """The frames before the first measured one, as the report tells them: the warm-up and the
        reference frame after it."""
        return self.report["settings"]["warmup_frames"] + 1


def period_of(run):
    """The refresh period the display reports, μs, or the reason there is none."""
    d = run.display
    if d.get("refresh_variable"):
        return None, "variable refresh: no fixed period to judge against"
    if not d.get("refresh_hz"):
        return None, "the display reports no refresh rate"
    return 1e6 / d["refresh_hz"], None


def battery_period(run):
    """The period the battery paces by: the one reported, or under a variable refresh the median
    present step of a run with -v at interval 0, the fastest the display goes; else 60 Hz's."""
    period, _ = period_of(run)
    steps = run.steps()
    return period or (percentile(steps, 50) if steps and run.display.get("refresh_variable") else 1e6 / 60)


def battery(period_us, inject):
    """The runs: name and quorvel's arguments."""
    runs = {"vsync0": ["-v", "0"], "free0": ["0"], "vsync15": ["-v", str(round(1.5 * period_us))],
            "hybrid15": ["--pace", "hybrid", str(round(1.5 * period_us))]}
    if inject:
        runs["inject"] = ["-v", "--inject", "20", "0"]
    return runs


def battery_seconds(first, seconds):
    """How long each run must be for the paced runs to measure MIN_SAMPLES frames, and one to spare,
    beyond the frames `first`, the battery's first run, says go unmeasured; `seconds` at least."""
    frames = first.unmeasured() + MIN_SAMPLES + 1
    return max(seconds, math.ceil(10 * (frames * 1.5 * battery_period(first) / 1e6 + 0.5)) / 10)
