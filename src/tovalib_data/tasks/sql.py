"""Label tables from a SQL query run by DuckDB.

The query sees the tables by name and `timestamp_df`, one column
`timestamp` holding the cut-offs; `{name}` in it is filled from the
keyword parameters (a `pandas.Timedelta` renders as "30 days 00:00:00",
which DuckDB reads after INTERVAL). It returns the entity's primary key
column, `timestamp`, and one more column, the label.

Where the tables come from:

- a mapping of tables: pandas DataFrames and Arrow tables are registered
  with DuckDB as they are (scanned in place), dicts of arrays as DataFrames;
- a DuckDB database file: attached read-only;
- SQLite and PostgreSQL: attached read-only through DuckDB's `sqlite` and
  `postgres` extensions when they load (installed for the DuckDB version in
  use; nothing is downloaded); without them, the tables the query names are
  read through SQLAlchemy into DataFrames (columns the catalog declares as
  dates or times, stored as text, parsed; zone-aware times as naive UTC).

Keys are matched to rows with the package's own key index over the entity
table as a graph would read it, so `row` is the entity's node id.
"""

from __future__ import annotations

import re
import sqlite3
from collections.abc import Mapping
from typing import Any

import numpy as np

from tovalib_data._optional import require
from tovalib_data.build.keys import scalar
from tovalib_data.build.tables import Table, is_dataframe
from tovalib_data.tasks import source as src_


class _Params(dict[str, Any]):
    def __missing__(self, key: str) -> Any:
        raise ValueError(f"the query uses the parameter {{{key}}}, which was not given")


def sql_labels(source: Any, sql: str, cutoffs: Any, *, entity: str,
               primary_keys: Mapping[str, Any] | None = None, **params: Any) -> Any:
    """Run `sql` over `source` and the cut-offs; a label table of `key`,
    `time`, `label` and `row`, in (time, row) order.

    `source` is a mapping of table name -> table (with `primary_keys`, of
    which `entity`'s is needed) or a database as `Graph.from_database` takes
    it. `cutoffs` take any form the loaders take as seed times. `{name}`
    in `sql` is filled from `params`. The query must return `entity`'s
    primary key column (one column), `timestamp` and one label column;
    keys that are not in `entity` are a ValueError naming how many and the
    first.
    """
    pd = require("pandas")
    duckdb = require("duckdb")
    keys = src_.read(source, [entity], primary_keys=primary_keys)
    key_columns = keys.primary_keys.get(entity)
    if key_columns is None:
        raise ValueError(f"table {entity!r} has no primary key; add it to primary_keys")
    if len(key_columns) != 1:
        raise ValueError(f"sql_labels takes an entity with a one-column primary key; "
                         f"{entity!r} has {', '.join(key_columns)}")
    key = key_columns[0]
    given = src_.cutoffs(cutoffs, "us").given
    query = sql.format_map(_Params(params))
    with duckdb.connect() as con:
        con.register("timestamp_df", pd.DataFrame({"timestamp": given}))
        if src_.is_tables(source):
            _register_tables(con, source, query)
        else:
            _attach(con, source, query)
        result = con.execute(query).df()
    missing = [c for c in (key, "timestamp") if c not in result.columns]
    others = [c for c in result.columns if c not in (key, "timestamp")]
    if missing or len(others) != 1:
        raise ValueError(f"the query must return the columns {key!r} (the key of {entity!r}), "
                         f"'timestamp' and one label column; it returned "
                         f"{', '.join(map(repr, result.columns))}")
    part = Table("the query's result", {key: result[key]}).key_column(key)
    rows = keys.key_index(entity).lookup([part])
    absent = np.flatnonzero(rows < 0)
    if len(absent):
        raise ValueError(f"the query returned {len(absent)} keys not in {entity}.{key}, the "
                         f"first {scalar(result[key].iloc[absent[0]])!r}")
    columns = {"key": result[key].to_numpy(), "time": result["timestamp"].to_numpy(),
               "label": result[others[0]].to_numpy(), "row": rows}
    time = columns["time"]
    order = np.lexsort((rows, time.view(np.int64) if time.dtype.kind == "M" else time))
    return pd.DataFrame({name: values[order] for name, values in columns.items()}, copy=False)


