"""A heterogeneous, optionally timestamped graph in the sampler's CSC form."""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import Any

import numpy as np
import numpy.typing as npt

import tovalib

Int64Array = npt.NDArray[np.int64]
Float32Array = npt.NDArray[np.float32]


@dataclass(frozen=True)
class Graph:
    """The arrays a `tovalib.NeighborSampler` reads, plus what built them.

    `colptr`/`row` are keyed by edge type key "src__rel__dst"; `node_time`
    and `x` by node type (types without times or features are absent).
    """

    node_types: list[str]
    edge_types: list[tuple[str, str, str]]
    colptr: dict[str, Int64Array]
    row: dict[str, Int64Array]
    node_time: dict[str, Int64Array]
    num_nodes: dict[str, int]
    x: dict[str, Float32Array] = field(default_factory=dict)
    time_unit: str | None = None
    report: dict[str, Any] = field(default_factory=dict)

    def sampler(self, seed: int = 0, temporal: bool = True) -> tovalib.NeighborSampler:
        """A sampler over this graph's arrays (nothing is copied).

        With `temporal=False` the sampler gets no node times and samples
        every edge type in plain mode.
        """
        return tovalib.NeighborSampler(
            self.node_types,
            self.edge_types,
            self.colptr,
            self.row,
            self.node_time if temporal else {},
            seed=seed,
        )
