"""Typed features: inference and overrides, statistics fitted up to a time,
TensorFrames equal to PyTorch Frame's own, the save/load round trip, and
rows by primary key."""

import datetime
import json
import os
import subprocess
import sys
import warnings

import numpy as np
import pytest
from conftest import optional
from databases import database  # noqa: F401

import tovalib_data as td
from tovalib_data.storage import GraphFileError

pd = optional("pandas")
torch_frame = optional("torch_frame")
from torch_frame.config import TextEmbedderConfig  # noqa: E402
from torch_frame.data import Dataset  # noqa: E402

N = 60


def shop(n=N):
    """Users (untimed) with every kind of column, and their orders (timed,
    a day each, 2024-01-01 onwards)."""
    rng = np.random.default_rng(7)
    users = pd.DataFrame({
        "id": np.arange(n) * 10 + 5,  # keys with gaps
        "age": rng.integers(18, 80, n).astype(float),
        "plan": rng.choice(["free", "pro", "team"], n),
        "bio": [f"user {i} likes {w}" for i, w in enumerate(rng.choice(["tea", "rain"], n))],
        # many combinations, each rare; each tag common
        "tags": ["|".join(t for t, keep in zip("abcde", row) if keep) or "a"
                 for row in rng.random((n, 5)) < 0.5],
        "signup": pd.Timestamp("2023-01-01") + pd.to_timedelta(rng.integers(0, 300, n),
                                                               unit="D"),
        "vec": [list(v) for v in rng.random((n, 3))],
        "meta": [{"k": i} for i in range(n)],  # no type fits: left out
    })
    days = 4 * n
    orders = pd.DataFrame({
        "id": np.arange(days),
        "user_id": users["id"].to_numpy()[rng.integers(0, n, days)],
        "at": pd.Timestamp("2024-01-01") + pd.to_timedelta(np.arange(days), unit="D"),
        "amount": np.round(rng.random(days) * 100, 2),
        "status": np.where(np.arange(days) % 5 == 0, "returned", "kept"),
    })
    return {"users": users, "orders": orders}


SCHEMA = dict(primary_keys={"users": "id", "orders": "id"},
              foreign_keys={"orders": {"user_id": "users"}},
              time_columns={"orders": "at"})
TYPES = {"users": {"age": "numerical", "plan": "categorical", "bio": "text_embedded",
                   "tags": "multicategorical", "signup": "timestamp", "vec": "embedding"}}


def build(tables=None, **kwargs):
    return td.Graph.from_tables(shop() if tables is None else tables, **SCHEMA, **kwargs)


@pytest.mark.parametrize("features, expected", [
    # PyTorch Frame's inference; keys and the time column are never inferred
    ("auto", {"users": {"age": "numerical", "plan": "categorical", "bio": "text_embedded",
                        "tags": "multicategorical", "signup": "timestamp",
                        "vec": "embedding"},
              "orders": {"amount": "numerical", "status": "categorical"}}),
    # a dict overrides column by column (stype objects or names), None leaves a
    # column out, a named key column is dropped, a named time column is kept,
    # columns and tables not named are inferred
    ({"users": {"age": torch_frame.categorical, "bio": None, "id": "numerical"},
      "orders": {"at": "timestamp", "status": "text_embedded"}},
     {"users": {"age": "categorical", "plan": "categorical", "tags": "multicategorical",
                "signup": "timestamp", "vec": "embedding"},
      "orders": {"at": "timestamp", "amount": "numerical", "status": "text_embedded"}}),
])
def test_column_types_are_inferred_and_overridden(features, expected):
    graph = build(features=features)
    assert graph.stypes == expected
    names = {t: {s.value: sorted(c) for s, c in d.items()} for t, d in
             graph.col_names_dict.items()}
    merged = {t: {} for t in expected}  # text columns are embedding columns in a frame
    for t, types in expected.items():
        for column, s in types.items():
            merged[t].setdefault("embedding" if s == "text_embedded" else s, []).append(column)
    assert names == {t: {s: sorted(c) for s, c in d.items()} for t, d in merged.items()}
    assert "typed: age " in graph.summary() or "typed: age" in graph.summary()


