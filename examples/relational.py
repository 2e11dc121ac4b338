"""From relational tables to a sampler, and training batches with seed times.

    python examples/relational.py [--quick] [--csv-dir DIR]

`tovalib_data.Graph.from_tables` turns tables with primary keys, foreign keys
and timestamp columns into a heterogeneous graph: every table is a node type
(row i of the table is node i), every foreign key gives two edge types, one
per direction, and every timestamp column gives the table's `node_time`.
Neighbourhoods are sorted by time, as the temporal budgets require.

The example writes a small shop database as CSV files, reads them back with
the standard library into NumPy columns (with pandas installed,
`tovalib_data.read_table` does the same in one call per file), builds the
graph and samples training batches for the
task "will this customer order within 30 days after the cut-off?": the seeds
are customers who had signed up by the cut-off, and the seed time is the
cut-off itself, so nothing later than it can enter a seed's subgraph.
"""

from __future__ import annotations

import argparse
import csv
import os
import tempfile
from typing import Any

import numpy as np

import tovalib_data as td

SCHEMA: dict[str, Any] = {
    "primary_keys": {"customers": "customer_id", "products": "product_id", "orders": "order_id"},
    "foreign_keys": {
        "orders": {"customer_id": "customers"},
        "order_items": {"order_id": "orders", "product_id": "products"},
    },
    "time_columns": {"customers": "signup", "orders": "placed", "order_items": "added"},
    "time_unit": "D",  # the datetime columns become int64 days since 1970-01-01
}


# ---------------------------------------------------------------------------
# A small shop database, written to and read back from CSV.

DAY0 = np.datetime64("2024-01-01", "D")


def write_shop_csv(directory: str, num_customers: int, num_products: int, num_orders: int,
                   seed: int = 0) -> None:
    rng = np.random.default_rng(seed)

    def day(offsets):
        return [str(DAY0 + int(d)) for d in offsets]

    signup = rng.integers(0, 200, num_customers)
    customers = [[f"C{1000 + i}", s] for i, s in zip(range(num_customers), day(signup))]
    products = [[100 + p, rng.choice(["book", "game", "tool"])] for p in range(num_products)]
    who = rng.integers(0, num_customers, num_orders)
    when = np.array([rng.integers(signup[c], 365) for c in who])
    orders = [[o, customers[c][0], d] for o, (c, d) in enumerate(zip(who, day(when)))]
    orders.append([num_orders, "C9999", day([300])[0]])  # a customer that does not exist
    items: list[list] = []
    for o in range(num_orders):
        for p in rng.choice(num_products, int(rng.integers(1, 4)), replace=False):
            items.append([len(items), o, 100 + int(p), day([when[o]])[0]])

    for name, header, rows in (
        ("customers", ["customer_id", "signup_date"], customers),
        ("products", ["product_id", "category"], products),
        ("orders", ["order_id", "customer_id", "order_date"], orders),
        ("order_items", ["item_id", "order_id", "product_id", "added_date"], items),
    ):
        with open(os.path.join(directory, f"{name}.csv"), "w", newline="") as f:
            writer = csv.writer(f)
            writer.writerow(header)
            writer.writerows(rows)


def read_csv(path: str) -> dict[str, list[str]]:
    with open(path, newline="") as f:
        reader = csv.DictReader(f)
        columns: dict[str, list[str]] = {name: [] for name in reader.fieldnames or []}
        for record in reader:
            for name, value in record.items():
                columns[name].append(value)
    return columns


def read_shop_csv(directory: str) -> dict[str, dict[str, np.ndarray]]:
    """The four tables as NumPy columns: ids as integers (customer ids stay
    strings), dates as datetime64."""
    def load(name):
        return read_csv(os.path.join(directory, f"{name}.csv"))

    c, p, o, i = (load(n) for n in ("customers", "products", "orders", "order_items"))
    ints = lambda v: np.array(v, dtype=np.int64)  # noqa: E731
    dates = lambda v: np.array(v, dtype="datetime64[D]")  # noqa: E731
    return {
        "customers": {"customer_id": np.array(c["customer_id"]),
                      "signup": dates(c["signup_date"])},
        "products": {"product_id": ints(p["product_id"])},
        "orders": {"order_id": ints(o["order_id"]), "customer_id": np.array(o["customer_id"]),
                   "placed": dates(o["order_date"])},
        "order_items": {"item_id": ints(i["item_id"]), "order_id": ints(i["order_id"]),
                        "product_id": ints(i["product_id"]), "added": dates(i["added_date"])},
    }


