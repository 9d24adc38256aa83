"""The program on a headless Weston: natively through Wayland, and through Xwayland."""
import json
import os
import re
import signal
import time

import pytest
from quorvel import log as quorvel_log

from harness import BANNER, await_rows, finish, run, start, weston
from run_test import check_log, check_pace, read_log


def start_mono(row):
    """The frame's start on CLOCK_MONOTONIC: the raw and monotonic clocks' offset barely moves within a frame."""
    return row["start_us"] + row["swap_end_mono_us"] - row["swap_end_us"]


def presented_after_start(row):
    """A present after its frame began, and within a second of its swap end, on the swap end's own clock:
    a present may come before the program reads the clock after its swap, but never before the frame."""
    return start_mono(row) < row["present_ust"] < row["swap_end_mono_us"] + 1000000


def records(tmp_path):
    return tmp_path / "log.csv", tmp_path / "report.json"


# Each cell runs with vsync and without, at interval 0. Neither compositor marks a frame vsync, so the
# verdict is never "locked": "not locked" where frames were discarded, else "unknown".
@pytest.mark.parametrize("kind,scale", [("weston", 1), ("weston", 2), ("mutter", 1)])
def test_with_vsync_or_without_at_any_scale_the_feedback_of_every_frame_gives_the_verdict(tmp_path, kind, scale):
    log, report = records(tmp_path)
    fps = {}
    with weston(kind=kind, scale=scale) as (_, env):
        for vsync in (True, False):
            began = time.monotonic()
            # With -v, Wayland is chosen because only WAYLAND_DISPLAY is set; otherwise by --winsys.
            status, out, err = run(*([""] if vsync else [":99999", "--winsys", "wayland"]), *(["-v"] if vsync else []),
                                   "--duration", "3", "--log", str(log), "--report", str(report), "--summary", "0",
                                   env=env)
            assert (status, err, time.monotonic() - began < 10) == (0, "", True)
            shown, rows = json.loads(report.read_text())["display"], read_log(log)
            intervals, counted = check_log(rows), shown["presents"]
            fps[vsync] = json.loads(report.read_text())["frames"]["fps_mean"]
            assert (shown["window_system"], shown["hardware_clock"], shown["buffer_scale"]) == ("wayland", False, scale)
            assert shown["vsync"] == ("not locked" if counted["skip"] else "unknown")
            assert shown["refresh_hz"] == pytest.approx(60, rel=0.005) and shown["presentation_clock"].startswith("CLOCK_")
            # The compositor copies every frame it shows. A present that comes after its row has waited half a
            # second is counted, but its row is written without it.
            modes = [r["present_mode"] for r in rows if r["present_mode"]]
            assert counted["count"] == counted["skip"] + counted["copy"] and len(modes) == modes.count("copy") + modes.count("skip")
            assert counted["skip"] >= modes.count("skip") and counted["copy"] >= modes.count("copy") >= counted["copy"] - 10
            assert len(modes) > len(rows) - 40 and counted["latency_us"]["p50"] > 0
            # One clock: presents on CLOCK_MONOTONIC after their own frame's start; a discard has neither time nor count.
            assert all(presented_after_start(r) for r in rows if r["present_mode"] == "copy")
            assert all(r["present_ust"] is r["present_msc"] is None for r in rows if r["present_mode"] == "skip")
            # With vsync the compositor paces the frames, and a title change takes no frame's place: no discard
            # once the warm-up is over. Without, frames are drawn as fast as the GL stack can, and those that
            # come faster than the refresh are discarded.
            if vsync:
                assert not any(r["present_mode"] == "skip" for r in rows if r["measured"])
            else:
                assert counted["skip"] > 0 or fps[vsync] <= 1.05 * shown["refresh_hz"], fps
            assert f"frames measured: {len(intervals)}\n" in out and "window system: wayland\nhardware clock: no\n" \
                   "refresh: 60.00 Hz (Wayland compositor, wp_presentation)\nswap control: yes\n" in out
    # Faster without -v, unless the GL stack cannot draw faster than the refresh at all, as llvmpipe on a
    # busy machine cannot, under the sanitizers at scale 2.
    assert fps[False] > fps[True] or fps[False] <= 1.05 * 60, fps


