"""Every way a run can be refused or fail, what is answered before any run, and hostile command lines."""
import json
import os
import random
import shutil
import signal
import time

import pytest

from harness import BANNER, BIN, DATA, finish, run, start, xvfb

BAD_INPUT = [
    (["--frames", "12x"], "--frames needs a whole number of frames above 0, not '12x'"),
    (["--frames", "-3"], "--frames needs a whole number of frames above 0, not '-3'"),
    (["--duration", "abc"], "--duration needs a number of seconds above 0, not 'abc'"),
    (["--duration", "-1"], "--duration needs a number of seconds above 0, not '-1'"),
    (["--duration", "nan"], "--duration needs a number of seconds above 0, not 'nan'"),
    (["--pace", "fast"], "--pace needs busy or hybrid, not 'fast'"),
    (["--winsys", "mir"], "--winsys needs auto, x11, wayland or offscreen, not 'mir'"),
    (["-v", "--log"], "--log needs a value"),
    (["--winsys", "offscreen", "--inject", "2"], "--inject offscreen: there is no window to press keys on"),
    (["--log", "/nonexistent/q.csv"], "--log: cannot create /nonexistent/q.csv: No such file or directory"),
    (["--report", "/tmp"], "--report: cannot create /tmp: Is a directory"),
]


@pytest.mark.parametrize("args,message", BAD_INPUT)
def test_bad_input_is_refused_before_any_window(args, message):
    # No X server at all: a run that reached for a window would fail otherwise.
    assert run(":99999", *args) == (2, BANNER, f"quorvel: {message}\n")


@pytest.mark.parametrize("display", [None, ":99999"])
@pytest.mark.parametrize("wayland", [None, "wayland-99"])
def test_help_and_the_window_system_list_answer_from_the_environment_alone(display, wayland):
    # Neither server exists: reaching for one would fail the run.
    status, out, err = run(display, "--winsys", "list", env={"WAYLAND_DISPLAY": wayland})
    rows, auto = json.loads(out), "wayland" if wayland and not display else "x11"
    assert (status, err) == (0, "") and [(r["name"], r["session"], r["auto"], r["shows"]) for r in rows] == [
        ("x11", bool(display), auto == "x11", True), ("wayland", bool(wayland), auto == "wayland", True),
        ("offscreen", True, False, False)]
    assert [(r["options"][:2], r["inject_refusal"]) for r in rows[::2]] == [
        (["-display NAME", "-geometry WxH+X+Y"], None), ([], "--inject offscreen: there is no window to press keys on")]
    status, out, err = run(display, "--help", env={"WAYLAND_DISPLAY": wayland})
    assert (status, err) == (0, "") and out.startswith(f"Usage: {BIN} [-vh] [interval]\n    -v: enable vsync on.\n")
    assert "    --winsys list: " in out and out.endswith(" -sync), wayland, offscreen.\n")


def test_a_failed_start_publishes_nothing_and_leaves_an_earlier_log_as_it_was(tmp_path):
    (old := tmp_path / "old.csv").write_text("an earlier run\n")
    records = "--report", str(tmp_path / "r.json"), "--summary"
    # A later option's failure, no X server, and a GL without 2.0.
    assert run(":99999", "--log", str(old), "--report", "/nonexistent/r.json")[::2] == (
        2, "quorvel: --report: cannot create /nonexistent/r.json: No such file or directory\n")
    status, out, err = run(":99999", "--log", str(old), *records)
    assert (status, out) == (1, BANNER) and "failed to open display" in err
    status, out, _ = run(":99999", "--log", str(tmp_path / "new.csv"), *records)
    with xvfb() as display:
        assert run(display, "--log", str(old), *records, env={"MESA_GL_VERSION_OVERRIDE": "1.5"}) == (
            1, BANNER, "No support for OpenGL 2.0 found\n")
    assert (status, out) == (1, BANNER) and os.listdir(tmp_path) == ["old.csv"]
    assert old.read_text() == "an earlier run\n"


HEAD = '"$0" "$@" | head -1; exit "${PIPESTATUS[0]}"'


def test_a_failed_write_fails_the_run_with_its_message_and_a_reader_gone_ends_it_quietly(tmp_path):
    log, report = tmp_path / "log.csv", tmp_path / "r.json"
    with xvfb() as display:
        assert run(display, "--frames", "30", "--log", "/dev/full")[::2] == (
            1, "quorvel: --log: cannot write /dev/full: No space left on device\n")
        with open("/dev/full", "w") as full:
            assert run(display, "--frames", "30", "--summary", stdout=full)[::2] == (
                1, "quorvel: cannot write standard output: No space left on device\n")
        assert run(display, "-c", 'exec "$0" "$@" >&-', BIN, "--frames", "30", program="bash")[::2] == (
            1, "quorvel: cannot write standard output: Bad file descriptor\n")
        assert run(display, "-c", HEAD, BIN, "--frames", "40", "--summary", "--log", str(log), "--report", str(report),
                   "0", program="bash") == (128 + signal.SIGPIPE, "\n", "")
    rows = log.read_text().splitlines()[1:]  # the records whole, as far as the run went
    assert json.loads(report.read_text())["frames"]["measured"] == sum(r.split(",")[10] == "1" for r in rows)
    assert sorted(os.listdir(tmp_path)) == ["log.csv", "r.json"]


