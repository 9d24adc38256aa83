"""quorvel-compare: its statistics fed with made-up logs, its verdicts on made-up and real records."""
import contextlib
import itertools
import json
import os
import pathlib
import random
import re
import subprocess
import xml.etree.ElementTree as ET

import numpy as np
import pytest

from quorvel import comparison as qc
from quorvel import judge
from quorvel import sides as quorvel_sides
from quorvel import stats as qs
from harness import BIN, finish, rt_hog, run, start, weston, xvfb
from quorvel.log import arrays
from quorvel.runs import Run

COMPARE = os.path.join(os.path.dirname(os.environ["QUORVEL_READ"]), "quorvel-compare")
CHECK = os.path.join(os.path.dirname(os.environ["QUORVEL_READ"]), "quorvel-check")
HEADER = ("frame,start_us,swap_end_us,interval_us,duration_us,swap_end_mono_us,present_ust,present_msc,present_mode,"
          "present_flags,measured,held_us,woke_late_us,animation_error_us")


def made_up(path, frames=600, interval=20000, late=0, seed=0, woke=(), **settings):
    """A run of `frames` at `interval` whose starts come `late` μs later, with the noise of `seed`; the
    frames in `woke` were woken 3 ms late by the machine. Writes PATH.json and PATH.csv."""
    rng = np.random.default_rng(seed)
    steps = interval + late + rng.integers(0, 80, frames)
    steps[list(woke)] += 3000
    start, cost = 10 ** 9 + np.cumsum(steps), 1500 + rng.integers(0, 300, frames)
    rows = [HEADER] + [f"{n + 1},{s},{s + c},{'' if n == 0 else s + c - start[n - 1] - cost[n - 1]},{c},{s + c + 5},"
                       f",,,,{int(n > 20)},0,{3000 if n in woke else 0}," for n, (s, c) in enumerate(zip(start, cost))]
    path.with_suffix(".csv").write_text("\n".join(rows) + "\n")
    report = {"settings": {"interval_us": interval, "vsync_requested": False, "pace": "busy", **settings},
              "frames": {"measured": frames - 21, "seconds": (frames - 21) * interval / 1e6, "stutters": 0},
              "display": {"window_system": "x11", "server": "Xvfb", "refresh_hz": 60.0,
                          "presents": {"skip": 0, "missed_vblanks": 0}},
              "gl": {"renderer": "llvmpipe"}, "duration_us": {"p50": 1650, "p99": 1797}, "fingerprint": {"report_format": 1, "host": "lab", "kernel": "6.1"}}
    path.with_suffix(".json").write_text(json.dumps(report))
    return str(path.with_suffix(".json"))


def compare(*args):
    done = subprocess.run([COMPARE, *map(str, args)], capture_output=True, text=True, timeout=300)
    return done.returncode, done.stdout, done.stderr


def verdicts(out):
    """Each figure's verdict from the table and the folded lines."""
    said = {}
    for line in out.splitlines():
        name = next((f for f in qs.FIGURE_NAMES if line.startswith(f + " ")), None)
        if name:
            said[name] = line.split("  ")[-1].strip()
        for word in ("same", "unknown"):
            if line.startswith(word + ": "):
                said.update({n: word for n in qs.FIGURE_NAMES if n in line.split(": ")[1]})
    return said


def test_resampled_percentiles_are_those_of_the_frames_each_resample_draws():
    rng = np.random.default_rng(1)
    runs = [qs.RunFrames({"cost": rng.integers(0, 50, n).astype(float)}, rng.random(n) < 0.2, fps)
            for n, fps in ((300, 60), (450, 90), (2500, 20))]  # the last on a grid of block starts
    side = qs.Side(runs, rng, resamples=40)
    for mask in (False, True):
        ordered = side.values("cost", mask)
        fast = side.resampled("cost", mask, [50, 90, 99], ordered)
        for w, got in zip(side.weights.toarray(), fast):
            drawn = []
            for r, (n, grid, length, starts, offset) in zip(runs, side.plans):
                for at, times in enumerate(w[offset:offset + starts]):
                    block = slice(at * grid, at * grid + length)
                    keep = ~r.machine[block] if mask else slice(None)
                    drawn += list(r.series["cost"][block][keep]) * int(times)
            assert list(got) == [qs.nearest_rank(np.sort(drawn), p) for p in (50, 90, 99)]
    assert qs.too_few(299, 99) and not qs.too_few(300, 99) and qs.too_few(29, 50)
    assert list(qs.holm([0.01, 0.04, 0.03, 0.5])) == pytest.approx([0.04, 0.09, 0.09, 0.5])


