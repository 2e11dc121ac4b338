"""A loader of (source, destination) pairs for link prediction.

Every batch of pairs gets three subgraphs, all sampled strictly before the
pairs' times (or at them, with `inclusive=True`): of the sources, of the
positive destinations, and of negative destinations drawn among the
destination rows that existed at each pair's time. Like
`NeighborLoader` (whose order, shards, workers and resumption it shares), a
batch is a pure function of (seed, epoch, batch index).
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import TYPE_CHECKING, Any

import numpy as np
import numpy.typing as npt

import tovalib
from tovalib_data._optional import require
from tovalib_data.loading.arguments import (Ids, NumNeighbors, TimeWindows, budgets, int64_vector,
                                    integer)
from tovalib_data.loading.batch import Batch, TorchBatch
from tovalib_data.graph import Graph
from tovalib_data.loading.negatives import Negatives
from tovalib_data.loading.order import NEGATIVE, EpochOrder, Step, sampler_seed, stream
from tovalib_data.loading.passes import EpochLoader
from tovalib_data.loading.plan import SamplerPool, draws_nothing, subgraph
from tovalib_data.loading.labels import destinations, read_label_table
from tovalib_data.loading.seed_time import SeedTimes, check_exist, seed_times

if TYPE_CHECKING:
    import torch  # type: ignore[import-not-found, unused-ignore]

Int64Array = npt.NDArray[np.int64]


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
        """The number of pairs in the batch."""
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


class LinkNeighborLoader(EpochLoader[LinkBatch]):
    """Iterates over the batches of (source, destination) pairs of an
    epoch. Each batch is a `LinkBatch`: the subgraphs of its pairs' sources,
    of their destinations and of `negatives` negative destinations per
    pair. A pair's time is the moment its prediction is made, and the event
    the pair stands for comes after it: by default all three subgraphs are
    sampled strictly before the pair's time (at the pair's time minus one
    unit of the graph's time, which is each part's `seed_time`), so an event
    at the pair's own time (the order a pair was made from) never enters
    them; `inclusive=True` samples at the pair's time itself. Every pair's
    source and destination exist at its time (see `time`) and its negatives
    are drawn among rows that do, so nothing later than a pair's cut-off
    enters any of the three, as long as no time window has an upper bound
    above 0 (such a window reaches past the cut-off by design). Batch i of
    epoch e is a pure function of (seed, e, global batch index): the same
    for any `num_workers` and on every run; `state_dict` /
    `load_state_dict` resume exactly.

    Parameters:

    - `graph`: the `Graph` to sample.
    - `src_table`, `dst_table`: the node types of the pairs' sources and
      destinations (may be the same).
    - `src`, `dst`: row ids of `src_table` and `dst_table`, one training
      pair per position.
    - `time`: None (untimed pairs), or each pair's cut-off, one for all or
      one per pair, in any form `NeighborLoader` takes for `seed_time`.
      Pairs whose source or destination does not exist yet at the pair's
      time (a node time, its table's own or inherited, later than it) are
      a ValueError naming how many and the first, as `NeighborLoader`
      refuses such seeds.
    - `negatives`: negative destinations per pair, drawn with replacement,
      uniformly among the rows of `dst_table` that exist at the pair's time
      (node time <= pair time when `dst_table` has node times, its own or
      inherited, and the pairs have times; every row otherwise), never the
      pair's positive, from a stream seeded by (seed, epoch, global batch
      index). A pair without any such row is a ValueError naming its
      position and time. 0: no `neg`.
    - `num_neighbors`, `time_windows`: the budgets of every edge type, as
      `NeighborLoader` takes them; the same for all three subgraphs. A
      window whose upper bound is above 0 samples nodes later than the
      pair's time; windows are offsets from each part's `seed_time`.
    - `batch_size` (pairs per batch), `shuffle`, `drop_last`, `seed`,
      `num_workers`, `prefetch`, `rank`, `world_size`, `progress`,
      `gather`: as for `NeighborLoader`, with pairs in place of seeds.
    - `inclusive`: sample at the pair's time rather than strictly before
      it; for pairs whose time is a cut-off with every event of the pair
      after it (label tables are built so).

    `LinkNeighborLoader.from_labels(graph, src_table, dst_table, table,
    **options)` makes the pairs from a recommendation table.

    Stopping, worker errors and resumption behave as `NeighborLoader`'s.
    """

    def __init__(
        self,
        graph: Graph,
        src_table: str,
        dst_table: str,
        src: Ids,
        dst: Ids,
        time: SeedTimes | None = None,
        num_neighbors: NumNeighbors = (10, 5),
        time_windows: TimeWindows | None = None,
        negatives: int = 1,
        batch_size: int = 512,
        shuffle: bool = True,
        drop_last: bool = False,
        seed: int = 0,
        num_workers: int = 2,
        rank: int = 0,
        world_size: int = 1,
        *,
        prefetch: int = 2,
        progress: bool = False,
        gather: bool = True,
        inclusive: bool = False,
    ) -> None:
        for role, table in (("src", src_table), ("dst", dst_table)):
            if table not in graph.node_types:
                raise ValueError(f"unknown {role} table {table!r}; node types: "
                                 f"{graph.node_types}")
        self.src = _pair_ids(graph, src, "src", src_table)
        self.dst = _pair_ids(graph, dst, "dst", dst_table)
        if len(self.dst) != len(self.src):
            raise ValueError(f"dst has {len(self.dst)} entries, src has {len(self.src)}; "
                             "give one destination per source")
        self.time = None if time is None else seed_times(graph, time, len(self.src), "time",
                                                          "src")
        self.inclusive = bool(inclusive)
        self.sample_time = self.time
        if self.time is not None:
            for role, table, ids in (("src", src_table, self.src), ("dst", dst_table, self.dst)):
                check_exist(graph, table, ids, self.time, "pairs", role)
            if not self.inclusive:
                self.sample_time = _just_before(graph, self.time)
        self.negatives = integer("negatives", negatives, 0)
        self.graph, self.src_table, self.dst_table = graph, src_table, dst_table
        self.num_neighbors, self.time_windows = budgets(graph, num_neighbors, time_windows)
        order = EpochOrder(len(self.src), batch_size, shuffle, drop_last, seed, rank,
                           world_size)
        plan = _LinkPlan(self, seed, gather)
        super().__init__(plan, order, num_workers=num_workers, prefetch=prefetch,
                         progress=progress,
                         fingerprint=(src_table, dst_table, self.src, self.dst, self.time,
                                      self.negatives, self.num_neighbors, self.time_windows,
                                      *(() if self.inclusive else ("before",))))
        self.targets: tuple[Int64Array, Int64Array] | None = None

    @classmethod
    def from_labels(cls, graph: Graph, src_table: str, dst_table: str, table: Any,
                    **options: Any) -> LinkNeighborLoader:
        """A loader over the pairs of a recommendation table: per row
        (source `row`, cut-off `time`, `label` = the rows of `dst_table` the
        source links to after the cut-off), one pair per destination, in
        the table's order. `table` is a pandas DataFrame with those columns
        (as the label builders return it) or a RelBench recommendation
        `Table` (its source and destination key columns hold row ids).

        The pairs' time is the cut-off and every event a label stands for
        comes after it, so they are sampled at the cut-off itself
        (`inclusive=True`, unless `options` say otherwise). A destination
        that does not exist yet at its cut-off (a product listed later) is
        left out of the pairs: no subgraph of it exists then. `targets`
        keeps every row's destinations, those too, as CSR (indptr, indices)
        over the table's rows, for scoring a ranking per row (for example
        with `Batch.targets` over a `NeighborLoader` of the table's rows)."""
        taken = {"src", "dst", "time"} & set(options)
        if taken:
            raise TypeError(f"from_labels takes {sorted(taken)} from the table; "
                            "do not pass them")
        if dst_table not in graph.node_types:
            raise ValueError(f"unknown dst table {dst_table!r}; node types: "
                             f"{graph.node_types}")
        read = read_label_table(table, src_table, "src")
        indptr, indices = destinations(read.labels, read.label_column,
                                       graph.num_nodes[dst_table], dst_table)
        lengths = np.diff(indptr)
        src = np.repeat(read.rows, lengths)
        times = seed_times(graph, read.time, len(read.rows), "table time", "the table")
        time = np.repeat(times, lengths)
        dst_time = graph.node_time.get(dst_table)
        if dst_time is not None:
            known = np.take(dst_time, indices) <= time
            src, dst, time = src[known], indices[known], time[known]
        else:
            dst = indices
        options.setdefault("inclusive", True)
        loader = cls(graph, src_table, dst_table, src, dst, time, **options)
        loader.targets = (indptr, indices)
        return loader


