"""A database's catalog: which tables are read, their keys, and the role of
each column read.

The tables of the connection's default schema are reflected through
SQLAlchemy's inspector (DuckDB's dialect reflects no primary keys, so for
DuckDB the tables' columns and keys come from its own catalog functions).
PostgreSQL lists the partitions of a partitioned table as tables of their
own; they are left out, and the partitioned table is read once, whole.
"""

from __future__ import annotations

from collections.abc import Collection, Mapping, Sequence
from dataclasses import dataclass, field
from types import ModuleType
from typing import TYPE_CHECKING, Any


from tovalib_data.build.keys import linked_columns
from tovalib_data.build.schema import check_name

if TYPE_CHECKING:
    pass

# Read precedence when one column has several roles: a time column is read
# as a time (also where it is a key), a key as a key, and only then as a feature.
ROLES = ("time", "key", "feature", "column")


class OptionError(ValueError):
    """An argument of `from_database` that names a table or column the
    database does not have: `argument` is the parameter, `detail` what is
    wrong, in words that read after the name of any option standing for it."""

    def __init__(self, argument: str, message: str, detail: str) -> None:
        super().__init__(message)
        self.argument, self.detail = argument, detail


class TableNameError(ValueError):
    """A table whose name cannot be a node type (`reason`): the graph can be
    built from the other tables."""

    def __init__(self, table: str, reason: str) -> None:
        super().__init__(f"{reason}; name the tables to read in `tables` to leave it out")
        self.table, self.reason = table, reason


@dataclass
class ForeignKey:
    columns: tuple[str, ...]  # in the order of the referenced key
    target: str
    referred: tuple[str, ...]

    @property
    def relation(self) -> str:
        return "_".join(self.columns)


@dataclass
class TableInfo:
    name: str
    columns: dict[str, tuple[str, str]]  # column -> (declared type, kind)
    primary_key: list[str] = field(default_factory=list)
    foreign_keys: list[ForeignKey] = field(default_factory=list)
    only: bool = False  # a PostgreSQL table others inherit from: its own rows only


def reflect(sa: ModuleType, conn: Any) -> tuple[dict[str, TableInfo], dict[str, str]]:
    """Every table of the default schema, by name, in name order, and the
    partitions left out, each with its partitioned table."""
    inspector = sa.inspect(conn)
    names = sorted(inspector.get_table_names())
    partitions: dict[str, str] = {}
    copies: set[tuple[str, str]] = set()
    parents: set[str] = set()
    if conn.dialect.name == "postgresql":
        partitions = dict(conn.exec_driver_sql(
            "SELECT c.relname, p.relname FROM pg_inherits i "
            "JOIN pg_class c ON c.oid = i.inhrelid JOIN pg_class p ON p.oid = i.inhparent "
            "JOIN pg_namespace n ON n.oid = c.relnamespace "
            "WHERE c.relispartition AND n.nspname = current_schema()"
        ).all())
        names = [name for name in names if name not in partitions]
        # PostgreSQL copies a foreign key into a partitioned table onto each
        # partition; the copies have a parent constraint.
        copies = set(conn.exec_driver_sql(
            "SELECT c.relname, k.conname FROM pg_constraint k "
            "JOIN pg_class c ON c.oid = k.conrelid JOIN pg_namespace n ON n.oid = c.relnamespace "
            "WHERE k.contype = 'f' AND k.conparentid <> 0 AND n.nspname = current_schema()"
        ).all())
        # Tables others inherit from (not partitioned tables): a plain SELECT
        # would return the children's rows too.
        parents = {name for (name,) in conn.exec_driver_sql(
            "SELECT DISTINCT p.relname FROM pg_inherits i "
            "JOIN pg_class c ON c.oid = i.inhrelid JOIN pg_class p ON p.oid = i.inhparent "
            "JOIN pg_namespace n ON n.oid = p.relnamespace "
            "WHERE NOT c.relispartition AND n.nspname = current_schema()"
        )}
    if conn.dialect.name == "duckdb":
        return _reflect_duckdb(conn, names), partitions
    catalog = {}
    for name in names:
        columns = {}
        for column in inspector.get_columns(name):
            columns[column["name"]] = (_type_name(column["type"], conn.dialect),
                                       _kind(sa, column["type"]))
        table = TableInfo(name, columns, only=name in parents)
        table.primary_key = list(inspector.get_pk_constraint(name)["constrained_columns"] or [])
        for fk in inspector.get_foreign_keys(name):
            if (name, fk.get("name")) in copies:
                continue
            if fk.get("referred_schema") not in (None, inspector.default_schema_name):
                target = f"{fk['referred_schema']}.{fk['referred_table']}"
            else:
                target = fk["referred_table"]
            table.foreign_keys.append(ForeignKey(
                tuple(fk["constrained_columns"]), target, tuple(fk["referred_columns"])))
        catalog[name] = table
    return catalog, partitions