@pytest.mark.parametrize("features, error, match", [
    ("everything", ValueError, "'auto', None or a dict"),
    ({"nope": {}}, ValueError, "table 'nope'"),
    ({"users": {"nope": "numerical"}}, ValueError, "column 'nope'"),
    ({"users": {"age": "ordinal"}}, ValueError, r"features\['users'\]\['age'\].*ordinal"),
    ({"users": {"bio": "numerical"}}, TypeError, "users.bio cannot be a numerical"),
    ({"users": {"meta": "embedding"}}, TypeError, "users.meta does not fit its type embedding"),
])
def test_bad_features_name_the_table_and_column(features, error, match):
    with pytest.raises(error, match=match):
        build(features=features)


def test_a_table_without_feature_columns_gets_a_constant():
    graph = build(features={"orders": {"amount": None, "status": None}})
    assert graph.stypes["orders"] == {"__const__": "numerical"}
    assert np.all(graph.features["orders"].arrays["numerical"] == 1)


@pytest.mark.parametrize("fit_until", [
    np.datetime64("2024-01-20"), datetime.date(2024, 1, 20), pd.Timestamp("2024-01-20"),
    np.datetime64("2024-01-20", "s").astype(np.int64),  # in the graph's unit
])
def test_statistics_see_only_rows_up_to_fit_until(fit_until):
    tables = shop()
    orders = tables["orders"]
    late = orders["at"] > pd.Timestamp("2024-01-20")
    changed = orders.copy()
    changed.loc[late, "amount"] = 1e6  # values only after fit_until...
    changed.loc[late, "status"] = "lost"  # ...and a category only after it
    types = {"orders": {"amount": "numerical", "status": "categorical"}}
    graph = build({**tables, "orders": changed}, features=types, fit_until=fit_until)
    early = build({**tables, "orders": orders[~late].reset_index(drop=True)}, features=types)
    assert graph.features["orders"].stats == early.features["orders"].stats
    # every row of an untimed table counts
    assert graph.features["users"].stats == build(features=types).features["users"].stats
    status = graph.features["orders"].col_names["categorical"].index("status")
    codes = graph.features["orders"].arrays["categorical"][:, status]
    assert (codes[late.to_numpy()] == -1).all() and (codes[~late.to_numpy()] >= 0).all()
    assert (graph.features["orders"].arrays["numerical"][late.to_numpy()] == 1e6).all()
    unfitted = build({**tables, "orders": changed}, features=types)
    assert unfitted.features["orders"].stats != graph.features["orders"].stats



def _floats(n, seed=3):
    return np.random.default_rng(seed).normal(1e6, 3.0, n)


