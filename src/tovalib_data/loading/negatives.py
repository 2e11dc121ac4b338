"""Negative destinations for link prediction.

A pair's negatives are drawn uniformly among the rows of the destination
table that exist at the pair's time (node time <= pair time; every row when
the table or the pair has no time), leaving out the pair's positive. The
rows are sorted by time once; per pair, the eligible rows are then a prefix
of that order (one binary search), and a draw is one integer below the
prefix's length, with the positive's own place skipped:

    negatives = Negatives.of(graph.node_time.get("products"), num_rows)
    negatives.check(positive, time)   # ValueError for a pair without any
    ids = negatives.draw(rng, positive, time, 5)   # shape (pairs, 5)
"""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np
import numpy.typing as npt

Int64Array = npt.NDArray[np.int64]


@dataclass(frozen=True)
class Negatives:
    """The rows of one destination table in time order.

    `order[i]` is the row at place i of the time order (stable: rows of equal
    time by id), `sorted_time` its time and `place[row]` the inverse of
    `order`. Without node times the order is the identity and `sorted_time`
    is None.
    """

    order: Int64Array
    place: Int64Array
    sorted_time: Int64Array | None

    @classmethod
    def of(cls, node_time: npt.ArrayLike | None, num_rows: int) -> Negatives:
        if node_time is None:
            identity = np.arange(num_rows, dtype=np.int64)
            return cls(identity, identity, None)
        times = np.asarray(node_time, dtype=np.int64)
        order = np.argsort(times, kind="stable").astype(np.int64)
        place = np.empty_like(order)
        place[order] = np.arange(len(order), dtype=np.int64)
        return cls(order, place, times[order])

    def eligible(self, positive: Int64Array, time: Int64Array | None) -> tuple[
            Int64Array, npt.NDArray[np.bool_]]:
        """Per pair, how many rows exist at its time (a prefix of `order`),
        and whether the positive is one of them."""
        if self.sorted_time is None or time is None:
            count = np.full(len(positive), len(self.order), dtype=np.int64)
        else:
            count = np.searchsorted(self.sorted_time, time, side="right").astype(np.int64)
        return count, self.place[positive] < count

    def check(self, positive: Int64Array, time: Int64Array | None, table: str) -> None:
        """Refuse pairs that have no row to draw a negative from."""
        count, inside = self.eligible(positive, time)
        empty = np.flatnonzero(count - inside <= 0)
        if len(empty):
            first = int(empty[0])
            when = "" if time is None else f" (time {int(time[first])})"
            more = f"; {len(empty)} pairs have none" if len(empty) > 1 else ""
            raise ValueError(f"pair {first}{when} has no negative: no row of {table!r} other "
                             f"than its positive exists at its time{more}")

    def draw(self, rng: np.random.Generator, positive: Int64Array, time: Int64Array | None,
             k: int) -> Int64Array:
        """`k` negatives per pair, shape (pairs, k), each uniform over the
        pair's eligible rows other than its positive, independently."""
        count, inside = self.eligible(positive, time)
        # Places [0, count) exist; without the positive's place there are
        # count - inside of them, numbered by skipping that place.
        high = count - inside
        drawn = rng.integers(0, high[:, None], size=(len(positive), k), dtype=np.int64)
        drawn += inside[:, None] & (drawn >= self.place[positive][:, None])
        return self.order[drawn]