@pytest.mark.parametrize("kind", ["weston", "mutter"])
def test_a_title_bar_never_draws_a_frame_of_its_own(tmp_path, kind):
    """libdecor redraws the title bar whenever the title changes, once a second: the next paced frame's commit
    carries it, and no frame is drawn for it. A frame of its own would come between two paced ones, so two
    steps in a row would span one interval. A late frame (started late on a busy machine) lengthens one step
    and the pace shortens the next, which keeps the two together at two intervals, less what the compositor
    held the first frame back. The compositor's own configures as it maps the window ask for frames of their
    own, later on a busy machine: the first half second is theirs."""
    log = tmp_path / "log.csv"
    with weston(kind=kind) as (_, env):
        for vsync in ([], ["-v"]):
            status, _, err = run("", "--winsys", "wayland", *vsync, "--duration", "5", "--log", str(log), "50000", env=env)
            starts, held = (quorvel_log.read(log)[c] for c in ("start_us", "held_us"))
            extra = [(n, b - a, c - b, h) for n, a, b, c, h in zip(range(2, 999), starts, starts[1:], starts[2:], held)
                     if b - starts[0] > 500000 and c - a + h < 75000]
            assert (status, err, extra) == (0, "", []) and len(starts) <= 102, (vsync, len(starts))


def test_xwayland_is_named_and_a_compositor_that_goes_away_ends_the_run_with_its_records(tmp_path):
    log, report = records(tmp_path)
    with weston(xwayland=True) as (server, env):
        status, out, err = run(env["DISPLAY"], "--frames", "60", "--report", str(report), "--summary", "0", env=env)
        assert (status, err) == (0, "") and "window system: xwayland\nnote: Xwayland's vblank clock" in out
        assert json.loads(report.read_text())["display"]["window_system"] == "xwayland"
        assert run("", "--winsys", "wayland", env={**env, "MESA_GL_VERSION_OVERRIDE": "1.5"})[::2] == (
            1, "No support for OpenGL 2.0 found\n")
        proc = start("", "--log", str(log), "--report", str(report), "0", env={**env, "DISPLAY": ""})
        await_rows(log, 50)
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
        await_rows(log, 30)  # measured frames drawn, however slow the start
        os.kill(server.pid, stop)
        stopped = time.monotonic()
        status, out, err = finish(proc, timeout=30)
        ended = time.monotonic()
    rows = read_log(log)
    intervals, began = check_log(rows), start_mono(rows[0]) / 1e6
    # Frozen, it sends no frame callback: the run draws nothing more and ends at its deadline, 4 s after its first
    # frame. Dead, at once.
    on_time = 3.9 < ended - began < 6 if stop == signal.SIGSTOP else ended - stopped < 2
    assert (status, on_time) == (0 if stop == signal.SIGSTOP else 1, True), (err, ended - began, ended - stopped)
    assert json.loads(report.read_text())["frames"]["measured"] == len(intervals) > 0
    # Until then it drew at the compositor's own pace: its last frame within a few of its frame gaps of the stop.
    last = rows[-1]["swap_end_mono_us"] / 1e6
    assert stopped - 3 * max(intervals) / 1e6 - 0.1 < last < stopped + max(intervals) / 1e6 + 0.1, (last, stopped)


@pytest.mark.parametrize("vsync,pace", [(["-v"], "busy"), ([], "hybrid")])
def test_a_compositor_frozen_for_a_moment_holds_the_frame_across_and_the_figures_say_so(tmp_path, vsync, pace):
    """Frozen, the compositor answers neither the frame callback (-v) nor the wl_display.sync (without) that
    lets the next frame go: the loop holds that frame, ahead of its swap, until the thaw. Its wait is the
    window system's, in the log and in the report's and the summary's late_by, and not the machine's."""
    log, report = records(tmp_path)
    with weston() as (server, env):
        proc = start("", *vsync, "--pace", pace, "--frames", "120", "--log", str(log), "--report", str(report),
                     "--summary", "20000", env=env)
        await_rows(log, 30)
        os.kill(server.pid, signal.SIGSTOP)
        frozen = time.monotonic()
        time.sleep(0.3)
        thawed = time.monotonic()
        os.kill(server.pid, signal.SIGCONT)
        status, out, err = finish(proc)
    rows, late_by = read_log(log), json.loads(report.read_text())["frames"]["late_by"]
    n, freeze = next(n for n, r in enumerate(rows) if start_mono(r) > thawed * 1e6), (thawed - frozen) * 1e6
    across = rows[n]
    assert (status, err, across["measured"]) == (0, "", 1)
    assert freeze / 2 < across["held_us"] <= across["start_us"] - rows[n - 1]["swap_end_us"], (freeze, across)
    assert across["woke_late_us"] < freeze / 2 and across["duration_us"] < freeze / 2 <= late_by["held_us"], across
    # Held or blocked, the wait is the window system's: the kernel saw the thread neither on a CPU nor queued.
    queued = across["run_queue_us"] + across["woke_queued_us"] + across["held_queued_us"]
    assert across["on_cpu_us"] + queued < freeze / 4, across
    assert f"late by \u03bcs: {late_by['held_us']} held by the window system, " in out
    assert f"{late_by['blocked_us']} blocked in GL or the window system, {late_by['on_cpu_us']} on the CPU\n" in out


