"""Recommend products: a two-tower model trained on temporal pairs, scored by MAP@10.

    python examples/train_recommendation.py [--quick] [--epochs N] [--no-progress]

Needs torch and torch_geometric (pip install 'tovalib[pyg]'); tqdm for the
progress bar.

The task: which products will a customer buy in the 30 days after a cut-off?
The shop's tables (examples/shop.py: customers with tastes, products in
categories, orders and their items) become a graph with `Graph.from_tables`;
order items have no day of their own and inherit their order's. The labels
are one call, `td.recommendation_labels` (per customer signed up by a
cut-off, the products its order items in the next 30 days hold, reached
through `via="orders"`), split by time with `td.time_split`: four training
cut-offs every 30 days back from the validation cut-off (day 270), and a
test cut-off at day 300. `LinkNeighborLoader.from_labels` makes one
training pair per (customer, product, cut-off) and samples, per batch, the
subgraphs of the customers, of their products and of negative products
that were for sale at the cut-off, all as of the cut-off. The model has two
towers, a heterogeneous GraphSAGE each, over learned embeddings of every
node (the shop has no features: `torch.nn.Embedding` indexed by `n_id`)
plus each node's age at the cut-off; a pair's score is the dot product of
the towers' outputs, trained with the BPR loss. Per epoch it prints the
training loss and the validation MAP@10 (`td.map_at_k`) of the model's top
ten products among those for sale, next to that of `td.popular` (the
products most often in the training labels, for everyone); at the end, both
on the test cut-off.
"""

from __future__ import annotations

import argparse
import functools
import os
import sys
import warnings
from typing import Any

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import tovalib_data as td  # noqa: E402
from shop import TASTE_SHOP_SCHEMA, taste_shop_tables  # noqa: E402
from tovalib_data._optional import require  # noqa: E402  (ImportError naming the extra)

HORIZON = 30  # days after the cut-off whose purchases are the targets
VALIDATION_CUTOFF, TEST_CUTOFF = 270, 300  # days; training cut-offs 150 to 240
NUM_TRAIN = 4
FANOUT = [10, 3, 1]  # customer -> orders -> items -> products, and product -> items -> ...
K = 10
EMBED_STD = 0.1


# ---------------------------------------------------------------------------
# Data


def build_graph(tables: dict[str, Any]) -> td.Graph:
    """The shop's graph. Order items have no day of their own and inherit
    the latest of the rows they reference (their order's day: products are
    listed before they are sold); untimed, the items of later orders would
    enter the subgraphs of earlier cut-offs."""
    return td.Graph.from_tables(tables, **TASTE_SHOP_SCHEMA)


def labels(tables: dict[str, Any]) -> Any:
    """The task as a function of the cut-offs: per customer signed up by a
    cut-off, the products it buys in the HORIZON days after it."""
    return functools.partial(td.recommendation_labels, tables, "customers", "order_items",
                             "products", horizon=HORIZON, via="orders", **TASTE_SHOP_SCHEMA)


def targets(table: Any) -> tuple[np.ndarray, np.ndarray]:
    """Each row's products as CSR (indptr, indices)."""
    sizes = table["label"].map(len).to_numpy()
    return np.r_[0, np.cumsum(sizes)], np.concatenate(list(table["label"]))


# ---------------------------------------------------------------------------
# Model


