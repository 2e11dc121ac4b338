"""Runs every example once on its small setting and checks what it prints.

Also checks the promise the memory-mapped example relies on: a sampler reads
contiguous int64 arrays, memory maps included, in place.
"""

import re
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

import numpy as np
import pytest

import tovalib
from conftest import optional

EXAMPLES = Path(__file__).resolve().parents[1] / "examples"


def run_example(name, *args, cwd=None):
    done = subprocess.run(
        [sys.executable, str(EXAMPLES / name), "--quick", *args],
        capture_output=True,
        text=True,
        cwd=cwd,
        timeout=300,
    )
    assert done.returncode == 0, done.stderr
    return done.stdout


def numbers(line):
    return [int(x) for x in re.findall(r"-?\d+", line)]


# ---------------------------------------------------------------------------
# quickstart.py


def quickstart_sections(out):
    """{mode: {"nodes": {type: cells}, "edges": {key: cells}, "seeds": [(day, n, lo, hi)]}}."""
    sections = {}
    for block in re.split(r"^== (.+) ==$", out, flags=re.M)[1:]:
        if not block.startswith("\n"):
            name, current = block, {"nodes": {}, "edges": {}, "seeds": []}
            sections[name] = current
            continue
        table = None
        for line in block.strip().splitlines():
            if line.startswith("node type"):
                table = "nodes"
            elif line.startswith("edge type"):
                table = "edges"
            elif line.startswith("seed "):
                m = re.search(r"day (\d+)\): orders (\d+), products (\d+), (.*)$", line)
                span = numbers(m.group(4)) if "order days" in line else []
                current["seeds"].append((int(m.group(1)), int(m.group(2)), *span))
            else:
                key, *cells = line.split()
                current[table][key] = [int(c) for c in cells]
    return sections


@pytest.fixture(scope="module")
def quickstart_output():
    return run_example("quickstart.py")


def test_quickstart_prints_three_consistent_summaries(quickstart_output):
    sections = quickstart_sections(quickstart_output)
    assert list(sections) == ["plain counts", "temporal counts", "time windows"]
    num_seeds = numbers(re.search(r"seeds: customers (\[.*?\])", quickstart_output).group(1))
    for name, s in sections.items():
        assert len(s["edges"]) == 6  # two per foreign key: orders, items -> orders, products
        for cells in s["nodes"].values():  # seeds, hop 1..4, total
            assert len(cells) == 6 and sum(cells[:-1]) == cells[-1], name
        for cells in s["edges"].values():  # hop 1..4, total
            assert len(cells) == 5 and sum(cells[:-1]) == cells[-1], name
        assert s["nodes"]["customers"][0] == len(num_seeds)
        # Hop 1 reaches each order of a seed once, over its one customer edge,
        # and hop 2 walks each of those orders back to that one customer.
        hop1_orders = s["nodes"]["orders"][1]
        assert s["edges"]["orders__customer_id__customers"][0] == hop1_orders > 0
        assert s["edges"]["customers__rev_customer_id__orders"][1] == hop1_orders
        # Hop 3 walks each item of hop 2 to its one product and its one order.
        hop2_items = s["nodes"]["order_items"][2]
        assert s["edges"]["products__rev_product_id__order_items"][2] == hop2_items > 0
        assert s["edges"]["orders__rev_order_id__order_items"][2] == hop2_items
        assert len(s["seeds"]) == len(num_seeds)
        assert sum(seed[1] for seed in s["seeds"]) == s["nodes"]["orders"][-1]


@pytest.mark.parametrize("mode, lower", [("temporal counts", None), ("time windows", -90)])
def test_quickstart_temporal_modes_stay_before_the_seed(quickstart_output, mode, lower):
    for day, num_orders, *span in quickstart_sections(quickstart_output)[mode]["seeds"]:
        if num_orders:
            first, last = span
            assert last <= day
            if lower is not None:
                assert first > day + lower


def test_quickstart_plain_mode_ignores_time(quickstart_output):
    seeds = quickstart_sections(quickstart_output)["plain counts"]["seeds"]
    assert any(span and span[1] > day for day, _, *span in seeds)


# ---------------------------------------------------------------------------
# The other examples


