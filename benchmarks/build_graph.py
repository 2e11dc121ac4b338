"""How fast Graph.from_tables builds a graph from tables, and its peak memory.

    python benchmarks/build_graph.py [--rows 5000000] [--reps 3] [--pandas] [--save DIR]
                                     [--no-recipe]

A fact table `events` (id, user_id, item_id, time) of --rows rows references
`users` (rows / 5, non-contiguous keys in random order, so keys resolve by
search, with a signup time) and `items` (rows / 25, keys 0..n-1, no time);
0.1% of the user references dangle. Two foreign keys give four edge types of
--rows edges each. Every build runs in a fresh process, so its peak resident
memory (ru_maxrss) is its own; the report compares it with the size of the
arrays the graph holds:

- peak / output: the whole process (interpreter, NumPy, input tables, build);
- build / output: the growth of the peak during the build, beyond the inputs.

Unless --no-recipe (or --pandas), each rep also runs a hand-written build of
the same arrays (argsort + searchsorted, three-key lexsort) in a fresh
process, alternating with the package's, for a side-by-side ratio.

With --pandas the tables are DataFrames (foreign keys as nullable Int64, the
time as datetime64[s]); otherwise dicts of NumPy arrays with int64 times.
"""

from __future__ import annotations

import argparse
import json
import os
import resource
import statistics
import subprocess
import sys
import time

import numpy as np


def make_tables(rows: int, use_pandas: bool, seed: int = 0) -> dict:
    rng = np.random.default_rng(seed)
    num_users, num_items = rows // 5, rows // 25
    user_keys = rng.permutation(num_users).astype(np.int64) * 3 + 7
    users = {"id": user_keys, "signup": rng.integers(0, 10**8, num_users)}
    items = {"id": np.arange(num_items, dtype=np.int64)}
    user_id = user_keys[rng.integers(0, num_users, rows)]
    user_id[rng.random(rows) < 0.001] = -1  # dangling references
    events = {
        "id": np.arange(rows, dtype=np.int64),
        "user_id": user_id,
        "item_id": rng.integers(0, num_items, rows),
        "time": rng.integers(10**8, 2 * 10**8, rows),
    }
    if use_pandas:
        import pandas as pd

        events["user_id"] = pd.array(events["user_id"], dtype="Int64")
        events["item_id"] = pd.array(events["item_id"], dtype="Int64")
        events["time"] = events["time"].astype("datetime64[s]")
        return {name: pd.DataFrame(t, copy=False) for name, t in
                (("users", users), ("items", items), ("events", events))}
    return {"users": users, "items": items, "events": events}


SCHEMA = {
    "primary_keys": {"users": "id", "items": "id", "events": "id"},
    "foreign_keys": {"events": {"user_id": "users", "item_id": "items"}},
    "time_columns": {"users": "signup", "events": "time"},
}


def peak_bytes() -> int:
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024  # Linux: KiB


def lexsort_recipe(tables: dict) -> dict:
    """The same arrays the way a hand-written build usually goes: resolve keys
    with argsort + searchsorted, order each edge type with a three-key lexsort
    (destination, source time, source id). For comparison only."""
    node_time = {"users": tables["users"]["signup"], "events": tables["events"]["time"]}
    num = {name: len(t["id"]) for name, t in tables.items()}
    colptr, row = {}, {}
    for column, target in SCHEMA["foreign_keys"]["events"].items():
        keys = tables[target]["id"]
        order = np.argsort(keys, kind="stable")
        at = np.searchsorted(keys[order], tables["events"][column]).clip(0, len(keys) - 1)
        found = keys[order][at] == tables["events"][column]
        events, refs = np.flatnonzero(found), order[at][found]
        for src, dst, s, d in (("events", target, events, refs), (target, "events", refs, events)):
            src_time = node_time.get(src)
            sort = np.lexsort((s, d) if src_time is None else (s, src_time[s], d))
            colptr[f"{src}__{column}__{dst}"] = np.concatenate(
                [[0], np.cumsum(np.bincount(d, minlength=num[dst]))])
            row[f"{src}__{column}__{dst}"] = s[sort]
    return row


