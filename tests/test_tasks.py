"""Label tables, time splits, ranking metrics and baselines (tovalib_data.tasks).

The declared label tables are checked against the same task written in SQL
and run by DuckDB on seeded random tables; SQL tasks and the database forms
of a source run on real databases.
"""

import functools
from collections import Counter

import numpy as np
import pytest
from conftest import optional
from databases import database  # noqa: F401 (a fixture)

import tovalib_data as td

pd = optional("pandas")
duckdb = optional("duckdb")

SCHEMA = dict(
    primary_keys={"customers": "id", "orders": "id", "products": "id"},
    foreign_keys={"orders": {"customer_id": "customers", "product_id": "products"},
                  "items": {"order_id": "orders", "product_id": "products"}},
    time_columns={"customers": "signup", "orders": "placed"},
)
CUTOFFS = [40, 75, 100, 150]


def random_shop(seed=0, customers=60, products=25, orders=600, items=1500):
    """A shop with shuffled, sparse keys, customers signing up over time,
    orders of unknown and null customers, and null amounts."""
    rng = np.random.default_rng(seed)
    customer_id = rng.permutation(customers) * 3 + 7
    order_id = rng.permutation(orders) + 1000
    buyer = customer_id[rng.integers(0, customers, orders)].astype(float)
    buyer[rng.random(orders) < 0.05] = np.nan  # no customer
    buyer[rng.random(orders) < 0.05] = 2  # a customer that does not exist
    amount = rng.normal(50, 20, orders).round(2)
    amount[rng.random(orders) < 0.1] = np.nan
    return {
        "customers": pd.DataFrame({"id": customer_id, "signup": rng.integers(0, 120, customers)}),
        "products": pd.DataFrame({"id": np.arange(products)}),
        "orders": pd.DataFrame({"id": order_id, "customer_id": pd.array(buyer, dtype="Int64"),
                                "product_id": rng.integers(0, products, orders),
                                "placed": rng.integers(0, 200, orders), "amount": amount}),
        "items": pd.DataFrame({"order_id": order_id[rng.integers(0, orders, items)],
                               "product_id": rng.integers(0, products, items),
                               "qty": rng.integers(1, 5, items).astype(float)}),
    }


def run_sql(tables, sql):
    """DuckDB's answer, each table given its row number as `_row`."""
    with duckdb.connect() as con:
        for name, frame in tables.items():
            con.register(name, frame.assign(_row=np.arange(len(frame))))
        con.register("timestamp_df", pd.DataFrame({"timestamp": CUTOFFS}))
        return con.execute(sql).df()


EVENTS = {  # (entity, time, value) per event, as SQL
    None: "SELECT c._row AS entity, o.placed AS t, o.amount AS v "
          "FROM orders o JOIN customers c ON o.customer_id = c.id",
    "orders": "SELECT c._row AS entity, o.placed AS t, i.qty AS v FROM items i "
              "JOIN orders o ON i.order_id = o.id JOIN customers c ON o.customer_id = c.id",
}
AGGREGATES = {"count": "COUNT(ev.t)", "exists": "COUNT(ev.t) > 0", "churn": "COUNT(ev.t) = 0",
              "sum": "COALESCE(SUM(ev.v), 0)", "mean": "AVG(ev.v)", "min": "MIN(ev.v)",
              "max": "MAX(ev.v)"}
ACTIVE = ("AND EXISTS (SELECT 1 FROM ev a WHERE a.entity = c._row "
          "AND a.t > ts.timestamp - {a} AND a.t <= ts.timestamp)")


@pytest.mark.parametrize("aggregate", AGGREGATES)
@pytest.mark.parametrize("via, active_within, include_empty",
                         [(None, None, True), ("orders", None, True), (None, 30, False),
                          ("orders", 45, True)])
def test_entity_labels_match_the_task_in_sql(aggregate, via, active_within, include_empty):
    tables = random_shop()
    sql = f"""
        WITH ev AS ({EVENTS[via]})
        SELECT c._row AS row, ts.timestamp AS time, {AGGREGATES[aggregate]} AS label
        FROM timestamp_df ts JOIN customers c ON c.signup <= ts.timestamp
        LEFT JOIN ev ON ev.entity = c._row AND ev.t > ts.timestamp AND ev.t <= ts.timestamp + 30
        WHERE TRUE {ACTIVE.format(a=active_within) if active_within else ""}
        GROUP BY ALL {"" if include_empty else "HAVING COUNT(ev.t) > 0"}
        ORDER BY time, row"""
    want = run_sql(tables, sql)
    got = td.entity_labels(tables, "customers", "items" if via else "orders", CUTOFFS, 30,
                           aggregate=aggregate, via=via, active_within=active_within,
                           include_empty=include_empty, **SCHEMA,
                           column=("qty" if via else "amount")
                           if aggregate in ("sum", "mean", "min", "max") else None)
    assert len(want) > 0
    np.testing.assert_array_equal(got["row"], want["row"])
    np.testing.assert_array_equal(got["time"], want["time"])
    np.testing.assert_allclose(got["label"].to_numpy(dtype=float),
                               want["label"].to_numpy(dtype=float), rtol=1e-12)


