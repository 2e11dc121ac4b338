"""Train a heterogeneous GraphSAGE on a temporal task, from tables to metrics.

    python examples/train_relational.py [--quick] [--epochs N] [--no-progress]

Needs torch and torch_geometric (pip install 'tovalib[pyg]'); tqdm for the
progress bar.

The task: will a customer order in the 30 days after a cut-off date? A shop's
tables (customers, products, orders with dates) become a graph with
`Graph.from_tables`; the labels are one call, `td.entity_labels` (does the
customer have an order in (cut-off, cut-off + 30 days]?, for every customer
signed up by the cut-off), split by time with `td.time_split`: training
cut-offs every 30 days back from the validation cut-off (day 300), so the
last training window ends where validation begins, and a test cut-off 30
days after it. `NeighborLoader.from_labels` takes each table as it comes
(seeds, seed times = the cut-offs, labels in `batch.y`), so a customer's
subgraph holds only what was known at its cut-off; the batches are the same
on every run and for any number of workers, and `Batch.to_pyg()` hands them
to a 2-layer heterogeneous GraphSAGE, which trims the last hop away before
its second layer (`trim_to_layer`). Products have no feature columns: each
product gets a learned embedding, looked up by the sampled nodes' ids in
the graph (`n_id`). Per epoch it prints the mean training loss and the
validation ROC AUC; at the end, ROC AUC and average precision (from
scikit-learn) of the model and of `td.baseline` (the training positive
rate) on validation and test.
"""

from __future__ import annotations

import argparse
import functools
import warnings
from typing import Any

import numpy as np

import tovalib_data as td
from tovalib_data._optional import require  # ImportError naming the extra to install

DAY0 = np.datetime64("2024-01-01", "D")
HORIZON = 30  # days after the cut-off in which an order makes the label positive
VALIDATION_CUTOFF, TEST_CUTOFF = 300, 330  # days since DAY0
TRAIN_CUTOFFS = [180, 210, 240, 270]  # what time_split steps back to from day 300
FANOUT = [10, 5]


# ---------------------------------------------------------------------------
# Data: a shop whose customers order at their own rate until they leave.


def make_tables(num_customers: int, num_products: int, seed: int = 0) -> dict[str, Any]:
    rng = np.random.default_rng(seed)
    signup = rng.integers(0, 240, num_customers)
    leave = signup + rng.exponential(200, num_customers).astype(np.int64)  # may be past the year
    rate = rng.lognormal(-3.2, 0.8, num_customers)  # orders per day while active
    active = np.clip(np.minimum(leave, 365) - signup, 0, None)
    per_customer = rng.poisson(rate * active)
    customer = np.repeat(np.arange(num_customers), per_customer)
    placed = signup[customer] + (rng.random(len(customer)) * active[customer]).astype(np.int64)
    order = np.argsort(placed, kind="stable")
    customer, placed = customer[order], placed[order]
    num_orders = len(customer)
    return {
        "customers": {
            "customer_id": np.arange(num_customers) + 1000,
            "signup": DAY0 + signup.astype("timedelta64[D]"),
            "age": rng.normal(40, 12, num_customers),
        },
        "products": {
            "product_id": np.arange(num_products),
            "price": rng.lognormal(3, 1, num_products),
        },
        "orders": {
            "order_id": np.arange(num_orders),
            "customer_id": customer + 1000,
            "product_id": rng.integers(0, num_products, num_orders),
            "placed": DAY0 + placed.astype("timedelta64[D]"),
            "amount": rng.lognormal(3, 0.5, num_orders),
        },
    }


SCHEMA: dict[str, Any] = {
    "primary_keys": {"customers": "customer_id", "products": "product_id", "orders": "order_id"},
    "foreign_keys": {"orders": {"customer_id": "customers", "product_id": "products"}},
    "time_columns": {"customers": "signup", "orders": "placed"},
    # products: no features, so a learned embedding per product (see make_model)
    "feature_columns": {"customers": ["age"], "orders": ["amount"]},
    "time_unit": "D",
}


