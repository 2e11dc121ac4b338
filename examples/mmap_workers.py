"""Sample from memory-mapped graph files in several worker processes.

    python examples/mmap_workers.py [--quick] [--workers 2] [--dir DIR]

The graph is built from tables and saved once with `Graph.save` (a directory
of .npy files and a manifest). Every worker process opens it with
`Graph.load(path, mmap=True)`, which maps the files read-only, and builds
samplers over the mapped arrays. A sampler reads contiguous int64 arrays in place, so building one
costs no copy and no time proportional to the graph: the operating system
pages the files in as sampling touches them and shares those pages between
all workers. A graph larger than memory works the same way.

Each batch gets a sampler of its own, seeded from the batch number, so the
results do not depend on which worker ran which batch. The main process
checks every batch against a sampler over ordinary in-memory arrays.
"""

from __future__ import annotations

import argparse
import multiprocessing
import os
import sys
import tempfile

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import tovalib_data as td  # noqa: E402
from shop import SHOP_SCHEMA, shop_tables  # noqa: E402

COUNTS = np.array([4, 3], dtype=np.int64)

_mapped: list[td.Graph] = []  # per worker process: the graph over the maps


def open_maps(directory: str) -> None:
    """Pool initializer: map the files once per worker process."""
    _mapped.append(td.Graph.load(directory, mmap=True))


def sample_batch(graph: td.Graph, batch: int, seeds: np.ndarray, seed_days: np.ndarray):
    """The batch sampled plainly (random draws) and by temporal counts."""
    budgets = {key: COUNTS for key in graph.colptr}
    # Building a sampler over mapped arrays copies nothing, so one per batch
    # is cheap; seeding it from the batch number makes the draws independent
    # of the worker that runs the batch.
    untimed = graph.sampler(seed=1000 + batch, temporal=False)
    timed = graph.sampler(seed=1000 + batch)
    plain = untimed.sample(budgets, {}, "customers", seeds, np.array([], dtype=np.int64))
    temporal = timed.sample(budgets, {}, "customers", seeds, seed_days)
    return plain, temporal


def work(task: tuple[int, np.ndarray, np.ndarray]):
    batch, seeds, seed_days = task
    return sample_batch(_mapped[0], batch, seeds, seed_days)


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
        sizes = {"num_customers": 200, "num_products": 50, "num_orders": 1500}
        num_batches, batch_size = 4, 16
    else:
        sizes = {"num_customers": 2000, "num_products": 400, "num_orders": 20000}
        num_batches, batch_size = 8, 64
    graph = td.Graph.from_tables(shop_tables(**sizes), **SHOP_SCHEMA)

    with tempfile.TemporaryDirectory() as scratch:
        directory = os.path.join(args.dir or scratch, "shop")
        graph.save(directory)
        files = [f for f in os.listdir(directory) if f.endswith(".npy")]
        size = sum(os.path.getsize(os.path.join(directory, f)) for f in files)
        print(f"saved {len(files)} arrays ({size} bytes) as .npy files with a manifest")

        rng = np.random.default_rng(1)
        tasks = []
        for b in range(num_batches):
            seeds = rng.choice(graph.num_nodes["customers"], batch_size, replace=False)
            seed_days = rng.integers(180, 365, batch_size)
            tasks.append((b, seeds.astype(np.int64), seed_days.astype(np.int64)))

        ctx = multiprocessing.get_context("spawn")  # as on every platform
        with ctx.Pool(args.workers, initializer=open_maps, initargs=(directory,)) as pool:
            results = pool.map(work, tasks, chunksize=1)

        in_memory = td.Graph.load(directory, mmap=False)
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
