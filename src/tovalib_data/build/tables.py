"""Column access and normalisation for the tables `Graph.from_tables` reads.

A table is a pandas DataFrame, a mapping of column name -> 1-D array (NumPy,
pandas or Arrow), or an Arrow table (anything with `__arrow_c_stream__`,
converted column by column in `arrow`). Its columns come out as NumPy arrays
with a null mask: key columns as int64, string or datetime64 arrays, time
columns as int64, feature columns as float32. Every error names the table
and the column ("orders.customer_id").

Times are converted here for every reader (tables, databases, files):
`parse_iso` reads ISO 8601 text and `fit_datetimes` changes the unit, and
neither lets a time wrap around int64.
"""

from __future__ import annotations

import sys
import warnings
from collections.abc import Mapping, Sequence
from dataclasses import dataclass
from typing import Any

import numpy as np
import numpy.typing as npt
from numpy.dtypes import StringDType

from tovalib_data.sources import arrow

Int64Array = npt.NDArray[np.int64]
BoolArray = npt.NDArray[np.bool_]
AnyArray = npt.NDArray[Any]

# The units a datetime64 time column may be converted to.
TIME_UNITS = ("D", "h", "m", "s", "ms", "us", "ns")

INT64_MAX = np.iinfo(np.int64).max
# Units finer than a second: a datetime64 in one of them spans only a few
# hundred thousand years (ns: 1678 to 2262).
SUBSECOND_UNITS = ("ms", "us", "ns")


class RowError(ValueError):
    """A bad value in one row. The message names the row where `template`
    says "{row}": "row N" counting from `first`, unless a caller that knows
    the row better (a database reader knows its primary key) relabels it."""

    def __init__(self, template: str, row: int | None = None, first: int = 0) -> None:
        self.template, self.row = template, row
        super().__init__(template if row is None else
                         template.replace("{row}", f"row {first + row}"))

    def relabel(self, label: str) -> RowError:
        return RowError(self.template.replace("{row}", label))


def fit_datetimes(values: AnyArray, unit: str, where: str,
                  advice: str = "; choose a coarser time_unit") -> AnyArray:
    """datetime64 values in `unit` (floored where the unit is coarser).
    A time that the conversion to a finer unit would wrap raises RowError
    naming the time and its row; NaT stays NaT."""
    target = np.dtype(f"datetime64[{unit}]")
    if values.dtype == target:
        return values
    if not np.can_cast(values.dtype, target, "safe"):
        return floor_datetimes(values, unit)
    out = values.astype(target)
    if len(values):
        nat = np.isnat(values)
        present = values[~nat] if nat.any() else values
        # The conversion is monotonic, so the extremes fit if every value does.
        ends = np.array([present.min(), present.max()]) if len(present) else present
        if not np.array_equal(ends.astype(target).astype(values.dtype), ends):
            bad = out.astype(values.dtype) != values
            bad &= ~nat
            row = int(np.flatnonzero(bad)[0])
            raise RowError(f"{where}: the time {values[row]} in {{row}} does not fit int64 as "
                           f"a count of {unit!r} since 1970-01-01{advice}", row)
    return out


def floor_datetimes(values: AnyArray, unit: str) -> AnyArray:
    """datetime64 `values` floored into the coarser linear `unit` ("D" ...
    "ns"), NaT kept. NumPy's own cast floors by a subtraction that wraps
    within one unit of the int64 minimum (the earliest nanosecond time, a
    pandas Timestamp.min, a database's -infinity would become a time in
    2262); an integer floor division never overflows, and the floored value,
    nearer to zero, always fits."""
    source, step = np.datetime_data(values.dtype)
    if source in ("Y", "M"):  # calendar units: NumPy converts them exactly
        return values.astype(f"datetime64[{unit}]")
    # Ticks of the source per tick of the target, exact for the fixed units.
    one = np.array(1, dtype=f"timedelta64[{unit}]")
    per = int(one.astype(f"timedelta64[{source}]").astype(np.int64))
    if per % step:  # a step that does not divide the target: through the plain unit
        return floor_datetimes(fit_datetimes(values, source, "", ""), unit)
    ticks = values.view(np.int64)
    out = ticks // (per // step)
    nat = np.isnat(values)
    if nat.any():
        out[nat] = np.iinfo(np.int64).min
    result: AnyArray = out.view(f"datetime64[{unit}]")
    return result


