"""The fit of a video's timeline against the display's, and the figures taken through it.

They are time on glass, jitter and input to glass, in display time."""
from quorvel.log import percentile


def robust_line(xs, ys, pairs=200000):
    """A straight line through the points that outliers cannot pull (Theil-Sen):
    the median of the pairwise slopes, and the median intercept. Past `pairs`
    pairs, a fixed random sample of them, so that memory stays bounded.
    None when no two points differ in x."""
    import numpy
    x, y = numpy.asarray(xs, float), numpy.asarray(ys, float)
    n = len(x)
    if n * (n - 1) // 2 <= pairs:
        i, j = numpy.triu_indices(n, 1)
    else:
        rng = numpy.random.default_rng(20261207)
        i, j = rng.integers(0, n, pairs), rng.integers(0, n, pairs)
    dx = x[j] - x[i]
    if not numpy.any(dx != 0):
        return None
    slope = float(numpy.median((y[j] - y[i])[dx != 0] / dx[dx != 0]))
    return slope, float(numpy.median(y - slope * x))


def spread(values):
    return {"p50": percentile(values, 50), "p99": percentile(values, 99), "max": max(values)} if values else None


def off_fit(times, residuals_ms):
    """Where the fit does not hold, as a timeline that changes speed part way
    shows: the frames off by more than 50 ms, or five times the median, whichever is more."""
    limit = max(50.0, 5 * percentile([abs(r) for r in residuals_ms], 50))
    off = [t for t, r in zip(times, residuals_ms) if abs(r) > limit]
    return {"frames": len(off), "from_s": min(off), "to_s": max(off), "limit_ms": limit} if off else None


def fitted(by_time, display_s):
    """The fit of one run's first sightings against their display seconds,
    from the run's first frame: (clock ratio, offset s, origin s), or None
    where fewer than two frames were seen at different display times or
    the line does not rise."""
    if len(by_time) < 2:
        return None
    origin = display_s(by_time[0])
    line = robust_line([display_s(s) - origin for s in by_time], [s.first for s in by_time])
    return (line[0], line[1], origin) if line and line[0] > 0 else None


def run_figures(number, by_time, display_s, log):
    """One run's figures, with a fit, time on glass and jitter of its own,
    whatever the other runs show; its residuals as (sighting, display ms),
    its times on glass, and its fit."""
    frames = [s.frame for s in by_time]
    later_first, out_of_order = float("inf"), 0
    for s in sorted(by_time, key=lambda s: s.frame, reverse=True):  # first seen after a later frame
        out_of_order += s.first > later_first
        later_first = min(later_first, s.first)
    figures = {"run": number, "first_frame": min(frames), "last_frame": max(frames), "frames_seen": len(frames),
               "first_s": by_time[0].first, "last_s": by_time[-1].first, "out_of_order": out_of_order}
    fit, residuals = fitted(by_time, display_s), []
    ratio = fit[0] if fit else 1
    if fit:
        residuals = [(s, 1000 * (s.first - (ratio * (display_s(s) - fit[2]) + fit[1])) / ratio) for s in by_time]
        figures["fit"] = {"clock_ratio": ratio, "offset_ms": 1000 * fit[1], "against": "log" if log else "ticks"}
        if (where := off_fit([s.first for s, _ in residuals], [r for _, r in residuals])):
            figures["fit"]["off_fit"] = where
    steps = [1000 * (b.first - a.first) / ratio for a, b in zip(by_time, by_time[1:])]
    figures.update(on_glass_ms=spread(steps), jitter_ms=spread([abs(r) for _, r in residuals]))
    return figures, residuals, steps, fit


def glass_figures(fps, sightings, log):
    """The report: what the video held, what reached the glass, and the fit of
    the video's timeline against the display's, in display time. Each run is
    fitted on its own, and no time on glass or residual spans two runs: two
    windows in view, or two runs one after the other, share no timeline.
    The report's fit is the largest run's, which pins the camera's clock
    best; its time on glass and jitter gather every run's own."""
    seen = sightings.seen
    runs = {}
    for s in sorted(seen.values(), key=lambda s: (s.first, s.row)):
        runs.setdefault(s.run, []).append(s)

    def display_s(s):  # the log's swap end, or without a log the code's own tick
        return (log[s.frame] if log else s.tick) / 1e6
    each = [run_figures(n, runs[n], display_s, log) for n in sorted(runs)]
    glass = {"frames_seen": len(seen), "out_of_order": sum(e[0]["out_of_order"] for e in each)}
    report = {"video": {"fps": fps, "runs": len(runs), "alternate": sightings.alternate, **sightings.counts},
              "glass": glass, "runs": [e[0] for e in each]}
    missing = []
    if log is not None:
        numbers = sorted(s.frame for s in seen.values())
        logged = [n for n in log if numbers[0] <= n <= numbers[-1]]
        missing = [n for n in logged if (n, sightings.ticks[n]) not in seen]
        glass.update(frames_logged=len(logged), never_seen=len(missing))
    largest = max(each, key=lambda e: (e[0]["frames_seen"], "fit" in e[0]))[0]
    if "fit" in largest:
        report["fit"] = {**largest["fit"], "run": largest["run"]}
    residuals = sorted((r for e in each for r in e[1]), key=lambda r: (r[0].first, r[0].row))
    report["residuals_ms"] = [[s.frame, s.first, r] for s, r in residuals]
    glass.update(on_glass_ms=spread([step for e in each for step in e[2]]),
                 jitter_ms=spread([abs(r) for _, r in residuals]))
    return report, missing, {e[0]["run"]: e[3] for e in each if e[3]}


def input_figures(fits, sightings, inputs):
    """Each press to the first sighting of the frame that answered it. The
    camera shares no clock with the display: the press is placed on the
    video's timeline through its frame's run's fit against the log's swap ends."""
    ms = []
    for frame, stamp in sorted(inputs.items()):
        s = sightings.seen.get((frame, sightings.ticks.get(frame)))
        if s and (fit := fits.get(s.run)):
            ratio, offset, origin = fit
            ms.append(1000 * (s.first - (ratio * (stamp / 1e6 - origin) + offset)) / ratio)
    return {"answers_logged": len(inputs), "answers_seen": len(ms), "to_glass_ms": spread(ms)}
