"""RelBench databases as graphs: the graph RelBench's `make_pkey_fkey_graph`
builds, as a `Graph` the loaders sample.

A RelBench `Database` is a `table_dict` of `Table`s, each a pandas DataFrame
with a primary key column (or none), foreign key columns naming the table
they reference (`fkey_col_to_pkey_table`) and a time column (or none).
`make_pkey_fkey_graph` makes each table a node type (row i is node i), each
foreign key `c` of table A into table B the edge types
`(A, "f2p_" + c, B)` (messages from a row to the row it references) and
`(B, "rev_f2p_" + c, A)` (back), each timed table's times UNIX seconds, and
each table's feature columns a TensorFrame (a table without any gets the
single numerical column `__const__` of ones).

`from_relbench` builds the same graph with `Graph.from_tables`: the foreign
key columns are handed over under the relation names RelBench gives them
(`f2p_<column>`), so the graph's edge types are RelBench's own, and a model
built on RelBench's metadata (`HeteroConv` modules keyed by edge type, a
state dict) takes our batches unchanged.
"""

from __future__ import annotations

import os
from collections.abc import Collection, Mapping
from dataclasses import dataclass
from pathlib import Path
from typing import Any

from tovalib_data._optional import require

# RelBench's prefix of the relation of a foreign key (the reverse edge type
# adds "rev_" in front, as `from_tables` does for every relation).
RELATION_PREFIX = "f2p_"


def relation(fkey: str) -> str:
    """The relation of the edge types of foreign key column `fkey`:
    `(table, relation(fkey), referenced)` and `(referenced, "rev_" +
    relation(fkey), table)`, as in RelBench's `make_pkey_fkey_graph`."""
    return RELATION_PREFIX + fkey


@dataclass(frozen=True)
class RelTable:
    """What a RelBench `Table` holds."""

    df: Any  # a pandas DataFrame
    fkeys: dict[str, str]
    pkey: str | None
    time_col: str | None


def database_tables(db: Any) -> dict[str, RelTable]:
    """The tables of a RelBench `Database` (anything with a `table_dict` of
    objects with `df`, `fkey_col_to_pkey_table`, `pkey_col`, `time_col`),
    or of a RelBench dataset folder at the path `db`."""
    if isinstance(db, (str, os.PathLike)):
        return read_folder(db)
    table_dict = getattr(db, "table_dict", None)
    if not isinstance(table_dict, Mapping):
        raise TypeError("from_relbench takes a RelBench Database (with a table_dict) or the "
                        f"path of a RelBench dataset folder, not {type(db).__name__}")
    tables = {}
    for name, table in table_dict.items():
        missing = [a for a in ("df", "fkey_col_to_pkey_table", "pkey_col", "time_col")
                   if not hasattr(table, a)]
        if missing:
            raise TypeError(f"table {name!r} is no RelBench Table: it has no {missing}")
        tables[name] = RelTable(table.df, dict(table.fkey_col_to_pkey_table or {}),
                                table.pkey_col, table.time_col)
    return tables


def read_folder(path: str | os.PathLike[str]) -> dict[str, RelTable]:
    """The tables of a RelBench dataset folder: `manifest.yaml` (each table's
    `pkey`, `time_col` and `fkeys`) and one `db/<table>.parquet` per table.

    Every row is read, as `make_db` reads them: a dataset's `get_db()` also
    cuts the tables at its test timestamp, which temporal sampling makes
    unnecessary for the graph (a subgraph never holds rows after its seed's
    time); give `fit_until` to keep later rows out of the statistics.
    """
    folder = Path(path)
    manifest_file = folder / "manifest.yaml"
    if not manifest_file.is_file():
        raise FileNotFoundError(f"{folder}: no manifest.yaml, so not a RelBench dataset folder")
    manifest = require("relbench.manifest", "relbench").DatasetManifest.load(manifest_file)
    pd = require("pandas")
    require("pyarrow")
    tables = {}
    for name, spec in manifest.tables.items():
        file = folder / "db" / f"{name}.parquet"
        if not file.is_file():
            raise FileNotFoundError(f"{manifest_file}: table {name!r} has no file {file}")
        df = pd.read_parquet(file)
        for column in df.columns:  # strings as Python objects, as RelBench reads them
            if isinstance(df[column].dtype, pd.StringDtype):
                df[column] = df[column].astype(object)
        tables[name] = RelTable(df, dict(spec.fkeys), spec.pkey, spec.time_col)
    return tables


