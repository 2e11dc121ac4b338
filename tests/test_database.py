"""Graph.from_database on real SQLite, PostgreSQL and DuckDB databases: the same
graph as from_tables on the same tables, and the input it refuses."""

import datetime as dt
import decimal
import sqlite3
import sys

import numpy as np
import pytest
from conftest import optional
from databases import OPTIONS, Database, assert_same_graph, database  # noqa: F401 (a fixture)

import tovalib_data as td
from tovalib_data.sources import database as database_module
from tovalib_data.sources.dbcolumns import ColumnReader

READ_OPTIONS = ("time_columns", "feature_columns", "time_unit")


def test_from_database_equals_from_tables_on_the_same_tables(database, monkeypatch):  # noqa: F811
    tables, options = database.load()
    monkeypatch.setattr(database_module, "CHUNK_ROWS", 7)  # several chunks per table
    graph = td.Graph.from_database(database.source, **{k: options[k] for k in READ_OPTIONS})
    assert_same_graph(graph, td.Graph.from_tables(tables, **options))
    # What makes the comparison worth something: the composite key (declared in
    # another column order) and the self-reference resolve, times are inherited.
    composite = "items__ps_part_ps_supp__partsupp"
    with_supplier = int((~np.ma.getmaskarray(tables["items"]["ps_supp"])).sum())
    assert len(graph.row[composite]) == with_supplier > 0
    previous = int((~np.ma.getmaskarray(tables["orders"]["previous_id"])).sum())
    assert len(graph.row["orders__previous_id__orders"]) == previous > 0
    assert graph.time_sources["items"] == ["order_id", "ps_part_ps_supp"]
    assert graph.time_sources["orders"] == "placed"


def test_tables_left_out_drop_the_foreign_keys_into_them_with_a_report(database):  # noqa: F811
    tables, _ = database.load()
    nulls = {name: int(np.equal(values, None).sum() if values.dtype == object
                       else np.ma.getmaskarray(values).sum())
             for name, values in [("ps_supp", tables["items"]["ps_supp"]),
                                  ("customer_id", tables["orders"]["customer_id"])]}
    graph = td.Graph.from_database(database.source, tables=["orders", "items"],
                                   time_columns={"orders": "placed"})
    skipped = {key: graph.report.pop(key) for key in ("items.ps_part_ps_supp",
                                                      "orders.customer_id")}
    assert skipped == {
        "items.ps_part_ps_supp": {"references": "partsupp", "rows": 60, "resolved": 0,
                                  "dropped": 60, "null": nulls["ps_supp"],
                                  "skipped": "table 'partsupp' is not read"},
        "orders.customer_id": {"references": "customers", "rows": 30, "resolved": 0,
                               "dropped": 30, "null": nulls["customer_id"],
                               "skipped": "table 'customers' is not read"},
    }
    want = td.Graph.from_tables(
        {"orders": tables["orders"], "items": tables["items"]},
        primary_keys={"orders": "id"},
        foreign_keys={"orders": {"previous_id": "orders"}, "items": {"order_id": "orders"}},
        time_columns={"orders": "placed"},
    )
    assert_same_graph(graph, want)


@pytest.mark.parametrize("form", ["url", "engine", "connection", "sqlite3"])
def test_every_kind_of_source_gives_the_graph_and_is_left_usable(tmp_path, form):
    db = Database("sqlite", tmp_path)
    tables, options = db.load()
    sa = db.sa
    with db.engine.connect() as connection:
        owner = sqlite3.connect(db.path)
        owner.row_factory = sqlite3.Row  # not what the reader expects; must not matter
        owner.execute("UPDATE customers SET name = 'changed'")  # a transaction of its own
        source = {"url": db.url, "engine": db.engine, "connection": connection,
                  "sqlite3": owner}[form]
        graph = td.Graph.from_database(source, **{k: options[k] for k in READ_OPTIONS})
        assert_same_graph(graph, td.Graph.from_tables(tables, **options))
        # Nothing given was closed, and the owner's transaction is still its own.
        assert connection.execute(sa.text("SELECT count(*) FROM orders")).scalar() == 30
        assert owner.in_transaction
        assert owner.execute("SELECT name FROM customers").fetchone()["name"] == "changed"
        owner.rollback()
        owner.close()
    db.close()


