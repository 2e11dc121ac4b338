"""A graph read from a database: tables and keys from its catalog, rows in chunks.

`from_database` reflects the tables of the connection's default schema
through SQLAlchemy's inspector (DuckDB's dialect reflects no primary keys,
so for DuckDB the tables' columns and keys come from its own catalog
functions), reads the columns the graph needs (keys, times, features), and
hands them to `Graph.from_tables` with the keys the catalog declares:

- a primary key, one column or several, gives `primary_keys[table]`;
- a foreign key into the primary key of a table that is read gives
  `foreign_keys[table][columns]`, its columns in the referenced key's
  order (one column: its name; several: a tuple);
- any other foreign key (into a table left out, into another schema, or
  onto columns other than the primary key) gives no edges and is listed in
  `graph.report` under its "table.relation" key, with every row counted as
  dropped and the reason under "skipped". Where that key is taken (a
  column with foreign keys into two tables: one gives edges, the other is
  skipped), the skipped one is listed as "table.relation->target", or as
  "table.relation->target(columns)" when that is taken too.

PostgreSQL lists the partitions of a partitioned table as tables of their
own; they are left out, and the partitioned table is read once, whole.

Rows are read in primary-key order (a table without one in the order the
database returns), so the same database always gives the same graph. The
rows stream through the driver's cursor in chunks (a server-side cursor for
PostgreSQL), bypassing SQLAlchemy's row objects, and every chunk is written
into preallocated NumPy arrays (`dbcolumns`).
"""

from __future__ import annotations

import contextlib
import os
import sqlite3
import uuid
from collections.abc import Collection, Iterator, Mapping, Sequence
from operator import itemgetter
from types import ModuleType
from typing import TYPE_CHECKING, Any

import numpy as np

from tovalib_data._optional import require
from tovalib_data.sources.dbcolumns import ColumnReader
from tovalib_data.build.tables import TIME_UNITS, RowError
from tovalib_data.sources.catalog import (ForeignKey, TableInfo, checked_columns, choose,
                                          declared_keys, reflect, column_roles)

if TYPE_CHECKING:
    from tovalib_data.graph import Graph

CHUNK_ROWS = 65536
# The extra of this distribution that installs a backend's default driver.
DRIVER_EXTRAS = {"postgresql+psycopg": "sql", "duckdb": "duckdb"}


def from_database(
    source: Any,
    *,
    tables: Collection[str] | None = None,
    time_columns: Mapping[str, str] | None = None,
    feature_columns: Mapping[str, Sequence[str]] | None = None,
    time_unit: str = "s",
    inherit_time: bool | Collection[str] = True,
    progress: bool = False,
    exclude: Collection[str] = (),
    features: Any = None,
    fit_until: Any = None,
    text_embedder: Any = None,
) -> Graph:
    """`Graph.from_database`; `exclude` names tables not to read (the build
    command's --exclude)."""
    from tovalib_data.graph import Graph

    if time_unit not in TIME_UNITS:  # before anything is read
        raise ValueError(f"time_unit must be one of {', '.join(TIME_UNITS)}, not {time_unit!r}")
    sa = require("sqlalchemy")
    with _connect(sa, source) as conn:
        catalog, partitions = reflect(sa, conn)
        chosen = choose(catalog, partitions, tables, exclude)
        time_columns = checked_columns("time_columns", time_columns, chosen, single=True)
        feature_columns = checked_columns("feature_columns", feature_columns, chosen,
                                           single=False)
        primary_keys, foreign_keys, skipped = declared_keys(catalog, chosen)
        roles = column_roles(chosen, primary_keys, foreign_keys, time_columns, feature_columns,
                             every_column=features is not None)
        frames = _read_tables(sa, conn, chosen, roles, time_unit, progress)
        skipped_report = _skipped_report(sa, conn, skipped, frames, foreign_keys)
    graph = Graph.from_tables(
        frames,
        primary_keys=primary_keys,
        foreign_keys=foreign_keys,
        time_columns=time_columns,
        feature_columns=feature_columns,
        time_unit=time_unit,
        inherit_time=inherit_time,
        features=features,
        fit_until=fit_until,
        text_embedder=text_embedder,
    )
    graph.report.update(skipped_report)
    return graph