@pytest.mark.parametrize("stype, values, sep", [
    # numerical: NaN and infinities dropped, more rows than NumPy's summation block
    ("numerical", np.where(np.arange(20_000) % 7 == 0, np.nan, _floats(20_000)), None),
    ("numerical", np.r_[_floats(50), np.inf, -np.inf, np.nan], None),
    ("numerical", np.array([np.nan, np.inf, -np.inf]), None),  # nothing finite
    ("numerical", np.array([], dtype=float), None),  # no row fitted
    ("numerical", np.array([2.5]), None),
    ("numerical", np.arange(10_001, dtype=np.int64) * 999_983, None),  # integers stay integers
    ("numerical", np.arange(200, dtype=np.uint8), None),
    ("numerical", _floats(100).astype(np.float32), None),
    ("numerical", np.array([True, False, True]), None),  # both refuse booleans alike
    ("numerical", pd.array([1.5, None, 4.0], dtype="Float64"), None),  # left to PyTorch Frame
    # multicategorical: ties ordered as the sets PyTorch Frame builds iterate
    ("multicategorical", ["h|g|f|e|d|c|b|a", "b|a", "a|b", None, " ", "a| a |c", np.nan,
                          "x|y", "y|x"], "|"),
    ("multicategorical", ["red, blue", "blue", "", "green ,red"], ","),
    ("multicategorical", [None, None], "|"),
    ("multicategorical", pd.Series(["b|a", "a|b|c", None, "c"], dtype="str"), "|"),
    ("multicategorical", [["a", "b"], ["b"], None], None),  # lists: left to PyTorch Frame
    ("categorical", ["b", "a", None, "a", "b", "c"], None),
])
def test_column_statistics_equal_pytorch_frames(stype, values, sep):
    from torch_frame.data.stats import compute_col_stats

    from tovalib_data.features.stats import column_stats

    ser = values if isinstance(values, pd.Series) else \
        pd.Series(values, dtype=object if stype != "numerical" else None)

    def outcome(compute):
        try:
            # repr tells floats apart bit for bit (and 1 from 1.0, np.int32 from int)
            return repr(compute(ser.copy(), torch_frame.stype(stype), sep=sep))
        except Exception as exc:
            return type(exc)
    assert outcome(column_stats) == outcome(compute_col_stats)


def frame_equal(ours, theirs):
    """Two TensorFrames hold the same columns and values (NaN equal to NaN)."""
    assert {s: c for s, c in ours.col_names_dict.items()} == theirs.col_names_dict
    for s, feat in theirs.feat_dict.items():
        mine = ours.feat_dict[s]
        if hasattr(feat, "offset"):
            assert mine.offset.tolist() == feat.offset.tolist(), s
            mine, feat = mine.values, feat.values
        assert mine.dtype == feat.dtype and mine.shape == feat.shape, s
        assert np.array_equal(mine.numpy(), feat.numpy(), equal_nan=True), s


def test_batch_frames_equal_pytorch_frames_materialization():
    optional("torch_geometric")
    seen = []

    def embedder(texts):  # deterministic, and it records what it was asked
        seen.append(list(texts))
        import torch
        return torch.tensor([[len(t), t.count("e"), t.count("a")] for t in texts],
                            dtype=torch.float32)

    tables = shop()
    config = TextEmbedderConfig(text_embedder=embedder, batch_size=None)
    graph = build(tables, features={**TYPES, "orders": {"status": "categorical"}},
                  fit_until=np.datetime64("2024-02-01"), text_embedder=config)
    assert all(len(batch) == len(set(batch)) for batch in seen)  # each string once
    loader = td.NeighborLoader(graph, "users", num_neighbors=[5, 5], batch_size=16,
                               seed_time=np.datetime64("2024-03-01"))
    data = next(iter(loader)).to_pyg()
    assert set(data.tf_dict) == {"users", "orders"}
    dropped = {"users": ["id"], "orders": ["id", "user_id", "at"]}
    for node_type, stypes in graph.stypes.items():
        n_id = data[node_type].n_id.numpy()
        frame = tables[node_type].drop(columns=dropped[node_type])
        # pandas' own string dtype is not what PyTorch Frame's mappers read
        frame = frame.astype({c: object for c in frame if frame[c].dtype == "str"})
        # The same stats given to PyTorch Frame: ours were fitted on a subset of
        # rows, so its own would differ; the encoding must not.
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            theirs = Dataset(frame.iloc[n_id].reset_index(drop=True),
                             {c: torch_frame.stype(s) for c, s in stypes.items()},
                             col_to_sep={"tags": "|"}, col_to_text_embedder_cfg=config
                             ).materialize(col_stats=graph.col_stats[node_type]).tensor_frame
        frame_equal(data[node_type].tf, theirs)


