"""Baselines from a training label table, one prediction per evaluation row."""

from __future__ import annotations

from typing import Any

import numpy as np
import numpy.typing as npt


def baseline(train: Any, eval: Any) -> npt.NDArray[np.float64]:
    """Per row of `eval`, the training labels' mean: the positive rate for
    bool labels, the mean value for numeric ones (a constant to score with
    scikit-learn's metrics)."""
    labels = np.asarray(train["label"].to_numpy())
    if labels.dtype.kind not in "biuf":
        raise TypeError(f"baseline takes bool or numeric labels, not {labels.dtype}; "
                        "use popular for lists of destinations")
    if not len(labels):
        raise ValueError("the training table has no rows")
    return np.full(len(eval), float(np.nanmean(labels.astype(np.float64))))


def popular(train: Any, eval: Any, k: int) -> npt.NDArray[np.int64]:
    """Per row of `eval`, the k destinations most frequent in the training
    labels (arrays of destination rows), most frequent first, ties by lower
    id: a (rows, k) int64 array, shorter when fewer destinations appear."""
    if not isinstance(k, (int, np.integer)) or isinstance(k, bool) or k < 1:
        raise ValueError(f"k must be a positive integer, not {k!r}")
    labels = train["label"].to_numpy()
    if len(labels) and not isinstance(labels[0], np.ndarray):
        raise TypeError("popular takes a recommendation table (labels are arrays of "
                        "destination rows); use baseline for bool or numeric labels")
    every = (np.concatenate(list(labels)) if len(labels)
             else np.zeros(0, dtype=np.int64)).astype(np.int64)
    counts = np.bincount(every)
    best = np.lexsort((np.arange(len(counts)), -counts))[:k]
    best = best[counts[best] > 0]
    return np.tile(best.astype(np.int64), (len(eval), 1))
