"""`python -m tovalib_data build`: a saved graph and its summary from each kind of
source, and exit status 2 for bad usage, 1 for bad data."""

import contextlib
import dataclasses
import os
import sqlite3
import subprocess
import sys

import numpy as np
import pytest
from conftest import optional
from databases import Database, assert_same_graph, write_folder

import tovalib_data as td
from tovalib_data.cli import main

OPTIONS = ["--time", "customers=signup", "--time", "orders=placed", "--time", "suppliers=since",
           "--features", "products=price,weight", "--features", "partsupp=cost",
           "--time-unit", "us"]
KEYS = ["--primary-key", "customers=id", "--primary-key", "products=id",
        "--primary-key", "suppliers=id", "--primary-key", "partsupp=product_id,supplier_id",
        "--primary-key", "orders=id",
        "--foreign-key", "items.order_id=orders", "--foreign-key", "items.ps_part,ps_supp=partsupp",
        "--foreign-key", "orders.customer_id=customers",
        "--foreign-key", "orders.previous_id=orders",
        "--foreign-key", "partsupp.product_id=products",
        "--foreign-key", "partsupp.supplier_id=suppliers"]


def shop_source(kind, tmp_path):
    """(SOURCE argument, key arguments, the shop as NumPy tables, from_tables options)."""
    db = Database("duckdb" if kind == "duckdb-url" else "sqlite", tmp_path)
    tables, options = db.load()
    db.close()
    if kind == "sqlite-file":
        return str(db.path), [], tables, options
    if kind == "duckdb-url":
        return db.url, [], tables, options
    folder = tmp_path / "shop"
    write_folder(tables, folder, ".parquet" if kind == "parquet-folder" else ".csv")
    return str(folder), KEYS, tables, options


@pytest.mark.parametrize("kind", ["sqlite-file", "duckdb-url", "parquet-folder", "csv-folder"])
def test_build_saves_the_graph_and_prints_its_summary(kind, tmp_path, capsys):
    source, keys, tables, options = shop_source(kind, tmp_path)
    out = tmp_path / "graph"
    assert main(["build", source, str(out), *OPTIONS, *keys]) == 0
    want = td.Graph.from_tables(tables, **options)
    assert_same_graph(td.Graph.load(out), want)
    assert capsys.readouterr().out == f"{want.summary()}\nsaved to {out}\n"


def test_summary_lists_tables_edges_dropped_references_and_time_sources(tmp_path):
    db = Database("sqlite", tmp_path)
    db.execute(
        "CREATE TABLE customers (id INTEGER PRIMARY KEY)",
        "CREATE TABLE products (id INTEGER PRIMARY KEY)",
        "CREATE TABLE orders (id INTEGER PRIMARY KEY, "
        "customer_id INTEGER REFERENCES customers(id), day INTEGER)",
        "CREATE TABLE items (order_id INTEGER REFERENCES orders(id), "
        "product_id INTEGER REFERENCES products(id))",
        "INSERT INTO customers VALUES (1), (2)",
        "INSERT INTO orders VALUES (10, 1, 5), (11, 2, 7), (12, NULL, 9), (13, 3, 9)",
        "INSERT INTO items VALUES (10, 1), (11, 1), (13, 1)",
    )
    graph = td.Graph.from_database(db.url, tables=["customers", "orders", "items"],
                                   time_columns={"orders": "day"})
    db.close()
    assert graph.summary() == """\
3 tables, 9 rows
  customers  2 rows  untimed
  orders     4 rows  time: column day
  items      3 rows  time: inherited through order_id
4 edge types, 10 edges
  orders__customer_id__customers      2
  customers__rev_customer_id__orders  2
  items__order_id__orders             3
  orders__rev_order_id__items         3
dropped references: 2
  orders.customer_id -> customers: 2 of 4 rows (1 null, 1 not found)
  items.product_id -> products: 3 of 3 rows (no edges, table 'products' is not read)
time unit: none (integer times as given)"""


