"""Every Python block of the README runs as written, each on its own.

A block preceded by an HTML comment starting with `<!-- fragment` is not a
program (signatures, excerpts) and is skipped. Printed results shown as
comments (`# [0 2 3] [0 0 1]`, on the line after a print) must match.
"""

import contextlib
import io
import re
from pathlib import Path

import pytest
from conftest import optional

README = Path(__file__).resolve().parents[1] / "README.md"
BLOCK = re.compile(r"(<!-- fragment[^>]*-->\n)?```python\n(.*?)```", re.S)


def blocks():
    text = README.read_text()
    for match in BLOCK.finditer(text):
        line = text.count("\n", 0, match.start(2)) + 1
        yield pytest.param(match.group(2), id=f"line{line}",
                           marks=[pytest.mark.skip("fragment")] if match.group(1) else [])


def expected_output(code):
    """The comment lines that directly follow a print call, in order."""
    lines = code.splitlines()
    shown = []
    for i, line in enumerate(lines[:-1]):
        following = lines[i + 1].strip()
        if line.lstrip().startswith("print(") and following.startswith("# "):
            shown.append(following[2:])
    return shown


def test_the_readme_has_runnable_blocks():
    runnable = [p for p in blocks() if not p.marks]
    assert len(runnable) >= 4


@pytest.mark.parametrize("code", list(blocks()))
def test_readme_block_runs(code, tmp_path, monkeypatch):
    for module in ("pandas", "pyarrow", "torch", "torch_frame", "torch_geometric", "relbench"):
        if re.search(rf"^(import|from) {module}\b", code, re.M):
            optional(module)
    if "from_database(" in code:
        optional("sqlalchemy")
    if "features=" in code:
        optional("torch_frame")
    monkeypatch.chdir(tmp_path)
    out = io.StringIO()
    with contextlib.redirect_stdout(out):
        exec(compile(code, str(README), "exec"), {"__name__": "__readme__"})
    printed = out.getvalue().splitlines()
    for shown in expected_output(code):
        assert shown in printed
