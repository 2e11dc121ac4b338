"""Throughput benchmark of NeighborSampler.sample over synthetic relational graphs.

    python benchmarks/run.py                  # small and large graphs, all workloads
    python benchmarks/run.py --quick          # small graph, few repetitions
    python benchmarks/run.py --scales large --workloads W1,W3
    python benchmarks/run.py --cpu-time      # process CPU time: for a loaded machine

Per workload and scale it reports the median over repeated batches (after a
warm-up) of batches per second, sampled edges per second and nanoseconds per
sampled edge, and the peak RSS. In the same run it measures a floor: the
nanoseconds per element of np.take of as many random positions as a batch
samples, from the same `row` arrays; each workload's cost is printed as a
ratio to that floor. Results go to benchmarks/results.json and, with
matplotlib installed, a plot to benchmarks/ns_per_edge.png.
"""

from __future__ import annotations

import argparse
import datetime
import gc
import json
import os
import platform
import statistics
import subprocess
import sys
import threading
import time

# Idle BLAS worker threads only add noise to the thread-scaling figures.
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import numpy as np  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import tovalib  # noqa: E402

from graphs import make_graph  # noqa: E402
from workloads import WORKLOADS, batches, output_bytes, sampled_edges  # noqa: E402

# --------------------------------------------------------------------------
# Memory: current and peak resident set, with the peak reset between
# measurements (Linux /proc/self/clear_refs; elsewhere the peak is the
# process's peak so far).


def _status_kb(field):
    try:
        with open("/proc/self/status") as f:
            for line in f:
                if line.startswith(field + ":"):
                    return int(line.split()[1])
    except OSError:
        pass
    return 0


def rss_kb():
    return _status_kb("VmRSS")


def peak_rss_kb():
    return _status_kb("VmHWM")


def reset_peak_rss():
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
        return True
    except OSError:
        return False


def release_free_heap():
    """Hands freed heap memory back to the system (glibc), so that later
    allocations show up as RSS growth instead of reusing it unseen."""
    try:
        import ctypes

        ctypes.CDLL("libc.so.6").malloc_trim(0)
    except (OSError, AttributeError):
        pass


# --------------------------------------------------------------------------


def machine_info():
    cpu = platform.processor()
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    cpu = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    mem_gib = None
    try:
        with open("/proc/meminfo") as f:
            mem_gib = round(int(f.readline().split()[1]) / 2**20, 1)
    except OSError:
        pass
    try:
        commit = subprocess.run(
            ["git", "-C", HERE, "rev-parse", "--short", "HEAD"],
            capture_output=True, text=True, check=False,
        ).stdout.strip()
    except OSError:
        commit = ""
    return {
        "cpu": cpu,
        "cores": os.cpu_count(),
        "memory_gib": mem_gib,
        "platform": platform.platform(),
        "python": platform.python_version(),
        "numpy": np.__version__,
        "commit": commit,
        "note": "shared machine; compare ratios measured in one run, not absolute times",
    }


# The clock of the per-batch figures (sample calls and the floor alike);
# --cpu-time makes it the process's CPU time, which other jobs on a loaded
# machine disturb less than wall time.
clock = time.perf_counter


