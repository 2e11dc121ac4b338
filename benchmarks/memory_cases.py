"""Memory a sampler carries from one call to the next, each case in fresh processes.

    python benchmarks/memory_cases.py                 # the installed build
    python benchmarks/memory_cases.py --module-dir D  # a build in directory D

Cases:
- after_hub: a call whose one seed reaches a 40k-neighbour hub, then a call
  with many seeds that have no neighbours. Reported: the peak RSS growth and
  time of that second call, and the same call on a fresh sampler.
- failed: a call that grows about 300 MiB of buffers and then fails on an
  unsorted neighbourhood. Reported: RSS after the failure minus RSS before.
"""

from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))

PRELUDE = r"""
import json, sys, time
sys.path.insert(0, {module_dir!r})
sys.path.insert(1, {here!r})
import numpy as np
import tovalib
import run
I64 = np.int64
if {limit_gib}:
    import resource
    # A build that needs far more than a fresh sampler fails here instead of
    # pressing on the machine.
    resource.setrlimit(resource.RLIMIT_AS, (
        run._status_kb("VmSize") * 1024 + int({limit_gib} * 2**30), resource.RLIM_INFINITY))
"""

# Node 0 links to nodes 1..40000; nodes 1..n-1 have no neighbours.
AFTER_HUB = PRELUDE + r"""
n, hub, seeds = {num_nodes}, 40000, {num_seeds}
colptr = np.full(n + 1, hub, I64); colptr[0] = 0
row = np.arange(1, hub + 1, dtype=I64)
s = tovalib.NeighborSampler(["n"], [("n", "to", "n")], {{"n__to__n": colptr}}, {{"n__to__n": row}}, {{}})
budget = {{"n__to__n": np.array([-1], I64)}}
if {after_hub}:
    s.sample(budget, {{}}, "n", np.zeros(1, I64), np.zeros(0, I64))
many = np.arange(1, seeds + 1, dtype=I64)
run.release_free_heap()
base = run.rss_kb(); run.reset_peak_rss()
t0 = time.perf_counter()
s.sample(budget, {{}}, "n", many, np.zeros(0, I64))
elapsed = time.perf_counter() - t0
peak = run.peak_rss_kb()
print(json.dumps({{"growth_mib": (peak - base) / 1024, "peak_mib": peak / 1024, "seconds": elapsed}}))
"""

# Node 0 (type "d") links to 40000 sources with times in order; node 1 to two
# sources in the wrong order. 100 seeds on node 0 record 4M edges, then the
# last seed, node 1, fails the call.
FAILED = PRELUDE + r"""
hub = 40000
colptr = np.array([0, hub, hub + 2], I64)
row = np.concatenate([np.arange(hub, dtype=I64), np.array([1, 0], I64)])
times = {{"s": np.arange(hub, dtype=I64), "d": np.zeros(2, I64)}}
s = tovalib.NeighborSampler(["s", "d"], [("s", "to", "d")], {{"s__to__d": colptr}},
                            {{"s__to__d": row}}, times)
budget = {{"s__to__d": np.array([-1], I64)}}
s.sample(budget, {{}}, "d", np.zeros(4, I64), np.full(4, hub, I64))  # a normal call first
seeds = np.concatenate([np.zeros(100, I64), np.ones(1, I64)])
run.release_free_heap()
before = run.rss_kb(); run.reset_peak_rss()
try:
    s.sample(budget, {{}}, "d", seeds, np.full(seeds.size, hub, I64))
except RuntimeError:
    pass
peak = run.peak_rss_kb()
after = run.rss_kb()
run.release_free_heap()
trimmed = run.rss_kb()
print(json.dumps({{"call_peak_mib": (peak - before) / 1024, "kept_mib": (after - before) / 1024,
                  "kept_after_malloc_trim_mib": (trimmed - before) / 1024}}))
"""


def child(code, **fields):
    res = subprocess.run([sys.executable, "-c", code.format(here=HERE, **fields)],
                         capture_output=True, text=True)
    if res.returncode != 0:
        return {"error": res.stderr.strip().splitlines()[-1]}
    return json.loads(res.stdout.strip().splitlines()[-1])


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--module-dir", default="", help="directory of a built tovalib module")
    ap.add_argument("--seeds", default="40000,200000")
    ap.add_argument("--limit-gib", type=float, default=2.0,
                    help="address space each case may add (0: no limit)")
    args = ap.parse_args(argv)
    module_dir = os.path.abspath(args.module_dir) if args.module_dir else ""
    out = {}
    print("| case | seeds | fresh sampler | after the hub call | ratio |")
    print("|---|---:|---:|---:|---:|")
    for seeds in (int(s) for s in args.seeds.split(",")):
        fields = dict(module_dir=module_dir, limit_gib=args.limit_gib, num_nodes=max(seeds + 1, 40001), num_seeds=seeds)
        fresh = child(AFTER_HUB, after_hub=False, **fields)
        after = child(AFTER_HUB, after_hub=True, **fields)
        out[f"after_hub_{seeds}"] = {"fresh": fresh, "after_hub": after}
        if "error" in fresh or "error" in after:
            print(f"| second call | {seeds} | {fresh} | {after} | |")
            continue
        for what, title, digits in (("peak_mib", "peak RSS (MiB)", 1),
                                    ("growth_mib", "peak RSS growth in the call (MiB)", 1),
                                    ("seconds", "time (s)", 3)):
            print(f"| {title} | {seeds} | {fresh[what]:.{digits}f} | {after[what]:.{digits}f} | "
                  f"{after[what] / fresh[what]:.2f} |")
    failed = child(FAILED, module_dir=module_dir, limit_gib=args.limit_gib)
    out["failed"] = failed
    print(f"\nfailed call: {failed}")
    return out


if __name__ == "__main__":
    main()
