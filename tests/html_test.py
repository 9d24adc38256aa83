"""The tools' --html pages, drawn by a real Chromium under a CI server's content policy and opened as files."""
import contextlib
import functools
import http.server
import json
import os
import re
import subprocess
import threading

import numpy as np
import pytest
from PIL import Image, ImageChops

from compare_test import made_up
from harness import run, xvfb
from quorvel import log as quorvel_log
from quorvel import pages as quorvel_html
from quorvel import svg as sv

SCRIPTS = os.path.dirname(os.environ["QUORVEL_READ"])
PLOT, CHECK, COMPARE = (os.path.join(SCRIPTS, f"quorvel-{t}") for t in ("plot", "check", "compare"))
POLICY = "sandbox allow-same-origin; default-src 'none'; img-src 'self'; style-src 'self';"
HOSTILE = "<script>alert(1)</script>"
# Okabe and Ito's: sky blue histogram bars, blue and orange bars of BASE and NEW.
SKY, BLUE, ORANGE = (0x56, 0xB4, 0xE9), (0x00, 0x72, 0xB2), (0xE6, 0x9F, 0x00)


def tool(*args, **kw):
    done = subprocess.run(list(map(str, args)), capture_output=True, text=True, timeout=600, **kw)
    return done.returncode, done.stdout, done.stderr


class PolicyHandler(http.server.SimpleHTTPRequestHandler):
    def end_headers(self):
        self.send_header("Content-Security-Policy", POLICY)
        super().end_headers()

    def log_message(self, *args):
        pass


@contextlib.contextmanager
def served(folder):
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), functools.partial(PolicyHandler, directory=folder))
    thread = threading.Thread(target=server.serve_forever)
    thread.start()
    try:
        yield f"http://127.0.0.1:{server.server_port}"
    finally:
        server.shutdown()
        server.server_close()
        thread.join()


def chromium(url, shot, height):
    """One headless Chromium: the page's screenshot, its DOM as rendered, and the browser's log."""
    done = subprocess.run(["chromium", "--headless", "--no-sandbox", "--disable-gpu", f"--user-data-dir={shot}.profile",
                           "--enable-logging=stderr", "--v=0", f"--screenshot={shot}", f"--window-size=1280,{height}",
                           "--hide-scrollbars", "--dump-dom", url], capture_output=True, text=True, timeout=180)
    assert os.path.exists(shot), done.stderr[-2000:]
    return done.stdout, done.stderr


def rendered(page, colours, height=4000):
    """The page served under the policy and opened as a file: drawn alike, nothing refused, the
    plots' colours on the screen; the DOM as opened as a file, where a script would run."""
    with served(str(page.parent)) as url:
        _, log = chromium(f"{url}/{page.name}", shot := page.with_suffix(".served.png"), height)
    dom, _ = chromium(page.as_uri(), file_shot := page.with_suffix(".file.png"), height)
    assert not re.search(r"Content Security Policy|Refused", log), log
    a, b = (Image.open(p).convert("RGB") for p in (shot, file_shot))
    assert ImageChops.difference(a, b).getbbox() is None
    pixels = np.asarray(a).reshape(-1, 3)
    for colour in colours:
        assert (pixels == colour).all(axis=1).sum() > 2000, colour
    text = page.read_text()
    assert not re.search(r"<script|<style|\sstyle=|data:|src=|https?://(?!www\.w3\.org/2000/svg\")", text)
    return text, dom


