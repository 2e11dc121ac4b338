"""Column statistics as PyTorch Frame's `compute_col_stats` gives them, without its per-row steps.

`compute_col_stats` flattens a numerical column with
`np.hstack(np.hstack(values))` for each of its mean, deviation and
quantiles: NumPy's `hstack` takes a 1-D array as a sequence of scalars,
one array per row (6 to 17 s for 600,000 floats), only to give back the same
array with the same dtype. A multicategorical column's counts split every
row's text into a set of categories in Python. Here:

- numerical columns of a NumPy dtype: the same masking of infinities, the
  same NaN test and the same NumPy calls (`mean`, `std` with ddof 0,
  `quantile` with its default linear method) on the column's own array,
  so the values are PyTorch Frame's bit for bit;
- multicategorical columns of text: each distinct cell split once, by
  PyTorch Frame's own `split_by_sep`, its categories repeated for the rows
  that hold it in row order, so that pandas' `value_counts` sees the very
  sequence `explode` gives and orders the categories (ties included) as
  it does;
- everything else (categorical counts, timestamps, embeddings, and other
  dtypes) is `compute_col_stats` itself: those run on whole columns already.
"""

from __future__ import annotations

import math
from typing import Any

import numpy as np

from tovalib_data._optional import require


def column_stats(ser: Any, stype: Any, sep: str | None = None) -> dict[Any, Any]:
    """`compute_col_stats(ser, stype, sep=sep)`'s result, computed column-wise
    where PyTorch Frame goes row by row."""
    torch_frame = require("torch_frame", "frame")
    if stype == torch_frame.numerical and isinstance(ser.dtype, np.dtype) \
            and ser.dtype.kind in "biuf":
        return _numerical(ser)
    pd = require("pandas")
    if stype == torch_frame.multicategorical and pd.api.types.is_string_dtype(ser.dtype):
        present = ser.dropna()
        if len(present) and pd.api.types.infer_dtype(present, skipna=False) == "string":
            return _multi_count(present, sep)
    compute_col_stats = require("torch_frame.data.stats", "frame").compute_col_stats
    return dict(compute_col_stats(ser, stype, sep=sep))


def _numerical(ser: Any) -> dict[Any, Any]:
    stat_type = require("torch_frame.data.stats", "frame").StatType
    # As PyTorch Frame does: infinities become NaN (a column without any keeps its dtype).
    ser = ser.mask(ser.isin([np.inf, -np.inf]), np.nan)
    values = ser.dropna().to_numpy()
    finite = values[np.isfinite(values)]
    if finite.size == 0:  # every value NaN or infinite
        return {stat_type.MEAN: math.nan, stat_type.STD: math.nan,
                stat_type.QUANTILES: [math.nan] * 5}
    return {
        stat_type.MEAN: np.mean(finite).item(),
        stat_type.STD: np.std(finite).item(),
        stat_type.QUANTILES: np.quantile(finite, q=[0, 0.25, 0.5, 0.75, 1]).tolist(),
    }


def _multi_count(present: Any, sep: str | None) -> dict[Any, Any]:
    """MULTI_COUNT of the non-null text cells `present`."""
    pd = require("pandas")
    stat_type = require("torch_frame.data.stats", "frame").StatType
    split = require("torch_frame.data.mapper", "frame").MultiCategoricalTensorMapper.split_by_sep
    codes, cells = pd.factorize(present.to_numpy(), use_na_sentinel=False)
    # Per distinct cell, its categories in the order of the set PyTorch Frame
    # builds (the same set built again iterates in the same order).
    parts = [list(split(cell, sep)) for cell in cells]
    lengths = np.fromiter((len(p) for p in parts), dtype=np.int64, count=len(parts))
    categories = np.empty(int(lengths.sum()), dtype=object)
    categories[:] = [c for p in parts for c in p]
    starts = np.cumsum(lengths) - lengths
    # Row i contributes categories[starts[codes[i]]:][:lengths[codes[i]]].
    per_row = lengths[codes]
    first = np.cumsum(per_row) - per_row  # where row i's categories begin in the sequence
    at = np.arange(int(per_row.sum()), dtype=np.int64)
    at += np.repeat(starts[codes] - first, per_row)
    count = pd.Series(categories[at], dtype=object).value_counts(ascending=False)
    return {stat_type.MULTI_COUNT: (count.index.tolist(), count.values.tolist())}