def labels(tables: dict[str, Any]) -> Any:
    """The task as a function of the cut-offs: per customer signed up by a
    cut-off, whether it orders in the HORIZON days after it."""
    keys = {k: SCHEMA[k] for k in ("primary_keys", "foreign_keys", "time_columns", "time_unit")}
    return functools.partial(td.entity_labels, tables, "customers", "orders",
                             horizon=np.timedelta64(HORIZON, "D"), aggregate="exists", **keys)


def make_task(tables: dict[str, Any], cutoffs: list[int]) -> tuple[np.ndarray, ...]:
    """(customer row, cut-off, label) for every customer signed up by each
    cut-off (days since DAY0), as arrays."""
    table = labels(tables)(DAY0 + np.array(cutoffs, dtype="timedelta64[D]"))
    days = table["time"].to_numpy().astype("datetime64[D]")
    return table["row"].to_numpy(), days, table["label"].to_numpy()


# ---------------------------------------------------------------------------
# Model


def make_model(graph: td.Graph, entity: str, hidden: int = 32) -> Any:
    torch = require("torch", "pyg")
    nn = require("torch_geometric.nn", "pyg")
    trim_to_layer = require("torch_geometric.utils", "pyg").trim_to_layer

    node_types = graph.node_types
    # Input columns: the stored features and, for timed types, the node's age.
    in_dims = {t: (graph.x[t].shape[1] if t in graph.x else 0) + (t in graph.node_time)
               for t in node_types}

    module: Any = torch.nn.Module

    class HeteroSAGE(module):
        def __init__(self) -> None:
            super().__init__()
            self.encode = torch.nn.ModuleDict(
                {t: torch.nn.Linear(in_dims[t], hidden) for t in node_types if in_dims[t]})
            # A type without feature columns gets a learned vector per node,
            # looked up by the sampled nodes' ids in the graph (n_id).
            self.embed = torch.nn.ModuleDict(
                {t: torch.nn.Embedding(graph.num_nodes[t], hidden)
                 for t in node_types if t not in graph.x})
            # Each layer only has the edge types whose output a later layer
            # reads (every parameter then gets a gradient, as DDP requires).
            # (HeteroConv warns about the node types a layer leaves out.)
            warnings.filterwarnings("ignore", message="There exist node types")
            convs: list[Any] = []
            needed = {entity}
            for _ in range(2):
                used = [et for et in graph.edge_types if et[2] in needed]
                convs.insert(0, nn.HeteroConv({et: nn.SAGEConv(hidden, hidden) for et in used},
                                           aggr="sum"))
                needed |= {et[0] for et in used}
            self.convs = torch.nn.ModuleList(convs)
            self.head = torch.nn.Linear(hidden, 1)

        def forward(self, data: Any) -> Any:
            seeds = data[entity]
            x = {t: self.inputs(data, t) for t in node_types}
            edge_index = data.edge_index_dict
            for layer, conv in enumerate(self.convs):
                # Before layer l, drop the nodes and edges of the last l hops:
                # nothing they would compute reaches the seeds any more.
                x, edge_index, _ = trim_to_layer(layer, data.num_sampled_nodes_dict,
                                                 data.num_sampled_edges_dict, x, edge_index)
                x = {t: h.relu() for t, h in conv(x, edge_index).items()}
            return self.head(x[entity][: seeds.batch_size]).squeeze(-1)

        def inputs(self, data: Any, node_type: str) -> Any:
            """The hidden vectors of a type's sampled nodes: its embedding
            rows and/or its encoded input columns."""
            store = data[node_type]
            h = torch.zeros(store.num_nodes, hidden)
            if node_type in self.embed:
                h = h + self.embed[node_type](store.n_id)
            if node_type in self.encode:
                h = h + self.encode[node_type](columns(data, node_type))
            return h

    def columns(data: Any, node_type: str) -> Any:
        """Stored features, scaled, plus each node's age in years at its
        seed's cut-off (seed_time[batch] - time)."""
        store = data[node_type]
        parts = []
        if "x" in store:
            parts.append(torch.log1p(store.x.abs()) if node_type != "customers"
                         else store.x / 50)
        if "time" in store:
            age = data[entity].seed_time[store.batch] - store.time
            parts.append((age.float() / 365).unsqueeze(-1))
        return torch.cat(parts, dim=-1)

    return HeteroSAGE()