ENTRY = {"references": "u", "rows": 3, "resolved": 1, "null": 0}


@pytest.mark.parametrize("entry, line", [
    ({"dropped": 1}, "t.c: 1 rows"),
    ({**ENTRY, "dropped": 2, "null": {"a": 1}}, "t.c -> u: 2 of 3 rows"),
    ({**ENTRY, "dropped": 2, "null": 5, "references": ["u"]}, "t.c: 2 of 3 rows"),
    ({**ENTRY, "dropped": "s"}, "t.c: not readable as a report entry ({'references': 'u', "),
    ({**ENTRY, "dropped": [1]}, "t.c: not readable as a report entry ("),
    ({**ENTRY, "dropped": {"n": 1}}, "t.c: not readable as a report entry ("),
    ("x" * 100, "t.c: not readable as a report entry ('" + "x" * 59 + "...)"),
])
def test_summary_shows_what_a_loaded_report_holds_without_crashing(tmp_path, entry, line):
    graph = td.Graph.from_tables({"t": {"id": np.arange(3)}}, primary_keys={"t": "id"})
    dataclasses.replace(graph, report={"t.c": entry, "t.d": {**ENTRY, "dropped": 0}}).save(
        tmp_path / "g")
    text = td.Graph.load(tmp_path / "g").summary()
    assert f"dropped references: 1\n  {line}" in text and "t.d" not in text, text