def make_model(graph: td.Graph, hidden: int) -> Any:
    torch = require("torch", "pyg")
    nn = require("torch_geometric.nn", "pyg")
    trim_to_layer = require("torch_geometric.utils", "pyg").trim_to_layer
    warnings.filterwarnings("ignore", message="There exist node types")  # HeteroConv, see below

    module: Any = torch.nn.Module

    class Tower(module):
        """A heterogeneous GraphSAGE whose output is its seeds' embedding.
        Each layer has only the edge types whose output a later layer reads."""

        def __init__(self, entity: str) -> None:
            super().__init__()
            self.entity = entity
            convs: list[Any] = []
            needed = {entity}
            for _ in FANOUT:
                used = [et for et in graph.edge_types if et[2] in needed]
                convs.insert(0, nn.HeteroConv({et: nn.SAGEConv(hidden, hidden) for et in used},
                                           aggr="sum"))
                needed |= {et[0] for et in used}
            self.convs = torch.nn.ModuleList(convs)
            self.out = torch.nn.Linear(hidden, hidden)

        def forward(self, data: Any, x: dict[str, Any]) -> Any:
            # The seeds' own input plus what the layers gather around them.
            own = x[self.entity][: data[self.entity].batch_size]
            edge_index = data.edge_index_dict
            for layer, conv in enumerate(self.convs):
                x, edge_index, _ = trim_to_layer(layer, data.num_sampled_nodes_dict,
                                                 data.num_sampled_edges_dict, x, edge_index)
                x = {t: h.relu() for t, h in conv(x, edge_index).items()}
            return own + self.out(x[self.entity][: data[self.entity].batch_size])

    class TwoTower(module):
        def __init__(self) -> None:
            super().__init__()
            # No node type has features: every node gets a learned vector,
            # looked up by its global id (n_id), plus its age at the cut-off.
            self.embed = torch.nn.ModuleDict(
                {t: torch.nn.Embedding(graph.num_nodes[t], hidden) for t in graph.node_types})
            for table in self.embed.values():
                torch.nn.init.normal_(table.weight, std=EMBED_STD)
            self.age = torch.nn.ModuleDict(
                {t: torch.nn.Linear(1, hidden) for t in graph.node_time})
            self.customer = Tower("customers")
            self.product = Tower("products")

        def inputs(self, data: Any, entity: str) -> dict[str, Any]:
            seed_time = data[entity].seed_time
            x = {}
            for t in data.node_types:
                store = data[t]
                h = self.embed[t](store.n_id)
                if t in self.age:
                    age = (seed_time[store.batch] - store.time).float() / 365
                    h = h + self.age[t](age.unsqueeze(-1))
                x[t] = h
            return x

        def customers(self, data: Any) -> Any:
            return self.customer(data, self.inputs(data, "customers"))

        def products(self, data: Any) -> Any:
            return self.product(data, self.inputs(data, "products"))

    return TwoTower()


def bpr_loss(model: Any, batch: td.LinkBatch) -> Any:
    """-log sigmoid(positive score - negative score), over every negative."""
    functional = require("torch.nn.functional", "pyg")
    src, dst, neg = batch.to_pyg()
    customers = model.customers(src)
    positive = (customers * model.products(dst)).sum(-1)
    negatives = model.products(neg).view(len(customers), -1, customers.shape[-1])
    negative = (customers.unsqueeze(1) * negatives).sum(-1)
    return -functional.logsigmoid(positive.unsqueeze(1) - negative).mean()


def embed_all(model: Any, graph: td.Graph, table: str, seeds: np.ndarray, cutoff: int,
              workers: int) -> Any:
    torch = require("torch", "pyg")
    loader = td.NeighborLoader(graph, table, seeds=seeds, seed_time=cutoff,
                               num_neighbors=FANOUT, batch_size=512, shuffle=False,
                               num_workers=workers)
    encode = model.customers if table == "customers" else model.products
    return torch.cat([encode(batch.to_pyg()) for batch in loader])


def rank(model: Any, graph: td.Graph, tables: dict[str, Any], table: Any,
         workers: int) -> np.ndarray:
    """Per row of `table` (one cut-off), the model's top K products among
    those for sale at the cut-off."""
    torch = require("torch", "pyg")
    cutoff = int(table["time"].iloc[0])
    products = np.flatnonzero(tables["products"]["listed"] <= cutoff)
    model.eval()
    with torch.no_grad():
        scores = embed_all(model, graph, "customers", table["row"].to_numpy(), cutoff,
                           workers) @ embed_all(model, graph, "products", products, cutoff,
                                                workers).T
    model.train()
    return products[torch.topk(scores, K, dim=1).indices.numpy()]


