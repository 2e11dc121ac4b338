"""Typed features on TPC-H: building them beside PyTorch Frame, and `to_pyg()` beside sampling.

    python benchmarks/typed_features.py [--scale 0.1] [--rounds 3] [--batches 20] [--dir DIR]
    python benchmarks/typed_features.py --quick     # scale 0.01, one round, 5 batches

The database: the eight TPC-H tables at `--scale`, generated with NumPy in
TPC-H's shapes (region 5, nation 25, supplier 10k, customer 150k, part
200k, partsupp 800k, orders 1.5M and lineitem about 6M rows per unit of
scale; keys, value ranges, categories and dates as the TPC-H specification
draws them), since DuckDB's tpch extension needs a download. Text: the
orders carry a comment of 4 to 12 words from a 300-word vocabulary (the
table with text); the other tables' comments, names, addresses and phones
are left out. The tables are written once as Parquet to --dir and read by
every case.

Every case runs in a fresh process, the cases alternating round by round;
the frames are read (and torch and PyTorch Frame imported) before the
clock and the peak RSS measurement start:

- graph:     `Graph.from_tables(..., features=None)`: keys, edges, times only;
- features:  `Graph.from_tables(..., features="auto")`: the same graph with
             every other column typed, fitted and encoded;
- frame:     PyTorch Frame's `Dataset(df, col_to_stype, text cfg).materialize()`
             on each table, with the types `features="auto"` chose
             (PyTorch Frame has no inference of its own in `Dataset`);
- to_pyg:    the features graph as saved and loaded (memory-mapped), then
             `NeighborLoader` (512 seeds, [128, 64] on every edge type,
             customers at a cut-off, num_workers=0): per batch the time
             `next()` takes (sampling and gathering, the typed features'
             rows included), the same batch's `next()` on the graph without
             typed features, and the time `to_pyg()` takes (a TensorFrame
             per node type).

Both sides embed text with the same deterministic hashing embedder.
Reported: median seconds and peak RSS growth per case, the ratios, and per
batch the median sampling and `to_pyg()` times.
"""

from __future__ import annotations

import argparse
import json
import os
import statistics
import subprocess
import sys
import tempfile
import time
import zlib
from typing import Any

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import run  # noqa: E402  (RSS helpers)

DIM = 16  # width of the text embeddings
DAY0 = np.datetime64("1992-01-01", "s")
WORDS = np.array([f"w{i:03d}" for i in range(300)], dtype=object)

SCHEMA: dict[str, Any] = {
    "primary_keys": {"region": "r_regionkey", "nation": "n_nationkey",
                     "supplier": "s_suppkey", "customer": "c_custkey", "part": "p_partkey",
                     "partsupp": ["ps_partkey", "ps_suppkey"], "orders": "o_orderkey"},
    "foreign_keys": {"nation": {"n_regionkey": "region"},
                     "supplier": {"s_nationkey": "nation"},
                     "customer": {"c_nationkey": "nation"},
                     "partsupp": {"ps_partkey": "part", "ps_suppkey": "supplier"},
                     "orders": {"o_custkey": "customer"},
                     "lineitem": {"l_orderkey": "orders",
                                  ("l_partkey", "l_suppkey"): "partsupp"}},
    "time_columns": {"orders": "o_orderdate"},
}


def embed(texts: list[str]) -> np.ndarray:
    """A deterministic hashing embedder: per word, one of DIM buckets by a
    stable hash, counted and scaled to unit length."""
    out = np.zeros((len(texts), DIM), dtype=np.float32)
    for i, text in enumerate(texts):
        for word in text.split():
            out[i, zlib.crc32(word.encode()) % DIM] += 1.0
    norms = np.linalg.norm(out, axis=1, keepdims=True)
    return out / np.where(norms == 0, 1, norms)


