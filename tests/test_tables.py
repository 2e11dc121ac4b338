"""Graph.from_tables and time_sorted_csc: the arrays they build and the input they refuse."""

import sys

import numpy as np
import pytest
from conftest import i64, optional

import tovalib_data as td
from tovalib_data._optional import require
from tovalib_data.sources.files import read_table

DAY = 86400  # datetime64 columns are converted to seconds by default


def shop_arrays():
    """customers (string keys, datetime signup), products (unsorted int keys,
    a feature), orders (a null and a dangling customer), items (a null order)."""
    days = lambda *d: np.datetime64("2024-01-01") + np.array(d)  # noqa: E731
    return {
        "customers": {"id": np.array(["c1", "c2", "c3"]), "signup": days(2, 0, 1)},
        "products": {"id": i64(30, 10, 20), "price": np.array([1.5, 2.0, 3.0])},
        "orders": {
            "id": i64(0, 1, 2, 3, 4, 5),
            "customer_id": np.array(["c2", "c1", "c2", None, "c9", "c2"], dtype=object),
            "placed": days(5, 3, 1, 2, 4, 1),
        },
        "items": {
            "order_id": np.array([0, 0, 1, 2, 5, np.nan]),
            "product_id": i64(10, 30, 10, 20, 10, 20),
        },
    }


def shop_frames():
    pd = optional("pandas")
    tables = {name: pd.DataFrame(columns) for name, columns in shop_arrays().items()}
    tables["items"]["order_id"] = pd.array([0, 0, 1, 2, 5, None], dtype="Int64")
    tables["orders"]["customer_id"] = tables["orders"]["customer_id"].astype("string")
    return tables


SCHEMA = dict(
    primary_keys={"customers": "id", "products": "id", "orders": "id"},
    foreign_keys={"orders": {"customer_id": "customers"},
                  "items": {"order_id": "orders", "product_id": "products"}},
    time_columns={"customers": "signup", "orders": "placed"},
    feature_columns={"products": ["price"]},
)

# Worked out by hand: neighbours sorted by time, then id; items inherit the
# time of their order (item 5, whose order is null, the earliest time).
EXPECTED = {
    "orders__customer_id__customers": ([0, 1, 4, 4], [1, 2, 5, 0]),
    "customers__rev_customer_id__orders": ([0, 1, 2, 3, 3, 3, 4], [1, 0, 1, 1]),
    "items__order_id__orders": ([0, 2, 3, 4, 4, 4, 5], [0, 1, 2, 3, 4]),
    "orders__rev_order_id__items": ([0, 1, 2, 3, 4, 5, 5], [0, 0, 1, 2, 5]),
    "items__product_id__products": ([0, 1, 4, 6], [1, 4, 2, 0, 5, 3]),
    "products__rev_product_id__items": ([0, 1, 2, 3, 4, 5, 6], [1, 0, 1, 2, 1, 2]),
}


@pytest.mark.parametrize("make", [shop_arrays, shop_frames])
def test_small_schema_equals_the_graph_built_by_hand(make):
    graph = td.Graph.from_tables(make(), **SCHEMA)
    assert graph.node_types == ["customers", "products", "orders", "items"]
    assert ["__".join(et) for et in graph.edge_types] == list(EXPECTED)
    for key, (colptr, row) in EXPECTED.items():
        assert graph.colptr[key].dtype == graph.row[key].dtype == np.int64
        assert (graph.colptr[key].tolist(), graph.row[key].tolist()) == (colptr, row), key
    assert {t: a.tolist() for t, a in graph.node_time.items()} == {
        "customers": [(19723 + d) * DAY for d in (2, 0, 1)],
        "orders": [(19723 + d) * DAY for d in (5, 3, 1, 2, 4, 1)],
        "items": [(19723 + d) * DAY for d in (5, 5, 3, 1, 1)] + [np.iinfo(np.int64).min],
    }
    assert graph.time_sources == {"customers": "signup", "orders": "placed",
                                  "items": ["order_id"]}
    assert graph.time_unit == "s"
    assert graph.num_nodes == {"customers": 3, "products": 3, "orders": 6, "items": 6}
    assert graph.x["products"].dtype == np.float32
    assert graph.x["products"].tolist() == [[1.5], [2.0], [3.0]]
    assert graph.report == {
        "orders.customer_id": {"references": "customers", "rows": 6, "resolved": 4,
                               "dropped": 2, "null": 1},
        "items.order_id": {"references": "orders", "rows": 6, "resolved": 5,
                           "dropped": 1, "null": 1},
        "items.product_id": {"references": "products", "rows": 6, "resolved": 6,
                             "dropped": 0, "null": 0},
    }