def _pair_ids(graph: Graph, values: Any, name: str, table: str) -> Int64Array:
    ids = int64_vector(values, name)
    num = graph.num_nodes[table]
    if ids.size and not (0 <= ids.min() and ids.max() < num):
        raise ValueError(f"{name}: node ids of {table!r} must lie in [0, {num})")
    return ids


def _just_before(graph: Graph, time: Int64Array) -> Int64Array:
    """The pairs' times minus one unit: what is sampled strictly before
    them. Nothing lies before the earliest int64 time, so a pair there is
    refused."""
    early = np.flatnonzero(time == np.iinfo(np.int64).min)
    if len(early):
        raise ValueError(f"time: pair {int(early[0])} is at the earliest int64 time, before "
                         "which nothing can be sampled; give it a later time or pass "
                         "inclusive=True")
    return time - 1


class _LinkPlan:
    """Batch i of an epoch: its pairs' negatives, drawn from the stream of
    (seed, epoch, global batch index), then the subgraphs of the sources,
    the destinations and the negatives, in that order, with one sampler
    seeded from the same numbers (or a reused one, when no sample call draws
    a random number). Holds no reference to the loader."""

    def __init__(self, loader: LinkNeighborLoader, seed: int, gather: bool) -> None:
        self.graph, self.seed, self.gather = loader.graph, seed, gather
        self.src_table, self.dst_table = loader.src_table, loader.dst_table
        self.src, self.dst, self.time = loader.src, loader.dst, loader.time
        self.sample_time = loader.sample_time
        self.negatives = loader.negatives
        self.num_neighbors, self.time_windows = loader.num_neighbors, loader.time_windows
        graph = self.graph
        self.pool = Negatives.of(graph.node_time.get(self.dst_table),
                                 graph.num_nodes[self.dst_table])
        if self.negatives:
            self.pool.check(self.dst, self.time, self.dst_table)
        timed = self.time is not None
        self._samplers = SamplerPool(graph, all(
            draws_nothing(graph, table, timed, self.num_neighbors)
            for table in (self.src_table, self.dst_table)))

    def acquire_sampler(self) -> tovalib.NeighborSampler | None:
        return self._samplers.acquire()

    def release_sampler(self, sampler: tovalib.NeighborSampler | None) -> None:
        self._samplers.release(sampler)

    def batch(self, step: Step, sampler: tovalib.NeighborSampler | None) -> LinkBatch:
        positions, k = step.positions, self.negatives
        times = None if self.time is None else self.time[positions]
        at = None if self.sample_time is None else self.sample_time[positions]
        if sampler is None:
            sampler = self.graph.sampler(sampler_seed(self.seed, step.epoch, step.global_index))
        rng = np.random.default_rng(stream(self.seed, NEGATIVE, step.epoch, step.global_index))
        neg_dst = self.pool.draw(rng, self.dst[positions], times, k)

        def part(table: str, nodes: Int64Array, at: Int64Array | None,
                 index: Int64Array) -> Batch:
            return subgraph(self.graph, sampler, table, self.num_neighbors, self.time_windows,
                            nodes, at, index, self.gather)

        src = part(self.src_table, self.src[positions], at, positions)
        dst = part(self.dst_table, self.dst[positions], at, positions)
        neg = None
        if k:
            neg = part(self.dst_table, neg_dst.ravel(),
                       None if at is None else np.repeat(at, k), np.repeat(positions, k))
        return LinkBatch(src, dst, neg, positions, neg_dst)
