"""Seed times as the sampler takes them: one int64 per seed, in the unit of
the graph's node times.

Accepted forms, a single one broadcast to every seed or one per seed:

- integers (Python or NumPy), taken as counts of the graph's time unit
  (bools are not integers here: a bool among them is a TypeError);
- `numpy.datetime64` scalars and arrays, in any unit;
- `datetime.date` and `datetime.datetime` objects, and sequences of them;
- pandas `Timestamp`, `DatetimeIndex` and datetime `Series` (NumPy or Arrow
  backed).

Time-zone-aware times are taken as UTC, naive ones as UTC already. A time
finer than the graph's unit is floored to it (a day's seed time covers the
whole day in a graph of days). NaT, a null, or a value that does not fit
int64 in the graph's unit is a ValueError naming the argument. Integer
times that all lie far outside the node times' range (more than the range's
span beyond it) most likely are in another unit: that gives a UserWarning
with the graph's unit and the range.
"""

from __future__ import annotations

import datetime
import sys
import warnings
from collections.abc import Iterable, Sequence
from typing import Any, Protocol

import numpy as np
import numpy.typing as npt

from tovalib_data.graph import Graph

Int64Array = npt.NDArray[np.int64]


class HasArray(Protocol):
    """What NumPy can turn into an array by itself: pandas `DatetimeIndex`
    and `Series`, and the like."""

    def __array__(self) -> npt.NDArray[Any]: ...


# The forms above, as a type checker sees them (pandas Timestamps are
# datetimes).
Time = int | np.integer[Any] | np.datetime64 | datetime.date
SeedTimes = Time | Sequence[Time] | npt.NDArray[Any] | HasArray

_INT64 = np.iinfo(np.int64)
# datetime64 units, coarsest first; from "W" on each is a fixed multiple of the previous.
_UNITS = ["Y", "M", "W", "D", "h", "m", "s", "ms", "us", "ns", "ps", "fs", "as"]


def seed_times(graph: Graph, values: Any, count: int, name: str = "seed_time",
               items: str = "seeds") -> Int64Array:
    """`values` (any form above) as `count` int64 times in the unit of
    `graph`'s node times, one per entry of the loader's `items`; a single
    value is broadcast. Errors and warnings name the argument `name`."""
    array = _as_array(values, name)
    if array.dtype.kind == "M":
        if graph.time_unit is None:
            raise TypeError(f"{name}: dates and times need a graph with a time unit; "
                            "pass int64 times in the unit of the graph's node times")
        from tovalib_data.build.tables import TIME_UNITS

        if graph.time_unit not in TIME_UNITS:  # a hand-built graph's
            raise ValueError(f"{name}: dates and times cannot be converted to the graph's "
                             f"time unit {graph.time_unit!r}, which is not one of "
                             f"{', '.join(TIME_UNITS)}")
        times = _to_unit(array, graph.time_unit, name)
    elif array.dtype.kind in "iu" or (array.size == 0 and array.dtype.kind in "fO"):
        times = _to_int64(array, name)
        if graph.time_unit is not None:
            _warn_if_far(graph, times, name)
    else:
        raise TypeError(f"{name} must be integers in the graph's time unit, or dates and "
                        f"times (datetime64, datetime, pandas); got {array.dtype} "
                        f"of shape {array.shape}")
    if times.ndim == 0:
        times = np.full(count, times, dtype=np.int64)
    if times.ndim != 1:
        raise TypeError(f"{name} must be one time or a 1-D sequence of times, got shape "
                        f"{times.shape}")
    if len(times) != count:
        raise ValueError(f"{name} has {len(times)} entries, {items} has {count}; "
                         f"give one time per entry of {items}")
    return np.ascontiguousarray(times, dtype=np.int64)


