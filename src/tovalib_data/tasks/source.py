"""The tables a task reads, numbered as a graph numbers them.

A task's `source` is a mapping of table name -> table (any form
`Graph.from_tables` takes; keys and time columns given as there) or a
database (any form `Graph.from_database` takes; keys from its catalog, rows
in primary-key order). Either way the columns come out of the package's own
readers (`build.tables.Table`, and for a database the same reflection and
chunked reading `from_database` uses), so row i of a table is node i of the
graph built from the same source. Only the tables a task names are read,
and of those only the key, time and value columns.

Cut-offs and durations are converted here as seed times are
(`loading.seed_time`): datetimes to int64 counts of the time unit, integers
taken in that unit.
"""

from __future__ import annotations

import datetime
from collections.abc import Mapping, Sequence
from dataclasses import dataclass, field
from typing import Any

import numpy as np
import numpy.typing as npt

from tovalib_data.build.keys import KeyIndex
from tovalib_data.build.schema import Arrays, ForeignKey, _resolve
from tovalib_data.build.tables import TIME_UNITS, AnyArray, Int64Array, Table

Float64Array = npt.NDArray[np.float64]


def is_tables(source: Any) -> bool:
    """True for a mapping of name -> table (a database is anything else)."""
    return isinstance(source, Mapping)


@dataclass
class Tables:
    """The tables read, their keys (columns as tuples) and time columns."""

    tables: dict[str, Table]
    primary_keys: dict[str, tuple[str, ...]]
    foreign_keys: dict[str, dict[tuple[str, ...], str]]
    time_columns: dict[str, str]
    time_unit: str
    datetimes: bool = False  # whether any time read was a datetime
    _index: dict[str, KeyIndex] = field(default_factory=dict)

    def key_index(self, table: str) -> KeyIndex:
        if table not in self.primary_keys:
            raise ValueError(f"table {table!r} has no primary key; add it to primary_keys")
        if table not in self._index:
            self._index[table] = KeyIndex(self.tables[table], self.primary_keys[table])
        return self._index[table]

    def references(self, table: str, target: str) -> Int64Array:
        """Per row of `table`, the row of `target` its foreign key references
        (-1 where it does not resolve); the table must have exactly one
        foreign key into `target`."""
        keys = [cols for cols, t in self.foreign_keys.get(table, {}).items() if t == target]
        if len(keys) != 1:
            named = ", ".join(f"{table}.({', '.join(c)})" for c in keys)
            why = f"several ({named})" if keys else "none"
            raise ValueError(f"table {table!r} needs exactly one foreign key into {target!r}, "
                             f"and has {why}")
        columns = keys[0]
        fk = ForeignKey(table, columns, target, "_".join(columns),
                        self.tables[table].where_key(columns))
        return _resolve(Arrays(node_types=[]), fk, self.tables[table], self.key_index(target))

    def node_times(self, table: str, inherit: bool = True) -> Int64Array | None:
        """The table's node times as a graph built from the same tables holds
        them: its time column or, with `inherit`, the times it inherits along
        its foreign keys (None: untimed). The tables it reaches through them
        are built as a graph, so the rule is the graph's own."""
        own = self.times(table)
        if own is not None or not inherit:
            return own
        names = reach([table], [table], self._targets(), self.time_columns, self.tables)
        if not any(name in self.time_columns for name in names):
            return None  # nothing to inherit: every row exists at every time
        from tovalib_data.build.schema import build

        arrays = build({n: self.tables[n].data for n in names},
                       {n: list(k) for n, k in self.primary_keys.items() if n in names},
                       {n: {c: t for c, t in m.items() if t in names}
                        for n, m in self.foreign_keys.items() if n in names},
                       {n: c for n, c in self.time_columns.items() if n in names},
                       None, self.time_unit)
        self.datetimes |= arrays.time_unit is not None
        return arrays.node_time.get(table)

    def _targets(self) -> dict[str, list[str]]:
        return {t: list(m.values()) for t, m in self.foreign_keys.items()}

    def times(self, table: str) -> Int64Array | None:
        """The table's time column as int64 in the time unit (None: untimed)."""
        column = self.time_columns.get(table)
        if column is None:
            return None
        times, was_datetime = self.tables[table].time_column(column, self.time_unit)
        self.datetimes |= was_datetime
        return times

    def values(self, table: str, column: str) -> tuple[Float64Array, npt.NDArray[np.bool_]]:
        """A numeric column as float64, and where it is null."""
        values, nulls = self.tables[table].values_and_nulls(column, "feature")
        if values.dtype.kind not in "biuf":
            raise TypeError(f"{table}.{column}: the column must be numeric, not {values.dtype}")
        present = np.ones(len(values), dtype=bool) if nulls is None else ~nulls
        return values.astype(np.float64), present