@pytest.mark.parametrize("via, active_within", [(None, None), ("orders", None), (None, 40)])
def test_recommendation_labels_match_the_task_in_sql(via, active_within):
    tables = random_shop(seed=1)
    pairs = ("SELECT c._row AS entity, o.placed AS t, p._row AS dst FROM orders o "
             "JOIN customers c ON o.customer_id = c.id JOIN products p ON o.product_id = p.id"
             if via is None else
             "SELECT c._row AS entity, o.placed AS t, p._row AS dst FROM items i "
             "JOIN orders o ON i.order_id = o.id JOIN customers c ON o.customer_id = c.id "
             "JOIN products p ON i.product_id = p.id")
    active = (f"AND EXISTS (SELECT 1 FROM orders o JOIN customers a ON o.customer_id = a.id "
              f"WHERE a._row = c._row AND o.placed > ts.timestamp - {active_within} "
              f"AND o.placed <= ts.timestamp)" if active_within else "")
    want = run_sql(tables, f"""
        WITH ev AS ({pairs})
        SELECT c._row AS row, ts.timestamp AS time, list_sort(list(DISTINCT ev.dst)) AS label
        FROM timestamp_df ts JOIN customers c ON c.signup <= ts.timestamp
        JOIN ev ON ev.entity = c._row AND ev.t > ts.timestamp AND ev.t <= ts.timestamp + 30
        WHERE TRUE {active}
        GROUP BY ALL ORDER BY time, row""")
    got = td.recommendation_labels(tables, "customers", "items" if via else "orders", "products",
                                   CUTOFFS, 30, via=via, active_within=active_within, **SCHEMA)
    assert len(want) > 0
    np.testing.assert_array_equal(got["row"], want["row"])
    np.testing.assert_array_equal(got["time"], want["time"])
    assert [a.tolist() for a in got["label"]] == [list(a) for a in want["label"]]
    assert all(a.dtype == np.int64 for a in got["label"])


@pytest.mark.parametrize("task", ["entity", "recommendation"])
def test_events_through_a_via_table_without_rows_reach_no_entity(task):
    tables = random_shop(seed=3)
    tables["orders"] = tables["orders"].iloc[:0]  # every item's order is unknown
    if task == "entity":
        got = td.entity_labels(tables, "customers", "items", CUTOFFS, 30, via="orders", **SCHEMA)
        assert len(got) and not got["label"].any()
    else:
        got = td.recommendation_labels(tables, "customers", "items", "products", CUTOFFS, 30,
                                       via="orders", **SCHEMA)
        assert len(got) == 0


COUNT_SQL = """
    SELECT t.timestamp, c.id, COUNT(o.id) AS orders
    FROM timestamp_df t JOIN customers c ON c.signup <= t.timestamp
    LEFT JOIN orders o ON o.customer_id = c.id AND o.placed > t.timestamp
                      AND o.placed <= t.timestamp + INTERVAL '{timedelta}'
    GROUP BY t.timestamp, c.id"""
DATABASE_TIMES = {"customers": "signup", "orders": "placed"}


@pytest.mark.parametrize("from_database", [False, True])
def test_a_database_source_numbers_rows_as_a_graph_and_sql_labels_agree(database,  # noqa: F811
                                                                        from_database):
    tables, options = database.load()
    keys = {k: options[k] for k in ("primary_keys", "foreign_keys")}
    cutoffs = pd.date_range("2023-06-01", periods=3, freq="7D") + pd.Timedelta(days=200)
    horizon = pd.Timedelta(days=10)
    want = td.entity_labels(tables, "customers", "orders", cutoffs, horizon,
                            time_columns=DATABASE_TIMES, time_unit="us", **keys)
    assert want["label"].sum() > 0
    if from_database:
        got = td.entity_labels(database.source, "customers", "orders", cutoffs, horizon,
                               time_columns=DATABASE_TIMES, time_unit="us")
        pd.testing.assert_frame_equal(got, want)  # rows numbered in primary-key order
    else:
        # A DuckDB file open in this process is read through its engine;
        # once closed, DuckDB attaches it itself.
        for attach in (False, True) if database.kind == "duckdb" else (False,):
            if attach:
                database.engine.dispose()
            got = td.sql_labels(database.source, COUNT_SQL, cutoffs, entity="customers",
                                timedelta=horizon)
            np.testing.assert_array_equal(got["row"], want["row"])
            np.testing.assert_array_equal(got["label"], want["label"])
            np.testing.assert_array_equal(tables["customers"]["id"][got["row"]], got["key"])


