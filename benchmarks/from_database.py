"""Graph.from_database on a generated SQLite database, beside from_tables on the same frames.

    python benchmarks/from_database.py [--rows 5000000] [--rounds 3] [--dir DIR] [--quick]

The database (made once and kept in --dir, default the system's temporary
directory): a fact table `events` (id INTEGER PRIMARY KEY, user_id and
item_id foreign keys, ts TIMESTAMP as ISO text with microseconds, amount
REAL with 1% nulls) of --rows rows, `users` (rows / 25; id, signup DATE)
and `items` (rows / 100; id, price REAL), inserted in random key order. The
same columns are kept as NumPy frames (.npy files) next to it: the frames
`from_tables` is given, exactly what `from_database` reads.

Every case runs in a fresh process and the cases alternate round by round,
so machine load hits them alike:

- fetch:         the driver alone: sqlite3 `fetchmany` of the columns
                 from_database reads, in the same order and chunks, nothing
                 converted (the floor of any reader through the driver);
- from_database: `Graph.from_database` on the file's URL;
- from_tables:   the frames loaded, then `Graph.from_tables` on them.

Reported: median seconds, rows per second (all three tables), and the growth
of the child's peak RSS over its start (interpreter and imports excluded; for
from_tables the frames count, as the caller holds them), also as a ratio to
the graph's arrays; then ratios between the cases as the median of the
per-round ratios, with their range. The two graphs are compared by hash.
"""

from __future__ import annotations

import argparse
import hashlib
import json
import os
import sqlite3
import statistics
import subprocess
import sys
import tempfile
import time

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import run  # noqa: E402  (RSS helpers)

OPTIONS = dict(time_columns={"events": "ts", "users": "signup"},
               feature_columns={"events": ["amount"], "items": ["price"]})
READ = {"events": ["id", "user_id", "item_id", "ts", "amount"], "items": ["id", "price"],
        "users": ["id", "signup"]}
KEYS = dict(primary_keys={"events": "id", "items": "id", "users": "id"},
            foreign_keys={"events": {"item_id": "items", "user_id": "users"}})


