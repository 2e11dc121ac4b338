"""Draw one sampled batch: each seed's own subgraph, laid out by hop.

    python examples/diagram.py [--quick] [--out PATH]

Without --out the picture goes to docs/sampled_batch.png, or with --quick
(the small run the tests make) to a fresh temporary folder, so that a quick
run never overwrites the committed picture.

Samples three customers of the shop graph (examples/shop.py) with temporal
counts (the most recent k neighbours not later than the seed's day) and draws
one panel per seed. Column h holds the nodes that hop h added to that seed's
subgraph (column 0: the seed), coloured by node type and labelled with id and
day; lines are the sampled edges. Needs matplotlib.
"""

from __future__ import annotations

import argparse
import os
import sys
import tempfile

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import tovalib  # noqa: E402
from shop import Graph, edge_key, make_shop  # noqa: E402

COLORS = {"customer": "#4C72B0", "product": "#DD8452", "order": "#55A868"}
DEFAULT_OUT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "docs",
                           "sampled_batch.png")


def count_budgets(graph: Graph) -> dict[str, np.ndarray]:
    """Up to 3, 2 and 2 neighbours per node in hops 1, 2 and 3."""
    return {edge_key(et): np.array([3, 2, 2], dtype=np.int64) for et in graph.edge_types}


def hop_of_each_node(num_nodes: np.ndarray) -> np.ndarray:
    """The hop that added each local index: 0 for the seeds, then 1, 2, ..."""
    return np.repeat(np.arange(len(num_nodes)), num_nodes)


def draw(graph, result, seeds, seed_days, out_path: str) -> tuple[int, int]:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    from matplotlib.lines import Line2D

    rows, cols, nodes, batches, num_nodes, num_edges = result
    num_hops = len(next(iter(num_edges.values())))
    hops = {t: hop_of_each_node(num_nodes[t]) for t in graph.node_types}

    fig, axes = plt.subplots(1, len(seeds), figsize=(5.2 * len(seeds), 7.5), squeeze=False)
    drawn_nodes = drawn_edges = 0
    for i, ax in enumerate(axes[0]):
        # Position of every node of seed i: column = hop, stacked within it.
        where: dict[tuple[str, int], tuple[float, float]] = {}
        for h in range(num_hops + 1):
            column = [(t, int(j)) for t in graph.node_types
                      for j in np.flatnonzero((batches[t] == i) & (hops[t] == h))]
            for k, key_of_node in enumerate(column):
                where[key_of_node] = (h, (len(column) - 1) / 2 - k)
        for et in graph.edge_types:
            key = edge_key(et)
            src, dst = et[0], et[2]
            for r, c in zip(rows[key], cols[key]):
                if batches[dst][c] != i:
                    continue
                (x0, y0), (x1, y1) = where[(src, int(r))], where[(dst, int(c))]
                ax.plot([x0, x1], [y0, y1], color="0.7", lw=0.8, zorder=1)
                drawn_edges += 1
        for (t, j), (x, y) in where.items():
            node = int(nodes[t][j])
            ax.scatter([x], [y], s=420, color=COLORS[t], zorder=2, edgecolors="white")
            ax.annotate(f"{t[0]}{node}\nd{graph.node_time[t][node]}", (x, y), ha="center",
                        va="center", fontsize=6.5, color="white", zorder=3)
        drawn_nodes += len(where)
        ax.set_title(f"seed {i}: customer {seeds[i]}, day {seed_days[i]}", fontsize=10)
        ax.set_xticks(range(num_hops + 1), ["seed"] + [f"hop {h}" for h in range(1, num_hops + 1)])
        ax.set_yticks([])
        ax.set_xlim(-0.5, num_hops + 0.5)
        for side in ("left", "right", "top"):
            ax.spines[side].set_visible(False)

    handles = [Line2D([], [], marker="o", ls="", color=c, label=t, markersize=10)
               for t, c in COLORS.items()]
    fig.legend(handles=handles, loc="lower center", ncol=3, frameon=False)
    fig.suptitle("One batch, temporal counts: the most recent k neighbours up to each "
                 "seed's day (k per hop = " + ", ".join(map(str, count_budgets(graph)[
                     edge_key(graph.edge_types[0])].tolist())) + ")")
    fig.tight_layout(rect=(0, 0.04, 1, 0.97))
    os.makedirs(os.path.dirname(os.path.abspath(out_path)), exist_ok=True)
    fig.savefig(out_path, dpi=110)
    plt.close(fig)
    return drawn_nodes, drawn_edges


def main(argv: list[str] | None = None) -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="a smaller graph")
    parser.add_argument("--out", help="where to write the PNG (default: docs/sampled_batch.png, "
                                      "or a temporary folder with --quick)")
    args = parser.parse_args(argv)
    if args.out is None:
        args.out = (os.path.join(tempfile.mkdtemp(prefix="tovalib-diagram-"), "sampled_batch.png")
                    if args.quick else DEFAULT_OUT)

    graph = make_shop(num_customers=8, num_products=6, num_orders=40) if args.quick else make_shop()
    seeds = np.array([0, 1, 2], dtype=np.int64)
    seed_days = np.array([200, 250, 300], dtype=np.int64)
    sampler = tovalib.NeighborSampler(**graph.sampler_args(), seed=7)
    result = sampler.sample(count_budgets(graph), {}, "customer", seeds, seed_days)
    n, e = draw(graph, result, seeds, seed_days, args.out)
    total_nodes = sum(len(v) for v in result[2].values())
    total_edges = sum(len(v) for v in result[0].values())
    print(f"sampled {total_nodes} nodes and {total_edges} edges for {len(seeds)} seeds")
    print(f"drew {n} nodes and {e} edges to {args.out}")


if __name__ == "__main__":
    main()
