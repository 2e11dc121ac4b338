"""From tables to one sampled batch, three ways, with a summary of each.

    python examples/quickstart.py [--quick]

A small shop (examples/shop.py) has four tables: customers, products, orders
and order items, each row with a day. `tovalib_data.Graph.from_tables` makes
every table a node type and every foreign key two edge types (one per
direction), with every neighbourhood sorted by time. The seeds are customers,
each with its own cut-off day. The same batch is sampled with

1. plain counts: up to k neighbours per node and hop, drawn uniformly;
2. temporal counts: the k most recent neighbours not later than the seed's day;
3. time windows: every neighbour inside (seed day + lower, seed day + upper].

For each way it prints the nodes per node type and hop, the edges per edge
type and hop, and one line per seed about that seed's own subgraph: its
orders, its products, and the days of its orders and order items.
"""

from __future__ import annotations

import argparse
import os
import sys

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import tovalib_data as td  # noqa: E402
from shop import SHOP_SCHEMA, shop_tables  # noqa: E402

# Neighbours per node for hops 1 to 4: a customer's orders, their items (and
# the customer again), the items' products (and the order again), and more
# sales of those products.
COUNTS = [3, 2, 1, 2]

# Windows in days relative to the seed's day, one (lower, upper] row per hop;
# None as lower bound: everything up to the upper bound.
UP_TO_SEED = [[None, 0]] * 4
WINDOWS = {
    "orders__customer_id__customers": [[-90, 0]] * 4,  # a customer's orders of the last 90 days
    "customers__rev_customer_id__orders": UP_TO_SEED,  # the customer of an order
    "order_items__order_id__orders": UP_TO_SEED,  # the items of an order
    "orders__rev_order_id__order_items": UP_TO_SEED,  # the order of an item
    "order_items__product_id__products": [[-30, 0]] * 4,  # a product's sales of the last month
    "products__rev_product_id__order_items": UP_TO_SEED,  # the product of an item
}


def sample_three_ways(graph: td.Graph, seeds: np.ndarray, seed_days: np.ndarray) -> dict:
    """The batch sampled plainly, by temporal counts and by time windows."""
    counts = {key: np.array(COUNTS, dtype=np.int64) for key in graph.colptr}
    # An object array, so that None can stand for "no lower bound".
    windows = {key: np.array(WINDOWS[key], dtype=object) for key in graph.colptr}
    none = np.array([], dtype=np.int64)
    plain = graph.sampler(seed=7, temporal=False)
    timed = graph.sampler(seed=7)
    return {
        "plain counts": plain.sample(counts, {}, "customers", seeds, none),
        "temporal counts": timed.sample(counts, {}, "customers", seeds, seed_days),
        "time windows": timed.sample({}, windows, "customers", seeds, seed_days),
    }


def print_summary(graph: td.Graph, name: str, result: tuple, seeds, seed_days) -> None:
    rows, cols, nodes, batches, num_nodes, num_edges = result
    hops = len(next(iter(num_edges.values())))
    hop_names = "".join(f"{'hop ' + str(h + 1):>7}" for h in range(hops))
    print(f"\n== {name} ==")
    print(f"{'node type':<38}{'seeds':>7}{hop_names}{'total':>7}")
    for t in graph.node_types:
        cells = "".join(f"{int(n):>7}" for n in num_nodes[t])
        print(f"{t:<38}{cells}{len(nodes[t]):>7}")
    print(f"{'edge type':<38}{'':>7}{hop_names}{'total':>7}")
    for key in graph.colptr:
        cells = "".join(f"{int(n):>7}" for n in num_edges[key])
        print(f"{key:<38}{'':>7}{cells}{len(rows[key]):>7}")

    # One seed's subgraph is the entries whose batch is that seed's index.
    # An order item carries the day of its order.
    def days_of(t):
        return graph.node_time[t][nodes[t]]

    for i, (customer, day) in enumerate(zip(seeds, seed_days)):
        mine = batches["orders"] == i
        days = np.concatenate([days_of("orders")[mine],
                               days_of("order_items")[batches["order_items"] == i]])
        span = f"order days {days.min()}..{days.max()}" if len(days) else "no orders"
        products = int((batches["products"] == i).sum())
        print(
            f"seed {i} (customer {customer}, day {day}): "
            f"orders {int(mine.sum())}, products {products}, {span}"
        )


def main(argv: list[str] | None = None) -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="a smaller shop and batch")
    args = parser.parse_args(argv)

    sizes = {"num_customers": 8, "num_products": 6, "num_orders": 40} if args.quick else {}
    graph = td.Graph.from_tables(shop_tables(**sizes), **SHOP_SCHEMA)
    seeds = np.array([0, 1, 2] if args.quick else [0, 1, 2, 3], dtype=np.int64)
    seed_days = np.array([200, 250, 300, 365][: len(seeds)], dtype=np.int64)
    rows = ", ".join(f"{n} {t}" for t, n in graph.num_nodes.items())
    print(f"graph: {rows}; {sum(len(r) for r in graph.row.values())} edges")
    print(f"seeds: customers {seeds.tolist()} at days {seed_days.tolist()}")
    print(f"counts per hop: {COUNTS}")
    print("windows per hop (days relative to the seed's day, (lower, upper]):")
    for key in graph.colptr:
        print(f"  {key:<38}{WINDOWS[key]}")

    for name, result in sample_three_ways(graph, seeds, seed_days).items():
        print_summary(graph, name, result, seeds, seed_days)


if __name__ == "__main__":
    main()
