"""Graph.save / Graph.load: exact round trips, memory maps, atomic replacement,
and a clear error naming the file for every corruption of the directory."""

import dataclasses
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import threading
from pathlib import Path

import numpy as np
import pytest
from test_tables import SCHEMA, shop_arrays

import tovalib_data as td
from tovalib_data.storage import MAX_REPORT_DEPTH, GraphFileError


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


# ---------------------------------------------------------------------------
# A save replaces only a saved graph


NOT_SAVED_GRAPHS = {
    "empty object": "{}",
    "a web app's manifest": json.dumps({"name": "My app", "icons": [], "start_url": "."}),
    "unreadable JSON": "{not json",
    "another format version": json.dumps({"format": "tovalib_data.graph", "version": 99}),
    "a version that is true": json.dumps({"format": "tovalib_data.graph", "version": True}),
}


@pytest.mark.parametrize("manifest", NOT_SAVED_GRAPHS.values(), ids=NOT_SAVED_GRAPHS)
def test_save_never_replaces_a_directory_that_is_not_a_saved_graph(graph, tmp_path, manifest):
    site = tmp_path / "site"
    site.mkdir()
    (site / "manifest.json").write_text(manifest)
    (site / "index.html").write_text("<p>mine</p>")
    with pytest.raises(FileExistsError, match=r"site exists and is not a saved graph"):
        graph.save(site)
    assert sorted(p.name for p in site.iterdir()) == ["index.html", "manifest.json"]
    assert (site / "manifest.json").read_text() == manifest
    assert sorted(p.name for p in tmp_path.iterdir()) == ["site"]


def tree(directory):
    return sorted((str(p.relative_to(directory)), p.is_dir()) for p in directory.rglob("*"))


def link_to_another_manifest(directory):
    for path in directory.iterdir():
        path.unlink()
    td.Graph.from_tables({"only": {"id": np.arange(3)}}).save(directory.parent / "other")
    (directory / "manifest.json").symlink_to(directory.parent / "other" / "manifest.json")


OTHER_FILES_IN_A_SAVED_GRAPH = {
    "a user's notes": (lambda d: (d / "notes.txt").write_text("mine"),
                       r"g holds 'notes.txt', which is not one of its saved graph's files"),
    "a folder": (lambda d: (d / "plots").mkdir(),
                 r"g holds 'plots', which is not one of its saved graph's files"),
    "an array's file as a link": (
        lambda d: (d / "row.0.npy").rename(d / "kept.npy") or
        (d / "row.0.npy").symlink_to(d / "kept.npy"),
        r"g holds 'kept.npy', which is not one of its saved graph's files"),
    "a file the manifest lists under a name a save never gives": (
        lambda d: (manifest_edit(lambda m: m["arrays"]["row"][CUSTOMER_ORDERS].update(
            file="notes.txt"))(d), (d / "notes.txt").write_text("mine")),
        r"g holds 'notes.txt', which is not one of its saved graph's files"),
    "only a link to another graph's manifest": (link_to_another_manifest,
                                                r"g exists and is not a saved graph"),
}


@pytest.mark.parametrize("add, message", OTHER_FILES_IN_A_SAVED_GRAPH.values(),
                         ids=OTHER_FILES_IN_A_SAVED_GRAPH)
def test_save_never_replaces_a_saved_graph_holding_other_files(graph, tmp_path, add, message):
    graph.save(tmp_path / "g")
    add(tmp_path / "g")
    before = tree(tmp_path)
    with pytest.raises(FileExistsError, match=message):
        graph.save(tmp_path / "g")
    assert tree(tmp_path) == before


@pytest.mark.parametrize("path", [".", "", "..", "g/..", Path(".")])
def test_a_path_not_ending_in_a_name_is_refused_leaving_nothing(graph, tmp_path, monkeypatch,
                                                                path):
    graph.save(tmp_path / "g")
    monkeypatch.chdir(tmp_path / "g")  # "." is the saved graph, ".." holds it
    before = tree(tmp_path)
    with pytest.raises(ValueError, match=rf"cannot save a graph to {re.escape(repr(str(path)))}"
                                         r": the path must end in the name"):
        graph.save(path)
    assert tree(tmp_path) == before


