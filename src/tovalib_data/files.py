"""Tables from files: CSV through pandas, Parquet through pandas and pyarrow."""

from __future__ import annotations

import os
from pathlib import Path
from typing import Any

from tovalib_data._optional import require


def read_table(path: str | os.PathLike[str], **options: Any) -> Any:
    """The CSV (.csv, .tsv, .csv.gz, ...) or Parquet (.parquet, .pq) file at
    `path` as a pandas DataFrame, ready for `Graph.from_tables`.

    Integer columns with empty cells are read as nullable Int64 rather than
    float, so foreign keys keep their values. Parquet columns keep their
    Arrow types (pandas columns with Arrow dtypes: dates, timestamps,
    decimals, dictionaries), which `from_tables` reads as they are.
    `options` go to `pandas.read_csv` or `pandas.read_parquet`.
    """
    name = Path(path).name.lower()
    if name.endswith((".parquet", ".pq")):
        require("pyarrow")
        options.setdefault("dtype_backend", "pyarrow")
        return require("pandas").read_parquet(path, **options)
    if ".csv" in name or ".tsv" in name:
        pd = require("pandas")
        options.setdefault("dtype_backend", "numpy_nullable")
        if ".tsv" in name:
            options.setdefault("sep", "\t")
        return pd.read_csv(path, **options)
    raise ValueError(f"{path}: unknown table file type; use .csv, .tsv or .parquet")