@pytest.mark.parametrize("late,said", [
    (2000, {"lateness p50": "worse", "lateness p90": "worse", "lateness p99": "worse", "frame cost p50": "same"}),
    (15, {"lateness p50": "same", "lateness p99": "same"}),  # below the floor of 20 μs
])
def test_a_made_up_change_is_found_within_its_interval_and_one_below_the_floor_is_not(tmp_path, late, said):
    base, new = made_up(tmp_path / "base"), made_up(tmp_path / "new", late=late)  # the same noise, moved
    status, out, err = compare(base, new, "--report", tmp_path / "r.json", "--junit", tmp_path / "r.xml")
    assert (status, err) == (1 if late > 20 else 0, "")
    assert {k: verdicts(out)[k] for k in said} == said
    figures = {f["figure"]: f for f in json.loads((tmp_path / "r.json").read_text())["pairs"][0]["figures"]}
    for name in ("lateness p50", "lateness p99"):
        c = figures[name]["all_frames"]
        assert c["change"] == late and c["low"] <= late <= c["high"]
    cases = ET.parse(tmp_path / "r.xml").getroot().findall("./testsuite/testcase")
    assert sorted(c.get("name") for c in cases if c.find("failure") is not None) == \
        sorted(n for n, v in said.items() if v == "worse")


def test_worse_only_with_the_machines_frames_is_the_machines(tmp_path):
    base, new = made_up(tmp_path / "base"), made_up(tmp_path / "new", seed=1, woke=range(30, 600, 9))
    status, out, _ = compare(base, new)
    assert status == 0 and verdicts(out)["lateness p90"] == "worse (the machine's)"
    assert compare(base, new, "--strict")[0] == 1
    assert verdicts(compare(new, base)[1])["lateness p90"] == "better (the machine's)"  # a quieter machine
    known = tmp_path / "known"
    known.write_text("# the machine is busy tonight\nlateness p90\nlateness p99  # too\n")
    assert compare(base, new, "--strict", "--known", known)[0] == 0
    os.remove(new[:-5] + ".csv")  # the report's own figures alone, and no call without an interval
    status, out, _ = compare(base, new)
    assert status == 0 and verdicts(out)["frame cost p50"] == "unknown: no log beside it (new.csv): the report's " \
        "figure alone, with no interval"


def test_a_machine_that_delays_most_frames_leaves_the_stack_its_undelayed_ones():
    # Each frame takes the stack 1000 μs and waits 0 to 2000 μs more for a CPU (most wait): the stack's frames are the
    # ones that did not wait, not those that waited less than the run's median.
    wait = np.tile([0.0, 500, 1000, 1500, 2000], 80)
    start = 10 ** 9 + np.arange(400) * 20000.0
    log = {"start_us": start, "duration_us": 1000 + wait, "interval_us": np.full(400, 20000.0),
           "measured": np.ones(400), "run_queue_us": wait, "woke_late_us": np.zeros(400)}
    frames = qs.run_frames(log, {"settings": {"interval_us": 20000}})
    assert set(frames.series["cost"][~frames.machine]) == {1000.0}


def test_refresh_rates_within_half_a_percent_are_one_display():
    def side(*rates):
        return [quorvel_sides.Run("r", {"display": {"window_system": "x11", "refresh_hz": hz}, "gl": {"renderer": "l"},
                                        "settings": {"interval_us": 1, "pace": "busy", "vsync_requested": False}})
                for hz in rates]
    for base, new, refused in (((60.0, 60.2), (60.25,), False), ((60.0,), (60.4,), True), ((60.0,), (None,), False)):
        assert bool(quorvel_sides.differences(side(*base), side(*new))) == refused, (base, new)


