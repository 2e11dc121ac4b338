"""Instructions per sampled edge, counted by callgrind: a measure that host
load does not disturb.

    python benchmarks/instructions.py BUILD_DIR [BUILD_DIR ...]
    python benchmarks/instructions.py OLD_DIR NEW_DIR --scale large --workloads W1,W2
    python benchmarks/instructions.py NEW_DIR --workloads W1 --top 15   # hottest functions

Needs valgrind (Debian/Ubuntu: `apt-get install valgrind`; callgrind and
callgrind_annotate come with it). Each BUILD_DIR holds a built tovalib
module, as for compare.py. Per build and workload a fresh process runs under
callgrind: it builds the workload's sampler, makes `--batches` calls once
(warm-up: buffers grown, temporal neighbourhoods verified), then the same
calls again; only the instructions executed inside `sample` during that
second pass are counted (argument checks, the engine and the conversion of
the result to NumPy; not the interpreter around the call), divided by the
edges those calls returned. The counts are deterministic for a given build,
graph and workload, so one run suffices and small differences are real.

Collection is limited to the binding's sample method with
`--toggle-collect`, and the counters are zeroed between the two passes by a
call of os.getppid() (`--zero-before=getppid`), which nothing else in the
child calls. The graphs are built once, outside valgrind, and cached in the
temporary directory (as compare.py does).
"""

from __future__ import annotations

import argparse
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

from compare import graph_file  # noqa: E402

CHILD = r"""
import json, os, pickle, sys
sys.path.insert(0, {module_dir!r})
sys.path.insert(1, {here!r})
import tovalib
from workloads import WORKLOADS, batches, sampled_edges
with open({graph_file!r}, "rb") as f:
    graph = pickle.load(f)
w = WORKLOADS[{name!r}]
sampler = w.sampler(graph)
calls = batches(graph, w, {batches}, seed=int(w.name[1:]) * 1000 + 7)
for args in calls:
    sampler.sample(*args)
os.getppid()  # zeroes the counters
edges = 0
for args in calls:
    edges += sampled_edges(sampler.sample(*args))
print(json.dumps({{"module": tovalib.__file__, "edges": edges}}))
"""

COLLECT = "*PySampler::sample*"


def count(module_dir, name, scale, batches, top=0):
    """(instructions, edges, hottest functions) of one workload."""
    code = CHILD.format(module_dir=os.path.abspath(module_dir), here=HERE,
                        graph_file=graph_file(scale), name=name, batches=batches)
    with tempfile.TemporaryDirectory() as tmp:
        out_file = os.path.join(tmp, "callgrind.out")
        env = dict(os.environ, PYTHONHASHSEED="0", OPENBLAS_NUM_THREADS="1")
        res = subprocess.run(
            ["valgrind", "--tool=callgrind", f"--callgrind-out-file={out_file}",
             f"--toggle-collect={COLLECT}", "--zero-before=getppid",
             sys.executable, "-c", code],
            capture_output=True, text=True, env=env, cwd=tmp)
        if res.returncode != 0:
            raise RuntimeError(f"callgrind run failed:\n{res.stderr[-3000:]}")
        info = json.loads(res.stdout.strip().splitlines()[-1])
        with open(out_file) as f:
            totals = [line for line in f if line.startswith(("totals:", "summary:"))]
        instructions = int(totals[-1].split()[1])
        hot = []
        if top:
            ann = subprocess.run(["callgrind_annotate", "--inclusive=no", "--threshold=100",
                                  out_file], capture_output=True, text=True, check=True).stdout
            for line in ann.splitlines():
                m = re.match(r"\s*([\d,]+)\s+\(\s*([\d.]+)%\)\s+(.*)", line)
                # The interpreter's frames down to the call carry the whole
                # count; they are not where it is spent.
                if m and float(m.group(2)) < 99.99 and len(hot) < top:
                    hot.append((int(m.group(1).replace(",", "")), float(m.group(2)),
                                re.sub(r"\(.*\)", "()", m.group(3).strip())[:110]))
    return instructions, info["edges"], hot


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("builds", nargs="+", help="directories holding a built tovalib module")
    ap.add_argument("--scale", default="large")
    ap.add_argument("--workloads", default="W1,W2,W3,W4")
    ap.add_argument("--batches", type=int, default=3, help="calls per pass")
    ap.add_argument("--top", type=int, default=0,
                    help="also list the N functions with most instructions (self cost)")
    args = ap.parse_args(argv)
    if shutil.which("valgrind") is None:
        sys.exit("valgrind not found (Debian/Ubuntu: apt-get install valgrind)")
    names = args.workloads.split(",")
    per_edge = {}
    for build in args.builds:
        for name in names:
            instructions, edges, hot = count(build, name, args.scale, args.batches, args.top)
            per_edge[build, name] = instructions / edges
            print(f"{build} {name}: {instructions:,} instructions, {edges:,} edges, "
                  f"{instructions / edges:.1f} per edge", flush=True)
            for ir, share, fn in hot:
                print(f"    {share:5.1f}%  {ir / edges:7.1f}/edge  {fn}")
    print(f"\n{args.scale} graph, {args.batches} calls per workload (second pass), "
          "instructions per sampled edge")
    header = "| workload | " + " | ".join(args.builds)
    if len(args.builds) > 1:
        header += " | last/first"
    print(header + " |")
    print("|---" * (len(args.builds) + 1 + (len(args.builds) > 1)) + "|")
    for name in names:
        cells = [f"{per_edge[b, name]:.1f}" for b in args.builds]
        if len(args.builds) > 1:
            cells.append(f"{per_edge[args.builds[-1], name] / per_edge[args.builds[0], name]:.3f}")
        print(f"| {name} | " + " | ".join(cells) + " |")


if __name__ == "__main__":
    main()
