"""Real databases for the tests (SQLite, PostgreSQL, DuckDB) holding one small shop.

The shop has string, integer and composite primary keys, a composite
foreign key declared in another column order than the key it references,
a self-reference, nulls, dates, naive and zone-aware timestamps, decimals,
and a table without a primary key. `shop()` gives its rows to insert and the
same tables as NumPy columns in the order a graph holds them (primary-key
order; insertion order for the table without one), with the keys and
options to build both graphs from.
"""

import datetime as dt
import os
import uuid

import numpy as np
import pytest
from conftest import optional

KINDS = ["sqlite", "postgresql", "duckdb"]


def ddl(kind):
    aware = "TIMESTAMP" if kind == "sqlite" else "TIMESTAMPTZ"
    # DuckDB takes a composite foreign key only in the referenced key's order.
    items_key = ("FOREIGN KEY (ps_part, ps_supp) REFERENCES partsupp(product_id, supplier_id)"
                 if kind == "duckdb" else
                 "FOREIGN KEY (ps_supp, ps_part) REFERENCES partsupp(supplier_id, product_id)")
    return [
        "CREATE TABLE customers (id TEXT PRIMARY KEY, signup DATE, name TEXT)",
        "CREATE TABLE products (id INTEGER PRIMARY KEY, price DECIMAL(10, 2), "
        "weight DOUBLE PRECISION)",
        "CREATE TABLE suppliers (id INTEGER PRIMARY KEY, since TIMESTAMP)",
        "CREATE TABLE partsupp (product_id INTEGER REFERENCES products(id), "
        "supplier_id INTEGER REFERENCES suppliers(id), cost DOUBLE PRECISION, "
        "PRIMARY KEY (product_id, supplier_id))",
        f"CREATE TABLE orders (id INTEGER PRIMARY KEY, customer_id TEXT REFERENCES customers(id), "
        f"placed {aware}, previous_id INTEGER REFERENCES orders(id))",
        f"CREATE TABLE items (order_id INTEGER REFERENCES orders(id), ps_supp INTEGER, "
        f"ps_part INTEGER, qty INTEGER, {items_key})",
    ]


def shop(seed=0):
    """(rows per table in insertion order, NumPy tables, from_tables options)."""
    rng = np.random.default_rng(seed)
    customers = [f"c{i:02d}" for i in rng.permutation(8)]
    signup = {c: f"2023-{1 + i % 12:02d}-{1 + i:02d}" for i, c in enumerate(customers)}
    products = [int(p) for p in rng.permutation(6) * 10 + 5]
    suppliers = [int(s) for s in rng.permutation(4) + 1]
    pairs = [(p, s) for p in products for s in suppliers if rng.random() < 0.5]
    orders = [int(o) for o in rng.permutation(30) + 100]
    rows = {
        "customers": [dict(id=c, signup=signup[c], name="n" + c) for c in customers],
        "products": [dict(id=p, price=round(float(rng.uniform(1, 99)), 2),
                          weight=None if i % 3 == 0 else float(rng.random()))
                     for i, p in enumerate(products)],
        "suppliers": [dict(id=s, since=f"2022-0{s}-0{s} 12:34:56.{s}23456") for s in suppliers],
        "partsupp": [dict(product_id=p, supplier_id=s, cost=float(rng.random()))
                     for p, s in pairs],
        "orders": [],
        "items": [],
    }
    for i, o in enumerate(orders):
        offset = ("+02:00", "-05:30", "+00:00")[i % 3]
        rows["orders"].append(dict(
            id=o,
            customer_id=None if i % 7 == 3 else customers[int(rng.integers(8))],
            placed=f"2024-01-{1 + i % 28:02d} {i % 24:02d}:15:00{offset}",
            # An order placed earlier in insertion order, as DuckDB checks each row.
            previous_id=orders[int(rng.integers(i))] if i and i % 4 else None,
        ))
    for i in range(60):
        p, s = pairs[int(rng.integers(len(pairs)))]
        rows["items"].append(dict(order_id=orders[int(rng.integers(30))],
                                  ps_supp=None if i % 11 == 5 else s, ps_part=p,
                                  qty=int(rng.integers(1, 5))))
    return rows, tables_of(rows), OPTIONS


OPTIONS = dict(
    primary_keys={"customers": "id", "products": "id", "suppliers": "id",
                  "partsupp": ["product_id", "supplier_id"], "orders": "id"},
    foreign_keys={"items": {"order_id": "orders", ("ps_part", "ps_supp"): "partsupp"},
                  "orders": {"customer_id": "customers", "previous_id": "orders"},
                  "partsupp": {"product_id": "products", "supplier_id": "suppliers"}},
    time_columns={"customers": "signup", "orders": "placed", "suppliers": "since"},
    feature_columns={"products": ["price", "weight"], "partsupp": ["cost"]},
    time_unit="us",
)
READ = {"customers": ["id", "signup"], "products": ["id", "price", "weight"],
        "suppliers": ["id", "since"], "partsupp": ["product_id", "supplier_id", "cost"],
        "orders": ["id", "customer_id", "placed", "previous_id"],
        "items": ["order_id", "ps_supp", "ps_part"]}
