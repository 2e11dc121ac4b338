"""Side-by-side comparison of two builds of the extension, in one run.

    python benchmarks/compare.py OLD_DIR NEW_DIR --scale large --workloads W1,W2

OLD_DIR and NEW_DIR each hold a built tovalib module (for example a copy of
the installed .so). Rounds alternate between the two builds, each round in a
fresh process, so that machine load hits both alike; the figure reported
per workload is the median over rounds of the paired ratio of ns per sampled
edge (new / old; below 1 means the new build is faster).
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

HERE = os.path.dirname(os.path.abspath(__file__))

CHILD = r"""
import json, os, pickle, statistics, sys, time
sys.path.insert(0, {module_dir!r})
sys.path.insert(1, {here!r})
import tovalib
from workloads import WORKLOADS, batches, sampled_edges
with open({graph_file!r}, "rb") as f:
    graph = pickle.load(f)
out = {{"module": tovalib.__file__}}
for name in {names!r}:
    w = WORKLOADS[name]
    sampler = w.sampler(graph)
    calls = batches(graph, w, {batches} + 2, seed=int(name[1:]) * 1000 + 7)
    for args in calls[:2]:
        sampler.sample(*args)
    ns = []
    for args in calls[2:]:
        t0 = time.perf_counter()
        res = sampler.sample(*args)
        ns.append((time.perf_counter() - t0) / sampled_edges(res) * 1e9)
    out[name] = statistics.median(ns)
print(json.dumps(out))
"""


def graph_file(scale):
    path = os.path.join(tempfile.gettempdir(), f"tovalib-bench-graph-{scale}.pkl")
    if not os.path.exists(path):
        sys.path.insert(0, HERE)
        from graphs import make_graph

        with open(path + ".tmp", "wb") as f:
            pickle.dump(make_graph(scale, seed=0), f, protocol=5)
        os.replace(path + ".tmp", path)
    return path


def run_build(module_dir, names, scale, batches):
    code = CHILD.format(module_dir=os.path.abspath(module_dir), here=HERE,
                        graph_file=graph_file(scale), names=names, batches=batches)
    res = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                         check=True, cwd=tempfile.gettempdir())
    return json.loads(res.stdout.strip().splitlines()[-1])


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("old")
    ap.add_argument("new")
    ap.add_argument("--scale", default="large")
    ap.add_argument("--workloads", default="W1,W2,W3,W4")
    ap.add_argument("--rounds", type=int, default=5)
    ap.add_argument("--batches", type=int, default=9)
    args = ap.parse_args(argv)
    names = args.workloads.split(",")
    ratios = {n: [] for n in names}
    olds = {n: [] for n in names}
    news = {n: [] for n in names}
    for r in range(args.rounds):
        old = run_build(args.old, names, args.scale, args.batches)
        new = run_build(args.new, names, args.scale, args.batches)
        if r == 0:
            print(f"old: {old['module']}\nnew: {new['module']}")
        for n in names:
            ratios[n].append(new[n] / old[n])
            olds[n].append(old[n])
            news[n].append(new[n])
    print(f"\n{args.scale} graph, {args.rounds} alternating rounds")
    print("| workload | old ns/edge | new ns/edge | new/old (median of pairs) |")
    print("|---|---:|---:|---:|")
    for n in names:
        print(f"| {n} | {statistics.median(olds[n]):.1f} | {statistics.median(news[n]):.1f} | "
              f"{statistics.median(ratios[n]):.3f} |")


if __name__ == "__main__":
    main()