def test_keys_given_for_a_sqlite_file_that_declares_none(tmp_path):
    # Rows are primary-key order and the edges come from the keys given, as
    # from_database numbers and links them; "customers" are read in id order.
    tables = random_shop(seed=4)
    tables["customers"] = tables["customers"].sort_values("id", ignore_index=True)
    tables["orders"] = tables["orders"].sort_values("id", ignore_index=True)
    sqlite3 = optional("sqlite3")
    optional("sqlalchemy")
    path = tmp_path / "shop.db"
    with sqlite3.connect(path) as con:  # tables without declared keys
        for name in ("customers", "orders"):
            tables[name].to_sql(name, con, index=False)
    keys = dict(primary_keys={"customers": "id", "orders": "id"},
                foreign_keys={"orders": {"customer_id": "customers"}})
    want = td.entity_labels({t: tables[t] for t in ("customers", "orders")}, "customers",
                            "orders", CUTOFFS, 30, time_columns=SCHEMA["time_columns"], **keys)
    got = td.entity_labels(str(path), "customers", "orders", CUTOFFS, 30,
                           time_columns=SCHEMA["time_columns"], **keys)
    assert want["label"].sum() > 0
    pd.testing.assert_frame_equal(got, want)


def stores_shop(seed=0):
    """Products without a time of their own, in stores opened over time:
    a graph gives each product its store's opening time."""
    rng = np.random.default_rng(seed)
    sales = 300
    tables = {
        "stores": pd.DataFrame({"id": np.arange(6), "opened": rng.integers(0, 100, 6)}),
        "products": pd.DataFrame({"id": np.arange(40), "store_id": rng.integers(0, 6, 40)}),
        "buyers": pd.DataFrame({"id": np.arange(10)}),
        "sales": pd.DataFrame({"id": np.arange(sales), "product_id": rng.integers(0, 40, sales),
                               "buyer_id": rng.integers(0, 10, sales),
                               "at": rng.integers(0, 200, sales)}),
    }
    keys = dict(primary_keys={t: "id" for t in tables},
                foreign_keys={"products": {"store_id": "stores"},
                              "sales": {"product_id": "products", "buyer_id": "buyers"}},
                time_columns={"stores": "opened", "sales": "at"})
    return tables, keys


@pytest.mark.parametrize("task", ["entity", "recommendation"])
@pytest.mark.parametrize("from_database", [False, True])
def test_untimed_entities_exist_from_the_time_the_graph_gives_them(tmp_path, task,
                                                                   from_database):
    tables, keys = stores_shop()
    source = tables
    if from_database:
        sqlite3 = optional("sqlite3")
        optional("sqlalchemy")
        source = str(tmp_path / "stores.db")
        with sqlite3.connect(source) as con:
            for name, frame in tables.items():
                frame.to_sql(name, con, index=False)
        graph = td.Graph.from_database(source, **keys)
    else:
        graph = td.Graph.from_tables(tables, **keys)
    born = graph.node_time["products"]
    assert 0 < (born <= 50).sum() < len(born)
    if task == "entity":
        labels = td.entity_labels(source, "products", "sales", [50, 120], 30, **keys)
        for cutoff in (50, 120):
            np.testing.assert_array_equal(labels["row"][labels["time"] == cutoff],
                                          np.flatnonzero(born <= cutoff))
        loader = td.NeighborLoader.from_labels(graph, "products", labels, num_neighbors=[4],
                                               batch_size=64)
    else:
        labels = td.recommendation_labels(source, "products", "sales", "buyers", [50, 120], 30,
                                          **keys)
        assert (born[labels["row"]] <= labels["time"]).all()
        assert (born > 50).sum() and len(labels)
        loader = td.LinkNeighborLoader.from_labels(graph, "products", "buyers", labels,
                                                   num_neighbors=[4], batch_size=64)
    list(loader)  # every seed exists at its cut-off: the loaders refuse none