ORDER = {"customers": ["id"], "products": ["id"], "suppliers": ["id"],
         "partsupp": ["supplier_id", "product_id"], "orders": ["id"], "items": []}


def column(values, name):
    if name in ("signup",):
        return np.array(values, dtype="datetime64[D]")
    if name in ("since", "placed"):
        return np.array([np.datetime64(dt.datetime.fromisoformat(v).astimezone(dt.timezone.utc)
                                       .replace(tzinfo=None)) for v in values],
                        dtype="datetime64[us]")
    if name in ("price", "weight", "cost"):
        return np.array([np.nan if v is None else v for v in values], dtype=np.float64)
    if all(isinstance(v, str) or v is None for v in values):
        return np.array(values, dtype=object)
    nulls = np.array([v is None for v in values])
    return np.ma.MaskedArray(np.array([0 if v is None else v for v in values], dtype=np.int64),
                             mask=nulls)


def tables_of(rows):
    """The tables as NumPy columns in the graph's row order, by table name."""
    out = {}
    for name in sorted(rows):
        table = rows[name]
        keys = ORDER[name]
        if keys:  # np.lexsort sorts by its last key first
            order = np.lexsort([np.array([r[k] for r in table]) for k in keys])
            table = [table[i] for i in order]
        out[name] = {c: column([r[c] for r in table], c) for c in READ[name]}
    return out


class Database:
    """One empty database of a kind; `load` creates and fills the shop."""

    def __init__(self, kind, tmp_path):
        self.kind = kind
        self.sa = optional("sqlalchemy")
        if kind == "sqlite":
            self.path = tmp_path / "shop.sqlite"
            self.url = f"sqlite:///{self.path}"
            self.engine = self.sa.create_engine(self.url)
        elif kind == "duckdb":
            optional("duckdb_engine")
            self.path = tmp_path / "shop.duckdb"
            self.url = f"duckdb:///{self.path}"
            self.engine = self.sa.create_engine(self.url)
        else:
            optional("psycopg")
            url = postgres_url()
            # A schema of its own, as the connections' default schema.
            self.schema = f"tovalib_{uuid.uuid4().hex[:12]}"
            self._admin = self.sa.create_engine(url)
            with self._admin.begin() as conn:
                conn.exec_driver_sql(f"CREATE SCHEMA {self.schema}")
            self.engine = self.sa.create_engine(
                url, connect_args={"options": f"-csearch_path={self.schema}"})
            self.url = None

    @property
    def source(self):
        """What `from_database` is given: a URL, or the Engine for PostgreSQL."""
        return self.url or self.engine

    def execute(self, *statements, rows=None):
        with self.engine.begin() as conn:
            for statement in statements:
                conn.exec_driver_sql(statement)
            for name, table_rows in (rows or {}).items():
                if table_rows:
                    table = self.sa.table(name, *map(self.sa.column, table_rows[0]))
                    for row in table_rows:  # one at a time, for DuckDB's self-reference check
                        conn.execute(table.insert(), row)

    def load(self, seed=0):
        rows, tables, options = shop(seed)
        self.execute(*ddl(self.kind), rows=rows)
        return tables, options

    def close(self):
        self.engine.dispose()
        if self.kind == "postgresql":
            with self._admin.begin() as conn:
                conn.exec_driver_sql(f"DROP SCHEMA {self.schema} CASCADE")
            self._admin.dispose()


def postgres_url():
    """The test server's URL (TOVALIB_POSTGRES_URL); without one the test skips,
    or fails where every extra is required."""
    url = os.environ.get("TOVALIB_POSTGRES_URL")
    if not url:
        message = "no PostgreSQL server: set TOVALIB_POSTGRES_URL (.ci/postgres.sh starts one)"
        if os.environ.get("TOVALIB_REQUIRE_EXTRAS"):
            pytest.fail(message)
        pytest.skip(message)
    return url


@pytest.fixture(params=KINDS)
def database(request, tmp_path):
    db = Database(request.param, tmp_path)
    yield db
    db.close()


def assert_same_graph(got, want):
    for name in ("node_types", "edge_types", "num_nodes", "time_unit", "report",
                 "time_sources"):
        assert getattr(got, name) == getattr(want, name), name
    for name in ("colptr", "row", "node_time", "x"):
        got_arrays, want_arrays = getattr(got, name), getattr(want, name)
        assert got_arrays.keys() == want_arrays.keys(), name
        for key in got_arrays:
            np.testing.assert_array_equal(got_arrays[key], want_arrays[key], err_msg=key)


def write_folder(tables, folder, suffix):
    """The tables as one Parquet or CSV file each, named after the table."""
    pd = optional("pandas")
    if suffix == ".parquet":
        optional("pyarrow")
    folder.mkdir()
    for name, columns in tables.items():
        frame = pd.DataFrame({
            c: pd.Series(np.ma.getdata(v), dtype="Int64").mask(np.ma.getmaskarray(v))
            if isinstance(v, np.ma.MaskedArray) else v for c, v in columns.items()})
        if suffix == ".parquet":
            frame.to_parquet(folder / f"{name}.parquet")
        else:
            frame.to_csv(folder / f"{name}.csv", index=False)