BAD = [
    # (SQL run on the shop, source (None: the shop), from_database arguments,
    #  exception, message)
    ("UPDATE orders SET previous_id = 'x' WHERE id = 101", None, {}, ValueError,
     r"orders\.previous_id: the row whose id is 101 holds 'x' \(str\), not an integer as its type INTEGER says"),
    ("UPDATE orders SET previous_id = 100.5 WHERE id = 101", None, {}, ValueError,
     r"orders\.previous_id: key and time values must be whole numbers, but the row whose id is 101 holds 100\.5"),
    ("UPDATE orders SET placed = 'soon' WHERE id = 102", None,
     {"time_columns": {"orders": "placed"}}, ValueError,
     r"orders\.placed: the row whose id is 102 holds 'soon', which is not an ISO 8601 date"),
    ("UPDATE customers SET signup = 17 WHERE id = 'c03'", None,
     {"time_columns": {"customers": "signup"}}, ValueError,
     r"customers\.signup: the row whose id is 'c03' holds 17 \(int\), not a date or time as its type DATE says"),
    ("UPDATE orders SET placed = NULL WHERE id = 104", None,
     {"time_columns": {"orders": "placed"}}, ValueError,
     r"orders\.placed has 1 null times \(first in row 4\)"),
    (None, None, {"feature_columns": {"customers": ["name"]}}, ValueError,
     r"customers\.name: column type TEXT cannot be a feature; features must be numeric"),
    (None, None, {"tables": ["orders", "shipments"]}, ValueError,
     r"tables names 'shipments', which is not a table of the database \(its tables: "
     r"customers, items, orders, partsupp, products, suppliers\)"),
    (None, None, {"time_columns": {"orders": "when"}}, ValueError,
     r"table 'orders' has no column 'when'"),
    (None, None, {"time_columns": {"shipments": "when"}}, ValueError,
     r"time_columns names table 'shipments', which is not among the tables"),
    (None, None, {"time_unit": "fortnight"}, ValueError,
     r"time_unit must be one of D, h, m, s, ms, us, ns, not 'fortnight'"),
    (None, "sqlite:///{tmp}/missing.sqlite", {}, FileNotFoundError,
     r"no SQLite database file at .*missing\.sqlite"),
    (None, 42, {}, TypeError,
     r"source must be a SQLAlchemy URL, Engine or Connection, a sqlite3\.Connection, "
     r"or the path of a SQLite file, not int"),
]


@pytest.mark.parametrize("change, source, kwargs, error, message", BAD)
def test_bad_values_and_arguments_are_refused_naming_table_and_column(
        tmp_path, change, source, kwargs, error, message):
    db = Database("sqlite", tmp_path)  # SQLite keeps any value in any column
    db.load()
    if change:
        db.execute(change)
    if isinstance(source, str):
        source = source.format(tmp=tmp_path)
    with pytest.raises(error, match=message):
        td.Graph.from_database(db.url if source is None else source, **kwargs)
    db.close()


UTC = dt.timezone.utc
ZONE = dt.timezone(dt.timedelta(hours=-5))


@pytest.mark.parametrize(
    "kind, role, chunks, want",
    [
        ("number", "key", [[None, 3], [True, 2**40], [decimal.Decimal("7")]],
         np.ma.MaskedArray([0, 3, 1, 2**40, 7], mask=[1, 0, 0, 0, 0])),
        ("unknown", "key", [[None, None], ["b"], [None, "a"]],
         np.array([None, None, "b", None, "a"], dtype=object)),
        ("number", "feature", [[1, None], [decimal.Decimal("2.5")], [True]],
         np.array([1.0, np.nan, 2.5, 1.0])),
        ("time", "time", [[dt.datetime(2024, 1, 1, 5, tzinfo=ZONE)], ["2024-01-01 10:00"],
                          [dt.date(2024, 1, 2)]],
         np.array(["2024-01-01T10:00", "2024-01-01T10:00", "2024-01-02"], "datetime64[s]")),
        ("unknown", "time", [[None], [1, 2]], np.ma.MaskedArray([0, 1, 2], mask=[1, 0, 0])),
    ],
)
def test_columns_grow_past_the_rows_counted_and_keep_leading_nulls(kind, role, chunks, want):
    reader = ColumnReader("t.c", "", kind, role, 1, "s")  # counted 1 row, more arrive
    for chunk in chunks:
        reader.add(chunk)
    got = reader.finish()
    assert type(got) is type(want) and got.dtype == want.dtype
    nulls = np.ma.getmaskarray(got)  # the values under a null are unspecified
    assert nulls.tolist() == np.ma.getmaskarray(want).tolist()
    np.testing.assert_array_equal(np.ma.getdata(got)[~nulls], np.ma.getdata(want)[~nulls])


