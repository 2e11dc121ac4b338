"""`python -m tovalib_data build SOURCE OUT`: a graph from a database or a folder of files.

SOURCE is a SQLAlchemy database URL, a SQLite file, or a folder with one
table per Parquet or CSV file, named after the file. Keys come from the
database's catalog; a folder's keys are given with --primary-key and
--foreign-key. --tables and --exclude choose the tables read. The graph is
saved to OUT (`Graph.save`) and its summary printed. Exit status: 0 built,
2 bad usage (also an option naming a table or column there is not), 1 bad
data (one line on stderr).
"""

from __future__ import annotations

import argparse
import sqlite3
import sys
import urllib.parse
from collections.abc import Sequence
from pathlib import Path
from typing import Any

from tovalib_data.build.tables import TIME_UNITS

TABLE_SUFFIXES = (".parquet", ".pq", ".csv", ".csv.gz", ".csv.bz2", ".csv.zst", ".tsv")
SQLITE_HEADER = b"SQLite format 3\x00"


def _pair(text: str, what: str) -> tuple[str, str]:
    left, sep, right = text.partition("=")
    if not sep or not left or not right:
        raise argparse.ArgumentTypeError(f"expected {what}, got {text!r}")
    return left, right


def _time(text: str) -> tuple[str, str]:
    return _pair(text, "TABLE=COLUMN")


def _columns(what: str) -> Any:
    def parse(text: str) -> tuple[str, list[str]]:
        table, columns = _pair(text, what)
        names = columns.split(",")
        if not all(names):
            raise argparse.ArgumentTypeError(f"expected {what}, got {text!r}")
        return table, names
    return parse


def _names(text: str) -> list[str]:
    names = text.split(",")
    if not all(names):
        raise argparse.ArgumentTypeError(f"expected TABLE[,TABLE], got {text!r}")
    return names


def _foreign_key(text: str) -> tuple[str, str]:
    columns, target = _pair(text, "TABLE.COL[,COL]=TABLE")
    if "." not in columns:
        raise argparse.ArgumentTypeError(f"expected TABLE.COL[,COL]=TABLE, got {text!r}")
    return columns, target


def _fit_until(text: str) -> Any:
    """An integer time, or an ISO 8601 date or time as datetime64."""
    import numpy as np

    try:
        return int(text)
    except ValueError:
        pass
    try:
        return np.datetime64(text)
    except ValueError:
        raise argparse.ArgumentTypeError(
            f"expected an ISO 8601 date or time or an integer, got {text!r}") from None


def parser() -> argparse.ArgumentParser:
    top = argparse.ArgumentParser(prog="python -m tovalib_data",
                                  description="Graphs for tovalib from relational data.")
    commands = top.add_subparsers(dest="command", required=True, metavar="COMMAND")
    build = commands.add_parser(
        "build", help="build a graph from a database or a folder of files and save it",
        description=__doc__.split("\n\n", 1)[1].rsplit("\n\n", 1)[0],
    )
    build.add_argument("source", metavar="SOURCE",
                       help="a database URL, a SQLite file, or a folder of .parquet/.csv files")
    build.add_argument("out", metavar="OUT", help="directory to save the graph to")
    build.add_argument("--tables", metavar="TABLE,TABLE", type=_names, action="append",
                       help="read only these tables (default: all)")
    build.add_argument("--exclude", metavar="TABLE[,TABLE]", type=_names, action="append",
                       default=[], help="leave these tables out (repeatable)")
    build.add_argument("--time", metavar="TABLE=COLUMN", type=_time, action="append",
                       default=[], help="the time column of a table (repeatable)")
    build.add_argument("--features", metavar="TABLE=COL,COL", type=_columns("TABLE=COL,COL"),
                       action="append", default=[],
                       help="numeric feature columns of a table (repeatable)")
    build.add_argument("--typed", action="store_true",
                       help="every column that is not a key or the time column a typed "
                            "feature, its type inferred (needs tovalib[frame])")
    build.add_argument("--fit-until", metavar="TIME", type=_fit_until,
                       help="with --typed: fit the features' statistics on the rows up to "
                            "this time (ISO 8601, or an integer in the graph's unit)")
    build.add_argument("--time-unit", metavar="UNIT", choices=TIME_UNITS, default="s",
                       help="unit dates and timestamps are converted to: "
                            + ", ".join(TIME_UNITS) + " (default: s)")
    build.add_argument("--no-inherit-time", action="store_true",
                       help="leave tables without a time column untimed")
    build.add_argument("--primary-key", metavar="TABLE=COL[,COL]",
                       type=_columns("TABLE=COL[,COL]"), action="append", default=[],
                       help="a folder's table's primary key (repeatable)")
    build.add_argument("--foreign-key", metavar="TABLE.COL[,COL]=TABLE", type=_foreign_key,
                       action="append", default=[],
                       help="a folder's foreign key (repeatable)")
    build.set_defaults(usage=build)
    return top


