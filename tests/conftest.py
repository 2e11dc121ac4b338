import importlib
import os

import numpy as np
import pytest
from hypothesis import settings

import tovalib

settings.register_profile("default", deadline=None, max_examples=100)
settings.load_profile("default")

EMPTY = np.array([], dtype=np.int64)


def optional(module):
    """Import an optional dependency for a test, or skip the test without it.

    CI installs every extra and sets TOVALIB_REQUIRE_EXTRAS, so there a
    missing dependency fails the test instead of skipping it."""
    if os.environ.get("TOVALIB_REQUIRE_EXTRAS"):
        return importlib.import_module(module)
    return pytest.importorskip(module)


def i64(*values):
    return np.array(values, dtype=np.int64)


def as_lists(result):
    """The six result dictionaries with plain-list values, for comparisons."""
    return tuple({k: v.tolist() for k, v in d.items()} for d in result)


def star_sampler(degree, seed=123, node_time=None):
    """One destination node `0` of type "b" with `degree` neighbours 0..degree-1
    of type "a" (edge type a__to__b)."""
    colptr = {"a__to__b": i64(0, degree)}
    row = {"a__to__b": np.arange(degree, dtype=np.int64)}
    return tovalib.NeighborSampler(
        ["a", "b"], [("a", "to", "b")], colptr, row, node_time or {}, seed=seed
    )


def path_graph():
    """Node types "a" and "b"; a__to__b: b0 <- a0, a1; b1 <- a2; b2 <- (none).
    b__to__a: a0 <- b1; a1 <- b0, b2; a2 <- b0."""
    colptr = {"a__to__b": i64(0, 2, 3, 3), "b__to__a": i64(0, 1, 3, 4)}
    row = {"a__to__b": i64(0, 1, 2), "b__to__a": i64(1, 0, 2, 0)}
    return ["a", "b"], [("a", "to", "b"), ("b", "to", "a")], colptr, row


@pytest.fixture
def graph():
    return path_graph()
