"""Graph.save / Graph.load: exact round trips, memory maps, atomic replacement,
and a clear error naming the file for every corruption of the directory."""

import json

import numpy as np
import pytest
from test_tables import SCHEMA, shop_arrays

import tovalib_data as td
from tovalib_data.storage import GraphFileError


@pytest.fixture
def graph():
    return td.Graph.from_tables(shop_arrays(), **SCHEMA)


def assert_same_graph(a, b):
    for name in ("node_types", "edge_types", "num_nodes", "time_unit", "report"):
        assert getattr(a, name) == getattr(b, name), name
    for name in ("colptr", "row", "node_time", "x"):
        one, other = getattr(a, name), getattr(b, name)
        assert one.keys() == other.keys(), name
        for key in one:
            assert one[key].dtype == other[key].dtype and np.array_equal(one[key], other[key])


@pytest.mark.parametrize("mmap", [True, False])
def test_save_then_load_is_exact(graph, tmp_path, mmap):
    graph.save(tmp_path / "g")
    loaded = td.Graph.load(tmp_path / "g", mmap=mmap)
    assert_same_graph(loaded, graph)
    arrays = [*loaded.colptr.values(), *loaded.row.values(), *loaded.node_time.values(),
              *loaded.x.values()]
    assert all(isinstance(a, np.memmap) == mmap for a in arrays)
    budgets = {"__".join(et): np.array([3, 3]) for et in graph.edge_types}
    seeds, times = np.array([0, 1, 2]), np.full(3, graph.node_time["orders"].max())
    got = loaded.sampler(seed=4).sample(budgets, {}, "customers", seeds, times)
    want = graph.sampler(seed=4).sample(budgets, {}, "customers", seeds, times)
    assert [{k: v.tolist() for k, v in d.items()} for d in got] == \
        [{k: v.tolist() for k, v in d.items()} for d in want]


def test_save_replaces_a_graph_but_never_other_directories(graph, tmp_path):
    target = tmp_path / "g"
    td.Graph.from_tables({"only": {"id": np.arange(3)}}).save(target)
    graph.save(target)
    assert_same_graph(td.Graph.load(target), graph)
    assert sorted(p.name for p in tmp_path.iterdir()) == ["g"]  # nothing left beside it
    (tmp_path / "data").mkdir()
    (tmp_path / "data" / "notes.txt").write_text("mine")
    with pytest.raises(FileExistsError, match=r"data exists and is not a saved graph"):
        graph.save(tmp_path / "data")


def test_a_save_that_fails_midway_leaves_the_old_graph(graph, tmp_path, monkeypatch):
    target = tmp_path / "g"
    old = td.Graph.from_tables({"only": {"id": np.arange(3)}})
    old.save(target)
    calls = []

    def fail_on_third_array(*args, **kwargs):
        calls.append(1)
        if len(calls) == 3:
            raise OSError("No space left on device")
        return real_save(*args, **kwargs)

    real_save = np.save
    monkeypatch.setattr(np, "save", fail_on_third_array)
    for path in (target, tmp_path / "new"):
        with pytest.raises(OSError, match="No space left"):
            graph.save(path)
        calls.clear()
    assert_same_graph(td.Graph.load(target), old)
    assert sorted(p.name for p in tmp_path.iterdir()) == ["g"]


def manifest_edit(change):
    def corrupt(directory):
        path = directory / "manifest.json"
        manifest = json.loads(path.read_text())
        change(manifest)
        path.write_text(json.dumps(manifest))
    return corrupt


def rewrite(file, array):
    return lambda directory: np.save(directory / file, array)


def truncate(file, by):
    def corrupt(directory):
        data = (directory / file).read_bytes()
        (directory / file).write_bytes(data[:-by] if by > 0 else data + b"\0" * -by)
    return corrupt


CORRUPTIONS = [
    (lambda d: (d / "row.0.npy").unlink(), r"row\.0\.npy is missing"),
    (lambda d: (d / "manifest.json").unlink(), r"manifest\.json is missing"),
    (rewrite("row.0.npy", np.arange(4, dtype=np.int32)),
     r"row\.0\.npy holds a int32 array of shape \(4,\); the manifest records int64"),
    (rewrite("colptr.1.npy", np.arange(3, dtype=np.int64)),
     r"colptr\.1\.npy holds a int64 array of shape \(3,\); the manifest records int64 of "
     r"shape \(7,\)"),
    (truncate("node_time.2.npy", 8), r"node_time\.2\.npy is truncated: \d+ bytes, expected"),
    (truncate("x.1.npy", -4), r"x\.1\.npy is longer than its array"),
    (truncate("row.3.npy", 200), r"row\.3\.npy is not a readable \.npy file"),
    (manifest_edit(lambda m: m.update(version=2)),
     r"manifest\.json has format version 2; this version of tovalib_data reads version 1"),
    (manifest_edit(lambda m: m["arrays"]["row"]["orders__rev_order_id__items"].update(
        file="../row.0.npy")), r"manifest\.json: row\['orders__rev_order_id__items'\]: "
                               r"malformed entry"),
    (manifest_edit(lambda m: m["num_nodes"].update(orders=7)),
     r"manifest\.json: colptr\['customers__rev_customer_id__orders'\] has shape \(7,\), "
     r"expected \(8,\)"),
    (manifest_edit(lambda m: m.pop("arrays")), r"manifest\.json: 'arrays' is missing"),
    (lambda d: (d / "manifest.json").write_text("{not json"), r"manifest\.json is not valid JSON"),
]


@pytest.mark.parametrize("corrupt, message", CORRUPTIONS)
def test_every_corruption_is_refused_naming_the_file(graph, tmp_path, corrupt, message):
    graph.save(tmp_path / "g")
    corrupt(tmp_path / "g")
    with pytest.raises((GraphFileError, FileNotFoundError), match=message):
        td.Graph.load(tmp_path / "g")
