"""A database's catalog: which tables are read, their keys, and the role of
each column read.

The tables of the connection's default schema are reflected through
SQLAlchemy's inspector (DuckDB's dialect reflects no primary keys, so for
DuckDB the tables' columns and keys come from its own catalog functions).
PostgreSQL lists the partitions of a partitioned table as tables of their
own; they are left out, and the partitioned table is read once, whole.
"""

from __future__ import annotations

import warnings
from collections.abc import Collection, Mapping, Sequence
from dataclasses import dataclass, field
from types import ModuleType
from typing import TYPE_CHECKING, Any


from tovalib_data.build.keys import linked_columns
from tovalib_data.build.schema import check_name

if TYPE_CHECKING:
    pass

# Report key of a primary key the caller replaced ("customers.(primary key)").
REPLACED_PRIMARY_KEY = "{table}.(primary key)"

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
    padded: set[str] = field(default_factory=set)  # PostgreSQL CHAR(n): blank-padded


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
        return _same_case(_reflect_duckdb(conn, names)), partitions
    catalog = {}
    for name in names:
        columns = {}
        padded = set()
        declared = {}
        if conn.dialect.name == "sqlite":
            # SQLite keeps any type name; SQLAlchemy maps the names it does
            # not know to their affinity (ENUM, STATUS: NUMERIC).
            declared = dict(conn.exec_driver_sql(
                "SELECT name, type FROM pragma_table_info(?)", (name,)).all())
        for column in inspector.get_columns(name):
            sql_type = column["type"]
            # A PostgreSQL domain reads as its base type.
            base = getattr(sql_type, "data_type", None)
            base = base if isinstance(base, sa.types.TypeEngine) else sql_type
            kind = _kind(sa, base)
            type_name = declared.get(column["name"]) or _type_name(sql_type, conn.dialect)
            if (column["name"] in declared and type(base) is sa.types.NUMERIC
                    and not type_name.upper().startswith("NUMERIC")):
                kind = "unknown"  # the values decide, as a column of no declared type
            if isinstance(base, sa.types.CHAR) and conn.dialect.name == "postgresql":
                padded.add(column["name"])
            columns[column["name"]] = (type_name, kind)
        table = TableInfo(name, columns, only=name in parents, padded=padded)
        table.primary_key = list(inspector.get_pk_constraint(name)["constrained_columns"] or [])
        with warnings.catch_warnings():
            # SQLAlchemy matches the key clauses it parses from SQLite's SQL
            # with case; _same_case matches them as SQLite does.
            warnings.filterwarnings("ignore", ".*SQL-parsed foreign key constraint")
            reflected = inspector.get_foreign_keys(name)
        for fk in reflected:
            if (name, fk.get("name")) in copies:
                continue
            if fk.get("referred_schema") not in (None, inspector.default_schema_name):
                target = f"{fk['referred_schema']}.{fk['referred_table']}"
            else:
                target = fk["referred_table"]
            table.foreign_keys.append(ForeignKey(
                tuple(fk["constrained_columns"]), target, tuple(fk["referred_columns"])))
        catalog[name] = table
    if conn.dialect.name == "sqlite":
        catalog = _same_case(catalog)
    return catalog, partitions


def _fold(name: str) -> str:
    """A name as SQLite and DuckDB match it: ASCII letters without case."""
    return name.translate(_ASCII_LOWER)


_ASCII_LOWER = str.maketrans("ABCDEFGHIJKLMNOPQRSTUVWXYZ", "abcdefghijklmnopqrstuvwxyz")


def _same_case(catalog: dict[str, TableInfo]) -> dict[str, TableInfo]:
    """Foreign keys with their tables and columns named as the catalog names
    them: SQLite and DuckDB match names without case, so REFERENCES
    Customers(ID) is a key into customers(id)."""
    tables = {_fold(name): name for name in catalog}

    def columns(table: TableInfo | None, names: tuple[str, ...]) -> tuple[str, ...]:
        if table is None:
            return names
        known = {_fold(c): c for c in table.columns}
        return tuple(known.get(_fold(c), c) for c in names)

    for table in catalog.values():
        for fk in table.foreign_keys:
            fk.target = tables.get(_fold(fk.target), fk.target)
            fk.columns = columns(table, fk.columns)
            fk.referred = columns(catalog.get(fk.target), fk.referred)
    return catalog


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


