"""Overhead of tovalib_data.NeighborLoader over bare `sample` calls.

    python benchmarks/loader.py            # large graph
    python benchmarks/loader.py --quick    # small graph, fewer rounds

On the same seed batches (users, 512 per batch, [10, 5] on every edge type,
the loader's defaults), in alternating rounds so that machine load hits
both sides alike:

- bare: one sampler, one `sample` call per batch;
- fresh: a new sampler per batch, one `sample` call each (what the loader
  must do for batches that do not depend on each other);
- loader, num_workers=0, gather=False: everything the loader does per
  batch but gathering node attributes (a sampler seeded from (seed, epoch,
  batch), or in temporal mode, where nothing is drawn at random, one reused
  sampler; the seed slice; the Batch);
- the same with the node times of the sampled nodes gathered (the default;
  the graph has no feature rows);
- loader with 1 and with 2 worker threads, the consumer doing nothing;
- `Batch.to_pyg()` per batch, against the time of sampling it (needs torch
  and torch_geometric).

Each figure is the median of per-round ratios. Plain: the sampler has no
node times; temporal: node times and one seed time per seed.
"""

from __future__ import annotations

import argparse
import os
import statistics
import sys
import threading
import time

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import numpy as np  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "src"))

import tovalib_data as td  # noqa: E402
from graphs import DAY, SPAN, make_graph  # noqa: E402

BATCH, FANOUT = 512, [10, 5]


def timed(fn):
    start = time.perf_counter()
    fn()
    return time.perf_counter() - start


def rounds(sides, count):
    """Per side, the times of `count` rounds, the sides alternating."""
    times = {name: [] for name in sides}
    for _ in range(count):
        for name, fn in sides.items():
            times[name].append(timed(fn))
    return times


def ratio(times, a, b):
    """Median over rounds of time(b) / time(a): > 1 when `a` is faster."""
    return statistics.median(tb / ta for ta, tb in zip(times[a], times[b]))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--scale", default=None)
    args = parser.parse_args()
    scale = args.scale or ("small" if args.quick else "large")
    count, batches = (3, 20) if args.quick else (15, 100)

    raw = make_graph(scale, seed=0)
    rng = np.random.default_rng(1)
    seeds = rng.permutation(raw.num_nodes["user"])[: batches * BATCH].astype(np.int64)
    seed_time = rng.integers(SPAN // 2, SPAN, len(seeds)).astype(np.int64)
    print(f"graph {scale}: {sum(raw.num_nodes.values()):,} nodes, {raw.num_edges:,} edges; "
          f"{batches} batches of {BATCH} users, {FANOUT} per edge type; {count} rounds")

    for mode in ("plain", "temporal"):
        temporal = mode == "temporal"
        graph = td.Graph(raw.node_types, raw.edge_types, raw.colptr, raw.row,
                         raw.node_time if temporal else {}, raw.num_nodes)
        times = seed_time if temporal else None

        def loader(workers, gather=False):
            return td.NeighborLoader(graph, "user", seeds=seeds, seed_time=times,
                                     num_neighbors=FANOUT, batch_size=BATCH, shuffle=False,
                                     num_workers=workers, gather=gather)

        sampler = graph.sampler(seed=0)
        budgets = loader(0).num_neighbors
        empty = np.empty(0, np.int64)
        slices = [slice(i * BATCH, (i + 1) * BATCH) for i in range(batches)]

        def bare():
            for s in slices:
                sampler.sample(budgets, {}, "user", seeds[s], empty if times is None else times[s])

        def fresh():
            for i, s in enumerate(slices):
                graph.sampler(seed=i).sample(budgets, {}, "user", seeds[s],
                                             empty if times is None else times[s])

        def run(workers, gather=False):
            # One loader for all rounds, as over the epochs of a training run.
            it = loader(workers, gather)
            return lambda: [None for _ in it]

        data = [np.random.default_rng(i).random(1_000_000) for i in range(2)]

        def sorts(n):
            """np.sort (which releases the interpreter lock) on n threads: how
            much of a second core the machine gives at the moment."""
            def go():
                threads = [threading.Thread(target=np.sort, args=(data[i],)) for i in range(n)]
                for th in threads:
                    th.start()
                for th in threads:
                    th.join()
            return go

        bare()  # warm the pages of the graph
        t = rounds({"bare": bare, "fresh": fresh, "loader0": run(0), "gathered": run(0, True),
                    "loader1": run(1),
                    "loader2": run(2), "sort1": sorts(1), "sort2": sorts(2)}, count)
        per_s = {k: batches / statistics.median(v) for k, v in t.items()}
        print(f"\n== {mode}")
        print(f"batches/s: bare {per_s['bare']:.0f}, fresh {per_s['fresh']:.0f}, "
              f"loader with 0 workers "
              f"{per_s['loader0']:.0f}, 1 worker {per_s['loader1']:.0f}, "
              f"2 workers {per_s['loader2']:.0f}")
        print(f"loader (0 workers) / bare sample calls: {ratio(t, 'loader0', 'bare'):.3f}")
        print(f"... with node times gathered / bare:    {ratio(t, 'gathered', 'bare'):.3f}")
        print(f"fresh sampler per call / bare:          {ratio(t, 'fresh', 'bare'):.3f}")
        print(f"loader (0 workers) / fresh:             {ratio(t, 'loader0', 'fresh'):.3f}")
        print(f"2 workers / 1 worker:                   {ratio(t, 'loader2', 'loader1'):.2f} "
              f"(np.sort, 2 threads doing twice the work: "
              f"{2 * ratio(t, 'sort2', 'sort1'):.2f})")

        try:
            import torch_geometric  # noqa: F401
        except ImportError:
            print("to_pyg: torch_geometric not installed")
            continue
        got = list(loader(0, gather=True))
        got[0].to_pyg()  # first call imports and warms up
        conv = rounds({"sample": run(0), "to_pyg": lambda: [b.to_pyg() for b in got]}, count)
        per_batch = statistics.median(conv["to_pyg"]) / batches
        print(f"to_pyg: {per_batch * 1e6:.0f} us per batch, "
              f"{ratio(conv, 'sample', 'to_pyg'):.3f} x the loader's time per batch")


if __name__ == "__main__":
    main()
