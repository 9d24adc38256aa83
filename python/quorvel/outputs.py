"""What quorvel-read gives: a picture's lines, a video's summary, and its table, report and plot.

The files are written all or none."""
import io
import json
import os

from quorvel.writer import write_all


def picture_lines(path, codes):
    """A line for each code of a picture, and each one's tick against the first's."""
    lines = [f"{path}: code {n}: tick {tick} frame {frame} at x {left}-{right} y {top}-{bottom}\n"
             for n, (tick, frame, (left, top, right, bottom)) in enumerate(codes, start=1)]
    return "".join(lines + [f"{path}: code {n} - code 1: {tick - codes[0][0]} \u03bcs\n"
                            for n, (tick, _, _) in enumerate(codes[1:], start=2)])


def stretch(ratio):
    """The video's timeline against the display's, where they differ by more than 1%."""
    if abs(ratio - 1) <= 0.01:
        return None
    return (f"the video's timeline runs {ratio:.2f} times slower than the display" if ratio > 1 else
            f"the video's timeline runs {1 / ratio:.2f} times faster than the display")


def summary(path, report, missing):
    v, g = report["video"], report["glass"]
    lines = [f"video: {v['frames']} frames at {v['fps']:.2f} fps, {v['frames_with_code']} with a code, "
             f"{v['bad_reads']} bad reads"]
    if v["runs"] > 1:
        lines.append(f"video: {v['runs']} runs of quorvel, told apart by their frame numbers and ticks")
        lines += [f"video: run {r['run']}: frames {r['first_frame']} to {r['last_frame']}, {r['frames_seen']} seen, "
                  f"from {r['first_s']:.3f} s to {r['last_s']:.3f} s" for r in report["runs"]]
    if v["alternate"]:  # two windows in view: each is a display of its own
        lines.append("video: the runs' codes alternate, as two windows in view show them; each run's figures follow")
        lines += [f"video: run {r['run']}: " + ", ".join(
            [f"{name} ms p50 {r[key]['p50']:.1f} p99 {r[key]['p99']:.1f}" for key, name in
             (("on_glass_ms", "on glass"), ("jitter_ms", "jitter")) if r[key]]
            + ([f"clock ratio {r['fit']['clock_ratio']:.6f}, offset {r['fit']['offset_ms']:.3f} ms"] if "fit" in r
               else ["no fit"])) for r in report["runs"]]
    if v["two_frame_reads"]:
        lines.append(f"video: {v['two_frame_reads']} video frames hold two consecutive frames, "
                     "as a rolling shutter shows them")
    lines.append(f"glass: {g['frames_seen']} frames seen, {g['out_of_order']} out of order")
    if "frames_logged" in g:
        lines.append(f"glass: {g['frames_logged']} frames logged in that span, {g['never_seen']} never seen"
                     + (": " + " ".join(map(str, missing)) if missing else ""))
    for key, name in (("on_glass_ms", "on glass"), ("jitter_ms", "jitter")):
        if g.get(key):
            lines.append(f"{name} ms: p50 {g[key]['p50']:.1f} p99 {g[key]['p99']:.1f} max {g[key]['max']:.1f}")
    if (press := report.get("input")):
        lines.append(f"input: {press['answers_seen']} of {press['answers_logged']} answering frames seen")
        if (ms := press["to_glass_ms"]):
            lines.append(f"input to glass ms: p50 {ms['p50']:.1f} p99 {ms['p99']:.1f} max {ms['max']:.1f}")
    fit = report.get("fit")
    if not fit:
        lines.append("fit: cannot be made: fewer than two frames seen at different display times")
        return "".join(f"{path}: {line}\n" for line in lines)
    lines.append(f"fit: clock ratio {fit['clock_ratio']:.6f}, offset {fit['offset_ms']:.3f} ms, against the "
                 + ("log's swap ends" if fit["against"] == "log" else "codes' ticks")
                 + (f", of run {fit['run']}, the largest" if v["runs"] > 1 else ""))
    if (said := stretch(fit["clock_ratio"])):
        lines.append(f"fit: {said}; the figures are in display time")
    if (off := fit.get("off_fit")):
        lines.append(f"fit: does not hold from {off['from_s']:.3f} s to {off['to_s']:.3f} s of the video "
                     f"({off['frames']} frames off by more than {off['limit_ms']:.0f} ms)")
    return "".join(f"{path}: {line}\n" for line in lines)


def plot(report, seen, out, kind):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    by_time = sorted(seen.values(), key=lambda s: s.first)
    ratio = report.get("fit", {}).get("clock_ratio", 1)
    fig, axes = plt.subplots(3, 1, figsize=(11, 11))
    axes[0].step([s.frame for s in by_time[:-1]], [1000 * (b.first - a.first) / ratio for a, b in zip(by_time, by_time[1:])],
                 where="mid")
    axes[0].set(title="time on glass, first sighting to the next frame's", xlabel="frame", ylabel="display ms")
    residuals = report.get("residuals_ms", [])
    axes[1].plot([t for _, t, _ in residuals], [r for _, _, r in residuals], ".")
    axes[1].set(title="residuals of the fit", xlabel="video seconds", ylabel="display ms")
    axes[2].hist([r for _, _, r in residuals], bins=40, color="grey")
    axes[2].set(title="residuals histogram", xlabel="display ms", ylabel="frames")
    fig.tight_layout()
    fig.savefig(out, dpi=80, format=kind)



def write_outputs(csv_path, report_path, plot_path, report, seen):
    """The table, the report and the plot, where asked for: all of them, or none."""
    table = ["frame,tick,first_seen_s,last_seen_s,video_frames,first_seen_row\n"] + [
        f"{s.frame},{s.tick},{s.first:.6f},{s.last:.6f},{s.count},{s.row}\n"
        for s in sorted(seen.values(), key=lambda s: (s.run, s.frame))]
    figures = json.dumps({k: v for k, v in report.items() if k != "residuals_ms"}, indent=2, allow_nan=False) + "\n"
    picture = io.BytesIO()
    if plot_path:
        plot(report, seen, picture, os.path.splitext(plot_path)[1][1:].lower())
    write_all([(csv_path, "".join(table).encode()), (report_path, figures.encode()), (plot_path, picture.getvalue())])