LINKED = {  # where the link at the save's path leads, and what the save does
    "a saved graph": ("graphs/v1", None),
    "a directory that is not a saved graph": (
        "mine", r"link \(a link to .*mine\) exists and is not a saved graph"),
    "nothing": ("graphs/missing", r"link \(a link to .*missing\) leads to nothing"),
}


@pytest.mark.parametrize("leads_to, message", LINKED.values(), ids=LINKED)
def test_a_save_through_a_link_replaces_the_graph_it_leads_to(graph, tmp_path, leads_to,
                                                              message):
    old = td.Graph.from_tables({"only": {"id": np.arange(3)}})
    old.save(tmp_path / "graphs" / "v1")
    (tmp_path / "mine").mkdir()
    (tmp_path / "mine" / "notes.txt").write_text("mine")
    (tmp_path / "link").symlink_to(tmp_path / leads_to)
    before = tree(tmp_path)
    if message is not None:
        with pytest.raises(FileExistsError, match=message):
            graph.save(tmp_path / "link")
        assert tree(tmp_path) == before
        return
    graph.save(tmp_path / "link")
    assert (tmp_path / "link").is_symlink()
    assert [e for e in tree(tmp_path) if not e[0].startswith("graphs/v1/")] == \
        [e for e in before if not e[0].startswith("graphs/v1/")]
    assert_same_graph(td.Graph.load(tmp_path / "graphs" / "v1"), graph)


# ---------------------------------------------------------------------------
# A saved graph's modes follow the umask


@pytest.mark.parametrize("umask", [0o022, 0o002, 0o077])
def test_saved_directory_and_files_honour_the_umask(graph, tmp_path, umask):
    old = os.umask(umask)
    try:
        graph.save(tmp_path / "g")
        graph.save(tmp_path / "g")  # a replacement too
    finally:
        os.umask(old)
    assert (tmp_path / "g").stat().st_mode & 0o777 == 0o777 & ~umask
    assert {p.stat().st_mode & 0o777 for p in (tmp_path / "g").iterdir()} == {0o666 & ~umask}


# ---------------------------------------------------------------------------
# Only regular files are read


@pytest.mark.parametrize("name", ["row.0.npy", "manifest.json"])
def test_load_refuses_a_fifo_instead_of_waiting_on_it(graph, tmp_path, name):
    graph.save(tmp_path / "g")
    fifo = tmp_path / "g" / name
    fifo.unlink()
    os.mkfifo(fifo)
    outcome = []

    def load():
        try:
            td.Graph.load(tmp_path / "g")
        except Exception as exc:  # noqa: BLE001 - the outcome is checked below
            outcome.append(exc)

    thread = threading.Thread(target=load, daemon=True)
    thread.start()
    thread.join(30)
    if thread.is_alive():  # blocked in open(): give it a writer that closes at once
        os.close(os.open(fifo, os.O_WRONLY))
        thread.join()
        pytest.fail(f"load waited on the FIFO {name}")
    assert isinstance(outcome[0], GraphFileError)
    assert re.search(rf"{re.escape(name)} is not a regular file", str(outcome[0]))


# ---------------------------------------------------------------------------
# Malformed manifests


def nested(depth):
    """A report of `depth` levels of dicts: {"a": {"a": ... {}}}."""
    report = {}
    for _ in range(depth - 1):
        report = {"a": report}
    return report


def set_entry(kind, key, **fields):
    return manifest_edit(lambda m: m["arrays"][kind][key].update(fields))