def one_build(rows: int, use_pandas: bool, save: str | None, recipe: bool = False) -> dict:
    """Runs in a fresh process: build once, measure, print JSON."""
    import tovalib_data as td

    tables = make_tables(rows, use_pandas)
    inputs_peak = peak_bytes()
    if recipe:
        start = time.perf_counter()
        lexsort_recipe(tables)
        return {"seconds": time.perf_counter() - start, "inputs_peak": inputs_peak,
                "peak": peak_bytes()}
    start = time.perf_counter()
    graph = td.Graph.from_tables(tables, **SCHEMA)
    seconds = time.perf_counter() - start
    build_peak = peak_bytes()
    arrays = [*graph.colptr.values(), *graph.row.values(), *graph.node_time.values()]
    result = {
        "seconds": seconds,
        "edges": sum(len(r) for r in graph.row.values()),
        "output_bytes": sum(a.nbytes for a in arrays),
        "inputs_peak": inputs_peak,
        "peak": build_peak,
        "dropped": graph.report["events.user_id"]["dropped"],
    }
    if save:
        start = time.perf_counter()
        graph.save(save)
        result["save_seconds"] = time.perf_counter() - start
        start = time.perf_counter()
        td.Graph.load(save, mmap=True)
        result["load_seconds"] = time.perf_counter() - start
    return result


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, default=5_000_000)
    parser.add_argument("--reps", type=int, default=3)
    parser.add_argument("--pandas", action="store_true")
    parser.add_argument("--save", metavar="DIR", help="also time save and load (mmap) there")
    parser.add_argument("--no-recipe", action="store_true",
                        help="skip the comparison with a lexsort-based build")
    parser.add_argument("--child", choices=["package", "recipe"], help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        print(json.dumps(one_build(args.rows, args.pandas, args.save, args.child == "recipe")))
        return

    def child(kind: str, save: str | None = None) -> dict:
        command = [sys.executable, __file__, "--child", kind, "--rows", str(args.rows)]
        if args.pandas:
            command.append("--pandas")
        if save:
            command += ["--save", save]
        done = subprocess.run(command, capture_output=True, text=True, check=True)
        return json.loads(done.stdout)

    # Package and recipe builds alternate, so both see the same machine load.
    runs, recipe_runs = [], []
    for rep in range(args.reps):
        runs.append(child("package", args.save and os.path.join(args.save, f"graph{rep}")))
        if not args.no_recipe and not args.pandas:
            recipe_runs.append(child("recipe"))
    seconds = statistics.median(r["seconds"] for r in runs)
    first = runs[0]
    mib = 1 << 20
    print(f"tables: events {args.rows} rows ({'pandas' if args.pandas else 'NumPy'}), "
          f"users {args.rows // 5}, items {args.rows // 25}; {first['edges']} edges, "
          f"{first['dropped']} dangling references dropped")
    each = ", ".join(f"{r['seconds']:.2f}" for r in runs)
    print(f"build: {seconds:.2f} s (median of {len(runs)} fresh processes: {each}), "
          f"{args.rows / seconds / 1e6:.2f} M rows/s, {first['edges'] / seconds / 1e6:.1f} M edges/s")
    peak = statistics.median(r["peak"] for r in runs)
    inputs = statistics.median(r["inputs_peak"] for r in runs)
    output = first["output_bytes"]
    print(f"output arrays: {output / mib:.0f} MiB; peak RSS {peak / mib:.0f} MiB "
          f"(inputs loaded: {inputs / mib:.0f} MiB)")
    print(f"peak / output: {peak / output:.2f}; build / output: {(peak - inputs) / output:.2f}")
    if recipe_runs:
        recipe = statistics.median(r["seconds"] for r in recipe_runs)
        recipe_peak = statistics.median(r["peak"] for r in recipe_runs)
        print(f"lexsort recipe: {recipe:.2f} s, peak RSS {recipe_peak / mib:.0f} MiB; "
              f"from_tables takes {seconds / recipe:.2f}x its time")
    if args.save:
        print(f"save: {statistics.median(r['save_seconds'] for r in runs):.2f} s, "
              f"load (mmap): {statistics.median(r['load_seconds'] for r in runs) * 1e3:.1f} ms")


if __name__ == "__main__":
    main()
