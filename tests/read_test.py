"""quorvel-read on footage made with ffmpeg whose answer is known: as a phone films, slowed, with
sound, cut, long, two runs in one clip, a rolling shutter; and every way it refuses."""
import concurrent.futures
import csv
import json
import os
import random
import subprocess

import av
import pytest
from PIL import Image

import footage
from quorvel import video as quorvel_video
from quorvel import writer as quorvel_writer
from quorvel.fit import glass_figures, input_figures
from quorvel.outputs import summary
from quorvel.video import Sightings, last_picture_cut, padded

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
    shown 10 ms late and the one two after it 20 ms early (so that a jitter taken with its sign
    would be 10), and frame 20 only with a tick the log does not have. Returns (video, log)."""
    where = tmp_path_factory.mktemp("known")
    starts = {n: 4 * (n - 1) + (n % 5 == 0) - 2 * (n % 5 == 2) for n in range(1, 31) if n not in (7, 13)}
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
            assert figures["glass"]["jitter_ms"] == pytest.approx({"p50": 0, "p99": 20, "max": 20}, abs=0.05)
            assert figures["glass"]["on_glass_ms"]["p50"] == pytest.approx(40, abs=0.05)
            assert ("the video's timeline runs 4.00 times slower than the display" in out) == (ratio == 4)
            assert (f"{clip}: glass: 30 frames logged in that span, 3 never seen: 7 13 20\n" in out) == with_log


def test_whole_clips_cut_clips_two_runs_and_a_rolling_shutter(tmp_path, known, monkeypatch):
    video, _ = known
    sound = tmp_path / "phone.mp4"  # audio half a second longer than the picture; the index first, as phones write it
    ffmpeg("-i", video, "-f", "lavfi", "-i", "anullsrc=r=48000:cl=mono", "-t", "1.7", "-c:v", "libx264", "-qp", "0",
           "-c:a", "aac", "-movflags", "+faststart", sound)
    assert read(sound)[::2] == (0, "")
    # With B-frames and slices, frame threads may hand a cut picture on before its thread marks it corrupt.
    ffmpeg("-i", video, "-c:v", "libx264", "-g", "30", "-x264-params", "slices=4", whole := tmp_path / "whole.ts")
    (cut := tmp_path / "cut.ts").write_bytes((ts := whole.read_bytes())[:len(ts) * 6 // 10])
    # MPEG-TS states no length: cut on a packet boundary, only a last picture left incomplete tells, every time.
    with av.open(str(whole)) as container:
        key = next(p.pos for p in container.demux(container.streams.video[0]) if p.is_keyframe and p.pos > len(ts) / 2)
    for size, short in ((len(ts), False), (key, False), (key + 188, True)):  # whole, after a picture, inside one
        (part := tmp_path / f"{size}.ts").write_bytes(ts[:size])
        status, _, err = read(part)
        assert (last_picture_cut(str(part)), status, err.count("\n")) == (short, 0, short), err
        assert err.startswith(f"quorvel-read: {part}: the video is cut short: ") == short
    # Frame threads catch some such cuts themselves: that the reader warns for every one rests on the check.
    monkeypatch.setattr(quorvel_video, "last_picture_cut", lambda path: True)
    list(quorvel_video.decoded_frames(str(whole), (warned := []).append)[2])
    assert len(warned) == 1
    # Matroska states its length in a tag, MP4 in the stream: cut between two frames, that is all that tells.
    (cut_mkv := tmp_path / "cut.mkv").write_bytes(video.read_bytes()[:video.stat().st_size // 2])
    with av.open(str(sound)) as mp4:
        end = sorted(p.pos + p.size for p in mp4.demux(mp4.streams.video[0]) if p.size)[60]
    (cut_mp4 := tmp_path / "cut.mp4").write_bytes(sound.read_bytes()[:end])
    for clip, said in ((cut, ""), (cut_mkv, " of 1.200 s"), (cut_mp4, " of 1.200 s")):
        status, out, err = read(clip)
        assert status == 0 and f"quorvel-read: {clip}: the video is cut short: " in err and err.count("\n") == 1
        assert f"{said}; reading what decoded" in err, err

    # Three runs in one clip, each after half a second without a code: the first filmed from its middle,
    # the second told apart at its frame 1, the third by its ticks, 8 s on where the video moved 0.54 s;
    # the pauses in no figure. Frames 4 and 5 of the first in one video frame, 5 in the lower band, as a
    # rolling shutter shows them.
    texts = [f"{TICKS[n] + run * 900000 + run // 2 * 8000000} {n + 1}" for run, frames in enumerate(
        (range(3, 10), range(10), range(19, 25))) for n in frames for _ in range(4)]
    texts[0], texts[28:28], texts[118:118] = (texts[0], texts[4]), [None] * 50, [None] * 50
    clip, table, report = footage.film(tmp_path / "runs.mkv", texts, size=(320, 400)), tmp_path / "runs.csv", \
        tmp_path / "runs.json"
    status, out, err = read(clip, "--csv", table, "--report", report)
    rows = list(csv.DictReader(table.open()))
    assert (status, err, len(rows)) == (0, "", 23) and f"{clip}: video: 3 runs of quorvel" in out
    assert f"{clip}: video: run 1: frames 4 to 10, 7 seen, from 0.000 s to 0.240 s\n" \
           f"{clip}: video: run 2: frames 1 to 10, 10 seen, from 0.780 s to 1.140 s\n" \
           f"{clip}: video: run 3: frames 20 to 25, 6 seen, from 1.680 s to 1.880 s\n" in out
    assert f"{clip}: video: 1 video frames hold two consecutive frames" in out
    glass = json.loads(report.read_text())["glass"]
    assert (glass["out_of_order"], glass["on_glass_ms"]["max"]) == (0, pytest.approx(80, abs=0.05))
    assert [(r["frame"], r["first_seen_s"], int(r["first_seen_row"]) > 150) for r in rows[:3]] == [
        ("4", "0.000000", False), ("5", "0.000000", True), ("6", "0.080000", False)]
    # Two windows in view, one left at frame 2 as the other starts: its code stays in its run.
    clip = footage.film(tmp_path / "windows.mkv", [("1000 1", "2000 2")] * 3 + [("2000 2", "1000000 1")] * 3
                        + [("2000 2", "1001000 2")] * 3, size=(320, 400))
    status, out, err = read(clip)
    assert (status, err) == (0, "") and f"{clip}: video: the runs' codes alternate" in out, err
    assert f"{clip}: video: run 2: frames 1 to 2, 2 seen" in out and "3 video frames hold two consecutive" in out
    # A second window come into view below the one followed, its frame numbers far ahead, is found.
    clip = footage.film(tmp_path / "later.mkv", [f"{T(n)} {n}" for n in range(1, 6)] + [
        (f"{T(n)} {n}", f"{T(n) + 3000} {n + 500}") for n in range(6, 80)], size=(320, 400))
    assert f"{clip}: video: 2 runs of quorvel" in read(clip)[1]


@pytest.mark.parametrize("field,padded_out", [
    (b"", False), (b"\x00", True), (b"\x01\x00", True),  # none; its length byte alone, or flags that announce nothing
    (b"\x07\x50" + bytes(6), False), (b"\x09\x10" + bytes(6) + b"\xff\xff", True),  # a PCR, exactly or with stuffing
    (b"\x04\x02\x02ab", False), (b"\x05\x01\x02ab\xff", True),  # private data or an extension, each with its length
])
def test_a_transport_packet_is_padded_where_its_adaptation_field_holds_more_than_its_flags_announce(field, padded_out):
    assert padded(b"\x47\x01\x00" + bytes([0x30 if field else 0x10]) + field + bytes(184 - len(field))) == padded_out


def sighted(frames, fps=100, ticks=None):
    """The sightings of video frames, each a list of codes' texts, one row apart."""
    sightings = Sightings(ticks)
    for v, texts in enumerate(frames):
        sightings.take(v / fps, [(text, (0, row, 9, row + 9)) for row, text in enumerate(texts)])
    return sightings