def predict(model: Any, loader: td.NeighborLoader) -> np.ndarray:
    """The model's score of every seed of `loader`, in seed order."""
    torch = require("torch", "pyg")
    model.eval()
    scores = np.empty(len(loader.seeds))
    with torch.no_grad():
        for batch in loader:
            scores[batch.seed_index] = model(batch.to_pyg()).numpy()
    model.train()
    return scores


def main(argv: list[str] | None = None) -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="a small shop, two epochs")
    parser.add_argument("--epochs", type=int, default=None)
    parser.add_argument("--workers", type=int, default=2)
    parser.add_argument("--no-progress", action="store_true")
    args = parser.parse_args(argv)
    torch = require("torch", "pyg")
    require("torch_geometric", "pyg")
    metrics = require("sklearn.metrics", "tasks")
    torch.manual_seed(0)

    customers, products = (400, 40) if args.quick else (5000, 300)
    epochs = args.epochs or (2 if args.quick else 8)
    batch_size = 64 if args.quick else 256
    tables = make_tables(customers, products)
    graph = td.Graph.from_tables(tables, **SCHEMA)
    print(f"graph: {graph.num_nodes}, "
          f"{sum(len(r) for r in graph.row.values())} edges in {len(graph.edge_types)} types")

    def day(n: int) -> np.timedelta64:
        return np.timedelta64(n, "D")

    train, val, test = td.time_split(labels(tables), DAY0 + day(VALIDATION_CUTOFF),
                                     DAY0 + day(TEST_CUTOFF), day(HORIZON),
                                     num_train=len(TRAIN_CUTOFFS))
    print(f"training pairs {len(train)} ({train.label.mean():.0%} positive), "
          f"validation pairs {len(val)} ({val.label.mean():.0%} positive), "
          f"test pairs {len(test)} ({test.label.mean():.0%} positive)")
    options = dict(num_neighbors=FANOUT, num_workers=args.workers)
    loader = td.NeighborLoader.from_labels(graph, "customers", train, batch_size=batch_size,
                                           progress=not args.no_progress, **options)
    val_loader, test_loader = (
        td.NeighborLoader.from_labels(graph, "customers", table, batch_size=512,
                                      shuffle=False, **options) for table in (val, test))

    model = make_model(graph, "customers")
    optimizer = torch.optim.Adam(model.parameters(), lr=0.01)
    loss_fn = torch.nn.BCEWithLogitsLoss()
    for epoch in range(epochs):
        loader.set_epoch(epoch)
        losses = []
        for batch in loader:
            optimizer.zero_grad()
            data = batch.to_pyg()
            loss = loss_fn(model(data), data["customers"].y.float())
            loss.backward()
            optimizer.step()
            losses.append(loss.item())
        auc = metrics.roc_auc_score(val.label, predict(model, val_loader))
        print(f"epoch {epoch + 1}: training loss {np.mean(losses):.4f}, "
              f"validation AUC {auc:.3f}", flush=True)
    for name, table, part_loader in (("validation", val, val_loader),
                                     ("test", test, test_loader)):
        for who, scores in (("model", predict(model, part_loader)),
                            ("baseline", td.baseline(train, table))):
            print(f"{name} {who}: ROC AUC {metrics.roc_auc_score(table.label, scores):.3f}, "
                  f"average precision {metrics.average_precision_score(table.label, scores):.3f}")

if __name__ == "__main__":
    main()
