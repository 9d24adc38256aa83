"""What the display did, as the X server's Present extension tells it."""
import contextlib
import json
import os
import subprocess

import pytest
import Xlib.display
import Xlib.error

from harness import Screen, finish, run, start, xvfb
from run_test import read_log


def figures(display, tmp_path, *args, err_text=""):
    log, report = tmp_path / "log.csv", tmp_path / "report.json"
    status, out, err = run(display, "--duration", "3", "--log", str(log), "--report", str(report),
                           "--summary", *args)
    assert (status, err) == (0, err_text)
    return json.loads(report.read_text())["display"], read_log(log), out


@contextlib.contextmanager
def full(display):
    """Holds every connection but one, so that the program's GLUT connection is the last one the server takes."""
    held = []
    with contextlib.suppress(Xlib.error.DisplayConnectionError):
        while True:
            held.append(Xlib.display.Display(display))
    held.pop().close()
    yield
    for each in held:
        each.close()


# hz None: the server takes no second connection, so there is no Present to ask; the run goes on.
@pytest.mark.parametrize("hz,args", [(60, ["0"]), (60, ["-v", "0"]), (60, ["7000"]), (60, ["-v", "7000"]), (144, ["0"]),
                                     (None, ["0"])])
def test_llvmpipe_on_xvfb_is_not_locked_and_presents_nothing(tmp_path, hz, args):
    with xvfb("-fakescreenfps", str(hz or 60), "-maxclients", "64") as display:
        with full(display) if hz is None else contextlib.nullcontext():
            # libxcb itself gives the server's reason for refusing.
            shown, rows, out = figures(display, tmp_path, *args,
                                       err_text="" if hz else "Maximum number of clients reached\n")
    assert (shown["swap_control"], shown["window_system"], shown["hardware_clock"]) == (False, "x11", hz and False)
    assert set(shown["presents"].values()) == {0, None} and rows[-1]["measured"]
    assert all(r["present_ust"] is r["present_mode"] is None and r["swap_end_mono_us"] for r in rows)
    if hz is None:
        assert (shown["refresh_hz"], shown["vsync"]) == (None, "unknown") and "refresh: unknown (no vblank clock)\n" in out
        return
    assert shown["refresh_hz"] == pytest.approx(hz, rel=0.005) and shown["vsync"] == "not locked"  # a software clock
    assert f"refresh: {shown['refresh_hz']:.2f} Hz (Present vblank clock)\nswap control: no\n" \
           "vsync: not locked\npresents: none reported by the X server for this window\n" in out


def test_presents_of_another_client_are_counted_by_mode_and_change_no_row_and_one_vblank_chain_runs(tmp_path):
    log, report = tmp_path / "log.csv", tmp_path / "report.json"
    with xvfb() as display:
        proc = start(display, "--duration", "5", "--log", str(log), "--report", str(report), "20000")
        window = Screen(display).find()
        # At once, while the program's rows wait half a second for their presents.
        told = subprocess.run([os.environ["PRESENT_CLIENT"], str(window.id), "5", "3", "5", "1000000"], timeout=30,
                              env=dict(os.environ, DISPLAY=display), capture_output=True, text=True)
        status, out, err = finish(proc)
    # Its serials, from 1000000, name none of the program's frames: they are counted, and no waiting row
    # takes a present that is not its own.
    assert told.stdout.startswith("copy 5 flip 0 skip 3 suboptimal_copy 0\n")
    counted = json.loads(report.read_text())["display"]["presents"]
    assert [counted[k] for k in ("count", "copy", "skip", "flip", "suboptimal_copy")] == [8, 5, 3, 0, 0]
    assert counted["latency_us"] is None and not any(r["present_mode"] or r["present_ust"] for r in read_log(log))
    # The program asks for each vblank once, whatever the other client's answers: about 60 in 60 vblanks.
    answers = int(told.stdout.split("vblank answers to others ")[1])
    assert 10 <= answers <= 90, told.stdout
