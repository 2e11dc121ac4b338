"""Native tests of the plain C++ below the binding, compiled and run here so
that they run wherever the suite does."""

import os
import pathlib
import shutil
import subprocess

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
WARNINGS = ["-Wall", "-Wextra", "-Wpedantic", "-Wconversion", "-Wshadow", "-Werror"]


@pytest.mark.parametrize("name", ["test_uniform_select", "test_engine_memory", "test_mt19937"])
def test_native(name, tmp_path):
    compiler = shutil.which("g++")
    if compiler is None:
        pytest.skip("no g++")
    # The sanitizer run preloads its runtime into the interpreter; the
    # compiler and the test binary are not built for it.
    env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
    binary = tmp_path / name
    build = subprocess.run(
        [compiler, "-std=c++17", "-O1", *WARNINGS, f"-I{ROOT / 'src'}",
         str(ROOT / "tests" / "native" / f"{name}.cpp"),
         *map(str, sorted(ROOT.glob("src/store/*.cpp")) + sorted(ROOT.glob("src/sampling/*.cpp"))),
         "-o", str(binary)],
        capture_output=True, text=True, env=env)
    assert build.returncode == 0, build.stderr
    run = subprocess.run([str(binary)], capture_output=True, text=True, timeout=60, env=env)
    assert run.returncode == 0, run.stdout + run.stderr
