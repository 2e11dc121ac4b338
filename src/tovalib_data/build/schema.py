"""Relational tables to the arrays of a graph: keys, times, edges, features.

Every table is a node type whose node i is its row i. A foreign key of
table A referencing table B, over one column `c` or over several columns
(in the order of B's primary key columns) whose names joined by "_" give
the relation `c`, gives two edge types:

- (A, c, B): the neighbours of a B row are the A rows that reference it;
- (B, "rev_" + c, A): the neighbour of an A row is the B row it references.

A reference that does not resolve (a null in any of its columns, or a value
absent from B's primary key) gives no edge and is counted in the report
under "A.c". The relations of one table's foreign keys must differ (a
column `a_b` and a composite `(a, b)` into two tables are refused), so that
"A.c" and the relations in `time_sources` name one foreign key each.
"""

from __future__ import annotations

from collections.abc import Collection, Mapping, Sequence
from dataclasses import dataclass, field
from typing import Any

import numpy as np
import numpy.typing as npt

from tovalib_data.build.csc import csc_from_edges, time_order
from tovalib_data.build.inherit import dependency_order, latest
from tovalib_data.build.keys import KeyIndex, count_nulls, resolved
from tovalib_data.build.tables import TIME_UNITS, Int64Array, KeyPart, Table

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
    time_sources: dict[str, str | list[str]] = field(default_factory=dict)
    keys: dict[str, Any] = field(default_factory=dict)


@dataclass
class Sources:
    """What the arrays were built from, for the steps that read more of it:
    the tables, per table its key columns (primary and foreign), and the
    time columns."""

    tables: dict[str, Table]
    key_columns: dict[str, set[str]]
    time_columns: dict[str, str]


def check_name(what: str, name: object, owner: str = "") -> str:
    """A table or relation name that can stand inside "src__rel__dst" so that
    the key splits back into exactly its three parts."""
    if not isinstance(name, str):
        raise TypeError(f"{what} must be a string, not {type(name).__name__}")
    if not name or "__" in name or name.startswith("_") or name.endswith("_"):
        raise ValueError(
            f"{what} {name!r}{owner} cannot be part of an edge type key: it must be "
            "non-empty, must not contain '__' and must not start or end with '_'"
        )
    return name


@dataclass
class ForeignKey:
    """One foreign key: `columns` of `table` reference the primary key of `target`."""

    table: str
    columns: tuple[str, ...]
    target: str
    relation: str  # the columns joined by "_"
    where: str  # "orders.customer_id" or "lineitem.(l_partkey, l_suppkey)"

    @property
    def report_key(self) -> str:
        return f"{self.table}.{self.relation}"

    def edge_types(self) -> tuple[tuple[str, str, str], tuple[str, str, str]]:
        return (self.table, self.relation, self.target), (self.target, "rev_" + self.relation,
                                                          self.table)


def build(
    tables: Mapping[str, Any],
    primary_keys: Mapping[str, str | Sequence[str]] | None,
    foreign_keys: Mapping[str, Mapping[str | tuple[str, ...], str]] | None,
    time_columns: Mapping[str, str] | None,
    feature_columns: Mapping[str, Sequence[str]] | None,
    time_unit: str,
    inherit_time: bool | Collection[str] = True,
) -> Arrays:
    return build_with_sources(tables, primary_keys, foreign_keys, time_columns,
                              feature_columns, time_unit, inherit_time)[0]


