"""Values fetched from a database driver, collected into NumPy columns.

A driver hands rows of Python objects. `ColumnReader` takes one column of a
chunk of rows at a time and writes it into a preallocated NumPy array, in
the form `Graph.from_tables` reads for the column's role:

- "key":     int64 (a masked array when there are nulls) for integers and
             whole decimals or floats; an object array of str (None for
             null) for text and UUIDs; datetime64[us] (NaT for null) for
             dates and timestamps.
- "time":    int64 for integers (the graph's own unit); datetime64 for
             dates, timestamps and ISO 8601 text (time zones converted to
             UTC), in seconds, or in microseconds or nanoseconds where the
             graph's unit or the column's use as a key needs them; nulls as
             NaT or masked, which `from_tables` refuses. A time that does
             not fit int64 there is an error, never wrapped.
- "feature": float64, nulls as NaN.
- "column":  a column read for typed features, as it is: numbers as float64
             (NaN for null; integer types without nulls as int64), text as
             an object array of str (None for null), dates and timestamps as
             datetime64[us] (NaT for null), anything else as Python objects.

A column that is a key as well as the table's time is read as a time (a
datetime64 key matches datetime64 keys). `kind` is what the catalog declares
("number", "text", "time", "other", or "unknown" for no declared type); a
column of unknown kind takes its target from the values of the first chunk
that has any. The value types of every chunk are checked against the
target, so that a value the declared type does not promise (SQLite stores
any value in any column) is an error naming the table, the column and the
row, never a silent conversion. Errors about one value are `RowError`s,
whose row the database reader names by its primary key.
"""

from __future__ import annotations

import datetime
import decimal
import uuid
import warnings
from collections.abc import Sequence
from typing import Any

import numpy as np
import numpy.typing as npt

from tovalib_data.build.tables import SUBSECOND_UNITS, RowError, fit_datetimes, parse_iso

AnyArray = npt.NDArray[Any]

NONE = type(None)
INT64 = np.iinfo(np.int64)

# The Python types each target takes, besides None.
ACCEPTS: dict[str, tuple[type, ...]] = {
    "int": (int, bool, float, decimal.Decimal),
    "float": (int, bool, float, decimal.Decimal),
    "str": (str, uuid.UUID),
    "time": (datetime.datetime, datetime.date, str),
    "object": (object,),
}
WHAT = {
    "int": "an integer",
    "float": "a number",
    "str": "text",
    "time": "a date or time",
}
_NONE_ARRAY = np.array(None)
_UTC_EPOCH = datetime.datetime(1970, 1, 1, tzinfo=datetime.timezone.utc)


# A database value that the column's declared type or role does not take.
ColumnError = RowError


def target_for(where: str, sql_type: str, kind: str, role: str) -> str | None:
    """The target a column of `kind` is read into for `role`; None: decide
    from the values."""
    if kind == "unknown" or (kind == "other" and role == "key"):
        return None
    if role == "column":
        return {"number": "float", "text": "str", "time": "time"}.get(kind, "object")
    if role == "feature":
        if kind != "number":
            raise ColumnError(
                f"{where}: column type {sql_type} cannot be a feature; features must be numeric"
            )
        return "float"
    if role == "time":
        if kind == "number":
            return "int"
        if kind in ("time", "text"):
            return "time"
        raise ColumnError(
            f"{where}: column type {sql_type} cannot be a time; use integers, "
            "dates or timestamps"
        )
    return {"number": "int", "text": "str", "time": "time"}[kind]


def _inferred(role: str, types: set[type]) -> str:
    """The target for the non-null value types of a column without a declared type."""
    if role == "column":
        if types <= {int, bool, float, decimal.Decimal}:
            return "float"
        if types <= {str, uuid.UUID}:
            return "str"
        if all(issubclass(t, datetime.date) for t in types):
            return "time"
        return "object"
    if types <= {int, bool}:
        return "int"
    if types <= {int, bool, float, decimal.Decimal}:
        return "float" if role == "feature" else "int"
    if role != "feature" and types <= {str, uuid.UUID}:
        return "str" if role == "key" else "time"
    if role != "feature" and all(issubclass(t, datetime.date) for t in types):
        return "time"
    return ""  # refused by the type check