def parse_iso(values: Sequence[Any] | AnyArray, where: str, unit: str | None = None,
              advice: str = "; choose a coarser time_unit") -> AnyArray:
    """ISO 8601 text (None for null) as datetime64 in `unit`, or without one
    in the finest unit the text uses, at least seconds; offsets ("+02:00")
    are converted to UTC. A text that is no date or time, and a time that
    does not fit int64 in the unit, raise RowError naming the text and its
    row."""
    dtype = "datetime64" if unit is None else f"datetime64[{unit}]"
    with warnings.catch_warnings():
        warnings.filterwarnings("ignore", "no explicit representation of timezones")
        try:
            parsed = np.array(values, dtype=dtype)
        except ValueError:
            row = _first_unparsable(values, dtype)
            raise RowError(f"{where}: {{row}} holds {values[row]!r}, which is not an ISO 8601 "
                           "date or time", row) from None
        got = np.datetime_data(parsed.dtype)[0]
        if got not in SUBSECOND_UNITS:
            return parsed if unit is not None else parsed.astype("datetime64[s]")
        # Text is parsed field by field into the unit, which wraps where the
        # time is beyond its span; seconds span far more, and floor alike.
        seconds = np.array(values, dtype="datetime64[s]")
    bad = floor_datetimes(parsed, "s") != seconds
    bad &= ~np.isnat(seconds)
    if bad.any():
        row = int(np.flatnonzero(bad)[0])
        raise RowError(f"{where}: the time {values[row]!r} in {{row}} does not fit int64 as a "
                       f"count of {got!r} since 1970-01-01{advice}", row)
    return parsed


def _first_unparsable(values: Sequence[Any] | AnyArray, dtype: str) -> int:
    """The first value NumPy cannot parse, found by halving (one bad value known)."""
    low, high = 0, len(values)
    while high - low > 1:
        middle = (low + high) // 2
        try:
            np.array(values[low:middle], dtype=dtype)
        except ValueError:
            high = middle
        else:
            low = middle
    return low


@dataclass
class KeyPart:
    """One key column as read: values, null mask (None: no nulls) and kind
    ("int", "str", "bytes", or "time" for datetime64 values of any unit;
    None for a column holding no value at all)."""

    values: AnyArray
    nulls: BoolArray | None
    kind: str | None


def kind_of(values: AnyArray) -> str:
    return {"i": "int", "U": "str", "T": "str", "S": "bytes", "M": "time"}[values.dtype.kind]


def is_dataframe(data: object) -> bool:
    """True for a pandas DataFrame; pandas is never imported to find out."""
    pd = sys.modules.get("pandas")
    return pd is not None and isinstance(data, pd.DataFrame)


def _is_series(values: object) -> bool:
    pd = sys.modules.get("pandas")
    return pd is not None and isinstance(values, pd.Series)


def _as_series(values: object) -> object:
    """A pandas Index or array (DatetimeIndex, `pd.array(...)`, `Series.array`)
    as a Series, which keeps its dtype (a time zone, an Arrow type) for the
    Series path; anything else as it is."""
    pd = sys.modules.get("pandas")
    if pd is not None and isinstance(values, (pd.Index, pd.api.extensions.ExtensionArray)):
        return pd.Series(values, copy=False)
    return values


def _is_arrow_series(values: object) -> bool:
    """A pandas Series with an Arrow dtype ("int64[pyarrow]", "date32[day][pyarrow]")."""
    pd = sys.modules.get("pandas")
    return pd is not None and isinstance(values, pd.Series) and isinstance(
        values.dtype, pd.ArrowDtype
    )


