"""tovalib_data.LinkNeighborLoader against three NeighborLoader passes.

    python benchmarks/link_loader.py            # large graph
    python benchmarks/link_loader.py --quick    # small graph, fewer rounds

The pairs are events of the benchmark graph: (the event's user, its item, its
time), 512 pairs per batch, [10, 5] on every edge type, one negative per
pair. Per round, in alternating order so that machine load hits both sides
alike:

- link: one pass of the link loader (three subgraphs per batch, negatives
  drawn among the items that exist at each pair's time);
- three: three NeighborLoader passes over the same seeds, at the same
  times: the users, the positive items, and the negatives the link loader
  drew (collected once beforehand, so they cost this side nothing);

- draw: the negatives of every batch alone (their random stream and the
  draw), the part of the link loader's work the three passes do not have;

each with `num_workers` 0 and 2, `gather=False` and with node times
gathered (the default). The figures are medians over rounds of
time(three) / time(link): the link loader's pairs/s as a multiple of what
three node passes give, and of time(draw) / time(link) with 0 workers.
Plain: no node times and no pair times; temporal: both.
"""

from __future__ import annotations

import argparse
import os
import statistics
import sys
import time

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import numpy as np  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "src"))

import tovalib_data as td  # noqa: E402
from graphs import make_graph  # noqa: E402
from tovalib_data.loading.order import NEGATIVE, stream  # noqa: E402

BATCH, FANOUT = 512, [10, 5]


def timed(fn):
    start = time.perf_counter()
    fn()
    return time.perf_counter() - start


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--scale", default=None)
    args = parser.parse_args()
    scale = args.scale or ("small" if args.quick else "large")
    count, batches = (3, 10) if args.quick else (11, 40)

    raw = make_graph(scale, seed=0)
    # An event's user and item: the one neighbour of each event.
    made, has = raw.colptr["user__made__event"], raw.colptr["item__has__event"]
    rng = np.random.default_rng(1)
    events = np.sort(rng.choice(raw.num_nodes["event"], batches * BATCH, replace=False))
    user = raw.row["user__made__event"][made[events]]
    item = raw.row["item__has__event"][has[events]]
    print(f"graph {scale}: {sum(raw.num_nodes.values()):,} nodes, {raw.num_edges:,} edges; "
          f"{batches} batches of {BATCH} pairs, {FANOUT} per edge type, one negative; "
          f"{count} rounds")

    for mode in ("plain", "temporal"):
        temporal = mode == "temporal"
        graph = td.Graph(raw.node_types, raw.edge_types, raw.colptr, raw.row,
                         raw.node_time if temporal else {}, raw.num_nodes)
        pair_time = raw.node_time["event"][events] if temporal else None

        def link(workers, gather):
            return td.LinkNeighborLoader(graph, "user", "item", user, item, pair_time,
                                         num_neighbors=FANOUT, negatives=1, batch_size=BATCH,
                                         shuffle=False, num_workers=workers, gather=gather)

        negatives = np.concatenate([b.neg_dst[:, 0] for b in link(0, False)])

        def node(table, seeds, workers, gather):
            return td.NeighborLoader(graph, table, seeds=seeds, seed_time=pair_time,
                                     num_neighbors=FANOUT, batch_size=BATCH, shuffle=False,
                                     num_workers=workers, gather=gather)

        pool = link(0, False)._plan.pool
        starts = range(0, len(user), BATCH)

        def draw():
            for index, start in enumerate(starts):
                rng = np.random.default_rng(stream(0, NEGATIVE, 0, index))
                pool.draw(rng, item[start:start + BATCH],
                          None if pair_time is None else pair_time[start:start + BATCH], 1)

        print(f"\n== {mode}")
        print("workers  gather  link pairs/s  three passes pairs/s  link / three  draw / link")
        for workers in (0, 2):
            for gather in (False, True):
                # One loader per side for all rounds, as over a training run's epochs.
                link_loader = link(workers, gather)
                passes = [node("user", user, workers, gather), node("item", item, workers, gather),
                          node("item", negatives, workers, gather)]
                sides = {"link": lambda: [None for _ in link_loader],
                         "three": lambda: [None for p in passes for _ in p], "draw": draw}
                sides["link"]()  # warm the pages and the samplers
                times = {name: [] for name in sides}
                for _ in range(count):
                    for name, fn in sides.items():
                        times[name].append(timed(fn))
                per_s = {k: len(user) / statistics.median(v) for k, v in times.items()}
                ratio = statistics.median(b / a for a, b in zip(times["link"], times["three"]))
                share = statistics.median(b / a for a, b in zip(times["link"], times["draw"]))
                print(f"{workers:7d}  {str(gather):6s}  {per_s['link']:12.0f}  "
                      f"{per_s['three']:20.0f}  {ratio:12.2f}  "
                      f"{share if workers == 0 else float('nan'):11.3f}")


if __name__ == "__main__":
    main()