MANIFEST_FAULTS = {
    "nested too deeply": (lambda d: (d / "manifest.json").write_text("[" * 100_000),
                          r"manifest\.json is not valid JSON: nested more than 33 levels deep"),
    "a report nested deeper than a save writes": (
        manifest_edit(lambda m: m.update(report=nested(MAX_REPORT_DEPTH + 1))),
        r"manifest\.json is not valid JSON: nested more than 33 levels deep"),
    "a number too large for a float": (lambda d: (d / "manifest.json").write_text(
        (d / "manifest.json").read_text().replace('"rows": 6', '"rows": 1e400', 1)),
        r"manifest\.json is not valid JSON: 1e400 is not a finite number"),
    "no time unit": (manifest_edit(lambda m: m.pop("time_unit")),
                     r"manifest\.json: 'time_unit' is missing"),
    "an unknown time unit": (manifest_edit(lambda m: m.update(time_unit="fortnight")),
                             r"manifest\.json: time_unit must be one of D, h, m, s, ms, us, ns "
                             r"or None, not 'fortnight'"),
    "NUL in a file name": (set_entry("row", "orders__rev_order_id__items", file="row.0\0.npy"),
                           r"row\['orders__rev_order_id__items'\]: malformed entry"),
    "NaN in the report": (lambda d: (d / "manifest.json").write_text(
        (d / "manifest.json").read_text().replace('"rows": 6', '"rows": NaN', 1)),
        r"manifest\.json is not valid JSON: NaN is not a JSON value"),
    "a node count that is true": (manifest_edit(lambda m: m["num_nodes"].update(customers=True)),
                                  r"node counts must be non-negative integers"),
    "a shape beyond int64": (set_entry("x", "products", shape=[2**64, 1]),
                             r"x\['products'\]: malformed entry"),
    "a node type twice": (manifest_edit(lambda m: m["node_types"].append("orders")),
                          r"manifest\.json: node type 'orders' is listed twice"),
    "a count for an unknown type": (manifest_edit(lambda m: m["num_nodes"].update(ghosts=1)),
                                    r"node counts for unknown types \['ghosts'\]"),
    "a colptr that does not end at its row": (
        lambda d: np.save(d / "colptr.0.npy", np.array([0, 1, 2, 3], dtype=np.int64)),
        r"colptr\['orders__customer_id__customers'\] runs from 0 to 3; it must run from 0 "
        r"to the length of row\['orders__customer_id__customers'\], 4"),
}


@pytest.mark.parametrize("corrupt, message", MANIFEST_FAULTS.values(), ids=MANIFEST_FAULTS)
def test_malformed_manifests_raise_graph_file_error(graph, tmp_path, corrupt, message):
    graph.save(tmp_path / "g")
    corrupt(tmp_path / "g")
    with pytest.raises(GraphFileError, match=message):
        td.Graph.load(tmp_path / "g")


# ---------------------------------------------------------------------------
# Save refuses, before writing anything, what load would refuse or change


def changed(**fields):
    def edit(graph):
        values = {name: (dict(getattr(graph, name), **value) if isinstance(value, dict)
                         else value) for name, value in fields.items()}
        return dataclasses.replace(graph, **values)
    return edit


def without(name, key):
    return lambda g: dataclasses.replace(
        g, **{name: {k: v for k, v in getattr(g, name).items() if k != key}})


CUSTOMER_ORDERS = "customers__rev_customer_id__orders"
UNSAVABLE = {
    "inconsistent num_nodes": (changed(num_nodes={"orders": 7}),
                               rf"colptr\['{CUSTOMER_ORDERS}'\] has shape \(7,\), expected \(8,\)"),
    "node_time of an unknown type": (changed(node_time={"ghosts": np.arange(3)}),
                                     r"node_time arrays for unknown types \['ghosts'\]"),
    "node_time of the wrong length": (changed(node_time={"orders": np.arange(5)}),
                                      r"node_time\['orders'\] has shape \(5,\), expected \(6,\)"),
    "float colptr": (lambda g: changed(colptr={CUSTOMER_ORDERS: g.colptr[CUSTOMER_ORDERS]
                                               .astype(np.float64)})(g),
                     rf"colptr\['{CUSTOMER_ORDERS}'\] must hold integers, not float64"),
    "uint64 beyond int64": (lambda g: changed(node_time={"orders": np.full(6, 2**64 - 1,
                                                                           np.uint64)})(g),
                            r"node_time\['orders'\] holds values beyond the int64 range"),
    "a missing row": (without("row", CUSTOMER_ORDERS),
                      rf"no row array for '{CUSTOMER_ORDERS}'"),
    "a missing node count": (without("num_nodes", "items"), r"no node count for 'items'"),
    "features of a 1-D array": (changed(x={"products": np.zeros(3)}),
                                r"x\['products'\] must have 2 dimensions, got shape \(3,\)"),
    "a colptr that does not end at its row": (
        lambda g: changed(row={CUSTOMER_ORDERS: g.row[CUSTOMER_ORDERS][:-1]})(g),
        rf"colptr\['{CUSTOMER_ORDERS}'\] runs from 0 to 4; it must run from 0 to the length "
        rf"of row\['{CUSTOMER_ORDERS}'\], 3"),
    "an edge type of an undeclared node type": (
        lambda g: changed(edge_types=[*g.edge_types, ("ghosts", "to", "orders")])(g),
        r"edge type ghosts__to__orders has undeclared node types"),
    "an unknown time unit": (changed(time_unit="fortnight"),
                             r"time_unit must be one of D, h, m, s, ms, us, ns or None, "
                             r"not 'fortnight'"),
    "a report nested too deeply": (changed(report=nested(MAX_REPORT_DEPTH + 1)),
                                   r"report is nested more than 32 levels deep"),
    "a report nested deeper than the encoder recurses": (
        changed(report=nested(5000)), r"report is nested more than 32 levels deep"),
    "a report that is not plain JSON": (changed(report={"orders.customer_id": {
        "rows": np.int64(6)}}), r"report must be plain JSON"),
}


