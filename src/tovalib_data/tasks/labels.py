"""Label tables over cut-offs, declared in one call.

`entity_labels` aggregates an entity's events in the window (cut-off,
cut-off + horizon]; `recommendation_labels` lists the destinations a source
reaches by events in that window. Both return a pandas DataFrame with one
row per (entity, cut-off): `row` (the entity's row id, its node id in the
graph), `time` (the cut-off as given) and `label`, in (time, row) order.

How the windows are found: events are sorted once by time, so the events
of a window (a, b] are one slice, found by two searches; per cut-off, the
slice's entities are counted with `np.bincount` (summed with its weights;
minima and maxima with `ufunc.at`), and the counts are read at the entities
kept. A cut-off costs the events in its windows plus one pass over the
entities; the loop is per cut-off, never per row.
"""

from __future__ import annotations

from collections.abc import Mapping
from dataclasses import dataclass
from typing import Any

import numpy as np
import numpy.typing as npt

from tovalib_data._optional import require
from tovalib_data.build.tables import AnyArray, BoolArray, Int64Array
from tovalib_data.tasks import source as src_

AGGREGATES = ("count", "exists", "churn", "sum", "mean", "min", "max")
Keys = Mapping[str, Any] | None


@dataclass
class Events:
    """Resolved events sorted by time: entity row, time, and value (float64,
    or None for counting only)."""

    entity: Int64Array
    time: Int64Array
    value: npt.NDArray[np.float64] | None
    num_entities: int

    @classmethod
    def sorted(cls, entity: Int64Array, time: Int64Array,
               value: npt.NDArray[np.float64] | None, num_entities: int) -> Events:
        order = np.argsort(time, kind="stable")
        return cls(entity[order], time[order], None if value is None else value[order],
                   num_entities)

    def window(self, after: int, until: int) -> slice:
        """The events in (after, until]."""
        low, high = np.searchsorted(self.time, [after, until], side="right")
        return slice(int(low), int(high))

    def counts(self, after: int, until: int) -> Int64Array:
        """Per entity, its number of events in (after, until]."""
        return np.bincount(self.entity[self.window(after, until)], minlength=self.num_entities)

    def reduce(self, aggregate: str, after: int, until: int) -> npt.NDArray[np.float64]:
        """Per entity, the sum, mean, min or max of its values in (after,
        until] (sum 0 and the others NaN over none)."""
        assert self.value is not None
        span = self.window(after, until)
        entity, value = self.entity[span], self.value[span]
        if aggregate in ("sum", "mean"):
            total = np.bincount(entity, value, minlength=self.num_entities).astype(
                np.float64, copy=False)
            if aggregate == "sum":
                return total
            with np.errstate(invalid="ignore", divide="ignore"):
                return total / np.bincount(entity, minlength=self.num_entities)
        ufunc, start = (np.minimum, np.inf) if aggregate == "min" else (np.maximum, -np.inf)
        out = np.full(self.num_entities, start)
        ufunc.at(out, entity, value)
        out[np.bincount(entity, minlength=self.num_entities) == 0] = np.nan
        return out


def _event_rows(tables: src_.Tables, entity: str, events: str,
                via: str | None) -> tuple[Int64Array, Int64Array]:
    """Per event, its entity row (-1: none) and its time: the events' time
    column, or the `via` row's when the events have none."""
    times = tables.times(events)
    if via is None:
        owner = tables.references(events, entity)
        if times is None:
            raise ValueError(f"events table {events!r} needs a time column in time_columns")
        return owner, times
    through = tables.references(events, via)
    owner = _at(tables.references(via, entity), through)
    if times is None:
        via_times = tables.times(via)
        if via_times is None:
            raise ValueError(f"neither events table {events!r} nor via table {via!r} has a "
                             "time column in time_columns")
        times = _at(via_times, through)
    return owner, times


def _at(values: Int64Array, refs: Int64Array) -> Int64Array:
    """values[refs], -1 where a reference does not resolve (refs -1; the
    table referenced may have no row at all)."""
    out = np.full(len(refs), -1, dtype=np.int64)
    found = refs >= 0
    out[found] = values[refs[found]]
    return out