def _reflect_duckdb(conn: Any, names: list[str]) -> dict[str, TableInfo]:
    """DuckDB's own catalog: its SQLAlchemy dialect reflects no primary keys."""
    where = "database_name = current_database() AND schema_name = current_schema()"
    catalog = {name: TableInfo(name, {}) for name in names}
    for table, column, data_type in conn.exec_driver_sql(
        f"SELECT table_name, column_name, data_type FROM duckdb_columns() WHERE {where} "
        "ORDER BY table_name, column_index"
    ):
        if table in catalog:
            catalog[table].columns[column] = (data_type, _duckdb_kind(data_type))
    for table, kind, columns, target, referred in conn.exec_driver_sql(
        "SELECT table_name, constraint_type, constraint_column_names, referenced_table, "
        f"referenced_column_names FROM duckdb_constraints() WHERE {where} "
        "AND constraint_type IN ('PRIMARY KEY', 'FOREIGN KEY') "
        "ORDER BY table_name, constraint_index"
    ):
        if table not in catalog:
            continue
        if kind == "PRIMARY KEY":
            catalog[table].primary_key = list(columns)
        else:
            catalog[table].foreign_keys.append(ForeignKey(tuple(columns), target,
                                                          tuple(referred)))
    return catalog


def _kind(sa: ModuleType, sql_type: Any) -> str:
    types = sa.types
    if isinstance(sql_type, types.NullType):
        return "unknown"
    if isinstance(sql_type, (types.Integer, types.Numeric, types.Float, types.Boolean)):
        return "number"
    if isinstance(sql_type, (types.String, types.Uuid)):
        return "text"
    if isinstance(sql_type, (types.Date, types.DateTime)):
        return "time"
    return "other"


def _duckdb_kind(data_type: str) -> str:
    name = data_type.upper()
    if name.startswith(("DECIMAL", "NUMERIC")) or name in (
        "TINYINT", "SMALLINT", "INTEGER", "BIGINT", "HUGEINT", "UTINYINT", "USMALLINT",
        "UINTEGER", "UBIGINT", "UHUGEINT", "FLOAT", "DOUBLE", "BOOLEAN",
    ):
        return "number"
    if name in ("VARCHAR", "UUID") or name.startswith("ENUM"):
        return "text"
    if name == "DATE" or name.startswith("TIMESTAMP"):
        return "time"
    return "other"


def _type_name(sql_type: Any, dialect: Any) -> str:
    try:
        return str(sql_type.compile(dialect=dialect))
    except Exception:  # a type the dialect cannot render (no declared type)
        return ""


def choose(catalog: dict[str, TableInfo], partitions: dict[str, str],
            tables: Collection[str] | None, exclude: Collection[str]) -> list[TableInfo]:
    """The tables to read; each name must be one a graph can have."""
    for what, names in (("tables", tables), ("exclude", exclude)):
        if names is not None and (isinstance(names, str) or not isinstance(names, Collection)):
            raise TypeError(f"{what} must be a collection of table names, not {names!r}")
        for name in names or ():
            if name not in catalog:
                if name in partitions:
                    why = f"a partition of {partitions[name]!r}, which is read whole"
                else:
                    known = ", ".join(catalog) or "none"
                    why = f"not a table of the database (its tables: {known})"
                raise OptionError(what, f"{what} names {name!r}, which is {why}",
                                  f"{name!r} is {why}")
    names = list(catalog) if tables is None else list(dict.fromkeys(tables))
    chosen = [catalog[name] for name in names if name not in exclude]
    if not chosen and catalog:
        what = "exclude" if exclude else "tables"
        raise OptionError(what, f"{what} leaves no table to read", "no table is left to read")
    for table in chosen:
        try:
            check_name("table name", table.name)
        except ValueError as exc:
            raise TableNameError(table.name, str(exc)) from None
    return chosen


def checked_columns(what: str, given: Mapping[str, Any] | None, chosen: list[TableInfo],
                     single: bool) -> dict[str, Any]:
    """`time_columns` or `feature_columns`, checked against the tables read."""
    if given is None:
        return {}
    if not isinstance(given, Mapping):
        raise TypeError(f"{what} must be a dict keyed by table name, not {type(given).__name__}")
    by_name = {t.name: t for t in chosen}
    for name, columns in given.items():
        if name not in by_name:
            raise OptionError(what, f"{what} names table {name!r}, which is not among the tables",
                              f"table {name!r} is not among the tables read")
        if single and not isinstance(columns, str):
            raise TypeError(f"{what}[{name!r}] must be a column name, not {columns!r}")
        if not single and (isinstance(columns, str) or not isinstance(columns, Sequence)):
            raise TypeError(f"{what}[{name!r}] must be a list of column names")
        for column in [columns] if single else columns:
            if column not in by_name[name].columns:
                message = f"table {name!r} has no column {column!r}"
                raise OptionError(what, message, message)
    return dict(given)