class Table:
    """One input table under its name; node i of the graph is row i."""

    def __init__(self, name: str, data: Any) -> None:
        self.name = name
        self.data = data
        self.arrow: Any = None  # a pyarrow Table, for Arrow input
        # Column types as the caller's library names them, where its columns
        # reach NumPy as something else (Arrow text: object arrays).
        self.declared: dict[str, str] = {}
        if is_dataframe(data):
            self.num_rows = len(data)
            return
        if arrow.is_arrow_table(data):
            self.arrow = arrow.read_table(data)
            schema = getattr(data, "schema", None)
            if type(data).__module__.split(".")[0] == "polars" and isinstance(schema, Mapping):
                self.declared = {str(c): str(t) for c, t in schema.items()}
            else:
                self.declared = {f.name: str(f.type) for f in self.arrow.schema}
            self.num_rows = self.arrow.num_rows
            return
        if not isinstance(data, Mapping):
            raise TypeError(
                f"table {name!r} must be a pandas DataFrame, a dict of column -> 1-D array "
                f"or an Arrow table (with __arrow_c_stream__), not {type(data).__name__}"
            )
        lengths: dict[str, int] = {}
        for column, values in data.items():
            try:
                lengths[column] = len(values)
            except TypeError:
                raise TypeError(
                    f"{name}.{column} must be a 1-D array, not {type(values).__name__}"
                ) from None
        if len(set(lengths.values())) > 1:
            listed = ", ".join(f"{c} has {n}" for c, n in lengths.items())
            raise ValueError(f"table {name!r} has columns of unequal length: {listed} rows")
        self.num_rows = next(iter(lengths.values()), 0)

    def where(self, column: str) -> str:
        return f"{self.name}.{column}"

    def type_name(self, column: str, values: AnyArray) -> str:
        """The column's type as the caller wrote it (polars "String", Arrow
        "date32[day]"), else its NumPy dtype."""
        return self.declared.get(column) or str(values.dtype)

    def where_key(self, columns: tuple[str, ...]) -> str:
        """"orders.customer_id", or "lineitem.(l_partkey, l_suppkey)" for several columns."""
        if len(columns) == 1:
            return self.where(columns[0])
        return f"{self.name}.({', '.join(columns)})"

    def raw(self, column: str) -> Any:
        """The column as given (Series, array-like or Arrow column), or
        ValueError if absent."""
        if self.arrow is not None:
            count = self.arrow.column_names.count(column)
            if count == 0:
                raise ValueError(f"table {self.name!r} has no column {column!r}")
            if count > 1:
                raise ValueError(f"{self.where(column)}: the column name appears more than once")
            return self.arrow.column(column)
        columns = self.data.columns if is_dataframe(self.data) else self.data
        if column not in columns:
            raise ValueError(f"table {self.name!r} has no column {column!r}")
        values = self.data[column]
        if is_dataframe(values):
            raise ValueError(f"{self.where(column)}: the column name appears more than once")
        return values

    def values_and_nulls(
        self, column: str, role: str = "feature"
    ) -> tuple[AnyArray, BoolArray | None]:
        """The column as a 1-D NumPy array and its null mask (None: no nulls).

        Nulls are pandas NA/NaN/NaT, NaN and NaT in NumPy arrays, None in
        object arrays, masked entries of NumPy masked arrays and Arrow nulls.
        The values under a null are unspecified. Arrow columns and pandas
        columns with Arrow dtypes go through `arrow.to_numpy`, which takes
        the column's `role` ("key", "time" or "feature").
        """
        raw = _as_series(self.raw(column))
        nulls: BoolArray | None
        if _is_arrow_series(raw) or (not _is_series(raw) and arrow.is_arrow_column(raw)):
            # Arrow's validity is the whole truth: a timestamp at the int64
            # minimum is a time (the earliest, as untimed rows get), not NaT.
            return arrow.to_numpy(arrow.chunked(raw), self.where(column), role)
        if _is_series(raw):
            values, nulls = _series_values(raw)
        elif isinstance(raw, np.ma.MaskedArray):
            values, nulls = np.ma.getdata(raw), np.ma.getmaskarray(raw)
        else:
            values, nulls = np.asarray(raw), None
        if values.ndim != 1:
            raise ValueError(f"{self.where(column)} must be 1-D, not of shape {values.shape}")
        if nulls is None:
            if values.dtype.kind == "f":
                nulls = np.isnan(values)
            elif values.dtype.kind in "mM":
                nulls = np.isnat(values)
            elif values.dtype.kind == "O":
                nulls = np.equal(values, np.array(None))
        if nulls is not None and not nulls.any():
            nulls = None
        return values, nulls

    def key_column(self, column: str) -> KeyPart:
        """A primary or foreign key column: int64 values, strings, bytes or
        datetime64 values (a date referencing a date table), and nulls.

        Strings given as Python objects (object arrays, pandas and Arrow
        string columns) become a NumPy StringDType array, which keeps
        trailing NULs where a 'U' array drops them, so keys compare exactly.
        A column holding no value at all (empty, or all null) has no kind:
        it matches the key it refers to, whatever that holds.
        """
        where = self.where(column)
        values, nulls = self.values_and_nulls(column, "key")
        valid = values if nulls is None else values[~nulls]
        if len(valid) == 0:
            return KeyPart(np.zeros(len(values), dtype=np.int64), nulls, None)
        kind = values.dtype.kind
        if kind == "O":
            valid = _object_keys(valid, where)
            values = np.zeros(len(values), dtype=valid.dtype)
            values[slice(None) if nulls is None else ~nulls] = valid
            kind = values.dtype.kind
        if kind in "UTSM":
            return KeyPart(values, nulls, kind_of(values))
        if kind == "f":
            _check_float_keys(valid, where)
            values = np.where(nulls, 0, values) if nulls is not None else values
            return KeyPart(values.astype(np.int64), nulls, "int")
        if kind not in "iu":
            raise TypeError(f"{where}: unsupported key type {values.dtype}; use integers, strings "
                            "or datetime64")
        return KeyPart(self._int64(column, values, "keys"), nulls, "int")

    def time_column(self, column: str, unit: str) -> tuple[Int64Array, bool]:
        """A time column as int64, and whether it was a datetime column.

        datetime64 values (of any unit) are converted to `unit`; values that
        do not fit int64 in that unit raise ValueError instead of wrapping.
        """
        values, nulls = self.values_and_nulls(column, "time")
        if nulls is not None:
            first = int(np.flatnonzero(nulls)[0])
            raise ValueError(
                f"{self.where(column)} has {int(nulls.sum())} null times (first in row "
                f"{first}); every row of a table with a time column needs a time"
            )
        if values.dtype.kind == "M":
            return _datetimes_as(values, unit, self.where(column)), True
        if values.dtype.kind in "iu":
            return self._int64(column, values, "times"), False
        raise TypeError(
            f"{self.where(column)}: unsupported time type {self.type_name(column, values)}; "
            "use integers or datetime64"
        )

    def feature_column(self, column: str) -> npt.NDArray[np.float32]:
        """A numeric column as float32; nulls become NaN."""
        values, nulls = self.values_and_nulls(column, "feature")
        if values.dtype.kind not in "biuf":
            raise TypeError(
                f"{self.where(column)}: unsupported feature type "
                f"{self.type_name(column, values)}; "
                "features must be numeric"
            )
        with np.errstate(over="ignore"):
            out = values.astype(np.float32)
        if values.dtype.kind == "f":
            # A finite value beyond float32 would become inf (an inf given stays).
            wrapped = np.isinf(out) & np.isfinite(values)
            if nulls is not None:
                wrapped &= ~nulls
            if wrapped.any():
                row = int(np.flatnonzero(wrapped)[0])
                raise ValueError(
                    f"{self.where(column)}: row {row} holds {float(values[row])!r}, beyond the "
                    f"float32 range of features (±{float(np.finfo(np.float32).max):.4g})"
                )
        if nulls is not None:
            out[nulls] = np.nan
        return out

    def _int64(self, column: str, values: AnyArray, what: str) -> Int64Array:
        if values.dtype.kind == "u" and len(values) and int(values.max()) > INT64_MAX:
            raise ValueError(
                f"{self.where(column)}: {what} beyond the int64 range (up to {int(values.max())})"
            )
        return np.ascontiguousarray(values, dtype=np.int64)


