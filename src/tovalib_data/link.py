"""A loader of (source, destination) pairs for link prediction.

Every batch of pairs gets three subgraphs, all sampled at the pairs' times:
of the sources, of the positive destinations, and of negative destinations
drawn among the destination rows that existed at each pair's time. Like
`NeighborLoader` (whose order, shards, workers and resumption it shares), a
batch is a pure function of (seed, epoch, batch index).
"""

from __future__ import annotations

from collections.abc import Mapping, Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any

import numpy as np
import numpy.typing as npt

import tovalib
from tovalib_data import loader as _loader
from tovalib_data._optional import require
from tovalib_data.batch import Batch, TorchBatch
from tovalib_data.graph import Graph
from tovalib_data.negatives import Negatives

if TYPE_CHECKING:
    import torch  # type: ignore[import-not-found, unused-ignore]

Int64Array = npt.NDArray[np.int64]

_NEGATIVE = 2  # the stream tag of negatives, next to the loader's shuffle and sample tags


@dataclass(frozen=True)
class LinkBatch:
    """The three subgraphs of one batch of pairs.

    `src` and `dst` are sampled from the pairs' sources and positive
    destinations, `neg` from `neg_dst` (shape (pairs, negatives)) flattened
    pair by pair, each at its pair's time; `neg` is None without negatives.
    `pair_index` holds the pairs' positions in the loader's pairs (also each
    part's `seed_index`; in `neg` repeated once per negative).
    """

    src: Batch
    dst: Batch
    neg: Batch | None
    pair_index: Int64Array
    neg_dst: Int64Array

    @property
    def batch_size(self) -> int:
        return len(self.pair_index)

    def to_pyg(self) -> tuple[Any, Any, Any]:
        """The three `HeteroData` of `Batch.to_pyg` (src, dst, neg; neg is None
        without negatives)."""
        return (self.src.to_pyg(), self.dst.to_pyg(),
                None if self.neg is None else self.neg.to_pyg())

    def to_torch(self) -> TorchLinkBatch:
        """The same arrays as torch tensors sharing their memory."""
        tensor = require("torch").from_numpy
        return TorchLinkBatch(self.src.to_torch(), self.dst.to_torch(),
                              None if self.neg is None else self.neg.to_torch(),
                              tensor(self.pair_index), tensor(self.neg_dst))


@dataclass(frozen=True)
class TorchLinkBatch:
    """`LinkBatch` with torch tensors in place of the NumPy arrays."""

    src: TorchBatch
    dst: TorchBatch
    neg: TorchBatch | None
    pair_index: torch.Tensor
    neg_dst: torch.Tensor


class _LinkPlan:
    """What a batch of pairs is sampled from (the worker threads' view)."""

    def __init__(self, graph: Graph, src_table: str, dst_table: str, src: Int64Array,
                 dst: Int64Array, time: Int64Array | None, negatives: int,
                 num_neighbors: dict[str, Int64Array],
                 time_windows: dict[str, npt.NDArray[Any]], batch_size: int, seed: int,
                 rank: int, world_size: int, gather: bool) -> None:
        self.src_table, self.dst_table = src_table, dst_table
        self.src, self.dst, self.time, self.negatives = src, dst, time, negatives
        self.batch_size, self.seed, self.rank, self.world_size = batch_size, seed, rank, world_size
        self.pool = Negatives.of(graph.node_time.get(dst_table), graph.num_nodes[dst_table])
        if negatives:
            self.pool.check(dst, time, dst_table)
        # One node plan per endpoint table samples the subgraphs.
        self.parts = {t: _loader._Plan(graph, t, src, time, num_neighbors, time_windows,
                                       batch_size, seed, rank, world_size, gather)
                      for t in dict.fromkeys([src_table, dst_table])}

    def acquire_sampler(self) -> tovalib.NeighborSampler | None:
        if all(p._deterministic for p in self.parts.values()):
            return self.parts[self.src_table].acquire_sampler()
        return None

    def release_sampler(self, sampler: tovalib.NeighborSampler | None) -> None:
        self.parts[self.src_table].release_sampler(sampler)

    def batch(self, index: int, epoch: int, shard: Int64Array,
              sampler: tovalib.NeighborSampler | None = None) -> LinkBatch:
        positions = shard[index * self.batch_size : (index + 1) * self.batch_size]
        times = None if self.time is None else self.time[positions]
        at = index * self.world_size + self.rank  # the global batch index
        if sampler is None:
            sampler = self.parts[self.src_table].graph.sampler(
                _loader.sampler_seed(self.seed, epoch, at))
        rng = np.random.default_rng(_loader._stream(self.seed, _NEGATIVE, epoch, at))
        neg_dst = self.pool.draw(rng, self.dst[positions], times, self.negatives)
        src = _sample(self.parts[self.src_table], sampler, self.src[positions], times, positions)
        dst = _sample(self.parts[self.dst_table], sampler, self.dst[positions], times, positions)
        neg = None
        if self.negatives:
            neg = _sample(self.parts[self.dst_table], 
                sampler, neg_dst.ravel(), None if times is None else np.repeat(times, self.negatives),
                np.repeat(positions, self.negatives))
        return LinkBatch(src, dst, neg, positions, neg_dst)


