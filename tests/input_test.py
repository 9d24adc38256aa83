"""Key and button presses timed to the frames that answer them: injected
through XTest, and sent from outside with xdotool, on Xvfb."""
import json
import subprocess
import time

import Xlib.X

from quorvel import log as quorvel_log

from harness import BANNER, Screen, finish, probed, run, start, started, xvfb


def test_injected_presses_are_each_answered_once_by_a_later_frame_at_a_uniform_phase(tmp_path):
    log, report = tmp_path / "log.csv", tmp_path / "r.json"
    with xvfb() as display:  # no --frames or --duration: the run ends with its last answer
        status, out, err = run(display, "--inject", "60", "--pace", "hybrid", "--log", str(log), "--report",
                               str(report), "--summary", "20000")
    assert (status, err) == (0, "")
    columns, figures = quorvel_log.read(log), json.loads(report.read_text())["input"]
    starts, inputs = columns["start_us"], columns["input_us"]
    answering = [i for i, t in enumerate(inputs) if t is not None]
    assert (figures["injected"], figures["events"], figures["answered"], figures["lost"]) == (60, 60, 60, 0)
    assert all(inputs[i] < starts[i] for i in answering)
    # Sent three intervals or more apart, so a frame answers one press, unless it came so long after the first
    # it answers that the next was sent meanwhile: k presses take a wait of k - 1 times three intervals.
    delays = [starts[i] - inputs[i] for i in answering]
    assert 60 - sum(d // 60000 for d in delays) <= len(answering) <= 60
    assert answering[0] >= 21 and answering[-1] >= len(inputs) - 3
    assert figures["to_frame_start_us"]["max"] == max(delays) and figures["to_swap_end_us"]["max"] > max(delays)
    # Sent at a uniform phase: of the presses that arrived within the gap they were sent in, the waits for the
    # frame that answered each spread across that gap, every quarter of it holding some (a uniform phase fails
    # this about once in ten million; presses all at one phase, or at two, fail it every time).
    phases = sorted((starts[i] - inputs[i]) / (starts[i] - starts[i - 1]) for i in answering if inputs[i] > starts[i - 1])
    assert len(phases) >= 40 and all(any(q <= 4 * p < q + 1 for p in phases) for q in range(4)), phases
    summary = out[out.index("input: "):]
    assert summary.startswith("input: 60 presses, 60 injected, 60 answered, 0 lost\ninput to arrival \u03bcs: p50 ")
    assert "input to present \u03bcs: none\ncpu s: " in summary  # Xvfb presents nothing


def test_presses_wait_while_the_window_cannot_take_them_and_the_users_own_key_takes_no_stamp(tmp_path):
    report, xev, log = tmp_path / "r.json", tmp_path / "xev.txt", tmp_path / "log.csv"
    with xvfb() as display:
        other = subprocess.Popen(["xev", "-name", "other"], env={"DISPLAY": display}, stdout=xev.open("w"))
        screen = Screen(display)
        target = screen.find("other")
        proc = start(display, "--inject", "60", "--duration", "6", "--report", str(report), "--log", str(log),
                     "--summary", "20000")
        began, window = time.monotonic(), screen.find()
        time.sleep(2)  # presses going, then the window hidden and another one given the focus
        window.unmap()
        target.set_input_focus(Xlib.X.RevertToParent, Xlib.X.CurrentTime)
        screen.d.sync()
        time.sleep(1.5)
        window.map()  # back on the screen, but the focus stays where the user put it
        screen.d.sync()
        time.sleep(0.5)
        xdotool = ["xdotool", "windowfocus", "--sync", str(window.id), "key", "space"]
        subprocess.run(xdotool, env={"DISPLAY": display}, check=True, timeout=30)
        status, out, err = finish(proc)
        took = time.monotonic() - began
        other.terminate()
        other.wait()
    figures = json.loads(report.read_text())["input"]
    # Ended at its duration with presses still to send; none reached the other window.
    assert (status, err, "KeyPress" in xev.read_text()) == (0, "", False) and took < 9, xev.read_text()[-1500:]
    assert figures["held"] >= 1 and 20 <= figures["injected"] < 60
    assert f"input: {figures['held']} presses held back while the window was hidden" in out
    # The user's space is counted, never answered, and never paired with an injected press.
    assert 0 <= figures["events"] - 1 - figures["answered"] <= figures["lost"] <= 3
    assert figures["to_arrival_us"]["max"] < 40000
    starts = quorvel_log.read(log)["start_us"]  # the frames go on while the window is hidden
    assert max(b - a for a, b in zip(starts, starts[1:])) < 1000000


def test_presses_from_outside_are_counted_answered_and_marked_beside_the_digits(tmp_path):
    report = tmp_path / "r.json"
    with xvfb() as display:
        proc = start(display, "--input", "--duration", "5", "--report", str(report), "400000",
                     env=probed(tmp_path / "asked"))
        screen = Screen(display)
        window = screen.find()
        # The block stands left of the digits, where nothing else is ever drawn.
        marked = lambda: (screen.grab(window)[:, 4:18] == 255).all(axis=2).sum() >= 100 * 14  # noqa: E731
        assert not marked()
        subprocess.run(["xdotool", "windowfocus", "--sync", str(window.id), "key", "space", "mousemove", "--window",
                        str(window.id), "500", "400", "click", "1"], env={"DISPLAY": display}, check=True, timeout=30)
        assert any(marked() or time.sleep(0.05) for _ in range(40))
        status, out, err = finish(proc)
    figures = json.loads(report.read_text())["input"]
    assert (status, err, (tmp_path / "asked").read_text()) == (0, "", started(0, "glutKeyboardFunc"))
    assert (figures["events"], figures["answered"], figures["lost"], figures["to_present_us"]) == (2, 2, 0, None)
    assert "injected" not in figures and figures["to_frame_start_us"]["max"] < 5000000
    # Wayland has no XTest.
    status, out, err = run(":99999", "--winsys", "wayland", "--inject", "3")
    assert (status, out) == (2, BANNER) and err.startswith("quorvel: --inject on Wayland needs ")
