"""Construction and `sample` on a graph with many node and edge types.

    python benchmarks/many_types.py                      # the installed build
    python benchmarks/many_types.py OLD_DIR NEW_DIR      # two builds side by side

The graph is a ring of N node types t0..t{N-1} (N = --types, 40,000 by
default) with the edge types (t_i, to, t_{i+1}), two nodes per type, one
edge per node and a time per node. Every dictionary of construction holds N
entries; each timed `sample` call passes a two-hop budget for all N edge
types from two seeds of t0. With build directories (each holding a built
tovalib module), rounds alternate between the builds, each round in a fresh
process, and the ratios are medians of the per-round ratios against the
first build.
"""

from __future__ import annotations

import argparse
import json
import os
import statistics
import subprocess
import sys
import tempfile

CHILD = r"""
import json, sys, time
if {module_dir!r}:
    sys.path.insert(0, {module_dir!r})
import numpy as np
import tovalib

n = {types}
names = [f"t{{i}}" for i in range(n)]
edge_types = [(names[i], "to", names[(i + 1) % n]) for i in range(n)]
keys = ["__".join(et) for et in edge_types]
colptr = np.array([0, 1, 2], dtype=np.int64)
row = np.array([1, 0], dtype=np.int64)
times = np.array([5, 5], dtype=np.int64)
colptrs = {{k: colptr for k in keys}}
rows = {{k: row for k in keys}}
node_time = {{t: times for t in names}}
budgets = {{k: np.array([-1, -1], dtype=np.int64) for k in keys}}
seeds = np.array([0, 1], dtype=np.int64)
empty = np.array([], dtype=np.int64)

t0 = time.perf_counter()
sampler = tovalib.NeighborSampler(names, edge_types, colptrs, rows, node_time)
construct = time.perf_counter() - t0
calls = []
for _ in range({calls}):
    t0 = time.perf_counter()
    out = sampler.sample(budgets, {{}}, "t0", seeds, empty)
    calls.append(time.perf_counter() - t0)
assert out[0][keys[-1]].tolist() == [0, 1], out[0][keys[-1]]
print(json.dumps({{"module": tovalib.__file__, "construct": construct,
                  "sample": sorted(calls)[len(calls) // 2]}}))
"""


def run_build(module_dir, types, calls):
    code = CHILD.format(module_dir=os.path.abspath(module_dir) if module_dir else "",
                        types=types, calls=calls)
    res = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                         cwd=tempfile.gettempdir())
    if res.returncode != 0:
        sys.exit(f"{module_dir or 'installed build'} failed:\n{res.stderr}")
    return json.loads(res.stdout.strip().splitlines()[-1])


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("builds", nargs="*", help="directories holding a built tovalib module")
    ap.add_argument("--types", type=int, default=40_000)
    ap.add_argument("--rounds", type=int, default=3)
    ap.add_argument("--calls", type=int, default=3, help="timed sample calls per round")
    args = ap.parse_args(argv)
    builds = args.builds or [""]
    runs = {b: [] for b in builds}
    for _ in range(args.rounds):
        for b in builds:
            runs[b].append(run_build(b, args.types, args.calls))
    print(f"{args.types} node types and edge types, {args.rounds} rounds")
    print("| build | construction s | sample s | construction / first | sample / first |")
    print("|---|---:|---:|---:|---:|")
    first = runs[builds[0]]
    for b in builds:
        r = runs[b]
        ratio = {m: statistics.median(x[m] / f[m] for x, f in zip(r, first))
                 for m in ("construct", "sample")}
        print(f"| {r[0]['module']} | {statistics.median(x['construct'] for x in r):.3f} | "
              f"{statistics.median(x['sample'] for x in r):.4f} | {ratio['construct']:.4f} | "
              f"{ratio['sample']:.4f} |")


if __name__ == "__main__":
    main()
