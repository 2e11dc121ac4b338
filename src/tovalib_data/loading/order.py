"""An epoch's order of items, its shards, and the random streams of a batch.

The items of a loader (seeds, or training pairs) are visited in an order that
depends on (seed, epoch) only; rank r of world_size takes every
world_size-th position of it and cuts its share into batches. Every random
number a batch needs comes from a stream keyed by (seed, tag, epoch, global
batch index), so a batch is a pure function of those numbers.
"""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np
import numpy.typing as npt

from tovalib_data.loading.arguments import integer

Int64Array = npt.NDArray[np.int64]

# Tags that keep the kinds of random streams of one (seed, epoch) apart.
SHUFFLE, SAMPLE, NEGATIVE = 0, 1, 2


def stream(seed: int, *key: int) -> np.random.SeedSequence:
    """The random stream of `seed` under `key` (a tag, then numbers)."""
    return np.random.SeedSequence(seed % 2**64, spawn_key=key)


def sampler_seed(seed: int, epoch: int, index: int) -> int:
    """The sampler seed of global batch `index` of `epoch`: 31 bits from
    numpy's SeedSequence over (seed, epoch, index), so it fits the sampler's
    signed 32-bit seed."""
    return int(stream(seed, SAMPLE, epoch, index).generate_state(1)[0] >> 1)


@dataclass(frozen=True)
class Step:
    """Batch `index` of `epoch` on this rank: `global_index` is its place in
    the batches of all ranks together (the key of its random streams), and
    `positions` are its items' positions in the loader's items."""

    epoch: int
    index: int
    global_index: int
    positions: Int64Array


class EpochOrder:
    """The order, shard and batches of `num_items` items, per epoch.

    Like torch's DistributedSampler: the epoch's order is padded by
    repeating its start (or cut, with drop_last) to a multiple of
    world_size, and rank r takes every world_size-th position from r.
    """

    def __init__(self, num_items: int, batch_size: int, shuffle: bool, drop_last: bool,
                 seed: int, rank: int, world_size: int) -> None:
        self.batch_size = integer("batch_size", batch_size, 1)
        self.world_size = integer("world_size", world_size, 1)
        self.rank, self.seed = integer("rank", rank), integer("seed", seed)
        if not 0 <= self.rank < self.world_size:
            raise ValueError(f"rank must lie in [0, world_size={self.world_size}), got {rank}")
        self.num_items, self.shuffle, self.drop_last = num_items, shuffle, drop_last

    def per_rank(self) -> int:
        """Items each rank takes per epoch (before cutting into batches)."""
        n, ws = self.num_items, self.world_size
        if self.drop_last:
            return n // ws
        return -(-n // ws) if n else 0

    def __len__(self) -> int:
        per_rank = self.per_rank()
        if self.drop_last:
            return per_rank // self.batch_size
        return -(-per_rank // self.batch_size)

    def shard(self, epoch: int) -> Int64Array:
        """Positions this rank visits in `epoch`, in batch order."""
        n = self.num_items
        if self.shuffle:
            order = np.random.default_rng(stream(self.seed, SHUFFLE, epoch)).permutation(n)
        else:
            order = np.arange(n)
        total = self.per_rank() * self.world_size
        if total > n:
            order = np.resize(order, total)  # repeats from the start
        shard = order[self.rank : total : self.world_size]
        return shard[: len(self) * self.batch_size].astype(np.int64)

    def step(self, epoch: int, shard: Int64Array, index: int) -> Step:
        """Batch `index` of `epoch`, given the epoch's `shard`."""
        size = self.batch_size
        # Ranks interleave in the global batch order, so no two ranks share a stream.
        return Step(epoch, index, index * self.world_size + self.rank,
                    shard[index * size : (index + 1) * size])