def build_with_sources(
    tables: Mapping[str, Any],
    primary_keys: Mapping[str, str | Sequence[str]] | None,
    foreign_keys: Mapping[str, Mapping[str | tuple[str, ...], str]] | None,
    time_columns: Mapping[str, str] | None,
    feature_columns: Mapping[str, Sequence[str]] | None,
    time_unit: str,
    inherit_time: bool | Collection[str] = True,
) -> tuple[Arrays, Sources]:
    """`build`, and what it built from."""
    if not isinstance(tables, Mapping):
        raise TypeError(f"tables must be a dict of name -> table, not {type(tables).__name__}")
    by_name = {check_name("table name", n): Table(n, data) for n, data in tables.items()}
    key_columns = {name: _key_columns(name, columns) for name, columns in
                   _per_table("primary_keys", primary_keys, by_name).items()}
    fks = _foreign_keys(_per_table("foreign_keys", foreign_keys, by_name), by_name, key_columns)
    time_columns = _per_table("time_columns", time_columns, by_name)
    feature_columns = _per_table("feature_columns", feature_columns, by_name)
    if time_unit not in TIME_UNITS:
        raise ValueError(f"time_unit must be one of {', '.join(TIME_UNITS)}, not {time_unit!r}")
    heirs = _heirs(inherit_time, by_name, time_columns)

    out = Arrays(node_types=list(by_name))
    out.num_nodes = {name: t.num_rows for name, t in by_name.items()}
    index = {name: KeyIndex(by_name[name], columns) for name, columns in key_columns.items()}
    # Each table's primary key values, kept for mapping keys to rows.
    out.keys = {name: key.values[0] if len(key.values) == 1 else
                dict(zip(key_columns[name], key.values)) for name, key in index.items()}

    for name, column in time_columns.items():
        times, was_datetime = by_name[name].time_column(column, time_unit)
        out.node_time[name] = times
        out.time_sources[name] = column
        if was_datetime:
            out.time_unit = time_unit

    # Inherited times come first: neighbourhoods are sorted by them. The
    # references they are taken through are kept for the edges built below.
    kept: dict[int, Int64Array] = {}
    for component in dependency_order(heirs, {t: [fk.target for fk in fks if fk.table == t]
                                              for t in heirs}):
        for name in component:
            sources = [i for i, fk in enumerate(fks) if fk.table == name
                       and fk.target not in component and fk.target in out.node_time]
            if not sources:
                continue
            for i in sources:
                kept[i] = _resolve(out, fks[i], by_name[name], index[fks[i].target])
            out.node_time[name] = latest(
                out.num_nodes[name], [(kept[i], out.node_time[fks[i].target]) for i in sources]
            )
            out.time_sources[name] = [fks[i].relation for i in sources]
    out.node_time = {t: out.node_time[t] for t in by_name if t in out.node_time}
    out.time_sources = {t: out.time_sources[t] for t in by_name if t in out.time_sources}
    orders = {name: time_order(times) for name, times in out.node_time.items()}

    for i, fk in enumerate(fks):
        refs = kept.pop(i) if i in kept else _resolve(out, fk, by_name[fk.table],
                                                      index[fk.target])
        rows, targets = resolved(refs)
        del refs
        for (src, rel, dst), s, d in zip(fk.edge_types(), (rows, targets), (targets, rows)):
            edge_key = f"{src}__{rel}__{dst}"
            out.edge_types.append((src, rel, dst))
            out.colptr[edge_key], out.row[edge_key] = csc_from_edges(
                s, d, out.num_nodes[src], out.num_nodes[dst], orders.get(src)
            )
    out.report = {fk.report_key: out.report[fk.report_key] for fk in fks}

    for name, columns in feature_columns.items():
        table = by_name[name]
        if isinstance(columns, str) or not isinstance(columns, Sequence):
            raise TypeError(f"feature_columns[{name!r}] must be a list of column names")
        x = np.empty((table.num_rows, len(columns)), dtype=np.float32)
        for j, column in enumerate(columns):
            x[:, j] = table.feature_column(column)
        out.x[name] = x
    keys_of = {name: set(columns) for name, columns in key_columns.items()}
    for fk in fks:
        keys_of.setdefault(fk.table, set()).update(fk.columns)
    return out, Sources(by_name, keys_of, dict(time_columns))


def _key_columns(table: str, columns: object) -> tuple[str, ...]:
    """The columns of a primary key given as a name or a sequence of names."""
    parts = (columns,) if isinstance(columns, str) else columns
    if not isinstance(parts, Sequence) or not parts or not all(isinstance(c, str) for c in parts):
        raise TypeError(
            f"primary_keys[{table!r}] must be a column name or a list of column names, "
            f"not {columns!r}"
        )
    if len(set(parts)) < len(parts):
        raise ValueError(f"primary key of {table!r} names a column twice: {columns!r}")
    return tuple(parts)