def test_a_run_page_shows_the_report_as_written_and_its_plots_and_escapes_what_it_shows(tmp_path):
    """A real run with presses, in a folder of a hostile name, its report's renderer made hostile."""
    (folder := tmp_path / "<i>runs").mkdir()
    log, report, page = folder / "run.csv", folder / "run.json", folder / "page.html"
    with xvfb() as display:
        assert run(display, "--inject", "5", "--frames", "120", "--log", str(log), "--report", str(report),
                   "10000")[0] == 0
    report.write_text(report.read_text().replace('"llvmpipe', json.dumps(HOSTILE)[:-1] + ' llvmpipe'))
    assert tool(PLOT, log, "--html", page, "-o", png := log.with_name("pic.png")) == (0, f"{png}\n", "")
    assert png.read_bytes()[1:4] == b"PNG"
    text, dom = rendered(page, [SKY])
    written = report.read_text()
    for key, value in re.findall(r'"(\w+)": (-?[\d.eE+-]+|true|false|null)', written):
        assert f"<td>{value}</td>" in text, key  # every figure as the report writes it
    assert text.count(HOSTILE.replace("<", "&lt;").replace(">", "&gt;")) == 2 and HOSTILE not in text
    assert "&lt;script&gt;alert(1)&lt;/script&gt;" in dom and "<script" not in dom
    assert "&lt;i&gt;runs/run.csv" in text  # the command line names the folder
    late = json.loads(written)["frames"]["late"] > 0
    for title, shown in (("frame intervals over the run", True), ("histogram of the measured intervals", True),
                         ("presses to swap end", True), ("where each late frame's lateness went", late)):
        assert (f"<title>{title}" in text.replace("&#39;", "'")) == shown, title


def test_a_battery_page_marks_each_verdict_in_words_and_draws_the_runs_it_stands_on(tmp_path):
    page, report = tmp_path / "check.html", tmp_path / "check.json"
    with xvfb() as display:
        status, out, err = tool(CHECK, "--seconds", "2", "--winsys", "x11", "--html", page, "--report", report,
                                env={**os.environ, "DISPLAY": display, "WAYLAND_DISPLAY": ""})
    assert status in (0, 1) and "window system: x11 (Xvfb)\n" in out, err
    text, _ = rendered(page, [SKY], height=9000)
    written = json.loads(report.read_text())
    for c in written["checks"]["x11"]:
        word = {"fail": "FAIL"}.get(c["verdict"], c["verdict"]) + (f": {c['why']}" if c["why"] else "")
        assert re.search(rf"<td>{re.escape(c['check'])}</td>.*</svg>&nbsp;{re.escape(word)}</td>",
                         text.replace("&#39;", "'")), c
    assert text.count("<title>frame intervals over the run") == len(written["runs"]["x11"]) >= 4


def test_a_comparison_page_has_a_section_a_pair_with_the_changes_and_both_sides_overlaid(tmp_path):
    for side, late in (("base", 0), ("new", 3000)):
        (tmp_path / side).mkdir()
        for interval in (20000, 25000):
            made_up(tmp_path / side / f"i{interval}", frames=3000, interval=interval, late=late, seed=len(side))
    page, report = tmp_path / "compare.html", tmp_path / "compare.json"
    status, out, err = tool(COMPARE, tmp_path / "base", tmp_path / "new", "--html", page, "--report", report)
    assert (status, err) == (1, "") and "lateness p50" in out
    text, _ = rendered(page, [BLUE, ORANGE], height=6000)
    pairs = json.loads(report.read_text())["pairs"]
    assert len(pairs) == 2 and all(f"<h2>{p['name']}</h2>" in text for p in pairs)
    for f in (f for p in pairs for f in p["figures"] if f["all_frames"]["low"] is not None and f["unit"] == "μs"):
        c = f["all_frames"]
        said = re.escape(f"<td>[{c['low']:+.0f}, {c['high']:+.0f}] μs</td>")
        assert re.search(rf"<td>{re.escape(f['figure'])}</td>(<td>[^<]*</td>){{3}}{said}", text), f["figure"]
    assert text.count("<title>frame intervals, BASE and NEW") == text.count("<title>lateness, BASE and NEW") == 2


