"""Arrow input to Graph.from_tables: pyarrow, polars, DuckDB, pandas with Arrow
dtypes and Parquet read back give the graph of the equivalent NumPy columns."""

import datetime
import decimal

import numpy as np
import pytest
from conftest import optional

import tovalib_data as td

SCHEMA = dict(
    primary_keys={"customers": "id", "orders": "id"},
    foreign_keys={"orders": {"customer_id": "customers"}, "items": {"order_id": "orders"}},
    time_columns={"customers": "signup", "orders": "placed"},
    feature_columns={"customers": ["score", "vip"], "orders": ["amount"]},
)


def numpy_tables():
    """The NumPy equivalent: string keys, int keys, datetime64 times (UTC)."""
    return {
        "customers": {
            "id": np.array(["c1", "c2", "c3"]),
            "signup": np.array(["2024-01-02T09:00", "2023-12-31T23:30", "2024-01-01T00:00"],
                               dtype="datetime64[us]"),
            "score": np.array([1.25, np.nan, 3.5]),
            "vip": np.array([1.0, np.nan, 0.0]),
        },
        "orders": {
            "id": np.array([10, 11, 12, 13]),
            "customer_id": np.array(["c2", None, "c1", "c2"], dtype=object),
            "placed": np.array(["2024-02-01", "2024-01-15", "2024-01-20", "2024-01-15"],
                               dtype="datetime64[D]"),
            "amount": np.array([9.99, 5.0, 0.01, 12.5]),
        },
        "items": {"order_id": np.array([13, 10, np.nan, 12, 99])},
    }


def arrow_tables():
    """The same tables with Arrow types: dictionary-encoded string keys, a
    scale-0 decimal key, a time-zone-aware timestamp, date32, decimal and a
    bool feature with a null."""
    pa = optional("pyarrow")
    paris = datetime.timezone(datetime.timedelta(hours=1))
    local = [datetime.datetime(2024, 1, 2, 10, 0, tzinfo=paris),
             datetime.datetime(2024, 1, 1, 0, 30, tzinfo=paris),
             datetime.datetime(2024, 1, 1, 1, 0, tzinfo=paris)]
    d = decimal.Decimal
    return {
        "customers": pa.table({
            "id": pa.array(["c1", "c2", "c3"]).dictionary_encode(),
            "signup": pa.array(local, pa.timestamp("us", tz="Europe/Paris")),
            "score": pa.array([d("1.25"), None, d("3.50")], pa.decimal128(6, 2)),
            "vip": pa.array([True, None, False]),
        }),
        "orders": pa.table({
            "id": pa.array([d(10), d(11), d(12), d(13)], pa.decimal128(12, 0)),
            "customer_id": pa.array(["c2", None, "c1", "c2"]).dictionary_encode(),
            "placed": pa.array([datetime.date(2024, 2, 1), datetime.date(2024, 1, 15),
                                datetime.date(2024, 1, 20), datetime.date(2024, 1, 15)]),
            "amount": pa.array([d("9.99"), d("5.00"), d("0.01"), d("12.50")],
                               pa.decimal128(10, 2)),
        }),
        "items": pa.table({"order_id": pa.array([13, 10, None, 12, 99], pa.int32())}),
    }


def as_reader(tables):
    pa = optional("pyarrow")
    return {n: pa.RecordBatchReader.from_batches(t.schema, t.to_batches()) for n, t in
            tables.items()}


def as_polars(tables):
    pl = optional("polars")
    return {n: pl.from_arrow(t) for n, t in tables.items()}


def as_duckdb(tables):
    duckdb = optional("duckdb")
    con = duckdb.connect()
    return {n: con.from_arrow(t) for n, t in tables.items()}


def as_pandas(tables):
    pd = optional("pandas")
    return {n: t.to_pandas(types_mapper=pd.ArrowDtype) for n, t in tables.items()}


def as_columns(tables):
    """Dicts of pyarrow ChunkedArrays."""
    return {n: {c: t.column(c) for c in t.column_names} for n, t in tables.items()}


def as_parquet(tables, tmp_path):
    pq = optional("pyarrow.parquet")
    out = {}
    for name, table in tables.items():
        pq.write_table(table, tmp_path / f"{name}.parquet")
        out[name] = td.read_table(tmp_path / f"{name}.parquet")
    return out