def _entities(tables: src_.Tables, entity: str,
              inherit_time: bool) -> tuple[int, Int64Array | None]:
    """The entity table's rows, and their node times as a graph built from
    the same source holds them (None: untimed), so that every row kept is a
    seed the loaders take at its cut-off."""
    return tables.tables[entity].num_rows, tables.node_times(entity, inherit_time)


def _window_args(tables: src_.Tables, cutoffs: Any, horizon: Any,
                 active_within: Any) -> tuple[src_.Cutoffs, int, int | None]:
    given = src_.cutoffs(cutoffs, tables.time_unit)
    src_.check_kind(given, tables.datetimes)
    unit = tables.time_unit if tables.datetimes else None
    span = src_.duration(horizon, unit, "horizon")
    active = None if active_within is None else src_.duration(active_within, unit,
                                                              "active_within")
    return given, span, active


def _frame(rows: list[Int64Array], times: list[AnyArray], labels: list[Any],
           label: Any = None) -> Any:
    pd = require("pandas")
    row = np.concatenate(rows) if rows else np.zeros(0, dtype=np.int64)
    time = np.concatenate(times) if times else np.zeros(0, dtype=np.int64)
    if label is None:
        label = np.concatenate(labels) if labels else np.zeros(0)
    return pd.DataFrame({"row": row.astype(np.int64, copy=False), "time": time,
                         "label": label}, copy=False)


def entity_labels(source: Any, entity: str, events: str, cutoffs: Any, horizon: Any, *,
                  aggregate: str = "count", column: str | None = None, via: str | None = None,
                  active_within: Any = None, include_empty: bool = True,
                  primary_keys: Keys = None, foreign_keys: Keys = None,
                  time_columns: Mapping[str, str] | None = None, time_unit: str = "s",
                  inherit_time: bool = True) -> Any:
    """Per (entity, cut-off), an aggregate of the entity's events in (cut-off,
    cut-off + horizon].

    `source` is a mapping of table name -> table (with `primary_keys`,
    `foreign_keys` and `time_columns` as `Graph.from_tables` takes them) or
    a database (as `Graph.from_database` takes it; keys from its catalog,
    `time_columns` as there). `events` has a foreign key into `entity`, or
    into `via`, which has one into `entity`; its times are its time column,
    or the `via` row's. `aggregate` is "count" (int64), "exists" (bool),
    "churn" (bool: no event in the window; use it with `active_within`),
    or "sum", "mean", "min", "max" of the numeric `column` of `events`
    (float64; nulls are left out as SQL leaves them out; `sum` is 0 and the
    others NaN over no events).

    `cutoffs` take any form the loaders take as seed times; `horizon` and
    `active_within` are durations (numpy.timedelta64, datetime.timedelta,
    pandas.Timedelta, or an integer in `time_unit`). Entities whose own
    time is after the cut-off are left out: their time column or, for an
    untimed entity table, the time its rows inherit along foreign keys in a
    graph built from the same source (`inherit_time` as `from_tables`
    takes it, True or False);
    `active_within` keeps only entities with an event in (cut-off -
    active_within, cut-off]; `include_empty=False` drops rows whose window
    holds no event. Returns a pandas DataFrame of `row`, `time`, `label`
    in (time, row) order.
    """
    if aggregate not in AGGREGATES:
        raise ValueError(f"aggregate must be one of {', '.join(AGGREGATES)}, not {aggregate!r}")
    needs_column = aggregate in ("sum", "mean", "min", "max")
    if needs_column and column is None:
        raise ValueError(f"aggregate {aggregate!r} needs the column of {events!r} to aggregate")
    if not needs_column and column is not None:
        raise ValueError(f"aggregate {aggregate!r} takes no column")
    names = [entity, events] + ([via] if via else [])
    tables = src_.read(source, names, values={events: [column]} if column else None,
                       primary_keys=primary_keys, foreign_keys=foreign_keys,
                       time_columns=time_columns, time_unit=time_unit,
                       inherit=[entity] if inherit_time else [])
    count, entity_time = _entities(tables, entity, inherit_time)
    owner, time = _event_rows(tables, entity, events, via)
    keep = owner >= 0
    value = None
    if column is not None:
        value, present = tables.values(events, column)
        keep &= present
    every = Events.sorted(owner[keep], time[keep], None if value is None else value[keep],
                          count)
    # An event whose value is null is still an event for `active_within` and
    # `include_empty`, as SQL's COUNT(*) counts it; only the aggregate skips it.
    all_events = every if column is None else Events.sorted(owner[owner >= 0],
                                                            time[owner >= 0], None, count)
    given, span, active = _window_args(tables, cutoffs, horizon, active_within)

    rows, labels = [], []
    everyone = np.arange(count, dtype=np.int64)
    for cutoff in given.ticks:
        ids = everyone if entity_time is None else np.flatnonzero(entity_time <= cutoff)
        if active is not None:
            ids = ids[all_events.counts(cutoff - active, cutoff)[ids] > 0]
        if not include_empty:
            ids = ids[all_events.counts(cutoff, cutoff + span)[ids] > 0]
        if aggregate in ("count", "exists", "churn"):
            found = every.counts(cutoff, cutoff + span)[ids]
            label: AnyArray = found if aggregate == "count" else (
                found > 0 if aggregate == "exists" else found == 0)
        else:
            label = every.reduce(aggregate, cutoff, cutoff + span)[ids]
        rows.append(ids)
        labels.append(label)
    times = [np.repeat(given.given, [len(ids) for ids in rows])]
    return _frame(rows, times, labels)


