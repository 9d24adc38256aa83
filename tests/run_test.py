"""Whole runs of the program on Xvfb: output, records, window, pixels and endings."""
import csv
import json
import os
import re
import signal
import time

import numpy
import pytest
from Xlib.protocol import event

from harness import BANNER, BIN, Screen, finish, start, xvfb

USAGE = (f"Usage: {BIN} [-vh] [interval]\n"
         "    -v: enable vsync on.\n"
         "    -h: show usage.\n"
         "Example:\n"
         "Set Interval 5000\u03bcs and vsync on: quorvel -v 5000\n"
         "Set Interval 5000\u03bcs and vsync off: quorvel 5000\n"
         "Long options:\n")
DELTA = re.compile(r"deltaTick:(\d+) deltaMin:(\d+) deltaMax:(\d+) deltaCount:(\d+)")
ELAPSED = re.compile(r"curElapsed:(\d+) minElapsed:(\d+) maxElapsed:(\d+) elapsedCount:(\d+)")
ROWS = (750, 600, 450, 300, 150)  # baselines, in window pixels from the top
TITLE = re.compile(r"High Resolution Timer\(VSYNC:(On|Off), Interval\(\u03bcs\):(\d+), "
                   r"FPS:(\d{3,}), Elapsed\(ms\):\d+\.\d{3}\)")


def read_log(path):
    with open(path) as f:
        return list(csv.DictReader(f))


def check_log(rows):
    """Rows numbered from 1, ticks rising, intervals and durations following from them."""
    assert [int(r["frame"]) for r in rows] == list(range(1, len(rows) + 1))
    assert rows[0]["interval_us"] == ""
    for before, r in zip(rows, rows[1:]):
        start, end = int(r["start_us"]), int(r["swap_end_us"])
        assert int(before["swap_end_us"]) <= start <= end
        assert int(r["interval_us"]) == end - int(before["swap_end_us"])
        assert int(r["duration_us"]) == end - start
    return [int(r["interval_us"]) for r in rows[21:]]