def test_default_text_embedding_is_deterministic_and_close_for_shared_words():
    from tovalib_data.features.text import hashed_ngrams

    texts = ["red wooden chair", "Red wooden chairs", "quantum physics", "", "é"]
    vectors = hashed_ngrams(texts)
    assert np.array_equal(vectors, hashed_ngrams(list(texts)))
    assert np.allclose(np.linalg.norm(vectors[[0, 1, 2, 4]], axis=1), 1)
    assert not vectors[3].any()
    assert vectors[0] @ vectors[1] > 0.6 > abs(vectors[0] @ vectors[2])
    code = ("from tovalib_data.features.text import hashed_ngrams; "
            "print(hashed_ngrams(['red wooden chair']).round(5).tolist())")
    other = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                           check=True, env={**os.environ, "PYTHONHASHSEED": "123"})
    assert np.allclose(json.loads(other.stdout), vectors[:1].round(5))


@pytest.mark.parametrize("mmap", [True, False])
def test_features_and_keys_survive_save_and_load(tmp_path, mmap):
    graph = build(features=TYPES)
    graph.save(tmp_path / "g")
    loaded = td.Graph.load(tmp_path / "g", mmap=mmap)
    assert loaded.stypes == graph.stypes and loaded.summary() == graph.summary()
    for node_type, nf in graph.features.items():
        other = loaded.features[node_type]
        assert other.col_names == nf.col_names and other.stats == nf.stats
        for part, array in nf.arrays.items():
            assert isinstance(other.arrays[part], np.memmap) == mmap
            assert np.array_equal(array, other.arrays[part], equal_nan=True), part
    assert loaded.rows("users", [15, 5]).tolist() == [1, 0]
    graph.save(tmp_path / "g")  # a saved graph with features is replaced


CHILD = """
import sys
sys.modules["torch"] = None  # `import torch` fails
import numpy as np
import tovalib_data as td
graph = td.Graph.load(sys.argv[1])
print(type(graph.features["users"].arrays["embedding.values"]).__name__)
print(graph.rows("users", np.array([25])).tolist())
batch = next(iter(td.NeighborLoader(graph, "users", num_neighbors=[2], batch_size=4)))
print(sorted(batch.frame_dict["users"].arrays))
print(graph.summary().splitlines()[1:3])
"""


def test_a_saved_graph_loads_and_gathers_without_torch(tmp_path):
    build(features=TYPES).save(tmp_path / "g")
    done = subprocess.run([sys.executable, "-c", CHILD, str(tmp_path / "g")],
                          capture_output=True, text=True, env=os.environ)
    assert done.returncode == 0, done.stderr
    lines = done.stdout.splitlines()
    assert lines[:2] == ["memmap", "[2]"]
    assert lines[2] == str(sorted(["numerical", "categorical", "timestamp", "embedding.values",
                                   "embedding.offset", "multicategorical.values",
                                   "multicategorical.offset"]))
    assert "typed: age numerical" in lines[3]


@pytest.mark.parametrize("corrupt, match", [
    (lambda m: m["features"]["users"]["arrays"]["numerical"].update(shape=[N, 9]),
     "the manifest records float32 of shape .60, 9."),
    (lambda m: m["features"]["users"]["arrays"]["categorical"].update(dtype="<f4"),
     "records dtype"),
    (lambda m: m["keys"]["users"]["arrays"][0].update(shape=[N + 1]), "keys.*shape"),
])
def test_a_manifest_that_does_not_match_its_feature_files_is_refused(tmp_path, corrupt,
                                                                      match):
    build(features=TYPES).save(tmp_path / "g")
    path = tmp_path / "g" / "manifest.json"
    manifest = json.loads(path.read_text())
    corrupt(manifest)
    path.write_text(json.dumps(manifest))
    with pytest.raises(GraphFileError, match=match):
        td.Graph.load(tmp_path / "g")


