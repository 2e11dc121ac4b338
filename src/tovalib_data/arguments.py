"""The loaders' arguments in the forms the sampler takes: integers, id
vectors, and one budget (counts or a time window) per edge type."""

from __future__ import annotations

from collections.abc import Mapping
from typing import Any

import numpy as np
import numpy.typing as npt

from tovalib_data.graph import Graph

Int64Array = npt.NDArray[np.int64]


def integer(name: str, value: Any, low: int) -> int:
    """`value` as an int, refusing anything else and values below `low`."""
    if not isinstance(value, int) or value < low:
        raise ValueError(f"{name} must be an integer >= {low}, got {value!r}")
    return value


def int64_vector(values: Any, name: str) -> Int64Array:
    """A 1-D sequence of integers as a contiguous int64 array."""
    array = np.asarray(values)
    if array.ndim != 1 or not (array.dtype.kind in "iu" or array.size == 0):
        raise TypeError(f"{name} must be a 1-D sequence of integers, got {array.dtype} "
                        f"of shape {array.shape}")
    return np.ascontiguousarray(array, dtype=np.int64)


def windows(values: Any, key: str) -> npt.NDArray[Any]:
    """(hops, 2) windows as an int64 array, or an object array when a lower
    bound is None."""
    rows = [tuple(w) for w in values]
    if any(len(w) != 2 for w in rows):
        raise ValueError(f"time_windows[{key!r}] must have shape (hops, 2)")
    if any(v is None for w in rows for v in w[1:]):
        raise ValueError(f"time_windows[{key!r}]: only the lower bound may be None")
    if any(w[0] is None for w in rows):
        out = np.empty((len(rows), 2), dtype=object)
        out[:] = [[None if lo is None else int(lo), int(hi)] for lo, hi in rows]
        return out
    return np.array(rows, dtype=np.int64).reshape(len(rows), 2)


Budgets = tuple[dict[str, Int64Array], dict[str, npt.NDArray[Any]]]


def budgets(graph: Graph, num_neighbors: Any, time_windows: Mapping[str, Any] | None) -> Budgets:
    """The count budgets and the time windows of every edge type of `graph`,
    keyed as the sampler keys them; each edge type gets exactly one."""
    keys = ["__".join(et) for et in graph.edge_types]
    given_windows = dict(time_windows or {})
    if isinstance(num_neighbors, Mapping):
        counts = dict(num_neighbors)
    else:
        counts = {k: num_neighbors for k in keys if k not in given_windows}
    for name, given in [("num_neighbors", counts), ("time_windows", given_windows)]:
        for key in given:
            if key not in keys:
                raise ValueError(f"{name}: unknown edge type key {key!r}; "
                                 f"edge types: {keys}")
    for key in keys:
        if (key in counts) == (key in given_windows):
            where = "both" if key in counts else "neither of"
            raise ValueError(f"edge type {key!r} is in {where} num_neighbors and "
                             "time_windows; give it exactly one budget")
    for key in given_windows:
        src = key.split("__")[0]
        if src not in graph.node_time:
            raise ValueError(f"time_windows[{key!r}]: node type {src!r} has no times")
    return ({k: int64_vector(v, f"num_neighbors[{k!r}]") for k, v in counts.items()},
            {k: windows(v, k) for k, v in given_windows.items()})