def test_mutters_sequence_counts_its_own_frames_so_missed_cycles_come_from_the_times(tmp_path):
    log, report = records(tmp_path)
    with weston(kind="mutter") as (_, env):
        status, out, err = run("", "--winsys", "wayland", "--pace", "hybrid", "--duration", "4", "--log", str(log),
                               "--report", str(report), "--summary", "20000", env=env)
    shown, rows = json.loads(report.read_text())["display"], read_log(log)
    assert (status, err, shown["presentation_clock"], shown["sequence_counts_refreshes"]) == (
        0, "", "CLOCK_MONOTONIC", False)
    # How many frames Mutter shows is its own: a slow one discards most, and it holds some back for up to 0.7 s at
    # times. The pace draws on in the time it holds none, and it has a word for each frame, shown or discarded:
    # up to the last frame the end waited for, the report counts no fewer words than frames.
    worded = [n for n, r in enumerate(rows) if r["present_mode"]]
    presented = [r for r in rows if r["present_mode"] in ("copy", "flip")]
    assert presented and worded[-1] < shown["presents"]["count"] and all(presented_after_start(r) for r in presented)
    check_pace(rows, 20000)  # asleep on the Wayland connection between frames, and due on the pace's ticks
    assert "(from the times: the compositor's seq does not count refresh cycles)\n" in out
    # Mutter draws no title bars: libdecor's plugin draws one, in subsurfaces of the window.
    with weston(kind="mutter") as (_, env):
        status, _, err = run("", "--winsys", "wayland", "--frames", "30", "0", env={**env, "WAYLAND_DEBUG": "1"})
    assert status == 0 and re.search(r"wl_subcompositor@\d+\.get_subsurface\(new id wl_subsurface@\d+, wl_surface@", err)
    # Without -v no frame waits for a frame callback, none is even asked for; each waits for a round trip.
    assert (len(re.findall(r"-> wl_surface@\d+\.frame\(", err)), len(re.findall(r"-> wl_display@1\.sync\(", err)) >= 30) == (
        0, True)


def test_without_a_compositor_or_with_a_frozen_one_the_start_ends_in_one_line(tmp_path):
    os.chmod(tmp_path, 0o700)
    status, out, err = run("", "--winsys", "wayland", env={"XDG_RUNTIME_DIR": str(tmp_path), "WAYLAND_DISPLAY": "none"})
    assert (status, out) == (1, BANNER) and re.fullmatch(r"quorvel: cannot connect to the Wayland compositor "
                                                         r"WAYLAND_DISPLAY=none: .+\n", err)
    # Frozen before the run starts: the start waits no longer than --duration, or than the first stop signal.
    (log := tmp_path / "log.csv").write_text("an earlier run's\n")
    with weston() as (server, env):
        os.kill(server.pid, signal.SIGSTOP)
        began = time.monotonic()
        status, out, err = run("", "--duration", "2", "--log", str(log), "--report", str(tmp_path / "r.json"), "0", env=env)
        took = time.monotonic() - began
        proc = start("", "--log", str(tmp_path / "new.csv"), "0", env=env)
        time.sleep(1)
        proc.send_signal(signal.SIGINT)
        stopped = finish(proc, timeout=10)[0]
    assert (status, err, 1.5 < took < 6) == (1, "quorvel: the Wayland compositor did not show the window within 2 s\n", True)
    assert (stopped, sorted(os.listdir(tmp_path)), log.read_text()) == (-signal.SIGINT, ["log.csv"], "an earlier run's\n")
