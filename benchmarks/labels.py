"""A declared label table beside the same task in SQL, on TPC-H-sized orders.

    python benchmarks/labels.py [--rounds 3] [--quick]

The task: per customer and weekly cut-off (52 of them), the number of orders
placed in the 30 days after the cut-off. The tables are TPC-H's at scale 1
in size and shape, generated with NumPy (DuckDB's `tpch` extension is not
installed offline): `customer` (150,000 rows, c_custkey 1..150,000) and
`orders` (1,500,000 rows, o_orderkey sparse as TPC-H's, o_custkey only on
customers whose key is not a multiple of 3, o_orderdate uniform over
1992-01-01 .. 1998-08-02, as DATE). Rows: 7.8M labels.

Two cases, each in a fresh process, alternating round by round:

- entity_labels: `td.entity_labels(tables, "customer", "orders", cutoffs,
  30 days)`;
- sql_labels:    `td.sql_labels(tables, SQL, cutoffs, entity="customer")`,
  the same task as a DuckDB query over the same pandas frames.

Reported: median seconds and the growth of the child's peak RSS over its
start (the frames already built, so they do not count); the label tables
are compared.
"""

from __future__ import annotations

import argparse
import hashlib
import json
import os
import statistics
import subprocess
import sys
import time

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import run  # noqa: E402  (RSS helpers)

SQL = """
SELECT t.timestamp, c.c_custkey, COUNT(o.o_orderkey) AS orders
FROM timestamp_df t, customer c
LEFT JOIN orders o ON o.o_custkey = c.c_custkey AND o.o_orderdate > t.timestamp
                  AND o.o_orderdate <= t.timestamp + INTERVAL '{timedelta}'
GROUP BY t.timestamp, c.c_custkey
"""
KEYS = dict(primary_keys={"customer": "c_custkey", "orders": "o_orderkey"},
            foreign_keys={"orders": {"o_custkey": "customer"}},
            time_columns={"orders": "o_orderdate"}, time_unit="D")


def tables(scale: float, seed: int = 0) -> dict:
    """TPC-H's customer and orders in size and key shape, as pandas frames."""
    import pandas as pd

    rng = np.random.default_rng(seed)
    customers, orders = int(150_000 * scale), int(1_500_000 * scale)
    custkey = np.arange(1, customers + 1)
    buyers = custkey[custkey % 3 != 0]  # TPC-H: a third of customers never order
    # o_orderkey: 8 keys used in every 32, as dbgen leaves them sparse.
    orderkey = (np.arange(orders) // 8) * 32 + np.arange(orders) % 8 + 1
    first, last = np.datetime64("1992-01-01"), np.datetime64("1998-08-02")
    days = rng.integers(0, int((last - first).astype(int)) + 1, orders)
    return {
        "customer": pd.DataFrame({"c_custkey": custkey,
                                  "c_acctbal": rng.uniform(-999.99, 9999.99, customers)}),
        "orders": pd.DataFrame({"o_orderkey": orderkey,
                                "o_custkey": buyers[rng.integers(0, len(buyers), orders)],
                                "o_orderdate": first + days.astype("timedelta64[D]"),
                                "o_totalprice": rng.uniform(850, 555_000, orders)}),
    }


def cutoffs() -> object:
    import pandas as pd

    return pd.date_range("1996-01-07", periods=52, freq="7D")


def digest(frame: object) -> str:
    h = hashlib.sha256()
    for column in ("row", "time", "label"):
        h.update(np.ascontiguousarray(frame[column].to_numpy()).astype(np.int64).tobytes())
    return h.hexdigest()


def child(case: str, scale: float) -> dict:
    import pandas as pd

    import tovalib_data as td

    data = tables(scale)
    run.release_free_heap()
    base = run.rss_kb()
    run.reset_peak_rss()
    start = time.perf_counter()
    if case == "entity_labels":
        out = td.entity_labels(data, "customer", "orders", cutoffs(), pd.Timedelta(days=30),
                               **KEYS)
    else:
        out = td.sql_labels(data, SQL, cutoffs(), entity="customer",
                            primary_keys=KEYS["primary_keys"], timedelta=pd.Timedelta(days=30))
    seconds = time.perf_counter() - start
    growth = run.peak_rss_kb() - base
    out = out.assign(time=out["time"].to_numpy().astype("datetime64[D]"))
    return {"seconds": seconds, "growth_kb": growth, "rows": len(out),
            "positive": int((out["label"] > 0).sum()), "digest": digest(out)}


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--scale", type=float, default=1.0)
    parser.add_argument("--quick", action="store_true", help="scale 0.01, one round")
    parser.add_argument("--child", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.quick:
        args.scale, args.rounds = 0.01, 1
    if args.child:
        print(json.dumps(child(args.child, args.scale)))
        return
    cases = ("entity_labels", "sql_labels")
    results: dict[str, list[dict]] = {case: [] for case in cases}
    for _ in range(args.rounds):
        for case in cases:
            done = subprocess.run([sys.executable, __file__, "--child", case,
                                   "--scale", str(args.scale)],
                                  capture_output=True, text=True, check=True)
            results[case].append(json.loads(done.stdout))
    first = results["entity_labels"][0]
    same = all(r["digest"] == first["digest"] for rs in results.values() for r in rs)
    print(f"scale {args.scale}: {int(150_000 * args.scale):,} customers, "
          f"{int(1_500_000 * args.scale):,} orders, 52 weekly cut-offs, 30-day horizon; "
          f"{first['rows']:,} labels ({first['positive']:,} positive); "
          f"{args.rounds} rounds, fresh process per case; same tables: {same}")
    print("| case | seconds (median) | range | peak RSS growth |")
    print("|---|---:|---:|---:|")
    for case in cases:
        seconds = [r["seconds"] for r in results[case]]
        growth = statistics.median(r["growth_kb"] for r in results[case]) / 1024
        print(f"| `{case}` | {statistics.median(seconds):.2f} | {min(seconds):.2f} to "
              f"{max(seconds):.2f} | {growth:.0f} MiB |")
    ratios = [a["seconds"] / b["seconds"] for a, b in zip(results["entity_labels"],
                                                         results["sql_labels"])]
    print(f"entity_labels / sql_labels time: {statistics.median(ratios):.2f} "
          f"({min(ratios):.2f} to {max(ratios):.2f})")


if __name__ == "__main__":
    main()