def _as_array(values: Any, name: str) -> npt.NDArray[Any]:
    """An integer or datetime64 array of `values`, whatever their form."""
    if _from_pandas(values):
        return _pandas_times(values, name)
    if isinstance(values, datetime.date):  # a datetime is a date
        return _datetime_objects(np.array([values], dtype=object), name).reshape(())
    if isinstance(values, (list, tuple)) and _holds_bools(values):
        raise TypeError(f"{name} must be integers in the graph's time unit, or dates and "
                        "times; got a bool among them")
    array = np.asarray(values)
    if array.dtype == object and array.size:
        if _holds_bools(array.flat):
            raise TypeError(f"{name} must be integers in the graph's time unit, or dates "
                            "and times; got a bool among them")
        first = array.flat[0]
        if _from_pandas(first):
            return _pandas_times(array.ravel(), name).reshape(array.shape)
        if isinstance(first, (datetime.date, np.datetime64)) or first is None:
            return _datetime_objects(array, name)
        if isinstance(first, (int, np.integer)) and not isinstance(first, (bool, np.bool_)):
            try:
                integers = np.array(array, dtype=np.int64)
            except OverflowError:
                raise ValueError(f"{name}: a seed time does not fit int64") from None
            except (TypeError, ValueError):
                integers = None
            if integers is not None and bool(np.all(integers == array)):
                return integers
        raise TypeError(f"{name} must be integers in the graph's time unit, or dates "
                        f"and times; got {type(first).__name__} objects")
    return array


def _holds_bools(items: Iterable[Any]) -> bool:
    """Whether `items` holds a bool (NumPy's too), which NumPy would
    otherwise take as the integer 0 or 1; the types are collected in C."""
    kinds = set(map(type, items))
    return bool in kinds or np.bool_ in kinds


def _from_pandas(value: Any) -> bool:
    return "pandas" in sys.modules and type(value).__module__.split(".")[0] == "pandas"


def _pandas_times(values: Any, name: str) -> npt.NDArray[Any]:
    """pandas times as naive UTC datetime64; other pandas values as NumPy."""
    pd = sys.modules["pandas"]
    if isinstance(values, (pd.Series, pd.Index, pd.api.extensions.ExtensionArray)):
        if not pd.api.types.is_datetime64_any_dtype(values.dtype):
            if values.isna().any():
                raise ValueError(f"{name}: a seed time is null")
            return _as_array(values.to_numpy(), name)
    if values is pd.NaT:
        raise ValueError(f"{name}: a seed time is NaT (not a time)")
    if isinstance(values, pd.Timestamp):
        stamp = values.tz_convert("UTC").tz_localize(None) if values.tz is not None else values
        return np.asarray(stamp.to_datetime64())
    try:
        utc = pd.DatetimeIndex(pd.to_datetime(values, utc=True)).tz_localize(None)
    except (TypeError, ValueError, OverflowError) as error:
        raise ValueError(f"{name}: cannot read the times: {error}") from None
    return np.asarray(utc.to_numpy())


def _datetime_objects(array: npt.NDArray[Any], name: str) -> npt.NDArray[Any]:
    """Dates, datetimes (aware ones as UTC) and datetime64 scalars in an
    object array, as a datetime64 array (converted by NumPy, not per item
    in Python)."""
    try:
        with warnings.catch_warnings():
            # NumPy converts aware datetimes to UTC, as intended here.
            warnings.filterwarnings("ignore", "no explicit representation of timezones")
            return np.array(array.tolist(), dtype="datetime64")
    except (TypeError, ValueError, OverflowError) as error:
        raise TypeError(f"{name}: cannot read the times as dates and times: {error}") from None


def _to_int64(array: npt.NDArray[Any], name: str) -> Int64Array:
    if array.dtype.kind == "u" and array.size and array.max() > _INT64.max:
        raise ValueError(f"{name}: {array.max()} does not fit int64")
    return array.astype(np.int64)