class GatherFloor:
    """np.take of `count` random positions, spread over the graph's `row` arrays."""

    def __init__(self, graph, count, seed=0):
        rng = np.random.default_rng(seed)
        rows = list(graph.row.values())
        per = max(count // len(rows), 1)
        self.count = per * len(rows)
        self.jobs = []
        for r in rows:
            pos = rng.integers(0, r.size, size=per, dtype=np.int64)
            self.jobs.append((r, pos, np.empty(per, dtype=np.int64)))
        self.time()  # warm-up

    def time(self):
        """Seconds for one gather of all positions, timed after an untimed one so
        that it runs warm, as a gather repeated in a loop would."""
        for r, pos, out in self.jobs:
            np.take(r, pos, out=out)
        t0 = clock()
        for r, pos, out in self.jobs:
            np.take(r, pos, out=out)
        return clock() - t0


def run_single(graph, workload, reps, warmup):
    """Median per-batch figures of one workload on one sampler.

    Each timed batch is followed at once by a timed gather of as many random
    positions as a batch samples, and the ratio is taken per pair, so that
    load from elsewhere on the machine hits both sides alike.
    """
    calls = batches(graph, workload, reps + warmup, seed=int(workload.name[1:]) * 1000 + 7)
    gc.collect()
    reset_peak_rss()
    sampler = workload.sampler(graph)
    edges_warm = [sampled_edges(sampler.sample(*args)) for args in calls[:warmup]]
    floor = GatherFloor(graph, int(statistics.median(edges_warm)))
    times, edges, floor_ns = [], [], []
    for args in calls[warmup:]:
        t0 = clock()
        out = sampler.sample(*args)
        times.append(clock() - t0)
        edges.append(sampled_edges(out))
        del out
        floor_ns.append(floor.time() / floor.count * 1e9)
    ns = [t / e * 1e9 for e, t in zip(edges, times)]
    return {
        "batches_per_s": 1.0 / statistics.median(times),
        "edges_per_s": statistics.median(e / t for e, t in zip(edges, times)),
        "ns_per_edge": statistics.median(ns),
        "edges_per_batch": statistics.median(edges),
        "floor_ns": statistics.median(floor_ns),
        "ratio_to_floor": statistics.median(a / b for a, b in zip(ns, floor_ns)),
        "peak_rss_mb": peak_rss_kb() / 1024,
    }


def _timed_threads(work, count):
    """Wall time of running work(i, barrier) on threads i = 0..count-1, timed
    from the moment all of them have reached the barrier."""
    barrier = threading.Barrier(count + 1)
    pool = [threading.Thread(target=work, args=(i, barrier)) for i in range(count)]
    for t in pool:
        t.start()
    barrier.wait()
    t0 = time.perf_counter()
    for t in pool:
        t.join()
    return time.perf_counter() - t0


def _thread_round(samplers, calls):
    """Wall time and sampled edges of one round: thread i makes calls[i] on samplers[i]."""
    counts = [0] * len(samplers)

    def work(i, barrier):
        barrier.wait()
        n = 0
        for args in calls[i]:
            n += sampled_edges(samplers[i].sample(*args))
        counts[i] = n

    return _timed_threads(work, len(samplers)), sum(counts)


def _reference_round(arrays):
    """Wall time of sorting arrays[i] on thread i: NumPy work that releases the
    interpreter lock, to show how far this machine lets two threads scale now."""

    def work(i, barrier):
        barrier.wait()
        for _ in range(4):
            np.sort(arrays[i])

    return _timed_threads(work, len(arrays))


def run_threads(graph, workload, reps, batches_per_thread):
    """Total throughput of 1 and of 2 threads, each thread sampling on its own sampler.

    Rounds of 1 and 2 threads alternate, and the scaling is the median of the
    paired ratios, so that both sides see the same machine load.
    """
    samplers = [workload.sampler(graph, seed=123 + i) for i in range(2)]
    calls = [batches(graph, workload, batches_per_thread, seed=5000 + i) for i in range(2)]
    _thread_round(samplers, calls)  # warm-up
    floor = GatherFloor(graph, int(sampled_edges(samplers[0].sample(*calls[0][0]))))
    rounds = {1: [], 2: []}
    floor_ns = []
    sort_arrays = [np.random.default_rng(i).random(1_000_000) for i in range(2)]
    reference = []
    for _ in range(reps):
        for n in (1, 2):
            rounds[n].append(_thread_round(samplers[:n], calls[:n]))
        floor_ns.append(floor.time() / floor.count * 1e9)
        reference.append(_reference_round(sort_arrays[:1]) * 2 / _reference_round(sort_arrays))
    recs = []
    for n in (1, 2):
        walls = [w for w, _ in rounds[n]]
        edges = [e for _, e in rounds[n]]
        ns = [w / e * 1e9 for w, e in zip(walls, edges)]
        recs.append({
            "threads": n,
            "batches_per_s": statistics.median(n * batches_per_thread / w for w in walls),
            "edges_per_s": statistics.median(e / w for w, e in zip(walls, edges)),
            "ns_per_edge": statistics.median(ns),
            "edges_per_batch": statistics.median(edges) / (n * batches_per_thread),
            "floor_ns": statistics.median(floor_ns),
            "ratio_to_floor": statistics.median(a / b for a, b in zip(ns, floor_ns)),
            "peak_rss_mb": peak_rss_kb() / 1024,
        })
    recs[1]["scaling"] = statistics.median(
        w1 / w2 * 2 for (w1, _), (w2, _) in zip(rounds[1], rounds[2]))
    recs[1]["machine_scaling"] = statistics.median(reference)
    return recs


def call_memory(scale, name):
    """Peak RSS growth of building a sampler and making one call, in a fresh process.

    A fresh interpreter, with the heap that building the graph freed handed
    back to the system, keeps earlier work from hiding the growth. Returns
    (peak growth in bytes, output bytes).
    """
    code = (
        "import sys; sys.path.insert(0, {here!r})\n"
        "import gc, run\n"
        "from graphs import make_graph\n"
        "from workloads import WORKLOADS, batches, output_bytes\n"
        "g = make_graph({scale!r}, 0); w = WORKLOADS[{name!r}]\n"
        "args = batches(g, w, 1, 11)[0]; gc.collect(); run.release_free_heap()\n"
        "base = run.rss_kb(); run.reset_peak_rss()\n"
        "out = w.sampler(g).sample(*args)\n"
        "print((run.peak_rss_kb() - base) * 1024, output_bytes(out))\n"
    ).format(here=HERE, scale=scale, name=name)
    res = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                         check=True)
    peak, out = res.stdout.split()
    return int(peak), int(out)