def read(source: Any, names: Sequence[str], *, values: Mapping[str, Sequence[str]] | None = None,
         primary_keys: Mapping[str, str | Sequence[str]] | None = None,
         foreign_keys: Mapping[str, Mapping[str | tuple[str, ...], str]] | None = None,
         time_columns: Mapping[str, str] | None = None, time_unit: str = "s",
         inherit: Sequence[str] = ()) -> Tables:
    """The tables `names` of `source`, with the `values` columns (per table)
    readable; keys are `primary_keys`/`foreign_keys` for a mapping, and for a
    database the catalog's with those given added or put in their place, as
    `from_database` takes them. For the untimed tables of `inherit`, the
    tables they inherit times from are read too (see `Tables.node_times`)."""
    if time_unit not in TIME_UNITS:
        raise ValueError(f"time_unit must be one of {', '.join(TIME_UNITS)}, not {time_unit!r}")
    names = list(dict.fromkeys(names))
    if is_tables(source):
        for name in names:
            if name not in source:
                raise ValueError(f"table {name!r} is not among the tables "
                                 f"({', '.join(map(str, source))})")
        names = reach(names, inherit, {t: list(m.values()) for t, m in
                                       (foreign_keys or {}).items()},
                      time_columns or {}, source)
    else:
        names = _reach_database(source, names, inherit, foreign_keys, time_columns or {})
    times = {t: c for t, c in (time_columns or {}).items() if t in names}
    if is_tables(source):
        pks = {t: _columns(k) for t, k in (primary_keys or {}).items() if t in names}
        fks = {t: {_columns(c): target for c, target in m.items() if target in names}
               for t, m in (foreign_keys or {}).items() if t in names}
        tables = {name: Table(name, source[name]) for name in names}
        return Tables(tables, pks, fks, times, time_unit)
    given_primary = {t: k for t, k in (primary_keys or {}).items() if t in names}
    given_foreign = {t: {c: target for c, target in m.items() if target in names}
                     for t, m in (foreign_keys or {}).items() if t in names}
    frames, pks, fks = _read_database(source, names, times, dict(values or {}), time_unit,
                                      given_primary, given_foreign)
    tables = {name: Table(name, frames[name]) for name in names}
    return Tables(tables, pks, fks, times, time_unit)


def reach(names: Sequence[str], inherit: Sequence[str], targets: Mapping[str, Sequence[Any]],
          timed: Mapping[str, Any], known: Any) -> list[str]:
    """`names`, and the tables (among `known`) the untimed tables of `inherit`
    reference through foreign keys (`targets`), and so on through untimed
    ones: the tables their inherited times come from."""
    out = list(names)
    seen = set(out)
    visited: set[str] = set()
    todo = [t for t in inherit if t not in timed]
    while todo:
        table = todo.pop()
        if table in visited:
            continue
        visited.add(table)
        for target in targets.get(table, ()):
            if not isinstance(target, str) or target not in known:
                continue
            if target not in seen:
                seen.add(target)
                out.append(target)
            if target not in timed:
                todo.append(target)
    return out


def _reach_database(source: Any, names: list[str], inherit: Sequence[str],
                    foreign_keys: Mapping[str, Mapping[Any, str]] | None,
                    timed: Mapping[str, str]) -> list[str]:
    """`reach` over the keys the database declares and those given."""
    if not [t for t in inherit if t not in timed]:
        return names
    from tovalib_data._optional import require
    from tovalib_data.sources.catalog import reflect
    from tovalib_data.sources.database import _connect

    sa = require("sqlalchemy")
    with _connect(sa, source) as conn:
        catalog, _ = reflect(sa, conn)
    targets = {name: [fk.target for fk in info.foreign_keys] for name, info in catalog.items()}
    for table, mapping in (foreign_keys or {}).items():
        targets.setdefault(table, []).extend(mapping.values())
    return reach(names, inherit, targets, timed, catalog)


def _columns(key: str | Sequence[str]) -> tuple[str, ...]:
    return (key,) if isinstance(key, str) else tuple(key)


def _read_database(source: Any, names: list[str], time_columns: dict[str, str],
                   values: dict[str, Sequence[str]], time_unit: str,
                   given_primary: Mapping[str, Any], given_foreign: Mapping[str, Any]) -> tuple[
        dict[str, Any], dict[str, tuple[str, ...]], dict[str, dict[tuple[str, ...], str]]]:
    """The columns `from_database` would read of `names`, plus `values`,
    in primary-key order."""
    from tovalib_data._optional import require
    from tovalib_data.sources.catalog import (checked_columns, choose, column_roles,
                                              declared_keys, given_keys, reflect)
    from tovalib_data.sources.database import _connect, _read_tables

    sa = require("sqlalchemy")
    with _connect(sa, source) as conn:
        catalog, partitions = reflect(sa, conn)
        chosen = choose(catalog, partitions, names, ())
        time_columns = checked_columns("time_columns", time_columns, chosen, single=True)
        values = checked_columns("column", values, chosen, single=False)
        primary_keys, foreign_keys, _, _ = declared_keys(
            catalog, chosen, given_keys("primary_keys", given_primary, chosen),
            given_keys("foreign_keys", given_foreign, chosen))
        roles = column_roles(chosen, primary_keys, foreign_keys, time_columns, values)
        frames = _read_tables(sa, conn, chosen, roles, time_unit, False)
    pks = {t: _columns(k) for t, k in primary_keys.items()}
    fks = {t: {_columns(c): target for c, target in m.items()} for t, m in foreign_keys.items()}
    return frames, pks, fks


