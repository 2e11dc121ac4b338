"""A heterogeneous, optionally timestamped graph in the sampler's CSC form."""

from __future__ import annotations

import os
from collections.abc import Collection, Mapping, Sequence
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
    `time_sources` maps each timed node type to its time column, or to the
    list of relations it inherits its times through.
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
    time_sources: dict[str, str | list[str]] = field(default_factory=dict)

    @classmethod
    def from_tables(
        cls,
        tables: Mapping[str, Any],
        primary_keys: Mapping[str, str | Sequence[str]] | None = None,
        foreign_keys: Mapping[str, Mapping[str | tuple[str, ...], str]] | None = None,
        time_columns: Mapping[str, str] | None = None,
        feature_columns: Mapping[str, Sequence[str]] | None = None,
        time_unit: str = "s",
        inherit_time: bool | Collection[str] = True,
    ) -> Graph:
        """A graph with one node type per table and two edge types per foreign key.

        `tables` maps a name to a pandas DataFrame, a dict of column -> 1-D
        array (NumPy, pandas or pyarrow), or an Arrow table (anything with
        `__arrow_c_stream__`: pyarrow, polars, DuckDB); node i of a type is
        row i of its table. `foreign_keys[A][c] = B` says column c of A
        holds primary key values of B; it gives the edge types (A, c, B) and
        (B, "rev_" + c, A). A composite key is a list of columns in
        `primary_keys` and a tuple of columns, in the key's order, in
        `foreign_keys`; its relation is the columns joined by "_".
        Neighbourhoods are sorted by the neighbour's time (from
        `time_columns`, or inherited), then by id. datetime64 and Arrow date
        and timestamp times become int64 in `time_unit` ("D", "h", "m", "s",
        "ms", "us", "ns"). `feature_columns` gives a float32 matrix per
        table in `x`. Keys that do not resolve are counted per foreign key
        in `report`, under "table.relation".

        With `inherit_time` (the default) a table without a time column whose
        foreign keys reference timed tables gets node times: per row, the
        latest time among the rows it references there (the int64 minimum
        for a row referencing none), in dependency order, not following
        foreign keys among tables on a cycle of such tables. `time_sources`
        says per timed table where its times come from: its time column, or
        the relations it inherits through. `inherit_time=False` turns this
        off; a collection of table names leaves those tables out.
        """
        from tovalib_data.schema import build

        arrays = build(tables, primary_keys, foreign_keys, time_columns, feature_columns,
                       time_unit, inherit_time)
        return cls(**vars(arrays))

    def save(self, path: str | os.PathLike[str]) -> None:
        """Write the graph to the directory `path`, atomically (see `storage`)."""
        from tovalib_data.storage import save

        save(self, path)

    @classmethod
    def load(cls, path: str | os.PathLike[str], mmap: bool = True) -> Graph:
        """A graph saved with `save`; with `mmap` every array is a read-only
        memory map, read only where sampling touches it."""
        from tovalib_data.storage import load

        return load(path, mmap=mmap)

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
