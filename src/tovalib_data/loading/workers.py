"""The worker threads of a pass: each makes every n-th batch of the rest of
an epoch, in order, into a bounded queue of its own."""

from __future__ import annotations

import itertools
import queue
import threading
from typing import Any, Generic, TypeVar

import numpy as np
import numpy.typing as npt

from tovalib_data.loading.order import EpochOrder
from tovalib_data.loading.plan import Plan

Int64Array = npt.NDArray[np.int64]
ItemT = TypeVar("ItemT")

POLL = 0.05  # seconds a blocked worker waits before checking for a stop
THREAD_PREFIX = "tovalib-loader"
_thread_ids = itertools.count()

class Flag:
    """A stop flag that takes no lock, so that raising it from a signal
    handler cannot wait for a lock its own thread holds (as Event.set can)."""

    __slots__ = ("_raised",)

    def __init__(self) -> None:
        self._raised = False

    def set(self) -> None:
        self._raised = True

    def is_set(self) -> bool:
        return self._raised


# A batch, or the error raised in its place.
Result = tuple[Any, BaseException | None]


class Workers(Generic[ItemT]):
    """`count` threads making batches `indices` of `epoch`: worker w makes
    every count-th one from the w-th, into `queues[w]`."""

    def __init__(self, plan: Plan[ItemT], order: EpochOrder, epoch: int, shard: Int64Array,
                 start: int, end: int, count: int, prefetch: int, stop: Flag) -> None:
        self.queues: list[queue.Queue[Result]] = []
        self.threads: list[threading.Thread] = []
        for w in range(count):
            q: queue.Queue[Result] = queue.Queue(prefetch)
            thread = threading.Thread(
                target=produce,
                args=(plan, order, epoch, shard, range(start + w, end, count), q, stop),
                name=f"{THREAD_PREFIX}-{next(_thread_ids)}", daemon=True)
            self.queues.append(q)
            self.threads.append(thread)


def produce(plan: Plan[Any], order: EpochOrder, epoch: int, shard: Int64Array,
            indices: range, out: queue.Queue[Result], stop: Flag) -> None:
    """A worker: makes batches `indices` in order into `out` until stopped. An
    error is handed over in place of its batch, with its traceback."""
    sampler = None
    try:
        for index in indices:
            try:
                if sampler is None and index == indices.start:
                    sampler = plan.acquire_sampler()
                item: Result = (plan.batch(order.step(epoch, shard, index), sampler), None)
            except BaseException as error:
                item = (None, error)
            while not stop.is_set():
                try:
                    out.put(item, timeout=POLL)
                    break
                except queue.Full:
                    continue
            if stop.is_set() or item[1] is not None:
                return
    finally:
        plan.release_sampler(sampler)
