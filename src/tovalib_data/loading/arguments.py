"""The loaders' arguments in the forms the sampler takes: integers, id
vectors, and one budget (counts or a time window) per edge type."""

from __future__ import annotations

from collections.abc import Mapping, Sequence
from collections.abc import Set as AbstractSet
from typing import Any, Protocol, TypeVar

import numpy as np
import numpy.typing as npt

from tovalib_data.graph import Graph

Int64Array = npt.NDArray[np.int64]
INT64_MIN, INT64_MAX = int(np.iinfo(np.int64).min), int(np.iinfo(np.int64).max)

# What the loaders take, as a type checker sees it.
EdgeType = tuple[str, str, str]
V_co = TypeVar("V_co", covariant=True)


class ByEdgeType(Protocol[V_co]):
    """A mapping keyed by edge type keys ("src__rel__dst") and/or
    (src, rel, dst) triples. Typed by its items: a Mapping is invariant in
    its keys, so neither a dict[str, ...] nor a dict literal mixing both
    kinds of key would be a Mapping[str | EdgeType, ...]."""

    def items(self) -> AbstractSet[tuple[str | EdgeType, V_co]]: ...


Ids = Sequence[int] | npt.NDArray[np.integer[Any]]
Counts = Sequence[int] | npt.NDArray[np.integer[Any]]
NumNeighbors = Counts | ByEdgeType[Counts]
Window = Sequence[Sequence[int | None]] | npt.NDArray[Any]
TimeWindows = ByEdgeType[Window]


def integer(name: str, value: Any, low: int | None = None) -> int:
    """`value` as an int: any integral (Python or NumPy) but a bool, at least
    `low` when given; anything else is a ValueError naming `name`."""
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, (int, np.integer)):
        bound = "" if low is None else f" >= {low}"
        raise ValueError(f"{name} must be an integer{bound}, got {value!r}")
    if low is not None and value < low:
        raise ValueError(f"{name} must be an integer >= {low}, got {value!r}")
    return int(value)


def int64_vector(values: Any, name: str) -> Int64Array:
    """A 1-D sequence of integers as a contiguous int64 array."""
    array = np.asarray(values)
    if array.ndim != 1 or not (array.dtype.kind in "iu" or array.size == 0):
        raise TypeError(f"{name} must be a 1-D sequence of integers, got {array.dtype} "
                        f"of shape {array.shape}")
    return np.ascontiguousarray(array, dtype=np.int64)


def _bound(value: Any, key: str, lower: bool) -> int | None:
    if value is None and lower:
        return None
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, (int, np.integer)):
        side = "lower" if lower else "upper"
        raise ValueError(f"time_windows[{key!r}]: bounds must be integers (the {side} bound "
                         f"may not be {value!r}; only a lower bound may be None)")
    if not INT64_MIN <= value <= INT64_MAX:
        raise ValueError(f"time_windows[{key!r}]: bound {int(value)} lies outside int64 "
                         f"[{INT64_MIN}, {INT64_MAX}]")
    return int(value)


def windows(values: Any, key: str) -> npt.NDArray[Any]:
    """(hops, 2) windows of integers as an int64 array, or an object array
    when a lower bound is None. Floats, strings and the like are refused
    rather than truncated or parsed."""
    try:
        rows = [tuple(w) for w in (values.tolist() if isinstance(values, np.ndarray) else values)]
    except TypeError:  # not a sequence of rows
        rows = [()]
    if any(len(w) != 2 for w in rows):
        raise ValueError(f"time_windows[{key!r}] must have shape (hops, 2)")
    bounds = [(_bound(lo, key, True), _bound(hi, key, False)) for lo, hi in rows]
    for hop, (lo, hi) in enumerate(bounds):
        if lo is not None and hi is not None and lo > hi:
            raise ValueError(f"time_windows[{key!r}]: the window of hop {hop} is ({lo}, {hi}), "
                             f"its lower bound above its upper; give (lower, upper), "
                             f"such as ({hi}, {lo})")
    if any(lo is None for lo, _ in bounds):
        out = np.empty((len(bounds), 2), dtype=object)
        out[:] = [list(b) for b in bounds]
        return out
    return np.array(bounds, dtype=np.int64).reshape(len(bounds), 2)