# The options standing for the arguments of Graph.from_database.
OPTIONS = {"tables": "--tables", "exclude": "--exclude", "time_columns": "--time",
           "feature_columns": "--features"}


def main(argv: Sequence[str] | None = None) -> int:
    from tovalib_data.sources.catalog import OptionError, TableNameError

    args = parser().parse_args(argv)
    try:
        return _build(args)
    except OptionError as exc:
        args.usage.error(f"argument {OPTIONS[exc.argument]}: {exc.detail}")
        raise  # not reached: error() exits with status 2
    except _Usage as exc:
        args.usage.error(str(exc))
        raise
    except Exception as exc:  # bad data: one line, no traceback
        if isinstance(exc, TableNameError):
            exc = ValueError(f"{exc.reason}; leave it out with --exclude {exc.table}")
        lines = str(exc).strip().splitlines()
        print(f"error: {lines[0] if lines else type(exc).__name__}", file=sys.stderr)
        return 1


class _Usage(Exception):
    """A bad argument found after parsing (it names the argument)."""


def _once(option: str, pairs: list[tuple[str, Any]]) -> dict[str, Any]:
    out: dict[str, Any] = {}
    for table, value in pairs:
        if table in out:
            raise _Usage(f"argument {option}: table {table!r} given twice")
        out[table] = value
    return out


def _build(args: argparse.Namespace) -> int:
    from tovalib_data.sources.database import from_database
    from tovalib_data.storage import check_save_target

    try:  # before anything is read
        check_save_target(args.out)
    except (ValueError, OSError) as exc:
        raise _Usage(f"argument OUT: {exc}") from None
    time_columns = _once("--time", args.time)
    feature_columns = _once("--features", args.features)
    tables = None if args.tables is None else [t for names in args.tables for t in names]
    exclude = [t for names in args.exclude for t in names]
    if args.fit_until is not None and not args.typed:
        raise _Usage("argument --fit-until: only with --typed")
    options = dict(time_columns=time_columns, feature_columns=feature_columns,
                   time_unit=args.time_unit, inherit_time=not args.no_inherit_time,
                   features="auto" if args.typed else None, fit_until=args.fit_until)
    source, path = args.source, Path(args.source)
    if path.is_dir():
        graph = _from_folder(path, args, tables, exclude, options)
    else:
        for option, given in (("--primary-key", args.primary_key),
                              ("--foreign-key", args.foreign_key)):
            if given:
                raise _Usage(f"argument {option}: only a folder of files takes keys; a "
                             "database's keys come from its catalog")
        if path.is_file():
            with open(path, "rb") as f:
                if f.read(len(SQLITE_HEADER)) != SQLITE_HEADER:
                    raise _Usage(f"argument SOURCE: {source} is not a SQLite database; "
                                 "give a database URL, a SQLite file or a folder of tables")
            uri = "file:" + urllib.parse.quote(str(path.resolve())) + "?mode=ro"
            connection = sqlite3.connect(uri, uri=True)
            try:
                graph = from_database(connection, tables=tables, exclude=exclude, **options)
            finally:
                connection.close()
        elif "://" in source:
            graph = from_database(source, tables=tables, exclude=exclude, **options)
        else:
            raise _Usage(f"argument SOURCE: no file or folder {source!r}, and not a "
                         "database URL")
    graph.save(args.out)
    print(graph.summary())
    print(f"saved to {args.out}")
    return 0


def _table_name(file: Path) -> str | None:
    name = file.name
    for suffix in TABLE_SUFFIXES:
        if name.lower().endswith(suffix) and len(name) > len(suffix):
            return name[: -len(suffix)]
    return None


