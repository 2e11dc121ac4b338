"""A loader's epochs and its passes over them: the epoch and position that
`state_dict` records, and the iterator that hands a plan's batches to the
consumer in order, from worker threads or from the consumer's own thread.

`EpochLoader` is the base of the loaders: a subclass builds a `Plan` and an
`EpochOrder` and hands them over; iteration, sharding, resumption and
shutdown are the same for every loader.

Stopping takes no lock: `close()` may run in another thread, or in a signal
handler, which runs in the main thread between two bytecodes, perhaps while
that thread holds a queue's lock or waits in `next()`. It only raises a
flag and joins the workers; the consumer and the workers poll the flag
while they wait.
"""

from __future__ import annotations

import atexit
import hashlib
import queue
import threading
import weakref
from collections.abc import Iterator, Mapping, Sequence
from typing import Any, Generic, TypeVar

import numpy as np
import numpy.typing as npt

import tovalib
from tovalib_data._optional import require
from tovalib_data.loading.arguments import integer
from tovalib_data.loading.order import EpochOrder
from tovalib_data.loading.plan import Plan
from tovalib_data.loading.workers import POLL, Flag, Workers

Int64Array = npt.NDArray[np.int64]
ItemT = TypeVar("ItemT")


class _Cursor:
    """The batches of the current epoch handed to the consumer, written by
    the pass that owns it. Resetting the loader's position gives the loader
    a new cursor, so a pass that is still running cannot overwrite it."""

    __slots__ = ("position",)

    def __init__(self, position: int) -> None:
        self.position = position


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
        self._digest_value: str | None = None  # computed when first asked for
        self.epoch = 0
        self._cursor = _Cursor(0)
        self._resume = False  # the next pass starts at the cursor's position
        self._pass: weakref.ref[Pass[ItemT]] | None = None

    # -- the epoch's plan -------------------------------------------------

    def __len__(self) -> int:
        """Batches per epoch on this rank (the same on every rank)."""
        return len(self._order)

    def shard(self, epoch: int | None = None) -> Int64Array:
        """Positions in the loader's items (seeds, or pairs) this rank visits
        in `epoch` (an integer >= 0; default: the current one), in batch
        order. Like torch's
        DistributedSampler: the epoch's order is padded by repeating its
        start (or cut, with drop_last) to a multiple of world_size, and rank
        r takes every world_size-th position from r."""
        return self._order.shard(self.epoch if epoch is None else integer("epoch", epoch, 0))

    def set_epoch(self, epoch: int) -> None:
        """Select `epoch` (an integer >= 0) for the next pass. Changing the
        epoch starts it from its first batch; setting the current one keeps
        a loaded position (call it every epoch, after `load_state_dict` too)."""
        epoch = integer("epoch", epoch, 0)
        if epoch != self.epoch:
            self.epoch, self._cursor, self._resume = epoch, _Cursor(0), False

    # -- resumption -------------------------------------------------------

    def state_dict(self) -> dict[str, int | str]:
        """The epoch and the number of its batches handed to the consumer
        ("epoch", "position"), and what identifies this loader: "seed",
        "batches" per epoch, "rank", "world_size" and "digest", a SHA-256
        over the loader's items and how they are batched and sampled."""
        return {"epoch": self.epoch, "position": self._cursor.position, "seed": self.seed,
                "batches": len(self), "rank": self.rank, "world_size": self.world_size,
                "digest": self._digest()}

    def load_state_dict(self, state: Mapping[str, int | str]) -> None:
        """Continue after the batches counted in `state` (from `state_dict`
        of a loader over the same items, options and rank); a state of
        another loader is a ValueError naming what differs."""
        mine = self.state_dict()
        for key in mine:
            if key not in state:
                raise ValueError(f"state lacks {key!r}; give a state from state_dict()")
        for key in ("epoch", "position", "seed", "batches", "rank", "world_size"):
            integer(f"state[{key!r}]", state[key], 0 if key in ("epoch", "position") else None)
        def shown(value: object) -> str:  # digests by their start
            return repr(value[:12] + "...") if isinstance(value, str) else repr(value)

        differ = [f"{key} {shown(state[key])} (this one: {shown(mine[key])})"
                  for key in ("seed", "batches", "rank", "world_size", "digest")
                  if state[key] != mine[key]]
        if differ:
            covers = ("; the digest covers the items (seeds or pairs), their times, the "
                      "budgets and the batching" if state["digest"] != mine["digest"] else "")
            raise ValueError("state is of another loader: " + ", ".join(differ) + covers)
        position = int(state["position"])
        if not 0 <= position <= len(self):
            raise ValueError(f"state position {position} outside [0, {len(self)}]")
        self.close()
        self.epoch, self._cursor, self._resume = int(state["epoch"]), _Cursor(position), True

    def _digest(self) -> str:
        if self._digest_value is None:
            order = self._order
            self._digest_value = _digest((order.num_items, order.batch_size, order.shuffle,
                                          order.drop_last, *self._fingerprint))
        return self._digest_value

    # -- iteration --------------------------------------------------------

    def sample_batch(self, index: int, epoch: int | None = None) -> ItemT:
        """Batch `index` of `epoch` (default: the current one) on this rank,
        as a pass over that epoch yields it, sampled in the caller's thread.
        `index` lies in [0, len(self)): others are an IndexError."""
        epoch = self.epoch if epoch is None else integer("epoch", epoch, 0)
        if isinstance(index, (bool, np.bool_)) or not isinstance(index, (int, np.integer)):
            raise TypeError(f"batch index must be an integer, got {index!r}")
        if not 0 <= index < len(self):
            raise IndexError(f"batch index {index} outside [0, {len(self)}): "
                             f"this rank has {len(self)} batches per epoch")
        return self._plan.batch(self._order.step(epoch, self._order.shard(epoch), index), None)

    def __iter__(self) -> Iterator[ItemT]:
        """A pass over the rest of the epoch: from its first batch, or from
        the position a loaded state gave. It stops the previous pass."""
        self.close()
        if not self._resume:
            self._cursor = _Cursor(0)
        self._resume = False
        epoch_pass = Pass(self)
        self._pass = weakref.ref(epoch_pass)
        return epoch_pass

    def close(self) -> None:
        """Stop the current pass and join its worker threads; a consumer
        waiting in `next()` gets StopIteration. Safe from any thread and
        from a signal handler."""
        current = self._pass() if self._pass is not None else None
        if current is not None:
            current.close()


