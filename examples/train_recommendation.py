"""Recommend products: a two-tower model trained on temporal pairs, scored by MAP@10.

    python examples/train_recommendation.py [--quick] [--epochs N] [--no-progress]

Needs torch and torch_geometric (pip install 'tovalib[pyg]'); tqdm for the
progress bar.

The task: which products will a customer buy in the 30 days after a cut-off?
The shop's tables (examples/shop.py: customers with tastes, products in
categories, orders and their items) become a graph with `Graph.from_tables`;
order items have no day of their own and inherit their order's. Every
training pair is (customer, product bought in the 30 days after a cut-off,
that cut-off), for the cut-offs of months 5 to 8. `LinkNeighborLoader`
samples, per batch, the subgraphs of the customers, of their products and of
negative products that were for sale at the cut-off, all as of the cut-off.
The model has two towers, a heterogeneous GraphSAGE each, over learned
embeddings of every node (the shop has no features: `torch.nn.Embedding`
indexed by `n_id`) plus each node's age at the cut-off; a pair's score is
the dot product of the towers' outputs, trained with the BPR loss. Per epoch
it prints the training loss and the MAP@10 of the model's top ten products at
the cut-off of month 10, next to that of recommending the most popular
products to everyone.
"""

from __future__ import annotations

import argparse
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
TRAIN_CUTOFFS = [150, 180, 210, 240]  # days; the last window ends on day 270
TEST_CUTOFF = 300
POPULAR_DAYS = 60  # the baseline ranks products by their sales in the days before the cut-off
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


def purchases(tables: dict[str, Any]) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """(customer, product, day) of every order item."""
    orders, items = tables["orders"], tables["order_items"]
    return (orders["customer_id"][items["order_id"]], items["product_id"],
            orders["placed"][items["order_id"]])


def targets(tables: dict[str, Any], cutoff: int) -> tuple[np.ndarray, np.ndarray]:
    """Distinct (customer, product) bought in (cutoff, cutoff + HORIZON],
    for customers signed up and products listed by the cut-off (others
    cannot be known at the cut-off)."""
    customer, product, day = purchases(tables)
    keep = (day > cutoff) & (day <= cutoff + HORIZON)
    keep &= tables["customers"]["signup"][customer] <= cutoff
    keep &= tables["products"]["listed"][product] <= cutoff
    num_products = len(tables["products"]["id"])
    pairs = np.unique(customer[keep] * num_products + product[keep])
    return pairs // num_products, pairs % num_products


def training_pairs(tables: dict[str, Any]) -> tuple[np.ndarray, ...]:
    src, dst, time = [], [], []
    for cutoff in TRAIN_CUTOFFS:
        c, p = targets(tables, cutoff)
        src.append(c)
        dst.append(p)
        time.append(np.full(len(c), cutoff))
    return np.concatenate(src), np.concatenate(dst), np.concatenate(time)


def mean_average_precision(ranked: np.ndarray, customers: np.ndarray,
                           relevant: tuple[np.ndarray, np.ndarray]) -> float:
    """MAP@K of `ranked` (per customer, the top K product ids) against the
    relevant (customer, product) pairs."""
    rel_customer, rel_product = relevant
    row = np.searchsorted(customers, rel_customer)
    width = max(int(ranked.max()), int(rel_product.max())) + 1  # one int key per pair
    hit = np.isin(np.arange(len(customers))[:, None] * width + ranked, row * width + rel_product)
    precision = np.cumsum(hit, axis=1) / np.arange(1, ranked.shape[1] + 1)
    count = np.minimum(np.bincount(row, minlength=len(customers)), ranked.shape[1])
    return float(((precision * hit).sum(axis=1) / count).mean())


def most_popular(tables: dict[str, Any], cutoff: int, available: np.ndarray) -> np.ndarray:
    """The K best-selling products of the POPULAR_DAYS before the cut-off."""
    _, product, day = purchases(tables)
    recent = (day <= cutoff) & (day > cutoff - POPULAR_DAYS)
    sales = np.bincount(product[recent], minlength=len(available)).astype(float)
    sales[~available] = -np.inf
    return np.argsort(-sales, kind="stable")[:K]


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


def evaluate(model: Any, graph: td.Graph, tables: dict[str, Any], workers: int) -> float:
    torch = require("torch", "pyg")
    relevant = targets(tables, TEST_CUTOFF)
    customers = np.unique(relevant[0])
    available = tables["products"]["listed"] <= TEST_CUTOFF
    products = np.flatnonzero(available)
    model.eval()
    with torch.no_grad():
        scores = embed_all(model, graph, "customers", customers, TEST_CUTOFF, workers) @ \
            embed_all(model, graph, "products", products, TEST_CUTOFF, workers).T
    model.train()
    ranked = products[torch.topk(scores, K, dim=1).indices.numpy()]
    return mean_average_precision(ranked, customers, relevant)


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

    src, dst, time = training_pairs(tables)
    test_customers = len(np.unique(targets(tables, TEST_CUTOFF)[0]))
    print(f"training pairs {len(src)} over {len(TRAIN_CUTOFFS)} cut-offs; "
          f"test customers {test_customers} at day {TEST_CUTOFF}")
    # Every purchase a pair stands for comes after its cut-off, so the pairs
    # are sampled at the cut-off itself (inclusive), not one day before it.
    loader = td.LinkNeighborLoader(graph, "customers", "products", src, dst, time=time,
                                   inclusive=True,
                                   num_neighbors=FANOUT, negatives=4, batch_size=batch_size,
                                   num_workers=args.workers, progress=not args.no_progress)

    available = tables["products"]["listed"] <= TEST_CUTOFF
    relevant = targets(tables, TEST_CUTOFF)
    customers = np.unique(relevant[0])
    popular = mean_average_precision(
        np.tile(most_popular(tables, TEST_CUTOFF, available), (len(customers), 1)),
        customers, relevant)

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
        score = evaluate(model, graph, tables, args.workers)
        print(f"epoch {epoch + 1}: training loss {np.mean(losses):.4f}, "
              f"MAP@{K} {score:.4f} (most popular: {popular:.4f}); "
              f"nodes after their pair's cut-off: {'none' if beyond <= 0 else 'some'}",
              flush=True)


if __name__ == "__main__":
    main()