@pytest.mark.parametrize("edit, message", UNSAVABLE.values(), ids=UNSAVABLE)
def test_save_refuses_what_load_would_refuse_before_writing(graph, tmp_path, edit, message):
    with pytest.raises(ValueError, match=message):
        edit(graph).save(tmp_path / "g")
    assert list(tmp_path.iterdir()) == []


def test_the_deepest_report_a_save_writes_loads_back_from_deep_in_the_stack(graph, tmp_path):
    graph = dataclasses.replace(graph, report=nested(MAX_REPORT_DEPTH))
    graph.save(tmp_path / "g")

    def load_from(depth):  # 100 frames short of the recursion limit
        return load_from(depth - 1) if depth else td.Graph.load(tmp_path / "g")

    assert load_from(sys.getrecursionlimit() - 100).report == graph.report


# ---------------------------------------------------------------------------
# Saves killed midway leave nothing behind the next save


KILLED_SAVE = """
import os, signal, sys
import numpy as np
import tovalib_data as td
graph = td.Graph.from_tables(
    {"users": {"id": np.arange(3)}, "follows": {"a": np.array([0, 1]), "b": np.array([1, 2])}},
    primary_keys={"users": "id"}, foreign_keys={"follows": {"a": "users", "b": "users"}})
where, target = sys.argv[1], sys.argv[2]
real_save, real_replace, calls = np.save, os.replace, []

def kill_after(real, n):
    def call(*args, **kwargs):
        calls.append(1)
        if len(calls) == n:
            if where == "pause":
                print("saving", flush=True)
                sys.stdin.readline()
            else:
                os.kill(os.getpid(), signal.SIGKILL)
        return real(*args, **kwargs)
    return call

if where in ("writing", "pause"):
    np.save = kill_after(real_save, 1)
else:  # between moving the old graph aside and moving the new one in
    os.replace = kill_after(real_replace, 2)
graph.save(target)
"""


def killed_save(where, target, **kwargs):
    return subprocess.Popen([sys.executable, "-c", KILLED_SAVE, where, str(target)],
                            text=True, **kwargs)


def test_next_save_removes_what_killed_saves_left(graph, tmp_path):
    target = tmp_path / "g"
    graph.save(target)
    for where in ["writing", "between renames", "writing", "writing"]:
        assert killed_save(where, target).wait() == -9
    # Each killed save removed the scratch of the one before it; the graph is
    # in the ".old-*" directory of the save killed between its renames.
    left = sorted(p.name[:7] for p in tmp_path.iterdir())
    assert left == [".g.lock", ".g.new-", ".g.old-"]
    mine = [tmp_path / name for name in (".g.new-notes", ".gg.new-abcd1234", ".g.new-x.new-1")]
    for path in mine:  # not this path's scratch directories: never touched
        path.mkdir()
    graph.save(target)
    assert_same_graph(td.Graph.load(target), graph)
    assert sorted(p.name for p in tmp_path.iterdir()) == sorted(
        ["g", *(p.name for p in mine)])


def left_0_1(which, files):  # a directory as 0.1.0's save made it (tempfile.mkdtemp)
    def make(parent):
        made = Path(tempfile.mkdtemp(prefix=f".g.{which}-", dir=parent))
        for file in files:
            (made / file).mkdir() if file == "graph" else (made / file).write_bytes(b"")
        return made
    return make