def _digest(parts: Sequence[object]) -> str:
    """A SHA-256 over `parts`: arrays by dtype, shape and contents, dicts by
    sorted key, and None, numbers, strings and tuples by their repr."""
    h = hashlib.sha256()

    def feed(part: object) -> None:
        if isinstance(part, np.ndarray):
            h.update(f"array {part.dtype.str} {part.shape} ".encode())
            if part.dtype == object:
                h.update(repr(part.tolist()).encode())
            else:
                h.update(np.ascontiguousarray(part).tobytes())
        elif isinstance(part, (list, tuple)):
            h.update(f"sequence {len(part)} ".encode())
            for item in part:
                feed(item)
        elif isinstance(part, Mapping):
            h.update(f"dict {len(part)} ".encode())
            for key in sorted(part, key=repr):
                feed(key)
                feed(part[key])
        else:
            h.update(f"{type(part).__name__} {part!r} ".encode())

    for part in parts:
        feed(part)
    return h.hexdigest()


# Every pass not yet collected: they are stopped at exit, before the
# interpreter finalizes while a worker is still sampling.
_live: weakref.WeakSet[Pass[Any]] = weakref.WeakSet()


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
        self._cursor = loader._cursor
        self._next = self._start = self._cursor.position
        self._end = len(loader)
        self._stop = Flag()
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
        workers = Workers(self._plan, self._order, self._epoch, self._shard, self._next,
                          self._end, min(loader.num_workers, self._end - self._next),
                          loader.prefetch, self._stop)
        self._queues = workers.queues
        _live.add(self)
        for thread in workers.threads:
            thread.start()
            self._threads.append(thread)

    def __next__(self) -> ItemT:
        try:
            if self._next >= self._end or self._stop.is_set():
                raise StopIteration
            if self._queues:
                item = self._receive(self._queues[(self._next - self._start) % len(self._queues)])
            else:
                if self._next == self._start:
                    self._sampler = self._plan.acquire_sampler()
                item = self._plan.batch(self._order.step(self._epoch, self._shard, self._next),
                                        self._sampler)
            if self._stop.is_set():  # closed while this batch was being made: it is dropped
                raise StopIteration
        except BaseException:  # StopIteration, a worker's error, KeyboardInterrupt
            self._finish()
            raise
        self._next += 1
        self._cursor.position = self._next
        bar = self._bar
        if bar is not None:
            bar.update(1)
        return item

    def _receive(self, source: queue.Queue[Any]) -> ItemT:
        """The next batch from its worker's queue, waiting in short steps so
        that a close from anywhere ends the wait."""
        while True:
            try:
                item, error = source.get(timeout=POLL)
                break
            except queue.Empty:
                if self._stop.is_set():
                    raise StopIteration from None
        if error is not None:
            raise error
        result: ItemT = item
        return result

    def close(self) -> None:
        """Raise the stop flag and join the workers (see the module's note
        on locks): a worker blocked for room sees the flag within POLL."""
        self._stop.set()
        for q in self._queues:
            _make_room(q)
        current = threading.current_thread()
        for thread in list(self._threads):
            if thread is not current:
                thread.join()
        self._threads = []
        bar, self._bar = self._bar, None
        if bar is not None:
            bar.close()

    def _finish(self) -> None:
        """close, and give back the consumer's own sampler: only the
        consumer's thread calls this, so the sampler is not in use."""
        self.close()
        sampler, self._sampler = self._sampler, None
        self._plan.release_sampler(sampler)

    def __del__(self) -> None:
        if hasattr(self, "_bar"):  # else __init__ failed before starting anything
            self._finish()


def _make_room(q: queue.Queue[Any]) -> None:
    """Empty `q` and wake a worker waiting for room in it, so that it sees
    the stop flag now rather than within POLL; skipped when the queue's lock
    is taken (perhaps by this very thread, interrupted by a signal handler
    inside `get`): never waits for the lock."""
    if q.mutex.acquire(blocking=False):
        try:
            q.queue.clear()
            q.not_full.notify_all()
        finally:
            q.mutex.release()


@atexit.register
def _stop_every_pass() -> None:
    """At exit, stop the passes still held (an iterator kept in a variable,
    a loop left by an exception whose traceback keeps it), so that no
    worker is inside the sampler while the interpreter finalizes."""
    passes = list(_live)
    for p in passes:
        p._stop.set()
    for p in passes:
        p.close()
