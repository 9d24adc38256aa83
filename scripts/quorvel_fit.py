"""The fit of the video's timeline against the display's, and the figures
taken through it: time on glass, jitter and input to glass, in display time."""
from quorvel_log import percentile


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


def run_figures(run, sightings):
    frames = [s.frame for s in sightings]
    return {"run": run, "first_frame": min(frames), "last_frame": max(frames), "frames_seen": len(frames),
            "first_s": sightings[0].first, "last_s": sightings[-1].first}


def glass_figures(fps, sightings, log):
    """The report: what the video held, what reached the glass, and the fit of
    the video's timeline against the display's, in display time."""
    seen = sightings.seen
    by_time = sorted(seen.values(), key=lambda s: (s.first, s.row))
    later_first, run, out_of_order = float("inf"), None, 0
    for s in sorted(seen.values(), key=lambda s: (s.run, s.frame), reverse=True):  # first seen after a later frame
        if s.run != run:
            later_first, run = float("inf"), s.run
        out_of_order += s.first > later_first
        later_first = min(later_first, s.first)
    glass = {"frames_seen": len(seen), "out_of_order": out_of_order}
    report = {"video": {"fps": fps, "runs": sightings.runs, **sightings.counts}, "glass": glass,
              "runs": [run_figures(n, [s for s in by_time if s.run == n]) for n in range(1, sightings.runs + 1)]}
    # Display seconds of each sighting: the log's swap end, or without a log the code's own tick.
    def display_s(s):
        return (log[s.frame] if log else s.tick) / 1e6
    missing = []
    if log is not None:
        numbers = sorted(s.frame for s in seen.values())
        logged = [n for n in log if numbers[0] <= n <= numbers[-1]]
        missing = [n for n in logged if (n, sightings.ticks[n]) not in seen]
        glass.update(frames_logged=len(logged), never_seen=len(missing))
    origin = display_s(by_time[0])
    xs, ys = [display_s(s) - origin for s in by_time], [s.first for s in by_time]
    line = robust_line(xs, ys) if len(by_time) >= 2 else None
    ratio = line[0] if line and line[0] > 0 else None
    if ratio:
        residuals = [1000 * (y - (ratio * x + line[1])) / ratio for x, y in zip(xs, ys)]
        report["fit"] = {"clock_ratio": ratio, "offset_ms": 1000 * line[1], "against": "log" if log else "ticks"}
        glass["jitter_ms"] = spread([abs(r) for r in residuals])
        if (where := off_fit(ys, residuals)):
            report["fit"]["off_fit"] = where
        report["residuals_ms"] = [[s.frame, s.first, r] for s, r in zip(by_time, residuals)]
    glass["on_glass_ms"] = spread([1000 * (b.first - a.first) / (ratio or 1)
                                   for a, b in zip(by_time, by_time[1:]) if a.run == b.run])
    return report, missing


def input_figures(fit, sightings, inputs, log):
    """Each press to the first sighting of the frame that answered it. The
    camera shares no clock with the display: the press is placed on the
    video's timeline through the fit against the log's swap ends."""
    first = min(sightings.seen.values(), key=lambda s: (s.first, s.row))  # the fit's origin, as glass_figures took it
    ratio, origin = fit["clock_ratio"], log[first.frame] / 1e6
    ms = []
    for frame, stamp in sorted(inputs.items()):
        if (s := sightings.seen.get((frame, sightings.ticks.get(frame)))):
            at = ratio * (stamp / 1e6 - origin) + fit["offset_ms"] / 1000
            ms.append(1000 * (s.first - at) / ratio)
    return {"answers_logged": len(inputs), "answers_seen": len(ms), "to_glass_ms": spread(ms)}