@pytest.mark.parametrize("args", [["--winsys", "list"], ["--help"]], ids=["list", "help"])
def test_an_answer_is_whole_for_head_quiet_for_a_reader_gone_and_names_a_failed_write(args):
    assert run(None, "-c", HEAD, BIN, *args, program="bash")[0::2] == (0, "")  # one write, read before head leaves
    read, write = os.pipe()
    os.close(read)
    assert run(None, *args, stdout=write) == (-signal.SIGPIPE, "", "")
    os.close(write)
    with open("/dev/full", "w") as full:
        assert run(None, *args, stdout=full)[::2] == (1, "quorvel: cannot write standard output: No space left on device\n")
    assert run(None, "-c", 'exec "$0" "$@" >&-', BIN, *args, program="bash")[::2] == (
        1, "quorvel: cannot write standard output: Bad file descriptor\n")


VERTEX = "attribute vec4 coord; varying vec2 uv; void main() { gl_Position = vec4(coord.xy, 0.0, 1.0); uv = coord.zw; }"
FRAGMENT = "varying vec2 uv; uniform sampler2D tex; uniform vec4 color; void main() { gl_FragColor = color * texture2D(tex, uv).a; }"
FONT = None  # the real font, linked in
SET_UP = [  # font, vertex shader, fragment shader (None: no file), and what standard error holds or starts with
    (b"\x8f\x11random\xfe bytes\x01", VERTEX, FRAGMENT, "Could not open font FreeSans.ttf\n"),
    ("missing", VERTEX, FRAGMENT, "Could not open font FreeSans.ttf\n"),
    (FONT, None, FRAGMENT, "Error opening text.v.glsl: No such file or directory\n"),
    (FONT, VERTEX, None, "Error opening text.f.glsl: No such file or directory\n"),
    (FONT, "void main() { oops }", FRAGMENT, "text.v.glsl:"),
    (FONT, "// " + "x" * (16 * 1024 * 1024 + 100), FRAGMENT, "text.v.glsl:"),  # cut at 16 MiB: no main()
    (FONT, VERTEX, "varying vec4 nowhere; void main() { gl_FragColor = nowhere; }", "glLinkProgram:"),
    (FONT, VERTEX, FRAGMENT.replace("color *", "vec4(1.0) *").replace("uniform vec4 color;", ""), "Could not bind uniform color\n"),
    (FONT, "void main() { gl_Position = vec4(0.0); }", "void main() { gl_FragColor = vec4(1.0); }",
     "Could not bind attribute coord\nCould not bind uniform tex\nCould not bind uniform color\n"),
]


@pytest.mark.parametrize("font,vertex,fragment,message", SET_UP, ids=range(len(SET_UP)))
def test_set_up_failures_end_the_run_with_status_0(tmp_path, font, vertex, fragment, message):
    if font is FONT:
        (tmp_path / "FreeSans.ttf").symlink_to(f"{DATA}/FreeSans.ttf")
    elif font != "missing":
        (tmp_path / "FreeSans.ttf").write_bytes(font)
    for name, text in (("text.v.glsl", vertex), ("text.f.glsl", fragment)):
        if text is not None:
            (tmp_path / name).write_text(text)
    # A copy of the program, away from the data directory it would fall back on.
    program = shutil.copy(BIN, tmp_path)
    with xvfb() as display:  # a run that never drew a frame publishes no figures
        status, out, err = run(display, "--summary", "--report", "r.json", cwd=tmp_path, program=program)
    assert (status, out, (tmp_path / "r.json").exists()) == (0, BANNER, False)
    assert err == message if message.endswith("\n") else err.startswith(message), err


PIECES = "-v -h -vh -- - -x -5 0 1 5000 -2147483648 2147483647 99999999999999999999 +12 abc 5000x \u03bc %s%n%d " \
         "-display -geometry 1x1+0+0 --frames --duration --pace hybrid --summary --fr --summary=1 0.5 --qr".split() \
         + ["", " 42", "9" * 20000]


def test_random_command_lines_never_crash():
    rng = random.Random(20261206)
    with xvfb() as display:
        for _ in range(16):
            args = [rng.choice(PIECES) for _ in range(rng.randrange(5))]
            proc = start(display, *args)
            time.sleep(0.5)
            proc.send_signal(signal.SIGTERM)
            status, out, err = finish(proc)
            assert status in (0, 1, 2, -signal.SIGTERM) and out.startswith(BANNER), (args, status, err)
