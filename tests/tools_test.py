"""quorvel-plot and quorvel-read on real logs and hostile files."""
import os
import struct
import subprocess
import zlib

import pytest
from PIL import Image

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


def code(text):
    return subprocess.run(["qrencode", "-s", "4", "-o", "-", text], capture_output=True, check=True).stdout


HUGE = b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", 100000, 100000, 8, 0, 0, 0, 0)) \
    + chunk(b"IDAT", zlib.compress(b"")) + chunk(b"IEND", b"")
READS = [  # file contents, status, standard output (with P for the path) or how standard error starts
    (HUGE, 2, "cannot read: too large to decode safely"),
    (code("1 2")[:120], 2, "cannot read: "),  # cut short
    (b"frame,start_us\n", 2, "cannot read: "),
    (code("12345678901234567890 5"), 0, "P: code 1: tick 12345678901234567890 frame 5 at "),
    (code("1234567890123456789012345 5"), 1, "no code found"),  # more than 20 digits
    (code("\u0661\u0662\u0663 \u0664"), 1, "no code found"),  # Arabic-Indic digits
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