def test_sql_labels_on_tables_match_entity_labels():
    tables = random_shop(seed=2)
    sql = COUNT_SQL.replace("INTERVAL '{timedelta}'", "{days}")
    got = td.sql_labels(tables, sql, CUTOFFS, entity="customers",
                        primary_keys=SCHEMA["primary_keys"], days=30)
    want = td.entity_labels(tables, "customers", "orders", CUTOFFS, 30, **SCHEMA)
    np.testing.assert_array_equal(got["row"], want["row"])
    np.testing.assert_array_equal(got["time"], want["time"])
    np.testing.assert_array_equal(got["label"], want["label"])


@pytest.mark.parametrize("call, message", [
    (lambda t: td.sql_labels(t, "SELECT 5 AS id, timestamp, 1 AS y FROM timestamp_df", CUTOFFS,
                             entity="customers", primary_keys=SCHEMA["primary_keys"]),
     "4 keys not in customers.id, the first 5"),
    (lambda t: td.sql_labels(t, COUNT_SQL, CUTOFFS, entity="customers",
                             primary_keys=SCHEMA["primary_keys"]), r"parameter \{timedelta\}"),
    (lambda t: td.sql_labels(t, "SELECT id, 1 AS y FROM customers", CUTOFFS, entity="customers",
                             primary_keys=SCHEMA["primary_keys"]), "'timestamp'"),
    (lambda t: td.entity_labels(t, "products", "items", CUTOFFS, 30, **SCHEMA),
     "needs a time column"),
    (lambda t: td.entity_labels(t, "customers", "orders", np.array(CUTOFFS, "datetime64[D]"),
                                30, **SCHEMA), "must be integers"),
    (lambda t: td.entity_labels(t, "customers", "orders", CUTOFFS, np.timedelta64(1, "D"),
                                **SCHEMA), "horizon must be an integer"),
    (lambda t: td.entity_labels(t, "customers", "orders", [5, 5], 30, **SCHEMA),
     "given twice"),
    (lambda t: td.entity_labels(t, "customers", "orders", CUTOFFS, 30, aggregate="sum",
                                **SCHEMA), "needs the column"),
    (lambda t: td.entity_labels(t, "customers", "orders", CUTOFFS, np.timedelta64(1, "M"),
                                **SCHEMA), "horizon: 1 months has no fixed length"),
    (lambda t: td.time_split(functools.partial(td.entity_labels, t, "customers", "orders",
                                               horizon=30, **SCHEMA), "2024-01-01",
                             "2024-02-01", 30), "val_cutoff must be a date and time"),
])
def test_label_tables_refuse_what_they_cannot_answer(call, message):
    with pytest.raises((ValueError, TypeError), match=message):
        call(random_shop())


def test_durations_must_be_whole_units():
    tables = {"customers": {"id": np.arange(3), "signup": np.array(["2024-01-01"] * 3,
                                                                    "datetime64[D]")},
              "orders": {"customer_id": np.arange(3),
                         "placed": np.array(["2024-01-02"] * 3, "datetime64[D]")}}
    keys = dict(primary_keys={"customers": "id"}, foreign_keys={"orders": {"customer_id":
                                                                          "customers"}},
                time_columns={"customers": "signup", "orders": "placed"}, time_unit="D")
    got = td.entity_labels(tables, "customers", "orders", pd.Timestamp("2024-01-01"),
                           pd.Timedelta(days=1), **keys)
    assert got["label"].tolist() == [1, 1, 1]
    with pytest.raises(ValueError, match="not a whole number of 'D'"):
        td.entity_labels(tables, "customers", "orders", pd.Timestamp("2024-01-01"),
                         pd.Timedelta(hours=36), **keys)


# -- time_split ---------------------------------------------------------------


def recorder(first=None):
    """A task whose table has one row per cut-off from `first` on."""
    calls = []

    def make(cutoffs):
        cutoffs = np.atleast_1d(np.asarray(cutoffs))
        calls.append(cutoffs)
        kept = cutoffs if first is None else cutoffs[cutoffs >= first]
        return pd.DataFrame({"row": 0, "time": kept, "label": 1.0})

    return make, calls


