"""Databases read as the database itself reads them, one test per fault an
adversarial review found: one snapshot, times floored without wrapping, keys
matched as the database matches them, no database created by a typo, and a
bad catalog key reported instead of stopping the read. Also the keys a
caller gives `from_database` and the warning about untimed tables."""

import os
import sqlite3
import warnings

import numpy as np
import pytest
from conftest import optional
from databases import Database, assert_same_graph

import tovalib_data as td
from tovalib_data.cli import main
from tovalib_data.loading.seed_time import seed_times
from tovalib_data.sources import database as database_module

INT64_MIN = np.iinfo(np.int64).min
# Two tables; b.a_id references a.id.
PAIR = ["CREATE TABLE a (id INTEGER PRIMARY KEY)",
        "CREATE TABLE b (id INTEGER PRIMARY KEY, a_id INTEGER REFERENCES a(id))",
        "INSERT INTO a VALUES (1)", "INSERT INTO b VALUES (1, 1)"]


@pytest.fixture
def sqlite_db(tmp_path):
    db = Database("sqlite", tmp_path)
    yield db
    db.close()


@pytest.fixture
def postgres(tmp_path):
    db = Database("postgresql", tmp_path)
    yield db
    db.close()


def quiet(source, **kwargs):
    """from_database without the untimed-tables warning (tested on its own)."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", UserWarning)
        return td.Graph.from_database(source, **kwargs)


# -- 1. one snapshot --------------------------------------------------------


@pytest.mark.parametrize("form", ["sqlite-url", "sqlite-engine", "sqlite3", "build",
                                  "postgresql-connection"])
def test_every_table_is_read_in_one_snapshot(tmp_path, monkeypatch, form):
    db = Database("postgresql" if form.startswith("postgresql") else "sqlite", tmp_path)
    try:
        if db.kind == "sqlite":  # readers and a writer side by side
            db.execute("PRAGMA journal_mode=WAL")
        db.execute(*PAIR)
        read = database_module._read_table

        def read_then_commit(sa, conn, table, *args):
            columns = read(sa, conn, table, *args)
            if table.name == "a":  # between the two tables: an a and a b referencing it
                db.execute("INSERT INTO a VALUES (2)", "INSERT INTO b VALUES (2, 2)")
            return columns

        monkeypatch.setattr(database_module, "_read_table", read_then_commit)
        if form == "build":
            assert main(["build", str(db.path), str(tmp_path / "g")]) == 0
            graph = td.Graph.load(tmp_path / "g")
        elif form == "sqlite3":
            with sqlite3.connect(db.path) as owner:
                graph = td.Graph.from_database(owner)
                assert not owner.in_transaction
        elif form == "postgresql-connection":
            with db.engine.connect() as conn:
                graph = td.Graph.from_database(conn)
                assert not conn.in_transaction()
        else:
            graph = td.Graph.from_database(db.url if form == "sqlite-url" else db.engine)
        assert graph.num_nodes == {"a": 1, "b": 1}
        assert graph.report["b.a_id"]["dropped"] == 0
    finally:
        db.close()


# -- 2. the earliest times --------------------------------------------------


def _earliest_ns():
    return np.array([INT64_MIN + 1, 0], dtype="datetime64[ns]")  # pandas' Timestamp.min


def _duckdb_minus_infinity():
    duckdb = optional("duckdb")
    optional("pyarrow")
    return duckdb.sql("SELECT * FROM (VALUES (0, TIMESTAMP '-infinity'), "
                      "(1, TIMESTAMP '1970-01-01')) v(id, t) ORDER BY id").arrow()


@pytest.mark.parametrize("make, ticks, unit", [
    (_earliest_ns, INT64_MIN + 1, "s"),
    (_earliest_ns, INT64_MIN + 1, "D"),
    (_duckdb_minus_infinity, INT64_MIN + 1, "s"),  # microseconds in Arrow
    (_duckdb_minus_infinity, INT64_MIN + 1, "h"),
])
def test_the_earliest_times_floor_into_a_coarser_unit_without_wrapping(make, ticks, unit):
    values = make()
    table = values if hasattr(values, "schema") else {"id": np.arange(2), "t": values}
    graph = td.Graph.from_tables({"e": table}, time_columns={"e": "t"}, time_unit=unit)
    source_unit = "us" if hasattr(values, "schema") else "ns"
    per = int(np.timedelta64(1, unit) // np.timedelta64(1, source_unit))
    assert graph.node_time["e"].tolist() == [ticks // per, 0]
    # The same time as a seed time.
    seed = np.array([ticks], dtype=f"datetime64[{source_unit}]")
    assert seed_times(graph, seed, 1).tolist() == [ticks // per]


# -- 3. PostgreSQL CHAR(n) keys ---------------------------------------------


@pytest.mark.parametrize("key_type, fk_type", [("CHAR(5)", "CHAR(5)"), ("CHAR(5)", "CHAR(3)"),
                                               ("CHAR(5)", "VARCHAR(5)"), ("VARCHAR(5)", "CHAR(5)")])
def test_postgresql_char_keys_match_as_postgresql_compares_them(postgres, key_type, fk_type):
    postgres.execute(f"CREATE TABLE c (id {key_type} PRIMARY KEY)",
                     f"CREATE TABLE o (id INTEGER PRIMARY KEY, c_id {fk_type} REFERENCES c(id))",
                     "INSERT INTO c VALUES ('ab'), ('abc')",
                     "INSERT INTO o VALUES (1, 'ab'), (2, 'abc'), (3, 'ab')")
    graph = td.Graph.from_database(postgres.engine)
    assert graph.report["o.c_id"]["dropped"] == 0
    assert graph.row["o__c_id__c"].tolist() == [0, 2, 1]


# -- 4. names matched without case where the database does -----------------


@pytest.mark.parametrize("kind", ["sqlite", "duckdb"])
@pytest.mark.parametrize("fk", ["customer_id INTEGER REFERENCES Customers(id)",
                                "customer_id INTEGER REFERENCES customers(ID)",
                                "customer_id INTEGER, FOREIGN KEY (Customer_ID) "
                                "REFERENCES CUSTOMERS(Id)"])
def test_keys_written_in_another_case_resolve_as_the_database_resolves_them(tmp_path, kind, fk):
    db = Database(kind, tmp_path)
    try:
        db.execute("CREATE TABLE customers (id INTEGER PRIMARY KEY)",
                   f"CREATE TABLE orders (id INTEGER PRIMARY KEY, {fk})",
                   "INSERT INTO customers VALUES (1), (2)",
                   "INSERT INTO orders VALUES (1, 2), (2, 1)")
        graph = td.Graph.from_database(db.url)
        assert graph.report == {"orders.customer_id": {
            "references": "customers", "rows": 2, "resolved": 2, "dropped": 0, "null": 0}}
    finally:
        db.close()


# -- 5. no database created by a typo --------------------------------------


@pytest.mark.parametrize("url", ["duckdb:///{dir}/typo.duckdb",
                                 "sqlite:///file:{dir}/typo.db?uri=true",
                                 # SQLite opens "shop.db?mode=ro": a URI must begin with file:
                                 "sqlite:///{dir}/shop.db?mode=ro&uri=true"])
@pytest.mark.parametrize("through", ["from_database", "build"])
def test_a_missing_database_file_is_not_created(tmp_path, url, through):
    optional("sqlalchemy")
    if url.startswith("duckdb"):
        optional("duckdb_engine")
    (tmp_path / "dir").mkdir()
    sqlite3.connect(tmp_path / "dir" / "shop.db").close()
    url = url.format(dir=tmp_path / "dir")
    if through == "build":
        assert main(["build", url, str(tmp_path / "dir" / "g")]) == 1
    else:
        with pytest.raises(FileNotFoundError, match=r"(typo|shop)\.d"):
            td.Graph.from_database(url)
    assert os.listdir(tmp_path / "dir") == ["shop.db"]


# -- 6. PostgreSQL names with % --------------------------------------------


def test_postgresql_names_with_percent_signs_are_read_like_any_other(postgres):
    postgres.execute(  # %% is the driver's escape of %
        'CREATE TABLE "100%%" (id INTEGER PRIMARY KEY, "a%%b" INTEGER)',
        'CREATE TABLE o (id INTEGER PRIMARY KEY, "p%%" INTEGER REFERENCES "100%%"(id))',
        'INSERT INTO "100%%" VALUES (1, 7), (2, 8)', 'INSERT INTO o VALUES (1, 2), (2, 1)')
    graph = td.Graph.from_database(postgres.engine, feature_columns={"100%": ["a%b"]})
    assert graph.x["100%"].ravel().tolist() == [7, 8]
    assert graph.row["o__p%__100%"].tolist() == [1, 0]


# -- 7. a bad catalog key is reported, the rest read ------------------------


@pytest.mark.parametrize("ddl, skipped, reason", [
    ("_parent INTEGER REFERENCES p(id)", "t._parent", "'_parent' of table 't' cannot be part"),
    ("parent__id INTEGER REFERENCES p(id)", "t.parent__id", "'parent__id' of table 't' cannot"),
    # The composite key's relation "a_b" is that of the column a_b.
    ("a INTEGER, b INTEGER, a_b INTEGER REFERENCES p(id), FOREIGN KEY (a, b) REFERENCES "
     "q(x, y)", "t.a_b->p", "another foreign key of 't' has the relation 'a_b'"),
    # SQLite takes a key of one column into a key of two.
    ("a INTEGER REFERENCES q", "t.a", "it has 1 column but references 2 of 'q' (x, y)"),
])
def test_a_catalog_key_the_graph_cannot_use_is_skipped_and_the_rest_read(sqlite_db, ddl, skipped,
                                                                        reason):
    sqlite_db.execute("CREATE TABLE p (id INTEGER PRIMARY KEY)",
                      "CREATE TABLE q (x INTEGER, y INTEGER, PRIMARY KEY (x, y))",
                      f"CREATE TABLE t (id INTEGER PRIMARY KEY, p_id INTEGER REFERENCES p(id), "
                      f"{ddl})",
                      "INSERT INTO p VALUES (1)", "INSERT INTO t (id, p_id) VALUES (1, 1)")
    graph = td.Graph.from_database(sqlite_db.url)
    assert reason in graph.report[skipped]["skipped"]
    assert graph.report["t.p_id"]["resolved"] == 1
    # The same name given by the caller is refused, as from_tables refuses it.
    if "__" in skipped or "._" in skipped:
        column = skipped.split(".")[1]
        with pytest.raises(ValueError, match=f"'{column}' of table 't' cannot be part"):
            td.Graph.from_database(sqlite_db.url, foreign_keys={"t": {column: "p"}})


# -- 8. PostgreSQL domains ---------------------------------------------------


@pytest.mark.parametrize("base, value, role, want", [
    ("NUMERIC(6, 2)", "12.50", "feature", 12.5),
    ("DATE", "1970-01-03", "time", 2 * 86400),
    ("TIMESTAMP", "1970-01-01 00:01:40", "time", 100),
])
def test_postgresql_domains_read_as_their_base_type(postgres, base, value, role, want):
    postgres.execute(f"CREATE DOMAIN d AS {base}",
                     "CREATE TABLE t (id INTEGER PRIMARY KEY, v d)",
                     f"INSERT INTO t VALUES (1, '{value}')")
    if role == "feature":
        graph = quiet(postgres.engine, feature_columns={"t": ["v"]})
        assert graph.x["t"].ravel().tolist() == [want]
    else:
        graph = td.Graph.from_database(postgres.engine, time_columns={"t": "v"})
        assert graph.node_time["t"].tolist() == [want]


# -- 9. clear errors, or none ------------------------------------------------


def _non_utf8_file(tmp_path, db):
    path = tmp_path / os.fsdecode(b"shop\xff.sqlite")
    os.rename(db.path, path)
    return path


@pytest.mark.parametrize("form", ["non-utf8-build", "non-utf8-path", "path-str",
                                  "text-factory-bytes"])
def test_sources_that_failed_with_an_unclear_error_are_read(sqlite_db, tmp_path, form):
    sqlite_db.execute(*PAIR[:2], "CREATE TABLE c (id TEXT PRIMARY KEY, b_id REFERENCES b(id))",
                      "INSERT INTO a VALUES (1)", "INSERT INTO b VALUES (1, 1)",
                      "INSERT INTO c VALUES ('x', 1)")
    sqlite_db.engine.dispose()
    if form == "non-utf8-build":
        path = _non_utf8_file(tmp_path, sqlite_db)
        assert main(["build", str(path), str(tmp_path / "g")]) == 0
        graph = td.Graph.load(tmp_path / "g")
    elif form == "text-factory-bytes":
        with sqlite3.connect(sqlite_db.path) as owner:
            owner.text_factory = bytes
            graph = td.Graph.from_database(owner)
            assert owner.text_factory is bytes  # the owner's, restored
    else:
        path = _non_utf8_file(tmp_path, sqlite_db) if form == "non-utf8-path" else sqlite_db.path
        graph = td.Graph.from_database(str(path) if form == "path-str" else path)
    assert graph.num_nodes == {"a": 1, "b": 1, "c": 1}
    assert [graph.report[k]["resolved"] for k in ("b.a_id", "c.b_id")] == [1, 1]


# -- also seen ---------------------------------------------------------------


@pytest.mark.parametrize("make, role, named", [
    (lambda: optional("polars").DataFrame({"id": [1], "v": ["2024-01-01"]}), "time", "String"),
    (lambda: optional("polars").DataFrame({"id": [1], "v": ["a"]}), "feature", "String"),
    (lambda: optional("pyarrow").table({"id": [1], "v": ["2024-01-01"]}), "time", "string"),
])
def test_an_unusable_column_is_named_with_the_type_the_caller_wrote(make, role, named):
    option = {"time": {"time_columns": {"t": "v"}}, "feature": {"feature_columns": {"t": ["v"]}}}
    with pytest.raises(TypeError, match=f"t.v: unsupported {role} type {named};"):
        td.Graph.from_tables({"t": make()}, **option[role])


@pytest.mark.parametrize("declared", ["ENUM", "STATUS", "enum_kind"])
def test_sqlite_columns_of_types_sqlite_does_not_know_keep_their_name(sqlite_db, declared):
    sqlite_db.execute(f"CREATE TABLE t (id INTEGER PRIMARY KEY, s {declared})",
                      f"CREATE TABLE u (id INTEGER PRIMARY KEY, t_s {declared})",
                      "INSERT INTO t VALUES (1, 'open')", "INSERT INTO u VALUES (1, 'open')")
    with pytest.raises(ValueError, match=f"t.s: .* holds 'open' .*its type is {declared}"):
        td.Graph.from_database(sqlite_db.url, feature_columns={"t": ["s"]})
    # As a key the values decide, as for a column of no declared type.
    graph = td.Graph.from_database(sqlite_db.url, primary_keys={"t": "s"},
                                   foreign_keys={"u": {"t_s": "t"}})
    assert graph.report["u.t_s"]["resolved"] == 1


# -- keys given to from_database ---------------------------------------------

UNDECLARED = ["CREATE TABLE customers (id INTEGER, code TEXT UNIQUE, signup DATE)",
              "CREATE TABLE orders (id INTEGER PRIMARY KEY, customer_id INTEGER, "
              "customer_code TEXT REFERENCES customers(code))",
              "INSERT INTO customers VALUES (10, 'x', '2024-01-01'), (20, 'y', '2024-02-01')",
              "INSERT INTO orders VALUES (1, 20, 'x'), (2, 10, 'y'), (3, 20, 'y')"]


@pytest.mark.parametrize("through", ["from_database", "build"])
def test_keys_given_for_a_database_that_declares_none_give_its_edges(sqlite_db, tmp_path,
                                                                     through):
    sqlite_db.execute(*UNDECLARED)
    keys = dict(primary_keys={"customers": "id"}, foreign_keys={"orders": {"customer_id":
                                                                             "customers"}})
    if through == "build":
        assert main(["build", str(sqlite_db.path), str(tmp_path / "g"), "--primary-key",
                     "customers=id", "--foreign-key", "orders.customer_id=customers"]) == 0
        graph = td.Graph.load(tmp_path / "g")
    else:
        graph = quiet(sqlite_db.url, **keys)
    assert graph.row["orders__customer_id__customers"].tolist() == [1, 0, 2]
    # The catalog's key into customers(code) is not onto the primary key given.
    assert "not the primary key" in graph.report["orders.customer_code"]["skipped"]


def test_a_replaced_key_is_named_in_the_report(sqlite_db):
    sqlite_db.execute("CREATE TABLE customers (id INTEGER PRIMARY KEY, code TEXT)",
                      "CREATE TABLE legacy (code TEXT PRIMARY KEY)",
                      "CREATE TABLE orders (id INTEGER PRIMARY KEY, "
                      "customer_code TEXT REFERENCES legacy(code))",
                      "INSERT INTO customers VALUES (1, 'x'), (2, 'y')",
                      "INSERT INTO orders VALUES (1, 'y'), (2, 'x')")
    graph = td.Graph.from_database(sqlite_db.url, primary_keys={"customers": "code"},
                                   foreign_keys={"orders": {"customer_code": "customers"}})
    assert graph.report["customers.(primary key)"]["replaced"] == (
        "the primary key (id) the database declares, by primary_keys['customers'] (code)")
    assert graph.report["orders.customer_code->legacy"]["skipped"] == (
        "foreign_keys['orders']['customer_code'] replaces it by a key into 'customers'")
    assert graph.row["orders__customer_code__customers"].tolist() == [1, 0]


@pytest.mark.parametrize("through, time_columns, named", [
    ("from_database", None, "customers (signup); orders (placed)"),
    ("from_database", {"orders": "placed"}, "customers (signup)"),
    ("from_database", {"orders": "placed", "customers": "signup"}, None),
    ("build", {"orders": "placed"}, "customers (signup)"),
])
def test_untimed_tables_with_date_columns_are_named(sqlite_db, tmp_path, capsys, through,
                                                    time_columns, named):
    sqlite_db.execute("CREATE TABLE customers (id INTEGER PRIMARY KEY, signup DATE)",
                      "CREATE TABLE orders (id INTEGER PRIMARY KEY, placed TIMESTAMP, "
                      "day DATE REFERENCES days(day))",  # a key, not a time
                      "CREATE TABLE days (day DATE PRIMARY KEY)")
    if through == "build":
        times = [a for t, c in time_columns.items() for a in ("--time", f"{t}={c}")]
        assert main(["build", str(sqlite_db.path), str(tmp_path / "g"), *times]) == 0
        lines = capsys.readouterr().out.splitlines()
        assert lines[-3:-1] == ["untimed tables with date or time columns (choose one with "
                                "--time TABLE=COLUMN, or leave them untimed):", "  customers: signup"]
        return
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        td.Graph.from_database(sqlite_db.url, time_columns=time_columns)
    messages = [str(w.message) for w in caught if w.category is UserWarning]
    if named is None:
        assert messages == []
    else:
        assert len(messages) == 1 and f"no time column: {named};" in messages[0]
