"""Train on every column of a shop's tables: typed features, PyTorch Frame encoders, a GNN.

    python examples/train_features.py [--quick] [--epochs N] [--encoder auto|relbench|frame]

Needs torch, torch_geometric and PyTorch Frame (pip install 'tovalib[frame,pyg]');
RelBench for its encoder (pip install 'tovalib[relbench]').

The shop of `train_relational.py`, with the columns a real shop has: a
customer's segment (categorical) and age (with nulls), a product's category,
price and description (text), an order's channel and amount. No feature code
is written: `Graph.from_tables(features=...)` types every column that is
not a key or the time column as PyTorch Frame would (but the product
category, set by hand: a dict sets some types, the rest is inferred),
fits the statistics on the rows up to the last training cut-off
(`fit_until`, so no statistic sees the validation month) and embeds the
text offline. Each batch's `to_pyg()`
carries a TensorFrame per node type (`tf_dict`), which a per-type encoder
turns into vectors: RelBench's `HeteroEncoder` (a PyTorch Frame ResNet per
table) when RelBench is installed, else PyTorch Frame's
`StypeWiseFeatureEncoder` averaged over the columns (`--encoder` picks). Each
node's age at its seed's cut-off is added, then two GraphSAGE layers and a
linear head on the seeds. The task: will a customer order in the 30 days
after a cut-off? Per epoch it prints the training loss and the validation
ROC AUC.
"""

from __future__ import annotations

import argparse
import importlib.util
import os
import sys
import warnings
from typing import Any

import numpy as np

import tovalib_data as td
from tovalib_data._optional import require  # ImportError naming the extra to install

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
# The shop, the task and the metric of the plain example.
from train_relational import (  # noqa: E402
    DAY0, TRAIN_CUTOFFS, VALIDATION_CUTOFF, make_tables, make_task)

FANOUT = [10, 5]
SEGMENTS = np.array(["retail", "small business", "wholesale"], dtype=object)
CATEGORIES = np.array(["books", "garden", "kitchen", "toys", "tools"], dtype=object)
WORDS = np.array(["red", "large", "wooden", "steel", "set", "of", "two", "classic", "soft",
                  "compact", "deluxe", "outdoor", "kids", "spare", "blue"], dtype=object)
CHANNELS = np.array(["web", "app", "store"], dtype=object)


def shop(num_customers: int, num_products: int) -> dict[str, Any]:
    """`train_relational`'s tables with categorical, text and nullable columns added."""
    tables = make_tables(num_customers, num_products)
    rng = np.random.default_rng(1)
    customers, products, orders = tables["customers"], tables["products"], tables["orders"]
    age = customers["age"].copy()
    age[rng.random(len(age)) < 0.1] = np.nan  # not every customer says
    customers.update(age=age, segment=SEGMENTS[rng.integers(0, len(SEGMENTS), len(age))])
    products["category"] = CATEGORIES[rng.integers(0, len(CATEGORIES), num_products)]
    products["description"] = np.array(
        [" ".join(WORDS[rng.integers(0, len(WORDS), 4)]) for _ in range(num_products)],
        dtype=object)
    orders["channel"] = CHANNELS[rng.integers(0, len(CHANNELS), len(orders["order_id"]))]
    return tables


SCHEMA: dict[str, Any] = {
    "primary_keys": {"customers": "customer_id", "products": "product_id", "orders": "order_id"},
    "foreign_keys": {"orders": {"customer_id": "customers", "product_id": "products"}},
    "time_columns": {"customers": "signup", "orders": "placed"},
}


def frame_encoder(graph: td.Graph, channels: int) -> Any:
    """Per node type, PyTorch Frame's column-wise encoder, averaged over the
    columns: {node type: TensorFrame} -> {node type: (rows, channels)}."""
    torch = require("torch", "frame")
    torch_frame = require("torch_frame", "frame")
    nn = torch_frame.nn
    encoders = {
        torch_frame.numerical: nn.LinearEncoder, torch_frame.categorical: nn.EmbeddingEncoder,
        torch_frame.multicategorical: nn.MultiCategoricalEmbeddingEncoder,
        torch_frame.embedding: nn.LinearEmbeddingEncoder, torch_frame.timestamp: nn.TimestampEncoder,
    }
    module: Any = torch.nn.Module

    class FrameEncoder(module):
        def __init__(self) -> None:
            super().__init__()
            self.encoders = torch.nn.ModuleDict({
                t: nn.StypeWiseFeatureEncoder(
                    out_channels=channels, col_stats=graph.col_stats[t], col_names_dict=names,
                    stype_encoder_dict={s: encoders[s]() for s in names})
                for t, names in graph.col_names_dict.items()})

        def forward(self, tf_dict: dict[str, Any]) -> dict[str, Any]:
            return {t: self.encoders[t](tf)[0].mean(dim=1) for t, tf in tf_dict.items()}

    return FrameEncoder()