def test_counts_compare_as_poisson_rates():
    rate = qs.FIGURES[qs.FIGURE_NAMES.index("discards")]
    same, worse = qs.rate_change(rate, (10, 5), (12, 5)), qs.rate_change(rate, (10, 5), (60, 5))
    qs.settle([same, worse])
    assert (same.verdict, worse.verdict, worse.change) == ("same", "worse", 10)
    assert worse.low < 10 < worse.high


def test_directories_pair_their_runs_and_name_what_has_no_partner(tmp_path):
    for side in ("last", "tonight"):
        (tmp_path / side).mkdir()
        for n, seed in enumerate((1, 2)):  # repeats
            made_up(tmp_path / side / f"a{n}", seed=seed + (side == "tonight"))
    made_up(tmp_path / "tonight" / "paced", interval=16667)
    (tmp_path / "tonight" / "torn.json").write_text('{"settings": {')
    status, out, err = compare(tmp_path / "last", tmp_path / "tonight")
    assert status == 2 and err == f"quorvel-compare: {tmp_path}/tonight/torn.json: truncated: the JSON ends at byte 14\n"
    assert f"only in NEW: {tmp_path}/tonight/paced.json" in out.splitlines()
    assert f"BASE {tmp_path}/last/a0.json,{tmp_path}/last/a1.json, NEW" in out and "one run a side" not in out


def damaged(tmp_path, rng):
    """A made-up run, damaged at random: its report or its log cut, bytes changed, or a value replaced."""
    path = made_up(tmp_path / f"d{rng.random()}", frames=200)
    victim = path if rng.random() < 0.5 else path[:-5] + ".csv"
    data = bytearray(open(victim, "rb").read())
    how = rng.randrange(4)
    if how == 0:
        data = data[:rng.randrange(len(data))]
    elif how == 1:
        for _ in range(rng.randrange(1, 4)):
            data[rng.randrange(len(data))] = rng.choice(b'",:{}[]0-9ax\n\xff')
    elif how == 2 and victim == path:
        report = json.loads(data)
        part = rng.choice(["settings", "frames", "display", "gl", "fingerprint"])
        key = rng.choice(list(report[part]) + ["nope"])
        report[part][key] = rng.choice([None, "x", [], {}, -1, 1e300, True, 7])
        data = json.dumps(report).encode()
    else:
        data = data.replace(b",", b",1,", 1) if how == 2 else data.replace(b"\n", b"\n\n", 3)
    open(victim, "wb").write(bytes(data))
    return path


def test_damaged_inputs_are_named_in_one_line_never_a_traceback(tmp_path):
    rng = random.Random(48)
    good = [quorvel_sides.read_side_file(made_up(tmp_path / "good"))]
    options = type("Options", (), dict(across=True, threshold=0.05, all=True, known=set(), flakes=set()))
    for _ in range(100):
        path = damaged(tmp_path, rng)
        try:
            qc.compare_pair(good, [quorvel_sides.read_side_file(path)], options, np.random.default_rng(0))
        except quorvel_sides.Bad as e:
            assert path[:-5] in e.args[0] and "\n" not in e.args[1]


@pytest.mark.parametrize("damage,said", [
    (lambda p: os.remove(p), "No such file or directory"),
    (lambda p: open(p, "w").write('{"checks": 1}'), "not a quorvel report: no settings"),
    (lambda p: open(p, "r+").truncate(40), "truncated"),
    (lambda p: open(p[:-5] + ".csv", "a").write("999,1,2,3,4,5,,,,,1,0,0,\n"), "measured frames do not match"),
    (lambda p: made_up(pathlib.Path(p[:-5]), frames=21), "no measured frame"),
    (lambda p: pathlib.Path(p).write_text(pathlib.Path(p).read_text().replace('"report_format": 1', '"report_format": 2')),
     "newer"),
    (lambda p: pathlib.Path(p).write_text(pathlib.Path(p).read_text().replace(": 60.0,", ": 144.0,")),
     "not comparable: refresh: 60.00 Hz against 144.00 Hz (--across"),
], ids=["missing", "not a report", "truncated", "not its log", "nothing measured", "newer format", "another refresh"])
def test_bad_input_is_one_line_with_status_2_and_nothing_written(tmp_path, damage, said):
    base, new = made_up(tmp_path / "base"), made_up(tmp_path / "new")
    damage(new)
    status, out, err = compare(base, new, "--report", tmp_path / "r.json")
    assert (status, out) == (2, "") and err.count("\n") == 1 and said in err and "/new." in err
    assert not (tmp_path / "r.json").exists()