def _sample(plan: _loader._Plan, sampler: tovalib.NeighborSampler, nodes: Int64Array,
            times: Int64Array | None, positions: Int64Array) -> Batch:
    # Interim: the node plan's own sampling step, until the loader's modules
    # offer it on its own.
    graph = plan.graph
    result = sampler.sample(plan.num_neighbors, plan.time_windows, plan.entity_table,
                            nodes, np.empty(0, np.int64) if times is None else times)
    node_dict = result[2]
    gathered: dict[str, Any] = {}
    if plan.gather:
        gathered = {
            "x_dict": {t: np.take(x, node_dict[t], axis=0) for t, x in graph.x.items()},
            "time_dict": {t: np.take(tm, node_dict[t]) for t, tm in graph.node_time.items()}}
    return Batch(plan.entity_table, result[0], result[1], node_dict, result[3], result[4],
                 result[5], seed_node=nodes, seed_time=times, seed_index=positions, **gathered)


class LinkNeighborLoader(_loader.NeighborLoader):
    """Interim: on the node loader's order, shards and passes."""

    def __init__(self, graph: Graph, src_table: str, dst_table: str, src: Any, dst: Any,
                 time: Any = None, num_neighbors: Any = (10, 5), time_windows: Any = None,
                 negatives: int = 1, batch_size: int = 512, shuffle: bool = True,
                 drop_last: bool = False, seed: int = 0, num_workers: int = 2, rank: int = 0,
                 world_size: int = 1, *, prefetch: int = 2, progress: bool = False,
                 gather: bool = True) -> None:
        for role, table in (("src", src_table), ("dst", dst_table)):
            if table not in graph.node_types:
                raise ValueError(f"unknown {role} table {table!r}; node types: {graph.node_types}")
        dst_ids = _pair_ids(graph, dst, "dst", dst_table)
        src_ids = _pair_ids(graph, src, "src", src_table)
        if len(dst_ids) != len(src_ids):
            raise ValueError(f"dst has {len(dst_ids)} entries, src has {len(src_ids)}; "
                             "give one destination per source")
        if not isinstance(negatives, int) or negatives < 0:
            raise ValueError(f"negatives must be an integer >= 0, got {negatives!r}")
        super().__init__(graph, src_table, src_ids, time, num_neighbors, time_windows,
                         batch_size, shuffle, drop_last, seed, num_workers, rank, world_size,
                         prefetch=prefetch, progress=progress, gather=gather)
        self.src, self.dst, self.negatives = src_ids, dst_ids, negatives
        self._plan = _LinkPlan(graph, src_table, dst_table, self.src, self.dst,  # type: ignore
                               self.seed_time, negatives, self.num_neighbors,
                               self.time_windows, batch_size, seed, rank, world_size, gather)


def _pair_ids(graph: Graph, values: Any, name: str, table: str) -> Int64Array:
    ids = _loader._int64_vector(values, name)
    num = graph.num_nodes[table]
    if ids.size and not (0 <= ids.min() and ids.max() < num):
        raise ValueError(f"{name}: node ids of {table!r} must lie in [0, {num})")
    return ids