def tpch(scale: float, seed: int = 0) -> dict[str, Any]:
    """The TPC-H tables at `scale` as pandas DataFrames."""
    import pandas as pd

    rng = np.random.default_rng(seed)
    n_supp, n_cust, n_part = int(10_000 * scale), int(150_000 * scale), int(200_000 * scale)
    n_orders = int(1_500_000 * scale)

    def pick(values: list[str], n: int) -> np.ndarray:
        return np.array(values, dtype=object)[rng.integers(0, len(values), n)]

    region = pd.DataFrame({"r_regionkey": np.arange(5),
                           "r_name": ["AFRICA", "AMERICA", "ASIA", "EUROPE", "MIDDLE EAST"]})
    nation = pd.DataFrame({"n_nationkey": np.arange(25), "n_name": [f"N{i}" for i in range(25)],
                           "n_regionkey": np.arange(25) % 5})
    supplier = pd.DataFrame({
        "s_suppkey": np.arange(1, n_supp + 1), "s_nationkey": rng.integers(0, 25, n_supp),
        "s_acctbal": np.round(rng.uniform(-999.99, 9999.99, n_supp), 2)})
    customer = pd.DataFrame({
        "c_custkey": np.arange(1, n_cust + 1), "c_nationkey": rng.integers(0, 25, n_cust),
        "c_acctbal": np.round(rng.uniform(-999.99, 9999.99, n_cust), 2),
        "c_mktsegment": pick(["AUTOMOBILE", "BUILDING", "FURNITURE", "HOUSEHOLD", "MACHINERY"],
                             n_cust)})
    brand = rng.integers(1, 6, n_part) * 10 + rng.integers(1, 6, n_part)
    part = pd.DataFrame({
        "p_partkey": np.arange(1, n_part + 1),
        "p_mfgr": np.char.add("Manufacturer#", (brand // 10).astype(str)).astype(object),
        "p_brand": np.char.add("Brand#", brand.astype(str)).astype(object),
        "p_type": (pick(["STANDARD", "SMALL", "MEDIUM", "LARGE", "ECONOMY", "PROMO"], n_part)
                   + " " + pick(["ANODIZED", "BURNISHED", "PLATED", "POLISHED", "BRUSHED"],
                                n_part)
                   + " " + pick(["TIN", "NICKEL", "BRASS", "STEEL", "COPPER"], n_part)),
        "p_size": rng.integers(1, 51, n_part),
        "p_container": (pick(["SM", "LG", "MED", "JUMBO", "WRAP"], n_part) + " "
                        + pick(["CASE", "BOX", "BAG", "JAR", "PKG", "PACK", "CAN", "DRUM"],
                               n_part)),
        "p_retailprice": np.round(900 + (np.arange(1, n_part + 1) % 20001) / 10, 2)})
    # Four suppliers per part, as TPC-H spreads them.
    ps_part = np.repeat(np.arange(1, n_part + 1), 4)
    ps_supp = (ps_part + np.tile(np.arange(4), n_part) * (n_supp // 4 + (ps_part - 1) // n_supp)
               ) % n_supp + 1
    partsupp = pd.DataFrame({
        "ps_partkey": ps_part, "ps_suppkey": ps_supp,
        "ps_availqty": rng.integers(1, 10_000, len(ps_part)),
        "ps_supplycost": np.round(rng.uniform(1, 1000, len(ps_part)), 2)})
    # Orders: two thirds of the customers order; keys sparse as in TPC-H.
    ordering = np.arange(1, n_cust + 1)[np.arange(1, n_cust + 1) % 3 != 0]
    orderdate = DAY0 + rng.integers(0, 2405, n_orders).astype("timedelta64[D]")
    words = rng.integers(4, 13, n_orders)
    vocab = WORDS[rng.integers(0, len(WORDS), int(words.sum()))]
    comments = [" ".join(vocab[a:b]) for a, b in
                zip(np.cumsum(words) - words, np.cumsum(words))]
    orders = pd.DataFrame({
        "o_orderkey": (np.arange(n_orders) // 8) * 32 + np.arange(n_orders) % 8 + 1,
        "o_custkey": ordering[rng.integers(0, len(ordering), n_orders)],
        "o_orderstatus": pick(["F", "O", "P"], n_orders),
        "o_totalprice": np.round(rng.uniform(850, 550_000, n_orders), 2),
        "o_orderdate": orderdate.astype("datetime64[ns]"),
        "o_orderpriority": pick(["1-URGENT", "2-HIGH", "3-MEDIUM", "4-NOT SPECIFIED", "5-LOW"],
                                n_orders),
        "o_clerk": np.char.add("Clerk#", rng.integers(1, int(1000 * scale) + 2,
                                                      n_orders).astype(str)).astype(object),
        "o_shippriority": np.zeros(n_orders, dtype=np.int64),
        "o_comment": np.array(comments, dtype=object)})
    lines = rng.integers(1, 8, n_orders)
    owner = np.repeat(np.arange(n_orders), lines)
    n_lines = len(owner)
    l_part = rng.integers(1, n_part + 1, n_lines)
    which = rng.integers(0, 4, n_lines)
    l_supp = (l_part + which * (n_supp // 4 + (l_part - 1) // n_supp)) % n_supp + 1
    ship = orders["o_orderdate"].to_numpy()[owner] + rng.integers(
        1, 122, n_lines).astype("timedelta64[D]")
    quantity = rng.integers(1, 51, n_lines)
    lineitem = pd.DataFrame({
        "l_orderkey": orders["o_orderkey"].to_numpy()[owner],
        "l_partkey": l_part, "l_suppkey": l_supp,
        "l_linenumber": np.arange(n_lines) - np.repeat(np.cumsum(lines) - lines, lines) + 1,
        "l_quantity": quantity,
        "l_extendedprice": np.round(quantity * part["p_retailprice"].to_numpy()[l_part - 1], 2),
        "l_discount": rng.integers(0, 11, n_lines) / 100,
        "l_tax": rng.integers(0, 9, n_lines) / 100,
        "l_returnflag": pick(["R", "A", "N"], n_lines),
        "l_linestatus": pick(["O", "F"], n_lines),
        "l_shipdate": ship,
        "l_commitdate": orders["o_orderdate"].to_numpy()[owner]
        + rng.integers(30, 91, n_lines).astype("timedelta64[D]"),
        "l_receiptdate": ship + rng.integers(1, 31, n_lines).astype("timedelta64[D]"),
        "l_shipinstruct": pick(["DELIVER IN PERSON", "COLLECT COD", "NONE", "TAKE BACK RETURN"],
                               n_lines),
        "l_shipmode": pick(["REG AIR", "AIR", "RAIL", "SHIP", "TRUCK", "MAIL", "FOB"],
                           n_lines)})
    return {"region": region, "nation": nation, "supplier": supplier, "customer": customer,
            "part": part, "partsupp": partsupp, "orders": orders, "lineitem": lineitem}


def make(directory: str, scale: float) -> str:
    """The tables as Parquet files in a folder of `directory`, unless there already."""
    folder = os.path.join(directory, f"tpch_{scale:g}")
    if os.path.exists(os.path.join(folder, "done")):
        return folder
    os.makedirs(folder, exist_ok=True)
    for name, frame in tpch(scale).items():
        frame.to_parquet(os.path.join(folder, f"{name}.parquet"))
    open(os.path.join(folder, "done"), "w").close()
    return folder


def read(folder: str) -> dict[str, Any]:
    import pandas as pd

    return {name: pd.read_parquet(os.path.join(folder, f"{name}.parquet"))
            for name in ("region", "nation", "supplier", "customer", "part", "partsupp",
                         "orders", "lineitem")}


def key_columns(name: str) -> set[str]:
    keys = SCHEMA["primary_keys"].get(name, [])
    columns = set([keys] if isinstance(keys, str) else keys)
    for fkey in SCHEMA["foreign_keys"].get(name, {}):
        columns |= set([fkey] if isinstance(fkey, str) else fkey)
    return columns | {SCHEMA["time_columns"].get(name)}


def child(case: str, folder: str, options: dict[str, Any]) -> dict[str, Any]:
    """Runs in a fresh process: one case, measured."""
    import torch
    import torch_frame  # imported before the clock, as torch is, for every case

    import tovalib_data as td

    torch.set_num_threads(1)
    tables = read(folder) if case != "to_pyg" else {}
    run.release_free_heap()
    base = run.rss_kb()
    run.reset_peak_rss()
    start = time.perf_counter()
    result: dict[str, Any] = {}
    if case == "graph":
        td.Graph.from_tables(tables, **SCHEMA, features=None)
    elif case == "features":
        graph = td.Graph.from_tables(tables, **SCHEMA, features="auto", text_embedder=embed)
        result["types"] = graph.stypes
        result["seconds"] = time.perf_counter() - start
        result["growth_kb"] = run.peak_rss_kb() - base
        graph.save(os.path.join(folder, "graph"))  # for the to_pyg case
        return result
    elif case == "frame":
        from torch_frame.config import TextEmbedderConfig

        config = TextEmbedderConfig(lambda texts: torch.from_numpy(embed(texts)))
        for name, types in options["types"].items():
            if not types:
                continue
            col_to_stype = {c: torch_frame.stype(s) for c, s in types.items()}
            torch_frame.data.Dataset(tables[name][list(col_to_stype)], col_to_stype,
                                     col_to_text_embedder_cfg=config).materialize()
    else:  # to_pyg
        import dataclasses

        graph = td.Graph.load(os.path.join(folder, "graph"), mmap=True)
        cutoff = np.datetime64("1997-01-01", "s").astype(np.int64)
        options_ = dict(seed_time=cutoff, num_neighbors=[128, 64], batch_size=512,
                        shuffle=True, num_workers=0)
        # The same batches twice: with the typed features gathered, and
        # from the graph without them (sampling and node times alone).
        loaders = [td.NeighborLoader(g, "customer", **options_)
                   for g in (graph, dataclasses.replace(graph, features={}))]

        def epochs(loader: Any) -> Any:  # as many epochs as the batches need
            for epoch in range(10**6):
                loader.set_epoch(epoch)
                yield from loader

        with_features, bare = (epochs(loader) for loader in loaders)
        sample, gather, convert, nodes = [], [], [], []
        for _ in range(options["batches"] + 1):
            t0 = time.perf_counter()
            next(bare)
            t1 = time.perf_counter()
            batch = next(with_features)
            t2 = time.perf_counter()
            data = batch.to_pyg()
            t3 = time.perf_counter()
            sample.append(t1 - t0)
            gather.append(t2 - t1)
            convert.append(t3 - t2)
            nodes.append(int(sum(data[t].num_nodes for t in data.node_types)))
            assert all("tf" in data[t] for t in data.node_types if data[t].num_nodes)
        # The first batch warms up (imports, first allocations): left out.
        result.update(sample=sample[1:], gather=gather[1:], convert=convert[1:],
                      nodes=nodes[1:])
    result["seconds"] = time.perf_counter() - start
    result["growth_kb"] = run.peak_rss_kb() - base
    return result


def spawn(case: str, folder: str, options: dict[str, Any]) -> dict[str, Any]:
    done = subprocess.run([sys.executable, __file__, "--child", case, "--dir", folder,
                           "--options", json.dumps(options)],
                          capture_output=True, text=True)
    if done.returncode:
        sys.exit(f"case {case} failed:\n{done.stderr}")
    result: dict[str, Any] = json.loads(done.stdout.splitlines()[-1])
    return result


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--scale", type=float, default=0.1)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--batches", type=int, default=20, help="timed batches per round")
    parser.add_argument("--dir", default=tempfile.gettempdir(),
                        help="where the Parquet files are kept")
    parser.add_argument("--quick", action="store_true", help="scale 0.01, one round, 5 batches")
    parser.add_argument("--child", help=argparse.SUPPRESS)
    parser.add_argument("--options", default="{}", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        print(json.dumps(child(args.child, args.dir, json.loads(args.options))))
        return
    if args.quick:
        args.scale, args.rounds, args.batches = 0.01, 1, 5
    started = time.perf_counter()
    folder = make(args.dir, args.scale)
    made = time.perf_counter() - started
    frames = read(folder)
    rows = {name: len(frame) for name, frame in frames.items()}
    del frames
    print(f"TPC-H at scale {args.scale:g}: " + ", ".join(f"{n} {r:,}" for n, r in rows.items())
          + " rows" + (f" (made in {made:.0f} s)" if made > 1 else "")
          + f"; {args.rounds} rounds, a fresh process per case")
    results: dict[str, list[dict[str, Any]]] = {c: [] for c in
                                                 ("graph", "features", "frame", "to_pyg")}
    types: dict[str, Any] = {}
    for _ in range(args.rounds):
        results["features"].append(spawn("features", folder, {}))
        types = results["features"][-1]["types"]
        results["frame"].append(spawn("frame", folder, {"types": types}))
        results["graph"].append(spawn("graph", folder, {}))
        results["to_pyg"].append(spawn("to_pyg", folder, {"batches": args.batches}))
    counts: dict[str, int] = {}
    for cols in types.values():
        for s in cols.values():
            counts[s] = counts.get(s, 0) + 1
    print("typed columns: " + ", ".join(f"{s} {n}" for s, n in sorted(counts.items())))
    mib = 2**20
    print(f"{'case':<34}{'seconds':>9}{'peak RSS growth':>18}")
    labels = {"graph": "from_tables, features=None",
              "features": 'from_tables, features="auto"',
              "frame": "PyTorch Frame Dataset.materialize"}
    for case, label in labels.items():
        seconds = statistics.median(r["seconds"] for r in results[case])
        growth = statistics.median(r["growth_kb"] for r in results[case]) * 1024
        print(f"{label:<34}{seconds:>9.2f}{growth / mib:>14.0f} MiB")

    def paired(a: str, b: str, key: str, minus: str | None = None) -> str:
        """The median of the per-round ratios (a - minus) / b, and their range."""
        ratios = sorted((x[key] - (m[key] if m else 0)) / y[key] for x, y, m in zip(
            results[a], results[b], results[minus] if minus else [None] * len(results[a])))
        return (f"{statistics.median(ratios):.2f}x"
                + (f" ({ratios[0]:.2f} to {ratios[-1]:.2f})" if len(ratios) > 1 else ""))

    print(f"features / PyTorch Frame: {paired('features', 'frame', 'seconds')} the time, "
          f"{paired('features', 'frame', 'growth_kb')} the peak RSS growth")
    print(f"(features - graph) / PyTorch Frame: {paired('features', 'frame', 'seconds', 'graph')}"
          " the time (the typed features alone)")
    def per_batch(key: str) -> list[float]:
        return [x for r in results["to_pyg"] for x in r[key]]

    sample, gather, convert = per_batch("sample"), per_batch("gather"), per_batch("convert")
    nodes = per_batch("nodes")
    features_share = [(g - s + c) / (g + c) for s, g, c in zip(sample, gather, convert)]
    convert_share = [c / (g + c) for g, c in zip(gather, convert)]
    ms = 1e3
    print(f"batches of 512 customers, [128, 64]: {statistics.median(nodes):,.0f} nodes (median) "
          f"over {len(sample)} batches; medians per batch:")
    for label, times in (("loader next(), graph without typed features", sample),
                         ("loader next(), typed features gathered", gather),
                         ("to_pyg() with a TensorFrame per node type", convert)):
        print(f"  {label:<46}{statistics.median(times) * ms:6.1f} ms")
    print(f"  to_pyg() / the batch's time (next() + to_pyg()): "
          f"{statistics.median(convert_share):.2f} (range {min(convert_share):.2f} to "
          f"{max(convert_share):.2f})")
    print(f"  typed features' whole cost (gathering + to_pyg()) / the batch's time: "
          f"{statistics.median(features_share):.2f}")


if __name__ == "__main__":
    main()
