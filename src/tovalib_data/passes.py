"""A loader's epochs and its passes over them: the epoch and position that
`state_dict` records, and the iterator that hands a plan's batches to the
consumer in order, from worker threads or from the consumer's own thread.

`EpochLoader` is the base of the loaders: a subclass builds a `Plan` and an
`EpochOrder` and hands them over; iteration, sharding, resumption and
shutdown are the same for every loader.
"""

from __future__ import annotations

import queue
import threading
import weakref
from collections.abc import Iterator, Mapping, Sequence
from typing import Any, Generic, TypeVar

import numpy as np
import numpy.typing as npt

import tovalib
from tovalib_data._optional import require
from tovalib_data.arguments import integer
from tovalib_data.order import EpochOrder
from tovalib_data.plan import Plan
from tovalib_data.workers import Workers

Int64Array = npt.NDArray[np.int64]
ItemT = TypeVar("ItemT")


class EpochLoader(Generic[ItemT]):
    """Iterates over the batches `plan` makes for the steps of `order`.

    `num_workers` threads make up to `prefetch` batches each ahead of the
    consumer; 0 makes them in the consumer's thread. With `progress=True` a
    tqdm bar is shown when tqdm is installed. `fingerprint` lists what
    identifies the loader's items (arrays, dicts of arrays, numbers,
    strings), for recognising its own states.

    One pass at a time: starting a new iteration stops the previous one.
    """

    def __init__(self, plan: Plan[ItemT], order: EpochOrder, *, num_workers: int,
                 prefetch: int, progress: bool, fingerprint: Sequence[object] = ()) -> None:
        self.num_workers = integer("num_workers", num_workers, 0)
        self.prefetch = integer("prefetch", prefetch, 1)
        self.progress = progress
        self._plan, self._order = plan, order
        self.batch_size, self.shuffle, self.drop_last = (
            order.batch_size, order.shuffle, order.drop_last)
        self.seed, self.rank, self.world_size = order.seed, order.rank, order.world_size
        self._fingerprint = tuple(fingerprint)
        self.epoch = 0
        self._position = 0  # batches of this epoch handed to the consumer
        self._resume = False  # the next pass starts at _position
        self._pass: weakref.ref[Pass[ItemT]] | None = None

    # -- the epoch's plan -------------------------------------------------

    def __len__(self) -> int:
        return len(self._order)

    def shard(self, epoch: int | None = None) -> Int64Array:
        """Positions in the loader's items this rank visits in `epoch`
        (default: the current one), in batch order. Like torch's
        DistributedSampler: the epoch's order is padded by repeating its
        start (or cut, with drop_last) to a multiple of world_size, and rank
        r takes every world_size-th position from r."""
        return self._order.shard(self.epoch if epoch is None else integer("epoch", epoch, 0))

    def set_epoch(self, epoch: int) -> None:
        """Select the epoch the next pass samples. Changing the epoch starts it
        from its first batch; setting the current one keeps a loaded position.
        Epochs are integers >= 0."""
        epoch = integer("epoch", epoch, 0)
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

    def sample_batch(self, index: int, epoch: int | None = None) -> ItemT:
        """Batch `index` (in [0, len(self))) of `epoch` (default: the current
        one) on this rank, as a pass over that epoch yields it; an index
        outside is an IndexError."""
        epoch = self.epoch if epoch is None else integer("epoch", epoch, 0)
        if isinstance(index, (bool, np.bool_)) or not isinstance(index, (int, np.integer)):
            raise TypeError(f"batch index must be an integer, got {index!r}")
        if not 0 <= index < len(self):
            raise IndexError(f"batch index {index} outside [0, {len(self)}): "
                             f"this rank has {len(self)} batches per epoch")
        return self._plan.batch(self._order.step(epoch, self._order.shard(epoch), index), None)

    def __iter__(self) -> Iterator[ItemT]:
        self.close()
        if not self._resume:
            self._position = 0
        self._resume = False
        epoch_pass = Pass(self)
        self._pass = weakref.ref(epoch_pass)
        return epoch_pass

    def close(self) -> None:
        """Stop the current pass and its worker threads."""
        current = self._pass() if self._pass is not None else None
        if current is not None:
            current.close()


class Pass(Iterator[ItemT], Generic[ItemT]):
    """One pass over the rest of an epoch. It keeps the loader alive, the
    loader only refers to it weakly, and the workers refer to neither: so
    dropping the pass (leaving the loop) stops the workers, and so does
    closing the loader."""

    def __init__(self, loader: EpochLoader[ItemT]) -> None:
        self._loader = loader
        self._plan, self._order = loader._plan, loader._order
        self._sampler: tovalib.NeighborSampler | None = None
        self._epoch = loader.epoch
        self._shard = loader.shard()
        self._next = self._start = loader._position
        self._end = len(loader)
        self._stop = threading.Event()
        self._queues: list[queue.Queue[Any]] = []
        self._threads: list[threading.Thread] = []
        self._bar: Any = None
        if loader.progress:
            try:
                tqdm = require("tqdm").tqdm
            except ImportError:
                pass
            else:
                self._bar = tqdm(total=self._end, initial=self._next, unit="batch")
        self._workers = Workers(self._plan, self._order, self._epoch, self._shard, self._next,
                                self._end, min(loader.num_workers, self._end - self._next),
                                loader.prefetch, self._stop)
        self._queues, self._threads = self._workers.queues, self._workers.threads
        self._workers.start()

    def __next__(self) -> ItemT:
        if self._next >= self._end or self._stop.is_set():
            self.close()
            raise StopIteration
        item: ItemT
        try:
            if self._queues:
                got, error = self._queues[(self._next - self._start) % len(self._queues)].get()
                if error is not None:
                    raise error
                item = got
            else:
                if self._next == self._start:
                    self._sampler = self._plan.acquire_sampler()
                item = self._plan.batch(self._order.step(self._epoch, self._shard, self._next),
                                       self._sampler)
        except BaseException:
            self.close()
            raise
        self._next += 1
        self._loader._position = self._next
        if self._bar is not None:
            self._bar.update(1)
        return item

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