def days_of(tables: dict[str, Any]) -> dict[str, np.ndarray]:
    """Every row's day as the tables have it (an order item's: its order's),
    to check the subgraphs without trusting the graph's node times."""
    placed = tables["orders"]["placed"]
    return {"customers": tables["customers"]["signup"], "products": tables["products"]["listed"],
            "orders": placed, "order_items": placed[tables["order_items"]["order_id"]]}


def latest_beyond_cutoff(batch: td.LinkBatch, days: dict[str, np.ndarray]) -> int:
    """The largest (day of a node - its pair's cut-off) over the three subgraphs."""
    latest = np.iinfo(np.int64).min
    for part in (batch.src, batch.dst, batch.neg):
        if part is None or part.seed_time is None:
            continue
        for t, ids in part.node_dict.items():
            if len(ids):
                ahead = days[t][ids] - part.seed_time[part.batch_dict[t]]
                latest = max(latest, int(ahead.max()))
    return latest


def main(argv: list[str] | None = None) -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="a small shop, two epochs")
    parser.add_argument("--epochs", type=int, default=None)
    parser.add_argument("--workers", type=int, default=2)
    parser.add_argument("--no-progress", action="store_true")
    args = parser.parse_args(argv)
    torch = require("torch", "pyg")
    require("torch_geometric", "pyg")
    torch.manual_seed(0)
    torch.set_num_threads(1)  # the loader's workers take the other core

    if args.quick:
        sizes = dict(num_customers=300, num_products=60, num_orders=3000)
        epochs, hidden, batch_size = args.epochs or 2, 16, 128
    else:
        sizes = dict(num_customers=2000, num_products=200, num_orders=20000)
        epochs, hidden, batch_size = args.epochs or 8, 32, 256
    tables = taste_shop_tables(**sizes)
    graph = build_graph(tables)
    print(f"graph: {graph.num_nodes}; order items timed through "
          f"{graph.time_sources.get('order_items')}")

    train, val, test = td.time_split(labels(tables), VALIDATION_CUTOFF, TEST_CUTOFF, HORIZON,
                                     num_train=NUM_TRAIN)
    # One pair per (customer, product, cut-off), sampled at the cut-off
    # itself: every purchase a pair stands for comes after it.
    loader = td.LinkNeighborLoader.from_labels(
        graph, "customers", "products", train, num_neighbors=FANOUT, negatives=4,
        batch_size=batch_size, num_workers=args.workers, progress=not args.no_progress)
    print(f"training pairs {len(loader.src)} over {NUM_TRAIN} cut-offs; validation "
          f"customers {len(val)} at day {VALIDATION_CUTOFF}, test customers {len(test)} "
          f"at day {TEST_CUTOFF}")
    popular = {name: td.map_at_k(td.popular(train, table, K), targets(table), K)
               for name, table in (("validation", val), ("test", test))}

    days = days_of(tables)
    model = make_model(graph, hidden)
    optimizer = torch.optim.Adam(model.parameters(), lr=0.01)
    for epoch in range(epochs):
        loader.set_epoch(epoch)
        losses, beyond = [], np.iinfo(np.int64).min
        for batch in loader:
            beyond = max(beyond, latest_beyond_cutoff(batch, days))
            optimizer.zero_grad()
            loss = bpr_loss(model, batch)
            loss.backward()
            optimizer.step()
            losses.append(loss.item())
        score = td.map_at_k(rank(model, graph, tables, val, args.workers), targets(val), K)
        print(f"epoch {epoch + 1}: training loss {np.mean(losses):.4f}, "
              f"MAP@{K} {score:.4f} (most popular: {popular['validation']:.4f}); "
              f"nodes after their pair's cut-off: {'none' if beyond <= 0 else 'some'}",
              flush=True)
    score = td.map_at_k(rank(model, graph, tables, test, args.workers), targets(test), K)
    print(f"test: MAP@{K} {score:.4f} (most popular: {popular['test']:.4f})")

if __name__ == "__main__":
    main()
