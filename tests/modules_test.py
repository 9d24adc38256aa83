"""The Python package and its commands as installed or as in the tree: every module imports on its own, and
every command finds its package from anywhere, with no path set for it."""
import os
import pkgutil
import subprocess

import pytest

import quorvel

MODULES = sorted(m.name for m in pkgutil.iter_modules(quorvel.__path__, "quorvel."))
TOOLS = os.path.dirname(os.environ["QUORVEL_READ"])
COMMANDS = ["plot", "read", "check", "export", "compare"]


def test_the_package_holds_a_module_for_each_command():
    assert {f"quorvel.{c}" for c in COMMANDS} < set(MODULES)


@pytest.mark.parametrize("module", MODULES)
def test_a_module_imports_in_a_fresh_interpreter_with_nothing_imported_before_it(module):
    done = subprocess.run(["/usr/bin/python3", "-c", f"import {module}"], capture_output=True, text=True)
    assert (done.returncode, done.stderr) == (0, "")


@pytest.mark.parametrize("command", COMMANDS)
def test_a_command_finds_its_package_beside_itself_from_any_directory(command, tmp_path):
    env = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}
    done = subprocess.run([os.path.join(TOOLS, f"quorvel-{command}"), "--help"], cwd=tmp_path, env=env,
                          capture_output=True, text=True)
    assert (done.returncode, done.stderr) == (0, "") and done.stdout.startswith(f"usage: quorvel-{command} ")