def test_temporal_sampling_takes_the_most_recent_orders_of_a_customer():
    graph = td.Graph.from_tables(shop_arrays(), **SCHEMA)
    budgets = {"__".join(et): i64(2) for et in graph.edge_types}
    day = (19723 + 4) * DAY  # c2's orders are days 1 (o2, o5) and 5 (o0)
    for seed_time, orders in ((day, [2, 5]), (day + DAY, [5, 0])):
        nodes = graph.sampler().sample(budgets, {}, "customers", i64(1), i64(seed_time))[2]
        assert sorted(nodes["orders"].tolist()) == sorted(orders)


@pytest.mark.parametrize("timed", [True, False])
def test_edge_list_neighbourhoods_sorted_by_time_then_id(timed):
    rng = np.random.default_rng(3)
    src, dst = rng.integers(0, 50, 2000), rng.integers(0, 40, 2000)
    times = rng.integers(0, 10, 50)  # many ties, so the id order matters
    colptr, row = td.time_sorted_csc(src, dst, 40, times if timed else None, num_src=50)
    for d in range(40):
        got = row[colptr[d]:colptr[d + 1]].tolist()
        want = sorted(src[dst == d].tolist(), key=lambda s: (times[s], s) if timed else s)
        assert got == want


@pytest.mark.parametrize("seed", range(6))
def test_random_schemas_match_a_plain_reference(seed):
    """Keys in random order with gaps and misses, ties in time, one untimed
    table: every neighbourhood holds exactly the referencing rows, by (time, id)."""
    rng = np.random.default_rng(seed)
    n_a, n_b = int(rng.integers(0, 30)), int(rng.integers(1, 300))
    keys = rng.permutation(n_a) * 3 - 20
    refs = rng.choice(np.concatenate([keys, [-999, 5000]]), n_b)
    times = {"a": rng.integers(0, 5, n_a), "b": rng.integers(0, 5, n_b)}
    timed = [t for t in "ab" if rng.random() < 0.7]
    graph = td.Graph.from_tables(
        {"a": {"k": keys, "t": times["a"]}, "b": {"ref": refs, "t": times["b"]}},
        primary_keys={"a": "k"}, foreign_keys={"b": {"ref": "a"}},
        time_columns={t: "t" for t in timed},
    )
    position = {int(k): i for i, k in enumerate(keys)}
    edges = [(b, position[int(r)]) for b, r in enumerate(refs) if int(r) in position]
    for key, pairs, src, num_dst in (("b__ref__a", edges, "b", n_a),
                                     ("a__rev_ref__b", [(a, b) for b, a in edges], "a", n_b)):
        order = (lambda s: (times[src][s], s)) if src in timed else (lambda s: s)  # noqa: E731
        colptr, row = graph.colptr[key], graph.row[key]
        for d in range(num_dst):
            assert row[colptr[d]:colptr[d + 1]].tolist() == \
                sorted((s for s, t in pairs if t == d), key=order)
    assert graph.report["b.ref"]["dropped"] == n_b - len(edges)