def test_a_timed_run_leaves_lines_log_report_and_summary_that_agree(tmp_path):
    log, report = tmp_path / "log.csv", tmp_path / "report.json"
    with xvfb() as display:
        proc = start(display, "-h", "-v", "--duration", "4", "--log", str(log),
                     "--report", str(report), "--summary", "20000")
        screen = Screen(display)
        window = screen.find()
        titles = set()
        while proc.poll() is None:
            titles.add(screen.title(window))
            time.sleep(0.1)
        status, out, err = finish(proc)
    assert (status, err) == (0, "")
    assert out.startswith(BANNER + "interval:20000\n" + USAGE)
    settled = [TITLE.fullmatch(t) for t in titles if "FPS:001," not in t and t != "High Resolution Timer"]
    assert settled and all(m and m[1] == "On" and m[2] == "20000" for m in settled), titles
    assert any(30 <= int(m[3]) <= 51 for m in settled), titles

    intervals = check_log(read_log(log))
    stats = [line for line in out.splitlines() if line.startswith(("deltaTick", "curElapsed"))]
    deltas = [tuple(map(int, DELTA.fullmatch(line).groups())) for line in stats if line[0] == "d"]
    assert all(ELAPSED.fullmatch(line) for line in stats if line[0] == "c")
    # The statistics lines, the log and the report speak of the same frames.
    assert deltas[0] == (intervals[0], intervals[0], intervals[0], 1)
    assert deltas[-1][2:] == (max(intervals), len(deltas))
    figures = json.loads(report.read_text())
    ordered = sorted(intervals)
    assert figures["frames"]["measured"] == len(intervals)
    assert figures["interval_us"]["min"] == ordered[0] and figures["interval_us"]["max"] == ordered[-1]
    assert figures["interval_us"]["p50"] == ordered[(len(ordered) + 1) // 2 - 1]
    assert figures["settings"] == {"interval_us": 20000, "vsync_requested": True, "pace": "busy"}
    assert "llvmpipe" in figures["gl"]["renderer"] and figures["frames"]["late"] >= 0
    summary = out[out.index("frames measured:"):]
    assert summary.startswith(f"frames measured: {len(intervals)}\nseconds: ")
    assert f"min {ordered[0]} p50 {figures['interval_us']['p50']} " in summary
    assert summary.rstrip().splitlines()[-1].startswith("cpu s: main thread ")


def text_box(pixels):
    """Checks every pixel is a grey level; returns the lit pixels' box (left, top, right, bottom)."""
    r, g, b = (pixels[:, :, i].astype(int) for i in range(3))
    assert (r == g).all() and (g == b).all()
    ys, xs = numpy.nonzero(r >= 0x80)
    return (xs.min(), ys.min(), xs.max(), ys.max()) if len(xs) else None


def baselines(screen, window, size, grabs=40):
    """The text rows seen in some grabs, checking the glyphs' place and size in each."""
    rows = set()
    for _ in range(grabs):
        pixels = screen.grab(window)
        box = text_box(pixels)
        if pixels.shape[:2] == size[::-1] and box and box[3] < size[1] - 1:
            assert 24 <= box[0] <= 24 + 3 * 6, box         # the pen, plus the first digit's bearing
            assert abs(box[3] - box[1] + 1 - 105) <= 8, box  # 35-pixel digits, three times over
            row = min(ROWS, key=lambda r: abs(box[3] + 1 - r))
            assert abs(box[3] + 1 - row) <= 6, box           # round digits dip below the baseline
            rows.add(row)
            if len(rows) >= 2:
                break
        time.sleep(0.1)
    return rows


def settled_title(screen, window):
    """The first title after the one of the first frame, which always counts one."""
    for _ in range(50):
        title = TITLE.fullmatch(screen.title(window))
        if title and title[3] != "001":
            return title
        time.sleep(0.1)
    raise AssertionError("the title never settled: " + screen.title(window))


def test_the_window_shows_the_tick_in_five_rows_through_resizes_until_closed():
    with xvfb() as display:
        proc = start(display, "--summary")
        screen = Screen(display)
        window = screen.find()
        assert len(baselines(screen, window, (1024, 800))) >= 2
        title = settled_title(screen, window)
        assert title.group(1, 2) == ("Off", "100000") and 7 <= int(title[3]) <= 11, title
        screen.resize(window, 700, 500)
        assert len(baselines(screen, window, (700, 500), 60)) >= 2
        for size in ((1, 1), (2000, 1500), (1, 600), (300, 1), (640, 480)):
            screen.resize(window, *size)
            before = screen.title(window)
            assert any(time.sleep(0.1) or screen.title(window) != before for _ in range(50)), size
        # Closing the window, as a window manager does, ends the run cleanly.
        protocols = screen.d.intern_atom("WM_PROTOCOLS")
        delete = screen.d.intern_atom("WM_DELETE_WINDOW")
        window.send_event(event.ClientMessage(window=window, client_type=protocols,
                                              data=(32, [delete, 0, 0, 0, 0])))
        screen.d.sync()
        status, out, err = finish(proc)
    assert (status, err) == (0, "")
    assert "\nframes measured: " in out and out.endswith("\n")


@pytest.mark.parametrize("sig", [signal.SIGINT, signal.SIGTERM])
def test_a_signal_ends_the_run_with_complete_records(tmp_path, sig):
    log = tmp_path / "log.csv"
    with xvfb() as display:
        proc = start(display, "--log", str(log), "--summary", "0")
        screen = Screen(display)
        screen.find()
        time.sleep(1)
        proc.send_signal(sig)
        status, out, err = finish(proc)
    assert (status, err) == (-sig, "")
    intervals = check_log(read_log(log))
    assert f"\nframes measured: {len(intervals)}\n" in out
    assert DELTA.search(out) and out.endswith("\n")


def test_records_survive_the_x_server_going_away(tmp_path):
    log, report = tmp_path / "log.csv", tmp_path / "report.json"
    with xvfb() as display:
        proc = start(display, "--log", str(log), "--report", str(report), "0")
        Screen(display).find()
        time.sleep(1)
    status, out, err = finish(proc)
    assert status != 0
    intervals = check_log(read_log(log))
    assert len(intervals) > 50
    assert json.loads(report.read_text())["frames"]["measured"] == len(intervals)