USAGE = [
    # (arguments after "build", the message naming the argument)
    (["{db}", "{out}", "--time", "orders"], "argument --time: expected TABLE=COLUMN, got 'orders'"),
    (["{db}", "{out}", "--features", "products="],
     "argument --features: expected TABLE=COL,COL, got 'products='"),
    (["{db}", "{out}", "--time-unit", "fortnight"],
     "argument --time-unit: invalid choice: 'fortnight'"),
    (["{db}", "{out}", "--time", "orders=placed", "--time", "orders=id"],
     "argument --time: table 'orders' given twice"),
    # Keys given for a database.
    (["{db}", "{out}", "--primary-key", "nosuch=id"],
     "argument --primary-key: table 'nosuch' is not among the tables read"),
    (["{db}", "{out}", "--foreign-key", "shipments.order_id=orders"],
     "argument --foreign-key: 'shipments.order_id' names no table read"),
    (["{db}", "{out}", "--foreign-key", "orders.nope=customers"],
     "argument --foreign-key: table 'orders' has no column 'nope'"),
    (["{db}", "{out}", "--foreign-key", "orders.id=items"],
     "argument --foreign-key: the foreign key orders.id references 'items', which has no "
     "primary key; give it with --primary-key items=COL[,COL]"),
    # A folder's foreign key into a table given no primary key.
    (["{folder}", "{out}", "--primary-key", "orders=id", "--foreign-key",
      "orders.customer_id=customers"],
     "argument --foreign-key: orders.customer_id=customers references 'customers', which has "
     "no primary key; give it with --primary-key customers=COL[,COL]"),
    (["{db}", "{out}", "--foreign-key", "orders=customers"],
     "argument --foreign-key: expected TABLE.COL[,COL]=TABLE, got 'orders=customers'"),
    (["{folder}", "{out}", "--foreign-key", "shipments.order_id=orders"],
     "argument --foreign-key: 'shipments.order_id' names no table of the folder"),
    (["{tmp}/nowhere", "{out}"], "argument SOURCE: no file or folder"),
    (["{tmp}/shop/orders.csv", "{out}"], "argument SOURCE: {tmp}/shop/orders.csv is not a "
                                         "SQLite database"),
    (["{db}"], "the following arguments are required: OUT"),
    # Options naming a table or column that is not there, with a database and a folder.
    (["{db}", "{out}", "--time", "nosuch=col"],
     "argument --time: table 'nosuch' is not among the tables read"),
    (["{db}", "{out}", "--time", "orders=nope"], "argument --time: table 'orders' has no column 'nope'"),
    (["{db}", "{out}", "--features", "nosuch=a"],
     "argument --features: table 'nosuch' is not among the tables read"),
    (["{db}", "{out}", "--tables", "orders,nosuch"], "argument --tables: 'nosuch' is not a table"),
    (["{db}", "{out}", "--exclude", "nosuch"], "argument --exclude: 'nosuch' is not a table"),
    (["{db}", "{out}", "--tables", "orders,"], "argument --tables: expected TABLE[,TABLE]"),
    (["{folder}", "{out}", "--primary-key", "nosuch=id"],
     "argument --primary-key: table 'nosuch' is not among the tables read"),
    (["{folder}", "{out}", "--features", "nosuch=a"],
     "argument --features: table 'nosuch' is not among the tables read"),
    (["{folder}", "{out}", "--time", "orders=nope"],
     "argument --time: table 'orders' has no column 'nope'"),
    (["{folder}", "{out}", "--foreign-key", "orders.customer_id=nosuch"],
     "argument --foreign-key: orders.customer_id=nosuch references 'nosuch', which is not among"),
    (["{folder}", "{out}", "--exclude", "customers", "--foreign-key", "orders.customer_id=customers"],
     "argument --foreign-key: orders.customer_id=customers references 'customers', which is not"),
    (["{folder}", "{out}", "--tables", "nosuch"], "argument --tables: 'nosuch' is not a table"),
    # No table left to read.
    (["{db}", "{out}", "--tables", "orders", "--exclude", "orders"],
     "argument --exclude: no table is left to read"),
    (["{folder}", "{out}", "--exclude", "customers,items,orders,partsupp,products,suppliers"],
     "argument --exclude: no table is left to read"),
    (["{folder}", "{out}", "--tables", "orders", "--exclude", "orders"],
     "argument --exclude: no table is left to read"),
    # An OUT no save can write, refused before the source is read.
    (["{db}", "."], "argument OUT: cannot save a graph to '.'"),
    (["{db}", ""], "argument OUT: cannot save a graph to ''"),
    (["{db}", "{tmp}/x/.."], "argument OUT: cannot save a graph to '{tmp}/x/..'"),
    (["{db}", "{folder}"], "argument OUT: {folder} exists and is not a saved graph"),
    (["{db}", "{folder}/orders.csv/graph"],
     "argument OUT: cannot save a graph to {folder}/orders.csv/graph: {folder}/orders.csv is "
     "not a directory"),
    (["{db}", "/proc/tovalib-graph"],
     "argument OUT: cannot save a graph to /proc/tovalib-graph: cannot write in /proc"),
]


@pytest.mark.parametrize("args, message", USAGE)
def test_bad_usage_exits_2_naming_the_argument(tmp_path, capsys, args, message):
    source, _, tables, _ = shop_source("sqlite-file", tmp_path)
    write_folder(tables, tmp_path / "shop", ".csv")
    names = dict(db=source, out=tmp_path / "graph", folder=tmp_path / "shop", tmp=tmp_path)
    with pytest.raises(SystemExit) as exit:
        main(["build", *(a.format(**names) for a in args)])
    assert exit.value.code == 2
    err = capsys.readouterr().err
    assert err.startswith("usage: python -m tovalib_data build") and message.format(**names) in err
    assert not (tmp_path / "graph").exists()


def bad_csv(tmp_path):
    optional("pandas")
    (tmp_path / "shop").mkdir()
    (tmp_path / "shop" / "orders.csv").write_text("id,placed\n1,2024-01-01\n2,soon\n")
    return [str(tmp_path / "shop"), "--time", "orders=placed"]


def wide_csv(tmp_path):
    optional("pandas")
    (tmp_path / "shop").mkdir()
    (tmp_path / "shop" / "orders.csv").write_text("id,placed\n1,2300-01-01\n")
    return [str(tmp_path / "shop"), "--time", "orders=placed", "--time-unit", "ns"]