def recommendation_labels(source: Any, src: str, events: str, dst: str, cutoffs: Any,
                          horizon: Any, *, via: str | None = None, active_within: Any = None,
                          primary_keys: Keys = None, foreign_keys: Keys = None,
                          time_columns: Mapping[str, str] | None = None,
                          time_unit: str = "s", inherit_time: bool = True) -> Any:
    """Per (source row, cut-off), the sorted int64 array of the distinct `dst`
    rows that events in (cut-off, cut-off + horizon] link it to.

    `events` has a foreign key into `dst` and one into `src` (or into `via`,
    which has one into `src`). Sources with no such event, sources whose own
    time (as for `entity_labels`, with `inherit_time`) is after the
    cut-off and, with `active_within`, sources without an
    event in (cut-off - active_within, cut-off] are left out. `source`,
    `cutoffs`, `horizon` and the keys are as for `entity_labels`. Returns a
    pandas DataFrame of `row`, `time`, `label` (an object column of arrays)
    in (time, row) order.
    """
    names = [src, events, dst] + ([via] if via else [])
    tables = src_.read(source, names, primary_keys=primary_keys, foreign_keys=foreign_keys,
                       time_columns=time_columns, time_unit=time_unit,
                       inherit=[src] if inherit_time else [])
    _, entity_time = _entities(tables, src, inherit_time)
    owner, time = _event_rows(tables, src, events, via)
    target = tables.references(events, dst)
    active_events = Events.sorted(owner[owner >= 0], time[owner >= 0], None,
                                  tables.tables[src].num_rows)
    keep = (owner >= 0) & (target >= 0)
    owner, time, target = owner[keep], time[keep], target[keep]
    by_time = np.argsort(time, kind="stable")
    owner, time, target = owner[by_time], time[by_time], target[by_time]
    stride = np.int64(tables.tables[dst].num_rows)
    given, span, active = _window_args(tables, cutoffs, horizon, active_within)

    rows, times, labels = [], [], []
    for given_time, cutoff in zip(given.given, given.ticks):
        start, stop = np.searchsorted(time, [cutoff, cutoff + span], side="right")
        pairs = np.unique(owner[start:stop] * stride + target[start:stop])
        who, what = np.divmod(pairs, stride)
        ids, first = np.unique(who, return_index=True)
        wanted: BoolArray = np.ones(len(ids), dtype=bool)
        if entity_time is not None:
            wanted &= entity_time[ids] <= cutoff
        if active is not None:
            wanted &= active_events.counts(cutoff - active, cutoff)[ids] > 0
        sizes = np.diff(np.append(first, len(who)))
        kept = np.repeat(wanted, sizes)
        ids, sizes = ids[wanted], sizes[wanted]
        # One array per row is the label's form; np.split makes them as views.
        if len(ids):
            labels.extend(np.split(what[kept], np.cumsum(sizes)[:-1]))
        rows.append(ids)
        times.append(np.full(len(ids), given_time))
    label = np.fromiter(labels, dtype=object, count=len(labels))
    return _frame(rows, times, [], label)
