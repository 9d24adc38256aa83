"""quorvel-read on footage made with ffmpeg whose answer is known: as a phone films, slowed, with
sound, cut, long, two runs in one clip, a rolling shutter; and every way it refuses."""
import concurrent.futures
import csv
import json
import os
import subprocess

import pytest
from PIL import Image

import footage

READ = os.environ["QUORVEL_READ"]
TICKS = [10000000 + n * 40000 for n in range(1, 31)]


def read(*args, stdout=subprocess.PIPE):
    done = subprocess.run([READ, *map(str, args)], stdout=stdout, stderr=subprocess.PIPE, text=True, timeout=300)
    return done.returncode, done.stdout, done.stderr


def ffmpeg(*args):
    subprocess.run(["ffmpeg", "-loglevel", "error", "-y", *map(str, args)], check=True, timeout=120)


@pytest.fixture(scope="module")
def known(tmp_path_factory):
    """30 display frames 40 ms apart, filmed at 100 fps: frames 7 and 13 never shown, every fifth
    shown 10 ms late, and frame 20 only with a tick the log does not have. Returns (video, log)."""
    where = tmp_path_factory.mktemp("known")
    starts = {n: 4 * (n - 1) + (n % 5 == 0) for n in range(1, 31) if n not in (7, 13)}
    texts = []
    for v in range(120):
        n = max(k for k, s in starts.items() if s <= v)
        texts.append(f"{TICKS[n - 1] + (n == 20)} {n}")
    return footage.film(where / "known.mkv", texts), footage.write_log(where / "log.csv", TICKS)


def test_the_known_answer_in_display_time_slowed_down_or_not_with_or_without_the_log(tmp_path, known):
    video, log = known
    slow = tmp_path / "slow.mkv"  # a phone's slow-motion export: 100 fps played at 25
    ffmpeg("-i", video, "-vf", "setpts=4*PTS", "-r", "25", "-c:v", "libx264", "-qp", "0", slow)
    for clip, ratio in ((video, 1), (slow, 4)):
        for with_log in (True, False):
            report = tmp_path / "r.json"
            status, out, err = read(clip, *(["--log", log] if with_log else []), "--report", report)
            figures = json.loads(report.read_text())
            assert (status, err, figures["fit"]["against"]) == (0, "", "log" if with_log else "ticks")
            # Without the log, frame 20's tick is its own: seen, and not late.
            assert (figures["video"]["bad_reads"], figures["glass"]["frames_seen"]) == ((3, 27) if with_log else (0, 28))
            assert figures["fit"]["clock_ratio"] == pytest.approx(ratio, rel=1e-3)
            assert figures["glass"]["jitter_ms"] == pytest.approx({"p50": 0, "p99": 10, "max": 10}, abs=0.05)
            assert figures["glass"]["on_glass_ms"]["p50"] == pytest.approx(40, abs=0.05)
            assert ("the video's timeline runs 4.00 times slower than the display" in out) == (ratio == 4)
            assert (f"{clip}: glass: 30 frames logged in that span, 3 never seen: 7 13 20\n" in out) == with_log


