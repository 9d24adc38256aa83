"""The tick as a QR code, read back from screenshots with quorvel-read."""
import os
import re
import subprocess
import time

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


def test_a_screenshot_reads_back_as_a_logged_frame_even_skewed_blurred_and_noisy(tmp_path):
    log = tmp_path / "log.csv"
    with xvfb(screen="1800x900x24") as display:  # room for the wider window at x 400
        proc = start(display, "--qr", "--duration", "3", "--log", str(log), "20000")
        screen = Screen(display)
        window = screen.find()
        shot = screenshot(screen, tmp_path / "shot.png", window)
        assert finish(proc)[0] == 0
    pixels = Image.open(shot).convert("L")
    # The code, quiet zone included, is 33 modules of 4 pixels in the top right corner of a wider window.
    assert pixels.width == 1324 and pixels.getpixel((1192, 0)) == pixels.getpixel((1323, 131)) == 255 != pixels.getpixel((1191, 0))
    assert max(pixels.crop((1024, 132, 1324, 800)).getdata()) == 0  # no digit in its column
    status, out, err = read(shot)
    (tick, frame), = codes(out)[0]
    assert (status, err, read_log(log)[frame - 1]["start_us"]) == (0, "", tick)
    assert "at x 1208-1308 y 16-116" in out  # the code without its quiet zone

    bent = tmp_path / "bent.png"
    subprocess.run(["convert", shot, "-seed", "1", "-virtual-pixel", "black", "-distort", "Perspective",
                    "0,0 20,10  1324,0 1298,0  0,800 0,800  1324,800 1324,780",
                    "-blur", "0x1", "-attenuate", "0.3", "+noise", "Gaussian", bent], check=True)
    assert codes(read(bent)[1])[0] == [(tick, frame)]

    Image.new("L", (64, 64)).save(blank := tmp_path / "blank.png")
    assert read(blank, tmp_path / "missing.png") == (
        2, "", f"quorvel-read: {blank}: no code found\n"
               f"quorvel-read: {tmp_path}/missing.png: cannot read: No such file or directory\n")


def test_two_programs_side_by_side_give_both_ticks_and_their_difference(tmp_path):
    logs = [tmp_path / "left.csv", tmp_path / "right.csv"]
    with xvfb(screen="1600x900x24") as display:
        screen = Screen(display)
        procs, windows = [], []
        for n, log in enumerate(logs):
            procs.append(start(display, "--qr", "--duration", "8", "--log", str(log), "20000"))
            windows.append(screen.find(exclude=windows))
            windows[-1].configure(x=800 * n, y=0, width=790, height=800)
            screen.d.sync()
        time.sleep(1)  # both draw at their new places
        shot = screenshot(screen, tmp_path / "screen.png")
        assert [finish(p)[0] for p in procs] == [0, 0]
    status, out, err = read(shot)
    found, differences = codes(out)
    assert status == 0 and len(found) == 2, out + err
    assert differences == [found[1][0] - found[0][0]]
    for (tick, frame), log in zip(found, logs):
        assert read_log(log)[frame - 1]["start_us"] == tick
