"""Every way a run can be refused or fail, and hostile command lines."""
import random
import shutil
import signal
import time

import pytest

from harness import BANNER, DATA, finish, run, start, xvfb

NO_X = ":99999"  # a run that reached for a window would fail differently

BAD_INPUT = [
    (["--frames", "12x"], "--frames needs a whole number of frames above 0, not '12x'"),
    (["--frames", "0"], "--frames needs a whole number of frames above 0, not '0'"),
    (["--frames", "-3"], "--frames needs a whole number of frames above 0, not '-3'"),
    (["--duration", "abc"], "--duration needs a number of seconds above 0, not 'abc'"),
    (["--duration", "-1"], "--duration needs a number of seconds above 0, not '-1'"),
    (["--duration", "nan"], "--duration needs a number of seconds above 0, not 'nan'"),
    (["--pace", "fast"], "--pace needs busy or hybrid, not 'fast'"),
    (["5000", "--log"], "--log needs a value"),
    (["--log", "/nonexistent/q.csv"], "--log: cannot create /nonexistent/q.csv: No such file or directory"),
    (["--report", "/tmp"], "--report: cannot create /tmp: Is a directory"),
]


@pytest.mark.parametrize("args,message", BAD_INPUT)
def test_bad_input_is_refused_before_any_window(args, message):
    status, out, err = run(NO_X, *args)
    assert (status, err) == (2, f"quorvel: {message}\n")
    assert out.startswith(BANNER) and "Terminated" not in out


def test_a_failed_write_is_reported_and_fails_the_run():
    with xvfb() as display:
        status, out, err = run(display, "--frames", "30", "--log", "/dev/full")
    assert (status, err) == (1, "quorvel: --log: cannot write /dev/full: No space left on device\n")


GOOD_VERTEX = ("attribute vec4 coord; varying vec2 uv;\n"
               "void main() { gl_Position = vec4(coord.xy, 0.0, 1.0); uv = coord.zw; }\n")
GOOD_FRAGMENT = ("varying vec2 uv; uniform sampler2D tex; uniform vec4 color;\n"
                 "void main() { gl_FragColor = color * texture2D(tex, uv).a; }\n")
FONT = None  # the real font, linked in
SET_UP = [  # font, vertex shader, fragment shader (None: no file), and what standard error holds
    (b"", GOOD_VERTEX, GOOD_FRAGMENT, "Could not open font FreeSans.ttf\n"),
    (b"\x8f\x11random\xfe bytes\x01", GOOD_VERTEX, GOOD_FRAGMENT, "Could not open font FreeSans.ttf\n"),
    ("missing", GOOD_VERTEX, GOOD_FRAGMENT, "Could not open font FreeSans.ttf\n"),
    (FONT, None, GOOD_FRAGMENT, "Error opening text.v.glsl: No such file or directory\n"),
    (FONT, GOOD_VERTEX, None, "Error opening text.f.glsl: No such file or directory\n"),
    (FONT, "", GOOD_FRAGMENT, "text.v.glsl:"),
    (FONT, "void main() { oops }", GOOD_FRAGMENT, "text.v.glsl:"),
    (FONT, GOOD_VERTEX, "varying vec4 nowhere; void main() { gl_FragColor = nowhere; }", "glLinkProgram:"),
    (FONT, GOOD_VERTEX, GOOD_FRAGMENT.replace("color *", "vec4(1.0) *").replace("uniform vec4 color;", ""),
     "Could not bind uniform color\n"),
    (FONT, "void main() { gl_Position = vec4(0.0); }", "void main() { gl_FragColor = vec4(1.0); }",
     "Could not bind attribute coord\nCould not bind uniform tex\nCould not bind uniform color\n"),
]


@pytest.mark.parametrize("font,vertex,fragment,message", SET_UP)
def test_set_up_failures_end_the_run_with_status_0(tmp_path, font, vertex, fragment, message):
    if font is FONT:
        (tmp_path / "FreeSans.ttf").symlink_to(f"{DATA}/FreeSans.ttf")
    elif font != "missing":
        (tmp_path / "FreeSans.ttf").write_bytes(font)
    for name, text in (("text.v.glsl", vertex), ("text.f.glsl", fragment)):
        if text is not None:
            (tmp_path / name).write_text(text)
    with xvfb() as display:
        status, out, err = run(display, cwd=tmp_path)
    assert (status, out) == (0, BANNER)
    assert err == message if message.endswith("\n") else err.startswith(message), err


def test_no_opengl_2_and_no_display_fail_with_their_messages():
    with xvfb() as display:
        assert run(display, env={"MESA_GL_VERSION_OVERRIDE": "1.5"})[::2] == (1, "No support for OpenGL 2.0 found\n")
    status, out, err = run("")
    assert status == 1 and "failed to open display" in err


def test_oversized_shader_is_cut_and_fails_to_compile(tmp_path):
    for name in ("FreeSans.ttf", "text.f.glsl"):
        (tmp_path / name).symlink_to(f"{DATA}/{name}")
    # Cut at 16 MiB, this is one unfinished comment: no main().
    (tmp_path / "text.v.glsl").write_text("// " + "x" * (16 * 1024 * 1024 + 100))
    with xvfb() as display:
        status, out, err = run(display, cwd=tmp_path)
    assert status == 0 and err.startswith("text.v.glsl:")


PIECES = ["-v", "-h", "-vh", "--", "-", "-x", "-5", "0", "1", "5000", "-2147483648", "2147483647",
          "99999999999999999999", "+12", " 42", "abc", "5000x", "\u03bc", "%s%n%d", "-display",
          "-geometry", "1x1+0+0", "", "--frames", "--duration", "--pace", "hybrid", "--summary",
          "--fr", "--summary=1", "0.5", "9" * 20000]


def test_random_command_lines_never_crash():
    rng = random.Random(20261206)
    with xvfb() as display:
        for _ in range(16):
            args = [rng.choice(PIECES) for _ in range(rng.randrange(5))]
            proc = start(display, *args)
            time.sleep(0.5)
            proc.send_signal(signal.SIGTERM)
            status, out, err = finish(proc)
            assert status in (0, 1, 2, -signal.SIGTERM), (args, status, err)
            assert out.startswith(BANNER), args
