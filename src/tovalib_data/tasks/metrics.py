"""Ranking metrics at k over each row's true destinations.

`targets` is CSR: row i's true destinations are indices[indptr[i]:indptr[i+1]].
Predictions are either scores (rows x destinations, higher is better) or the
top destinations themselves (rows x k' integers, best first). Per row:

- precision@k: the hits among the top k, over k;
- recall@k: the hits among the top k, over the row's number of targets;
- average precision@k: the sum of precision@i over the ranks i <= k that
  hit, over min(k, number of targets); MAP@k is its mean.

Rows without targets are left out of the mean (the metrics are undefined
there); with no such row the result is NaN. Binary and regression labels
take scikit-learn's metrics.
"""

from __future__ import annotations

from typing import Any

import numpy as np
import numpy.typing as npt

Int64Array = npt.NDArray[np.int64]
Float64Array = npt.NDArray[np.float64]


def top_k(scores_or_topk: Any, k: int) -> Int64Array:
    """The top k destinations per row, best first: scores are ranked
    (ties by lower index), integer rows are cut to k."""
    if not isinstance(k, (int, np.integer)) or isinstance(k, bool) or k < 1:
        raise ValueError(f"k must be a positive integer, not {k!r}")
    array = np.asarray(scores_or_topk)
    if array.ndim != 2:
        raise ValueError(f"predictions must be 2-D (rows x destinations or rows x top), not "
                         f"of shape {array.shape}")
    if array.dtype.kind in "iu":
        return array[:, :k].astype(np.int64, copy=False)
    if array.dtype.kind != "f":
        raise TypeError(f"predictions must be float scores or integer destinations, not "
                        f"{array.dtype}")
    k = min(int(k), array.shape[1])
    order = np.argsort(-array, axis=1, kind="stable")
    return order[:, :k].astype(np.int64, copy=False)


def _hits(top: Int64Array, indptr: Any, indices: Any) -> tuple[npt.NDArray[np.bool_],
                                                                Int64Array]:
    """Whether each top entry is among its row's targets, and the targets per row."""
    indptr = np.asarray(indptr, dtype=np.int64)
    indices = np.asarray(indices, dtype=np.int64)
    if indptr.ndim != 1 or len(indptr) != len(top) + 1:
        raise ValueError(f"targets: indptr must have one more entry than the predictions have "
                         f"rows ({len(top) + 1}), not {len(indptr)}")
    sizes = np.diff(indptr)
    # Encode (row, destination) pairs as one integer each and search.
    width = int(max(indices.max(initial=-1), top.max(initial=-1))) + 2
    rows = np.repeat(np.arange(len(sizes), dtype=np.int64), sizes)
    truth = np.unique(rows * width + indices)
    asked = np.arange(len(top), dtype=np.int64)[:, None] * width + top
    at = np.minimum(np.searchsorted(truth, asked), max(len(truth) - 1, 0))
    hit = truth[at] == asked if len(truth) else np.zeros(top.shape, dtype=bool)
    # A destination listed twice in a row's top counts once.
    first = np.ones(top.shape, dtype=bool)
    if top.shape[1] > 1:
        order = np.argsort(top, axis=1, kind="stable")
        ranked = np.take_along_axis(top, order, axis=1)
        repeated = np.zeros(top.shape, dtype=bool)
        repeated[:, 1:] = ranked[:, 1:] == ranked[:, :-1]
        np.put_along_axis(first, order, ~repeated, axis=1)
    return hit & (top >= 0) & first, sizes


def _mean(per_row: Float64Array, sizes: Int64Array) -> float:
    kept = sizes > 0
    return float(per_row[kept].mean()) if kept.any() else float("nan")


def precision_at_k(scores_or_topk: Any, targets: tuple[Any, Any], k: int) -> float:
    """Mean over rows with targets of (hits in the top k) / k."""
    hit, sizes = _hits(top_k(scores_or_topk, k), *targets)
    return _mean(hit.sum(axis=1) / k, sizes)


def recall_at_k(scores_or_topk: Any, targets: tuple[Any, Any], k: int) -> float:
    """Mean over rows with targets of (hits in the top k) / (number of targets)."""
    hit, sizes = _hits(top_k(scores_or_topk, k), *targets)
    with np.errstate(invalid="ignore", divide="ignore"):
        return _mean(hit.sum(axis=1) / sizes, sizes)


def map_at_k(scores_or_topk: Any, targets: tuple[Any, Any], k: int) -> float:
    """Mean over rows with targets of the average precision of the top k."""
    hit, sizes = _hits(top_k(scores_or_topk, k), *targets)
    ranks = np.arange(1, hit.shape[1] + 1)
    precision = np.cumsum(hit, axis=1) / ranks
    with np.errstate(invalid="ignore", divide="ignore"):
        ap = (precision * hit).sum(axis=1) / np.minimum(k, sizes)
    return _mean(ap, sizes)
