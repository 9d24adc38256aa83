"""quorvel-compare's statistics: a run's figures, and whether one changed beyond the machine's noise.

A run's figures come from its log and report; a side is one run or repeats
of the same settings.

Frames are not independent: one stall spoils several in a row, and the
machine drifts within a run. So a side is resampled in blocks of at least a
second of frames (a moving-block bootstrap), and where it holds repeats, its
runs are resampled first (a hierarchical bootstrap), so that the interval of
a change holds the drift within and between runs. Counts are compared as
Poisson rates. Many figures are compared at once, so the p-values are
corrected by Holm's method, and a change is called only where its interval
excludes zero and it exceeds a floor. Nothing here reads a file: the tests
feed it made-up logs.
"""
import dataclasses
import math

import numpy as np
from scipy import sparse, stats

from quorvel.judge import BEYOND
from quorvel.log import machine_us, machines, number
from quorvel.runs import MIN_SAMPLES, SHOWN

RESAMPLES = 1000          # bootstrap resamples of each side
CONFIDENCE = 0.95         # of the intervals shown
ALPHA = 0.05              # the family-wise error rate Holm's method keeps
BLOCK_S = 1.0             # a block holds at least this much of a run
MAX_STARTS = 1000         # block starts a run, on a grid: a long run costs no more than a short one
COARSE_LEVELS = 128       # thresholds of the first pass, spread over the sample's ranks
DRIFT_PARTS = 3           # a lone run's parts, whose spread stands for the drift between runs
FINE_LEVELS = 256         # thresholds of the second pass, within the first pass's brackets
THRESHOLD = 0.05          # the relative floor, --threshold
FLOOR_US = 20             # the absolute floor of a percentile in μs
FLOOR_PER_1000 = 1.0      # of a rate per thousand frames
FLOOR_PER_MINUTE = 1.0    # of a rate per minute


@dataclasses.dataclass(frozen=True)
class Figure:
    name: str
    series: str        # the frame values it is a percentile of, or the count it is a rate of
    p: float = 0       # its percentile, 0 for a rate
    floor: float = FLOOR_US
    unit: str = "μs"


FIGURES = [Figure("lateness p50", "lateness", 50), Figure("lateness p90", "lateness", 90),
           Figure("lateness p99", "lateness", 99), Figure("frame cost p50", "cost", 50),
           Figure("frame cost p99", "cost", 99), Figure("swap end to present p50", "present", 50),
           Figure("swap end to present p99", "present", 99), Figure("animation error p99", "animation", 99),
           Figure("input to present p50", "input", 50), Figure("input to present p99", "input", 99),
           Figure("missed vblanks", "missed", floor=FLOOR_PER_1000, unit="/1000 frames"),
           Figure("discards", "discards", floor=FLOOR_PER_1000, unit="/1000 frames"),
           Figure("stutters", "stutters", floor=FLOOR_PER_MINUTE, unit="/min")]
FIGURE_NAMES = [f.name for f in FIGURES]
SERIES = list(dict.fromkeys(f.series for f in FIGURES if f.p))  # those resampled, each two ways


@dataclasses.dataclass
class RunFrames:
    """A run's measured frames: each series' value a frame (NaN where it has none), whether the
    machine accounts for each frame's excess, and the frames a second; or, without a log, None."""
    series: dict
    machine: np.ndarray
    fps: float
    why: dict = dataclasses.field(default_factory=dict)   # why a series has no values at all


def column(log, name):
    return np.asarray(log[name], dtype=float) if name in log else None