@pytest.mark.parametrize("given_out", [True, False])
def test_diagram_draws_every_sampled_node_and_edge_where_told(tmp_path, given_out):
    optional("matplotlib")
    committed = EXAMPLES.parent / "docs" / "sampled_batch.png"
    before = committed.stat().st_mtime_ns, committed.read_bytes()
    out = tmp_path / "batch.png"
    printed = run_example("diagram.py", *(("--out", str(out)) if given_out else ()))
    sampled = numbers(re.search(r"^sampled .*$", printed, re.M).group(0))
    drew = re.search(r"^drew (\d+) nodes and (\d+) edges to (.+)$", printed, re.M)
    drawn = [int(drew.group(1)), int(drew.group(2))]
    assert sampled[:2] == drawn and drawn[0] > 3
    written = Path(drew.group(3)).resolve()  # the child runs in this directory
    if given_out:
        assert written == out.resolve()
    else:  # --quick alone: a fresh temporary folder, never the committed picture
        assert written.parent.parent == Path(tempfile.gettempdir()).resolve()
    assert written.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    assert (committed.stat().st_mtime_ns, committed.read_bytes()) == before
    if not given_out:
        shutil.rmtree(written.parent)


def test_mmap_workers_match_in_memory_samples():
    out = run_example("mmap_workers.py", "--workers", "2")
    rows = [line.split() for line in out.splitlines() if re.match(r"^\d+\s+\d", line)]
    assert len(rows) == 4
    for batch, seeds, plain_nodes, plain_edges, timed_nodes, timed_edges, same in rows:
        assert same == "yes"
        assert int(plain_nodes) > int(seeds) and int(timed_nodes) > int(seeds)
        assert int(plain_edges) > 0 and int(timed_edges) > 0


def test_relational_batches_see_nothing_after_their_cut_off():
    out = run_example("relational.py")
    assert "orders.customer_id: 1 rows skipped" in out
    edges = dict(re.findall(r"^  (\S+)\s+(\d+) edges$", out, re.M))
    assert len(edges) == 6
    for key, count in edges.items():  # both directions of a foreign key hold the same edges
        src, rel, dst = key.split("__")
        back = rel[4:] if rel.startswith("rev_") else "rev_" + rel
        assert edges[f"{dst}__{back}__{src}"] == count
    batches = re.findall(r"^(\d{4}-\d\d-\d\d)\s+(\d+)\s+(\d+)\s+(\d+)\s+(\d+)\s+(\S+)\s+(\S+)$",
                         out, re.M)
    assert len(batches) == 3
    for cutoff, seeds, positive, nodes, _, latest, all_before in batches:
        assert latest <= cutoff and all_before == "yes"
        assert 0 <= int(positive) <= int(seeds) < int(nodes)


def test_prefetch_loader_yields_the_serial_batches():
    out = run_example("prefetch_loader.py", "--workers", "2", "--no-progress")
    assert "same batches as sampling serially: yes" in out
    assert re.search(r"^12 batches of 32 seeds", out, re.M)
    for kind in ("nodes", "edges"):
        low, mean, high = (float(x) for x in re.search(
            rf"^{kind} per batch: min (\d+), mean ([\d.]+), max (\d+)$", out, re.M).groups())
        assert 0 < low <= mean <= high


@pytest.mark.parametrize("name", ["train_relational.py", "train_distributed.py",
                                  "train_recommendation.py", "train_features.py"])
def test_training_examples_without_torch_name_the_extra_they_need(name):
    # torch made unimportable: the error must name tovalib[pyg], not tovalib[torch].
    code = ("import runpy, sys; sys.modules['torch'] = None; sys.argv[1:] = ['--quick']; "
            f"runpy.run_path({str(EXAMPLES / name)!r}, run_name='__main__')")
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                          timeout=300)
    assert done.returncode == 1
    assert "ImportError: torch is required for this; install it with pip install " \
           "'tovalib[pyg]'" in done.stderr, done.stderr


@pytest.mark.parametrize("encoder", ["relbench", "frame"])
def test_train_features_learns_from_every_column(encoder):
    optional("torch_geometric")
    optional("torch_frame")
    if encoder == "relbench":
        optional("relbench")
    out = run_example("train_features.py", "--encoder", encoder, "--workers", "2")
    types = dict(re.findall(r"^(\w+): (.*)$", out, re.M))
    # Text, categories (given and inferred) and numbers with nulls are all features.
    assert "description text_embedded" in types["products"]
    assert "category categorical" in types["products"]
    assert types["customers"] == "age numerical, segment categorical"
    assert f"({encoder})" in out
    epochs = re.findall(r"^epoch (\d+): training loss ([\d.]+), validation AUC ([\d.]+)$",
                        out, re.M)
    assert [int(e) for e, _, _ in epochs] == [1, 2]
    assert float(epochs[-1][1]) < float(epochs[0][1])
    assert float(epochs[-1][2]) > 0.6


