"""The tick as a QR code, read back from screenshots with quorvel-read."""
import csv
import json
import os
import re
import subprocess
import time

import pytest

from PIL import Image

from harness import Screen, finish, start, xvfb
from run_test import read_log

READ = os.environ["QUORVEL_READ"]


def screenshot(screen, path, window=None):
    """Saves a window, or the whole screen, as a PNG."""
    Image.fromarray(screen.grab(window or screen.d.screen().root)).save(path)
    return path


def read(*images):
    done = subprocess.run([READ, *map(str, images)], capture_output=True, text=True, timeout=60)
    return done.returncode, done.stdout, done.stderr


def codes(out):  # (tick, frame) of each code, and the tick differences
    found = [(int(t), int(f)) for t, f in re.findall(r": tick (\d+) frame (\d+) at ", out)]
    return found, [int(d) for d in re.findall(r": code \d+ - code 1: (-?\d+) \u03bcs\n", out)]


def test_a_screenshot_reads_back_as_a_logged_frame_even_skewed_blurred_noisy_or_beside_another(tmp_path):
    logs = log, _ = [tmp_path / "log.csv", tmp_path / "beside.csv"]
    with xvfb() as display:  # 1600 pixels: the wider window moves left from x 400 to fit
        procs = [start(display, "--qr", "--duration", "5", "--log", str(log), "20000")]
        screen = Screen(display)
        windows = [screen.find()]
        shot = screenshot(screen, tmp_path / "shot.png", windows[0])
        assert windows[0].get_geometry().x == 1600 - 1324
        # A second program beside the first: one screenshot gives both ticks and their difference.
        procs.append(start(display, "--qr", "--duration", "3", "--log", str(logs[1]), "20000"))
        windows.append(screen.find(exclude=windows))
        for n, w in enumerate(windows):
            w.configure(x=800 * n, y=0, width=790, height=800)
        screen.d.sync()
        time.sleep(1)  # both draw at their new places
        both = screenshot(screen, tmp_path / "screen.png")
        assert [finish(p)[0] for p in procs] == [0, 0]
    found, differences = codes(read(both)[1])
    assert len(found) == 2 and differences == [found[1][0] - found[0][0]]
    assert all(read_log(each)[frame - 1]["start_us"] == tick for (tick, frame), each in zip(found, logs))
    pixels = Image.open(shot).convert("L")
    # The code, quiet zone included, is 33 modules of 4 pixels, 32 pixels in from the top right corner.
    assert pixels.width == 1324 and pixels.getpixel((1160, 32)) == pixels.getpixel((1291, 163)) == 255
    assert pixels.getpixel((1159, 32)) == pixels.getpixel((1292, 31)) == 0
    assert max(pixels.crop((1024, 164, 1324, 800)).getdata()) == 0  # no digit in its column
    status, out, err = read(shot)
    (tick, frame), = codes(out)[0]
    assert (status, err, read_log(log)[frame - 1]["start_us"]) == (0, "", tick)
    assert "at x 1176-1276 y 48-148" in out  # the code without its quiet zone

    bent = tmp_path / "bent.png"
    subprocess.run(["convert", shot, "-seed", "1", "-virtual-pixel", "black", "-distort", "Perspective",
                    "0,0 20,10  1324,0 1298,0  0,800 0,800  1324,800 1324,780",
                    "-blur", "0x1", "-attenuate", "0.3", "+noise", "Gaussian", bent], check=True)
    assert codes(read(bent)[1])[0] == [(tick, frame)]

    Image.new("L", (64, 64)).save(blank := tmp_path / "blank.png")
    assert read(blank, tmp_path / "missing.png") == (
        2, "", f"quorvel-read: {blank}: no code found\n"
               f"quorvel-read: {tmp_path}/missing.png: cannot read: No such file or directory\n")


def film(display, window, path, seconds=3):
    """Films a window at 100 frames a second with x11grab: a perfect camera."""
    g = window.get_geometry()
    subprocess.run(["ffmpeg", "-loglevel", "error", "-f", "x11grab", "-framerate", "100", "-video_size",
                    f"{g.width}x{g.height}", "-i", f"{display}.0+{g.x},{g.y}", "-t", str(seconds), "-c:v", "libx264",
                    "-qp", "0", "-preset", "ultrafast", str(path)], check=True, timeout=60)
    return path


