"""tovalib_data type-checks under mypy --strict (a few seconds, one process)."""

import subprocess
import sys
from pathlib import Path

import pytest

PACKAGE = Path(__file__).resolve().parents[1] / "src" / "tovalib_data"


def test_tovalib_data_passes_mypy_strict(tmp_path):
    pytest.importorskip("mypy")
    if not PACKAGE.is_dir():
        pytest.skip("no package source next to the tests")
    done = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--cache-dir", str(tmp_path), str(PACKAGE)],
        capture_output=True, text=True, cwd=tmp_path,
    )
    assert done.returncode == 0, done.stdout + done.stderr
