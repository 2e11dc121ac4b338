"""Sample one batch of a small shop graph three ways and summarise it.

    python examples/quickstart.py [--quick]

The graph (examples/shop.py) has customers, products and orders, with edges in
both directions and every neighbourhood sorted by time. The seeds are
customers, each with its own cut-off day. The same batch is sampled with

1. plain counts: up to k neighbours per node and hop, drawn uniformly;
2. temporal counts: the k most recent neighbours not later than the seed's day;
3. time windows: every neighbour inside (seed day + lower, seed day + upper].

For each way it prints the nodes per node type and hop, the edges per edge
type and hop, and one line per seed about that seed's own subgraph.
"""

from __future__ import annotations

import argparse
import os
import sys

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import tovalib  # noqa: E402
from shop import Graph, edge_key, make_shop  # noqa: E402

COUNTS = [3, 2, 2]  # neighbours per node, for hops 1, 2 and 3

# Windows in days relative to the seed's day, one (lower, upper] row per hop;
# None as lower bound: everything up to the upper bound.
RECENT = [[-90, 0]] * 3  # the last 90 days
UP_TO_SEED = [[None, 0]] * 3  # anything up to the seed's day
WINDOWS = {
    ("order", "placed_by", "customer"): RECENT,  # a customer's recent orders
    ("customer", "places", "order"): UP_TO_SEED,  # the customer of an order
    ("product", "in", "order"): UP_TO_SEED,  # the products of an order
    ("order", "contains", "product"): [[-30, 0]] * 3,  # a product's orders of the last month
}


def count_budgets(graph: Graph) -> dict[str, np.ndarray]:
    return {edge_key(et): np.array(COUNTS, dtype=np.int64) for et in graph.edge_types}


def window_budgets(graph: Graph) -> dict[str, np.ndarray]:
    # An object array, so that None can stand for "no lower bound".
    return {edge_key(et): np.array(WINDOWS[et], dtype=object) for et in graph.edge_types}


def sample_three_ways(graph: Graph, seeds: np.ndarray, seed_days: np.ndarray) -> dict:
    """The batch sampled plainly, by temporal counts and by time windows."""
    none = np.array([], dtype=np.int64)
    plain = tovalib.NeighborSampler(**graph.sampler_args(temporal=False), seed=7)
    timed = tovalib.NeighborSampler(**graph.sampler_args(), seed=7)
    return {
        "plain counts": plain.sample(count_budgets(graph), {}, "customer", seeds, none),
        "temporal counts": timed.sample(count_budgets(graph), {}, "customer", seeds, seed_days),
        "time windows": timed.sample({}, window_budgets(graph), "customer", seeds, seed_days),
    }


def print_summary(graph: Graph, name: str, result: tuple, seeds, seed_days) -> None:
    rows, cols, nodes, batches, num_nodes, num_edges = result
    hops = len(next(iter(num_edges.values())))
    hop_names = "".join(f"{'hop ' + str(h + 1):>7}" for h in range(hops))
    print(f"\n== {name} ==")
    print(f"{'node type':<28}{'seeds':>7}{hop_names}{'total':>7}")
    for t in graph.node_types:
        cells = "".join(f"{int(n):>7}" for n in num_nodes[t])
        print(f"{t:<28}{cells}{len(nodes[t]):>7}")
    print(f"{'edge type':<28}{'':>7}{hop_names}{'total':>7}")
    for et in graph.edge_types:
        key = edge_key(et)
        cells = "".join(f"{int(n):>7}" for n in num_edges[key])
        print(f"{key:<28}{'':>7}{cells}{len(rows[key]):>7}")

    # One seed's subgraph is the entries whose batch is that seed's index.
    order_days = graph.node_time["order"][nodes["order"]]
    for i, (customer, day) in enumerate(zip(seeds, seed_days)):
        mine = batches["order"] == i
        span = (
            f"order days {order_days[mine].min()}..{order_days[mine].max()}"
            if mine.any()
            else "no orders"
        )
        products = int((batches["product"] == i).sum())
        print(
            f"seed {i} (customer {customer}, day {day}): "
            f"orders {int(mine.sum())}, products {products}, {span}"
        )


def main(argv: list[str] | None = None) -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="a smaller graph and batch")
    args = parser.parse_args(argv)

    graph = make_shop(num_customers=8, num_products=6, num_orders=40) if args.quick else make_shop()
    seeds = np.array([0, 1, 2] if args.quick else [0, 1, 2, 3], dtype=np.int64)
    seed_days = np.array([200, 250, 300, 365][: len(seeds)], dtype=np.int64)
    sizes = ", ".join(f"{n} {t}s" for t, n in graph.num_nodes.items())
    print(f"graph: {sizes}; {sum(len(r) for r in graph.row.values())} edges")
    print(f"seeds: customers {seeds.tolist()} at days {seed_days.tolist()}")
    print(f"counts per hop: {COUNTS}")
    print("windows per hop (days relative to the seed's day, (lower, upper]):")
    for et in graph.edge_types:
        print(f"  {edge_key(et):<28}{WINDOWS[et]}")

    for name, result in sample_three_ways(graph, seeds, seed_days).items():
        print_summary(graph, name, result, seeds, seed_days)


if __name__ == "__main__":
    main()
