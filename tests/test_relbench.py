"""`Graph.from_relbench` against RelBench itself: the graph, the TensorFrames
and RelBench's reference model on the loader's batches."""

import math

import numpy as np
import pytest

import tovalib_data as td
from conftest import optional

# PyTorch Frame, as RelBench runs it, under pandas 3: its categorical mapper
# hands torch a read-only array, its timestamp mapper reads dt.dayofweek.
pytestmark = [pytest.mark.filterwarnings("ignore:The given NumPy array is not writable"),
              pytest.mark.filterwarnings("ignore:Series.dt.dayofweek is deprecated")]

SEED_TIME = np.datetime64("2024-02-10", "s").astype(np.int64)


def embed(texts):
    """A small deterministic text embedder: a few byte statistics per string."""
    torch = optional("torch")
    out = np.zeros((len(texts), 3), dtype=np.float32)
    for i, text in enumerate(texts):
        raw = text.encode()
        out[i] = len(raw), sum(raw) % 97, raw.count(b" ")
    return torch.from_numpy(out)


def shop():
    """A RelBench Database: users and products untimed, orders timed (one user
    key null), reviews with keys only; text, categorical, numerical and
    timestamp columns; and the column types RelBench is given."""
    pd = optional("pandas")
    base = optional("relbench.base")
    stype = optional("torch_frame").stype
    users = pd.DataFrame({"user_id": range(5),
                          "name": ["ann lee", "bob", "cy d", "dee", "ed e f"],
                          "country": ["fr", "de", "fr", "it", None]})
    products = pd.DataFrame({"product_id": range(3), "price": [1.5, np.nan, 7.25],
                          "kind": ["book", "toy", "book"]})
    placed = pd.to_datetime(["2024-01-01 10:00", "2024-01-02 00:00", "2024-01-03 08:15",
                             "2024-02-01 00:00", "2024-02-05 12:30", "2024-03-01 00:00",
                             "2024-03-02 00:00"]).astype("datetime64[ns]")
    orders = pd.DataFrame({"order_id": range(7), "user_id": [0, 1, np.nan, 3, 0, 1, 4],
                           "product_id": [2, 0, 1, 1, 2, 0, 1], "placed": placed,
                           "amount": [3.0, 1, 2, 5, 4, 1, 8]})
    reviews = pd.DataFrame({"review_id": range(4), "order_id": [5, 0, 0, 3]})
    db = base.Database({
        "users": base.Table(users, {}, "user_id"),
        "products": base.Table(products, {}, "product_id"),
        "orders": base.Table(orders, {"user_id": "users", "product_id": "products"}, "order_id",
                             "placed"),
        "reviews": base.Table(reviews, {"order_id": "orders"}, "review_id"),
    })
    col_to_stype = {
        "users": {"user_id": stype.numerical, "name": stype.text_embedded,
                  "country": stype.categorical},
        "products": {"product_id": stype.numerical, "price": stype.numerical,
                  "kind": stype.categorical},
        "orders": {"order_id": stype.numerical, "user_id": stype.numerical,
                   "product_id": stype.numerical, "placed": stype.timestamp,
                   "amount": stype.numerical},
        "reviews": {"review_id": stype.numerical, "order_id": stype.numerical},
    }
    return db, col_to_stype


def as_folder(db, path):
    """`db` written as a RelBench dataset folder: manifest.yaml and db/*.parquet."""
    manifest = optional("relbench.manifest")
    optional("pyarrow")
    (path / "db").mkdir(parents=True)
    for name, table in db.table_dict.items():
        table.df.to_parquet(path / "db" / f"{name}.parquet")
    manifest.DatasetManifest(
        name="shop", val_timestamp="2024-02-01", test_timestamp="2024-03-01",
        tables={name: manifest.TableSpec(t.pkey_col, t.time_col, t.fkey_col_to_pkey_table)
                for name, t in db.table_dict.items()},
    ).save(path / "manifest.yaml")
    return path