def _foreign_keys(
    given: Mapping[str, Any], by_name: dict[str, Table], key_columns: dict[str, tuple[str, ...]]
) -> list[ForeignKey]:
    """The foreign keys in the order given, checked against the tables and
    primary keys; no two may give the same edge type."""
    fks: list[ForeignKey] = []
    owner: dict[tuple[str, str, str], ForeignKey] = {}
    by_relation: dict[tuple[str, str], ForeignKey] = {}
    for name, columns in given.items():
        table = by_name[name]
        if not isinstance(columns, Mapping):
            raise TypeError(f"foreign_keys[{name!r}] must be a dict of column -> table")
        for specifier, target in columns.items():
            parts = (specifier,) if isinstance(specifier, str) else specifier
            if not isinstance(parts, tuple) or not parts or not all(
                isinstance(c, str) for c in parts
            ):
                raise TypeError(
                    f"foreign_keys[{name!r}]: a foreign key is a column name or a tuple of "
                    f"column names, not {specifier!r}"
                )
            where = table.where_key(parts)
            if len(parts) == 1:
                relation = check_name("foreign key column", parts[0], f" of table {name!r}")
            else:
                if len(set(parts)) < len(parts):
                    raise ValueError(f"foreign key {where} names a column twice")
                relation = check_name("relation name", "_".join(parts),
                                      f" (of foreign key {where})")
            check_name("relation name", "rev_" + relation, f" (of foreign key {where})")
            if not isinstance(target, str) or target not in by_name:
                raise ValueError(f"foreign key {where} references {target!r}, which is not a table")
            if target not in key_columns:
                raise ValueError(
                    f"foreign key {where} references {target!r}, which has no primary key; "
                    f"add it to primary_keys"
                )
            key = key_columns[target]
            if len(key) != len(parts):
                raise ValueError(
                    f"foreign key {where} has {len(parts)} columns but the primary key "
                    f"{by_name[target].where_key(key)} has {len(key)}"
                )
            fk = ForeignKey(name, parts, target, relation, where)
            for edge_type in fk.edge_types():
                other = owner.setdefault(edge_type, fk)
                if other is not fk:
                    raise ValueError(
                        f"foreign keys {other.where} and {fk.where} both give the edge type "
                        f"{'__'.join(edge_type)}; rename a column so that their relation "
                        f"names differ"
                    )
            other = by_relation.setdefault((name, relation), fk)
            if other is not fk:
                raise ValueError(
                    f"foreign keys {other.where} and {fk.where} both have the relation "
                    f"{relation!r}, so one report entry {fk.report_key!r} would stand for "
                    f"both; rename a column so that their relation names differ"
                )
            fks.append(fk)
    return fks


def _resolve(out: Arrays, fk: ForeignKey, table: Table, key: KeyIndex) -> Int64Array:
    """The referenced row per row of `fk.table` (-1: unresolved), after the
    columns' kinds are checked against the key's; records the report entry."""
    parts: list[KeyPart] = []
    for column, key_kind, key_column in zip(fk.columns, key.kinds, key.column_where):
        part = table.key_column(column)
        if part.kind is not None and key_kind is not None and part.kind != key_kind:
            raise TypeError(
                f"foreign key {table.where(column)} holds {_kind_name(part.kind)} keys but "
                f"primary key {key_column} holds {key_kind} keys"
            )
        parts.append(part)
    refs = key.lookup(parts)
    count = int(np.count_nonzero(refs >= 0))
    out.report[fk.report_key] = {
        "references": fk.target,
        "rows": table.num_rows,
        "resolved": count,
        "dropped": table.num_rows - count,
        "null": count_nulls(parts),
    }
    return refs


def _heirs(
    inherit_time: object, by_name: dict[str, Table], time_columns: Mapping[str, str]
) -> list[str]:
    """The tables that may inherit times: those without a time column, less
    the ones `inherit_time` leaves out."""
    if isinstance(inherit_time, (bool, np.bool_)):
        excluded: Collection[str] = () if inherit_time else by_name
    elif isinstance(inherit_time, Collection) and not isinstance(inherit_time, str):
        for name in inherit_time:
            if name not in by_name:
                raise ValueError(
                    f"inherit_time names table {name!r}, which is not among the tables"
                )
        excluded = inherit_time
    else:
        raise TypeError(
            "inherit_time must be True, False or a collection of the tables that must "
            f"not inherit times, not {inherit_time!r}"
        )
    return [t for t in by_name if t not in time_columns and t not in excluded]


def _kind_name(kind: str) -> str:
    return {"int": "integer", "str": "string", "time": "date/time"}.get(kind, kind)


def _per_table(what: str, given: Mapping[str, Any] | None, by_name: dict[str, Table]) -> Any:
    if given is None:
        return {}
    if not isinstance(given, Mapping):
        raise TypeError(f"{what} must be a dict keyed by table name, not {type(given).__name__}")
    for name in given:
        if name not in by_name:
            raise ValueError(f"{what} names table {name!r}, which is not among the tables")
    return given