def quorvel(display, path, *args, env=None):
    status, _, err = run(display, "--duration", "3", "--log", f"{path}.csv", "--report", f"{path}.json", *args, env=env)
    assert status == 0, err
    return f"{path}.json"


def test_runs_of_the_same_settings_compare_same(tmp_path):
    # At the same time, so that a change of the machine's load between runs falls on all alike; favoured and
    # drawing on their main threads, at half a core together, so that the other tests hardly move them. Each
    # has its own server: on a shared one, the runs' frames keep their phases and queue behind one another's
    # requests, a wait of the stack's that differs from run to run for a whole run.
    with contextlib.ExitStack() as servers:
        displays = [servers.enter_context(xvfb(favoured=True)) for _ in range(8)]
        procs = [start(display, "-n", "-10", BIN, "--frames", "360", "--log", f"{tmp_path}/r{n}.csv", "--report",
                       f"{tmp_path}/r{n}.json", "--pace", "hybrid", "20000", program="nice",
                       env={"LP_NUM_THREADS": "0"}) for n, display in enumerate(displays)]
        assert [finish(p)[0] for p in procs] == [0] * 8
    runs = [f"{tmp_path}/r{n}.json" for n in range(8)]
    fp = json.load(open(runs[0]))["fingerprint"]
    assert fp["window_system"] == "x11" and fp["server"]["name"] == "Xvfb" and fp["output"]["name"] == "screen"
    assert fp["command_line"][1:4] == ["--frames", "360", "--log"] and fp["cores"] == os.cpu_count()
    status, out, err = compare(runs[0], runs[1])
    assert (status, err) == (0, "") and "one run a side" in out and "worse\n" not in out
    # Separate runs of the same settings call a change in at most one comparison of twenty (pairs of the eight).
    options = type("Options", (), dict(across=False, threshold=0.05, all=True, known=set(), flakes=set()))
    read = [quorvel_sides.read_side_file(r) for r in runs]
    called = [(n, f["figure"], f["verdict"]) for n, (a, b) in enumerate(itertools.islice(itertools.combinations(read, 2), 20))
              for f in qc.compare_pair([a], [b], options, np.random.default_rng(n))[1]["figures"]
              if f["verdict"] in ("better", "worse")]
    assert len({n for n, _, _ in called}) <= 1, called


def test_a_run_beside_cpu_bursts_is_worse_by_the_machines_frames(tmp_path):
    """A real run beside CPU bursts against a quiet one: the lateness is worse with all frames counted and
    the machine's share named, and the pacing check sets apart the frames the bursts hit."""
    runs = {}
    with xvfb(favoured=True) as display:
        for name in ("quiet", "hit"):
            with rt_hog(0) if name == "hit" else contextlib.nullcontext():
                # Real-time below the bursts, so that no other build or test takes its core, and drawing on its
                # main thread, whose accounts are the run's: llvmpipe's threads would wait for the core unseen.
                status, _, err = run(display, "-c", "0", "chrt", "-f", "10", BIN, "--frames", "700", "--log",
                                     f"{tmp_path}/{name}.csv", "--report", f"{tmp_path}/{name}.json", "--pace",
                                     "hybrid", "10000", program="taskset", env={"LP_NUM_THREADS": "0"})
            assert (status, err) == (0, "")
            runs[name] = Run(json.load(open(f"{tmp_path}/{name}.json")), arrays(f"{tmp_path}/{name}.csv"))
    status, out, _ = compare(f"{tmp_path}/quiet.json", f"{tmp_path}/hit.json", "--report", tmp_path / "r.json")
    late = next(f for f in json.loads((tmp_path / "r.json").read_text())["pairs"][0]["figures"]
                if f["figure"] == "lateness p99")
    assert late["all_frames"]["verdict"] == "worse" and late["verdict"] == (
        "worse" if late["stack_frames"]["verdict"] == "worse" else "worse (the machine's)"), out
    # About 16 bursts of 30 ms in 4 s or more, each holding the loop's core from a frame or more: mostly while it
    # waited for the frame's tick, which the frame's accounts show; else while it drew the frame before.
    frames = runs["hit"].measured()
    hit = frames.step - 10000 > 10000
    waited = hit & (2 * frames.waiting >= frames.step - 10000)
    assert hit.sum() >= 4 and waited.sum() >= hit.sum() // 2, frames.waiting[hit]
    pacing = judge.pacing_check(runs["hit"], None, judge.Tolerances(), None)["measured"]
    assert int(re.search(r"(\d+) set apart: the machine's", pacing)[1]) >= waited.sum(), pacing