Budgets = tuple[dict[str, Int64Array], dict[str, npt.NDArray[Any]]]
DEFAULT = "default"


def edge_type_keys(graph: Graph) -> dict[str, EdgeType]:
    """The sampler's key of each edge type of `graph`, with its triple. Two
    triples with one key are refused: nothing could tell them apart."""
    keys: dict[str, EdgeType] = {}
    for et in graph.edge_types:
        key = "__".join(et)
        if key in keys:
            raise ValueError(f"edge types {keys[key]} and {tuple(et)} have the same key "
                             f"{key!r}; rename a table or a relation")
        keys[key] = (et[0], et[1], et[2])
    return keys


def _by_key(given: ByEdgeType[Any], name: str, keys: dict[str, EdgeType],
            default_allowed: bool) -> tuple[dict[str, Any], Any]:
    """`given` keyed by sampler keys (its keys may be keys or triples), and
    the value of its "default" entry (None without one)."""
    by_triple = {et: key for key, et in keys.items()}
    out: dict[str, Any] = {}
    default = None
    for k, value in given.items():
        if default_allowed and isinstance(k, str) and k == DEFAULT:
            default = value
            continue
        if isinstance(k, tuple) and k in by_triple:
            key = by_triple[k]
        elif isinstance(k, str) and k in keys:
            key = k
        else:
            raise ValueError(f"{name}: unknown edge type key {k!r}; edge types: {list(keys)}"
                             + (f' or "{DEFAULT}"' if default_allowed else ""))
        if key in out:
            raise ValueError(f"{name}: edge type {keys[key]} is given twice")
        out[key] = value
    return out, default


def budgets(graph: Graph, num_neighbors: Any, time_windows: TimeWindows | None) -> Budgets:
    """The count budgets and the time windows of every edge type of `graph`,
    keyed as the sampler keys them; each edge type gets exactly one.

    Keys may be the sampler's keys or (src, rel, dst) triples; a
    `num_neighbors` dict may map "default" to the counts of every edge type
    it does not name and that has no window; a list is that default.
    Every window must have a row per hop (the longest budget's length).
    """
    keys = edge_type_keys(graph)
    given_windows, _ = _by_key(time_windows or {}, "time_windows", keys, False)
    if isinstance(num_neighbors, Mapping):
        counts, default = _by_key(num_neighbors, "num_neighbors", keys, True)
        default_name = f"num_neighbors[{DEFAULT!r}]"
    else:
        counts, default = {}, num_neighbors
        default_name = "num_neighbors"
    # Checked once, under the name the caller gave it.
    default = None if default is None else int64_vector(default, default_name)
    for key in keys:
        if key in counts and key in given_windows:
            raise ValueError(f"edge type {key!r} is in both num_neighbors and time_windows; "
                             "give it exactly one budget")
        if key not in counts and key not in given_windows:
            if default is None:
                raise ValueError(f"edge type {key!r} is in neither of num_neighbors and "
                                 f'time_windows; give it exactly one budget (or give '
                                 f'num_neighbors a "{DEFAULT}")')
            counts[key] = default
    for key in given_windows:
        src = keys[key][0]
        if src not in graph.node_time:
            raise ValueError(f"time_windows[{key!r}]: node type {src!r} has no times")
    count_arrays = {k: int64_vector(v, f"num_neighbors[{k!r}]") for k, v in counts.items()}
    window_arrays = {k: windows(v, k) for k, v in given_windows.items()}
    hops = max([len(c) for c in count_arrays.values()] +
               [len(w) for w in window_arrays.values()], default=0)
    for key, w in window_arrays.items():
        if len(w) < hops:
            raise ValueError(f"time_windows[{key!r}] has {len(w)} rows but the budgets have "
                             f"{hops} hops; give one window per hop")
    # In the graph's edge type order, whatever order they were given in.
    return ({k: count_arrays[k] for k in keys if k in count_arrays},
            {k: window_arrays[k] for k in keys if k in window_arrays})