def same_graph(got, want):
    assert got.node_types == want.node_types and got.edge_types == want.edge_types
    for key in want.colptr:
        assert got.colptr[key].tolist() == want.colptr[key].tolist(), key
        assert got.row[key].tolist() == want.row[key].tolist(), key
    assert {t: a.tolist() for t, a in got.node_time.items()} == \
        {t: a.tolist() for t, a in want.node_time.items()}
    assert got.x.keys() == want.x.keys()
    for t in want.x:
        np.testing.assert_array_equal(got.x[t], want.x[t])
    assert (got.report, got.time_unit, got.time_sources) == \
        (want.report, want.time_unit, want.time_sources)


@pytest.mark.parametrize(
    "convert",
    [lambda t, p: t, lambda t, p: as_reader(t), lambda t, p: as_polars(t),
     lambda t, p: as_duckdb(t), lambda t, p: as_pandas(t), lambda t, p: as_columns(t),
     as_parquet],
    ids=["pyarrow", "reader", "polars", "duckdb", "pandas-arrow", "columns", "parquet"],
)
@pytest.mark.parametrize("unit", ["s", "us"])
def test_arrow_tables_give_the_graph_of_numpy_columns(convert, unit, tmp_path):
    want = td.Graph.from_tables(numpy_tables(), **SCHEMA, time_unit=unit)
    got = td.Graph.from_tables(convert(arrow_tables(), tmp_path), **SCHEMA, time_unit=unit)
    same_graph(got, want)
    assert np.isnan(got.x["customers"][1]).all()  # a null decimal and a null bool
    assert got.report["orders.customer_id"]["null"] == 1


@pytest.mark.parametrize(
    "column, role, error, message",
    [
        ("id", "pk", TypeError, r"orders\.id: decimal keys must have scale 0, not decimal128\(6, 2\)"),
        ("big", "pk", ValueError, r"orders\.big: decimal values beyond the int64 range"),
        ("tags", "feature", TypeError, r"orders\.tags: unsupported Arrow type list<item: int64>"),
    ],
)
def test_arrow_columns_that_do_not_convert_are_refused(column, role, error, message):
    pa = optional("pyarrow")
    orders = pa.table({
        "id": pa.array([decimal.Decimal("1.50")], pa.decimal128(6, 2)),
        "big": pa.array([decimal.Decimal(10**20)], pa.decimal128(38, 0)),
        "tags": pa.array([[1, 2]]),
    })
    keys = {"primary_keys": {"orders": column}} if role == "pk" else \
        {"feature_columns": {"orders": [column]}}
    with pytest.raises(error, match=message):
        td.Graph.from_tables({"orders": orders}, **keys)


@pytest.mark.parametrize("source", ["pyarrow", "duckdb"])
def test_whole_decimals_beyond_int64_are_float_features(source):
    if source == "pyarrow":
        pa = optional("pyarrow")
        orders = pa.table({"id": [1], "h": pa.array([decimal.Decimal(10**20)], pa.decimal128(38, 0))})
    else:
        orders = optional("duckdb").connect().sql(
            "SELECT 1 AS id, 100000000000000000000::DECIMAL(38, 0) AS h")
    graph = td.Graph.from_tables({"o": orders}, primary_keys={"o": "id"},
                                 feature_columns={"o": ["h"]})
    assert graph.x["o"].tolist() == [[np.float32(1e20)]]


@pytest.mark.parametrize("unit", ["ns", "s"])
def test_an_arrow_timestamp_at_the_int64_minimum_is_the_earliest_time_not_a_null(unit):
    pa = optional("pyarrow")
    low = np.iinfo(np.int64).min
    times = pa.array([low, 0], pa.timestamp("ns"))
    graph = td.Graph.from_tables({"t": {"id": np.arange(2), "ts": times}},
                                 primary_keys={"t": "id"}, time_columns={"t": "ts"},
                                 time_unit=unit)
    assert graph.node_time["t"].tolist() == [low, 0]
    with pytest.raises(ValueError, match=r"t\.ts has 1 null times \(first in row 1\)"):
        td.Graph.from_tables({"t": {"ts": pa.array([low, None], pa.timestamp("ns"))}},
                             time_columns={"t": "ts"}, time_unit=unit)
