"""The loaders and label tables: seeds that do not exist yet at their
cut-off, labels reaching `batch.y` and `to_pyg()`, and `from_labels` over
pandas label tables and RelBench task tables."""

import numpy as np
import pytest

from conftest import optional
import tovalib_data as td

DAY = np.datetime64("2024-01-01", "D")


def shop(unit="D"):
    """customers <- orders -> products; customers sign up and products are
    listed on days 0..59 after DAY, orders placed after both. With unit None
    the times are plain integers (days)."""
    rng = np.random.default_rng(3)
    signup, listed = rng.integers(0, 60, 40), rng.integers(0, 60, 20)
    customer, product = rng.integers(0, 40, 600), rng.integers(0, 20, 600)
    placed = np.maximum(signup[customer], listed[product]) + rng.integers(0, 90, 600)

    def days(d):
        return DAY + d.astype("timedelta64[D]") if unit else d

    graph = td.Graph.from_tables(
        {"customers": {"id": np.arange(40), "signup": days(signup)},
         "products": {"id": np.arange(20), "listed": days(listed)},
         "orders": {"customer_id": customer, "product_id": product, "placed": days(placed)}},
        primary_keys={"customers": "id", "products": "id"},
        foreign_keys={"orders": {"customer_id": "customers", "product_id": "products"}},
        time_columns={"customers": "signup", "products": "listed", "orders": "placed"},
        **({"time_unit": unit} if unit else {}))
    return graph, signup, listed


GRAPH, SIGNUP, LISTED = shop()
OPTIONS = dict(num_neighbors=[3, 2], batch_size=16, num_workers=0)


def epoch(loader):
    """Every array of every batch (of every part of a link batch)."""
    out = []
    for batch in loader:
        for part in (batch.src, batch.dst, batch.neg) if hasattr(batch, "src") else (batch,):
            out.append([a.tolist() for d in (part.node_dict, part.row_dict, part.time_dict)
                        for a in d.values()]
                       + [part.seed_node.tolist(), part.seed_time.tolist(),
                          part.seed_index.tolist(),
                          None if part.y is None else [np.asarray(v).tolist() for v in part.y]])
    return out


@pytest.mark.parametrize("unit", ["D", None])
@pytest.mark.parametrize("kind", ["node", "link src", "link dst"])
def test_seeds_that_do_not_exist_yet_at_their_cut_off_are_refused_alike(kind, unit):
    graph, signup, listed = shop(unit)
    late_customers = np.flatnonzero(signup > 30)  # not yet signed up on day 30
    late_products = np.flatnonzero(listed > 30)
    cutoff = DAY + np.timedelta64(30, "D") if unit else 30
    customers = np.r_[np.flatnonzero(signup <= 30)[:3], late_customers]
    products = np.r_[np.flatnonzero(listed <= 30)[:3], late_products[: len(late_customers)]]
    products = np.resize(products, len(customers))
    if kind == "node":
        first, row, late = 3, customers[3], len(late_customers)
        name, make = "seeds", lambda: td.NeighborLoader(graph, "customers", seeds=customers,
                                                       seed_time=cutoff, **OPTIONS)
    else:
        ok_customers = np.resize(np.flatnonzero(signup <= 30), len(customers))
        src = customers if kind == "link src" else ok_customers
        dst = products if kind == "link dst" else np.resize(np.flatnonzero(listed <= 30),
                                                          len(customers))
        ids, table_time = (src, signup) if kind == "link src" else (dst, listed)
        late_at = np.flatnonzero(table_time[ids] > 30)
        first, row, late = late_at[0], ids[late_at[0]], len(late_at)
        name = kind.split()[1]
        make = lambda: td.LinkNeighborLoader(graph, "customers", "products", src, dst,
                                             time=cutoff, **OPTIONS)
    table = "customers" if kind != "link dst" else "products"
    own = (signup if table == "customers" else listed)[row]
    at = str(DAY + np.timedelta64(int(own), "D")) if unit else str(own)
    with pytest.raises(ValueError) as caught:
        make()
    message = str(caught.value)
    assert message.startswith(f"{name}: {late} ") and "do not exist yet" in message
    assert f"first is {'seed' if kind == 'node' else 'pair'} {first}, row {row} of " \
           f"{table!r}, at {at}, after its cut-off" in message
    assert message.endswith(f"cut-off {'2024-01-31' if unit else '30'}")


LABELS = {
    "float": np.linspace(0, 1, 40),
    "bool": np.arange(40) % 3 == 0,
    "int8, two per seed": np.arange(80, dtype=np.int8).reshape(40, 2),
    "arrays of any length": np.array([np.arange(i % 4, dtype=np.int64) for i in range(40)],
                                     dtype=object),
}