def _object_keys(valid: AnyArray, where: str) -> AnyArray:
    """Non-null key values given as Python objects, as a typed array."""
    try:
        return valid.astype(StringDType(coerce=False))
    except (TypeError, ValueError):  # not all of them are str
        pass
    inferred = np.asarray(valid.tolist())
    kind = inferred.dtype.kind
    if inferred.ndim != 1 or kind not in "iuSf":
        mixed = ", strings mixed with other values" if kind == "U" else ""
        raise TypeError(f"{where}: unsupported key type (object values{mixed})")
    if kind == "S" and len(b"".join(valid.tolist())) != int(np.strings.str_len(inferred).sum()):
        raise ValueError(
            f"{where}: bytes keys that end in a NUL byte cannot be told apart from the "
            "same keys without it; decode them to str"
        )
    return inferred


def _check_float_keys(valid: AnyArray, where: str) -> None:
    """Float keys must be whole numbers within int64 (NaN counts as null)."""
    finite = np.isfinite(valid)
    if not finite.all():
        raise ValueError(f"{where}: key value {valid[~finite][0]} is not a finite number")
    if not np.array_equal(valid, np.trunc(valid)):
        raise TypeError(f"{where}: key values must be whole numbers")
    outside = (valid < -(2.0**63)) | (valid >= 2.0**63)
    if outside.any():
        raise ValueError(f"{where}: key value {int(valid[outside][0])} is beyond the int64 range")


def _datetimes_as(values: AnyArray, unit: str, where: str) -> Int64Array:
    """datetime64 values as int64 counts of `unit` since 1970-01-01; refuses
    values that a conversion to a finer unit would wrap."""
    return np.ascontiguousarray(fit_datetimes(values, unit, where).view(np.int64))


def _series_values(series: Any) -> tuple[AnyArray, BoolArray | None]:
    """A pandas Series as a NumPy array and its null mask, without object detours
    for nullable integer, boolean and float columns."""
    nulls: BoolArray | None = series.isna().to_numpy(dtype=bool)
    dtype = series.dtype
    if isinstance(dtype, np.dtype):
        return series.to_numpy(), nulls
    if getattr(dtype, "tz", None) is not None:  # tz-aware datetimes: as UTC
        series = series.dt.tz_convert("UTC").dt.tz_localize(None)
        return series.to_numpy(), nulls
    kind = getattr(dtype, "kind", "O")
    numpy_dtype = getattr(dtype, "numpy_dtype", None)
    if kind in "iub" and numpy_dtype is not None:
        return series.to_numpy(dtype=numpy_dtype, na_value=0), nulls
    if kind == "f":
        return series.to_numpy(dtype=np.float64, na_value=np.nan), nulls
    if kind == "M":
        return series.to_numpy(), nulls
    return series.to_numpy(dtype=object), nulls