def _seconds(values: Any, where: str) -> Any:
    """A time column as `from_tables` reads it in seconds: datetime and
    integer columns as they are (integers are taken as seconds), text
    parsed as UTC times, as RelBench's `to_unix_time` does."""
    pd = require("pandas")
    if pd.api.types.is_datetime64_any_dtype(values.dtype) or \
            pd.api.types.is_integer_dtype(values.dtype) or \
            pd.api.types.is_float_dtype(values.dtype):
        return values
    try:
        return pd.to_datetime(values, utc=True)
    except (ValueError, TypeError) as exc:
        raise ValueError(f"{where}: the time column holds values that are no times: "
                         f"{exc}") from exc


def feature_types(name: str, table: RelTable,
                  col_to_stype: Mapping[str, Any] | None) -> dict[str, Any]:
    """The types of `table`'s columns, as `features` of `from_tables` takes
    them, for what `make_pkey_fkey_graph` materializes.

    Given the table's `col_to_stype`: those types, every column it does not
    name left out (None). Without: the time column a timestamp when it holds
    datetimes (as RelBench's `get_stype_proposal` proposes), the rest
    inferred. Key columns are never features, as in RelBench; a table left
    with none gets `from_tables`' numerical `__const__`, as in RelBench.
    """
    if col_to_stype is None:
        pd = require("pandas")
        time_col = table.time_col
        if time_col is not None and pd.api.types.is_datetime64_any_dtype(table.df[time_col]):
            return {time_col: "timestamp"}
        return {}
    unknown = [c for c in col_to_stype if c not in table.df.columns]
    if unknown:
        raise ValueError(f"col_to_stype[{name!r}] names columns table {name!r} does not "
                         f"have: {unknown}")
    return {c: col_to_stype.get(c) for c in table.df.columns}


def from_tables_arguments(
    db: Any,
    col_to_stype: Mapping[str, Mapping[str, Any]] | None = None,
    inherit_time: bool | Collection[str] = True,
) -> dict[str, Any]:
    """The arguments of `Graph.from_tables` that build `db`'s graph (all but
    the text embedder and `fit_until`, which pass through unchanged)."""
    tables = database_tables(db)
    if col_to_stype is not None:
        unknown = [t for t in col_to_stype if t not in tables]
        if unknown:
            raise ValueError(f"col_to_stype names tables the database does not have: {unknown}")
    columns: dict[str, dict[str, Any]] = {}
    primary_keys: dict[str, str] = {}
    foreign_keys: dict[str, dict[str, str]] = {}
    time_columns: dict[str, str] = {}
    features: dict[str, dict[str, Any]] = {}
    for name, table in tables.items():
        df = table.df
        named = [c for c in (table.pkey, table.time_col, *table.fkeys) if c is not None]
        missing = [c for c in named if c not in df.columns]
        if missing:
            raise ValueError(f"table {name!r} has no column {missing[0]!r}, which it names as "
                             "a key or time column")
        for fkey, target in table.fkeys.items():
            if target not in tables:
                raise ValueError(f"table {name!r}: foreign key {fkey!r} references the unknown "
                                 f"table {target!r}")
        # Columns, never copied; foreign keys under their relation names (a
        # foreign key that is the primary key too keeps its own name as well).
        clash = [relation(f) for f in table.fkeys if relation(f) in df.columns]
        if clash:
            raise ValueError(f"table {name!r} has a column {clash[0]!r} besides the foreign key "
                             f"it would name; rename the column")
        renamed = {f: relation(f) for f in table.fkeys if f != table.pkey}
        cols = {renamed.get(c, c): df[c] for c in df.columns}
        cols.update({relation(f): df[f] for f in table.fkeys})
        if table.time_col is not None:
            cols[table.time_col] = _seconds(df[table.time_col], f"{name}.{table.time_col}")
            time_columns[name] = table.time_col
        if table.pkey is not None:
            primary_keys[name] = table.pkey
        if table.fkeys:
            foreign_keys[name] = {relation(f): target for f, target in table.fkeys.items()}
        types = feature_types(name, table, None if col_to_stype is None
                              else col_to_stype.get(name))
        if types:
            features[name] = {renamed.get(c, c): s for c, s in types.items()}
        columns[name] = cols
    return {
        "tables": columns,
        "primary_keys": primary_keys,
        "foreign_keys": foreign_keys,
        "time_columns": time_columns,
        "features": features or "auto",
        "time_unit": "s",
        "inherit_time": inherit_time,
    }