@pytest.mark.parametrize("num_workers", [0, 2])
@pytest.mark.parametrize("kind", list(LABELS))
def test_labels_reach_batch_y_and_to_pyg(kind, num_workers):
    labels = LABELS[kind]
    seeds = np.flatnonzero(SIGNUP <= 40)
    ldr = td.NeighborLoader(GRAPH, "customers", seeds=seeds, seed_time=DAY + 40,
                            labels=labels[: len(seeds)], **{**OPTIONS, "batch_size": 7,
                                                          "num_workers": num_workers})
    got = {}
    for batch in ldr:
        assert batch.y.dtype == labels.dtype and len(batch.y) == batch.batch_size
        for position, label in zip(batch.seed_index, batch.y):
            got[int(position)] = np.asarray(label).tolist()
    assert got == {p: np.asarray(labels[p]).tolist() for p in range(len(seeds))}
    optional("torch_geometric")
    batch = ldr.sample_batch(1)
    y = batch.to_pyg()["customers"].y
    expected = [np.asarray(v).tolist() for v in batch.y]
    assert ([t.tolist() for t in y] if kind == "arrays of any length" else y.tolist()) == expected
    assert "y" not in batch.to_pyg()["orders"]


@pytest.mark.parametrize("labels, error, match", [
    (np.zeros(5), ValueError, "labels has 5 entries, the seeds 40; give one label per seed"),
    (np.array(["a"] * 40), TypeError, "labels must be numbers .* got <U1"),
    (np.empty((40, 2), dtype=object), TypeError, "object array of labels must be 1-D"),
])
def test_bad_labels_are_refused(labels, error, match):
    with pytest.raises(error, match=match):
        td.NeighborLoader(GRAPH, "customers", labels=labels, **OPTIONS)


def label_table(form, recommendation=False):
    """Rows (customer, cut-off, label) over two cut-offs, as the label
    builders return them or as a RelBench task table holds them."""
    pd = optional("pandas")
    cutoffs = pd.to_datetime([DAY + 40, DAY + 70])
    rows = [(c, t) for t in cutoffs for c in np.flatnonzero(SIGNUP <= (t - DAY).days)[::3]]
    row = np.array([r for r, _ in rows])
    time = pd.to_datetime([t for _, t in rows])
    if recommendation:  # a few products each, some listed after the cut-off
        label = [np.array(sorted({(r * 7 + k) % 20 for k in range(r % 3 + 1)}), np.int64)
                 for r in row]
    else:
        label = (row % 4).astype(np.float64)
    df = pd.DataFrame({"row": row, "time": time, "label": label})
    if form == "pandas":
        return df
    relbench = optional("relbench.base")
    keys = {"customer": "customers"} | ({"product": "products"} if recommendation else {})
    renamed = df.rename(columns={"row": "customer", "time": "timestamp",
                                 "label": "product" if recommendation else "churn"})
    return relbench.Table(renamed, fkey_col_to_pkey_table=keys, time_col="timestamp")


@pytest.mark.parametrize("form", ["pandas", "relbench"])
def test_node_loader_from_labels(form):
    table = label_table(form)
    df = label_table("pandas")
    ldr = td.NeighborLoader.from_labels(GRAPH, "customers", table, **OPTIONS)
    direct = td.NeighborLoader(GRAPH, "customers", seeds=df["row"].to_numpy(),
                               seed_time=df["time"], labels=df["label"].to_numpy(), **OPTIONS)
    assert epoch(ldr) == epoch(direct)
    with pytest.raises(TypeError, match=r"takes \['seeds'\] from the table"):
        td.NeighborLoader.from_labels(GRAPH, "customers", table, seeds=[0], **OPTIONS)


@pytest.mark.parametrize("form", ["pandas", "relbench"])
def test_link_loader_from_labels(form):
    table = label_table(form, recommendation=True)
    df = label_table("pandas", recommendation=True)
    ldr = td.LinkNeighborLoader.from_labels(GRAPH, "customers", "products", table,
                                            negatives=2, **OPTIONS)
    indptr, indices = ldr.targets
    assert [indices[a:b].tolist() for a, b in zip(indptr[:-1], indptr[1:])] == \
        [v.tolist() for v in df["label"]]
    # One pair per (row, destination listed by the cut-off), in the table's order.
    day = (df["time"] - DAY.astype("datetime64[ns]")).dt.days.to_numpy()
    pairs = [(r, d, t) for r, t, ds in zip(df["row"], day, df["label"]) for d in ds
             if LISTED[d] <= t]
    assert 0 < len(pairs) < len(indices)  # some products were listed after their cut-off
    assert list(zip(ldr.src.tolist(), ldr.dst.tolist(),
                    (ldr.time - DAY.astype(int)).tolist())) == pairs
    src, dst, time = map(np.array, zip(*pairs))
    direct = td.LinkNeighborLoader(GRAPH, "customers", "products", src, dst,
                                   time=DAY + time.astype("timedelta64[D]"), negatives=2,
                                   inclusive=True, **OPTIONS)
    assert epoch(ldr) == epoch(direct)  # sampled at the cut-off itself