def _named(names: Any, query: str) -> list[str]:
    """The table names that appear in the query as words."""
    words = set(re.findall(r"[A-Za-z_][A-Za-z0-9_]*", query))
    return [n for n in names if n in words]


def _register_tables(con: Any, tables: Mapping[str, Any], query: str) -> None:
    pd = require("pandas")
    for name in _named(tables, query):
        data = tables[name]
        if is_dataframe(data):
            con.register(name, data)
            continue
        table = Table(name, data)
        if table.arrow is not None:
            con.register(name, table.arrow)
        else:
            con.register(name, pd.DataFrame({c: np.asarray(v) for c, v in data.items()}))


def _attach(con: Any, source: Any, query: str) -> None:
    """Make the database's tables visible to `query` in `con`, read-only."""
    sa = require("sqlalchemy")
    kind, location = _where(sa, source)
    duckdb = require("duckdb")
    if kind == "duckdb" or (kind in ("sqlite", "postgres") and _loads(con, kind)):
        options = "READ_ONLY" if kind == "duckdb" else f"TYPE {kind}, READ_ONLY"
        try:
            con.execute(f"ATTACH ? AS source ({options})", [location])
        except duckdb.Error:
            # A DuckDB file this process has open already (an Engine given)
            # cannot be attached twice: read it through that connection.
            pass
        else:
            con.execute("USE source")
            return
    _copy_tables(sa, con, source, query)


def _where(sa: Any, source: Any) -> tuple[str | None, str]:
    """The database's kind ("duckdb", "sqlite", "postgres" or None) and
    what DuckDB attaches it by (a file, or a libpq URL)."""
    if isinstance(source, sqlite3.Connection):
        files = [row[2] for row in source.execute("PRAGMA database_list") if row[1] == "main"]
        return ("sqlite", files[0]) if files and files[0] else (None, "")
    if isinstance(source, sa.engine.Connection):
        source = source.engine
    url = source.url if isinstance(source, sa.engine.Engine) else sa.make_url(source)
    backend = url.get_backend_name()
    if backend in ("duckdb", "sqlite") and url.database not in (None, "", ":memory:"):
        return backend, url.database
    if backend == "postgresql":
        plain = url.set(drivername="postgresql")
        return "postgres", plain.render_as_string(hide_password=False)
    return None, ""


def _loads(con: Any, extension: str) -> bool:
    """Whether DuckDB's extension loads here (nothing is downloaded)."""
    try:
        con.execute(f"LOAD {extension}")
    except Exception:  # an extension not installed: duckdb.IOException and kin
        return False
    return True


def _copy_tables(sa: Any, con: Any, source: Any, query: str) -> None:
    """The tables the query names, read through SQLAlchemy and registered."""
    pd = require("pandas")
    from tovalib_data.sources.catalog import reflect
    from tovalib_data.sources.database import _connect

    with _connect(sa, source) as conn:
        catalog, _ = reflect(sa, conn)
        for name in _named(catalog, query):
            frame = pd.read_sql_query(sa.select(sa.text("*")).select_from(sa.table(name)),
                                      conn)
            for column, (_, kind) in catalog[name].columns.items():
                values = frame[column]
                if kind == "time" and (values.dtype == object
                                       or pd.api.types.is_string_dtype(values)):  # SQLite text
                    values = pd.to_datetime(values, utc=True, format="ISO8601")
                if getattr(values.dtype, "tz", None) is not None:  # as naive UTC, as cut-offs are
                    frame[column] = values.dt.tz_convert("UTC").dt.tz_localize(None)
            con.register(name, frame)