@pytest.mark.parametrize("installed", [True, False])
def test_progress_bar_counts_every_row_when_tqdm_is_installed(tmp_path, capsys, monkeypatch,
                                                             installed):
    db = Database("sqlite", tmp_path)
    db.load()
    if installed:
        optional("tqdm")
    else:
        monkeypatch.setitem(sys.modules, "tqdm", None)  # makes `import tqdm` fail
    graph = td.Graph.from_database(db.url, progress=True, time_columns=OPTIONS["time_columns"])
    total = sum(graph.num_nodes.values())
    err = capsys.readouterr().err
    assert (f"{total}/{total}" in err) == installed and (err == "") != installed
    db.close()


def test_times_beyond_int64_in_the_unit_are_refused_naming_the_row(database):  # noqa: F811
    database.execute("CREATE TABLE o (id INTEGER PRIMARY KEY, placed DATE)",
                     "INSERT INTO o VALUES (2, '2024-01-01'), (1, '9999-12-31')")
    with pytest.raises(ValueError, match=r"o\.placed: the time '?9999-12-31.* in the row whose "
                                         r"id is 1 does not fit int64 as a count of 'ns'"):
        td.Graph.from_database(database.source, time_columns={"o": "placed"}, time_unit="ns")


@pytest.mark.parametrize("timed", ["sales", "days"])
def test_a_key_that_is_also_the_time_is_read_as_both(database, timed):  # noqa: F811
    database.execute(
        "CREATE TABLE days (day DATE PRIMARY KEY)",
        "CREATE TABLE sales (id INTEGER PRIMARY KEY, day DATE REFERENCES days(day))",
        "INSERT INTO days VALUES ('2024-01-01'), ('2024-01-02')",
        "INSERT INTO sales VALUES (1, '2024-01-02'), (2, '2024-01-01')")
    graph = td.Graph.from_database(database.source, time_columns={timed: "day"},
                                   inherit_time=False)
    assert graph.report["sales.day"] == {"references": "days", "rows": 2, "resolved": 2,
                                         "dropped": 0, "null": 0}
    assert graph.row["sales__day__days"].tolist() == [1, 0]
    want = {"days": [1704067200, 1704153600], "sales": [1704153600, 1704067200]}
    assert graph.node_time[timed].tolist() == want[timed]


@pytest.mark.parametrize("tables", [None, ["items", "products"]])
def test_a_skipped_foreign_key_on_the_columns_of_another_keeps_its_entry(tables):
    optional("sqlalchemy")
    db = sqlite3.connect(":memory:")
    db.executescript("""
        CREATE TABLE products (id INTEGER PRIMARY KEY); CREATE TABLE archive (id INTEGER PRIMARY KEY);
        CREATE TABLE items (id INTEGER PRIMARY KEY, product_id INTEGER,
          FOREIGN KEY (product_id) REFERENCES products(id),
          FOREIGN KEY (product_id) REFERENCES archive(id));
        INSERT INTO products VALUES (1), (2); INSERT INTO archive VALUES (1), (2);
        INSERT INTO items VALUES (1, 1), (2, 2), (3, 2);""")
    graph = td.Graph.from_database(db, tables=tables)
    assert graph.report["items.product_id"]["resolved"] == 3
    skipped = graph.report["items.product_id->archive"]
    assert skipped["dropped"] == 3 and skipped["skipped"] == (
        "its columns already reference 'products'" if tables is None
        else "table 'archive' is not read")
    assert "items.product_id->archive: 3 of 3 rows" in graph.summary()