DEGRADED = [  # ffmpeg filters that make the camera a poor one
    "pad=iw+200:ih+200:100:100,perspective=60:40:W-20:0:0:H-10:W-80:H-50:sense=destination,"
    "scale=trunc(iw*0.6/2)*2:-2,gblur=sigma=0.8,noise=alls=8:allf=t",
    "tblend=all_mode=average",  # a slow shutter across frame changes
]


def test_a_film_of_the_screen_gives_each_frame_on_glass_and_its_timing_even_from_a_poor_camera(tmp_path):
    log, table, report = tmp_path / "log.csv", tmp_path / "glass.csv", tmp_path / "glass.json"
    with xvfb() as display:
        proc = start(display, "--qr", "--inject", "10", "--pace", "hybrid", "--duration", "5", "--log", str(log), "40000")
        clean = film(display, Screen(display).find(), tmp_path / "clean.mkv")
        assert finish(proc)[0] == 0
    rows = read_log(log)
    status, out, err = read(clean, "--log", log, "--csv", table, "--report", report, "--plot", tmp_path / "glass.png")
    figures, seen = json.loads(report.read_text()), list(csv.DictReader(table.open()))
    assert (status, err, figures["video"]["bad_reads"], figures["glass"]["out_of_order"]) == (0, "", 0, 0)
    assert all(int(r["tick"]) == rows[int(r["frame"]) - 1]["start_us"] and int(r["video_frames"]) >= 1 for r in seen)
    # A perfect camera misses no frame that stayed on the screen for five of its frames, nor one that stayed
    # longer than its own longest gap between two frames, as its timestamps tell; one that a slow moment left
    # there for less, it may.
    numbers, first = {int(r["frame"]) for r in seen}, min(int(r["frame"]) for r in seen)
    shot = [float(t.strip(",")) for t in subprocess.run(["ffprobe", "-v", "error", "-select_streams", "v", "-show_entries",
                                              "frame=pts_time", "-of", "csv=p=0", clean], capture_output=True,
                                             text=True, check=True).stdout.split()]
    least = max(50000, 1e6 * max(b - a for a, b in zip(shot, shot[1:])) + 10000)
    lasting = {a["frame"] for a, b in zip(rows, rows[1:]) if b["swap_end_us"] - a["swap_end_us"] >= least}
    assert lasting & set(range(first, max(numbers) + 1)) <= numbers, (least, sorted(lasting - numbers))
    assert figures["glass"]["frames_seen"] == len(seen) >= 0.85 * figures["glass"]["frames_logged"] >= 50
    assert figures["fit"]["clock_ratio"] == pytest.approx(1, abs=0.01) and figures["glass"]["jitter_ms"]["p50"] < 10
    assert f"{clean}: video: {figures['video']['frames']} frames at " in out
    assert (tmp_path / "glass.png").stat().st_size > 0
    # Placed on the video's timeline through the fit against the swap ends, a press reaches the glass about as
    # long after it as its frame's swap end, give or take the camera's 10 ms frames.
    press, to_swap = figures["input"], sorted(r["swap_end_us"] - r["input_us"] for r in rows if r["input_us"])
    assert press["answers_logged"] == len(to_swap) >= 8 and press["answers_seen"] >= 8
    assert abs(press["to_glass_ms"]["p50"] - to_swap[len(to_swap) // 2] / 1000) < 20, (press, to_swap)
    # A poor camera still sees nine in ten of the frames that stayed three of its frames, and never a wrong one.
    steady = {a["frame"] for a, b in zip(rows, rows[1:]) if b["swap_end_us"] - a["swap_end_us"] >= 30000} & numbers
    for filters in DEGRADED:
        poor = tmp_path / "poor.mkv"
        subprocess.run(["ffmpeg", "-loglevel", "error", "-y", "-i", str(clean), "-vf", filters, "-c:v", "libx264",
                        "-crf", "23", "-preset", "veryfast", str(poor)], check=True, timeout=120)
        status, _, _ = read(poor, "--log", log, "--report", report, "--csv", table)
        found = {int(r["frame"]) for r in csv.DictReader(table.open())}
        assert (status, json.loads(report.read_text())["video"]["bad_reads"]) == (0, 0)
        assert len(steady) >= 40 and len(steady & found) >= 0.9 * len(steady), (filters, sorted(steady - found))
