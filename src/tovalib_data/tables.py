"""Column access and normalisation for the tables `Graph.from_tables` reads.

A table is a pandas DataFrame or a mapping of column name -> 1-D array. Its
columns come out as NumPy arrays with a null mask: key columns as int64 or
string arrays, time columns as int64, feature columns as float32. Every
error names the table and the column ("orders.customer_id").
"""

from __future__ import annotations

import sys
from collections.abc import Mapping
from dataclasses import dataclass
from typing import Any

import numpy as np
import numpy.typing as npt

Int64Array = npt.NDArray[np.int64]
BoolArray = npt.NDArray[np.bool_]
AnyArray = npt.NDArray[Any]

# The units a datetime64 time column may be converted to.
TIME_UNITS = ("D", "h", "m", "s", "ms", "us", "ns")

INT64_MAX = np.iinfo(np.int64).max


@dataclass
class KeyPart:
    """One key column as read: values, null mask (None: no nulls) and kind
    ("int", "str" or "bytes"; None for a column holding no value at all)."""

    values: AnyArray
    nulls: BoolArray | None
    kind: str | None


def kind_of(values: AnyArray) -> str:
    return {"i": "int", "U": "str", "T": "str", "S": "bytes"}[values.dtype.kind]


def is_dataframe(data: object) -> bool:
    """True for a pandas DataFrame; pandas is never imported to find out."""
    pd = sys.modules.get("pandas")
    return pd is not None and isinstance(data, pd.DataFrame)


def _is_series(values: object) -> bool:
    pd = sys.modules.get("pandas")
    return pd is not None and isinstance(values, pd.Series)


class Table:
    """One input table under its name; node i of the graph is row i."""

    def __init__(self, name: str, data: Any) -> None:
        self.name = name
        self.data = data
        if is_dataframe(data):
            self.num_rows = len(data)
            return
        if not isinstance(data, Mapping):
            raise TypeError(
                f"table {name!r} must be a pandas DataFrame or a dict of column -> "
                f"1-D array, not {type(data).__name__}"
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

    def where_key(self, columns: tuple[str, ...]) -> str:
        """"orders.customer_id", or "lineitem.(l_partkey, l_suppkey)" for several columns."""
        if len(columns) == 1:
            return self.where(columns[0])
        return f"{self.name}.({', '.join(columns)})"

    def raw(self, column: str) -> Any:
        """The column as given (Series or array-like), or ValueError if absent."""
        columns = self.data.columns if is_dataframe(self.data) else self.data
        if column not in columns:
            raise ValueError(f"table {self.name!r} has no column {column!r}")
        values = self.data[column]
        if is_dataframe(values):
            raise ValueError(f"{self.where(column)}: the column name appears more than once")
        return values

    def values_and_nulls(self, column: str) -> tuple[AnyArray, BoolArray | None]:
        """The column as a 1-D NumPy array and its null mask (None: no nulls).

        Nulls are pandas NA/NaN/NaT, NaN and NaT in NumPy arrays, None in
        object arrays and masked entries of NumPy masked arrays. The values
        under a null are unspecified.
        """
        raw = self.raw(column)
        nulls: BoolArray | None
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
        """A primary or foreign key column: int64 or string values, and nulls."""
        values, nulls = self.values_and_nulls(column)
        kind = values.dtype.kind
        if kind == "O":
            valid = values if nulls is None else values[~nulls]
            inferred = np.asarray(valid.tolist())
            if inferred.dtype.kind not in "iuUSf" or inferred.ndim != 1:
                raise TypeError(f"{self.where(column)}: unsupported key type (object values)")
            values = np.zeros(len(values), dtype=inferred.dtype)
            values[slice(None) if nulls is None else ~nulls] = inferred
            kind = values.dtype.kind
        if kind in "US":
            return KeyPart(values, nulls, kind_of(values))
        if kind == "f":
            valid = values if nulls is None else values[~nulls]
            if not np.array_equal(valid, np.trunc(valid)):
                raise TypeError(f"{self.where(column)}: key values must be whole numbers")
            values = np.where(nulls, 0, values) if nulls is not None else values
            kind = "i"
        if kind not in "iu":
            raise TypeError(
                f"{self.where(column)}: unsupported key type {values.dtype}; "
                "use integers or strings"
            )
        return KeyPart(self._int64(column, values), nulls, "int")

    def time_column(self, column: str, unit: str) -> tuple[Int64Array, bool]:
        """A time column as int64, and whether it was a datetime column."""
        values, nulls = self.values_and_nulls(column)
        if nulls is not None:
            first = int(np.flatnonzero(nulls)[0])
            raise ValueError(
                f"{self.where(column)} has {int(nulls.sum())} null times (first in row "
                f"{first}); every row of a table with a time column needs a time"
            )
        if values.dtype.kind == "M":
            converted = values.astype(f"datetime64[{unit}]").astype(np.int64)
            return np.ascontiguousarray(converted), True
        if values.dtype.kind in "iu":
            return self._int64(column, values), False
        raise TypeError(
            f"{self.where(column)}: unsupported time type {values.dtype}; "
            "use integers or datetime64"
        )

    def feature_column(self, column: str) -> npt.NDArray[np.float32]:
        """A numeric column as float32; nulls become NaN."""
        values, nulls = self.values_and_nulls(column)
        if values.dtype.kind not in "biuf":
            raise TypeError(
                f"{self.where(column)}: unsupported feature type {values.dtype}; "
                "features must be numeric"
            )
        out = values.astype(np.float32)
        if nulls is not None:
            out[nulls] = np.nan
        return out

    def _int64(self, column: str, values: AnyArray) -> Int64Array:
        if values.dtype.kind == "u" and len(values) and int(values.max()) > INT64_MAX:
            raise TypeError(f"{self.where(column)}: values beyond the int64 range")
        return np.ascontiguousarray(values, dtype=np.int64)


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