# ---------------------------------------------------------------------------
# Training batches.

def training_batches(graph: td.Graph, cutoffs: list[str], batch_size: int, seed: int = 0):
    """Per cut-off: seeds (customers signed up by then), seed times and labels."""
    signup, placed = graph.node_time["customers"], graph.node_time["orders"]
    # An order's customer is its one neighbour along the reverse edge type.
    colptr = graph.colptr["customers__rev_customer_id__orders"]
    has_customer = np.diff(colptr) > 0
    customer_of_order = np.full(len(placed), -1, dtype=np.int64)
    customer_of_order[has_customer] = graph.row["customers__rev_customer_id__orders"]
    rng = np.random.default_rng(seed)
    for cutoff in cutoffs:
        t = int(np.datetime64(cutoff, "D").astype(np.int64))
        eligible = np.flatnonzero(signup <= t)
        seeds = np.sort(rng.choice(eligible, min(batch_size, len(eligible)), replace=False))
        soon = (placed > t) & (placed <= t + 30)
        buyers = np.unique(customer_of_order[soon & (customer_of_order >= 0)])
        labels = np.isin(seeds, buyers)
        yield cutoff, seeds.astype(np.int64), np.full(len(seeds), t, dtype=np.int64), labels


def budgets(graph: td.Graph, hops: int) -> tuple[dict, dict]:
    """A customer's orders of the last 90 days by window; every other step by counts."""
    counts, windows = {}, {}
    for src, rel, dst in graph.edge_types:
        key = f"{src}__{rel}__{dst}"
        if (src, dst) == ("orders", "customers"):
            windows[key] = np.array([[-90, 0]] * hops, dtype=np.int64)
        else:
            counts[key] = np.array([4] * hops, dtype=np.int64)
    return counts, windows


def latest_time_per_seed(graph: td.Graph, result: tuple, num_seeds: int) -> np.ndarray:
    """The latest node time in each seed's subgraph (over timed node types)."""
    nodes, batches = result[2], result[3]
    latest = np.full(num_seeds, np.iinfo(np.int64).min)
    for node_type, times in graph.node_time.items():
        np.maximum.at(latest, batches[node_type], times[nodes[node_type]])
    return latest


def main(argv: list[str] | None = None) -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="a smaller database")
    parser.add_argument("--csv-dir", help="where to write the CSV files (default: temporary)")
    args = parser.parse_args(argv)
    sizes = (40, 15, 300) if args.quick else (400, 60, 4000)
    batch_size = 16 if args.quick else 64

    with tempfile.TemporaryDirectory() as scratch:
        directory = args.csv_dir or scratch
        os.makedirs(directory, exist_ok=True)
        write_shop_csv(directory, *sizes)
        tables = read_shop_csv(directory)
    graph = td.Graph.from_tables(tables, **SCHEMA)

    print("tables: " + ", ".join(f"{name} {n} rows" for name, n in graph.num_nodes.items()))
    for ref, counts in graph.report.items():
        if counts["dropped"]:
            print(f"{ref}: {counts['dropped']} rows skipped, the key they reference does not exist")
    print("edge types (both directions per foreign key):")
    for src, rel, dst in graph.edge_types:
        key = f"{src}__{rel}__{dst}"
        print(f"  {key:<38}{len(graph.row[key]):>7} edges")

    sampler = graph.sampler(seed=5)
    counts, windows = budgets(graph, hops=3)
    cutoffs = ["2024-06-01", "2024-08-01", "2024-10-01"]
    print("training batches: does the customer order in the 30 days after the cut-off?")
    print(f"{'cut-off':<12}{'seeds':>6}{'positive':>10}{'nodes':>8}{'edges':>8}"
          f"  {'latest time in a subgraph'}  {'all by the cut-off'}")
    for cutoff, seeds, seed_time, labels in training_batches(graph, cutoffs, batch_size):
        result = sampler.sample(counts, windows, "customers", seeds, seed_time)
        latest = latest_time_per_seed(graph, result, len(seeds))
        num_nodes = sum(len(v) for v in result[2].values())
        num_edges = sum(len(v) for v in result[0].values())
        print(f"{cutoff:<12}{len(seeds):>6}{int(labels.sum()):>10}{num_nodes:>8}{num_edges:>8}"
              f"  {str(np.datetime64(int(latest.max()), 'D')):<25}"
              f"  {'yes' if (latest <= seed_time).all() else 'NO'}")


if __name__ == "__main__":
    main()
