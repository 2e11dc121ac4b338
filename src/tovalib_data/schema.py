"""Relational tables to the arrays of a graph: keys, times, edges, features.

Every table is a node type whose node i is its row i. A foreign key column
`c` of table A referencing table B gives two edge types:

- (A, c, B): the neighbours of a B row are the A rows that reference it;
- (B, "rev_" + c, A): the neighbour of an A row is the B row it references.

A value that does not resolve (null, or absent from B's primary key) gives
no edge and is counted in the report.
"""

from __future__ import annotations

from collections.abc import Mapping, Sequence
from dataclasses import dataclass, field
from typing import Any

import numpy as np
import numpy.typing as npt

from tovalib_data.csc import csc_from_edges, time_order
from tovalib_data.tables import TIME_UNITS, AnyArray, BoolArray, Int64Array, Table

Float32Array = npt.NDArray[np.float32]


@dataclass
class Arrays:
    """Everything `Graph` holds, as built from tables."""

    node_types: list[str]
    edge_types: list[tuple[str, str, str]] = field(default_factory=list)
    colptr: dict[str, Int64Array] = field(default_factory=dict)
    row: dict[str, Int64Array] = field(default_factory=dict)
    node_time: dict[str, Int64Array] = field(default_factory=dict)
    num_nodes: dict[str, int] = field(default_factory=dict)
    x: dict[str, Float32Array] = field(default_factory=dict)
    time_unit: str | None = None
    report: dict[str, Any] = field(default_factory=dict)


def check_name(what: str, name: object) -> str:
    """A table or relation name that can stand inside "src__rel__dst"."""
    if not isinstance(name, str):
        raise TypeError(f"{what} must be a string, not {type(name).__name__}")
    if not name or "__" in name:
        raise ValueError(
            f"{what} {name!r} cannot be part of an edge type key: it must be non-empty "
            "and must not contain '__'"
        )
    return name


class KeyIndex:
    """A primary key column, sorted once for lookups."""

    def __init__(self, table: Table, column: str) -> None:
        self.where = table.where(column)
        values, nulls = table.key_column(column)
        if nulls is not None:
            raise ValueError(f"primary key {self.where} has {int(nulls.sum())} nulls")
        self.kind = "int" if values.dtype.kind == "i" else "str"
        self.size = len(values)
        self.order: Int64Array | None = None
        if not bool(np.all(values[1:] > values[:-1])):
            self.order = np.argsort(values, kind="stable").astype(np.int64, copy=False)
            values = values[self.order]
            same = np.flatnonzero(values[1:] == values[:-1])
            if len(same):
                raise ValueError(
                    f"primary key {self.where} has duplicates, for example {values[same[0]].item()!r}"
                )
        self.sorted = values
        # Strictly increasing integers from 0 to size - 1 are the row positions.
        self.positions = (
            self.kind == "int"
            and self.order is None
            and (self.size == 0 or (int(values[0]) == 0 and int(values[-1]) == self.size - 1))
        )

    def lookup(self, values: AnyArray, nulls: BoolArray | None) -> tuple[Int64Array, BoolArray]:
        """Row position of each value and whether it resolved (positions of
        unresolved values are unspecified)."""
        if self.positions:
            found = (values >= 0) & (values < self.size)
            pos = values
        elif self.size == 0:
            found = np.zeros(len(values), dtype=bool)
            pos = np.zeros(len(values), dtype=np.int64)
        else:
            at = np.searchsorted(self.sorted, values)
            np.minimum(at, self.size - 1, out=at)
            found = self.sorted[at] == values
            pos = at if self.order is None else self.order[at]
        if nulls is not None:
            found &= ~nulls
        return pos.astype(np.int64, copy=False), found


