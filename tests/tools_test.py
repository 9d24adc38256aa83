"""quorvel-plot and quorvel-read on real logs and hostile files."""
import contextlib
import json
import os
import re
import signal
import struct
import subprocess
import time
import zlib

import pytest
from PIL import Image

import footage
import quorvel_log
from harness import BIN, DATA, xvfb

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


def in_session(sid):
    """The processes left in session `sid`; an orphan's zombie, gone but for init's reaping, is not one."""
    def session(pid):
        with contextlib.suppress(OSError):
            with open(f"/proc/{pid}/stat") as f:
                state, _, _, session = f.read().rsplit(")", 1)[1].split()[:4]
                return state != "Z" and int(session)
    return [pid for pid in os.listdir("/proc") if pid.isdigit() and session(pid) == sid]


@pytest.mark.parametrize("sig", [signal.SIGINT, signal.SIGTERM, signal.SIGKILL], ids=lambda s: s.name)
@pytest.mark.parametrize("to_group", [False, True], ids=["process", "group"])
@pytest.mark.parametrize("way", ["direct", "with-xvfb", "scripts/run"])
def test_a_stop_signal_reaches_the_program_once_however_it_is_sent_and_the_records_are_whole(tmp_path, way, to_group,
                                                                                                 sig):
    """As from a service manager (the process) or a terminal's Ctrl-C (the group); the wrappers end as it did.
    SIGKILL, as from `timeout -s KILL` or a CI cancel, cannot be passed on: the wrappers' X server and program go too."""
    if sig == signal.SIGKILL and way == "direct":
        pytest.skip("nothing is left to take along")
    log, report = tmp_path / "log.csv", tmp_path / "report.json"
    scripts, args = os.path.dirname(READ), [BIN, "--log", log, "--report", report, "10000"]
    command = {"direct": args, "with-xvfb": [os.path.join(scripts, "with-xvfb"), *args],
               "scripts/run": [os.path.join(scripts, "run"), *args[1:]]}[way]
    env = {k: v for k, v in os.environ.items() if k != "DISPLAY"}
    env.update(QUORVEL_BUILD_DIR=os.path.dirname(BIN), QUORVEL_RUN_SECONDS="60")
    with xvfb() if way == "direct" else contextlib.nullcontext() as display:
        proc = subprocess.Popen(list(map(str, command)), cwd=DATA, env={**env, "DISPLAY": display or ""},
                                stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True, start_new_session=True)
        end = time.monotonic() + 60
        while not (log.exists() and log.read_text().count("\n") > 30) and time.monotonic() < end:
            time.sleep(0.1)
        (os.killpg if to_group else os.kill)(proc.pid, sig)
        status = proc.wait(timeout=30)
    end = time.monotonic() + 10 * (sig == signal.SIGKILL)  # after a SIGKILL the rest go by themselves
    while (left := in_session(proc.pid)) and time.monotonic() < end:
        time.sleep(0.1)
    for pid in left:  # not left running by a failure
        os.kill(int(pid), signal.SIGKILL)
    assert status == -sig and left == []  # the X server stopped too
    if sig != signal.SIGKILL:
        rows, err = quorvel_log.read(log), proc.stderr.read()
        assert not re.search(r"^(quorvel|with-xvfb):", err, re.M), err  # scripts/run builds first
        assert json.loads(report.read_text())["frames"]["measured"] == sum(quorvel_log.measured(rows)) > 10


def test_a_wrapped_command_can_read_its_terminal():
    command = f"{os.path.join(os.path.dirname(READ), 'with-xvfb')} bash -c 'read -t 5 x; echo got=$x'"
    done = subprocess.run(["script", "-qec", command, "/dev/null"], input="hello\n", capture_output=True, text=True,
                          timeout=60)
    assert "got=hello" in done.stdout, done.stdout


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
