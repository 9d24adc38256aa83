"""The program on a headless Weston: natively through Wayland, and through Xwayland."""
import json
import os
import re
import signal
import time

import pytest

from harness import BANNER, finish, run, start, weston
from run_test import check_log, check_pace, read_log


def presented_after_start(row):
    """A present after its frame began, and within a second of its swap end, on the swap end's own clock:
    a present may come before the program reads the clock after its swap, but never before the frame."""
    start_mono = row["start_us"] + row["swap_end_mono_us"] - row["swap_end_us"]
    return start_mono < row["present_ust"] < row["swap_end_mono_us"] + 1000000


def records(tmp_path):
    return tmp_path / "log.csv", tmp_path / "report.json"


# Frames wait for the compositor's callbacks, with -v or not: headless Weston discards none and marks none vsync.
@pytest.mark.parametrize("args,verdict", [(["-v", "0"], "unknown"), (["--winsys", "wayland", "0"], "unknown"),
                                          (["--pace", "hybrid", "20000"], "unknown")])
def test_the_compositor_feedback_of_every_frame_gives_the_verdict(tmp_path, args, verdict):
    log, report = records(tmp_path)
    with weston() as (_, env):
        # With -v, Wayland is chosen because only WAYLAND_DISPLAY is set; otherwise by --winsys.
        status, out, err = run(":99999" if "--winsys" in args else "", *args, "--duration", "3", "--log", str(log),
                               "--report", str(report), "--summary", env=env)
    assert (status, err) == (0, "")
    shown, rows = json.loads(report.read_text())["display"], read_log(log)
    intervals = check_log(rows)
    assert (shown["window_system"], shown["vsync"], shown["hardware_clock"]) == ("wayland", verdict, False)
    assert shown["refresh_hz"] == pytest.approx(60, rel=0.005) and shown["presentation_clock"].startswith("CLOCK_")
    modes = [r["present_mode"] for r in rows if r["present_mode"]]
    counted = shown["presents"]
    # Headless Weston copies every frame it shows: none is zero-copy, so none is a flip. A present that comes
    # after its row has waited half a second is counted, but its row is written without it.
    assert counted["count"] == counted["skip"] + counted["copy"] and len(modes) == modes.count("copy") + modes.count("skip")
    assert counted["skip"] >= modes.count("skip") and counted["copy"] >= modes.count("copy") >= counted["copy"] - 10
    assert (counted["skip"] > 0) == (verdict == "not locked") and counted["latency_us"]["p50"] > 0
    assert all(r["present_flags"] is None for r in rows) and len(modes) > len(rows) - 40
    # One clock: presents on CLOCK_MONOTONIC after their own frame's start; a discard has neither time nor count.
    assert all(presented_after_start(r) for r in rows if r["present_mode"] == "copy")
    assert all(r["present_ust"] is r["present_msc"] is None for r in rows if r["present_mode"] == "skip")
    assert shown["sequence_counts_refreshes"] is None and "(from the times: the compositor sends no seq)\n" in out
    if "hybrid" in args:  # asleep on the Wayland connection between frames, and woken in time
        check_pace(rows, 20000)
    assert f"frames measured: {len(intervals)}\n" in out and "window system: wayland\nhardware clock: no\n" \
           "refresh: 60.00 Hz (Wayland compositor, wp_presentation)\nswap control: yes\n" in out


def test_xwayland_is_named_and_a_compositor_that_goes_away_ends_the_run_with_its_records(tmp_path):
    log, report = records(tmp_path)
    with weston(xwayland=True) as (server, env):
        status, out, err = run(env["DISPLAY"], "--frames", "60", "--report", str(report), "--summary", "0", env=env)
        assert (status, err) == (0, "") and "window system: xwayland\nnote: Xwayland's vblank clock" in out
        assert json.loads(report.read_text())["display"]["window_system"] == "xwayland"
        assert run("", "--winsys", "wayland", env={**env, "MESA_GL_VERSION_OVERRIDE": "1.5"})[::2] == (
            1, "No support for OpenGL 2.0 found\n")
        proc = start("", "--log", str(log), "--report", str(report), "0", env={**env, "DISPLAY": ""})
        time.sleep(2)
        server.kill()
        status, out, err = finish(proc, timeout=20)
    intervals = check_log(read_log(log))
    assert status == 1 and len(intervals) > 20
    assert json.loads(report.read_text())["frames"]["measured"] == len(intervals)


@pytest.mark.parametrize("stop,pace", [(signal.SIGSTOP, ["-v", "--pace", "hybrid"]), (signal.SIGSTOP, []),
                                       (signal.SIGKILL, ["-v"])])
def test_a_frozen_or_dead_compositor_ends_the_run_on_time_with_its_records(tmp_path, stop, pace):
    log, report = records(tmp_path)
    with weston() as (server, env):
        proc = start("", *pace, "--duration", "4", "--log", str(log), "--report", str(report), "0", env=env)
        time.sleep(2)
        os.kill(server.pid, stop)
        stopped = time.monotonic()
        status, out, err = finish(proc, timeout=30)
        took = time.monotonic() - stopped
    rows = read_log(log)
    intervals = check_log(rows)
    # Frozen, it sends no frame callback: the run draws nothing more and ends at its deadline. Dead, at once.
    assert (status, took < 4) == ((0, True) if stop == signal.SIGSTOP else (1, True)), (err, took)
    assert json.loads(report.read_text())["frames"]["measured"] == len(intervals) > 0
    # Until then it drew at the compositor's own pace: its last frame within a few of its frame gaps of the stop.
    last = rows[-1]["swap_end_mono_us"] / 1e6
    assert stopped - 3 * max(intervals) / 1e6 - 0.1 < last < stopped + max(intervals) / 1e6 + 0.1, (last, stopped)


def test_mutters_sequence_counts_its_own_frames_so_missed_cycles_come_from_the_times(tmp_path):
    log, report = records(tmp_path)
    with weston(kind="mutter") as (_, env):
        status, out, err = run("", "--winsys", "wayland", "--duration", "4", "--log", str(log), "--report",
                               str(report), "--summary", "20000", env=env)
    shown, rows = json.loads(report.read_text())["display"], read_log(log)
    assert (status, err, shown["presentation_clock"], shown["sequence_counts_refreshes"]) == (
        0, "", "CLOCK_MONOTONIC", False)
    presented = [r for r in rows if r["present_mode"] in ("copy", "flip")]
    assert len(presented) > 100 and all(presented_after_start(r) for r in presented)
    assert "(from the times: the compositor's seq does not count refresh cycles)\n" in out
    # Mutter draws no title bars: libdecor's plugin draws one, in subsurfaces of the window.
    with weston(kind="mutter") as (_, env):
        status, _, err = run("", "--winsys", "wayland", "--frames", "30", "0", env={**env, "WAYLAND_DEBUG": "1"})
    assert status == 0 and re.search(r"wl_subcompositor@\d+\.get_subsurface\(new id wl_subsurface@\d+, wl_surface@", err)


def test_without_a_compositor_one_line_names_wayland_display(tmp_path):
    os.chmod(tmp_path, 0o700)
    status, out, err = run("", "--winsys", "wayland", env={"XDG_RUNTIME_DIR": str(tmp_path), "WAYLAND_DISPLAY": "none"})
    assert (status, out) == (1, BANNER) and re.fullmatch(r"quorvel: cannot connect to the Wayland compositor "
                                                         r"WAYLAND_DISPLAY=none: .+\n", err)
