"""Rows by primary key value: `Graph.rows`, over the key values a graph keeps.

The key values are indexed once per table (`keys.KeyIndex`: dense integer
keys by subtraction, others sorted once and searched), and every lookup is
vectorised over the values asked for.
"""

from __future__ import annotations

from collections.abc import Mapping, Sequence
from typing import Any

import numpy as np

from tovalib_data.build.keys import KeyIndex, scalar
from tovalib_data.build.tables import Int64Array, Table

SINGLE = "key"  # the column name a one-column key is indexed under


def key_index(table: str, stored: Any) -> KeyIndex:
    """The index of a table's kept key values (one array, or a dict of
    column -> array for a composite key)."""
    columns = {str(c): np.asarray(v) for c, v in stored.items()} if isinstance(stored, Mapping) \
        else {SINGLE: np.asarray(stored)}
    return KeyIndex(Table(table, columns), tuple(columns))


def rows(index: KeyIndex, table: str, columns: list[str], keys: Any) -> Int64Array:
    """The row of each key value in `keys` (one array; for a composite key
    one array per column, in the key's order, or a dict by column name)."""
    if len(columns) == 1:
        given = [keys]
    elif isinstance(keys, Mapping):
        missing = [c for c in columns if c not in keys]
        if missing:
            raise ValueError(f"rows({table!r}): the key is over columns {columns}; no values "
                             f"for {missing}")
        given = [keys[c] for c in columns]
    elif isinstance(keys, Sequence) and not isinstance(keys, str) and len(keys) == len(columns):
        given = list(keys)
    else:
        raise TypeError(f"rows({table!r}): the key is over columns {columns}; give one array "
                        "per column, in that order, or a dict of column -> array")
    arrays = [np.atleast_1d(np.asarray(v)) if not isinstance(v, np.ndarray) else
              np.atleast_1d(v) for v in given]
    if any(a.ndim != 1 for a in arrays) or len({len(a) for a in arrays}) > 1:
        raise ValueError(f"rows({table!r}): key values must be 1-D arrays of one length")
    query = Table(table, dict(zip(columns, arrays)))
    parts = [query.key_column(c) for c in columns]
    for part, kind, column in zip(parts, index.kinds, columns):
        if part.kind is not None and kind is not None and part.kind != kind:
            raise TypeError(f"rows({table!r}): values for {column!r} are {part.kind} values "
                            f"but the key holds {kind} values")
    found = index.lookup(parts)
    unknown = np.flatnonzero(found < 0)
    if len(unknown):
        at = int(unknown[0])
        value: Any = scalar(arrays[0][at]) if len(arrays) == 1 else \
            tuple(scalar(a[at]) for a in arrays)
        raise KeyError(f"{table}: no row has the key {value!r} (position {at} of "
                       f"{len(found)}; {len(unknown)} unknown)")
    return found
