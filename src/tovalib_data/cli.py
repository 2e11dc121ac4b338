"""`python -m tovalib_data build SOURCE OUT`: a graph from a database or a folder of files.

SOURCE is a SQLAlchemy database URL, a SQLite file, or a folder with one
table per Parquet or CSV file, named after the file. Keys come from the
database's catalog; a folder's keys are given with --primary-key and
--foreign-key. The graph is saved to OUT (`Graph.save`) and its summary
printed. Exit status: 0 built, 2 bad usage, 1 bad data (one line on stderr).
"""

from __future__ import annotations

import argparse
import sqlite3
import sys
import urllib.parse
from collections.abc import Sequence
from pathlib import Path
from typing import Any

from tovalib_data.tables import TIME_UNITS

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


def _foreign_key(text: str) -> tuple[str, str]:
    columns, target = _pair(text, "TABLE.COL[,COL]=TABLE")
    if "." not in columns:
        raise argparse.ArgumentTypeError(f"expected TABLE.COL[,COL]=TABLE, got {text!r}")
    return columns, target


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
    build.add_argument("--time", metavar="TABLE=COLUMN", type=_time, action="append",
                       default=[], help="the time column of a table (repeatable)")
    build.add_argument("--features", metavar="TABLE=COL,COL", type=_columns("TABLE=COL,COL"),
                       action="append", default=[],
                       help="numeric feature columns of a table (repeatable)")
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


def main(argv: Sequence[str] | None = None) -> int:
    args = parser().parse_args(argv)
    try:
        return _build(args)
    except _Usage as exc:
        args.usage.error(str(exc))  # exits with status 2
        raise  # not reached
    except Exception as exc:  # bad data: one line, no traceback
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
    from tovalib_data.graph import Graph

    time_columns = _once("--time", args.time)
    feature_columns = _once("--features", args.features)
    options = dict(time_columns=time_columns, feature_columns=feature_columns,
                   time_unit=args.time_unit, inherit_time=not args.no_inherit_time)
    source, path = args.source, Path(args.source)
    if path.is_dir():
        graph = _from_folder(path, args, options)
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
                graph = Graph.from_database(connection, **options)
            finally:
                connection.close()
        elif "://" in source:
            graph = Graph.from_database(source, **options)
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


def _from_folder(folder: Path, args: argparse.Namespace, options: dict[str, Any]) -> Any:
    from tovalib_data.files import read_table
    from tovalib_data.graph import Graph

    files: dict[str, Path] = {}
    for file in sorted(folder.iterdir()):
        name = _table_name(file)
        if name is None or not file.is_file() or name.startswith("."):
            continue
        if name in files:
            raise ValueError(f"{folder}: two files for table {name!r}: "
                             f"{files[name].name} and {file.name}")
        files[name] = file
    if not files:
        raise ValueError(f"{folder} holds no table files ({', '.join(TABLE_SUFFIXES)})")
    primary_keys = {}
    for table, columns in _once("--primary-key", args.primary_key).items():
        primary_keys[table] = columns[0] if len(columns) == 1 else columns
    foreign_keys: dict[str, dict[Any, str]] = {}
    for spec, target in args.foreign_key:
        # The table is the longest file name that the spec starts with, then ".".
        owners = [t for t in files if spec.startswith(t + ".") and len(spec) > len(t) + 1]
        if not owners:
            raise _Usage(f"argument --foreign-key: {spec!r} names no table of the folder "
                         f"(tables: {', '.join(files)})")
        table = max(owners, key=len)
        columns = spec[len(table) + 1:].split(",")
        if not all(columns):
            raise _Usage(f"argument --foreign-key: expected TABLE.COL[,COL]=TABLE, "
                         f"got {spec}={target}")
        key: Any = columns[0] if len(columns) == 1 else tuple(columns)
        if key in foreign_keys.get(table, {}):
            raise _Usage(f"argument --foreign-key: {spec} given twice")
        foreign_keys.setdefault(table, {})[key] = target
    tables = {name: read_table(file) for name, file in files.items()}
    for name, column in options["time_columns"].items():
        frame = tables.get(name)
        if frame is not None and column in frame and frame[column].dtype.kind in "OSU":
            # CSV holds dates and times as text.
            frame[column] = _parsed_times(f"{name}.{column}", frame[column],
                                          options["time_unit"])
    return Graph.from_tables(tables, primary_keys=primary_keys, foreign_keys=foreign_keys,
                             **options)


def _parsed_times(where: str, column: Any, time_unit: str) -> Any:
    """Text times read as a database's text times are (ISO 8601, offsets to UTC)."""
    from tovalib_data.dbcolumns import ColumnReader

    reader = ColumnReader(where, "", "text", "time", len(column), time_unit)
    reader.add(column.to_numpy(dtype=object, na_value=None).tolist())
    return reader.finish()
