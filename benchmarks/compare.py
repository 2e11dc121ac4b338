"""Side-by-side comparison of two builds of the extension, in one run.

    python benchmarks/compare.py OLD_DIR NEW_DIR --scale large --workloads W1,W2

OLD_DIR and NEW_DIR each hold a built tovalib module (for example a copy of
the installed .so). Rounds alternate between the two builds, each round in a
fresh process, so that machine load hits both alike; the figure reported
per workload is the median over rounds of the paired ratio of ns per sampled
edge (new / old; below 1 means the new build is faster). Rows marked
"cold" time the first call of a fresh sampler; the others time the calls
after two warm-up calls, or with --repeat the same calls made a second time,
when the sampler has met (and verified) every neighbourhood they read: the
steady state of a sampler that has seen the graph. --cpu-time measures the
process's CPU time instead of wall time, which a loaded machine disturbs less.
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
    for c, args in enumerate(calls[:2]):
        t0 = time.perf_counter()
        res = sampler.sample(*args)
        if c == 0:
            out[name + " cold"] = (time.perf_counter() - t0) / sampled_edges(res) * 1e9
    if {repeat}:
        for args in calls[2:]:
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


def run_build(module_dir, names, scale, batches, repeat=False, cpu_time=False):
    code = CHILD.format(module_dir=os.path.abspath(module_dir), here=HERE,
                        graph_file=graph_file(scale), names=names, batches=batches,
                        repeat=repeat)
    if cpu_time:
        code = code.replace("time.perf_counter()", "time.process_time()")
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
    ap.add_argument("--repeat", action="store_true",
                    help="time the calls on their second pass (steady state)")
    ap.add_argument("--cpu-time", action="store_true", help="process CPU time, not wall time")
    args = ap.parse_args(argv)
    names = [n + suffix for n in args.workloads.split(",") for suffix in ("", " cold")]
    ratios = {n: [] for n in names}
    olds = {n: [] for n in names}
    news = {n: [] for n in names}
    for r in range(args.rounds):
        workloads = args.workloads.split(",")
        old = run_build(args.old, workloads, args.scale, args.batches, args.repeat, args.cpu_time)
        new = run_build(args.new, workloads, args.scale, args.batches, args.repeat, args.cpu_time)
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
