"""Time-sorted compressed sparse column arrays from an edge list.

`colptr` is indexed by destination id and `row` holds source ids: the
neighbours of destination d are row[colptr[d]:colptr[d + 1]], sorted by the
neighbour's time, then by its id (by id alone when there are no times).
"""

from __future__ import annotations

from typing import Any

import numpy as np
import numpy.typing as npt

Int64Array = npt.NDArray[np.int64]


def time_sorted_csc(
    src: npt.ArrayLike,
    dst: npt.ArrayLike,
    num_dst: int,
    src_time: npt.ArrayLike | None = None,
    *,
    num_src: int | None = None,
) -> tuple[Int64Array, Int64Array]:
    """(colptr, row) of the edges src[i] -> dst[i] for `tovalib.NeighborSampler`.

    `src_time` holds one time per source node (so it also fixes the number of
    source nodes); without it, pass `num_src` to have source ids checked.
    Ids outside their range raise ValueError: a destination id past
    `num_dst` usually means source and destination were swapped.
    """
    src_ids = _ids("src", src)
    dst_ids = _ids("dst", dst)
    if len(src_ids) != len(dst_ids):
        raise ValueError(f"src and dst differ in length: {len(src_ids)} and {len(dst_ids)}")
    num_dst = _count("num_dst", num_dst)
    times: Int64Array | None = None
    if src_time is not None:
        time_values = np.asarray(src_time)
        if time_values.ndim != 1 or time_values.dtype.kind not in "iu":
            raise TypeError(
                f"src_time must be a 1-D integer array, not {time_values.dtype} "
                f"of shape {time_values.shape}"
            )
        if time_values.dtype.kind == "u" and len(time_values) and \
                int(time_values.max()) > np.iinfo(np.int64).max:
            raise ValueError(
                f"src_time holds {int(time_values.max())}, beyond the int64 range of node times"
            )
        times = time_values.astype(np.int64, copy=False)
        if num_src is not None and _count("num_src", num_src) != len(times):
            raise ValueError(f"num_src is {num_src} but src_time has {len(times)} entries")
        num_src = len(times)
    if num_src is None:
        num_src = int(src_ids.max()) + 1 if len(src_ids) else 0
    num_src = _count("num_src", num_src)
    _check_range("dst", dst_ids, num_dst, "num_dst")
    _check_range("src", src_ids, num_src, "src_time" if times is not None else "num_src")
    order = None if times is None else time_order(times)
    return csc_from_edges(src_ids, dst_ids, num_src, num_dst, order)


def time_order(times: Int64Array) -> Int64Array:
    """Node ids sorted by (time, id)."""
    return np.argsort(times, kind="stable").astype(np.int64, copy=False)


def csc_from_edges(
    src: Int64Array,
    dst: Int64Array,
    num_src: int,
    num_dst: int,
    order: Int64Array | None,
) -> tuple[Int64Array, Int64Array]:
    """The CSC arrays of valid edges; `order` is the sources' (time, id) order
    from `time_order`, or None to sort neighbourhoods by id.

    Each edge becomes one int64 sort key, destination * num_src + the source's
    rank, so one in-place sort orders by destination, then time, then id, and
    the rank is the remainder. Edges that are already in order (the reverse
    direction of a foreign key, one neighbour per row) are not sorted again.
    """
    colptr = np.zeros(num_dst + 1, dtype=np.int64)
    np.cumsum(np.bincount(dst, minlength=num_dst), out=colptr[1:])
    if order is not None:
        rank = np.empty(num_src, dtype=np.int64)
        rank[order] = np.arange(num_src, dtype=np.int64)
        src_rank = rank[src]
        del rank
    else:
        src_rank = src
    if len(src) == 0:
        return colptr, np.zeros(0, dtype=np.int64)
    if num_dst <= np.iinfo(np.int64).max // max(num_src, 1):
        key = dst * num_src
        key += src_rank
        del src_rank
        if not _is_sorted(key):
            key.sort()
        np.remainder(key, num_src, out=key)
        ranks = key
    else:  # the key would overflow int64
        ranks = src_rank[np.lexsort((src_rank, dst))]
    row = ranks if order is None else order[ranks]
    return colptr, np.ascontiguousarray(row, dtype=np.int64)


def _is_sorted(values: Int64Array) -> bool:
    return bool(np.all(values[1:] >= values[:-1]))


def _ids(name: str, values: npt.ArrayLike) -> Int64Array:
    array = np.asarray(values)
    if array.ndim != 1 or (array.dtype.kind not in "iu" and len(array)):
        raise TypeError(
            f"{name} must be a 1-D integer array, not {array.dtype} of shape {array.shape}"
        )
    if array.dtype.kind == "u" and array.dtype.itemsize == 8 and len(array):
        high = int(array.max())
        if high > np.iinfo(np.int64).max:  # would wrap to a negative id
            raise ValueError(f"{name} holds the id {high}, beyond the int64 range of ids")
    return array.astype(np.int64, copy=False)


def _count(name: str, value: Any) -> int:
    if isinstance(value, bool) or not isinstance(value, (int, np.integer)) or value < 0:
        raise TypeError(f"{name} must be a non-negative integer, not {value!r}")
    return int(value)


def _check_range(name: str, ids: Int64Array, bound: int, bound_name: str) -> None:
    if len(ids) == 0:
        return
    low, high = int(ids.min()), int(ids.max())
    if low < 0:
        raise ValueError(f"{name} holds the negative id {low}")
    if high >= bound:
        raise ValueError(
            f"{name} holds id {high}, but {bound_name} allows ids below {bound}; "
            "are source and destination swapped?"
        )
