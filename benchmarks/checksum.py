"""Hashes the full outputs of many sample calls, to prove a change keeps them.

    python benchmarks/checksum.py --save     # record the digests of this build
    python benchmarks/checksum.py            # compare with benchmarks/checksums.json
    python benchmarks/checksum.py --large    # also the large graph (slower)

Every case builds fresh samplers with fixed seeds and makes several calls in
a row, so the random generator's continuation across calls is covered too.
A digest covers every key, dtype, shape and byte of all six dictionaries of
every call. Besides the benchmark workloads, cases cover mixed budgets
(negative, zero, larger than the neighbourhood), count budgets with many
draws on neighbourhoods of more than a million positions, and an edge type
whose source and destination node types are the same.
"""

from __future__ import annotations

import argparse
import hashlib
import json
import os
import sys

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import tovalib  # noqa: E402

from graphs import DAY, SPAN, edge_key, make_graph  # noqa: E402
from workloads import WORKLOADS, batches  # noqa: E402

CALLS = 6


def digest_result(h, result):
    for d in result:
        for key, value in d.items():
            h.update(key.encode())
            h.update(str(value.dtype).encode())
            h.update(np.asarray(value.shape, dtype=np.int64).tobytes())
            h.update(np.ascontiguousarray(value).tobytes())


def digest_calls(sampler, calls):
    h = hashlib.sha256()
    for args in calls:
        digest_result(h, sampler.sample(*args))
    return h.hexdigest()


def workload_cases(scale, calls):
    graph = make_graph(scale, seed=0)
    out = {}
    for name, w in WORKLOADS.items():
        if w.threads > 1:
            # One sampler per thread: here the samplers run one after another.
            h = hashlib.sha256()
            for i in range(w.threads):
                s = w.sampler(graph, seed=123 + i)
                for args in batches(graph, w, calls, seed=5000 + i):
                    digest_result(h, s.sample(*args))
            out[f"{scale}/{name}"] = h.hexdigest()
        else:
            out[f"{scale}/{name}"] = digest_calls(w.sampler(graph), batches(graph, w, calls, 42))
    return graph, out


def mixed_cases(graph, scale):
    """Budgets of every kind on the benchmark graph, plain and temporal."""
    rng = np.random.default_rng(9)
    keys = [edge_key(et) for et in graph.edge_types]
    counts = {
        keys[0]: np.array([-1, 40, 100, 3], dtype=np.int64),
        keys[1]: np.array([2, 0, -1, 1], dtype=np.int64),
        keys[2]: np.array([30, 1000, 0, 25], dtype=np.int64),
        keys[3]: np.array([-1, 5, 1, 1], dtype=np.int64),
    }
    windows_only = {
        keys[0]: np.array([[-7 * DAY, 0], [-365 * DAY, -30 * DAY], [0, 0], [-DAY, DAY]]),
        keys[2]: np.array([[-2 * DAY, 0], [-400 * DAY, 0], [-60 * DAY, -50 * DAY], [-9, 9]]),
    }
    mixed_counts = {keys[1]: counts[keys[1]], keys[3]: counts[keys[3]]}
    out = {}
    for temporal in (False, True):
        node_time = graph.node_time if temporal else {}
        s = tovalib.NeighborSampler(graph.node_types, graph.edge_types, graph.colptr,
                                    graph.row, node_time, 7)
        calls = []
        for i in range(CALLS):
            seeds = rng.integers(0, graph.num_nodes["user"], size=64 + 50 * i, dtype=np.int64)
            seeds[:3] = seeds[0]  # repeated seeds stay separate subgraphs
            times = rng.integers(0, SPAN, size=seeds.size, dtype=np.int64)
            calls.append((counts, {}, "user", seeds, times))
            if temporal:
                calls.append((mixed_counts, windows_only, "user", seeds, times))
                # Seeds without times take their own node time.
                calls.append((counts, {}, "user", seeds, np.empty(0, dtype=np.int64)))
        out[f"{scale}/mixed-{'temporal' if temporal else 'plain'}"] = digest_calls(s, calls)
    return out


