"""quorvel-plot, quorvel-read and quorvel-export on real logs and hostile files."""
import contextlib
import csv
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
from quorvel import log as quorvel_log
from harness import BIN, DATA, await_rows, run, weston, xvfb

PLOT, READ = os.environ["QUORVEL_PLOT"], os.environ["QUORVEL_READ"]
EXPORT = os.path.join(os.path.dirname(PLOT), "quorvel-export")
SCRIPTS = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "scripts")
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
    args = [BIN, "--log", log, "--report", report, "10000"]
    command = {"direct": args, "with-xvfb": [os.path.join(SCRIPTS, "with-xvfb"), *args],
               "scripts/run": [os.path.join(SCRIPTS, "run"), *args[1:]]}[way]
    env = {k: v for k, v in os.environ.items() if k != "DISPLAY"}
    env.update(QUORVEL_BUILD_DIR=os.path.dirname(BIN), QUORVEL_RUN_SECONDS="60")
    with xvfb() if way == "direct" else contextlib.nullcontext() as display:
        proc = subprocess.Popen(list(map(str, command)), cwd=DATA, env={**env, "DISPLAY": display or ""},
                                stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True, start_new_session=True)
        await_rows(log, 30, seconds=60)
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
    command = f"{os.path.join(SCRIPTS, 'with-xvfb')} bash -c 'read -t 5 x; echo got=$x'"
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


# Measured intervals, three long: the second is a stutter against a window of 31 or 33 intervals, not the right 32.
STEADY = [25000] + [10000] * 39 + [30000] + [10000] * 31 + [26540] + [10000] * 10 + [40000] + [10000] * 5
ERRORS = {1: "", 10: -1234, 11: 1234, 20: "", 30: ""}  # the animation errors that are not 0


def made_up_log(path):
    """Two warm-up frames, then STEADY; each frame shown 5000 μs after its swap, but frame 10 1234 μs later,
    frame 20 discarded, no word on frame 30's present, and frame 40 answering a press 3000 μs before it started."""
    rows, end = [HEADER[:-1] + ",present_flags,measured,input_us,held_us,woke_late_us,animation_error_us\n"], 10**6
    for n, interval in enumerate([None, 10000] + STEADY, start=1):
        end += interval or 0
        present = {20: ",,skip", 30: ",,"}.get(n, f"{end + 777 + 5000 + 1234 * (n == 10)},{n},copy")
        rows.append(f"{n},{end - 2000},{end},{interval or ''},2000,{end + 777},{present},,{int(n > 2)},"
                    f"{end - 5000 if n == 40 else ''},0,0,{ERRORS.get(n, 0)}\n")
    path.write_text("".join(rows))
    return "".join(rows)


def read_back(text):
    """An exported file read by the documented rules: leading // lines skipped, then the header where a line starts
    with Application or holds frametime, after MangoHud's two lines of system facts; columns by name in any case."""
    lines = text.splitlines()
    while lines[0].startswith("//"):
        lines.pop(0)
    if not (lines[0].startswith("Application") or "frametime" in lines[0].lower()):
        assert lines[0] == "os,cpu,gpu,ram,kernel,driver,cpuscheduler" and len(next(csv.reader(lines[1:2]))) == 7
        lines = lines[2:]
    header, *rows = csv.reader(lines)
    return {name.lower(): list(column) for name, column in zip(header, zip(*rows))}


def exported(log_path):
    """Both exports of a log, read back, against the log: the measured frames' times, each in the format's unit from
    the swap end before the first, Dropped, MsUntilDisplayed and the animation errors; PresentMon's columns."""
    log = quorvel_log.read(log_path)
    rows = [r for r, m in zip(zip(*(log[c] for c in ("interval_us", "swap_end_mono_us", "present_ust", "present_mode",
                                                     "animation_error_us"))), quorvel_log.measured(log)) if m]
    elapsed = [sum(r[0] for r in rows[:n + 1]) for n in range(len(rows))]
    for to in ("mangohud", "presentmon"):
        status, out, err = tool(EXPORT, "--to", to, log_path)
        got = read_back(out)
        assert (status, err) == (0, "") and [round(1000 * float(t)) for t in
                                             got.get("msbetweenpresents", got.get("frametime"))] == [r[0] for r in rows]
        clock = [round(float(t) * 1e6) for t in got["timeinseconds"]] if "timeinseconds" in got else [
            int(ns) / 1000 for ns in got["elapsed"]]
        assert clock == elapsed
    shown = [r[2] is not None and r[3] != "skip" for r in rows]
    assert got["dropped"] == [{"skip": "1", None: "NA"}.get(r[3], "0") for r in rows]
    assert [None if t == "NA" else round(1000 * float(t)) for t in got["msuntildisplayed"]] == [
        r[2] - r[1] if s else None for r, s in zip(rows, shown)]
    assert [None if t == "NA" else round(1000 * float(t)) for t in got["msanimationerror"]] == [r[4] for r in rows]
    return got, log