@pytest.mark.parametrize("keys, table, lookup, rows", [
    ({"id": np.array([3, 9, 4, 100])}, "id", np.array([100, 3, 4]), [3, 0, 2]),  # gaps
    ({"id": np.array(["b", "a", "ä", "c\0x"], dtype=object)}, "id",
     ["ä", "c\0x", "a"], [2, 3, 1]),  # strings
    ({"shop": np.array([1, 1, 2]), "sku": np.array(["x", "y", "x"])}, ["shop", "sku"],
     (np.array([2, 1]), np.array(["x", "y"])), [2, 1]),  # composite, in the key's order
    ({"shop": np.array([1, 1, 2]), "sku": np.array(["x", "y", "x"])}, ["shop", "sku"],
     {"sku": ["x"], "shop": [1]}, [0]),  # composite, by column
])
def test_rows_maps_key_values_to_rows(tmp_path, keys, table, lookup, rows):
    graph = td.Graph.from_tables({"t": keys}, primary_keys={"t": table})
    assert graph.rows("t", lookup).tolist() == rows
    if np.asarray(keys[next(iter(keys))]).dtype != object:
        graph.save(tmp_path / "g")
        assert td.Graph.load(tmp_path / "g").rows("t", lookup).tolist() == rows


@pytest.mark.parametrize("lookup, error, match", [
    (np.array([5, 7, 8]), KeyError, "no row has the key 7 .position 1 of 3; 2 unknown"),
    (np.array(["5"]), TypeError, "str values but the key holds int"),
])
def test_rows_names_the_first_unknown_key(lookup, error, match):
    graph = build()
    with pytest.raises(error, match=match):
        graph.rows("users", lookup)


def test_typed_features_from_a_database_read_text_and_dates(database):  # noqa: F811
    database.execute(
        "CREATE TABLE films (id INTEGER PRIMARY KEY, rating TEXT, length INTEGER, "
        "released DATE, price DECIMAL(5, 2), note TEXT)",
        "CREATE TABLE rentals (id INTEGER PRIMARY KEY, rented TIMESTAMP, "
        "film_id INTEGER REFERENCES films(id))",
        rows={"films": [dict(id=i, rating="GPR"[i % 3], length=60 + i,
                             released=f"2020-01-{1 + i % 28:02d}", price=i / 4, note=None)
                        for i in range(30)],
              "rentals": [dict(id=i, rented=f"2024-01-{1 + i % 28:02d} 10:00:00",
                               film_id=i % 30) for i in range(40)]})
    with pytest.warns(UserWarning, match=r"films \(released\)"):
        graph = td.Graph.from_database(database.source, time_columns={"rentals": "rented"},
                                       features="auto")
    # the all-null note is left out; keys and the time column are no features
    assert graph.stypes == {"films": {"rating": "categorical", "length": "numerical",
                                      "released": "timestamp", "price": "numerical"},
                            "rentals": {"__const__": "numerical"}}
    assert graph.features["films"].stats["rating"]["COUNT"] == [["G", "P", "R"], [10, 10, 10]]
    assert graph.features["films"].stats["released"]["YEAR_RANGE"] == [2020, 2020]
    assert graph.rows("films", [29, 0]).tolist() == [29, 0]


@pytest.mark.parametrize("kind", ["sqlite-file", "parquet-folder"])
def test_the_build_command_types_every_column_and_prints_the_types(kind, tmp_path, capsys):
    from test_cli import OPTIONS, shop_source

    from tovalib_data.cli import main

    source, keys, tables, options = shop_source(kind, tmp_path)
    out = tmp_path / "graph"
    assert main(["build", source, str(out), *OPTIONS, *keys, "--typed",
                 "--fit-until", "2024-01-10"]) == 0
    printed = capsys.readouterr().out
    graph = td.Graph.load(out)
    assert graph.summary() in printed and "typed: __const__ numerical" in printed
    # the shop's only non-key columns are times and the numbers given to --features
    assert graph.stypes["products"] == {"price": "numerical", "weight": "numerical"}
    with pytest.raises(SystemExit):
        main(["build", source, str(tmp_path / "other"), *keys, "--fit-until", "2024-01-10"])
    assert "--fit-until: only with --typed" in capsys.readouterr().err
