"""Runs the built program on a private Xvfb and looks at what it shows."""
import contextlib
import os
import re
import shutil
import signal
import subprocess
import tempfile
import time

import numpy
from Xlib import X, display as xdisplay, error as xerror

BIN, DATA = os.environ["QUORVEL_BIN"], os.environ["QUORVEL_DATA_DIR"]
BANNER = "\nquorvel is running...\n"


@contextlib.contextmanager
def xvfb(*extra, screen="1600x1024x24", favoured=False):
    """A private X server for one test; yields its DISPLAY and is always stopped. A `favoured` one runs at
    nice -10, ahead of the machine's other builds and tests."""
    read, write = os.pipe()
    server = subprocess.Popen(["nice", "-n", "-10"] * favoured + ["Xvfb", "-displayfd", str(write), "-screen", "0", screen, "-nolisten", "tcp",
                               "-noreset", *extra], pass_fds=[write], stderr=subprocess.DEVNULL)
    os.close(write)
    with os.fdopen(read) as f:
        number = f.readline().strip()
    try:
        assert number, "Xvfb did not start"
        yield ":" + number
    finally:
        server.terminate()
        server.wait()


def stop(server):
    """Ends a compositor, frozen or not. Under dbus-run-session it is the
    wrapper's child; the wrapper then ends its bus and reaps it all."""
    def parent(pid):
        with contextlib.suppress(OSError):
            with open(f"/proc/{pid}/stat") as f:
                return int(f.read().rsplit(")", 1)[1].split()[1])
    children = [int(pid) for pid in os.listdir("/proc") if pid.isdigit() and parent(pid) == server.pid]
    target = children[0] if server.args[0] == "dbus-run-session" and children else server.pid
    with contextlib.suppress(ProcessLookupError):
        os.kill(target, signal.SIGCONT)
        os.kill(target, signal.SIGTERM)
    try:
        server.wait(timeout=20)
    except subprocess.TimeoutExpired:
        os.killpg(server.pid, signal.SIGKILL)
        server.wait()


SWAY_USER = "quorvel-sway"  # sway refuses root
COMPOSITORS = {  # {runtime} is the compositor's private runtime directory
    "weston": ["weston", "--backend=headless-backend.so", "--socket=quorvel", "--idle-time=0"],
    "mutter": ["dbus-run-session", "--", "mutter", "--headless", "--wayland", "--no-x11", "--wayland-display=quorvel",
               "--virtual-monitor", "1024x768"],
    "mutter144": ["dbus-run-session", "--", "mutter", "--headless", "--wayland", "--no-x11", "--wayland-display=quorvel",
                  "--virtual-monitor", "800x600@144"],
    # A container refuses the installed binary's file capabilities; a copy runs.
    "kwin": ["dbus-run-session", "--", "{runtime}/kwin_wayland", "--virtual", "--socket", "quorvel"],
    "sway": ["setpriv", f"--reuid={SWAY_USER}", f"--regid={SWAY_USER}", "--clear-groups", "sway", "-c", "{runtime}/config"],
}
SWAY_ENV = {"WLR_BACKENDS": "headless", "WLR_RENDERER": "pixman", "WLR_LIBINPUT_NO_DEVICES": "1"}


def private_runtime(kind):
    """A 0700 runtime directory that the compositor's user owns, with what it needs to start."""
    runtime = tempfile.mkdtemp()
    os.chmod(runtime, 0o700)
    if kind == "kwin":
        shutil.copy(shutil.which("kwin_wayland"), runtime)
    if kind == "sway":
        if subprocess.run(["id", SWAY_USER], capture_output=True).returncode:
            subprocess.run(["useradd", "-M", "-s", "/usr/sbin/nologin", SWAY_USER], check=True)
        open(os.path.join(runtime, "config"), "w").close()
        shutil.chown(runtime, SWAY_USER)
    return runtime


def socket_in(runtime):
    """The compositor's socket, once it is there: quorvel, or sway's own wayland-N."""
    names = [n for n in os.listdir(runtime) if n == "quorvel" or re.fullmatch(r"wayland-\d+", n)]
    return names[0] if names else None


@contextlib.contextmanager
def weston(xwayland=False, kind="weston", scale=1):
    """A private headless compositor for one test, Weston unless `kind` names
    another, its output at `scale` (Weston's); yields it and the environment that reaches it."""
    runtime = private_runtime(kind)
    log = open(os.path.join(runtime, "log"), "w+")
    extra = (["--xwayland"] if xwayland else []) + ([f"--scale={scale}"] if scale != 1 else [])
    command = [word.format(runtime=runtime) for word in COMPOSITORS[kind]] + extra
    server = subprocess.Popen(command, env=dict(os.environ, XDG_RUNTIME_DIR=runtime, WAYLAND_DISPLAY="", **SWAY_ENV),
                              stdout=log, stderr=subprocess.STDOUT, start_new_session=True)
    try:
        env, end = {"XDG_RUNTIME_DIR": runtime}, time.monotonic() + 30
        while not (socket_in(runtime) and (not xwayland or "DISPLAY" in env)):
            assert server.poll() is None and time.monotonic() < end, kind + " did not start"
            log.seek(0)
            found = re.search(r"xserver listening on display (:\d+)", log.read())
            if found:
                env["DISPLAY"] = found[1]
            time.sleep(0.1)
        env["WAYLAND_DISPLAY"] = socket_in(runtime)
        server.log = log
        yield server, env
    finally:
        stop(server)
        log.close()
        shutil.rmtree(runtime, ignore_errors=True)