@pytest.fixture(scope="module")
def relbench_graph(tmp_path_factory):
    """RelBench's graph and column statistics of the shop."""
    graph_module = optional("relbench.modeling.graph")
    config = optional("torch_frame.config")
    db, col_to_stype = shop()
    data, col_stats = graph_module.make_pkey_fkey_graph(
        db, {t: dict(c) for t, c in col_to_stype.items()},
        text_embedder_cfg=config.TextEmbedderConfig(embed),
        cache_dir=str(tmp_path_factory.mktemp("relbench_cache")))
    return data, col_stats


def edges(graph, edge_type):
    """The (src, dst) pairs of an edge type, sorted."""
    key = "__".join(edge_type)
    dst = np.repeat(np.arange(len(graph.colptr[key]) - 1), np.diff(graph.colptr[key]))
    return sorted(zip(graph.row[key].tolist(), dst.tolist()))


def close(ours, theirs):
    """Equal statistics: the same nesting and keys, numbers equal to float precision."""
    if isinstance(theirs, dict):
        return ours.keys() == theirs.keys() and all(close(ours[k], theirs[k]) for k in theirs)
    if isinstance(theirs, (list, tuple)):
        return len(ours) == len(theirs) and all(map(close, ours, theirs))
    if hasattr(theirs, "tolist"):  # tensors and NumPy scalars
        return close(getattr(ours, "tolist", lambda: ours)(), theirs.tolist())
    if isinstance(theirs, float):
        return math.isclose(ours, theirs, rel_tol=1e-6, abs_tol=1e-9)
    return ours == theirs


@pytest.mark.parametrize("source", ["database", "folder"])
@pytest.mark.parametrize("inherit_time", [False, True])
def test_from_relbench_builds_relbench_graph(relbench_graph, tmp_path, source, inherit_time):
    data, col_stats = relbench_graph
    db, col_to_stype = shop()
    given = db if source == "database" else as_folder(db, tmp_path / "shop")
    graph = td.Graph.from_relbench(given, col_to_stype, text_embedder=embed,
                                   inherit_time=inherit_time)
    assert graph.num_nodes == data.num_nodes_dict
    assert sorted(graph.edge_types) == sorted(data.edge_types)  # RelBench's own names
    for edge_type in data.edge_types:
        expected = sorted(map(tuple, data[edge_type].edge_index.t().tolist()))
        assert edges(graph, edge_type) == expected, edge_type
    assert graph.report["orders.f2p_user_id"]["null"] == 1
    assert graph.time_unit == "s"
    np.testing.assert_array_equal(graph.node_time["orders"], data["orders"].time.numpy())
    if inherit_time:  # a review takes its order's time
        assert graph.time_sources["reviews"] == ["f2p_order_id"]
        np.testing.assert_array_equal(graph.node_time["reviews"],
                                      data["orders"].time.numpy()[[5, 0, 0, 3]])
    else:
        assert set(graph.node_time) == set(data.time_dict)
    for node_type in data.node_types:  # the encoders RelBench builds see the same columns
        assert graph.col_names_dict[node_type] == data[node_type].tf.col_names_dict
        assert close(graph.col_stats[node_type], col_stats[node_type]), node_type


def same_rows(ours, theirs):
    """Whether two TensorFrames hold the same columns and values (NaN equal)."""
    torch = optional("torch")
    assert ours.col_names_dict == theirs.col_names_dict
    for stype, feat in theirs.feat_dict.items():
        mine = ours.feat_dict[stype]
        if hasattr(feat, "offset"):  # multi-embedding and multi-nested tensors
            assert torch.equal(mine.offset, feat.offset), stype
            mine, feat = mine.values, feat.values
        torch.testing.assert_close(mine, feat, equal_nan=True, rtol=0, atol=0, msg=str(stype))
    return True