def million(path, late, stutters):
    """A made-up run of a million frames at 60 Hz with accounts and a discard in a thousand: `late` frames
    two intervals long, late and no stutters, and `stutters` three long, both; each far from the others."""
    n, interval = 1_000_000, 16667
    rng = np.random.default_rng(3)
    steps = interval + rng.integers(-40, 40, n)
    steps[np.linspace(1000, n - 1000, late).astype(int)] = 2 * interval
    steps[np.linspace(1500, n - 500, stutters).astype(int)] = 3 * interval
    start, cost = 10 ** 9 + np.cumsum(steps), 1500 + rng.integers(0, 400, n)
    end, skip = start + cost, rng.random(n) < 0.001
    rows = zip(range(1, n + 1), start.tolist(), end.tolist(), np.diff(end, prepend=end[0] - interval).tolist(),
               cost.tolist(), skip.tolist())
    path.write_text("frame,start_us,swap_end_us,interval_us,duration_us,swap_end_mono_us,present_ust,present_msc,"
                    "present_mode,present_flags,measured,held_us,woke_late_us,animation_error_us,on_cpu_us,"
                    "run_queue_us,blocked_us,woke_queued_us\n" + "".join(
                        f"{f},{s},{e},{i},{c},{e + 7},{e + 5007},{f},{'skip' if k else 'copy'},,{int(f > 21)},0,0,0,"
                        f"{c // 3},{c // 3},{c - 2 * (c // 3)},0\n" for f, s, e, i, c, k in rows))
    path.with_suffix(".json").write_text(json.dumps({"settings": {"interval_us": interval}}))


def test_a_million_frame_page_stays_light_and_keeps_every_late_frame_and_stutter(tmp_path):
    million(log := tmp_path / "m.csv", late=6, stutters=4)
    assert tool(PLOT, log, "--html", page := tmp_path / "m.html") == (0, "", "")
    over = (text := page.read_text().replace("&#39;", "'")).split("</svg>")[0]  # the intervals over the run
    assert page.stat().st_size < 5 * 2 ** 20 and "thinned: the lowest and highest value of each pixel column" in over
    assert over.count("<path d=") == 10 and over.count("<circle") == 4 and "late, over 1.5 intervals (10)" in over
    assert "<title>the late frames by the kernel's accounts" in text and "discarded (" in text


def test_a_dense_plot_keeps_the_marker_of_every_late_frame_and_stutter():
    # Five late frames to each pixel column, at five heights each on a pixel of its own: more than thinning
    # keeps of a series, and most neither first, last, lowest nor highest of its column.
    n = 40 * (columns := sv.WIDTH - sv.LEFT - sv.RIGHT)
    interval = np.full(n, 10000.0)
    late = np.arange(0, n, 8)
    interval[late] = 10000 * (2 + late // 8 % 5)
    over = quorvel_html.intervals(np.arange(n) / 40, interval, np.ones(n, bool), 10000)[0]
    svg = str(over.svg())
    assert over.note.startswith(sv.THINNED) and svg.count("<path d=") == len(late) > 4 * columns
    assert svg.count("<circle") == len(quorvel_log.stutters(interval.astype(int).tolist())) > columns


@pytest.mark.parametrize("command", [(PLOT, "r.csv"), (COMPARE, "r.json", "r.json"), (CHECK,)],
                         ids=["plot", "compare", "check"])
def test_a_page_that_cannot_be_written_is_refused_before_any_work_and_standard_output_takes_one(tmp_path, command):
    made_up(tmp_path / "r", frames=400)
    before = sorted(os.listdir(tmp_path))
    status, out, err = tool(*command, "--html", "none/p.html", cwd=tmp_path,
                            env={**os.environ, "DISPLAY": "", "WAYLAND_DISPLAY": ""})
    assert (status, out, sorted(os.listdir(tmp_path))) == (2, "", before)
    assert err.splitlines()[-1].endswith("none/p.html: cannot be written: No such file or directory")
    assert len(err.splitlines()) == 1
    if command[0] != CHECK:  # a pipe takes the page after what the tool prints
        status, out, err = tool(*command, "--html", "/dev/stdout", cwd=tmp_path)
        assert (status, err) == (0, "") and out.endswith("</html>\n") and out.count("<!DOCTYPE html>") == 1