def start(display, *args, cwd=DATA, env=None, stdout=None, program=BIN):
    """Starts the program with its output going to temporary files, or standard output to `stdout`;
    a variable of `env` (or `display`) that is None is unset."""
    out, err = tempfile.TemporaryFile("w+"), tempfile.TemporaryFile("w+")
    env = {name: value for name, value in {**os.environ, "DISPLAY": display, **(env or {})}.items() if value is not None}
    proc = subprocess.Popen([program, *args], cwd=cwd, env=env, stdout=stdout or out, stderr=err)
    proc.files = out, err
    return proc


def finish(proc, timeout=60):
    """Waits for the end, killing a run that overstays; returns (status, stdout, stderr)."""
    try:
        status = proc.wait(timeout)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait()
        raise
    for f in proc.files:
        f.seek(0)
    return (status, *(f.read() for f in proc.files))


def run(display, *args, **kw):
    return finish(start(display, *args, **kw))


def await_rows(log, rows, seconds=30):
    """Waits until the live log holds `rows` frames or more, however slow the machine; at most `seconds`."""
    end = time.monotonic() + seconds
    while not (log.exists() and log.read_text().count("\n") > rows) and time.monotonic() < end:
        time.sleep(0.1)


@contextlib.contextmanager
def rt_hog(cpu, burst_ms=30, every_ms=250):
    """A real-time (SCHED_FIFO) task on `cpu` that spins `burst_ms` every `every_ms`, taking that core
    from every ordinary thread on it; yields the process, and always stops it."""
    spin = (f"import time\nwhile True:\n    t = time.monotonic()\n    while time.monotonic() - t < {burst_ms / 1000}:"
            f"\n        pass\n    time.sleep({(every_ms - burst_ms) / 1000})")
    hog = subprocess.Popen(["chrt", "-f", "50", "taskset", "-c", str(cpu), "python3", "-c", spin])
    try:
        yield hog
    finally:
        hog.kill()
        hog.wait()


def probed(path):
    """The environment that has tests/gl_request_probe.cpp note the GLUT calls and GL requests in `path`."""
    return {"LD_PRELOAD": os.environ["GL_REQUEST_PROBE_LIB"], "GL_REQUEST_PROBE": str(path),
            "ASAN_OPTIONS": os.environ.get("ASAN_OPTIONS", "") + ":verify_asan_link_order=0"}


def started(vsync, *callbacks):
    """What the probe notes of an X11 run: GLUT's window, the vsync variable as the context is made and the swap
    interval, then the display and idle callbacks, the other `callbacks` noted, and GLUT's loop; no reshape callback."""
    window = ["glutInit", "glutInitContextVersion", "glutInitDisplayMode", "glutInitWindowPosition",
              "glutInitWindowSize", "glutCreateWindow", f"context {vsync}", f"swap interval {vsync}"]
    return "".join(f"{call}\n" for call in [*window, "glutDisplayFunc", "glutIdleFunc", *callbacks, "glutMainLoop"])


class Screen:
    """A client connection that finds, reads and resizes top-level windows."""

    def __init__(self, display):
        self.d = xdisplay.Display(display)
        self.utf8, self.net_name = self.d.intern_atom("UTF8_STRING"), self.d.intern_atom("_NET_WM_NAME")

    def title(self, w):
        with contextlib.suppress(xerror.XError):
            prop = w.get_full_property(self.net_name, self.utf8)
            return prop.value.decode() if prop else w.get_wm_name() or ""
        return ""

    def find(self, prefix="High Resolution Timer(", seconds=30, exclude=()):
        """A window with a drawn frame: the first one sets the title."""
        end = time.monotonic() + seconds
        while time.monotonic() < end:
            for w in self.d.screen().root.query_tree().children:
                with contextlib.suppress(xerror.XError):
                    if (w.get_attributes().map_state == X.IsViewable and w not in exclude
                            and self.title(w).startswith(prefix)):
                        return w
            time.sleep(0.05)
        raise AssertionError("no window titled " + prefix)

    def grab(self, w):
        """The window's pixels as a height x width x 3 array of RGB."""
        g = w.get_geometry()
        raw = w.get_image(0, 0, g.width, g.height, X.ZPixmap, 0xffffffff).data
        return numpy.frombuffer(raw, numpy.uint8).reshape(g.height, g.width, 4)[:, :, 2::-1]