ERRORS = [
    # (what to change, exception, message)
    (lambda t, s: t["customers"].update(id=np.array(["c1", "c2", "c1"])),
     ValueError, r"primary key customers\.id has duplicates, for example 'c1'"),
    (lambda t, s: s["foreign_keys"].update(orders={"customer_id": "clients"}),
     ValueError, r"orders\.customer_id references 'clients', which is not a table"),
    (lambda t, s: s["primary_keys"].pop("customers"),
     ValueError, r"orders\.customer_id references 'customers', which has no primary key"),
    (lambda t, s: s["time_columns"].update(orders="when"),
     ValueError, r"table 'orders' has no column 'when'"),
    (lambda t, s: t["orders"].update(id=i64(0, 1)),
     ValueError, r"table 'orders' has columns of unequal length: id has 2"),
    (lambda t, s: t["orders"].update(placed=np.arange(6.0)),
     TypeError, r"orders\.placed: unsupported time type float64"),
    (lambda t, s: t["orders"]["placed"].__setitem__(3, np.datetime64("NaT")),
     ValueError, r"orders\.placed has 1 null times \(first in row 3\)"),
    (lambda t, s: t.update(my__items=t.pop("items")),
     ValueError, r"table name 'my__items' cannot be part of an edge type key"),
    (lambda t, s: s["foreign_keys"].update(items={"order__id": "orders"}),
     ValueError, r"foreign key column 'order__id' of table 'items' cannot be part"),
    (lambda t, s: t["products"].update(id=np.array(["30", "10", "20"])),
     TypeError, r"items\.product_id holds integer keys but primary key products\.id "
                r"holds str keys"),
    (lambda t, s: s["time_columns"].update(shops="opened"),
     ValueError, r"time_columns names table 'shops', which is not among the tables"),
    (lambda t, s: s.update(time_unit="fortnight"),
     ValueError, r"time_unit must be one of D, h, m, s, ms, us, ns, not 'fortnight'"),
    (lambda t, s: s["feature_columns"].update(customers=["signup"]),
     TypeError, r"customers\.signup: unsupported feature type datetime64"),
    (lambda t, s: t["items"].update(order_id=np.array([0.5, 0, 1, 2, 5, 1])),
     TypeError, r"items\.order_id: key values must be whole numbers"),
    # A column a_b into one table and a composite (a, b) into another: one report key.
    (lambda t, s: (t.update(p={"x": i64(1, 1), "y": i64(1, 2)},
                            t={"a_b": i64(1, 9), "a": i64(1, 1), "b": i64(1, 2)}),
                   s["primary_keys"].update(p=["x", "y"], t=None), s["primary_keys"].pop("t"),
                   s["foreign_keys"].update(t={"a_b": "customers", ("a", "b"): "p"})),
     ValueError, r"foreign keys t\.a_b and t\.\(a, b\) both have the relation 'a_b'"),
]


@pytest.mark.parametrize("change, error, message", ERRORS)
def test_bad_tables_are_refused_naming_table_and_column(change, error, message):
    tables, schema = shop_arrays(), {k: {**v} for k, v in SCHEMA.items()}
    change(tables, schema)
    with pytest.raises(error, match=message):
        td.Graph.from_tables(tables, **schema)


@pytest.mark.parametrize(
    "text, want",
    [
        ("2024-01-01T10:00:00+02:00\n2024-01-02\n", ["2024-01-01T08:00:00", "2024-01-02"]),
        ("2024-01-01\nsoon\n", r"orders\.placed: row 1 holds 'soon', which is not an ISO 8601"),
    ],
)
def test_read_table_reads_csv_times_as_from_tables_takes_them(tmp_path, text, want):
    optional("pandas")
    (tmp_path / "orders.csv").write_text("placed\n" + text)
    if isinstance(want, str):
        with pytest.raises(ValueError, match=want):
            read_table(tmp_path / "orders.csv", times=["placed"])
        return
    orders = read_table(tmp_path / "orders.csv", times=["placed"])
    graph = td.Graph.from_tables({"orders": orders}, time_columns={"orders": "placed"})
    assert graph.node_time["orders"].tolist() == np.array(want, "datetime64[s]").astype(
        np.int64).tolist()


@pytest.mark.parametrize(
    "src, dst, num_dst, kwargs, message",
    [
        (i64(0, 1), i64(0, 5), 3, {}, r"dst holds id 5, but num_dst allows ids below 3; "
                                      r"are source and destination swapped\?"),
        (i64(0, 4), i64(0, 1), 3, {"src_time": i64(7, 8)},
         r"src holds id 4, but src_time allows ids below 2"),
        (i64(0, -1), i64(0, 1), 3, {}, r"src holds the negative id -1"),
        (np.array([2**64 - 1], np.uint64), i64(0), 1, {},
         r"src holds the id 18446744073709551615, beyond the int64 range of ids"),
        (i64(0), np.array([2**63], np.uint64), 1, {}, r"dst holds the id 9223372036854775808"),
        (i64(0, 1), i64(0), 3, {}, r"src and dst differ in length: 2 and 1"),
    ],
)
def test_edge_lists_out_of_range_are_refused(src, dst, num_dst, kwargs, message):
    with pytest.raises(ValueError, match=message):
        td.time_sorted_csc(src, dst, num_dst, **kwargs)


def test_tables_read_from_csv_and_parquet_keep_nullable_keys(tmp_path):
    optional("pyarrow")
    (tmp_path / "orders.csv").write_text("id,customer_id\n0,1\n1,\n2,0\n")
    orders = read_table(tmp_path / "orders.csv")
    orders.to_parquet(tmp_path / "orders.parquet")
    for table in (orders, read_table(tmp_path / "orders.parquet")):
        graph = td.Graph.from_tables(
            {"customers": {"id": i64(0, 1)}, "orders": table},
            primary_keys={"customers": "id"}, foreign_keys={"orders": {"customer_id": "customers"}},
        )
        assert graph.row["orders__customer_id__customers"].tolist() == [2, 0]
        assert graph.report["orders.customer_id"]["null"] == 1