def frames(rows: int, seed: int = 0) -> dict[str, dict[str, np.ndarray]]:
    """The tables in primary-key order, as from_database returns their columns."""
    rng = np.random.default_rng(seed)
    num_users, num_items = max(rows // 25, 1), max(rows // 100, 1)
    start = np.datetime64("2021-01-01T00:00:00", "us")
    amount = np.round(rng.random(rows) * 100, 2)
    amount[rng.random(rows) < 0.01] = np.nan
    return {
        "events": {
            "id": np.arange(rows, dtype=np.int64),
            "user_id": rng.integers(0, num_users, rows),
            "item_id": rng.integers(0, num_items, rows),
            "ts": start + rng.integers(0, 2 * 365 * 86400 * 10**6, rows),
            "amount": amount,
        },
        "items": {"id": np.arange(num_items, dtype=np.int64),
                  "price": np.round(rng.random(num_items) * 50, 2)},
        "users": {"id": np.arange(num_users, dtype=np.int64),
                  "signup": np.datetime64("2020-01-01") + rng.integers(0, 365, num_users)},
    }


def make(directory: str, rows: int) -> str:
    """The database and the frames, unless they are there already; the path."""
    path = os.path.join(directory, f"from_database_{rows}.sqlite")
    if os.path.exists(path) and os.path.exists(path + ".events.ts.npy"):
        return path
    tables = frames(rows)
    for name, columns in tables.items():
        for column, values in columns.items():
            np.save(f"{path}.{name}.{column}.npy", values)
    scratch = path + ".new"
    if os.path.exists(scratch):
        os.remove(scratch)
    conn = sqlite3.connect(scratch)
    conn.executescript("""
        CREATE TABLE users (id INTEGER PRIMARY KEY, signup DATE);
        CREATE TABLE items (id INTEGER PRIMARY KEY, price REAL);
        CREATE TABLE events (id INTEGER PRIMARY KEY, user_id INTEGER REFERENCES users(id),
                             item_id INTEGER REFERENCES items(id), ts TIMESTAMP, amount REAL);
    """)
    rng = np.random.default_rng(1)
    for name, columns in tables.items():
        order = rng.permutation(len(columns["id"]))  # rows not in key order on disk
        values = []
        for column, array in columns.items():
            array = array[order]
            if array.dtype.kind == "M":
                text = np.datetime_as_string(array).astype(object)
                values.append([t.replace("T", " ") for t in text])
            elif array.dtype.kind == "f":
                values.append([None if v != v else v for v in array.tolist()])
            else:
                values.append(array.tolist())
        marks = ", ".join("?" * len(columns))
        conn.executemany(f"INSERT INTO {name} VALUES ({marks})", zip(*values))
        conn.commit()
    conn.close()
    os.replace(scratch, path)
    return path


def digest(graph: object) -> str:
    """One hash over every array and field of a graph."""
    h = hashlib.sha256()
    g = graph.__dict__
    h.update(json.dumps([g["node_types"], g["edge_types"], g["num_nodes"], g["time_unit"],
                         g["report"], g["time_sources"]], sort_keys=True).encode())
    for kind in ("colptr", "row", "node_time", "x"):
        for key in sorted(g[kind]):
            h.update(key.encode())
            h.update(np.ascontiguousarray(g[kind][key]).tobytes())
    return h.hexdigest()


def child(case: str, path: str) -> dict:
    """Runs in a fresh process: one case, measured."""
    import tovalib_data as td
    from tovalib_data.sources import database

    run.release_free_heap()
    base = run.rss_kb()
    run.reset_peak_rss()
    start = time.perf_counter()
    result: dict = {}
    if case == "fetch":
        conn = sqlite3.connect(path)
        rows = 0
        for name, columns in READ.items():
            cursor = conn.execute(f"SELECT {', '.join(columns)} FROM {name} ORDER BY id")
            while chunk := cursor.fetchmany(database.CHUNK_ROWS):
                rows += len(chunk)
        conn.close()
        result["rows"] = rows
    elif case == "from_database":
        graph = td.Graph.from_database(f"sqlite:///{path}", **OPTIONS)
    else:
        tables = {name: {c: np.load(f"{path}.{name}.{c}.npy") for c in columns}
                  for name, columns in READ.items()}
        loaded = time.perf_counter()
        graph = td.Graph.from_tables(tables, **KEYS, **OPTIONS)
        result["load_seconds"] = loaded - start
        start = loaded
    result["seconds"] = time.perf_counter() - start
    result["growth_kb"] = run.peak_rss_kb() - base
    if case != "fetch":
        arrays = [*graph.colptr.values(), *graph.row.values(), *graph.node_time.values(),
                  *graph.x.values()]
        result["output_bytes"] = sum(a.nbytes for a in arrays)
        result["rows"] = sum(graph.num_nodes.values())
        result["digest"] = digest(graph)
    return result


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, default=5_000_000, help="fact rows")
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--dir", default=tempfile.gettempdir(),
                        help="where the database and frames are kept")
    parser.add_argument("--quick", action="store_true", help="50,000 rows, one round")
    parser.add_argument("--child", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.quick:
        args.rows, args.rounds = 50_000, 1
    if args.child:
        print(json.dumps(child(args.child, args.dir)))
        return
    started = time.perf_counter()
    path = make(args.dir, args.rows)
    made = time.perf_counter() - started
    cases = ("fetch", "from_database", "from_tables")
    results: dict[str, list[dict]] = {case: [] for case in cases}
    for _ in range(args.rounds):
        for case in cases:
            done = subprocess.run([sys.executable, __file__, "--child", case, "--dir", path],
                                  capture_output=True, text=True, check=True)
            results[case].append(json.loads(done.stdout))
    db, tables = results["from_database"][0], results["from_tables"][0]
    rows, output, mib = db["rows"], db["output_bytes"], 2**20
    print(f"database: events {args.rows:,} rows, users {args.rows // 25:,}, items "
          f"{args.rows // 100:,} ({os.path.getsize(path) / mib:.0f} MiB"
          + (f", made in {made:.0f} s" if made > 1 else "") + f"); graph arrays "
          f"{output / mib:.0f} MiB; {args.rounds} rounds, fresh process per case")
    seconds = {case: statistics.median(r["seconds"] for r in results[case]) for case in cases}
    growth = {case: statistics.median(r["growth_kb"] for r in results[case]) * 1024
              for case in cases}
    print(f"{'case':<15}{'seconds':>9}{'M rows/s':>10}{'peak RSS growth':>17}"
          f"{'/ output':>10}")
    for case in cases:
        print(f"{case:<15}{seconds[case]:>9.2f}{rows / seconds[case] / 1e6:>10.2f}"
              f"{growth[case] / mib:>13.0f} MiB{growth[case] / output:>10.2f}")

    def paired(a: str, b: str, key: str) -> str:
        """The median of the per-round ratios a / b, and their range."""
        ratios = sorted(x[key] / y[key] for x, y in zip(results[a], results[b]))
        return (f"{statistics.median(ratios):.2f}x"
                + (f" ({ratios[0]:.2f} to {ratios[-1]:.2f})" if len(ratios) > 1 else ""))

    print(f"from_database / from_tables: {paired('from_database', 'from_tables', 'seconds')} "
          f"the time, {paired('from_database', 'from_tables', 'growth_kb')} the peak RSS growth")
    print(f"from_database / fetch alone: {paired('from_database', 'fetch', 'seconds')} the time")
    conversion = sorted((d["seconds"] - f["seconds"] - t["seconds"]) / f["seconds"]
                        for d, f, t in zip(results["from_database"], results["fetch"],
                                           results["from_tables"]))
    print(f"(from_database - fetch - from_tables) / fetch: {statistics.median(conversion):.2f} "
          "(reading past the driver: conversion, counts, catalog)")
    same = {r["digest"] for case in ("from_database", "from_tables") for r in results[case]}
    print(f"graphs equal: {'yes' if len(same) == 1 else 'NO'}; frames loaded for from_tables "
          f"in {statistics.median(r['load_seconds'] for r in results['from_tables']):.2f} s "
          "(not counted)")
    if len(same) != 1:
        sys.exit(1)


if __name__ == "__main__":
    main()