def given_keys(what: str, given: Mapping[str, Any] | None,
               chosen: list[TableInfo]) -> dict[str, Any]:
    """`primary_keys` or `foreign_keys` as the caller gave them, checked
    against the tables read: tables and columns that are not there are
    OptionErrors naming the argument. Names `from_tables` would refuse as a
    relation are left for it to refuse, naming the key."""
    if given is None:
        return {}
    if not isinstance(given, Mapping):
        raise TypeError(f"{what} must be a dict keyed by table name, not {type(given).__name__}")
    by_name = {t.name: t for t in chosen}
    for name, value in given.items():
        if name not in by_name:
            raise OptionError(what, f"{what} names table {name!r}, which is not among the tables",
                              f"table {name!r} is not among the tables read")
        if what == "primary_keys":
            listed = [value] if isinstance(value, str) else value
            if isinstance(listed, Mapping) or not isinstance(listed, Sequence):
                raise TypeError(f"primary_keys[{name!r}] must be a column name or a list of "
                                "column names")
            columns = list(listed)
        else:
            if not isinstance(value, Mapping):
                raise TypeError(f"foreign_keys[{name!r}] must be a dict of column -> table")
            columns = [c for key in value for c in ([key] if isinstance(key, str) else key)]
            for key, target in value.items():
                if isinstance(target, str) and target not in by_name:
                    message = (f"foreign key {name}.{key if isinstance(key, str) else key!r} "
                               f"references {target!r}, which is not among the tables read")
                    raise OptionError(what, message, message)
        for column in columns:
            if isinstance(column, str) and column not in by_name[name].columns:
                message = f"table {name!r} has no column {column!r}"
                raise OptionError(what, message, message)
    return dict(given)