def _from_folder(folder: Path, args: argparse.Namespace, tables: list[str] | None,
                 exclude: list[str], options: dict[str, Any]) -> Any:
    from tovalib_data.sources.files import read_table, text_times
    from tovalib_data.graph import Graph
    from tovalib_data.build.keys import linked_columns
    from tovalib_data.build.schema import check_name

    found: dict[str, list[Path]] = {}
    for file in sorted(folder.iterdir()):
        name = _table_name(file)
        if name is None or not file.is_file() or name.startswith("."):
            continue
        found.setdefault(name, []).append(file)
    files = {name: paths[0] for name, paths in found.items()}
    if not files:
        raise ValueError(f"{folder} holds no table files ({', '.join(TABLE_SUFFIXES)})")
    for option, names in (("--tables", tables or []), ("--exclude", exclude)):
        for name in names:
            if name not in files:
                raise _Usage(f"argument {option}: {name!r} is not a table of the folder "
                             f"(its tables: {', '.join(files)})")
    chosen = [t for t in (files if tables is None else dict.fromkeys(tables))
              if t not in exclude]
    if not chosen:
        raise _Usage(f"argument {'--exclude' if exclude else '--tables'}: no table is left "
                     "to read")
    for name in chosen:
        if len(found[name]) > 1:
            raise ValueError(f"{folder}: two files for table {name!r}: "
                             f"{' and '.join(f.name for f in found[name])}")
        try:
            check_name("table name", name)
        except ValueError as exc:
            raise ValueError(f"{exc}; leave it out with --exclude {name}") from None

    def table_of(option: str, table: str) -> str:
        if table not in chosen:
            raise _Usage(f"argument {option}: table {table!r} is not among the tables read "
                         f"({', '.join(chosen)})")
        return table

    used: list[tuple[str, str, str]] = []  # (option, table, column) to check once read
    primary_keys = {}
    for table, columns in _once("--primary-key", args.primary_key).items():
        primary_keys[table_of("--primary-key", table)] = (
            columns[0] if len(columns) == 1 else columns)
        used += [("--primary-key", table, c) for c in columns]
    foreign_keys: dict[str, dict[Any, str]] = {}
    for specifier, target in args.foreign_key:
        # The table is the longest file name that the specifier starts with, then ".".
        owners = [t for t in files
                  if specifier.startswith(t + ".") and len(specifier) > len(t) + 1]
        if not owners:
            raise _Usage(f"argument --foreign-key: {specifier!r} names no table of the folder "
                         f"(tables: {', '.join(files)})")
        table = table_of("--foreign-key", max(owners, key=len))
        columns = specifier[len(table) + 1:].split(",")
        if not all(columns):
            raise _Usage(f"argument --foreign-key: expected TABLE.COL[,COL]=TABLE, "
                         f"got {specifier}={target}")
        if target not in chosen:
            raise _Usage(f"argument --foreign-key: {specifier}={target} references {target!r}, "
                         f"which is not among the tables read ({', '.join(chosen)})")
        key: Any = columns[0] if len(columns) == 1 else tuple(columns)
        if key in foreign_keys.get(table, {}):
            raise _Usage(f"argument --foreign-key: {specifier} given twice")
        foreign_keys.setdefault(table, {})[key] = target
        used += [("--foreign-key", table, c) for c in columns]
    for option, given in (("--time", options["time_columns"]),
                          ("--features", options["feature_columns"])):
        for table, columns in given.items():
            table_of(option, table)
            used += [(option, table, c) for c in ([columns] if option == "--time" else columns)]
    frames = {name: read_table(files[name]) for name in chosen}
    for option, table, column in used:
        if column not in frames[table].columns:
            raise _Usage(f"argument {option}: table {table!r} has no column {column!r}")
    # CSV holds dates and times as text: the time columns, and the keys paired
    # with them, are read as ISO 8601.
    as_time = linked_columns(options["time_columns"].items(), primary_keys, foreign_keys)
    for name, frame in frames.items():
        text_times(frame, [c for t, c in as_time if t == name], name)
    return Graph.from_tables(frames, primary_keys=primary_keys, foreign_keys=foreign_keys,
                             **options)
