"""A reproducible, resumable mini-batch loader over a `Graph`.

Every batch is sampled by a sampler of its own, seeded from (seed, epoch,
batch index); the seed order of an epoch depends on (seed, epoch) only. A
batch is therefore a pure function of those numbers: the same for any number
of worker threads, in whatever order they finish, and after a restart.
"""

from __future__ import annotations

import itertools
import queue
import threading
import weakref
from collections.abc import Iterator, Mapping, Sequence
from typing import Any

import numpy as np
import numpy.typing as npt

import tovalib
from tovalib_data._optional import require
from tovalib_data.batch import Batch
from tovalib_data.graph import Graph

Int64Array = npt.NDArray[np.int64]

# Tags that keep the two kinds of random streams of one (seed, epoch) apart.
_SHUFFLE, _SAMPLE = 0, 1
_POLL = 0.05  # seconds a blocked worker waits before checking for a stop
_thread_ids = itertools.count()


def _stream(seed: int, *key: int) -> np.random.SeedSequence:
    return np.random.SeedSequence(seed % 2**64, spawn_key=key)


def sampler_seed(seed: int, epoch: int, index: int) -> int:
    """The sampler seed of global batch `index` of `epoch`: 31 bits from
    numpy's SeedSequence over (seed, epoch, index), so it fits the sampler's
    signed 32-bit seed."""
    return int(_stream(seed, _SAMPLE, epoch, index).generate_state(1)[0] >> 1)


def _int64_vector(values: Any, name: str) -> Int64Array:
    array = np.asarray(values)
    if array.ndim != 1 or not (array.dtype.kind in "iu" or array.size == 0):
        raise TypeError(f"{name} must be a 1-D sequence of integers, got {array.dtype} "
                        f"of shape {array.shape}")
    return np.ascontiguousarray(array, dtype=np.int64)


def _windows(values: Any, key: str) -> npt.NDArray[Any]:
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