def test_postgresql_partitions_are_read_once_through_their_table(tmp_path):
    db = Database("postgresql", tmp_path)
    try:
        db.execute(
            "CREATE TABLE users (id INTEGER PRIMARY KEY)",
            "CREATE TABLE events (id INTEGER, uid INTEGER REFERENCES users(id), ts TIMESTAMP, "
            "PRIMARY KEY (id, ts)) PARTITION BY RANGE (ts)",
            "CREATE TABLE events_2023 PARTITION OF events FOR VALUES FROM ('2023-01-01') "
            "TO ('2024-01-01')",
            "CREATE TABLE events_2024 PARTITION OF events FOR VALUES FROM ('2024-01-01') "
            "TO ('2025-01-01')",
            "INSERT INTO users VALUES (1), (2)",
            "INSERT INTO events VALUES (1, 1, '2023-06-01'), (2, 2, '2024-06-01'), "
            "(3, 1, '2024-07-01')")
        graph = td.Graph.from_database(db.source, time_columns={"events": "ts"})
        assert graph.num_nodes == {"events": 3, "users": 2}
        assert graph.edge_types == [("events", "uid", "users"), ("users", "rev_uid", "events")]
        with pytest.raises(ValueError, match="tables names 'events_2023', which is a partition "
                                             "of 'events', which is read whole"):
            td.Graph.from_database(db.source, tables=["events_2023"])
    finally:
        db.close()


@pytest.mark.parametrize("url, module, extra", [
    ("postgresql+psycopg://nobody@/shop?host=/nowhere", "psycopg", "sql"),
    ("duckdb:///shop.duckdb", "duckdb_engine", "duckdb"),
])
def test_a_missing_driver_names_the_extra_that_installs_it(monkeypatch, url, module, extra):
    optional("sqlalchemy")
    monkeypatch.setitem(sys.modules, module, None)  # makes `import module` fail
    with pytest.raises(ImportError, match=rf"pip install 'tovalib\[{extra}\]' \(from a checkout: "
                                          rf"pip install '\.\[{extra}\]'\)"):
        td.Graph.from_database(url)


@pytest.mark.parametrize("levels", [1, 2])
def test_postgresql_copies_of_a_key_into_a_partitioned_table_are_not_reported(tmp_path, levels):
    db = Database("postgresql", tmp_path)
    try:
        sub = " PARTITION BY RANGE (ts)" if levels == 2 else ""
        db.execute(
            "CREATE TABLE events (id INTEGER, ts TIMESTAMP, PRIMARY KEY (id, ts)) "
            "PARTITION BY RANGE (ts)",
            "CREATE TABLE events_2023 PARTITION OF events FOR VALUES FROM ('2023-01-01') "
            f"TO ('2024-01-01'){sub}",
            *([f"CREATE TABLE events_2023_h{n} PARTITION OF events_2023 FOR VALUES FROM "
               f"('2023-0{n}-01') TO ('2023-0{n + 1}-01')" for n in (1, 2)] if sub else []),
            "CREATE TABLE clicks (id INTEGER PRIMARY KEY, eid INTEGER, ets TIMESTAMP, "
            "FOREIGN KEY (eid, ets) REFERENCES events(id, ts))",
            "INSERT INTO events VALUES (1, '2023-01-05'), (2, '2023-02-05')",
            "INSERT INTO clicks VALUES (1, 2, '2023-02-05'), (2, 1, '2023-01-05')")
        graph = td.Graph.from_database(db.source)
        assert graph.report == {"clicks.eid_ets": {"references": "events", "rows": 2,
                                                   "resolved": 2, "dropped": 0, "null": 0}}
    finally:
        db.close()


@pytest.mark.parametrize("tables", [None, ["logs", "users"]])
def test_postgresql_rows_of_an_inheriting_table_are_one_node_each(tmp_path, tables):
    db = Database("postgresql", tmp_path)
    try:
        db.execute(
            "CREATE TABLE users (id INTEGER PRIMARY KEY)",
            "CREATE TABLE logs (id INTEGER PRIMARY KEY, uid INTEGER REFERENCES users(id), "
            "ts INTEGER)",
            "CREATE TABLE logs_old (note TEXT) INHERITS (logs)",
            "INSERT INTO users VALUES (1), (2)", "INSERT INTO logs VALUES (1, 1, 5)",
            "INSERT INTO logs_old VALUES (2, 2, 6, 'x'), (3, NULL, 7, 'y')")
        graph = td.Graph.from_database(db.source, tables=tables, time_columns={"logs": "ts"})
        assert graph.num_nodes == {"logs": 1, "users": 2} | ({} if tables else {"logs_old": 2})
        assert graph.report["logs.uid"] == {"references": "users", "rows": 1, "resolved": 1,
                                            "dropped": 0, "null": 0}
    finally:
        db.close()