def test_x11_against_wayland_is_refused_then_compared_across(tmp_path):
    with xvfb() as display:
        x11 = quorvel(display, tmp_path / "x11", "20000")
    with weston() as (_, env):
        wayland = quorvel("", tmp_path / "wayland", "--winsys", "wayland", "20000", env=env)
    assert json.load(open(wayland))["fingerprint"]["server"]["globals"]
    status, out, err = compare(x11, wayland)
    assert (status, out) == (2, "") and err.startswith(f"quorvel-compare: {x11} against {wayland}: not comparable: "
                                                       "window system: x11 against wayland; compositor: Xvfb against Weston")
    status, out, err = compare(x11, wayland, "--across")
    assert status in (0, 1) and all(line.startswith("across: ") for line in out.splitlines())


def test_check_reports_compare_verdicts_as_piglit_does(tmp_path):
    with xvfb() as display:
        done = subprocess.run([CHECK, "--seconds", "2", "--report", tmp_path / "base.json"], capture_output=True,
                              env={**os.environ, "DISPLAY": display, "WAYLAND_DISPLAY": ""}, timeout=300)
    assert done.returncode in (0, 1), done.stderr
    report = json.loads((tmp_path / "base.json").read_text())
    assert report["fingerprint"]["x11"]["window_system"] == "x11"
    checks = {c["check"]: c for c in report["checks"]["x11"]}
    checks["pacing"]["verdict"], checks["causality"]["verdict"] = "pass", "unknown"
    checks["refresh"]["verdict"] = "fail"
    report["checks"]["x11"] = list(checks.values())
    (tmp_path / "base.json").write_text(json.dumps(report))
    checks["pacing"]["verdict"], checks["refresh"]["verdict"], checks["causality"]["verdict"] = "fail", "pass", "pass"
    del checks["input"]
    report["checks"]["x11"] = list(checks.values())
    (tmp_path / "new.json").write_text(json.dumps(report))
    status, out, _ = compare(tmp_path / "base.json", tmp_path / "new.json", "--junit", tmp_path / "r.xml")
    said = {line.split()[0]: line.split("  ")[-1].strip() for line in out.splitlines() if line.startswith("x11:")}
    assert (status, said) == (1, {"x11:pacing": "regression", "x11:input": "gone", "x11:causality": "change",
                                  "x11:refresh": "fix"})
    failed = [c.get("name") for c in ET.parse(tmp_path / "r.xml").getroot().iter("testcase") if c.find("failure") is not None]
    assert failed == ["x11:pacing"]
    (tmp_path / "flakes").write_text("pacing\n")
    status, out, _ = compare(tmp_path / "base.json", tmp_path / "new.json", "--flakes", tmp_path / "flakes")
    assert status == 0 and "regression (flake)" in out
    (tmp_path / "known").write_text("x11:pacing\nwayland:nope\n")
    status, _, err = compare(tmp_path / "base.json", tmp_path / "new.json", "--known", tmp_path / "known")
    assert status == 2 and "line 2: 'wayland:nope' names no figure or check" in err