class NeighborLoader:
    """Iterates over the sampled batches of one epoch (see the README).

    `num_neighbors` is one list of counts per hop for every edge type, or a
    dict keyed by edge type key; `time_windows` maps edge type keys to
    (hops, 2) windows, as `sampling_time_offsets`. Every edge type takes one
    budget: with a list, the edge types without a window get the list.
    `num_workers` threads sample up to `prefetch` batches each ahead of the
    consumer; 0 samples in the caller's thread. With `progress=True` a tqdm
    bar is shown when tqdm is installed. With `gather=False` batches carry
    no feature rows or node times (for features kept elsewhere).

    One pass at a time: starting a new iteration stops the previous one.
    """

    def __init__(
        self,
        graph: Graph,
        entity_table: str,
        seeds: Sequence[int] | Int64Array | None = None,
        seed_time: Sequence[int] | npt.NDArray[Any] | int | None = None,
        num_neighbors: Sequence[int] | Mapping[str, Sequence[int]] = (10, 5),
        time_windows: Mapping[str, Any] | None = None,
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
    ) -> None:
        if entity_table not in graph.node_types:
            raise ValueError(f"unknown entity table {entity_table!r}; "
                             f"node types: {graph.node_types}")
        num_entities = graph.num_nodes[entity_table]
        if seeds is None:
            seeds = np.arange(num_entities, dtype=np.int64)
        self.seeds = _int64_vector(seeds, "seeds")
        if self.seeds.size and not (0 <= self.seeds.min() and self.seeds.max() < num_entities):
            raise ValueError(f"seeds: node ids of {entity_table!r} must lie in "
                             f"[0, {num_entities})")
        self.seed_time = None if seed_time is None else self._seed_times(graph, seed_time)
        for name, value, low in [("batch_size", batch_size, 1), ("num_workers", num_workers, 0),
                                 ("world_size", world_size, 1), ("prefetch", prefetch, 1)]:
            if not isinstance(value, int) or value < low:
                raise ValueError(f"{name} must be an integer >= {low}, got {value!r}")
        if not 0 <= rank < world_size:
            raise ValueError(f"rank must lie in [0, world_size={world_size}), got {rank}")
        self.graph = graph
        self.entity_table = entity_table
        self.num_neighbors, self.time_windows = self._budgets(graph, num_neighbors, time_windows)
        self.batch_size, self.shuffle, self.drop_last = batch_size, shuffle, drop_last
        self.seed, self.num_workers, self.prefetch = seed, num_workers, prefetch
        self.rank, self.world_size, self.progress = rank, world_size, progress
        self._plan = _Plan(graph, entity_table, self.seeds, self.seed_time, self.num_neighbors,
                           self.time_windows, batch_size, seed, rank, world_size, gather)
        self.epoch = 0
        self._position = 0  # batches of this epoch handed to the consumer
        self._resume = False  # the next pass starts at _position
        self._pass: weakref.ref[_Pass] | None = None

    def _seed_times(self, graph: Graph, values: Any) -> Int64Array:
        times = np.asarray(values)
        if times.dtype.kind == "M":
            if graph.time_unit is None:
                raise TypeError("seed_time: datetime64 needs a graph with a time unit; "
                                "pass int64 times in the unit of the graph's node times")
            times = times.astype(f"datetime64[{graph.time_unit}]").astype(np.int64)
        if times.ndim == 0:
            times = np.full(len(self.seeds), times)
        times = _int64_vector(times, "seed_time")
        if len(times) != len(self.seeds):
            raise ValueError(f"seed_time has {len(times)} entries, seeds has {len(self.seeds)}; "
                             "give one time per seed")
        return times

    @staticmethod
    def _budgets(
        graph: Graph, num_neighbors: Any, time_windows: Mapping[str, Any] | None
    ) -> tuple[dict[str, Int64Array], dict[str, npt.NDArray[Any]]]:
        keys = ["__".join(et) for et in graph.edge_types]
        windows = dict(time_windows or {})
        if isinstance(num_neighbors, Mapping):
            counts = dict(num_neighbors)
        else:
            counts = {k: num_neighbors for k in keys if k not in windows}
        for name, given in [("num_neighbors", counts), ("time_windows", windows)]:
            for key in given:
                if key not in keys:
                    raise ValueError(f"{name}: unknown edge type key {key!r}; "
                                     f"edge types: {keys}")
        for key in keys:
            if (key in counts) == (key in windows):
                where = "both" if key in counts else "neither of"
                raise ValueError(f"edge type {key!r} is in {where} num_neighbors and "
                                 "time_windows; give it exactly one budget")
        for key in windows:
            src = key.split("__")[0]
            if src not in graph.node_time:
                raise ValueError(f"time_windows[{key!r}]: node type {src!r} has no times")
        return ({k: _int64_vector(v, f"num_neighbors[{k!r}]") for k, v in counts.items()},
                {k: _windows(v, k) for k, v in windows.items()})

    # -- the epoch's plan -------------------------------------------------

    def _per_rank(self) -> int:
        n, ws = len(self.seeds), self.world_size
        if self.drop_last:
            return n // ws
        return -(-n // ws) if n else 0

    def __len__(self) -> int:
        per_rank = self._per_rank()
        if self.drop_last:
            return per_rank // self.batch_size
        return -(-per_rank // self.batch_size)

    def shard(self, epoch: int | None = None) -> Int64Array:
        """Positions in `seeds` this rank samples in `epoch` (default: the
        current one), in batch order. Like torch's DistributedSampler: the
        epoch's order is padded by repeating its start (or cut, with
        drop_last) to a multiple of world_size, and rank r takes every
        world_size-th position from r."""
        epoch = self.epoch if epoch is None else epoch
        n = len(self.seeds)
        if self.shuffle:
            order = np.random.default_rng(_stream(self.seed, _SHUFFLE, epoch)).permutation(n)
        else:
            order = np.arange(n)
        total = self._per_rank() * self.world_size
        if total > n:
            order = np.resize(order, total)  # repeats from the start
        shard = order[self.rank : total : self.world_size]
        return shard[: len(self) * self.batch_size].astype(np.int64)

    def set_epoch(self, epoch: int) -> None:
        """Select the epoch the next pass samples. Changing the epoch starts it
        from its first batch; setting the current one keeps a loaded position."""
        if epoch != self.epoch:
            self.epoch, self._position, self._resume = epoch, 0, False

    # -- resumption -------------------------------------------------------

    def state_dict(self) -> dict[str, int]:
        """The epoch and the number of its batches handed to the consumer."""
        return {"epoch": self.epoch, "position": self._position, "seed": self.seed,
                "batches": len(self)}

    def load_state_dict(self, state: Mapping[str, int]) -> None:
        """Continue after the batches counted in `state` (from `state_dict`)."""
        for key in ("epoch", "position", "seed", "batches"):
            if key not in state:
                raise ValueError(f"state lacks {key!r}")
        if (state["seed"], state["batches"]) != (self.seed, len(self)):
            raise ValueError(
                f"state is of a loader with seed {state['seed']} and {state['batches']} "
                f"batches; this one has seed {self.seed} and {len(self)} batches")
        if not 0 <= state["position"] <= len(self):
            raise ValueError(f"state position {state['position']} outside [0, {len(self)}]")
        self.close()
        self.epoch, self._position, self._resume = state["epoch"], state["position"], True

    # -- iteration --------------------------------------------------------

    def sample_batch(self, index: int, epoch: int | None = None) -> Batch:
        """Batch `index` of `epoch` (default: the current one) on this rank."""
        epoch = self.epoch if epoch is None else epoch
        return self._plan.batch(index, epoch, self.shard(epoch))

    def __iter__(self) -> Iterator[Batch]:
        self.close()
        if not self._resume:
            self._position = 0
        self._resume = False
        epoch_pass = _Pass(self)
        self._pass = weakref.ref(epoch_pass)
        return epoch_pass

    def close(self) -> None:
        """Stop the current pass and its worker threads."""
        current = self._pass() if self._pass is not None else None
        if current is not None:
            current.close()


class _Plan:
    """What a batch is sampled from; shared with the worker threads, which
    hold no reference to the loader or its pass."""

    def __init__(self, graph: Graph, entity_table: str, seeds: Int64Array,
                 seed_time: Int64Array | None, num_neighbors: dict[str, Int64Array],
                 time_windows: dict[str, npt.NDArray[Any]], batch_size: int, seed: int,
                 rank: int, world_size: int, gather: bool) -> None:
        self.graph, self.entity_table, self.gather = graph, entity_table, gather
        self.seeds, self.seed_time = seeds, seed_time
        self.num_neighbors, self.time_windows = num_neighbors, time_windows
        self.batch_size, self.seed, self.rank, self.world_size = batch_size, seed, rank, world_size
        self._deterministic = self._draws_nothing()
        # Reusable samplers not in use by a thread right now; kept across
        # passes, so that the neighbourhoods a sampler has checked for time
        # order stay checked.
        self._idle: queue.SimpleQueue[tovalib.NeighborSampler] = queue.SimpleQueue()

    def _draws_nothing(self) -> bool:
        """Whether no batch draws a random number: every count budget is
        temporal (the source type and the seeds have times) or takes all
        neighbours, and windows are deterministic anyway."""
        times = self.graph.node_time
        if not times or (self.seed_time is None and self.entity_table not in times):
            return False
        return not any(key.split("__")[0] not in times and (counts > 0).any()
                       for key, counts in self.num_neighbors.items())

    def acquire_sampler(self) -> tovalib.NeighborSampler | None:
        """A sampler a thread may use for all its batches, when no batch
        draws a random number: a sampler's state then does not affect its
        results, and reusing one saves checking the time order of the same
        neighbourhoods again for every batch. None otherwise: every batch
        then gets a sampler of its own. Give it back with release_sampler."""
        if not self._deterministic:
            return None
        try:
            return self._idle.get_nowait()
        except queue.Empty:
            return self.graph.sampler(0)

    def release_sampler(self, sampler: tovalib.NeighborSampler | None) -> None:
        if sampler is not None:
            self._idle.put(sampler)

    def batch(self, index: int, epoch: int, shard: Int64Array,
              sampler: tovalib.NeighborSampler | None = None) -> Batch:
        positions = shard[index * self.batch_size : (index + 1) * self.batch_size]
        nodes = self.seeds[positions]
        times = None if self.seed_time is None else self.seed_time[positions]
        graph = self.graph
        if sampler is None:
            # Ranks interleave in the global batch order, so no two ranks share a seed.
            sampler = graph.sampler(sampler_seed(self.seed, epoch,
                                                 index * self.world_size + self.rank))
        result = sampler.sample(self.num_neighbors, self.time_windows, self.entity_table,
                                nodes, np.empty(0, np.int64) if times is None else times)
        node_dict = result[2]
        if not self.gather:
            return Batch(self.entity_table, *result, seed_node=nodes, seed_time=times,
                         seed_index=positions)
        return Batch(
            self.entity_table, *result, seed_node=nodes, seed_time=times,
            seed_index=positions,
            x_dict={t: np.take(x, node_dict[t], axis=0) for t, x in graph.x.items()},
            time_dict={t: np.take(tm, node_dict[t]) for t, tm in graph.node_time.items()},
        )


class _Pass(Iterator[Batch]):
    """One pass over the rest of an epoch. It keeps the loader alive, the
    loader only refers to it weakly, and the workers refer to neither: so
    dropping the pass (leaving the loop) stops the workers, and so does
    closing the loader."""

    def __init__(self, loader: NeighborLoader) -> None:
        self._loader = loader
        self._plan = loader._plan
        self._sampler: tovalib.NeighborSampler | None = None
        self._epoch = loader.epoch
        self._shard = loader.shard()
        self._next = self._start = loader._position
        self._end = len(loader)
        self._stop = threading.Event()
        self._queues: list[queue.Queue[tuple[Batch | None, BaseException | None]]] = []
        self._threads: list[threading.Thread] = []
        self._bar: Any = None
        if loader.progress:
            try:
                tqdm = require("tqdm").tqdm
            except ImportError:
                pass
            else:
                self._bar = tqdm(total=self._end, initial=self._next, unit="batch")
        workers = min(loader.num_workers, self._end - self._next)
        for w in range(workers):
            q: queue.Queue[tuple[Batch | None, BaseException | None]] = queue.Queue(
                loader.prefetch)
            thread = threading.Thread(
                target=_produce,
                args=(self._plan, self._epoch, self._shard,
                      range(self._next + w, self._end, workers), q, self._stop),
                name=f"tovalib-loader-{next(_thread_ids)}", daemon=True)
            self._queues.append(q)
            self._threads.append(thread)
        for thread in self._threads:
            thread.start()

    def __next__(self) -> Batch:
        if self._next >= self._end or self._stop.is_set():
            self.close()
            raise StopIteration
        try:
            if self._queues:
                batch, error = self._queues[(self._next - self._start) % len(self._queues)].get()
                if error is not None:
                    raise error
                assert batch is not None
            else:
                if self._next == self._start:
                    self._sampler = self._plan.acquire_sampler()
                batch = self._plan.batch(self._next, self._epoch, self._shard, self._sampler)
        except BaseException:
            self.close()
            raise
        self._next += 1
        self._loader._position = self._next
        if self._bar is not None:
            self._bar.update(1)
        return batch

    def close(self) -> None:
        self._stop.set()
        for q in self._queues:  # unblock workers waiting for room
            while True:
                try:
                    q.get_nowait()
                except queue.Empty:
                    break
        current = threading.current_thread()
        for thread in self._threads:
            if thread is not current:
                thread.join()
        self._threads = []
        self._plan.release_sampler(self._sampler)
        self._sampler = None
        if self._bar is not None:
            self._bar.close()
            self._bar = None

    def __del__(self) -> None:
        if hasattr(self, "_bar"):  # else __init__ failed before starting anything
            self.close()


def _produce(
    plan: _Plan,
    epoch: int,
    shard: Int64Array,
    indices: range,
    out: queue.Queue[tuple[Batch | None, BaseException | None]],
    stop: threading.Event,
) -> None:
    """A worker: samples `indices` in order into `out` until stopped. An
    error is handed over in place of its batch, with its traceback."""
    sampler = None
    try:
        for index in indices:
            try:
                if sampler is None and index == indices.start:
                    sampler = plan.acquire_sampler()
                item: tuple[Batch | None, BaseException | None] = (
                    plan.batch(index, epoch, shard, sampler), None)
            except BaseException as error:
                item = (None, error)
            while not stop.is_set():
                try:
                    out.put(item, timeout=_POLL)
                    break
                except queue.Full:
                    continue
            if stop.is_set() or item[1] is not None:
                return
    finally:
        plan.release_sampler(sampler)