class ColumnReader:
    """One column of one table, filled chunk by chunk."""

    def __init__(self, where: str, sql_type: str, kind: str, role: str, capacity: int,
                 time_unit: str, key: bool = False) -> None:
        self.where, self.sql_type, self.role = where, sql_type, role
        # The unit dates and times are kept in: keys need microseconds (a
        # Python datetime's), times the graph's unit if finer than seconds.
        if role != "time":
            self.unit = "us"
        elif time_unit in SUBSECOND_UNITS:
            self.unit = time_unit
        else:
            self.unit = "us" if key else "s"
        self.target = target_for(where, sql_type, kind, role)
        self.size = 0
        self._capacity = max(capacity, 0)
        self._data: AnyArray | None = None
        self._nulls: npt.NDArray[np.bool_] | None = None
        self._leading_nulls = 0  # rows before the target was known, all null

    def add(self, values: Sequence[Any]) -> None:
        """Append one chunk of the column's values, in row order."""
        n = len(values)
        if n == 0:
            return
        if self.target == "int":
            # NumPy infers int64 only when every value is a Python int (or bool)
            # within range: then no value needs a look of its own.
            inferred = np.array(values)
            if inferred.dtype == np.int64 and inferred.ndim == 1:
                self._append(inferred, None, n)
                return
        types = set(map(type, values))
        if self.target is None:
            present = types - {NONE}
            if not present:  # nothing to decide the target from yet
                self._leading_nulls += n
                self.size += n
                return
            self.target = _inferred(self.role, present)
        accepted = ACCEPTS.get(self.target, ())
        if not all(issubclass(t, accepted) or t is NONE for t in types):
            self._refuse(values, accepted)
        convert = {"int": self._ints, "float": self._floats, "str": self._strs,
                   "time": self._times, "object": self._objects}[self.target]
        data, nulls = convert(values, types)
        self._append(data, nulls, n)

    def finish(self) -> AnyArray:
        """The column: a NumPy array, masked where an integer column has nulls."""
        if self.target is None:  # every value null
            if self.role in ("feature", "column"):
                return np.full(self.size, np.nan)
            return np.ma.MaskedArray(np.zeros(self.size, dtype=np.int64), mask=True)
        if self._data is None:
            self._allocate(self.size)
        assert self._data is not None
        data = self._data[: self.size]
        nulls = None if self._nulls is None else self._nulls[: self.size]
        if self.target == "time":
            return data  # NaT marks the nulls
        if self.role == "column" and self.target == "float" and "INT" in self.sql_type.upper() \
                and not np.isnan(data).any():
            return data.astype(np.int64)  # an integer column without nulls stays integer
        if self.target == "int" and nulls is not None and nulls.any():
            return np.ma.MaskedArray(data, mask=nulls)
        return data

    # -- one chunk, converted ---------------------------------------------

    def _ints(self, values: Sequence[Any], types: set[type]) -> tuple[AnyArray, Any]:
        if types <= {int, bool}:
            try:
                return np.fromiter(values, dtype=np.int64, count=len(values)), None
            except OverflowError:
                objects = np.fromiter(values, dtype=object, count=len(values))
                self._out_of_range(objects, np.ones(len(values), dtype=bool))
        objects = np.fromiter(values, dtype=object, count=len(values))
        nulls = np.equal(objects, _NONE_ARRAY)
        objects[nulls] = 0
        self._no_nan(objects, nulls)
        try:
            ints = objects.astype(np.int64)
        except OverflowError:
            self._out_of_range(objects, ~nulls)
        broken = np.flatnonzero(objects != ints.astype(object))
        if len(broken):
            row = int(broken[0])
            raise ColumnError(
                f"{self.where}: key and time values must be whole numbers, but {{row}} "
                f"holds {values[row]!r}", row, self.size
            )
        return ints, nulls

    def _floats(self, values: Sequence[Any], types: set[type]) -> tuple[AnyArray, Any]:
        if types <= {int, bool, float, NONE}:
            try:  # None becomes NaN
                return np.array(values, dtype=np.float64), None
            except OverflowError:
                pass
        objects = np.fromiter(values, dtype=object, count=len(values))
        objects[np.equal(objects, _NONE_ARRAY)] = np.nan
        try:
            return objects.astype(np.float64), None
        except OverflowError:
            self._out_of_range(objects, np.ones(len(values), dtype=bool), "float64")
        raise AssertionError("unreachable")

    def _strs(self, values: Sequence[Any], types: set[type]) -> tuple[AnyArray, Any]:
        objects = np.fromiter(values, dtype=object, count=len(values))
        if uuid.UUID in types:
            ids = np.fromiter(map(type, values), dtype=object, count=len(values)) == uuid.UUID
            objects[ids] = objects[ids].astype(str)
        return objects, None

    def _objects(self, values: Sequence[Any], types: set[type]) -> tuple[AnyArray, Any]:
        return np.fromiter(values, dtype=object, count=len(values)), None

    def _times(self, values: Sequence[Any], types: set[type]) -> tuple[AnyArray, Any]:
        if str in types and types - {str, NONE}:
            raise ColumnError(
                f"{self.where} mixes text and date/time values; store times one way"
            )
        try:
            if str in types:
                return parse_iso(values, self.where, self.unit), None
            # Python dates and datetimes all fit microseconds.
            return fit_datetimes(self._micros(values), self.unit, self.where), None
        except RowError as exc:
            raise ColumnError(exc.template, exc.row, self.size) from None

    def _micros(self, values: Sequence[Any]) -> AnyArray:
        try:
            with warnings.catch_warnings():
                warnings.simplefilter("error", UserWarning)  # an aware datetime
                return np.array(values, dtype="datetime64[us]")
        except (UserWarning, TypeError, ValueError):
            pass
        # Datetimes with a time zone: their distance from the epoch, in UTC.
        objects = np.fromiter(values, dtype=object, count=len(values))
        nulls = np.equal(objects, _NONE_ARRAY)
        objects[nulls] = _UTC_EPOCH
        try:
            offsets = (objects - _UTC_EPOCH).astype("timedelta64[us]")
        except TypeError:
            raise ColumnError(
                f"{self.where} mixes times with and without a time zone"
            ) from None
        times: AnyArray = offsets.view(np.int64).view("datetime64[us]")
        times[nulls] = np.datetime64("NaT")
        return times

    # -- errors -------------------------------------------------------------

    def _refuse(self, values: Sequence[Any], accepted: tuple[type, ...]) -> None:
        types = np.fromiter(map(type, values), dtype=object, count=len(values))
        ok = np.equal(types, np.array(NONE, dtype=object))
        for t in set(types.tolist()):
            if issubclass(t, accepted):
                ok |= np.equal(types, np.array(t, dtype=object))
        row = int(np.flatnonzero(~ok)[0])
        expected = WHAT.get(self.target or "", "a key, time or number")
        raise ColumnError(
            f"{self.where}: {{row}} holds {values[row]!r} "
            f"({type(values[row]).__name__}), not {expected}"
            + (f" as its type {self.sql_type} says" if self.sql_type else ""), row, self.size
        )

    def _no_nan(self, objects: AnyArray, nulls: npt.NDArray[np.bool_]) -> None:
        nan = np.flatnonzero(objects != objects)  # NaN is the only value unequal to itself
        if len(nan):
            raise ColumnError(
                f"{self.where}: {{row}} holds NaN, which is not a key or time",
                int(nan[0]), self.size
            )

    def _out_of_range(self, objects: AnyArray, valid: npt.NDArray[np.bool_],
                      dtype: str = "int64") -> None:
        if dtype == "int64":
            outside = valid & ((objects > INT64.max) | (objects < INT64.min))
        else:
            outside = valid & (np.abs(objects) > np.finfo(np.float64).max)
        row = int(np.flatnonzero(outside)[0]) if outside.any() else 0
        raise ColumnError(
            f"{self.where}: {{row}} holds {objects[row]!r}, beyond the {dtype} range",
            row, self.size
        )

    # -- storage ------------------------------------------------------------

    def _empty(self, n: int) -> AnyArray:
        if self.target in ("str", "object"):
            return np.full(n, None, dtype=object)
        if self.target == "float":
            return np.empty(n, dtype=np.float64)
        if self.target == "time":
            return np.empty(n, dtype=f"datetime64[{self.unit}]")
        return np.empty(n, dtype=np.int64)

    def _allocate(self, n: int) -> None:
        """Storage for at least `n` rows; the leading nulls marked as such."""
        self._data = self._empty(max(self._capacity, n))
        lead = self._leading_nulls
        if lead:
            if self.target == "float":
                self._data[:lead] = np.nan
            elif self.target == "time":
                self._data[:lead] = np.datetime64("NaT")
            elif self.target == "int":
                self._nulls = np.zeros(len(self._data), dtype=bool)
                self._nulls[:lead] = True

    def _append(self, data: AnyArray, nulls: Any, n: int) -> None:
        end = self.size + n
        if self._data is None:
            self._allocate(end)
        assert self._data is not None
        if end > len(self._data):  # more rows than counted: grow
            grown = self._empty(max(end, 2 * len(self._data)))
            grown[: self.size] = self._data[: self.size]
            self._data = grown
            if self._nulls is not None:
                self._nulls = np.concatenate(
                    [self._nulls, np.zeros(len(grown) - len(self._nulls), dtype=bool)])
        self._data[self.size:end] = data
        if nulls is not None and nulls.any():
            if self._nulls is None:
                self._nulls = np.zeros(len(self._data), dtype=bool)
            self._nulls[self.size:end] = nulls
        self.size = end
