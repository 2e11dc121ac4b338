"""Tables from files: CSV through pandas, Parquet through pandas and pyarrow."""

from __future__ import annotations

import os
import re
from collections.abc import Collection
from pathlib import Path
from typing import Any

from tovalib_data._optional import require
from tovalib_data.build.tables import parse_iso


def read_table(path: str | os.PathLike[str], *, times: Collection[str] = (),
               **options: Any) -> Any:
    """The CSV (.csv, .tsv, .csv.gz, ...) or Parquet (.parquet, .pq) file at
    `path` as a pandas DataFrame, ready for `Graph.from_tables`.

    Integer columns with empty cells are read as nullable Int64 rather than
    float, so foreign keys keep their values. Parquet columns keep their
    Arrow types (pandas columns with Arrow dtypes: dates, timestamps,
    decimals, dictionaries), which `from_tables` reads as they are. CSV
    holds dates and times as text: name the columns in `times` to read them
    as ISO 8601 (`text_times`). `options` go to `pandas.read_csv` or
    `pandas.read_parquet`.
    """
    name = Path(path).name.lower()
    if name.endswith((".parquet", ".pq")):
        require("pyarrow")
        options.setdefault("dtype_backend", "pyarrow")
        frame = require("pandas").read_parquet(path, **options)
    elif ".csv" in name or ".tsv" in name:
        pd = require("pandas")
        options.setdefault("dtype_backend", "numpy_nullable")
        if ".tsv" in name:
            options.setdefault("sep", "\t")
        frame = pd.read_csv(path, **options)
    else:
        raise ValueError(f"{path}: unknown table file type; use .csv, .tsv or .parquet")
    table = re.sub(r"\.(csv|tsv|parquet|pq)(\.[^.]*)?$", "", Path(path).name, flags=re.I)
    return text_times(frame, times, table)


def text_times(frame: Any, columns: Collection[str], table: str) -> Any:
    """`frame` with its text `columns` read as ISO 8601 dates and times
    (datetime64 in the finest unit the text uses, at least seconds; offsets
    converted to UTC; empty cells NaT); columns that hold no text are left
    as they are. Text that is no date or time, and a time beyond int64 in
    its unit, raise ValueError naming `table`, the column and the row."""
    if isinstance(columns, str):
        raise TypeError(f"times must be a collection of column names, not {columns!r}")
    for column in columns:
        if column not in frame.columns:
            raise ValueError(f"table {table!r} has no column {column!r}")
        values = frame[column]
        if values.dtype.kind in "OSU":  # also pandas and Arrow string dtypes
            text = values.to_numpy(dtype=object, na_value=None)
            frame[column] = parse_iso(text, f"{table}.{column}", advice="")
    return frame