@pytest.mark.parametrize("sql_type, value, role", [
    ("DATE", "infinity", "time"), ("TIMESTAMPTZ", "-infinity", "time"),
    ("TIMESTAMP", "infinity", "key"),
])
def test_postgresql_infinite_times_are_refused_naming_column_and_row(tmp_path, sql_type, value,
                                                                     role):
    db = Database("postgresql", tmp_path)
    try:
        db.execute("CREATE TABLE d (at TIMESTAMP PRIMARY KEY)",
                   f"CREATE TABLE v (id INTEGER PRIMARY KEY, t {sql_type}"
                   + (" REFERENCES d(at))" if role == "key" else ")"),
                   f"INSERT INTO d VALUES ('2024-01-01'), ('{value}')",
                   f"INSERT INTO v VALUES (1, '2024-01-01'), (2, '{value}')")
        with pytest.raises(ValueError, match=f"^v\\.t: the row whose id is 2 holds '{value}', "
                                             "which is not a time a graph can hold$"):
            td.Graph.from_database(db.source, tables=["v", "d"][: 2 if role == "key" else 1],
                                   time_columns={"v": "t"} if role == "time" else None)
    finally:
        db.close()


@pytest.mark.parametrize("fk_type", ["TEXT", "VARCHAR(10)", ""])
def test_sqlite_text_foreign_keys_into_a_date_key_match_it_untimed(fk_type):
    optional("sqlalchemy")
    db = sqlite3.connect(":memory:")
    db.executescript(f"""
        CREATE TABLE days (day DATE PRIMARY KEY);
        CREATE TABLE sales (id INTEGER PRIMARY KEY, day {fk_type} REFERENCES days(day));
        INSERT INTO days VALUES ('2024-01-01'), ('2024-01-02');
        INSERT INTO sales VALUES (1, '2024-01-02'), (2, '2024-01-01');""")
    graph = td.Graph.from_database(db)
    assert graph.report["sales.day"]["resolved"] == 2 and not graph.node_time
    assert graph.row["sales__day__days"].tolist() == [1, 0]


@pytest.mark.parametrize("tables", [None, ["items", "products"]])
def test_a_skipped_key_into_the_table_of_a_real_one_names_its_columns(tables):
    optional("sqlalchemy")
    db = sqlite3.connect(":memory:")
    db.executescript("""
        CREATE TABLE products (id INTEGER PRIMARY KEY, code TEXT UNIQUE);
        CREATE TABLE items (id INTEGER PRIMARY KEY, product_id INTEGER,
          FOREIGN KEY (product_id) REFERENCES products(id),
          FOREIGN KEY (product_id) REFERENCES products(code));
        INSERT INTO products VALUES (1, 'a'); INSERT INTO items VALUES (1, 1);""")
    graph = td.Graph.from_database(db, tables=tables)
    assert sorted(graph.report) == ["items.product_id", "items.product_id->products(code)"]
    assert "items.product_id->products(code): 1 of 1 rows" in graph.summary()


@pytest.mark.parametrize("time_columns", [None, {"e": "t"}])
def test_duckdb_nanosecond_timestamps_are_refused_naming_the_loss(tmp_path, time_columns):
    duckdb = optional("duckdb")
    optional("duckdb_engine")
    with duckdb.connect(str(tmp_path / "ns.duckdb")) as db:
        db.execute("CREATE TABLE e (t TIMESTAMP_NS PRIMARY KEY); INSERT INTO e VALUES "
                   "('2024-01-01 00:00:00.000000001'), ('2024-01-01 00:00:00.000000002')")
    with pytest.raises(ValueError, match="^e.t: TIMESTAMP_NS values reach Python in "
                                         "microseconds, so their nanoseconds would be lost"):
        td.Graph.from_database(f"duckdb:///{tmp_path}/ns.duckdb", time_columns=time_columns,
                               time_unit="ns")
