"""A reproducible, resumable mini-batch loader over a `Graph`.

Every batch is sampled by a sampler of its own, seeded from (seed, epoch,
batch index); the seed order of an epoch depends on (seed, epoch) only. A
batch is therefore a pure function of those numbers: the same for any number
of worker threads, in whatever order they finish, and after a restart.
"""

from __future__ import annotations

from typing import Any

import numpy as np
import numpy.typing as npt

import tovalib
from tovalib_data.graph import Graph
from tovalib_data.loading.arguments import Ids, NumNeighbors, TimeWindows, budgets, int64_vector
from tovalib_data.loading.batch import Batch
from tovalib_data.loading.labels import label_array, read_label_table
from tovalib_data.loading.order import EpochOrder, Step, sampler_seed
from tovalib_data.loading.passes import EpochLoader
from tovalib_data.loading.plan import SamplerPool, draws_nothing, subgraph
from tovalib_data.loading.seed_time import SeedTimes, check_exist, seed_times

Int64Array = npt.NDArray[np.int64]

__all__ = ["NeighborLoader", "sampler_seed"]


class NeighborLoader(EpochLoader[Batch]):
    """Iterates over the sampled batches of an epoch: batch i of epoch e is
    the sampler's result for its seeds, drawn by a sampler seeded from
    (seed, e, global batch index), so the same for any `num_workers` and
    on every run; `state_dict` / `load_state_dict` resume exactly.

    Parameters:

    - `graph`: the `Graph` to sample.
    - `entity_table`: the node type of the seeds.
    - `seeds`: node ids of `entity_table`, one training example per
      position (repeats allowed); None means every row, 0..n-1.
    - `seed_time`: None (no cut-off: count budgets sample plainly, unless
      the seeds' type has node times), or each seed's cut-off: one for all
      (an int or one time is broadcast) or one per seed. Integers are in
      the graph's time unit; `numpy.datetime64`, `datetime.date` and
      `datetime.datetime`, pandas `Timestamp`, `DatetimeIndex` and datetime
      `Series`, and sequences of them are converted to it (time-zone-aware
      ones as UTC; see `tovalib_data.loading.seed_time`). NaT or a time that does not
      fit int64 is a ValueError; integers all far outside the node times
      warn (another unit?). A seed that does not exist yet at its seed
      time (its node time, its table's own or inherited, is later) is a
      ValueError naming how many and the first.
    - `num_neighbors`: counts per hop (-1: all) for every edge type without
      a window, or a dict keyed by edge type key ("src__rel__dst") or
      (src, rel, dst) triple, where "default" gives the counts of every
      edge type the dict does not name.
    - `time_windows`: edge type (key or triple) -> (hops, 2) windows of
      integer offsets from the seed time, one row per hop, `None` for no
      lower bound (as the sampler's `sampling_time_offsets`); a lower
      bound above its upper is a ValueError. Each edge type takes exactly
      one budget: counts or a window.
    - `batch_size`: seeds per batch; `shuffle`: a new seed order each
      epoch, from (seed, epoch); `drop_last`: drop the last, short batch
      (and, with several ranks, the seeds that do not divide evenly).
    - `seed`: the root of every random stream (order and sampling).
    - `num_workers`: threads that sample ahead of the consumer (0: sample
      in the consumer's thread); `prefetch`: batches each worker keeps
      ready.
    - `rank`, `world_size`: this process's shard for data-parallel
      training; every rank gets the same number of batches.
    - `progress`: show a tqdm progress bar, when tqdm is installed.
    - `gather`: put the sampled nodes' feature rows and node times into
      each batch (`x_dict`, `time_dict`); False for features kept elsewhere.
    - `labels`: None, or one label per seed: a numeric array (bool,
      integer or float; its first axis the seeds) or a 1-D object array of
      arrays. Each batch's `y` holds its seeds' labels in seed order, and
      `to_pyg()` puts them on the seeds' type as `y`.

    `NeighborLoader.from_labels(graph, entity_table, table, **options)`
    takes the seeds, seed times and labels from a label table.

    Integer arguments take any integral (NumPy's too). Bad arguments are a
    ValueError or TypeError naming the argument, the edge type or the key.

    One pass at a time: starting a new iteration stops the previous one.
    Leaving a loop over the loader (by an exception too), dropping the
    iterator, `close()`, a new `iter()` or `load_state_dict` stops the
    worker threads; a consumer waiting in `next()` then gets StopIteration,
    and a batch being sampled then is dropped. An iterator held in a
    variable outlives a loop over it, and keeps its workers until one of
    those (`close()`, `del`). Passes still held at exit are stopped before
    the interpreter finalizes.
    """

    def __init__(
        self,
        graph: Graph,
        entity_table: str,
        seeds: Ids | None = None,
        seed_time: SeedTimes | None = None,
        num_neighbors: NumNeighbors = (10, 5),
        time_windows: TimeWindows | None = None,
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
        labels: npt.ArrayLike | None = None,
    ) -> None:
        if entity_table not in graph.node_types:
            raise ValueError(f"unknown entity table {entity_table!r}; "
                             f"node types: {graph.node_types}")
        num_entities = graph.num_nodes[entity_table]
        if seeds is None:
            seeds = np.arange(num_entities, dtype=np.int64)
        self.seeds = int64_vector(seeds, "seeds")
        if self.seeds.size and not (0 <= self.seeds.min() and self.seeds.max() < num_entities):
            raise ValueError(f"seeds: node ids of {entity_table!r} must lie in "
                             f"[0, {num_entities})")
        self.seed_time = (None if seed_time is None
                          else seed_times(graph, seed_time, len(self.seeds)))
        if self.seed_time is not None:
            check_exist(graph, entity_table, self.seeds, self.seed_time, "seeds", "seeds")
        self.labels = None if labels is None else label_array(labels, len(self.seeds))
        order = EpochOrder(len(self.seeds), batch_size, shuffle, drop_last, seed, rank,
                           world_size)
        self.graph = graph
        self.entity_table = entity_table
        self.num_neighbors, self.time_windows = budgets(graph, num_neighbors, time_windows)
        plan = _NeighborPlan(graph, entity_table, self.seeds, self.seed_time, self.labels,
                             self.num_neighbors, self.time_windows, order.seed, gather)
        super().__init__(plan, order, num_workers=num_workers, prefetch=prefetch,
                         progress=progress,
                         fingerprint=(entity_table, self.seeds, self.seed_time,
                                      self.num_neighbors, self.time_windows))

    @classmethod
    def from_labels(cls, graph: Graph, entity_table: str, table: Any,
                    **options: Any) -> NeighborLoader:
        """A loader over the rows of a label table: `row` gives the seeds,
        `time` their seed times and `label` their labels (`batch.y`).
        `table` is a pandas DataFrame with those columns (as the label
        builders return it; without `label`, no labels), or a RelBench task
        `Table`, whose entity column (the key into `entity_table`) holds row
        ids and whose one other column is the label. `options` are the
        loader's other arguments."""
        taken = {"seeds", "seed_time", "labels"} & set(options)
        if taken:
            raise TypeError(f"from_labels takes {sorted(taken)} from the table; "
                            "do not pass them")
        read = read_label_table(table, entity_table)
        return cls(graph, entity_table, seeds=read.rows, seed_time=read.time,
                   labels=read.labels, **options)