def test_a_made_up_log_exports_its_known_stutters_animation_errors_and_input_to_photon(tmp_path):
    made_up_log(log := tmp_path / "log.csv")
    pm, _ = exported(log)
    assert quorvel_log.stutters(STEADY) == [40, 83] and pm["msallinputtophotonlatency"][40 - 3] == "10.000"
    assert {*pm["msclicktophotonlatency"]} == {"NA", "10.000"} and pm["msbetweendisplaychange"][21 - 3] == "20.000"
    assert {*pm["syncinterval"]} == {"NA"} and tool(PLOT, log)[:2] == (0, f"{tmp_path / 'log.png'}\n")
    assert tool(EXPORT, "--to", "mangohud", log, "-o", out := tmp_path / "out.csv") == (0, "", "")
    assert out.read_text() == tool(EXPORT, "--to", "mangohud", log)[1] and len(os.listdir(tmp_path)) == 3


@pytest.mark.parametrize("wayland", [False, True], ids=["xvfb", "weston"])
def test_a_real_run_exports_as_its_log_and_report_say(tmp_path, wayland):
    log, report = tmp_path / "run.csv", tmp_path / "run.json"
    with weston() if wayland else xvfb() as server:
        status, _, err = run(*(["", "--winsys", "wayland"] if wayland else [server]), "--input", "--frames", "90",
                             "--log", str(log), "--report", str(report), "10000", env=server[1] if wayland else None)
    assert (status, err) == (0, "")
    pm, rows = exported(log)
    figures = json.loads(report.read_text())
    words = {"copy": "Composed: Flip" if wayland else "Composed: Copy with GPU GDI"}
    measured = [i for i, m in zip(rows["interval_us"], quorvel_log.measured(rows)) if m]
    assert len(quorvel_log.stutters(measured)) == figures["frames"]["stutters"] and len(measured) == 69
    assert pm["presentmode"] == [words.get(m, "NA") for m, k in zip(rows["present_mode"], rows["measured"]) if k]
    assert {*pm["syncinterval"], *pm["allowstearing"]} == {"0"} | ({"NA"} if not wayland else set())
    assert ("0" in pm["dropped"]) == wayland  # presents came


EXPORT_REFUSALS = [  # the export's arguments, with L for the log and O for a file it must not replace; the reason
    (["--to", "mangohud", "none.csv"], "none.csv: No such file or directory"),
    (["--to", "excel", "L"], "argument --to: invalid choice: 'excel' (choose from 'presentmon', 'mangohud')"),
    (["--to", "mangohud", "L", "--report", "O"], "O: not a quorvel report: Expecting value: line 1 column 1 (char 0)"),
    (["--to", "presentmon", "O", "-o", "out.csv"], "O: not a quorvel log: the header should start with "
                                                    + ",".join(quorvel_log.COLUMNS)),
    (["--to", "presentmon", "blank.csv", "-o", "out.csv"], "blank.csv: line 9: start_us is blank"),
    (["--to", "presentmon", "huge.csv"], "huge.csv: not a CSV file: field larger than field limit (131072)"),
    (["--to", "presentmon", "L", "-o", "O"], "O: cannot be written: Permission denied"),
    (["--to", "mangohud", "L", "-o", "none/out.csv"], "none/out.csv: cannot be written: No such file or directory"),
]


@pytest.mark.parametrize("args,said", EXPORT_REFUSALS, ids=range(len(EXPORT_REFUSALS)))
def test_export_refuses_bad_input_in_one_line_and_writes_nothing(tmp_path, args, said):
    text = made_up_log(tmp_path / "L")
    (tmp_path / "blank.csv").write_text(re.sub(r"\n8,\d+,", "\n8,,", text))
    (tmp_path / "huge.csv").write_text(text + '"' + "9" * 200000 + '"\n')
    (kept := tmp_path / "O").write_text("old\n")
    kept.chmod(0o444)
    before = sorted(os.listdir(tmp_path))
    done = subprocess.run([EXPORT, *args], cwd=tmp_path, capture_output=True, text=True, timeout=60)
    assert (done.returncode, done.stdout, done.stderr) == (2, "", f"quorvel-export: {said}\n")
    assert (sorted(os.listdir(tmp_path)), kept.read_text()) == (before, "old\n")
