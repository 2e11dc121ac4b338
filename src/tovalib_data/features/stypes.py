"""Which columns of a table are features, and of which PyTorch Frame type.

`features="auto"` infers a type for every column that is not a key or the
time column with PyTorch Frame's own inference (`infer_series_stype`, column
by column as `infer_df_stype` does) on a sample of the rows; a dict in RelBench's `col_to_stype_dict` form (table ->
{column: stype or its name}) sets or overrides types column by column, the
columns it does not name inferred as under "auto"; a column typed None is
left out. Key columns are never features, even where a dict names them (as
RelBench drops them); the time column is one only where a dict names it.
"""

from __future__ import annotations

from collections.abc import Collection, Mapping
from typing import Any

import numpy as np

from tovalib_data._optional import require
from tovalib_data.build.tables import Table, is_dataframe

# The types a column may be given, by name (torch_frame.stype values).
STYPES = ("numerical", "categorical", "multicategorical", "timestamp", "text_embedded",
          "embedding")
# Inference looks at this many rows of a table at most, drawn with a fixed seed.
INFER_ROWS = 10_000
# Separators a text column of several categories per cell may use, as
# PyTorch Frame's inference tries them.
SEPARATORS = ("|", ",")


def column_names(table: Table) -> list[str]:
    """The table's columns, in its order."""
    if table.arrow is not None:
        return list(table.arrow.column_names)
    if is_dataframe(table.data):
        return [str(c) for c in table.data.columns]
    return [str(c) for c in table.data]


def column_series(table: Table, column: str, rows: Any = None) -> Any:
    """The column (its `rows`, if given) as a pandas Series in the form PyTorch
    Frame reads: numbers as floats with NaN where null (integers without
    nulls stay integers), datetimes as naive UTC datetime64 with NaT, text
    and anything else as Python objects with None."""
    pd = require("pandas")
    values, nulls = table.values_and_nulls(column, "feature")
    if rows is not None:
        values = values[rows]
        nulls = None if nulls is None else nulls[rows]
    kind = values.dtype.kind
    if kind == "M":
        unit = np.datetime_data(values.dtype)[0]
        if unit not in ("s", "ms", "us", "ns"):
            values = values.astype("datetime64[s]")
        if nulls is not None:
            values = values.copy()
            values[nulls] = np.datetime64("NaT")
    elif kind == "m":
        values = values / np.timedelta64(1, "s")
        if nulls is not None:
            values[nulls] = np.nan
    elif kind in "iuf" and nulls is not None:
        values = values.astype(np.float64)
        values[nulls] = np.nan
    elif kind in "biuf":
        pass
    else:
        values = values.astype(object)
        if nulls is not None:
            values[nulls] = None
    if kind == "b" and nulls is not None:
        values = values.astype(object)
        values[nulls] = None
    # object stays object (pandas would otherwise infer its own string dtype,
    # which PyTorch Frame's multicategorical mapping refuses)
    return pd.Series(values, name=column, dtype=values.dtype, copy=False)


def stype_name(value: Any, where: str) -> str | None:
    """A type given as a torch_frame.stype, its name or None, as a name."""
    if value is None:
        return None
    name = getattr(value, "value", value)
    if not isinstance(name, str) or name not in STYPES:
        raise ValueError(f"{where}: unsupported column type {value!r}; use one of "
                         f"{', '.join(STYPES)} or None to leave the column out")
    return name


def choose(
    tables: Mapping[str, Table],
    features: Any,
    keys: Mapping[str, Collection[str]],
    time_columns: Mapping[str, str],
) -> dict[str, dict[str, str]]:
    """Per table, its feature columns and their types (in the table's column
    order). `keys[t]` are the key columns of table t, never features."""
    if isinstance(features, str):
        if features != "auto":
            raise ValueError(f"features must be 'auto', None or a dict of table -> "
                             f"{{column: stype}}, not {features!r}")
        given: Mapping[str, Any] = {}
    elif isinstance(features, Mapping):
        given = features
    else:
        raise TypeError(f"features must be 'auto', None or a dict of table -> "
                        f"{{column: stype}}, not {type(features).__name__}")
    for name, columns in given.items():
        if name not in tables:
            raise ValueError(f"features names table {name!r}, which is not among the tables")
        if not isinstance(columns, Mapping):
            raise TypeError(f"features[{name!r}] must be a dict of column -> stype")
    out: dict[str, dict[str, str]] = {}
    for name, table in tables.items():
        present = column_names(table)
        set_here: dict[str, str | None] = {}
        for column, value in given.get(name, {}).items():
            if column not in present:
                raise ValueError(f"features[{name!r}] names column {column!r}, which table "
                                 f"{name!r} does not have")
            set_here[column] = stype_name(value, f"features[{name!r}][{column!r}]")
        skipped = set(keys.get(name, ())) | ({time_columns[name]} if name in time_columns
                                             else set())
        inferred = infer(table, [c for c in present if c not in skipped and c not in set_here])
        chosen = {c: set_here.get(c) or inferred.get(c) for c in present
                  if c not in keys.get(name, ())}
        out[name] = {c: s for c, s in chosen.items() if s is not None
                     and (c in set_here or c in inferred)}
    return out


def infer(table: Table, columns: list[str]) -> dict[str, str]:
    """PyTorch Frame's inferred type of each column, on at most INFER_ROWS
    rows. Columns it cannot type (all null, or values it cannot compare,
    such as JSON objects) are left out."""
    if not columns:
        return {}
    infer_series_stype = require("torch_frame.utils", "frame").infer_series_stype
    rows = None
    if table.num_rows > INFER_ROWS:
        rng = np.random.default_rng(0)
        rows = np.sort(rng.choice(table.num_rows, INFER_ROWS, replace=False))
    out = {}
    for column in columns:
        series = column_series(table, column, rows)
        try:
            stype = infer_series_stype(series)
        except (TypeError, ValueError):
            stype = None
        if stype is not None and _holds_lists(series) == (stype.value == "embedding" or (
                stype.value == "multicategorical" and not _holds_text(series))):
            out[column] = stype.value
    return out


def _holds_lists(series: Any) -> bool:
    """Whether every non-null value is a list, tuple or array (a value per
    row is looked at, on the sample inference reads)."""
    return bool(series.dropna().map(lambda v: isinstance(v, (list, tuple, np.ndarray))).all())


def _holds_text(series: Any) -> bool:
    return bool(series.dropna().map(lambda v: isinstance(v, str)).all())


def separator(series: Any) -> str | None:
    """The separator of a multicategorical column of text (the one giving the
    rarest category the most rows, as PyTorch Frame's inference decides), or
    None for a column of lists."""
    split_by_sep = require("torch_frame.data.mapper", "frame").MultiCategoricalTensorMapper \
        .split_by_sep
    valid = series.dropna()
    if not len(valid) or not isinstance(valid.iloc[0], str):
        return None
    best, best_count = SEPARATORS[0], -1
    for sep in SEPARATORS:
        counts = valid.apply(lambda cell, sep=sep: split_by_sep(cell, sep)).explode() \
            .value_counts()
        low = int(counts.min()) if len(counts) else 0
        if low > best_count:
            best, best_count = sep, low
    return best