def make_model(graph: td.Graph, entity: str, encoder: str, channels: int = 32) -> Any:
    torch = require("torch", "pyg")
    pyg = require("torch_geometric.nn", "pyg")
    if encoder == "relbench":
        relbench_nn = require("relbench.modeling.nn", "relbench")
        columns = relbench_nn.HeteroEncoder(
            channels, graph.col_names_dict, graph.col_stats,
            torch_frame_model_kwargs={"channels": channels, "num_layers": 2})
    else:
        columns = frame_encoder(graph, channels)
    module: Any = torch.nn.Module
    # (HeteroConv warns about node types no edge type of a layer reaches.)
    warnings.filterwarnings("ignore", message="There exist node types")

    class Model(module):
        def __init__(self) -> None:
            super().__init__()
            self.columns = columns
            self.age = torch.nn.ModuleDict(
                {t: torch.nn.Linear(1, channels) for t in graph.node_time})
            self.convs = torch.nn.ModuleList(
                pyg.HeteroConv({et: pyg.SAGEConv(channels, channels) for et in graph.edge_types},
                               aggr="sum") for _ in range(2))
            self.head = torch.nn.Linear(channels, 1)

        def forward(self, data: Any) -> Any:
            x = self.columns(data.tf_dict)
            seed_time = data[entity].seed_time
            for t, time in data.time_dict.items():  # age in years at the seed's cut-off
                age = (seed_time[data[t].batch] - time).float() / (365 * 86400)
                x[t] = x[t] + self.age[t](age.unsqueeze(-1))
            for conv in self.convs:
                x = {t: h.relu() for t, h in conv(x, data.edge_index_dict).items()}
            return self.head(x[entity][: data[entity].batch_size]).squeeze(-1)

    return Model()


def main(argv: list[str] | None = None) -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="a small shop, two epochs")
    parser.add_argument("--epochs", type=int, default=None)
    parser.add_argument("--workers", type=int, default=2)
    parser.add_argument("--encoder", choices=["auto", "relbench", "frame"], default="auto",
                        help="RelBench's HeteroEncoder, or PyTorch Frame's own encoder "
                             "(auto: RelBench's when installed)")
    args = parser.parse_args(argv)
    torch = require("torch", "pyg")
    require("torch_geometric", "pyg")
    require("torch_frame", "frame")
    metrics = require("sklearn.metrics", "tasks")
    torch.manual_seed(0)
    encoder = args.encoder
    if encoder == "auto":
        encoder = "relbench" if importlib.util.find_spec("relbench") else "frame"

    customers, products = (400, 40) if args.quick else (5000, 300)
    epochs = args.epochs or (2 if args.quick else 8)
    tables = shop(customers, products)
    last_training_day = DAY0 + np.timedelta64(max(TRAIN_CUTOFFS), "D")
    # Every column typed as PyTorch Frame infers it, but the category, which
    # a shop knows to be one (a dict sets some types, the rest is inferred).
    graph = td.Graph.from_tables(tables, **SCHEMA,
                                 features={"products": {"category": "categorical"}},
                                 fit_until=last_training_day)
    for node_type, types in graph.stypes.items():
        print(f"{node_type}: " + ", ".join(f"{c} {s}" for c, s in types.items()))

    seeds, times, label = make_task(tables, TRAIN_CUTOFFS)
    val_seeds, val_times, val_label = make_task(tables, [VALIDATION_CUTOFF])
    print(f"training pairs {len(seeds)} ({label.mean():.0%} positive), "
          f"validation pairs {len(val_seeds)} ({val_label.mean():.0%} positive)")
    loader = td.NeighborLoader(graph, "customers", seeds=seeds, seed_time=times,
                               num_neighbors=FANOUT, batch_size=64 if args.quick else 256,
                               num_workers=args.workers)
    val_loader = td.NeighborLoader(graph, "customers", seeds=val_seeds, seed_time=val_times,
                                   num_neighbors=FANOUT, batch_size=512, shuffle=False,
                                   num_workers=args.workers)

    model = make_model(graph, "customers", encoder)
    print(f"encoder: {type(model.columns).__name__} ({encoder})")
    optimizer = torch.optim.Adam(model.parameters(), lr=0.01)
    targets = torch.from_numpy(label.astype(np.float32))
    loss_fn = torch.nn.BCEWithLogitsLoss()
    for epoch in range(epochs):
        loader.set_epoch(epoch)
        losses = []
        for batch in loader:
            optimizer.zero_grad()
            loss = loss_fn(model(batch.to_pyg()), targets[batch.seed_index])
            loss.backward()
            optimizer.step()
            losses.append(loss.item())
        model.eval()
        scores = np.empty(len(val_label))
        with torch.no_grad():
            for batch in val_loader:
                scores[batch.seed_index] = model(batch.to_pyg()).numpy()
        model.train()
        print(f"epoch {epoch + 1}: training loss {np.mean(losses):.4f}, "
              f"validation AUC {metrics.roc_auc_score(val_label, scores):.3f}", flush=True)


if __name__ == "__main__":
    main()
