"""quorvel-check: its judging fed with made-up records, and the whole battery on every compositor that starts here."""
import json
import os
import subprocess
import xml.etree.ElementTree as ET

import pytest

import quorvel_judge as qc
from harness import weston, xvfb

CHECK = os.path.join(os.path.dirname(os.environ["QUORVEL_READ"]), "quorvel-check")
PERIOD = 1e6 / 60


def made_up(steps, flags="", refresh=60.0, skip=0, fps=60.0, counts=True, interval=0):
    """A run whose frames swapped 5 ms after they started and were presented 10 ms later, `steps` μs apart."""
    presents = [1000000 + sum(steps[:n]) for n in range(len(steps) + 1)]
    log = {"start_us": [p - 15000 for p in presents], "swap_end_us": [p - 10000 for p in presents],
           "swap_end_mono_us": [p - 10000 for p in presents], "present_ust": presents,
           "present_mode": ["copy"] * len(presents), "present_flags": [flags or None] * len(presents),
           "measured": [1] * len(presents)}
    display = {"window_system": "wayland", "server": "made up", "refresh_hz": refresh, "refresh_variable": False,
               "presentation_clock": "CLOCK_MONOTONIC", "hardware_clock": "hw_clock" in flags, "tearing_hint": False,
               "sequence_counts_refreshes": counts, "presents": {"count": len(presents) + skip, "skip": skip}}
    return qc.Run({"display": display, "frames": {"fps_mean": fps}, "settings": {"interval_us": interval}}, log)


def verdicts(**runs):
    steady = made_up([PERIOD] * 100, flags="vsync|hw_clock")
    battery = {"vsync0": steady, "free0": made_up([PERIOD] * 100, skip=50, fps=120), "vsync15": made_up([PERIOD, 2 * PERIOD] * 50),
               "hybrid15": made_up([1.5 * PERIOD] * 100, interval=round(1.5 * PERIOD)), **runs}
    return {c["check"]: c["verdict"] for c in qc.judge(battery, qc.Tolerances())}


@pytest.mark.parametrize("runs,failed", [
    ({}, set()),  # a display that keeps every promise
    ({"vsync0": made_up([20000] * 100, flags="vsync")}, {"refresh", "vsync-on", "vsync-flag"}),  # 50 Hz, said 60
    ({"vsync0": made_up([PERIOD / 2] * 100)}, {"refresh", "vsync-on"}),  # vsync on, faster than the refresh
    ({"vsync0": made_up([PERIOD, 1.4 * PERIOD] * 50, flags="vsync")}, {"vsync-on", "vsync-flag"}),
    ({"vsync15": made_up([1.5 * PERIOD] * 100)}, {"quantised"}),  # a pace between refreshes, not quantised
    ({"free0": made_up([PERIOD] * 100)}, {"vsync-off"}),  # vsync forced on
    ({"vsync15": made_up([PERIOD, 2 * PERIOD] * 50, counts=False)}, {"sequence"}),
    ({"hybrid15": made_up([1.5 * PERIOD + 500] * 100, interval=round(1.5 * PERIOD))}, {"pacing"}),
], ids=["kept", "wrong refresh", "vsync on yet faster", "vsync flag on uneven steps", "not quantised",
        "vsync forced on", "sequence", "pacing"])
def test_each_check_fails_on_the_records_that_break_its_promise_and_never_passes_without_evidence(runs, failed):
    got = verdicts(**runs)
    assert {name for name, v in got.items() if v == "fail"} == failed
    assert got["input"] == "unknown" and (got["refresh"] == "pass") == ("refresh" not in failed)
    # A variable refresh has no period to judge against: every check that needs one is unknown.
    variable = made_up([PERIOD] * 100, refresh=0.0)
    variable.display["refresh_variable"] = True
    got = verdicts(vsync0=variable)
    assert all(got[name] == "unknown" for name in ("refresh", "vsync-on", "vsync-off", "quantised", "latency"))


def battery(env, *args):
    env = {**os.environ, **env}
    done = subprocess.run([CHECK, "--seconds", "2", *args], env=env, capture_output=True, text=True, timeout=300)
    return done.returncode, done.stdout, done.stderr


SIMULATED = "unknown: Xvfb has no display, its vblank clock is simulated"


@pytest.mark.parametrize("kind", ["xvfb", "weston", "mutter"])
def test_the_battery_gives_each_display_stack_the_verdicts_it_deserves(tmp_path, kind):
    report, xml = tmp_path / "r.json", tmp_path / "r.xml"
    if kind == "xvfb":
        with xvfb() as display:
            status, out, err = battery({"DISPLAY": display, "WAYLAND_DISPLAY": ""}, "--report", str(report), "--junit",
                                       str(xml), "--expect", "causality=pass")
    else:
        with weston(kind=kind) as (_, env):
            status, out, err = battery({**env, "DISPLAY": ""}, "--report", str(report), "--junit", str(xml))
    checks = {c["check"]: c for c in json.loads(report.read_text())["checks"]["x11" if kind == "xvfb" else "wayland"]}
    said = {name: c["verdict"] + (f": {c['why']}" if c["why"] else "") for name, c in checks.items()}
    failed = any(c["verdict"] == "fail" for c in checks.values())
    if kind == "xvfb":  # a simulated clock passes nothing; an --expect not met fails the battery
        assert all(said[name] == SIMULATED for name in ("refresh", "vsync-on", "quantised", "latency", "causality"))
        assert "window system: x11 (Xvfb)\n" in out and status == 1
        assert err == "quorvel-check: x11: causality is unknown, expected pass\n"
    else:
        assert (status, err) == (1 if failed else 0, "") and f"window system: wayland ({kind.capitalize()})\n" in out
        assert said["vsync-off"] == said["causality"] == "pass"  # frames discarded without -v; none before its swap
        assert said["sequence"] == {"weston": "unknown: the compositor sends no seq", "mutter": "fail"}[kind]
    assert said["input"].startswith("unknown: ") and said["vsync-flag"].startswith("unknown: ")
    cases = ET.parse(xml).getroot().findall("./testsuite/testcase")
    assert [(c.get("name"), c.find("skipped") is not None, c.find("failure") is not None) for c in cases] == [
        (name, c["verdict"] == "unknown", c["verdict"] == "fail") for name, c in checks.items()]


def test_bad_usage_says_so_in_one_line():
    for args, said in ((["--winsys", "wayland"], "no wayland session here"), (["--expect", "nope=pass"], "--expect nope"),
                       (["--seconds", "1"], "--seconds takes"), (["--junit", "/nonexistent/r.xml"], "cannot be written")):
        status, out, err = battery({"WAYLAND_DISPLAY": "", "DISPLAY": ""}, *args)
        assert (status, out) == (2, "") and said in err.splitlines()[-1]