@pytest.mark.parametrize("seed_time", [None, SEED_TIME])
def test_batch_tensor_frames_are_pytorch_frames_rows(seed_time):
    optional("torch_geometric")
    torch_frame = optional("torch_frame")
    config = optional("torch_frame.config")
    db, col_to_stype = shop()
    graph = td.Graph.from_relbench(db, col_to_stype, text_embedder=embed)
    materialized = {}
    for name, table in db.table_dict.items():
        types = {c: s for c, s in col_to_stype[name].items()
                 if c != table.pkey_col and c not in table.fkey_col_to_pkey_table}
        df = table.df if types else table.df.assign(__const__=1.0)
        materialized[name] = torch_frame.data.Dataset(
            df, types or {"__const__": torch_frame.stype.numerical},
            col_to_text_embedder_cfg=config.TextEmbedderConfig(embed),
        ).materialize().tensor_frame
    loader = td.NeighborLoader(graph, "users", seed_time=seed_time, num_neighbors=[-1, -1, -1],
                               batch_size=2, shuffle=False, num_workers=0)
    seen = set()
    for batch in loader:
        data = batch.to_pyg()
        for node_type in data.node_types:
            store = data[node_type]
            assert same_rows(store.tf, materialized[node_type][store.n_id]), node_type
            seen.add(node_type)
    assert seen == set(db.table_dict)


def test_relbench_reference_model_trains_on_loader_batches(relbench_graph):
    torch = optional("torch")
    nn = optional("relbench.modeling.nn")
    db, col_to_stype = shop()
    graph = td.Graph.from_relbench(db, col_to_stype, text_embedder=embed)
    torch.manual_seed(0)
    channels = 8
    encoder = nn.HeteroEncoder(channels, graph.col_names_dict, graph.col_stats,
                               torch_frame_model_kwargs={"channels": channels, "num_layers": 1})
    temporal = nn.HeteroTemporalEncoder(list(graph.node_time), channels)
    gnn = nn.HeteroGraphSAGE(graph.node_types, graph.edge_types, channels, num_layers=2)
    head = torch.nn.Linear(channels, 1)
    loader = td.NeighborLoader(graph, "users", seed_time=SEED_TIME, num_neighbors=[4, 4],
                               batch_size=5, num_workers=0)
    data = next(iter(loader)).to_pyg()
    seed_time = data["users"].seed_time
    x_dict = encoder(data.tf_dict)
    for node_type, rel_time in temporal(seed_time, data.time_dict, data.batch_dict).items():
        x_dict[node_type] = x_dict[node_type] + rel_time
    x_dict = gnn(x_dict, data.edge_index_dict, data.num_sampled_nodes_dict,
                 data.num_sampled_edges_dict)
    out = head(x_dict["users"][: seed_time.size(0)]).squeeze(-1)
    loss = torch.nn.functional.binary_cross_entropy_with_logits(
        out, torch.tensor([1.0, 0, 1, 0, 1]))
    loss.backward()
    assert math.isfinite(loss.item())
    for name in ("users", "orders", "products"):  # messages reach the seeds from every hop
        grads = [p.grad for p in encoder.encoders[name].parameters() if p.grad is not None]
        assert grads and any(g.abs().sum() > 0 for g in grads), name
    assert all(p.grad is not None for p in head.parameters())


def test_from_relbench_without_types_proposes_as_relbench_does():
    db, _ = shop()
    stypes = td.Graph.from_relbench(db).stypes
    for name, table in db.table_dict.items():  # every column but the keys, the time included
        keys = {table.pkey_col, *table.fkey_col_to_pkey_table}
        assert set(stypes[name]) == (set(table.df.columns) - keys or {"__const__"}), name
    assert stypes["orders"]["placed"] == "timestamp"


@pytest.mark.parametrize("change, message", [
    (lambda db, types: types.update(ghosts={}), "tables the database does not have"),
    (lambda db, types: types["users"].update(age=None), "names columns table 'users'"),
    (lambda db, types: db.table_dict["orders"].fkey_col_to_pkey_table.update(user_id="people"),
     "unknown table 'people'"),
    (lambda db, types: setattr(db.table_dict["orders"], "time_col", "when"),
     "has no column 'when'"),
])
def test_from_relbench_refuses_inconsistent_databases(change, message):
    db, col_to_stype = shop()
    change(db, col_to_stype)
    with pytest.raises(ValueError, match=message):
        td.Graph.from_relbench(db, col_to_stype)


def test_from_relbench_refuses_a_folder_without_manifest(tmp_path):
    with pytest.raises(FileNotFoundError, match="no manifest.yaml"):
        td.Graph.from_relbench(tmp_path)
