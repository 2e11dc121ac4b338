"""Seed times as the sampler takes them: one int64 per seed, in the unit of
the graph's node times."""

from __future__ import annotations

from typing import Any

import numpy as np
import numpy.typing as npt

from tovalib_data.arguments import int64_vector
from tovalib_data.graph import Graph

Int64Array = npt.NDArray[np.int64]


def seed_times(graph: Graph, values: Any, count: int, name: str = "seed_time",
               items: str = "seeds") -> Int64Array:
    """`values` as `count` int64 times in the unit of `graph`'s node times,
    one per entry of the loader's `items`; a single value is broadcast.
    Errors name the argument `name`."""
    times = np.asarray(values)
    if times.dtype.kind == "M":
        if graph.time_unit is None:
            raise TypeError(f"{name}: datetime64 needs a graph with a time unit; "
                            "pass int64 times in the unit of the graph's node times")
        times = times.astype(f"datetime64[{graph.time_unit}]").astype(np.int64)
    if times.ndim == 0:
        times = np.full(count, times)
    out = int64_vector(times, name)
    if len(out) != count:
        raise ValueError(f"{name} has {len(out)} entries, {items} has {count}; "
                         f"give one time per entry of {items}")
    return out