def construction_memory(graph):
    """RSS growth of building a sampler over `graph` (the arrays are viewed, not copied)."""
    gc.collect()
    before = rss_kb()
    samplers = [
        tovalib.NeighborSampler(
            graph.node_types, graph.edge_types, graph.colptr, graph.row, graph.node_time
        )
        for _ in range(4)
    ]
    after = rss_kb()
    del samplers
    return {
        "graph_mb": graph.nbytes() / 2**20,
        "rss_growth_kb_per_sampler": (after - before) / 4,
    }


def plot(results, path):
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        print("matplotlib not installed: no plot")
        return
    scales = sorted({r["scale"] for r in results}, key=["small", "large"].index)
    names = sorted({r["label"] for r in results})
    fig, ax = plt.subplots(figsize=(9, 4.5))
    width = 0.8 / len(scales)
    for si, scale in enumerate(scales):
        ys, floors = [], []
        for name in names:
            rec = next((r for r in results if r["scale"] == scale and r["label"] == name), None)
            ys.append(rec["ns_per_edge"] if rec else 0.0)
            floors.append(rec["floor_ns"] if rec else 0.0)
        xs = np.arange(len(names)) + si * width
        ax.bar(xs, ys, width, label=f"{scale} graph")
        ax.scatter(xs, floors, marker="_", s=200, color="black",
                   label="np.take floor" if si == 0 else None, zorder=3)
    ax.set_xticks(np.arange(len(names)) + width * (len(scales) - 1) / 2)
    ax.set_xticklabels(names, rotation=20, ha="right")
    ax.set_ylabel("ns per sampled edge (lower is better)")
    ax.set_title("NeighborSampler.sample: cost per sampled edge")
    ax.legend()
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    print(f"plot written to {path}")


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--quick", action="store_true", help="small graph, few repetitions")
    ap.add_argument("--scales", default="small,large")
    ap.add_argument("--workloads", default=",".join(WORKLOADS))
    ap.add_argument("--reps", type=int, default=None, help="timed batches per workload")
    ap.add_argument("--json", default=os.path.join(HERE, "results.json"))
    ap.add_argument("--plot", default=os.path.join(HERE, "ns_per_edge.png"))
    ap.add_argument("--no-write", action="store_true", help="print only")
    ap.add_argument("--no-memory", action="store_true",
                    help="skip the per-call memory probes (fresh processes)")
    ap.add_argument("--cpu-time", action="store_true",
                    help="time batches and floor by process CPU time, not wall time")
    args = ap.parse_args(argv)
    if args.cpu_time:
        global clock
        clock = time.process_time

    scales = ["small"] if args.quick else args.scales.split(",")
    names = args.workloads.split(",")
    reps = args.reps or (3 if args.quick else 15)
    warmup = 1 if args.quick else 3
    thread_reps = 2 if args.quick else 7

    results, construction = [], {}
    for scale in scales:
        t0 = time.perf_counter()
        graph = make_graph(scale, seed=0)
        print(f"\n{scale} graph: {graph.num_edges:,} edges, "
              f"{graph.nbytes() / 2**20:.0f} MiB, built in {time.perf_counter() - t0:.1f} s")
        construction[scale] = construction_memory(graph)
        for name in names:
            w = WORKLOADS[name]
            if w.threads > 1:
                recs = run_threads(graph, w, thread_reps, 6 if args.quick else 40)
                for rec in recs:
                    n = rec["threads"]
                    rec["label"] = f"{name} {n} thread" + ("s" if n > 1 else "")
            else:
                rec = run_single(graph, w, reps, warmup)
                rec["label"] = f"{name} {w.title}"
                if not args.no_memory:
                    peak, out = call_memory(scale, name)
                    rec["call_peak_mb"] = peak / 2**20
                    rec["output_mb"] = out / 2**20
                    rec["call_peak_over_output"] = peak / out
                recs = [rec]
            for rec in recs:
                rec.update(scale=scale, workload=name)
                results.append(rec)
                print(f"  {rec['label']:<28} {rec['batches_per_s']:8.1f} batch/s "
                      f"{rec['edges_per_s'] / 1e6:7.2f} Medge/s {rec['ns_per_edge']:7.1f} ns/edge "
                      f"floor {rec['floor_ns']:5.1f} ns  x{rec['ratio_to_floor']:5.2f}"
                      + (f"  scaling {rec['scaling']:.2f}" if "scaling" in rec else ""),
                      flush=True)

    print("\n| scale | workload | batches/s | Medges/s | ns/edge | floor ns | x floor "
          "| peak RSS MB |")
    print("|---|---|---:|---:|---:|---:|---:|---:|")
    for r in results:
        print(f"| {r['scale']} | {r['label']} | {r['batches_per_s']:.1f} | "
              f"{r['edges_per_s'] / 1e6:.2f} | {r['ns_per_edge']:.1f} | {r['floor_ns']:.1f} | "
              f"{r['ratio_to_floor']:.2f} | {r['peak_rss_mb']:.0f} |")
    for r in results:
        if "scaling" in r:
            print(f"{r['scale']}: 2 threads give {r['scaling']:.2f}x the throughput of 1 thread "
                  f"(median of paired rounds; np.sort on 2 threads got "
                  f"{r['machine_scaling']:.2f}x in the same rounds)")
    for scale, c in construction.items():
        print(f"{scale}: building a sampler over {c['graph_mb']:.0f} MiB of arrays grows RSS by "
              f"{c['rss_growth_kb_per_sampler']:.0f} KiB")
    for r in results:
        if "call_peak_over_output" in r:
            print(f"{r['scale']} {r['workload']}: building a sampler and one call grow peak RSS "
                  f"by {r['call_peak_mb']:.1f} MiB, {r['call_peak_over_output']:.2f}x the "
                  f"call's output ({r['output_mb']:.1f} MiB)")

    if not args.no_write:
        doc = {
            "machine": machine_info(),
            "date": datetime.datetime.now(datetime.timezone.utc).isoformat(timespec="seconds"),
            "config": {"scales": scales, "workloads": names, "reps": reps, "warmup": warmup,
                       "quick": args.quick},
            "results": results,
            "construction": construction,
        }
        with open(args.json, "w") as f:
            json.dump(doc, f, indent=1)
        print(f"results written to {args.json}")
        plot(results, args.plot)


if __name__ == "__main__":
    main()
