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

Before and after a change of the loader, side by side:

    python benchmarks/loader.py --before OLD_SRC [--rounds 6] [--features 16]

OLD_SRC is a directory holding the `tovalib_data` package to compare with
(for example `git archive main src | tar -x -C /tmp/old`, then /tmp/old/src);
the other side is this checkout's. Both use the same `tovalib` extension.
Rounds alternate between the two, each side in a fresh process reading the
same pickled graph (users, items and events of the large graph, each with
`--features` float32 feature columns); per side and round, in temporal mode
(integer seed times): building a loader (time, and the peak of memory
allocated while it builds, by tracemalloc), then epochs of `--batches`
batches with 0 workers without and with gathering, with 2 workers (the
consumer idle, then calling `to_pyg()` on each batch), and `to_pyg()` on
every batch of an epoch; the median of three. With 0 workers (and for
`to_pyg()`) the figure is the thread's CPU time, which other jobs on a
shared machine disturb less; with workers, wall time. The epoch's shares are those of a loop with 0
workers that converts every batch: sampling (the epoch without gathering),
gathering (the difference) and `to_pyg()`.
"""

from __future__ import annotations

import argparse
import json
import os
import pickle
import statistics
import subprocess
import sys
import tempfile
import threading
import time

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import numpy as np  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "src"))

import tovalib_data as td  # noqa: E402
from graphs import SPAN, make_graph  # noqa: E402

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


def side(src, graph_file, features, batches, repeats):
    """One side of a before/after round, in a process of its own: the
    loader's build and epochs with the `tovalib_data` found in `src`."""
    sys.path.insert(0, src)
    for name in [m for m in sys.modules if m.split(".")[0] == "tovalib_data"]:
        del sys.modules[name]
    import tracemalloc

    import tovalib_data

    with open(graph_file, "rb") as f:
        raw = pickle.load(f)
    rng = np.random.default_rng(2)
    x = {t: rng.random((n, features), dtype=np.float32) for t, n in raw.num_nodes.items()}
    graph = tovalib_data.Graph(raw.node_types, raw.edge_types, raw.colptr, raw.row,
                               raw.node_time, raw.num_nodes, x=x, time_unit="s")
    seeds = rng.permutation(raw.num_nodes["user"])[: batches * BATCH].astype(np.int64)
    seed_time = rng.integers(SPAN // 2, SPAN, len(seeds)).astype(np.int64)
    seed_time = np.maximum(seed_time, raw.node_time["user"][seeds])

    def loader(workers, gather=True):
        return tovalib_data.NeighborLoader(
            graph, "user", seeds=seeds, seed_time=seed_time, num_neighbors=FANOUT,
            batch_size=BATCH, shuffle=False, num_workers=workers, gather=gather)

    tracemalloc.start()
    start = time.perf_counter()
    loader(0)
    out = {"build_s": time.perf_counter() - start,
           "build_peak_mib": tracemalloc.get_traced_memory()[1] / 2**20}
    tracemalloc.stop()
    loaders = {"sample": loader(0, False), "gather": loader(0), "two": loader(2)}
    held = list(loaders["gather"])  # also warms the pages and the samplers
    held[0].to_pyg()  # the first call imports PyG
    sides = {
        "sample": lambda: [None for _ in loaders["sample"]],
        "gather": lambda: [None for _ in loaders["gather"]],
        "two": lambda: [None for _ in loaders["two"]],
        "two_pyg": lambda: [b.to_pyg() for b in loaders["two"]],
        "to_pyg": lambda: [b.to_pyg() for b in held],
    }
    # With 0 workers all the work is this thread's: its CPU time, which other
    # jobs on the machine disturb less than the wall clock. Workers: wall time.
    times = {k: [] for k in sides}
    for _ in range(repeats):
        for k, fn in sides.items():
            clock = time.perf_counter if k.startswith("two") else time.thread_time
            start = clock()
            fn()
            times[k].append(clock() - start)
    out.update({k: statistics.median(v) for k, v in times.items()})
    print(json.dumps(out))


def before_after(args):
    raw = make_graph(args.scale or "large", seed=0)
    after = os.path.join(os.path.dirname(HERE), "src")
    with tempfile.TemporaryDirectory() as tmp:
        graph_file = os.path.join(tmp, "graph.pkl")
        with open(graph_file, "wb") as f:
            pickle.dump(raw, f, protocol=5)
        pyg = to_pyg_side_by_side(args.before, raw, args.features)
        del raw
        got = {"before": [], "after": []}
        for r in range(args.rounds):
            order = ["before", "after"] if r % 2 == 0 else ["after", "before"]
            for name in order:
                src = args.before if name == "before" else after
                done = subprocess.run(
                    [sys.executable, __file__, "--side", src, "--graph", graph_file,
                     "--features", str(args.features), "--batches", str(args.batches)],
                    capture_output=True, text=True, check=True)
                got[name].append(json.loads(done.stdout.splitlines()[-1]))
    b = args.batches
    print(f"{args.rounds} rounds, {b} batches of {BATCH} users, {FANOUT}, temporal, "
          f"{args.features} feature columns per node type; medians, ratio after/before "
          f"as the median of per-round ratios")

    def share(r, key):
        total = r["gather"] + r["to_pyg"]
        return {"sampling": r["sample"] / total, "gather": (r["gather"] - r["sample"]) / total,
                "to_pyg": r["to_pyg"] / total}[key]

    figures = [
        ("build, s", lambda r: r["build_s"]),
        ("build, peak MiB allocated", lambda r: r["build_peak_mib"]),
        ("batches/s, 0 workers", lambda r: b / r["gather"]),
        ("batches/s, 0 workers, gather=False", lambda r: b / r["sample"]),
        ("batches/s, 2 workers", lambda r: b / r["two"]),
        ("batches/s, 2 workers, consumer calls to_pyg()", lambda r: b / r["two_pyg"]),
        ("to_pyg() per batch, us", lambda r: r["to_pyg"] / b * 1e6),
        ("share of a 0-worker epoch: sampling", lambda r: share(r, "sampling")),
        ("share of a 0-worker epoch: gather", lambda r: share(r, "gather")),
        ("share of a 0-worker epoch: to_pyg()", lambda r: share(r, "to_pyg")),
    ]
    print("| | before | after | after / before |\n|---|---:|---:|---:|")
    for label, f in figures:
        old = statistics.median(f(r) for r in got["before"])
        new = statistics.median(f(r) for r in got["after"])
        paired = statistics.median(f(n) / f(o) if f(o) else float("nan")
                                   for o, n in zip(got["before"], got["after"]))
        print(f"| {label} | {old:.3g} | {new:.3g} | {paired:.2f} |")
    print("\nto_pyg() in one process, the two versions alternating on the same batches "
          "(thread CPU time):")
    for size, (old, new, paired) in pyg.items():
        print(f"| batches of {size} seeds: to_pyg() per batch, us | {old:.0f} | {new:.0f} | "
              f"{paired:.2f} |")


def to_pyg_side_by_side(before, raw, features, batches=50, count=15):
    """Per batch size, to_pyg() of the `Batch` class in `before` and of this
    checkout's on the same batches, alternating in one process: the medians
    of both (us per batch) and of the per-round ratio after/before."""
    import importlib.util

    spec = importlib.util.spec_from_file_location(
        "batch_before", os.path.join(before, "tovalib_data", "loading", "batch.py"))
    old = importlib.util.module_from_spec(spec)
    sys.modules["batch_before"] = old  # dataclasses look their module up
    spec.loader.exec_module(old)
    rng = np.random.default_rng(2)
    x = {t: rng.random((n, features), dtype=np.float32) for t, n in raw.num_nodes.items()}
    graph = td.Graph(raw.node_types, raw.edge_types, raw.colptr, raw.row, raw.node_time,
                     raw.num_nodes, x=x, time_unit="s")
    out = {}
    for size in (BATCH, 32):
        seeds = rng.permutation(raw.num_nodes["user"])[: batches * size].astype(np.int64)
        seed_time = np.maximum(rng.integers(SPAN // 2, SPAN, len(seeds)),
                               raw.node_time["user"][seeds])
        new = list(td.NeighborLoader(graph, "user", seeds=seeds, seed_time=seed_time,
                                     num_neighbors=FANOUT, batch_size=size, shuffle=False,
                                     num_workers=0))
        fields = old.Batch.__dataclass_fields__
        olds = [old.Batch(**{f: getattr(b, f) for f in fields}) for b in new]
        new[0].to_pyg(), olds[0].to_pyg()
        r = []
        for _ in range(count):
            t = time.thread_time()
            [b.to_pyg() for b in olds]
            a = time.thread_time() - t
            t = time.thread_time()
            [b.to_pyg() for b in new]
            r.append((a, time.thread_time() - t))
        out[size] = (statistics.median(a for a, _ in r) / batches * 1e6,
                     statistics.median(n for _, n in r) / batches * 1e6,
                     statistics.median(n / a for a, n in r))
    return out


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--scale", default=None)
    parser.add_argument("--before", help="compare with the tovalib_data package in this dir")
    parser.add_argument("--rounds", type=int, default=6)
    parser.add_argument("--features", type=int, default=16)
    parser.add_argument("--batches", type=int, default=200)
    parser.add_argument("--side", help=argparse.SUPPRESS)
    parser.add_argument("--graph", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.side:
        return side(args.side, args.graph, args.features, args.batches, 3)
    if args.before:
        return before_after(args)
    scale = args.scale or ("small" if args.quick else "large")
    count, batches = (3, 20) if args.quick else (15, 100)

    raw = make_graph(scale, seed=0)
    rng = np.random.default_rng(1)
    seeds = rng.permutation(raw.num_nodes["user"])[: batches * BATCH].astype(np.int64)
    seed_time = rng.integers(SPAN // 2, SPAN, len(seeds)).astype(np.int64)
    # A seed must exist at its seed time (users sign up before their first event).
    seed_time = np.maximum(seed_time, raw.node_time["user"][seeds])
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