def declared_keys(catalog: dict[str, TableInfo], chosen: list[TableInfo]) -> tuple[
        dict[str, Any], dict[str, Any], list[tuple[TableInfo, ForeignKey, str]]]:
    """primary_keys and foreign_keys for `from_tables`, and the foreign keys
    skipped, each with its reason."""
    read = {t.name for t in chosen}
    primary_keys: dict[str, Any] = {}
    for table in chosen:
        if table.primary_key:
            key = table.primary_key
            primary_keys[table.name] = key[0] if len(key) == 1 else list(key)
    foreign_keys: dict[str, Any] = {}
    skipped = []
    for table in chosen:
        mapping: dict[Any, str] = {}
        for fk in _in_key_order(catalog, table.foreign_keys):
            if fk.target not in read:
                skipped.append((table, fk, f"table {fk.target!r} is not read"))
                continue
            if fk.referred != tuple(catalog[fk.target].primary_key):
                listed = ", ".join(fk.referred)
                skipped.append((table, fk, f"it references {fk.target}({listed}), which is not "
                                           f"the primary key of {fk.target!r}"))
                continue
            columns: Any = fk.columns[0] if len(fk.columns) == 1 else fk.columns
            if columns in mapping:
                if mapping[columns] != fk.target:
                    skipped.append((table, fk, f"its columns already reference "
                                               f"{mapping[columns]!r}"))
                continue  # the same key declared twice
            mapping[columns] = fk.target
        if mapping:
            foreign_keys[table.name] = mapping
    # A key declared twice is skipped once.
    unique = {(t.name, fk.columns, fk.target, fk.referred): (t, fk, why) for t, fk, why in skipped}
    return primary_keys, foreign_keys, list(unique.values())


def _in_key_order(catalog: dict[str, TableInfo], fks: list[ForeignKey]) -> list[ForeignKey]:
    """Foreign keys with their columns in the order of the primary key they
    reference (where they reference one), sorted by relation: catalogs list
    foreign keys in orders of their own."""
    out = []
    for fk in fks:
        target = catalog.get(fk.target)
        key = target.primary_key if target is not None else []
        if fk.referred != tuple(key) and sorted(fk.referred) == sorted(key):
            by_referred = dict(zip(fk.referred, fk.columns))
            fk = ForeignKey(tuple(by_referred[c] for c in key), fk.target, tuple(key))
        out.append(fk)
    return sorted(out, key=lambda fk: fk.columns)


def column_roles(chosen: list[TableInfo], primary_keys: dict[str, Any],
           foreign_keys: dict[str, Any], time_columns: dict[str, str],
           feature_columns: dict[str, Sequence[str]],
           every_column: bool = False) -> dict[str, dict[str, str]]:
    """Per table, the columns to read and the role each is read in; with
    `every_column`, the columns of no other role too, as "column" (typed
    features read as they are)."""
    # Key columns paired by a foreign key with a time column hold times too,
    # and are read as times where their type leaves it open (text), so that
    # the values match.
    # Declared date/time columns are read as times, so the text key columns
    # paired with them are too.
    timed = [*time_columns.items(),
             *((t.name, c) for t in chosen for c, (_, kind) in t.columns.items()
               if kind == "time")]
    as_time = linked_columns(timed, primary_keys, foreign_keys)
    roles: dict[str, dict[str, str]] = {}
    for table in chosen:
        wanted: dict[str, set[str]] = {}

        def want(column: str, role: str) -> None:
            wanted.setdefault(column, set()).add(role)

        key = primary_keys.get(table.name, [])
        for column in [key] if isinstance(key, str) else key:
            want(column, "key")
        for columns in foreign_keys.get(table.name, {}):
            for column in [columns] if isinstance(columns, str) else columns:
                want(column, "key")
        if table.name in time_columns:
            want(time_columns[table.name], "time")
        for column, (_, kind) in table.columns.items():
            if (table.name, column) in as_time and kind in ("text", "unknown"):
                want(column, "time")
        for column in feature_columns.get(table.name, []):
            want(column, "feature")
        if every_column:
            for column in table.columns:
                wanted.setdefault(column, {"column"})
        # In the table's own column order, for a predictable SELECT; "time+key"
        # for a time that is also a key.
        roles[table.name] = {
            c: "time+key" if {"time", "key"} <= wanted[c]
            else next(r for r in ROLES if r in wanted[c])
            for c in table.columns if c in wanted
        }
    return roles