def build(
    tables: Mapping[str, Any],
    primary_keys: Mapping[str, str] | None,
    foreign_keys: Mapping[str, Mapping[str, str]] | None,
    time_columns: Mapping[str, str] | None,
    feature_columns: Mapping[str, Sequence[str]] | None,
    time_unit: str,
) -> Arrays:
    if not isinstance(tables, Mapping):
        raise TypeError(f"tables must be a dict of name -> table, not {type(tables).__name__}")
    by_name = {check_name("table name", n): Table(n, data) for n, data in tables.items()}
    primary_keys = _per_table("primary_keys", primary_keys, by_name)
    foreign_keys = _per_table("foreign_keys", foreign_keys, by_name)
    time_columns = _per_table("time_columns", time_columns, by_name)
    feature_columns = _per_table("feature_columns", feature_columns, by_name)
    if time_unit not in TIME_UNITS:
        raise ValueError(f"time_unit must be one of {', '.join(TIME_UNITS)}, not {time_unit!r}")

    out = Arrays(node_types=list(by_name))
    out.num_nodes = {name: t.num_rows for name, t in by_name.items()}
    index = {name: KeyIndex(by_name[name], column) for name, column in primary_keys.items()}

    orders: dict[str, Int64Array] = {}
    for name, column in time_columns.items():
        times, was_datetime = by_name[name].time_column(column, time_unit)
        out.node_time[name] = times
        orders[name] = time_order(times)
        if was_datetime:
            out.time_unit = time_unit

    for name, columns in foreign_keys.items():
        table = by_name[name]
        if not isinstance(columns, Mapping):
            raise TypeError(f"foreign_keys[{name!r}] must be a dict of column -> table")
        for column, target in columns.items():
            _foreign_key(out, table, check_name("foreign key column", column), target,
                         by_name, index, orders)

    for name, columns in feature_columns.items():
        table = by_name[name]
        if isinstance(columns, str) or not isinstance(columns, Sequence):
            raise TypeError(f"feature_columns[{name!r}] must be a list of column names")
        x = np.empty((table.num_rows, len(columns)), dtype=np.float32)
        for j, column in enumerate(columns):
            x[:, j] = table.feature_column(column)
        out.x[name] = x
    return out


def _foreign_key(
    out: Arrays,
    table: Table,
    column: str,
    target: Any,
    by_name: dict[str, Table],
    index: dict[str, KeyIndex],
    orders: dict[str, Int64Array],
) -> None:
    where = table.where(column)
    if target not in by_name:
        raise ValueError(f"foreign key {where} references {target!r}, which is not a table")
    if target not in index:
        raise ValueError(
            f"foreign key {where} references {target!r}, which has no primary key; "
            f"add it to primary_keys"
        )
    values, nulls = table.key_column(column)
    key = index[target]
    if (values.dtype.kind == "i") != (key.kind == "int"):
        kind = "integer" if values.dtype.kind == "i" else "string"
        raise TypeError(
            f"foreign key {where} holds {kind} keys but primary key {key.where} "
            f"holds {key.kind} keys"
        )
    positions, found = key.lookup(values, nulls)
    rows = np.flatnonzero(found).astype(np.int64, copy=False)
    refs = positions[rows]
    del positions, found, values
    out.report[where] = {
        "references": target,
        "rows": table.num_rows,
        "resolved": len(rows),
        "dropped": table.num_rows - len(rows),
        "null": 0 if nulls is None else int(nulls.sum()),
    }
    for src, rel, dst, s, d in (
        (table.name, column, target, rows, refs),
        (target, "rev_" + column, table.name, refs, rows),
    ):
        edge_key = f"{src}__{rel}__{dst}"
        if edge_key in out.colptr:
            raise ValueError(f"foreign key {where} gives the edge type {edge_key} a second time")
        out.edge_types.append((src, rel, dst))
        out.colptr[edge_key], out.row[edge_key] = csc_from_edges(
            s, d, out.num_nodes[src], out.num_nodes[dst], orders.get(src)
        )


def _per_table(what: str, given: Mapping[str, Any] | None, by_name: dict[str, Table]) -> Any:
    if given is None:
        return {}
    if not isinstance(given, Mapping):
        raise TypeError(f"{what} must be a dict keyed by table name, not {type(given).__name__}")
    for name in given:
        if name not in by_name:
            raise ValueError(f"{what} names table {name!r}, which is not among the tables")
    return given