@pytest.mark.parametrize(
    "name, args",
    [
        ("quickstart.py", ()),
        ("relational.py", ()),
        ("mmap_workers.py", ("--workers", "2")),
        ("prefetch_loader.py", ("--workers", "3", "--no-progress")),
    ],
)
def test_examples_print_the_same_on_every_run(name, args):
    def without_timings(text):
        return [line for line in text.splitlines() if not line.startswith("time ")]

    assert without_timings(run_example(name, *args)) == without_timings(run_example(name, *args))


# ---------------------------------------------------------------------------
# Arrays are read in place


EMPTY = np.array([], dtype=np.int64)
# b0 <- a0, a1, a2 and b1 <- a1, neighbourhoods sorted by the times of a.
COLPTR = np.array([0, 3, 4], dtype=np.int64)
ROW = np.array([0, 1, 2, 1], dtype=np.int64)
TIME_A = np.array([1, 2, 3], dtype=np.int64)


def layout(kind, values, tmp_path):
    """`values` as an array of the given layout, and whether the sampler reads it in place."""
    if kind == "memmap":
        np.save(tmp_path / "a.npy", values)
        return np.load(tmp_path / "a.npy", mmap_mode="r+"), True
    if kind == "contiguous":
        return values.copy(), True
    if kind == "strided":
        wide = np.zeros(2 * len(values), dtype=np.int64)
        wide[::2] = values
        return wide[::2], False
    return values.astype(">i8"), False  # byte-swapped


def all_neighbours_of_b0_and_b1(row):
    """A function that samples every neighbour of b0 and b1 over `row`."""
    sampler = tovalib.NeighborSampler(
        ["a", "b"], [("a", "to", "b")], {"a__to__b": COLPTR}, {"a__to__b": row}, {}
    )
    every = {"a__to__b": np.array([-1], dtype=np.int64)}
    return lambda: sampler.sample(every, {}, "b", np.array([0, 1]), EMPTY)[2]["a"].tolist()


@pytest.mark.parametrize("kind", ["memmap", "contiguous", "strided", "byteswapped"])
def test_writes_to_graph_arrays_reach_the_sampler_only_when_read_in_place(kind, tmp_path):
    row, in_place = layout(kind, ROW, tmp_path)
    nodes = all_neighbours_of_b0_and_b1(row)
    assert nodes() == [0, 1, 2, 1]
    row[0] = 2  # b0's first neighbour becomes a2
    assert nodes() == ([2, 1, 1] if in_place else [0, 1, 2, 1])


@pytest.mark.parametrize("kind", ["memmap", "strided"])
def test_writes_to_node_times_reach_the_sampler_only_when_read_in_place(kind, tmp_path):
    times, in_place = layout(kind, TIME_A, tmp_path)
    sampler = tovalib.NeighborSampler(
        ["a", "b"], [("a", "to", "b")], {"a__to__b": COLPTR}, {"a__to__b": ROW}, {"a": times}
    )

    def most_recent():  # the one most recent neighbour of b0 up to time 2
        one = {"a__to__b": np.array([1], dtype=np.int64)}
        return sampler.sample(one, {}, "b", np.array([0]), np.array([2]))[2]["a"].tolist()

    assert most_recent() == [1]
    times[2] = 2  # a2 is no longer later than the seed
    assert most_recent() == ([2] if in_place else [1])


@pytest.fixture
def examples_on_path(monkeypatch):
    monkeypatch.syspath_prepend(str(EXAMPLES))


@pytest.mark.usefixtures("examples_on_path")
def test_read_only_memory_maps_sample_like_in_memory_arrays(tmp_path):
    import tovalib_data as td
    from shop import SHOP_SCHEMA, shop_tables

    tables = shop_tables(num_customers=30, num_products=10, num_orders=200)
    td.Graph.from_tables(tables, **SHOP_SCHEMA).save(tmp_path / "shop")
    mapped = td.Graph.load(tmp_path / "shop", mmap=True)
    assert all(isinstance(a, np.memmap) for a in mapped.row.values())
    in_memory = td.Graph.load(tmp_path / "shop", mmap=False)
    budgets = {key: np.array([3, 2], dtype=np.int64) for key in mapped.colptr}
    seeds, days = np.arange(10, dtype=np.int64), np.full(10, 250, dtype=np.int64)

    def batches(graph):
        # Plain draws on a sampler without times, then temporal counts, twice.
        plain, timed = graph.sampler(seed=5, temporal=False), graph.sampler(seed=5)
        return [
            s.sample(budgets, {}, "customers", seeds, t)
            for _ in range(2)
            for s, t in ((plain, EMPTY), (timed, days))
        ]

    expected = batches(in_memory)
    for a, b in zip(batches(mapped), expected):
        for d1, d2 in zip(a, b):
            assert d1.keys() == d2.keys()
            assert all(np.array_equal(d1[k], d2[k]) for k in d1)