class _NeighborPlan:
    """Batch i of an epoch: the subgraphs of its seeds, sampled by a sampler
    seeded from (seed, epoch, global batch index), or by a reused one when
    no batch draws a random number."""

    def __init__(self, graph: Graph, entity_table: str, seeds: Int64Array,
                 seed_time: Int64Array | None, labels: npt.NDArray[Any] | None,
                 num_neighbors: dict[str, Int64Array],
                 time_windows: dict[str, npt.NDArray[Any]], seed: int, gather: bool) -> None:
        self.graph, self.entity_table, self.gather = graph, entity_table, gather
        self.seeds, self.seed_time, self.labels = seeds, seed_time, labels
        self.num_neighbors, self.time_windows = num_neighbors, time_windows
        self.seed = seed
        self._samplers = SamplerPool(
            graph, draws_nothing(graph, entity_table, seed_time is not None, num_neighbors))

    def acquire_sampler(self) -> tovalib.NeighborSampler | None:
        return self._samplers.acquire()

    def release_sampler(self, sampler: tovalib.NeighborSampler | None) -> None:
        self._samplers.release(sampler)

    def batch(self, step: Step, sampler: tovalib.NeighborSampler | None) -> Batch:
        positions = step.positions
        if sampler is None:
            sampler = self.graph.sampler(sampler_seed(self.seed, step.epoch, step.global_index))
        return subgraph(self.graph, sampler, self.entity_table, self.num_neighbors,
                        self.time_windows, self.seeds[positions],
                        None if self.seed_time is None else self.seed_time[positions],
                        positions, self.gather,
                        None if self.labels is None else self.labels[positions])