def homogeneous_case():
    """One node type linked to itself, with a hub of more than a million neighbours."""
    rng = np.random.default_rng(3)
    n = 200_000
    hub_degree = 1_200_000
    dst = np.concatenate([np.zeros(hub_degree, dtype=np.int64),
                          rng.integers(0, n, size=800_000, dtype=np.int64)])
    src = rng.integers(0, n, size=dst.size, dtype=np.int64)
    src[:50] = 0  # self-loops on the hub
    order = np.argsort(dst, kind="stable")
    colptr = np.zeros(n + 1, dtype=np.int64)
    np.cumsum(np.bincount(dst, minlength=n), out=colptr[1:])
    row = src[order]
    et = ("node", "links", "node")
    key = edge_key(et)
    s = tovalib.NeighborSampler(["node"], [et], {key: colptr}, {key: row}, {}, -5)
    calls = []
    for fanout in ([5, 3], [30, 30], [200, 4], [5000], [-1, 2], [1, 1, 1, 1]):
        seeds = np.concatenate([[0, 0, 1], rng.integers(0, n, size=40)]).astype(np.int64)
        calls.append(({key: np.array(fanout, dtype=np.int64)}, {}, "node", seeds,
                      np.empty(0, dtype=np.int64)))
    return {"homogeneous-hub": digest_calls(s, calls)}


def malformed_case():
    """Temporal graphs with disordered neighbourhoods and ids without a time:
    the error raised (its text) and the generator's continuation afterwards
    are part of the digest."""
    rng = np.random.default_rng(21)
    h = hashlib.sha256()
    for trial in range(40):
        n = 300
        deg = rng.integers(0, 12, size=n)
        colptr = np.zeros(n + 1, dtype=np.int64)
        np.cumsum(deg, out=colptr[1:])
        times = rng.integers(0, 1000, size=n, dtype=np.int64)
        row = rng.integers(0, n, size=int(colptr[-1]), dtype=np.int64)
        # Sort each neighbourhood by time, then disturb a few.
        seg = np.repeat(np.arange(n), deg)
        row = row[np.lexsort((times[row], seg))]
        for _ in range(trial % 4):
            p = int(rng.integers(0, max(row.size - 1, 1)))
            row[p], row[p + 1] = row[p + 1], row[p]
        if trial % 5 == 0:
            row[int(rng.integers(0, row.size))] = n + 7  # no time for this id
        et = [("a", "to", "a"), ("b", "to", "a"), ("a", "to", "b")]
        keys = [edge_key(e) for e in et]
        cp = {k: colptr for k in keys}
        rw = {k: row for k in keys}
        s = tovalib.NeighborSampler(["a", "b"], et, cp, rw, {"a": times, "b": times}, trial)
        seeds = rng.integers(0, n, size=70, dtype=np.int64)
        st = rng.integers(200, 1200, size=seeds.size, dtype=np.int64)
        budgets = [
            ({keys[0]: np.array([3, -1, 2]), keys[1]: np.array([2, 2]),
              keys[2]: np.array([-1, 4, 1])}, {}),
            ({keys[1]: np.array([3, 1, 2])},
             {keys[0]: np.array([[-300, 0], [-900, -10], [-50, 50]]),
              keys[2]: np.array([[-100, 0], [-1000, 0], [-5, 0]])}),
        ]
        for nn, offs in budgets:
            for times_arg in (st, np.empty(0, dtype=np.int64)):
                try:
                    digest_result(h, s.sample(nn, offs, "a", seeds, times_arg))
                except RuntimeError as e:
                    h.update(str(e).encode())
        # Plain expansion of the same graph continues the generator.
        try:
            digest_result(h, s.sample({k: np.array([2, 3]) for k in keys}, {}, "a", seeds,
                                      np.empty(0, dtype=np.int64)))
        except RuntimeError as e:
            h.update(str(e).encode())
    return {"malformed-temporal": h.hexdigest()}


