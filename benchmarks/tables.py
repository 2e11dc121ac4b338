"""Graph.from_tables on a small order schema: dense keys against the search,
Arrow input against pandas, and the memory times inherited along foreign keys cost.

    python benchmarks/tables.py [--rows 2000000] [--reps 3]

Tables: `lineitem` (--rows rows: id, order_id, part_id, no time column, so
it inherits the order's time), `orders` (rows / 4: id, customer_id, placed
time, a float feature), `customers` (rows / 20) and `parts` (rows / 50);
0.1% of the references are null. Primary keys are 1..n.

Each case runs in a fresh process, so its peak resident memory is its own,
and the variants of a comparison alternate so that they share the machine's
load; figures are medians over --reps:

- dense / search: keys 1..n (found by subtraction) against the same keys
  with the last one raised by one (still sorted, so found by a binary
  search, which is how 1..n were resolved before): the whole build, and the
  lookup of lineitem.order_id alone;
- arrow / pandas: the same tables as pyarrow Tables (int64 with nulls,
  timestamp[s]) and as pandas DataFrames (nullable Int64, datetime64[s]);
- inherit: build growth over the output arrays with inherit_time=True and
  with inherit_time=False.
"""

from __future__ import annotations

import argparse
import json
import resource
import statistics
import subprocess
import sys
import time

import numpy as np

SCHEMA = {
    "primary_keys": {"customers": "id", "parts": "id", "orders": "id", "lineitem": "id"},
    "foreign_keys": {"orders": {"customer_id": "customers"},
                     "lineitem": {"order_id": "orders", "part_id": "parts"}},
    "time_columns": {"orders": "placed"},
    "feature_columns": {"orders": ["amount"]},
}


def make_tables(rows: int, dense: bool, seed: int = 0) -> dict[str, dict[str, np.ndarray]]:
    rng = np.random.default_rng(seed)
    sizes = {"customers": rows // 20, "parts": rows // 50, "orders": rows // 4, "lineitem": rows}
    keys = {}
    for name, n in sizes.items():
        keys[name] = np.arange(1, n + 1, dtype=np.int64)
        if not dense:
            keys[name][-1] += 1  # sorted, not a run: resolved by search

    def refs(target: str, n: int) -> np.ndarray:
        values = keys[target][rng.integers(0, sizes[target], n)].astype(np.float64)
        values[rng.random(n) < 0.001] = np.nan
        return values

    return {
        "customers": {"id": keys["customers"]},
        "parts": {"id": keys["parts"]},
        "orders": {"id": keys["orders"], "customer_id": refs("customers", sizes["orders"]),
                   "placed": rng.integers(0, 10**8, sizes["orders"]),
                   "amount": rng.random(sizes["orders"])},
        "lineitem": {"id": keys["lineitem"], "order_id": refs("orders", rows),
                     "part_id": refs("parts", rows)},
    }


def as_pandas(tables: dict) -> dict:
    import pandas as pd

    out = {}
    for name, columns in tables.items():
        frame = {}
        for column, values in columns.items():
            if values.dtype.kind == "f" and column != "amount":
                frame[column] = pd.array(np.where(np.isnan(values), 0, values).astype(np.int64),
                                         dtype="Int64")
                frame[column][np.isnan(values)] = pd.NA
            elif column == "placed":
                frame[column] = values.astype("datetime64[s]")
            else:
                frame[column] = values
        out[name] = pd.DataFrame(frame, copy=False)
    return out


def as_arrow(tables: dict) -> dict:
    import pyarrow as pa

    out = {}
    for name, columns in tables.items():
        arrays = {}
        for column, values in columns.items():
            if values.dtype.kind == "f" and column != "amount":
                nulls = np.isnan(values)
                arrays[column] = pa.array(np.where(nulls, 0, values).astype(np.int64), mask=nulls)
            elif column == "placed":
                arrays[column] = pa.array(values, pa.int64()).cast(pa.timestamp("s"))
            else:
                arrays[column] = pa.array(values)
        out[name] = pa.table(arrays)
    return out


def peak_bytes() -> int:
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024  # Linux: KiB


def one_case(case: str, rows: int) -> dict:
    """Runs in a fresh process: build once, measure, print JSON."""
    import tovalib_data as td

    tables = make_tables(rows, dense=case != "search")
    inherit = case != "no-inherit"
    if case == "pandas":
        tables = as_pandas(tables)
    elif case == "arrow":
        tables = as_arrow(tables)
    inputs_peak = peak_bytes()
    lookup = None
    if case in ("dense", "search"):
        from tovalib_data.build.keys import KeyIndex
        from tovalib_data.build.tables import Table

        index = KeyIndex(Table("orders", tables["orders"]), ("id",))
        part = Table("lineitem", tables["lineitem"]).key_column("order_id")
        start = time.perf_counter()
        index.lookup([part])
        lookup = time.perf_counter() - start
        del index, part
    start = time.perf_counter()
    graph = td.Graph.from_tables(tables, **SCHEMA, inherit_time=inherit)
    seconds = time.perf_counter() - start
    arrays = [*graph.colptr.values(), *graph.row.values(), *graph.node_time.values(),
              *graph.x.values()]
    return {"seconds": seconds, "lookup": lookup, "inputs_peak": inputs_peak,
            "peak": peak_bytes(), "output_bytes": sum(a.nbytes for a in arrays),
            "edges": sum(len(r) for r in graph.row.values()),
            "time_sources": graph.time_sources}


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, default=2_000_000)
    parser.add_argument("--reps", type=int, default=3)
    parser.add_argument("--child", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        print(json.dumps(one_case(args.child, args.rows)))
        return

    cases = ["dense", "search", "arrow", "pandas", "inherit", "no-inherit"]
    runs: dict[str, list[dict]] = {case: [] for case in cases}
    for _ in range(args.reps):
        for case in cases:
            done = subprocess.run([sys.executable, __file__, "--child", case, "--rows",
                                   str(args.rows)], capture_output=True, text=True, check=True)
            runs[case].append(json.loads(done.stdout))

    def median(case: str, field: str) -> float:
        return statistics.median(r[field] for r in runs[case])

    first = runs["dense"][0]
    print(f"lineitem {args.rows} rows, orders {args.rows // 4}, customers {args.rows // 20}, "
          f"parts {args.rows // 50}; {first['edges']} edges; time sources "
          f"{first['time_sources']}; medians of {args.reps} fresh processes per case")
    for case in cases:
        growth = median(case, "peak") - median(case, "inputs_peak")
        print(f"  {case:10s} build {median(case, 'seconds'):.2f} s, output "
              f"{median(case, 'output_bytes') / 2**20:.0f} MiB, peak RSS "
              f"{median(case, 'peak') / 2**20:.0f} MiB, build growth / output "
              f"{growth / median(case, 'output_bytes'):.2f}")
    print(f"dense / search: build {median('dense', 'seconds') / median('search', 'seconds'):.2f}x, "
          f"lookup of lineitem.order_id {median('dense', 'lookup') / median('search', 'lookup'):.2f}x"
          f" ({median('dense', 'lookup') * 1e3:.0f} ms against "
          f"{median('search', 'lookup') * 1e3:.0f} ms)")
    print(f"arrow / pandas: build {median('arrow', 'seconds') / median('pandas', 'seconds'):.2f}x, "
          f"peak RSS {median('arrow', 'peak') / median('pandas', 'peak'):.2f}x")


if __name__ == "__main__":
    main()