# -- the connection ---------------------------------------------------------


class _BorrowedSqlite:
    """A caller's sqlite3 connection lent to SQLAlchemy's pool: closing,
    committing and rolling back are left to its owner (only reads run), and
    cursors return plain tuples whatever row factory the owner set."""

    def __init__(self, connection: sqlite3.Connection) -> None:
        self._connection = connection

    def __getattr__(self, name: str) -> Any:
        return getattr(self._connection, name)

    def cursor(self) -> sqlite3.Cursor:
        cursor = self._connection.cursor()
        cursor.row_factory = None
        return cursor

    def create_function(self, *args: Any, **kwargs: Any) -> None:
        pass  # SQLAlchemy registers helpers; the owner's connection stays as it is

    def close(self) -> None:
        pass

    def commit(self) -> None:
        pass

    def rollback(self) -> None:
        pass


@contextlib.contextmanager
def _connect(sa: ModuleType, source: Any) -> Iterator[Any]:
    """A SQLAlchemy Connection for `source`; what is opened here is closed here."""
    if isinstance(source, sa.engine.Connection):
        yield source
        return
    if isinstance(source, sa.engine.Engine):
        with _own_connection(source) as conn:
            yield conn
        return
    if isinstance(source, sqlite3.Connection):
        borrowed = _BorrowedSqlite(source)
        engine = sa.create_engine("sqlite://", creator=lambda: borrowed,
                                  poolclass=sa.pool.StaticPool, pool_reset_on_return=None)
    elif isinstance(source, (str, sa.engine.URL)):
        url = sa.make_url(source)
        _check_sqlite_file(url)
        engine = _engine(sa, url)
    else:
        raise TypeError(
            "source must be a SQLAlchemy URL, Engine or Connection, or a sqlite3.Connection, "
            f"not {type(source).__name__}"
        )
    try:
        with _own_connection(engine) as conn:
            yield conn
    finally:
        engine.dispose()


def _engine(sa: ModuleType, url: Any) -> Any:
    """An Engine for `url`; a driver not installed is an ImportError naming
    the extra that installs it."""
    try:
        return sa.create_engine(url)
    except (ImportError, sa.exc.NoSuchModuleError) as exc:
        dialect = url.get_backend_name()
        driver = url.get_driver_name() if "+" in url.drivername else None
        extra = DRIVER_EXTRAS.get(url.drivername) or DRIVER_EXTRAS.get(dialect)
        if dialect == "postgresql" and driver != "psycopg":
            hint = (f"install its driver{f' {driver}' if driver else ''}, or install "
                    "tovalib[sql] (pip install 'tovalib[sql]') and write the URL as "
                    "postgresql+psycopg://...")
        elif extra:
            hint = f"install it with pip install 'tovalib[{extra}]'"
        else:
            hint = "install the SQLAlchemy dialect and driver for it"
        raise ImportError(
            f"the database driver for {url.drivername}:// URLs is not installed "
            f"({exc}); {hint}"
        ) from exc


@contextlib.contextmanager
def _own_connection(engine: Any) -> Iterator[Any]:
    with engine.connect() as conn:
        if conn.dialect.name == "postgresql":
            # Every table from one snapshot, so that keys agree across tables.
            conn = conn.execution_options(isolation_level="REPEATABLE READ")
        yield conn


def _check_sqlite_file(url: Any) -> None:
    """SQLite creates a missing database file; reading one is a mistake."""
    database = url.database
    if (
        url.get_backend_name() == "sqlite"
        and database not in (None, "", ":memory:")
        and not database.startswith("file:")
        and not os.path.exists(database)
    ):
        raise FileNotFoundError(f"no SQLite database at {database}")