def random_case():
    """Many small random graphs: two node types, an edge type from each to
    each (two of them from a type to itself), plain or temporal, some
    neighbourhoods out of time order, random count and window budgets."""
    h = hashlib.sha256()
    ets = [("a", "x", "a"), ("b", "y", "a"), ("a", "z", "b"), ("b", "w", "b")]
    for case in range(150):
        rng = np.random.default_rng(case)
        n = {"a": int(rng.integers(1, 400)), "b": int(rng.integers(1, 300))}
        times = {t: rng.integers(0, 1000, n[t]).astype(np.int64) for t in n}
        colptr, row = {}, {}
        for et in ets:
            src, _, dst = et
            deg = rng.integers(0, int(rng.choice([3, 20, 150])), n[dst])
            cp = np.zeros(n[dst] + 1, np.int64)
            np.cumsum(deg, out=cp[1:])
            r = rng.integers(0, n[src], int(cp[-1])).astype(np.int64)
            if rng.random() < 0.9:
                r = r[np.lexsort((times[src][r], np.repeat(np.arange(n[dst]), deg)))]
            colptr[edge_key(et)], row[edge_key(et)] = cp, r
        temporal = rng.random() < 0.6
        s = tovalib.NeighborSampler(["a", "b"], ets, colptr, row, times if temporal else {}, case)
        for _ in range(4):
            hops = int(rng.integers(1, 4))
            counts, offsets = {}, {}
            for et in ets:
                if temporal and rng.random() < 0.4:
                    lower = rng.integers(-500, 0, hops)
                    upper = lower + rng.integers(0, 600, hops)
                    offsets[edge_key(et)] = np.stack([lower, upper], 1).astype(np.int64)
                else:
                    counts[edge_key(et)] = rng.integers(-1, 12, hops).astype(np.int64)
            seeds = rng.integers(0, n["a"], int(rng.integers(0, 300))).astype(np.int64)
            seed_times = (rng.integers(0, 1200, seeds.size).astype(np.int64)
                          if rng.random() < 0.7 else np.empty(0, np.int64))
            try:
                digest_result(h, s.sample(counts, offsets, "a", seeds, seed_times))
            except RuntimeError as e:
                h.update(str(e).encode())
    return {"random-small": h.hexdigest()}


def compute(large):
    digests = {}
    for scale in ["tiny", "small"] + (["large"] if large else []):
        graph, out = workload_cases(scale, CALLS if scale != "large" else 2)
        digests.update(out)
        if scale != "large":
            digests.update(mixed_cases(graph, scale))
    digests.update(homogeneous_case())
    digests.update(malformed_case())
    digests.update(random_case())
    return digests


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--save", action="store_true", help="record the digests of this build")
    ap.add_argument("--large", action="store_true", help="include the large graph")
    ap.add_argument("--file", default=os.path.join(HERE, "checksums.json"))
    args = ap.parse_args(argv)
    digests = compute(args.large)
    if args.save:
        old = {}
        if os.path.exists(args.file):
            with open(args.file) as f:
                old = json.load(f)
        old.update(digests)
        with open(args.file, "w") as f:
            json.dump(old, f, indent=1, sort_keys=True)
        print(f"{len(digests)} digests written to {args.file}")
        return 0
    with open(args.file) as f:
        expected = json.load(f)
    bad = 0
    for name, value in digests.items():
        if name not in expected:
            print(f"{name}: no recorded digest")
            bad += 1
        elif expected[name] != value:
            print(f"{name}: MISMATCH")
            bad += 1
        else:
            print(f"{name}: ok")
    print("all outputs identical" if bad == 0 else f"{bad} case(s) differ")
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main())