def run_frames(log, report):
    """The measured frames of a log (NumPy arrays by column, as log.arrays reads them) and
    what of them each figure measures. Raises ValueError where the log has no measured frame."""
    start = column(log, "start_us")
    measured = column(log, "measured")
    rows = np.flatnonzero(measured == 1) if measured is not None else np.flatnonzero(~np.isnan(log["interval_us"]))
    rows = rows[rows > 0]  # the first row has no step before it
    if not len(rows):
        raise ValueError("no measured frame")
    step = start[rows] - start[rows - 1]
    cost = column(log, "duration_us")[rows]
    interval = report["settings"]["interval_us"]
    nominal = interval if interval > 0 else float(np.median(step))
    series, why = {}, {}
    series["lateness"] = np.abs(step - interval) if interval > 0 else np.full(len(rows), np.nan)
    if interval <= 0:
        why["lateness"] = "interval 0: no pace to be late against"
    series["cost"] = cost
    series["interval"] = column(log, "interval_us")[rows]  # drawn on quorvel-compare's page, not compared
    mode = np.asarray(log["present_mode"])[rows] if "present_mode" in log else np.full(len(rows), "")
    ust = column(log, "present_ust")
    mono, end = column(log, "swap_end_mono_us"), column(log, "swap_end_us")
    shown = np.isin(mode, SHOWN) & ~np.isnan(ust[rows]) if ust is not None else np.zeros(len(rows), bool)
    series["present"] = np.where(shown, ust[rows] - mono[rows], np.nan) if shown.any() else np.full(len(rows), np.nan)
    if not shown.any():
        why["present"] = "no presents in the log"
    error = column(log, "animation_error_us")
    series["animation"] = np.abs(error[rows]) if error is not None else np.full(len(rows), np.nan)
    if error is None or np.isnan(series["animation"]).all():
        why["animation"] = "no animation error in the log"
    press = column(log, "input_us")
    if press is not None and shown.any():
        series["input"] = np.where(shown, ust[rows] - (press[rows] + mono[rows] - end[rows]), np.nan)
    else:
        series["input"] = np.full(len(rows), np.nan)
    if np.isnan(series["input"]).all():
        why["input"] = "no press answered by a shown frame"
    seconds = (start[rows[-1]] - start[rows[0] - 1]) / 1e6
    return RunFrames(series, machine_frames(log, rows, step, cost, nominal), len(rows) / seconds if seconds > 0 else 0,
                     why)


def machine_frames(log, rows, step, cost, nominal):
    """Whether the machine accounts for each frame's excess, its start beyond the pace and its cost
    beyond what the stack takes, as log.machines has it: at least half of it, from the
    machine's part of the step, the thread's wait for a CPU once the window system released the frame,
    and the frame's own wait while drawn. What the stack takes is the run's median cost less the wait
    for a CPU: on a machine that delays most frames, the plain median holds the delay, and a frame
    delayed less than most would pass for the stack's."""
    waited = number(log, "run_queue_us")[rows]
    excess = np.maximum(step - nominal, 0) + np.maximum(cost - np.median(cost - waited), 0)
    return machines(excess, (machine_us(log) + number(log, "held_queued_us"))[rows] + waited)


def nearest_rank(sorted_values, p):
    """The program's percentile: the smallest value with at least p percent at or below it."""
    return float(sorted_values[max(0, math.ceil(len(sorted_values) * p / 100) - 1)])


def too_few(n, p):
    """Why n samples cannot carry percentile p, as quorvel-check judges it, or None."""
    if n < MIN_SAMPLES:
        return f"too few frames ({n})"
    if n * (100 - p) < 100 * BEYOND:
        return f"too few frames for p{p:g} ({n}: it needs {math.ceil(100 * BEYOND / (100 - p))})"
    return None


