"""Writes two made-up runs of a million frames each at 60 Hz, BASE and NEW,
as quorvel writes them (PATH.csv and PATH.json): the bench times
quorvel-compare on them. NEW's frames cost 100 μs more."""
import json
import sys

import numpy as np

FRAMES, INTERVAL = 1_000_000, 16667
HEADER = ("frame,start_us,swap_end_us,interval_us,duration_us,swap_end_mono_us,present_ust,present_msc,present_mode,"
          "present_flags,measured,held_us,woke_late_us,animation_error_us")


def write(path, seed, extra_cost):
    rng = np.random.default_rng(seed)
    start = 10 ** 9 + np.cumsum(INTERVAL + rng.integers(0, 40, FRAMES))
    cost = 1500 + extra_cost + rng.integers(0, 400, FRAMES)
    end = start + cost
    present = end + 3000 + rng.integers(0, INTERVAL, FRAMES)
    rows = np.column_stack([np.arange(1, FRAMES + 1), start, end, np.diff(end, prepend=end[0] - INTERVAL), cost,
                            end + 7, present, np.arange(FRAMES), np.arange(FRAMES) > 20,
                            rng.integers(0, 30, FRAMES) * (rng.random(FRAMES) < 0.01),
                            np.diff(start, prepend=start[0]) - np.diff(present, prepend=present[0])])
    with open(f"{path}.csv", "w") as f:
        f.write(HEADER + "\n")
        np.savetxt(f, rows, fmt="%d,%d,%d,%d,%d,%d,%d,%d,copy,,%d,0,%d,%d")
    report = {"settings": {"interval_us": INTERVAL, "vsync_requested": True, "pace": "hybrid", "warmup_frames": 20},
              "frames": {"measured": FRAMES - 21, "seconds": float(end[-1] - end[20]) / 1e6, "stutters": 0},
              "display": {"window_system": "x11", "server": "made up", "refresh_hz": 60.0,
                          "presents": {"count": FRAMES, "skip": 0, "missed_vblanks": 0}},
              "gl": {"renderer": "made up"}}
    with open(f"{path}.json", "w") as f:
        json.dump(report, f)


if __name__ == "__main__":
    write(sys.argv[1], 1, 0)
    write(sys.argv[2], 2, 100)