def test_whole_clips_cut_clips_two_runs_and_a_rolling_shutter(tmp_path, known):
    video, _ = known
    sound = tmp_path / "phone.mp4"  # audio half a second longer than the picture
    ffmpeg("-i", video, "-f", "lavfi", "-i", "anullsrc=r=48000:cl=mono", "-t", "1.7", "-c:v", "libx264", "-qp", "0",
           "-c:a", "aac", sound)
    assert read(sound)[::2] == (0, "")
    ffmpeg("-i", video, "-c:v", "libx264", "-qp", "0", whole := tmp_path / "whole.ts")
    (cut := tmp_path / "cut.ts").write_bytes(whole.read_bytes()[:whole.stat().st_size * 6 // 10])
    (cut_mkv := tmp_path / "cut.mkv").write_bytes(video.read_bytes()[:video.stat().st_size // 2])  # states its length
    for clip in (cut, cut_mkv):
        status, out, err = read(clip)
        assert status == 0 and f"quorvel-read: {clip}: the video is cut short: " in err and err.count("\n") == 1

    # Two runs in one clip, filmed from the middle of the first, the second after half a second
    # without a code: told apart by their ticks at its frame 1, and the pause in no figure. Frames 4 and 5
    # of the first in one video frame, 5 in the lower band, as a rolling shutter shows them.
    texts = [f"{TICKS[n] + run * 900000} {n + 1}" for run in (0, 1) for n in range(3 - 3 * run, 10) for _ in range(4)]
    texts[0], texts[28:28] = (texts[0], texts[4]), [None] * 50
    clip, table, report = footage.film(tmp_path / "runs.mkv", texts, size=(320, 400)), tmp_path / "runs.csv", \
        tmp_path / "runs.json"
    status, out, err = read(clip, "--csv", table, "--report", report)
    rows = list(csv.DictReader(table.open()))
    assert (status, err, len(rows)) == (0, "", 17) and f"{clip}: video: 2 runs of quorvel" in out
    assert f"{clip}: video: run 1: frames 4 to 10, 7 seen, from 0.000 s to 0.240 s\n" \
           f"{clip}: video: run 2: frames 1 to 10, 10 seen, from 0.780 s to 1.140 s\n" in out
    assert f"{clip}: video: 1 video frames hold two consecutive frames" in out
    glass = json.loads(report.read_text())["glass"]
    assert (glass["out_of_order"], glass["on_glass_ms"]["max"]) == (0, pytest.approx(80, abs=0.05))
    assert [(r["frame"], r["first_seen_s"], int(r["first_seen_row"]) > 150) for r in rows[:3]] == [
        ("4", "0.000000", False), ("5", "0.000000", True), ("6", "0.080000", False)]


def test_failures_say_one_line_and_write_all_outputs_or_none(tmp_path, known):
    video, log = known
    other = footage.write_log(tmp_path / "other.csv", [t + 7 for t in TICKS])
    (blank := tmp_path / "blank.csv").write_text(log.read_text().replace("10125000,", ",", 1))
    Image.new("L", (64, 64)).save(picture := tmp_path / "p.png")
    dark = footage.film(tmp_path / "dark.mkv", [None] * 20)
    (kept := tmp_path / "a.csv").write_text("kept\n")
    (folder := tmp_path / "d").mkdir()
    (locked := tmp_path / "ro.json").write_text("{}\n")
    locked.chmod(0o444)
    cases = [  # arguments, status, what standard error says
        ([video, "--log", other], 1, f"quorvel-read: {video}: no code matches the log {other}: all 120 reads name ticks "
                                     "it does not have; is it this run's log?\n"),
        ([video, "--log", blank], 2, f"quorvel-read: {blank}: line 4: swap_end_us is blank\n"),
        ([video, "--log", tmp_path / "none.csv"], 2, f"quorvel-read: {tmp_path}/none.csv: No such file or directory\n"),
        # Every destination is checked before the first is replaced, and the one that cannot be written named.
        ([video, "--csv", kept, "--report", tmp_path / "no/x.json"], 2,
         f"quorvel-read: {tmp_path}/no/x.json: No such file or directory\n"),
        ([video, "--csv", kept, "--report", folder], 2, f"quorvel-read: {folder}: Is a directory\n"),
        ([video, "--csv", kept, "--report", locked], 2, f"quorvel-read: {locked}: Permission denied\n"),
        ([tmp_path / "never.mkv", "--plot", tmp_path / "out.foo"], 2, "usage: "),
        ([picture, "--csv", kept], 2, "usage: "),
        ([tmp_path / "blank.csv"], 2, f"quorvel-read: {blank}: cannot read: neither a picture nor a video"),
        ([dark, "--csv", kept], 1, f"quorvel-read: {dark}: no code found\n"),
    ]
    for args, status, said in cases:
        got, out, err = read(*args)
        assert (got, out if got == 2 else "") == (status, "") and err.startswith(said), err
    assert sorted(os.listdir(tmp_path)) == ["a.csv", "blank.csv", "d", "dark.mkv", "other.csv", "p.png", "ro.json"]
    assert (kept.read_text(), os.listdir(folder), locked.read_text()) == ("kept\n", [], "{}\n")  # nothing half written
    with open("/dev/full", "w") as full:
        assert read(video, stdout=full)[::2] == (2, "quorvel-read: standard output: No space left on device\n")


def test_a_long_clip_reads_whole_in_bounded_memory(tmp_path):
    texts = [f"{10000000 + n * 16667} {n}" for n in range(1, 12001)]
    with concurrent.futures.ThreadPoolExecutor(4) as pool:
        list(pool.map(footage.code, texts))
    clip = footage.film(tmp_path / "long.mkv", texts, fps=60, size=(192, 160), at=(20, 10))
    report = tmp_path / "long.json"
    reader = subprocess.Popen([READ, clip, "--report", report], stdout=subprocess.DEVNULL)
    _, status, usage = os.wait4(reader.pid, 0)  # its own peak, not that of every child waited for before
    reader.returncode = os.waitstatus_to_exitcode(status)
    figures = json.loads(report.read_text())
    assert (reader.returncode, figures["glass"]["frames_seen"], figures["glass"]["out_of_order"]) == (0, 12000, 0)
    assert figures["fit"]["clock_ratio"] == pytest.approx(1, rel=1e-3) and usage.ru_maxrss < 400 * 1024