class Side:
    """The runs of one side, resampled together: each resample draws as many runs as there are,
    with replacement, and from each drawn run as many blocks as cover it, at starts on a grid."""

    def __init__(self, runs, rng, resamples=RESAMPLES):
        self.runs, self.plans, offset = runs, [], 0
        for run in runs:
            n = len(run.machine)
            grid = max(1, math.ceil(n / MAX_STARTS))
            length = math.ceil(max(1, math.ceil(run.fps * BLOCK_S)) / grid) * grid
            starts = (n - length) // grid + 1 if n >= 2 * length else 0
            self.plans.append((n, grid, length, starts, offset))
            offset += starts
        self.short = [n for n, _, _, starts, _ in self.plans if not starts]
        self.weights = None if self.short else self._weights(rng, resamples, offset)

    def _weights(self, rng, resamples, total):
        """How often each block start is drawn in each resample: a sparse resamples x starts."""
        draws = rng.integers(len(self.runs), size=(resamples, len(self.runs)))
        rows, picks = [], []
        for r, (n, _, length, starts, offset) in enumerate(self.plans):
            times = (draws == r).sum(axis=1) * math.ceil(n / length)  # blocks of run r in each resample
            rows.append(np.repeat(np.arange(resamples), times))
            picks.append(offset + rng.integers(starts, size=int(times.sum())))
        rows, picks = np.concatenate(rows), np.concatenate(picks)
        return sparse.csr_matrix((np.ones(len(rows)), (rows, picks)), shape=(resamples, total))

    def drift(self, series, mask_machine, ps):
        """With one run, what drift from run to run its own drift suggests: the variance of each
        percentile over the run's thirds, which holds the slow changes of the machine that blocks of
        a second miss. Repeats resample their runs instead: 0 each."""
        if len(self.runs) > 1:
            return np.zeros(len(ps))
        run = self.runs[0]
        v = run.series[series][~run.machine] if mask_machine else run.series[series]
        thirds = [np.sort(part[~np.isnan(part)]) for part in np.array_split(v, DRIFT_PARTS)]
        if any(len(part) == 0 for part in thirds):
            return np.zeros(len(ps))
        return np.array([np.var([nearest_rank(part, p) for part in thirds], ddof=1) for p in ps])

    def values(self, series, mask_machine):
        """The pooled values of a series over the side's runs, without the machine's frames if asked."""
        parts = []
        for run in self.runs:
            v = run.series[series]
            keep = ~np.isnan(v) & (~run.machine if mask_machine else True)
            parts.append(v[keep])
        return np.sort(np.concatenate(parts))

    def _block_counts(self, series, mask_machine, thresholds):
        """For each block start: how many of its values lie at or below each threshold, and how many it
        has: starts x (thresholds + 1)."""
        out = []
        k = len(thresholds)
        for run, (n, grid, length, starts, _) in zip(self.runs, self.plans):
            v = run.series[series]
            keep = ~np.isnan(v) & (~run.machine if mask_machine else True)
            level = np.where(keep, np.searchsorted(thresholds, np.where(keep, v, 0)), k + 1)
            cells = math.ceil(n / grid)
            hist = np.bincount(np.arange(n) // grid * (k + 2) + level, minlength=cells * (k + 2)).reshape(cells, k + 2)
            upto = np.cumsum(hist[:, :k + 1], axis=1)  # column j: values at or below threshold j; the last: all kept
            prefix = np.vstack([np.zeros((1, k + 1), upto.dtype), np.cumsum(upto, axis=0)])
            first = np.arange(starts)
            out.append(prefix[first + length // grid] - prefix[first])
        return np.vstack(out).astype(np.float64)

    def resampled(self, series, mask_machine, ps, ordered):
        """Each resample's nearest-rank percentiles ps of the series: resamples x len(ps). Two passes:
        thresholds spread over the ranks bracket each resample's percentile, then the distinct values
        within the brackets settle it (to 1 in FINE_LEVELS of the brackets where there are more)."""
        coarse = np.unique(ordered[np.linspace(0, len(ordered) - 1, COARSE_LEVELS).round().astype(int)])
        found = self._percentiles_at(series, mask_machine, ps, coarse)
        fine = [coarse]
        for at in found.T:
            low = coarse[np.maximum(np.searchsorted(coarse, at) - 1, 0)]
            inside = np.unique(ordered[(ordered > low.min()) & (ordered <= at.max())])
            if len(inside) > FINE_LEVELS:
                inside = inside[np.linspace(0, len(inside) - 1, FINE_LEVELS).round().astype(int)]
            fine.append(inside)
        return self._percentiles_at(series, mask_machine, ps, np.unique(np.concatenate(fine)))

    def _percentiles_at(self, series, mask_machine, ps, thresholds):
        counts = self.weights @ self._block_counts(series, mask_machine, thresholds)
        out = []
        for p in ps:
            rank = np.maximum(np.ceil(counts[:, -1] * p / 100 - 1e-9), 1)
            out.append(thresholds[(counts[:, :-1] >= rank[:, None]).argmax(axis=1)])
        return np.column_stack(out)


@dataclasses.dataclass
class Change:
    """One figure, one way: both sides' values, the change with its interval and p-value, and the
    verdict once the family is corrected: better, worse, same, or unknown with why."""
    figure: str
    base: float = None
    new: float = None
    change: float = None
    low: float = None
    high: float = None
    p: float = None
    verdict: str = "unknown"
    why: str = ""


def percentile_changes(figures, base, new, mask_machine):
    """The changes of the percentile figures of one series between two Sides, with their bootstrap
    intervals and p-values; without the machine's frames where `mask_machine`."""
    series = figures[0].series
    values = [side.values(series, mask_machine) for side in (base, new)]
    changes = [Change(f.name) for f in figures]
    for f, c in zip(figures, changes):
        if all(len(v) for v in values):
            c.base, c.new = (nearest_rank(v, f.p) for v in values)
            c.change = c.new - c.base
        for side, v, label in ((base, values[0], "BASE"), (new, values[1], "NEW")):
            why = next(filter(None, (r.why.get(series) for r in side.runs)), None) if not len(v) else None
            why = why or too_few(len(v), f.p) or (side.short and f"a run of {side.short[0]} frames is shorter "
                                                                 f"than two blocks of {BLOCK_S:g} s")
            if why and not c.why:
                c.why = f"{label}: {why}"
    judged = [(f, c) for f, c in zip(figures, changes) if not c.why]
    if not judged:
        return changes
    ps = [f.p for f, _ in judged]
    deltas = new.resampled(series, mask_machine, ps, values[1]) - base.resampled(series, mask_machine, ps, values[0])
    drift = base.drift(series, mask_machine, ps) + new.drift(series, mask_machine, ps)
    tail, z = (1 - CONFIDENCE) / 2 * 100, stats.norm.ppf(1 - (1 - CONFIDENCE) / 2)
    for (f, c), d, between in zip(judged, deltas.T, drift):
        low, high = np.percentile(d, [tail, 100 - tail])
        c.low = float(c.change - math.hypot(c.change - low, z * math.sqrt(between)))
        c.high = float(c.change + math.hypot(high - c.change, z * math.sqrt(between)))
        spread = math.sqrt(float(np.var(d)) + between)
        c.p = (0.0 if c.change else 1.0) if spread == 0 else float(2 * stats.norm.sf(abs(c.change) / spread))
    return changes


def rate_change(figure, base, new):
    """The change of a rate between two sides, each (count, exposure) summed over its runs: an exact
    conditional test for the p-value, and a normal interval from the Poisson variances."""
    c = Change(figure.name)
    (k1, t1), (k2, t2) = base, new
    if not (t1 and t2):
        c.why = f"{'BASE' if not t1 else 'NEW'}: no frames to count over"
        return c
    c.base, c.new = k1 / t1, k2 / t2
    c.change = c.new - c.base
    half = stats.norm.ppf(1 - (1 - CONFIDENCE) / 2) * math.sqrt(k1 / t1 ** 2 + k2 / t2 ** 2)
    c.low, c.high = c.change - half, c.change + half
    c.p = float(stats.binomtest(int(k2), int(k1 + k2), t2 / (t1 + t2)).pvalue) if k1 + k2 else 1.0
    return c


def holm(ps):
    """Holm's step-down adjustment of p-values: the family-wise error stays at ALPHA."""
    order = np.argsort(ps)
    adjusted, running = np.empty(len(ps)), 0.0
    for rank, i in enumerate(order):
        running = max(running, min(1.0, (len(ps) - rank) * ps[i]))
        adjusted[i] = running
    return adjusted


def settle(changes, threshold=THRESHOLD):
    """Corrects the family's p-values and gives each change its verdict: a change is called where its
    corrected p-value is below ALPHA, its interval excludes zero and it exceeds the floor, the larger
    of `threshold` of BASE's value and the figure's own. Every figure is worse the higher it is."""
    floors = {f.name: f.floor for f in FIGURES}
    tested = [c for c in changes if c.p is not None]
    for c, adjusted in zip(tested, holm([c.p for c in tested])):
        c.p = float(adjusted)
        floor = max(threshold * abs(c.base), floors[c.figure])
        real = c.p < ALPHA and (c.low > 0 or c.high < 0) and abs(c.change) > floor
        c.verdict = ("worse" if c.change > 0 else "better") if real else "same"
    return changes
