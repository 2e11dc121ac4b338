"""tovalib_data type-checks under mypy --strict, and so does the loaders'
documented usage (a few seconds, one process)."""

import os
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

PACKAGE = Path(__file__).resolve().parents[1] / "src" / "tovalib_data"

# Budgets keyed by keys, triples or both, a "default", ndarray values, any
# integer ids, and every seed-time form (pandas is untyped here: its
# Timestamp is a datetime, and Stamps has the __array__ its DatetimeIndex and
# Series have in its stubs). The ignored lines must stay errors (--strict
# warns of unused ignores).
USAGE = """
    import datetime
    from typing import Any

    import numpy as np
    import numpy.typing as npt

    import tovalib_data as td


    class Stamps:
        def __array__(self, dtype: Any = None, copy: bool | None = None) -> npt.NDArray[Any]:
            return np.zeros(3, "datetime64[D]")


    def loaders(graph: td.Graph) -> None:
        ids = np.zeros(3, dtype=np.int32)
        counts: dict[str, list[int]] = {"default": [5, 5]}
        by_triple: dict[tuple[str, str, str], list[int]] = {("events", "user", "users"): [5]}
        td.NeighborLoader(graph, "users", num_neighbors={("events", "user", "users"): [5],
                                                         "default": [1]})
        td.NeighborLoader(graph, "users", num_neighbors={"default": np.array([5])})
        td.NeighborLoader(graph, "users", ids, num_neighbors=counts)
        td.NeighborLoader(graph, "users", num_neighbors=by_triple,
                          time_windows={"users__rev_user__events": np.array([[-5, 0]]),
                                        ("users", "rev_item", "events"): [(None, 0)]})
        td.NeighborLoader(graph, "users", seed_time=datetime.date(2024, 2, 15))
        td.NeighborLoader(graph, "users", seed_time=datetime.datetime(2024, 2, 15, 12))
        td.NeighborLoader(graph, "users", seed_time=np.datetime64("2024-02-15"))
        td.NeighborLoader(graph, "users", seed_time=np.array(["2024-02-15"], "datetime64[D]"))
        td.NeighborLoader(graph, "users", seed_time=[datetime.date(2024, 2, 15)] * 3)
        td.NeighborLoader(graph, "users", seed_time=[200, 300])
        td.NeighborLoader(graph, "users", seed_time=Stamps())
        td.LinkNeighborLoader(graph, "users", "items", ids, [0, 1, 2],
                              time=datetime.date(2024, 2, 15),
                              num_neighbors={("events", "user", "users"): [5], "default": [1]},
                              time_windows={("users", "rev_user", "events"): [(None, 0)]})
        td.LinkNeighborLoader(graph, "users", "items", ids, ids, np.datetime64("2024-02-15"))
        td.NeighborLoader(graph, "users", num_neighbors={("a", "b"): [1]})  # type: ignore[dict-item]
        td.NeighborLoader(graph, "users", seed_time="2024")  # type: ignore[arg-type]
"""


def test_tovalib_data_and_its_usage_pass_mypy_strict(tmp_path):
    pytest.importorskip("mypy")
    if not PACKAGE.is_dir():
        pytest.skip("no package source next to the tests")
    usage = tmp_path / "usage.py"
    usage.write_text(textwrap.dedent(USAGE))
    done = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--cache-dir", str(tmp_path / "cache"),
         str(PACKAGE), str(usage)],
        capture_output=True, text=True, cwd=tmp_path,
        env={**os.environ, "MYPYPATH": str(PACKAGE.parent)},
    )
    assert done.returncode == 0, done.stdout + done.stderr