def _read_tables(sa: ModuleType, conn: Any, chosen: list[TableInfo],
                 roles: dict[str, dict[str, str]], time_unit: str,
                 progress: bool) -> dict[str, dict[str, Any]]:
    counts = {t.name: _count(sa, conn, t) for t in chosen}
    bar: Any = None
    if progress:
        try:
            tqdm = require("tqdm").tqdm
        except ImportError:
            pass
        else:
            bar = tqdm(total=sum(counts.values()), unit="row", unit_scale=True)
    frames = {}
    try:
        for table in chosen:
            if bar is not None:
                bar.set_description(table.name)
            frames[table.name] = _read_table(sa, conn, table, roles[table.name],
                                             counts[table.name], time_unit, bar)
    finally:
        if bar is not None:
            bar.close()
    return frames


def _count(sa: ModuleType, conn: Any, table: TableInfo) -> int:
    return int(conn.execute(_from(sa, sa.select(sa.func.count()), table)).scalar_one())


def _from(sa: ModuleType, query: Any, table: TableInfo) -> Any:
    """`query` reading `table`'s own rows (not those of tables inheriting from it)."""
    source = sa.table(table.name)
    query = query.select_from(source)
    return query.with_hint(source, "ONLY", "postgresql") if table.only else query


def _read_table(sa: ModuleType, conn: Any, table: TableInfo, roles: dict[str, str],
                count: int, time_unit: str, bar: Any) -> dict[str, Any]:
    if not roles:
        # No column is needed, only the number of rows: a column that takes no memory.
        return {"": np.broadcast_to(np.zeros(1, dtype=np.int8), (count,))}
    for column in roles:
        if table.columns[column][0].upper() == "TIMESTAMP_NS" and conn.dialect.name == "duckdb":
            # DuckDB hands these to Python as datetimes, in microseconds.
            raise ValueError(
                f"{table.name}.{column}: TIMESTAMP_NS values reach Python in microseconds, so "
                "their nanoseconds would be lost (and distinct keys could collide); cast the "
                "column to TIMESTAMP, or store nanoseconds since 1970 as BIGINT")
    readers = {
        column: ColumnReader(f"{table.name}.{column}", table.columns[column][0],
                             table.columns[column][1], role.split("+")[0], count, time_unit,
                             key=role == "time+key")
        for column, role in roles.items()
    }
    query = _from(sa, sa.select(*[sa.column(c) for c in roles]), table)
    if table.primary_key:
        query = query.order_by(*[sa.column(c) for c in table.primary_key])
    sql = str(query.compile(dialect=conn.dialect))
    getters = [itemgetter(j) for j in range(len(readers))]
    read = 0
    with _cursor(conn) as cursor:
        cursor.execute(sql)
        conversion = (getattr(conn.dialect.dbapi, "DataError", ValueError), ValueError,
                      OverflowError)
        while True:
            try:
                rows = cursor.fetchmany(CHUNK_ROWS)
            except conversion as exc:  # a value the driver cannot convert
                raise _unconvertible(sa, conn, table, roles, exc) from exc
            if not rows:
                break
            for reader, get in zip(readers.values(), getters):
                try:
                    reader.add(list(map(get, rows)))
                except RowError as exc:
                    if exc.row is None:
                        raise
                    row = rows[exc.row]
                    values = [row[list(roles).index(c)] for c in table.primary_key]
                    raise exc.relabel(_row_label(table, table.primary_key, values,
                                                 read + exc.row)) from None
            read += len(rows)
            if bar is not None:
                bar.update(len(rows))
            del rows
    return {column: reader.finish() for column, reader in readers.items()}


