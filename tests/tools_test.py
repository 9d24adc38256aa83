"""quorvel-plot and quorvel-read on real logs and hostile files."""
import os
import struct
import subprocess
import time
import zlib

import pytest
from PIL import Image

import footage

PLOT, READ = os.environ["QUORVEL_PLOT"], os.environ["QUORVEL_READ"]
HEADER = "frame,start_us,swap_end_us,interval_us,duration_us,swap_end_mono_us,present_ust,present_msc,present_mode\n"
ROWS = "".join(f"{n},{n}000,{n}500,{'' if n == 1 else 1000},500,{n}900,,,\n" for n in range(1, 30))


def tool(*args):
    done = subprocess.run(list(map(str, args)), capture_output=True, text=True, timeout=60)
    return done.returncode, done.stdout, done.stderr


@pytest.mark.parametrize("text,status,err", [
    (ROWS[:ROWS.index("\n") + 1], 1, "nothing was measured: the log holds 1 frame and no interval"),
    (ROWS + "30,30000,305", 0, "line 31 is cut short; drawing the 29 whole rows"),
], ids=["one frame", "cut short"])
def test_plot_draws_what_a_log_holds_or_says_why_not(tmp_path, text, status, err):
    (log := tmp_path / "log.csv").write_text(HEADER + text)
    assert tool(PLOT, log)[::2] == (status, f"quorvel-plot: {log}: {err}\n")
    assert (tmp_path / "log.png").exists() == (status == 0)


def chunk(kind, data):
    return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))


HUGE = b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", 100000, 100000, 8, 0, 0, 0, 0)) \
    + chunk(b"IDAT", zlib.compress(b"")) + chunk(b"IEND", b"")
READS = [  # file contents, status, standard output (with P for the path) or how standard error starts
    (HUGE, 2, "cannot read: too large to decode safely"),
    (footage.png("1 2")[:120], 2, "cannot read: "),  # cut short
    (b"frame,start_us\n", 2, "cannot read: "),
    (footage.png("12345678901234567890 5"), 0, "P: code 1: tick 12345678901234567890 frame 5 at "),
    (footage.png("1234567890123456789012345 5"), 1, "no code found"),  # more than 20 digits
    (footage.png("\u0661\u0662\u0663 \u0664"), 1, "no code found"),  # Arabic-Indic digits
]


@pytest.mark.parametrize("data,status,said", READS, ids=range(len(READS)))
def test_read_takes_only_whole_ascii_codes_and_refuses_hostile_files_in_one_line(tmp_path, data, status, said):
    (path := tmp_path / "picture.png").write_bytes(data)
    got, out, err = tool(READ, path)
    assert got == status
    if status:
        assert out == "" and err.startswith(f"quorvel-read: {path}: {said}") and err.count("\n") == 1, err
    else:
        assert out.startswith(said.replace("P", str(path))) and err == ""


def test_with_xvfb_passes_a_term_to_its_command_at_once_and_stops_its_server(tmp_path):
    said = tmp_path / "said"
    wrapper = subprocess.Popen([os.path.join(os.path.dirname(READ), "with-xvfb"), "sh", "-c",
                                f'echo "$$ ${{DISPLAY#:}}" > {said}.new && mv {said}.new {said} && exec sleep 60'])
    while not said.exists() and wrapper.poll() is None:
        time.sleep(0.05)
    command, display = map(int, said.read_text().split())
    wrapper.terminate()  # the wrapper alone, as a service manager does
    assert wrapper.wait(timeout=10) == 143
    with pytest.raises(ProcessLookupError):
        os.kill(command, 0)
    assert not os.path.exists(f"/tmp/.X11-unix/X{display}")


def test_a_photo_is_read_as_it_is_shown(tmp_path):
    # Held upside down: the pixels turned half round, and the EXIF orientation that turns them back.
    shown = Image.new("L", (400, 200))
    for x, text in ((20, "1000 1"), (240, "3000 2")):
        shown.paste(Image.fromarray(footage.code(text)), (x, 20))
    exif = Image.Exif()
    exif[0x0112] = 3
    shown.rotate(180).save(photo := tmp_path / "photo.jpg", exif=exif, quality=95)
    status, out, err = tool(READ, photo)
    assert (status, err) == (0, "") and f"{photo}: code 2 - code 1: 2000 \u03bcs\n" in out