def declared_keys(catalog: dict[str, TableInfo], chosen: list[TableInfo],
                  given_primary: Mapping[str, Any] | None = None,
                  given_foreign: Mapping[str, Any] | None = None) -> tuple[
        dict[str, Any], dict[str, Any], list[tuple[TableInfo, ForeignKey, str]],
        dict[str, Any]]:
    """primary_keys and foreign_keys for `from_tables`: the catalog's, with
    the caller's (`given_primary`, `given_foreign`, checked by `given_keys`)
    added or put in their place; the foreign keys skipped, each with its
    reason; and the report entries of the primary keys replaced.

    A catalog's foreign key that the graph cannot turn into edges (a name
    that cannot be a relation, a column count other than its target key's,
    a relation or edge type another key already gives) is skipped with its
    reason, so that the other keys are read; the caller's keys are taken as
    given, and `from_tables` refuses the bad ones naming them."""
    read = {t.name for t in chosen}
    given_primary = given_primary or {}
    given_foreign = given_foreign or {}
    primary_keys: dict[str, Any] = {}
    replaced: dict[str, Any] = {}
    for table in chosen:
        declared = table.primary_key
        if table.name in given_primary:
            key = given_primary[table.name]
            primary_keys[table.name] = key
            listed = [key] if isinstance(key, str) else list(key)
            if declared and listed != declared:
                replaced[REPLACED_PRIMARY_KEY.format(table=table.name)] = {
                    "replaced": f"the primary key ({', '.join(declared)}) the database "
                                f"declares, by primary_keys[{table.name!r}] "
                                f"({', '.join(map(str, listed))})",
                    "dropped": 0}
        elif declared:
            primary_keys[table.name] = declared[0] if len(declared) == 1 else list(declared)
    # Each table's key as the graph holds it: the catalog's or the caller's.
    key_of = {name: tuple([key] if isinstance(key, str) else key)
              for name, key in primary_keys.items()}
    foreign_keys: dict[str, Any] = {}
    skipped = []
    edge_types: set[tuple[str, str, str]] = set()
    relations: set[tuple[str, str]] = set()

    def claim(table: str, relation: str, target: str) -> str | None:
        """Take the relation and edge types of a key; the reason if taken."""
        types = [(table, relation, target), (target, "rev_" + relation, table)]
        if (table, relation) in relations:
            return f"another foreign key of {table!r} has the relation {relation!r}"
        if any(t in edge_types for t in types):
            taken = next(t for t in types if t in edge_types)
            return f"another foreign key gives its edge type {'__'.join(taken)}"
        relations.add((table, relation))
        edge_types.update(types)
        return None

    for name, mapping_given in given_foreign.items():
        if isinstance(mapping_given, Mapping):
            for given_columns, target in mapping_given.items():
                if isinstance(target, str) and target not in key_of:
                    message = (f"the foreign key {name}.{given_columns} references {target!r}, "
                               f"which has no primary key; give it in primary_keys")
                    raise OptionError("foreign_keys", message, message.replace(
                        "in primary_keys", f"with --primary-key {target}=COL[,COL]"))
                parts = (given_columns,) if isinstance(given_columns, str) else given_columns
                if isinstance(parts, tuple) and all(isinstance(c, str) for c in parts):
                    claim(name, "_".join(parts), str(target))
            foreign_keys[name] = dict(mapping_given)
    for table in chosen:
        mapping: dict[Any, str] = foreign_keys.get(table.name, {})
        given_here = dict(mapping)
        own: dict[Any, str] = {}  # the catalog's keys taken, by columns
        for fk in _in_key_order(catalog, table.foreign_keys, key_of):
            columns: Any = fk.columns[0] if len(fk.columns) == 1 else fk.columns
            if columns in given_here:
                if given_here[columns] != fk.target:
                    skipped.append((table, fk, f"foreign_keys[{table.name!r}][{columns!r}] "
                                               f"replaces it by a key into "
                                               f"{given_here[columns]!r}"))
                continue
            reason = _unusable(fk, table, read, key_of)
            if reason is None and columns in own:
                if own[columns] == fk.target:
                    continue  # the same key declared twice
                reason = f"its columns already reference {own[columns]!r}"
            if reason is None:
                reason = claim(table.name, fk.relation, fk.target)
            if reason is not None:
                skipped.append((table, fk, reason))
                continue
            own[columns] = fk.target
            mapping[columns] = fk.target
        if mapping:
            foreign_keys[table.name] = mapping
    # A key declared twice is skipped once.
    unique = {(t.name, fk.columns, fk.target, fk.referred): (t, fk, why) for t, fk, why in skipped}
    return primary_keys, foreign_keys, list(unique.values()), replaced


def _unusable(fk: ForeignKey, table: TableInfo, read: set[str],
              key_of: dict[str, tuple[str, ...]]) -> str | None:
    """Why a catalog's foreign key gives no edges, or None."""
    if fk.target not in read:
        return f"table {fk.target!r} is not read"
    key = key_of.get(fk.target, ())
    if len(fk.columns) != len(fk.referred):
        return (f"it has {len(fk.columns)} column{'s' * (len(fk.columns) != 1)} but "
                f"references {len(fk.referred)} of {fk.target!r} ({', '.join(fk.referred)})")
    if fk.referred != key:
        listed = ", ".join(fk.referred)
        return f"it references {fk.target}({listed}), which is not the primary key of " \
               f"{fk.target!r}"
    try:
        for column in fk.columns:
            check_name("foreign key column", column, f" of table {table.name!r}")
        check_name("relation name", fk.relation)
        check_name("relation name", "rev_" + fk.relation)
    except ValueError as exc:
        return str(exc)
    return None


def _in_key_order(catalog: dict[str, TableInfo], fks: list[ForeignKey],
                  key_of: dict[str, tuple[str, ...]]) -> list[ForeignKey]:
    """Foreign keys with their columns in the order of the primary key they
    reference (where they reference one), sorted by relation: catalogs list
    foreign keys in orders of their own."""
    out = []
    for fk in fks:
        target = catalog.get(fk.target)
        key = key_of.get(fk.target, tuple(target.primary_key) if target is not None else ())
        if (len(fk.referred) == len(fk.columns) and fk.referred != key
                and sorted(fk.referred) == sorted(key)):
            by_referred = dict(zip(fk.referred, fk.columns))
            fk = ForeignKey(tuple(by_referred[c] for c in key), fk.target, key)
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