@pytest.mark.parametrize("val, test, horizon, num_train, num_eval, first, train_times", [
    (100, 120, 10, 3, 2, None, [70, 80, 90]),
    (100, 120, 10, None, 1, 55, [60, 70, 80, 90]),
    (np.datetime64("2024-03-01"), np.datetime64("2024-04-01"), np.timedelta64(7, "D"), 2, 1,
     None, [np.datetime64("2024-02-16"), np.datetime64("2024-02-23")]),
])
def test_time_split_schedule(val, test, horizon, num_train, num_eval, first, train_times):
    make, _ = recorder(first)
    train, val_table, test_table = td.time_split(make, val, test, horizon, num_train=num_train,
                                                 num_eval=num_eval)
    assert sorted(set(train["time"])) == train_times
    assert list(val_table["time"]) == [val + i * horizon for i in range(num_eval)]
    assert list(test_table["time"]) == [test + i * horizon for i in range(num_eval)]
    # No label window of a part reaches into the next.
    assert max(train["time"]) + horizon <= val
    assert max(val_table["time"]) + horizon <= test


@pytest.mark.parametrize("make, test, num_eval, message", [
    (recorder()[0], 90, 1, "test_cutoff 90 is before val_cutoff 100"),
    (recorder()[0], 105, 1, "validation cut-off 100 has labels up to 110, past test_cutoff 105"),
    (recorder()[0], 115, 2, "validation cut-off 110 has labels up to 120"),
    (lambda cutoffs: pd.DataFrame({"row": [0], "time": [95], "label": [1]}), 120, 1,
     "holds the cut-off 95"),
])
def test_time_split_refuses_schedules_that_leak(make, test, num_eval, message):
    with pytest.raises(ValueError, match=message):
        td.time_split(make, 100, test, 10, num_train=2, num_eval=num_eval)


# -- metrics and baselines -----------------------------------------------------


def plain_metrics(top, targets, k):
    """MAP, precision and recall at k, one row at a time."""
    rows = [(list(t[:k]), set(targets[i])) for i, t in enumerate(top) if len(targets[i])]
    ap, precision, recall = [], [], []
    for ranked, truth in rows:
        hits, total = 0, 0.0
        for rank, item in enumerate(ranked, 1):
            if item in truth and item not in ranked[:rank - 1]:  # a repeat is no hit
                hits += 1
                total += hits / rank
        ap.append(total / min(k, len(truth)))
        precision.append(hits / k)
        recall.append(hits / len(truth))
    return {"map": np.mean(ap), "precision": np.mean(precision), "recall": np.mean(recall)}


METRICS = {"map": td.map_at_k, "precision": td.precision_at_k, "recall": td.recall_at_k}


@pytest.mark.parametrize("metric", METRICS)
@pytest.mark.parametrize("seed, k, as_scores", [(0, 5, False), (1, 3, True), (2, 12, True)])
def test_ranking_metrics_match_a_plain_loop(metric, seed, k, as_scores):
    rng = np.random.default_rng(seed)
    rows, items = 40, 15
    targets = [rng.choice(items, rng.integers(0, 6), replace=False) for _ in range(rows)]
    indptr = np.r_[0, np.cumsum([len(t) for t in targets])]
    indices = np.concatenate(targets).astype(np.int64)
    scores = rng.random((rows, items))
    top = np.argsort(-scores, axis=1)[:, :k]
    if not as_scores:  # integer predictions may repeat an item
        top[:, 1] = top[:, 0]
    want = plain_metrics(top, targets, k)[metric]
    got = METRICS[metric](scores if as_scores else top, (indptr, indices), k)
    assert got == pytest.approx(want, rel=1e-12)


def test_baselines_predict_from_training_labels():
    train = pd.DataFrame({"label": [True, False, True, True]})
    assert td.baseline(train, np.zeros(3)).tolist() == [0.75] * 3
    labels = [np.array([3, 1]), np.array([1, 2]), np.array([1, 3]), np.array([4])]
    rec = pd.DataFrame({"label": pd.Series(labels, dtype=object)})
    counts = Counter(np.concatenate(labels).tolist())
    top = td.popular(rec, range(2), 2)
    assert top.shape == (2, 2)
    assert top[0].tolist() == [1, 3] and counts[1] == 3 and counts[3] == 2
    with pytest.raises(TypeError, match="popular"):
        td.baseline(rec, range(2))


def test_a_split_of_declared_labels_feeds_the_metrics():
    tables = random_shop(seed=3)
    make = functools.partial(td.recommendation_labels, tables, "customers", "orders", "products",
                             horizon=20, **SCHEMA)
    train, val, _ = td.time_split(make, 160, 180, 20)
    assert train["time"].min() > 0 and train["time"].max() == 140
    top = td.popular(train, val, 5)
    sizes = val["label"].map(len).to_numpy()
    score = td.map_at_k(top, (np.r_[0, np.cumsum(sizes)], np.concatenate(list(val["label"]))), 5)
    assert 0 < score <= 1
