"""The type stub installed next to the extension agrees with the binding.

mypy's stubtest cannot read the signatures of the binding's methods (they have
no text signature), so the parameter names, order and defaults are compared
here against the signatures the binding renders, and a short program is type
checked against the stub to show that it types what callers pass.
"""

import ast
import os
import re
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

import tovalib

INSTALLED_STUB = Path(tovalib.__file__).with_name("tovalib.pyi")


def split_top_level(text):
    """Splits at commas that are not inside brackets."""
    parts, depth, start = [], 0, 0
    for i, ch in enumerate(text):
        if ch in "[(":
            depth += 1
        elif ch in "])":
            depth -= 1
        elif ch == "," and depth == 0:
            parts.append(text[start:i].strip())
            start = i + 1
    parts.append(text[start:].strip())
    return [p for p in parts if p]


def rendered_parameters(method):
    """(name, default or None) per parameter of the binding's rendered signature."""
    first_line = method.__doc__.strip().splitlines()[0]
    inside = re.fullmatch(r"\w+\((.*)\) -> .*", first_line).group(1)
    params = []
    for part in split_top_level(inside):
        name = part.split(":", 1)[0].strip()
        default = part.split(" = ", 1)[1] if " = " in part else None
        params.append((name, default))
    return params


def stub_parameters(method_name):
    tree = ast.parse(INSTALLED_STUB.read_text())
    (cls,) = [n for n in tree.body if isinstance(n, ast.ClassDef) and n.name == "NeighborSampler"]
    (func,) = [n for n in cls.body if isinstance(n, ast.FunctionDef) and n.name == method_name]
    args = func.args
    assert not (args.vararg or args.kwarg or args.kwonlyargs or args.posonlyargs)
    defaults = [None] * (len(args.args) - len(args.defaults)) + [
        ast.literal_eval(d) for d in args.defaults
    ]
    return [(a.arg, None if d is None else repr(d)) for a, d in zip(args.args, defaults)]


def test_stub_is_installed_next_to_the_extension():
    assert INSTALLED_STUB.is_file(), f"no stub at {INSTALLED_STUB}"
    source = Path(__file__).parents[1] / "src" / "module" / "tovalib.pyi"
    if source.is_file():
        assert INSTALLED_STUB.read_text() == source.read_text(), "installed stub is stale"


@pytest.mark.parametrize("method", ["__init__", "sample"])
def test_stub_signature_matches_binding(method):
    assert stub_parameters(method) == rendered_parameters(getattr(tovalib.NeighborSampler, method))


def test_binding_signatures_are_parsed():
    # Guards the parser above: the default and every name must come through.
    assert rendered_parameters(tovalib.NeighborSampler.__init__) == [
        ("self", None),
        ("node_types", None),
        ("edge_types", None),
        ("colptr", None),
        ("row", None),
        ("node_time", None),
        ("seed", "123"),
    ]


@pytest.fixture
def stub_path():
    """Type checkers find the installed stub-only package by themselves."""
    pytest.importorskip("mypy")
    package = INSTALLED_STUB.parent / "tovalib-stubs" / "__init__.pyi"
    assert package.read_text() == INSTALLED_STUB.read_text()
    return package


def run_mypy(stub, *args, cwd):
    env = {k: v for k, v in os.environ.items() if k != "MYPYPATH"}
    return subprocess.run(
        [sys.executable, "-m", *args], cwd=cwd, env=env, capture_output=True, text=True
    )


def test_stubtest_finds_no_difference(stub_path, tmp_path):
    done = run_mypy(stub_path, "mypy.stubtest", "tovalib", cwd=tmp_path)
    assert done.returncode == 0, done.stdout + done.stderr


def test_stub_types_calls(stub_path, tmp_path):
    # Lines marked "# error" must be reported, no other line may be.
    program = textwrap.dedent(
        """\
        import numpy as np
        import tovalib

        ids = np.array([0], dtype=np.int64)
        none = np.array([], dtype=np.int64)
        s = tovalib.NeighborSampler(["a"], [("a", "r", "a")], {}, {}, node_time={}, seed=1)
        rows, cols, nodes, batches, num_nodes, num_edges = s.sample({}, {}, "a", ids, none)
        count: int = int(num_nodes["a"].sum()) + int(rows["a__r__a"][0])
        s.sample({}, {}, "a", [0], none)  # error
        s.sample({}, {}, "a", ids)  # error
        s.sample(num_neighbors={}, sampling_time_offsets={}, entity_table="a", seed_nodes=ids, seed_time=none)  # error
        tovalib.NeighborSampler(["a"], [], {}, {}, {}, seed="1")  # error
        tovalib.NeighborSampler(["a"], [("a", "r")], {}, {}, {})  # error
        seven: int = s.sample({}, {}, "a", ids, none)  # error
        """
    )
    (tmp_path / "use.py").write_text(program)
    done = run_mypy(stub_path, "mypy", "--no-incremental", "--strict", "use.py", cwd=tmp_path)
    reported = {int(m) for m in re.findall(r"^use\.py:(\d+): error", done.stdout, re.M)}
    expected = {n for n, line in enumerate(program.splitlines(), 1) if line.endswith("# error")}
    assert reported == expected, done.stdout


def test_examples_type_check_against_the_stub(stub_path, tmp_path):
    examples = Path(__file__).parents[1] / "examples"
    if not examples.is_dir():
        pytest.skip("no examples next to the tests")
    config = tmp_path / "mypy.ini"
    # matplotlib is optional for the tests; nothing else may go missing.
    config.write_text("[mypy]\n[mypy-matplotlib.*]\nignore_missing_imports = True\n")
    done = run_mypy(
        stub_path, "mypy", "--no-incremental", "--config-file", str(config),
        *sorted(str(p) for p in examples.glob("*.py")), cwd=examples,
    )
    assert done.returncode == 0, done.stdout + done.stderr