def _unconvertible(sa: ModuleType, conn: Any, table: TableInfo, roles: dict[str, str],
                   exc: Exception) -> ValueError:
    """The error for a value the driver failed to convert while fetching:
    naming the table, and the column and row where the database can say."""
    if conn.dialect.name == "postgresql":
        # Dates and timestamps can be 'infinity' / '-infinity', which the
        # driver has no Python value for; nor has a graph a time for them.
        key = table.primary_key
        for column in roles:
            if table.columns[column][1] != "time":
                continue
            query = _from(sa, sa.select(*[sa.column(c) for c in key],
                                        sa.cast(sa.column(column), sa.Text)), table)
            query = query.where(sa.not_(sa.func.isfinite(sa.column(column))))
            found = conn.execute(query.order_by(*[sa.column(c) for c in key]).limit(1)).first()
            if found is not None:
                label = _row_label(table, key, found[:-1], None)
                return ValueError(f"{table.name}.{column}: {label} holds {found[-1]!r}, "
                                  "which is not a time a graph can hold")
    listed = ", ".join(roles)
    return ValueError(f"{table.name}: the database driver could not read a value of "
                      f"{'column ' if len(roles) == 1 else 'one of the columns '}{listed}: {exc}")


def _row_label(table: TableInfo, key: list[str], values: Sequence[Any],
               number: int | None) -> str:
    """A row named by the `values` of its primary key `key` ("the row whose
    id is 3"), or by its place for a table without one."""
    if not key:
        if number is None:
            return "a row"
        return f"row {number} (counting from 0 in the order read)"
    if len(key) == 1:
        return f"the row whose {key[0]} is {values[0]!r}"
    return f"the row whose ({', '.join(key)}) is ({', '.join(map(repr, values))})"


@contextlib.contextmanager
def _cursor(conn: Any) -> Iterator[Any]:
    """A cursor of the driver itself, server-side where the driver has them."""
    dbapi = conn.connection.dbapi_connection
    driver = conn.dialect.driver
    if driver == "psycopg":
        rows = require("psycopg.rows")
        cursor = dbapi.cursor(name=f"tovalib_{uuid.uuid4().hex}", row_factory=rows.tuple_row,
                              withhold=bool(dbapi.autocommit))
    elif driver == "psycopg2":
        cursor = dbapi.cursor(name=f"tovalib_{uuid.uuid4().hex}",
                              withhold=bool(dbapi.autocommit))
    else:
        cursor = dbapi.cursor()
    try:
        yield cursor
    finally:
        cursor.close()


def _skipped_report(sa: ModuleType, conn: Any,
                    skipped: list[tuple[TableInfo, ForeignKey, str]],
                    frames: dict[str, dict[str, Any]],
                    foreign_keys: dict[str, Any]) -> dict[str, Any]:
    """Report entries of the foreign keys that give no edges: every row
    dropped. Each has a key of its own, never one of a foreign key that
    gives edges."""
    taken = {f"{table}.{columns if isinstance(columns, str) else '_'.join(columns)}"
             for table, mapping in foreign_keys.items() for columns in mapping}
    report = {}
    for table, fk, reason in skipped:
        rows = len(next(iter(frames[table.name].values())))
        any_null = sa.or_(*[sa.column(c).is_(None) for c in fk.columns])
        nulls = conn.execute(
            _from(sa, sa.select(sa.func.count()), table).where(any_null)
        ).scalar_one()
        base = f"{table.name}.{fk.relation}"
        candidates = [base, f"{base}->{fk.target}",
                      f"{base}->{fk.target}({', '.join(fk.referred)})"]
        columns = fk.columns[0] if len(fk.columns) == 1 else fk.columns
        if foreign_keys.get(table.name, {}).get(columns) == fk.target:
            # A real key on these columns into the same table: "->target"
            # would read as that key's.
            del candidates[1]
        # Numbered only where keys differ in nothing but their columns' names.
        numbered = (f"{candidates[-1]}#{n}" for n in range(2, len(taken) + 3))
        key = next(k for k in [*candidates, *numbered] if k not in taken)
        taken.add(key)
        report[key] = {
            "references": fk.target, "rows": rows, "resolved": 0, "dropped": rows,
            "null": int(nulls), "skipped": reason,
        }
    return report
