"""Labels for the loaders: one per seed, and label tables read into seeds,
seed times and labels (or pairs, for link prediction).

A label table has one row per (entity, cut-off): a pandas DataFrame with
columns `row` (the entity's row id in the graph), `time` (the cut-off) and
`label`, or a RelBench task `Table` (its `df`, its `time_col`, and an entity
column named in `fkey_col_to_pkey_table`, whose values are row ids, as
RelBench numbers the rows of its tables). A RelBench table's label is the
column that is neither its time nor a key; a test table without one has no
labels. Neither pandas nor RelBench is imported here: the tables are read by
the attributes above.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any

import numpy as np
import numpy.typing as npt

Int64Array = npt.NDArray[np.int64]


@dataclass(frozen=True)
class LabelTable:
    """The columns of a label table, as the loaders take them: `rows` (int64
    row ids), `time` (the cut-offs, as the table holds them: the loaders
    convert them), `labels` (None when the table has none) and the names
    of the columns they came from, for messages."""

    rows: Int64Array
    time: Any
    labels: npt.NDArray[Any] | None
    row_column: str
    label_column: str | None


def label_array(values: Any, count: int, name: str = "labels") -> npt.NDArray[Any]:
    """`values` as one label per seed: a numeric array (bool, integer or
    float, any shape whose first axis is the seeds) or a 1-D object array
    whose items are arrays (a label of variable length per seed)."""
    array = _numeric(values)
    if array.dtype == object:
        if array.ndim != 1:
            raise TypeError(f"{name}: an object array of labels must be 1-D (one array per "
                            f"seed), got shape {array.shape}")
    elif array.dtype.kind not in "biuf":
        raise TypeError(f"{name} must be numbers (bool, integer or float) or an object "
                        f"array of arrays, got {array.dtype}")
    if array.ndim == 0 or len(array) != count:
        got = "one value" if array.ndim == 0 else f"{len(array)} entries"
        raise ValueError(f"{name} has {got}, the seeds {count}; give one label per seed")
    return array


def _numeric(values: Any) -> npt.NDArray[Any]:
    """An array of `values`; pandas' nullable numbers become NumPy numbers
    (NaN for a missing one), and a sequence of sequences of different
    lengths an object array of them."""
    dtype = getattr(values, "dtype", None)
    numpy_dtype = getattr(dtype, "numpy_dtype", None)  # pandas' nullable dtypes
    if numpy_dtype is not None and hasattr(values, "to_numpy"):
        if bool(values.isna().any()):
            return np.asarray(values.to_numpy(dtype=np.float64, na_value=np.nan))
        return np.asarray(values.to_numpy(dtype=numpy_dtype))
    if hasattr(values, "to_numpy"):
        values = values.to_numpy()
    if isinstance(values, np.ndarray):
        return values
    try:
        return np.asarray(values)
    except ValueError:  # ragged: one array per seed
        array = np.empty(len(values), dtype=object)
        array[:] = list(values)
        return array


def read_label_table(table: Any, entity_table: str, role: str = "entity") -> LabelTable:
    """The rows, times and labels of `table` (see the module's note), whose
    entities are rows of `entity_table`."""
    if hasattr(table, "df") and hasattr(table, "fkey_col_to_pkey_table"):
        return _relbench(table, entity_table, role)
    columns = getattr(table, "columns", None)
    if columns is None:
        raise TypeError("table must be a label table (a pandas DataFrame with columns row, "
                        "time and label) or a RelBench task Table, got "
                        f"{type(table).__name__}")
    missing = [c for c in ("row", "time") if c not in columns]
    if missing:
        raise ValueError(f"table lacks the column(s) {missing}; a label table has row, time "
                         f"and label (it has {list(columns)})")
    label = "label" if "label" in columns else None
    return LabelTable(_row_ids(table["row"], "row"), table["time"],
                      None if label is None else _numeric(table[label]), "row", label)


def _relbench(table: Any, entity_table: str, role: str) -> LabelTable:
    """A RelBench task table: its entity column is the key into `entity_table`."""
    keys: dict[str, str] = dict(table.fkey_col_to_pkey_table)
    entity = [column for column, target in keys.items() if target == entity_table]
    if len(entity) != 1:
        raise ValueError(f"the RelBench table's keys {keys} name {len(entity)} column(s) into "
                         f"the {role} table {entity_table!r}; it needs exactly one")
    time_col = getattr(table, "time_col", None)
    if time_col is None:
        raise ValueError("the RelBench table has no time_col; a label table needs the "
                         "cut-off of every row")
    df = table.df
    others = [c for c in df.columns if c != time_col and c != entity[0] and c not in keys]
    if len(others) > 1:
        raise ValueError(f"the RelBench table has several label columns {others}; "
                         "keep one")
    label = others[0] if others else None
    if label is None and role == "src":  # a recommendation table's label is its other key
        label = next((c for c in keys if c != entity[0] and c in df.columns), None)
    return LabelTable(_row_ids(df[entity[0]], entity[0]), df[time_col],
                      None if label is None else _numeric(df[label]), entity[0], label)


def _row_ids(column: Any, name: str) -> Int64Array:
    values = np.asarray(column.to_numpy() if hasattr(column, "to_numpy") else column)
    if values.ndim != 1 or values.dtype.kind not in "iu":
        raise TypeError(f"table column {name!r} must hold integer row ids, got "
                        f"{values.dtype}")
    return np.ascontiguousarray(values, dtype=np.int64)


def destinations(labels: npt.NDArray[Any] | None, column: str | None, num_dst: int,
                 dst_table: str) -> tuple[Int64Array, Int64Array]:
    """Each table row's destinations as CSR (indptr, indices): `labels`
    holds an array of row ids of `dst_table` per table row."""
    if labels is None or column is None:
        raise ValueError("table has no label column; a recommendation table's label "
                         f"holds the rows of {dst_table!r} of each (row, time)")
    if labels.dtype != object:
        raise TypeError(f"table column {column!r} must hold an array of {dst_table!r} rows "
                        f"per table row, got {labels.dtype} values")
    lengths = np.fromiter(map(len, labels), dtype=np.int64, count=len(labels))
    indptr = np.zeros(len(labels) + 1, dtype=np.int64)
    np.cumsum(lengths, out=indptr[1:])
    flat = np.concatenate(list(labels)) if len(labels) else np.empty(0, np.int64)
    if flat.size == 0:
        flat = flat.astype(np.int64)
    if flat.dtype.kind not in "iu":
        raise TypeError(f"table column {column!r} must hold row ids of {dst_table!r} "
                        f"(integers), got {flat.dtype}")
    indices = np.ascontiguousarray(flat, dtype=np.int64)
    bad = np.flatnonzero((indices < 0) | (indices >= num_dst))
    if len(bad):
        row = int(np.searchsorted(indptr, bad[0], side="right") - 1)
        raise ValueError(f"table column {column!r}: row {row} holds {int(indices[bad[0]])}, "
                         f"not a row of {dst_table!r} (which has {num_dst})")
    return indptr, indices