@pytest.mark.parametrize(
    "module, extra, call",
    [
        ("pandas", "pandas", lambda p: read_table(p / "t.csv")),
        ("pyarrow", "parquet", lambda p: read_table(p / "t.parquet")),
        ("tqdm", "progress", lambda p: require("tqdm")),
        ("sqlalchemy", "sql", lambda p: td.Graph.from_database("sqlite://")),
    ],
)
def test_a_missing_optional_dependency_names_its_extra(monkeypatch, tmp_path, module, extra, call):
    monkeypatch.setitem(sys.modules, module, None)  # makes `import module` fail
    with pytest.raises(ImportError, match=rf"pip install 'tovalib\[{extra}\]'"):
        call(tmp_path)


def wide_times():
    """Time columns that do not fit int64 in the unit asked for."""
    pa = optional("pyarrow")
    return [
        (np.array(["2300-01-01"], dtype="datetime64[s]"), "ns", r"orders\.placed: the time "
         r"2300-01-01T00:00:00 in row 0 does not fit int64 as a count of 'ns' since 1970-01-01"),
        (np.array(["2024-01-01", "9999-12-31"], dtype="datetime64[us]"), "ns",
         r"orders\.placed: the time 9999-12-31T00:00:00\.000000 in row \d does not fit"),
        (np.array(["-300000-01-01", "2024-01-01"], dtype="datetime64[D]"), "us",
         r"the time -300000-01-01 in row 0 does not fit int64 as a count of 'us'"),
        (pa.chunked_array([pa.array([253402214400000000], pa.timestamp("us", tz="UTC"))]), "ns",
         r"orders\.placed: the time 9999-12-31T00:00:00\.000000 in row \d does not fit"),
        (np.array([1, 2**64 - 1], dtype=np.uint64), "s",
         r"orders\.placed: times beyond the int64 range \(up to 18446744073709551615\)"),
    ]


@pytest.mark.parametrize("case", range(5))
def test_times_that_do_not_fit_int64_are_refused_not_wrapped(case):
    times, unit, message = wide_times()[case]
    with pytest.raises(ValueError, match=message):
        td.Graph.from_tables({"orders": {"placed": times}}, time_columns={"orders": "placed"},
                             time_unit=unit)


def test_unsigned_source_times_beyond_int64_are_refused():
    times = np.array([0, 2**63], dtype=np.uint64)
    with pytest.raises(ValueError, match=r"src_time holds 9223372036854775808, beyond the int64"):
        td.time_sorted_csc(i64(0, 1), i64(0, 0), 1, times)


@pytest.mark.parametrize("form", ["DatetimeIndex", "pd.array", "Series.array"])
def test_time_zone_aware_pandas_indexes_and_arrays_are_times_in_utc(form):
    pd = optional("pandas")
    index = pd.DatetimeIndex(["2020-01-01 05:00", "2020-01-02"]).tz_localize("America/New_York")
    column = {"DatetimeIndex": index, "pd.array": pd.array(index),
              "Series.array": pd.Series(index).array}[form]
    graph = td.Graph.from_tables({"t": {"id": np.arange(2), "ts": column}},
                                 primary_keys={"t": "id"}, time_columns={"t": "ts"})
    utc = np.array(["2020-01-01T10:00", "2020-01-02T05:00"], "datetime64[s]").astype(np.int64)
    assert graph.node_time["t"].tolist() == utc.tolist()


@pytest.mark.parametrize("values, message", [
    ([1.0, 1e60], r"o\.h: row 1 holds 1e\+60, beyond the float32 range of features"),
    ([-4e38, 0.0], r"o\.h: row 0 holds -4e\+38, beyond the float32 range of features"),
    ([np.inf, 1e60], r"o\.h: row 1 holds 1e\+60"),
])
def test_finite_features_beyond_float32_are_refused_naming_the_column(values, message):
    tables = {"o": {"id": np.arange(2), "h": np.array(values)}}
    with pytest.raises(ValueError, match=message):
        td.Graph.from_tables(tables, primary_keys={"o": "id"}, feature_columns={"o": ["h"]})
    kept = td.Graph.from_tables({"o": {"id": np.arange(2), "h": np.array([np.inf, -np.inf])}},
                                primary_keys={"o": "id"}, feature_columns={"o": ["h"]})
    assert kept.x["o"][:, 0].tolist() == [np.inf, -np.inf]