# -- times ------------------------------------------------------------------


@dataclass
class Cutoffs:
    """Cut-offs as given (`given`: datetime64 or int64, sorted, distinct)
    and as int64 counts of the time unit (`ticks`)."""

    given: AnyArray
    ticks: Int64Array


def cutoffs(values: Any, unit: str, name: str = "cutoffs") -> Cutoffs:
    """Sorted distinct cut-offs in any form the loaders take as seed times."""
    from tovalib_data.loading.seed_time import _as_array, _to_int64, _to_unit

    array = np.atleast_1d(_as_array(values, name))
    if array.ndim != 1:
        raise TypeError(f"{name} must be one time or a 1-D sequence of times")
    if array.dtype.kind == "M":
        ticks = _to_unit(array, unit, name)
    elif array.dtype.kind in "iu" or array.size == 0:
        ticks = _to_int64(array, name)
    else:
        raise TypeError(f"{name} must be integers in the time unit, or dates and times; "
                        f"got {array.dtype}")
    order = np.argsort(ticks, kind="stable")
    ticks, array = ticks[order], array[order]
    same = np.flatnonzero(ticks[1:] == ticks[:-1])
    if len(same):
        raise ValueError(f"{name}: the cut-off {array[same[0]]} is given twice")
    return Cutoffs(array, np.ascontiguousarray(ticks, dtype=np.int64))


def check_kind(given: Cutoffs, datetimes: bool, name: str = "cutoffs") -> None:
    """Cut-offs must be dates and times exactly when the time columns are."""
    if not len(given.given):
        return
    if datetimes and given.given.dtype.kind != "M":
        raise TypeError(f"{name}: the time columns hold dates and times, so the cut-offs must "
                        "be dates and times too (datetime64, datetime, pandas)")
    if not datetimes and given.given.dtype.kind == "M":
        raise TypeError(f"{name}: the time columns hold integers, so the cut-offs must be "
                        "integers in their unit")


def duration(value: Any, unit: str | None, name: str) -> int:
    """A positive duration as a count of `unit` (None: integer times, which
    take only integers). numpy.timedelta64, datetime.timedelta and
    pandas.Timedelta must be whole multiples of the unit."""
    if isinstance(value, (bool, np.bool_)):
        raise TypeError(f"{name} must be a duration, not a bool")
    if is_integer(value):
        count = int(value)
    else:
        delta = as_timedelta(value, name)
        if unit is None:
            raise TypeError(f"{name}: the times are integers, so {name} must be an integer "
                            "in their unit")
        count = int(delta.astype(f"timedelta64[{unit}]").astype(np.int64))
        if np.array(count).astype(f"timedelta64[{unit}]") != delta:
            raise ValueError(f"{name}: {value} is not a whole number of {unit!r}, the time unit")
    if count <= 0:
        raise ValueError(f"{name} must be positive, not {value}")
    return count


def is_integer(value: Any) -> bool:
    """An integer duration (NumPy's timedelta64 is an integer type to NumPy, not here)."""
    return isinstance(value, (int, np.integer)) and not isinstance(value, np.timedelta64)


def as_timedelta(value: Any, name: str) -> np.timedelta64:
    """numpy.timedelta64, datetime.timedelta or pandas.Timedelta as numpy."""
    if hasattr(value, "to_timedelta64"):  # pandas.Timedelta (also a timedelta)
        return np.timedelta64(value.to_timedelta64())
    if isinstance(value, datetime.timedelta):
        return np.timedelta64(value, "us")
    if isinstance(value, np.timedelta64):
        if np.datetime_data(value.dtype)[0] == "generic":
            raise TypeError(f"{name}: a numpy.timedelta64 without a unit is not a duration")
        if np.datetime_data(value.dtype)[0] in ("Y", "M"):
            raise TypeError(f"{name}: {value} has no fixed length (months and years vary); "
                            "give it in weeks, days or a finer unit")
        return value
    raise TypeError(f"{name} must be a duration (numpy.timedelta64, datetime.timedelta, "
                    f"pandas.Timedelta) or an integer in the time unit, not "
                    f"{type(value).__name__}")