def yours(name, files):  # a directory of yours, made with the umask's mode
    def make(parent):
        (parent / name).mkdir()
        for file in files:
            (parent / name / file).parent.mkdir(exist_ok=True)
            (parent / name / file).write_text("mine")
        return parent / name
    return make


def marked(which, files):  # a directory as this version's save makes it, marked as its own
    def make(parent):
        made = yours(f".g.{which}-1f0c9a3e", files)(parent)
        (made / ".tovalib-save").write_text("")
        return made
    return make


def copied(name):  # your copy of the saved graph
    def make(parent):
        return Path(shutil.copytree(parent / "g", parent / name))
    return make


BESIDE_THE_GRAPH = {  # what a save finds beside its path, and whether it removes it
    "0.1.0's scratch": (left_0_1("new", ["row.0.npy"]), True),
    "0.1.0's old graph": (left_0_1("old", ["graph"]), True),
    "0.1.0's name, finished (maybe a copy)": (left_0_1("new", ["row.0.npy", "manifest.json"]),
                                               False),
    "a backup named like 0.1.0's": (yours(".g.old-backup01", ["notes.txt"]), False),
    "a scratch name of yours": (yours(".g.new-backup01", ["row.0.npy"]), False),
    "this version's name, your files": (yours(".g.old-deadbeef", ["notes.txt"]), False),
    "this version's scratch": (marked("new", ["graph/row.0.npy", "graph/manifest.json"]), True),
    "this version's old graph": (marked("old", ["graph/manifest.json"]), True),
    "this version's name, your copy of the graph": (copied(".g.new-20240101"), False),
    "this version's name, your files in graph": (yours(".g.old-20240101", ["graph/mine.txt"]),
                                                 False),
    "the save's mark beside your files": (marked("new", ["graph/row.0.npy", "notes.txt"]),
                                          False),
}


@pytest.mark.parametrize("make, removed", BESIDE_THE_GRAPH.values(), ids=BESIDE_THE_GRAPH)
def test_a_save_removes_only_what_saves_leave_beside_it(graph, tmp_path, make, removed):
    old_umask = os.umask(0o022)
    try:
        graph.save(tmp_path / "g")
        left = make(tmp_path)
        before = tree(left)
        graph.save(tmp_path / "g")
    finally:
        os.umask(old_umask)
    assert left.exists() != removed
    assert removed or tree(left) == before


def test_a_save_in_progress_elsewhere_is_not_stale(graph, tmp_path):
    target = tmp_path / "g"
    with killed_save("pause", target, stdin=subprocess.PIPE, stdout=subprocess.PIPE) as other:
        assert other.stdout.readline() == "saving\n"  # its scratch directory exists now
        ours = threading.Thread(target=graph.save, args=(target,))
        ours.start()
        ours.join(1)  # a chance to remove the other save's scratch, if it were seen as stale
        other.stdin.write("\n")
        other.stdin.flush()
        assert other.wait() == 0
        ours.join()
    assert_same_graph(td.Graph.load(target), graph)
    assert sorted(p.name for p in tmp_path.iterdir()) == ["g"]


# ---------------------------------------------------------------------------
# Loads while another thread saves over the same path


def test_a_load_during_saves_reads_one_whole_graph_or_finds_none(graph, tmp_path):
    target, small = tmp_path / "g", td.Graph.from_tables({"only": {"id": np.arange(3)}})
    graphs = [graph, small]
    graph.save(target)
    done, errors = threading.Event(), []

    def save_in_a_loop():
        i = 0
        while not done.is_set():
            i += 1
            graphs[i % 2].save(target)

    saver = threading.Thread(target=save_in_a_loop)
    saver.start()
    try:
        for _ in range(1500):
            try:
                loaded = td.Graph.load(target, mmap=False)
            except FileNotFoundError as exc:  # the moment between a save's two renames
                assert "manifest.json is missing" in str(exc)
                continue
            except GraphFileError as exc:
                errors.append(str(exc))
                continue
            assert_same_graph(loaded, graphs[loaded.node_types == small.node_types])
    finally:
        done.set()
        saver.join()
    assert errors == []