def migrations(tmp_path):
    optional("sqlalchemy")
    path = tmp_path / "app.sqlite"
    with contextlib.closing(sqlite3.connect(path)) as db:
        db.executescript("CREATE TABLE _prisma_migrations (id TEXT PRIMARY KEY);"
                         "CREATE TABLE users (id INTEGER PRIMARY KEY);")
    return [str(path)]


def duplicate_key(tmp_path):
    optional("pandas")
    (tmp_path / "shop").mkdir()
    (tmp_path / "shop" / "orders.csv").write_text("id\n1\n2\n1\n")
    return [str(tmp_path / "shop"), "--primary-key", "orders=id"]


def two_files(tmp_path):
    (tmp_path / "shop").mkdir()
    (tmp_path / "shop" / "orders.csv").write_text("id\n1\n")
    (tmp_path / "shop" / "orders.parquet").write_text("")
    return [str(tmp_path / "shop")]


def unreachable_server(tmp_path):
    optional("psycopg")
    return [f"postgresql+psycopg://nobody@/shop?host={tmp_path}/no-server"]


DATA = [
    (bad_csv, "orders.placed: row 1 holds 'soon', which is not an ISO 8601 date or time"),
    (wide_csv, "orders.placed: the time 2300-01-01T00:00:00 in row 0 does not fit int64 as a "
               "count of 'ns'"),
    (migrations, "table name '_prisma_migrations' cannot be part of an edge type key: it must "
                 "be non-empty, must not contain '__' and must not start or end with '_'; leave "
                 "it out with --exclude _prisma_migrations"),
    (duplicate_key, "primary key orders.id has duplicates"),
    (two_files, "two files for table 'orders': orders.csv and orders.parquet"),
    (unreachable_server, "connection"),
]


@pytest.mark.parametrize("make, message", DATA)
def test_bad_data_exits_1_with_one_line_on_stderr(tmp_path, capsys, make, message):
    source, *rest = make(tmp_path)
    assert main(["build", source, str(tmp_path / "graph"), *rest]) == 1
    err = capsys.readouterr().err
    assert err.startswith("error: ") and message in err and err.count("\n") == 1, err


@pytest.mark.parametrize("choice", [["--exclude", "_prisma_migrations"], ["--tables", "users"]])
def test_tables_and_exclude_choose_the_tables_read(tmp_path, capsys, choice):
    source = migrations(tmp_path)[0]
    assert main(["build", source, str(tmp_path / "graph"), *choice]) == 0
    assert td.Graph.load(tmp_path / "graph").node_types == ["users"]


@pytest.mark.parametrize("choice", [["--exclude", "o"], ["--tables", "i"]])
def test_two_files_of_a_table_left_out_do_not_stop_the_build(tmp_path, choice):
    optional("pandas")
    (tmp_path / "shop").mkdir()
    for name in ("o.csv", "o.parquet", "i.csv"):
        (tmp_path / "shop" / name).write_text("id\n1\n")
    assert main(["build", str(tmp_path / "shop"), str(tmp_path / "graph"), *choice]) == 0
    assert td.Graph.load(tmp_path / "graph").node_types == ["i"]


def test_python_dash_m_runs_the_build_command(tmp_path):
    source = shop_source("sqlite-file", tmp_path)[0]
    done = subprocess.run(
        [sys.executable, "-m", "tovalib_data", "build", source, str(tmp_path / "graph"),
         "--time", "orders=placed", "--no-inherit-time"],
        capture_output=True, text=True, env={**os.environ, "COLUMNS": "80"},
    )
    assert done.returncode == 0, done.stderr
    assert "  items__order_id__orders  " in done.stdout
    assert done.stdout.endswith(f"saved to {tmp_path / 'graph'}\n")
    saved = td.Graph.load(tmp_path / "graph")
    assert saved.num_nodes["items"] == 60
    assert saved.time_sources == {"orders": "placed"}  # nothing inherited
