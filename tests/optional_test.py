"""A build without Wayland's libraries, in a tree of its own: it builds, and knows only what it has."""
import json
import os
import subprocess
import tempfile

SOURCE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def test_a_build_without_wayland_lists_and_takes_only_the_window_systems_it_has():
    with tempfile.TemporaryDirectory() as tree:
        # Unoptimised, the program alone: the cheapest build that shows the table and the options.
        for step in (["cmake", "-S", SOURCE, "-B", tree, "-DQUORVEL_WAYLAND=OFF", "-DBUILD_TESTING=OFF",
                      "-DCMAKE_BUILD_TYPE=Debug", "-DCMAKE_CXX_FLAGS_DEBUG=-O0",
                      *os.environ["QUORVEL_CMAKE_ARGS"].split()],
                     ["cmake", "--build", tree, "--target", "quorvel", "-j2"]):
            done = subprocess.run(step, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
            assert done.returncode == 0, done.stdout[-3000:]
        program = os.path.join(tree, "quorvel")
        env = {**os.environ, "DISPLAY": ":99999", "WAYLAND_DISPLAY": "wayland-99"}  # named, not there: none is asked
        listed = subprocess.run([program, "--winsys", "list"], env=env, capture_output=True, text=True)
        assert [row["name"] for row in json.loads(listed.stdout)] == ["x11", "offscreen"]
        refused = subprocess.run([program, "--winsys", "wayland"], env=env, capture_output=True, text=True)
        assert (refused.returncode, refused.stderr) == (
            2, "quorvel: --winsys wayland: this build was made without wayland\n")
        helped = subprocess.run([program, "--help"], env=env, capture_output=True, text=True).stdout
        assert helped.endswith(" -sync), offscreen.\nLeft out of this build: wayland.\n")