def T(n, later=0):  # the tick of frame n of a run at 20000 μs, `later` seconds on
    return 10000000 + n * 20000 + int(later * 1e6)


@pytest.mark.parametrize("frames,seen,ratio,longest", [
    # A display frozen 1.5 s on frame 10 shows frame 11, drawn before it froze, late; then frame 12, drawn after.
    ([[[f"{T(n)} {n}"]] * 2 for n in range(1, 11)] + [[[f"{T(10)} 10"]] * 150] + [[[f"{T(11)} 11"]] * 2]
     + [[[f"{T(n, 1.5)} {n}"]] * 2 for n in range(12, 30)], [29], 1, 1520),
    # A slow-motion export, 4 times slower, that loses the code for a second of its timeline.
    ([[[f"{T(n)} {n}"]] * 8 for n in range(1, 40)] + [[[]] * 100] + [[[f"{T(n)} {n}"]] * 8 for n in range(53, 70)],
     [56], 4, 270),
    # Run 2 filmed late, half a second on: its ticks 8 s on.
    ([[[f"{T(n)} {n}"]] * 2 for n in range(1, 51)] + [[[]] * 50] + [[[f"{T(n, 8)} {n}"]] * 2 for n in range(60, 101)],
     [50, 41], 1, 20),
    # Two windows side by side on one machine, their frame numbers far apart, their ticks close.
    ([[[f"{T(n)} {n}", f"{T(n) + 3000} {n + 500}"]] * 2 for n in range(1, 41)], [40, 40], 1, 20),
], ids=["frozen", "slowed", "filmed late", "two windows"])
def test_runs_are_told_apart_by_frame_tick_and_timeline_and_no_film_makes_a_traceback(frames, seen, ratio, longest):
    sightings = sighted([texts for each in frames for texts in each])
    report = glass_figures(100.0, sightings, None)[0]
    assert ([r["frames_seen"] for r in report["runs"]], report["video"]["alternate"]) == (seen, frames[0][0][1:] != [])
    assert [r["fit"]["clock_ratio"] for r in report["runs"]] == pytest.approx([ratio] * len(seen), rel=0.01)
    assert report["glass"]["on_glass_ms"]["max"] == pytest.approx(longest)  # never from one run to the next
    # Codes shuffled, repeated, dropped, interleaved, not quorvel's, with and without a log: never a traceback,
    # never an empty run, every frame seen in one run.
    rng = random.Random(len(frames))
    for _ in range(25):
        runs = [(rng.choice([rng.randrange(10 ** 7), 10 ** 19]), rng.choice([1, 16667, 40000]), rng.randrange(1, 99))
                for _ in range(rng.randint(1, 3))]
        codes = [[f"{base + n * step} {first + n}"] for base, step, first in runs for n in range(rng.randint(1, 40))
                 for _ in range(rng.randint(0, 3))] + [["x 1", "1 2 3"], []]
        a, b = sorted(rng.sample(range(len(codes) + 1), 2))
        codes[a:b] = rng.sample(codes[a:b], b - a)
        codes = [x + y for x, y in zip(codes, codes[::-1])] if rng.random() < 0.3 else codes
        base, step, first = runs[0]
        log = {first + n: base + n * step for n in range(40)} if rng.random() < 0.3 else None
        sightings = sighted(codes, rng.choice([30, 100, 240]), log)
        if sightings.seen:
            report, missing, fits = glass_figures(100.0, sightings, log and {n: t + 5000 for n, t in log.items()})
            if log and fits:
                report["input"] = input_figures(fits, sightings, {n: t - 7000 for n, t in log.items() if n % 3 == 0})
            json.dumps(summary("f", report, missing) and {k: v for k, v in report.items() if k != "residuals_ms"},
                       allow_nan=False)
            runs = [r["frames_seen"] for r in report["runs"]]
            assert min(runs) > 0 and sum(runs) == len(sightings.seen) and len(runs) == sightings.runs


def test_failures_say_one_line_and_write_all_outputs_or_none(tmp_path, known, monkeypatch):
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
    # A rename that fails after the checks, as on a full disk, puts back the outputs already renamed.
    replace = os.replace
    monkeypatch.setattr(os, "replace", lambda a, b: os.rmdir(a) if str(b).endswith("z.json") else replace(a, b))
    with pytest.raises(quorvel_writer.Failed, match="z.json"):
        quorvel_writer.write_all([(kept, b"new\n"), (str(tmp_path / "z.json"), b"")])
    # A device is written as it is, though an ordinary user may not write its folder.
    monkeypatch.setattr(os, "access", lambda path, mode: not os.path.isdir(path))
    quorvel_writer.writable("/dev/null")
    with pytest.raises(quorvel_writer.Failed, match="Permission denied"):
        quorvel_writer.writable(str(kept))
    monkeypatch.undo()
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