def _to_unit(array: npt.NDArray[Any], unit: str, name: str) -> Int64Array:
    """datetime64 `array` as int64 counts of `unit` since 1970, floored;
    NaT and values that do not fit are refused."""
    nat = np.flatnonzero(np.isnat(array).ravel())
    if nat.size:
        raise ValueError(f"{name}: the seed time at position {nat[0]} is NaT (not a time)")
    if not array.size:
        return np.zeros(array.shape, dtype=np.int64)
    source, step = np.datetime_data(array.dtype)
    path = []
    if step != 1:
        path.append(source)  # to the plain unit first: [10s] to [s]
    if source in ("Y", "M") and unit not in ("Y", "M"):
        path.append("D")  # calendar units go through days
    path.append(unit)
    out = array
    for target in path:
        converted = out.astype(f"datetime64[{target}]")
        finer = (_UNITS.index(target) > _UNITS.index(np.datetime_data(out.dtype)[0])
                 or np.datetime_data(out.dtype)[1] != 1)
        # A finer unit multiplies: the result fits iff it converts back exactly.
        if finer and (np.isnat(converted).any()
                      or not np.array_equal(converted.astype(out.dtype), out)):
            raise ValueError(f"{name}: a seed time does not fit int64 as counts of "
                             f"{unit!r} since 1970 (the graph's time unit)")
        out = converted
    return out.view(np.int64)


def shown_time(graph: Graph, value: int) -> str:
    """`value`, a time in `graph`'s unit, as a date and time when the graph
    has a datetime unit, else as the integer."""
    from tovalib_data.build.tables import TIME_UNITS

    if graph.time_unit in TIME_UNITS and value != _INT64.min:
        return str(np.array([value], dtype=np.int64).view(f"datetime64[{graph.time_unit}]")[0])
    return str(int(value))


def check_exist(graph: Graph, table: str, ids: Int64Array, times: Int64Array,
                items: str, name: str) -> None:
    """Refuse `items` (seeds, or pairs) whose node of `table` (`ids`) does
    not exist yet at its cut-off `times`: its node time (its table's own or
    inherited) is later. Such a node would enter its own subgraph from after
    the cut-off. The error names how many and the first, `name` being the
    argument that holds the nodes."""
    node_time = graph.node_time.get(table)
    if node_time is None or not len(ids):
        return
    own = np.take(node_time, ids)
    late = np.flatnonzero(own > times)
    if len(late):
        first = int(late[0])
        one = items[:-1]
        count = (f"{len(late)} {items} do not exist yet at their" if len(late) > 1
                 else f"1 {one} does not exist yet at its")
        raise ValueError(f"{name}: {count} cut-off (a node time of {table!r} later than the cut-off); the "
                         f"first is {one} {first}, row {int(ids[first])} of {table!r}, at "
                         f"{shown_time(graph, int(own[first]))}, after its cut-off "
                         f"{shown_time(graph, int(times[first]))}")


def _warn_if_far(graph: Graph, times: Int64Array, name: str) -> None:
    """Warn when every time lies more than the node times' span outside their
    range. Times at the int64 minimum (rows visible at any time) do not
    count towards the range."""
    if not times.size:
        return
    lows, highs = [], []
    for node_time in graph.node_time.values():
        known = node_time[node_time != _INT64.min] if node_time.size else node_time
        if known.size:
            lows.append(int(known.min()))
            highs.append(int(known.max()))
    if not lows:
        return
    low, high = min(lows), max(highs)
    span = high - low
    if int(times.max()) < low - span or int(times.min()) > high + span:
        unit = graph.time_unit
        dates = ""
        if unit is not None and unit in _UNITS:
            bounds = np.array([low, high], dtype=np.int64).view(f"datetime64[{unit}]")
            dates = f" ({bounds[0]} to {bounds[1]})"
        warnings.warn(f"{name}: every seed time lies far outside the node times, which "
                      f"range over [{low}, {high}]{dates} in the graph's time unit {unit!r}; "
                      "integer seed times are taken in that unit (pass datetime64, "
                      "datetime or pandas times to have them converted)",
                      UserWarning, stacklevel=4)
