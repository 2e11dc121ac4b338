"""Sample from memory-mapped graph files in several worker processes.

    python examples/mmap_workers.py [--quick] [--workers 2] [--dir DIR]

The graph's arrays are written once as .npy files. Every worker process maps
them with `np.load(path, mmap_mode="r")` and builds samplers over the mapped
arrays. A sampler reads contiguous int64 arrays in place, so building one
costs no copy and no time proportional to the graph: the operating system
pages the files in as sampling touches them and shares those pages between
all workers. A graph larger than memory works the same way.

Each batch gets a sampler of its own, seeded from the batch number, so the
results do not depend on which worker ran which batch. The main process
checks every batch against a sampler over ordinary in-memory arrays.
"""

from __future__ import annotations

import argparse
import json
import multiprocessing
import os
import sys
import tempfile

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import tovalib  # noqa: E402
from shop import Graph, edge_key, make_shop  # noqa: E402

COUNTS = np.array([4, 3], dtype=np.int64)


def save_graph(graph: Graph, directory: str) -> list[str]:
    """Writes one .npy file per array and a manifest; returns the file names."""
    os.makedirs(directory, exist_ok=True)
    files = []
    for kind in ("colptr", "row", "node_time"):
        for key, array in getattr(graph, kind).items():
            name = f"{kind}.{key}.npy"
            np.save(os.path.join(directory, name), np.ascontiguousarray(array, dtype=np.int64))
            files.append(name)
    manifest = {"node_types": graph.node_types, "edge_types": graph.edge_types}
    with open(os.path.join(directory, "graph.json"), "w") as f:
        json.dump(manifest, f)
    return files


def load_graph(directory: str, mmap_mode: str | None) -> dict:
    """Constructor arguments over the saved files, mapped or read into memory."""
    with open(os.path.join(directory, "graph.json")) as f:
        manifest = json.load(f)
    edge_types = [tuple(et) for et in manifest["edge_types"]]

    def load(kind, key):
        return np.load(os.path.join(directory, f"{kind}.{key}.npy"), mmap_mode=mmap_mode)

    keys = [edge_key(et) for et in edge_types]
    return {
        "node_types": manifest["node_types"],
        "edge_types": edge_types,
        "colptr": {k: load("colptr", k) for k in keys},
        "row": {k: load("row", k) for k in keys},
        "node_time": {t: load("node_time", t) for t in manifest["node_types"]},
    }


_mapped: dict = {}  # per worker process: the constructor arguments over the maps


def open_maps(directory: str) -> None:
    """Pool initializer: map the files once per worker process."""
    _mapped.update(load_graph(directory, mmap_mode="r"))


def sample_batch(graph_args: dict, batch: int, seeds: np.ndarray, seed_days: np.ndarray):
    """The batch sampled plainly (random draws) and by temporal counts."""
    budgets = {edge_key(et): COUNTS for et in graph_args["edge_types"]}
    # Building a sampler over mapped arrays copies nothing, so one per batch
    # is cheap; seeding it from the batch number makes the draws independent
    # of the worker that runs the batch.
    untimed = tovalib.NeighborSampler(**{**graph_args, "node_time": {}}, seed=1000 + batch)
    timed = tovalib.NeighborSampler(**graph_args, seed=1000 + batch)
    plain = untimed.sample(budgets, {}, "customer", seeds, np.array([], dtype=np.int64))
    temporal = timed.sample(budgets, {}, "customer", seeds, seed_days)
    return plain, temporal


def work(task: tuple[int, np.ndarray, np.ndarray]):
    batch, seeds, seed_days = task
    return sample_batch(_mapped, batch, seeds, seed_days)


def same(a: tuple, b: tuple) -> bool:
    return all(
        d1.keys() == d2.keys() and all(np.array_equal(d1[k], d2[k]) for k in d1)
        for d1, d2 in zip(a, b)
    )


def main(argv: list[str] | None = None) -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="a smaller graph and fewer batches")
    parser.add_argument("--workers", type=int, default=2)
    parser.add_argument("--dir", help="where to write the .npy files (default: a temporary one)")
    args = parser.parse_args(argv)

    if args.quick:
        graph = make_shop(num_customers=200, num_products=50, num_orders=1500)
        num_batches, batch_size = 4, 16
    else:
        graph = make_shop(num_customers=2000, num_products=400, num_orders=20000)
        num_batches, batch_size = 8, 64

    with tempfile.TemporaryDirectory() as scratch:
        directory = args.dir or scratch
        files = save_graph(graph, directory)
        size = sum(os.path.getsize(os.path.join(directory, f)) for f in files)
        print(f"wrote {len(files)} arrays ({size} bytes) to .npy files")

        rng = np.random.default_rng(1)
        tasks = []
        for b in range(num_batches):
            seeds = rng.choice(graph.num_nodes["customer"], batch_size, replace=False)
            seed_days = rng.integers(180, 365, batch_size)
            tasks.append((b, seeds.astype(np.int64), seed_days.astype(np.int64)))

        ctx = multiprocessing.get_context("spawn")  # as on every platform
        with ctx.Pool(args.workers, initializer=open_maps, initargs=(directory,)) as pool:
            results = pool.map(work, tasks, chunksize=1)

        in_memory = load_graph(directory, mmap_mode=None)
        print(f"{'batch':<7}{'seeds':>7}{'plain nodes':>13}{'plain edges':>13}"
              f"{'temporal nodes':>16}{'temporal edges':>16}  same as in memory")
        for (b, seeds, days), (plain, temporal) in zip(tasks, results):
            expected = sample_batch(in_memory, b, seeds, days)
            match = same(plain, expected[0]) and same(temporal, expected[1])
            counts = [sum(len(v) for v in r[i].values()) for r in (plain, temporal) for i in (2, 0)]
            print(f"{b:<7}{len(seeds):>7}{counts[0]:>13}{counts[1]:>13}"
                  f"{counts[2]:>16}{counts[3]:>16}  {'yes' if match else 'NO'}")
        print(f"{len(tasks)} batches sampled by a pool of {args.workers} worker processes "
              "from memory-mapped files")


if __name__ == "__main__":
    main()
