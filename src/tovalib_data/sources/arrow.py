"""Arrow input: tables exposing the Arrow C stream interface (pyarrow Tables
and RecordBatchReaders, polars DataFrames, DuckDB relations), Arrow columns
and pandas columns with Arrow dtypes, as NumPy arrays and a null mask.

Each column is converted when it is used, in one pass of pyarrow.compute
over all its chunks; what comes out is what a NumPy column of that kind
would be:

| Arrow type                          | NumPy                                      |
|-------------------------------------|--------------------------------------------|
| integers                            | their integer dtype                        |
| floats                              | float64 (NaN counts as null)               |
| bool                                | bool                                       |
| decimal, as a feature               | float64                                    |
| decimal of scale <= 0, key or time  | int64 (values beyond int64 are refused)    |
| decimal of scale > 0, key or time   | refused (keys and times are whole numbers) |
| date32 / date64                     | datetime64[D] / datetime64[ms]             |
| timestamp[unit], any time zone      | datetime64[unit], UTC                      |
| string, large_string, string_view   | object array of str                        |
| binary, large_binary                | object array of bytes                      |
| dictionary                          | its decoded values                         |
| null                                | all null                                   |

Values under a null are zero (or None); the mask says which they are, and
only the mask: a timestamp or date64 at the int64 minimum, which NumPy
shows as NaT, is a time, the earliest one (as untimed rows get), and stays
the int64 minimum in every time unit.
"""

from __future__ import annotations

from typing import Any

import numpy as np
import numpy.typing as npt

from tovalib_data._optional import require

AnyArray = npt.NDArray[Any]
BoolArray = npt.NDArray[np.bool_]


def is_arrow_table(data: object) -> bool:
    """True for an object exposing the Arrow C stream interface (pandas
    DataFrames do too; `tables.Table` reads their columns directly)."""
    return hasattr(type(data), "__arrow_c_stream__")


def is_arrow_column(values: object) -> bool:
    """True for a pyarrow Array or ChunkedArray, or an object exposing the
    Arrow array or stream interface (a polars Series)."""
    kind = type(values)
    return hasattr(kind, "__arrow_c_array__") or hasattr(kind, "__arrow_c_stream__")


def read_table(data: Any) -> Any:
    """The data as one pyarrow Table (a RecordBatchReader or stream is read
    to its end)."""
    pa = require("pyarrow")
    if isinstance(data, pa.Table):
        return data
    if isinstance(data, pa.RecordBatchReader):
        return data.read_all()
    return pa.RecordBatchReader.from_stream(data).read_all()


def chunked(values: Any) -> Any:
    """An Arrow column (or a pandas Series with an Arrow dtype) as a ChunkedArray."""
    pa = require("pyarrow")
    if isinstance(values, pa.ChunkedArray):
        return values
    if isinstance(values, pa.Array):
        return pa.chunked_array([values])
    if hasattr(type(values), "__arrow_c_stream__") or hasattr(type(values), "__arrow_c_array__"):
        return pa.chunked_array(values)
    array = pa.array(values)  # a pandas Series with an Arrow dtype
    return array if isinstance(array, pa.ChunkedArray) else pa.chunked_array([array])


def to_numpy(column: Any, where: str,
             role: str = "feature") -> tuple[AnyArray, BoolArray | None]:
    """A ChunkedArray as a NumPy array and its null mask (None: no nulls),
    for its role: "key", "time" or "feature"."""
    pa = require("pyarrow")
    pc = require("pyarrow.compute")
    types = pa.types
    kind = column.type
    if types.is_dictionary(kind):  # decoded chunk by chunk: chunks may differ in dictionary
        kind = kind.value_type
        if types.is_string_view(kind):  # no take kernel for views
            kind = pa.large_string()
        column = pa.chunked_array(
            [pc.take(chunk.dictionary.cast(kind), chunk.indices) for chunk in column.chunks], kind
        )
    nulls = column.is_null().to_numpy(zero_copy_only=False) if column.null_count else None

    def filled(value: Any, as_type: Any = None) -> AnyArray:
        data = column if as_type is None else pc.cast(column, as_type)
        if nulls is not None:
            data = pc.fill_null(data, pa.scalar(value, data.type))
        return np.asarray(data.to_numpy(zero_copy_only=False))

    if types.is_null(kind):
        return np.zeros(len(column), dtype=np.float64), np.ones(len(column), dtype=bool)
    if types.is_integer(kind):
        return filled(0), nulls
    if types.is_floating(kind):
        values = filled(0.0, pa.float64())
        nan = np.isnan(values)
        if nan.any():
            nulls = nan if nulls is None else nulls | nan
        return values, nulls
    if types.is_boolean(kind):
        return filled(False), nulls
    if types.is_decimal(kind):
        if role == "feature":  # float holds whole decimals beyond int64 too
            return filled(0.0, pa.float64()), nulls
        if kind.scale <= 0:
            try:
                return filled(0, pa.int64()), nulls
            except pa.ArrowInvalid:
                raise ValueError(f"{where}: decimal values beyond the int64 range") from None
        if role == "key":
            raise TypeError(
                f"{where}: decimal keys must have scale 0, not {kind}; keys are integers or "
                "strings"
            )
        return filled(0.0, pa.float64()), nulls
    if types.is_date32(kind):
        return filled(0, pa.int32()).astype(np.int64).view("datetime64[D]"), nulls
    if types.is_date64(kind):
        return filled(0, pa.int64()).view("datetime64[ms]"), nulls
    if types.is_timestamp(kind):  # stored as UTC whatever the time zone
        return filled(0, pa.int64()).view(f"datetime64[{kind.unit}]"), nulls
    if (types.is_string(kind) or types.is_large_string(kind) or types.is_string_view(kind)
            or types.is_binary(kind) or types.is_large_binary(kind)):
        return np.asarray(column.to_numpy(zero_copy_only=False), dtype=object), nulls
    raise TypeError(f"{where}: unsupported Arrow type {kind}")
