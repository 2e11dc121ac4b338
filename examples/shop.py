"""A small synthetic shop: customers, products and orders with timestamps.

Shared by the examples. `shop_tables` gives it as relational tables for
`tovalib_data.Graph.from_tables` (with `SHOP_SCHEMA`); `make_shop` builds the
arrays of a smaller schema (orders link products directly) from edge lists
with `tovalib_data.time_sorted_csc`: `colptr` indexed by destination id, `row`
holding source ids, and every neighbourhood ordered by the time of its source
nodes, which the temporal budgets require.

    graph = make_shop(num_customers=20, num_products=12, num_orders=120)
    sampler = tovalib.NeighborSampler(**graph.sampler_args())
"""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import Any

import numpy as np

from tovalib_data import time_sorted_csc

NODE_TYPES = ["customer", "product", "order"]

# (source, relation, destination); every relation also runs backwards so that
# sampling can walk from any node type to any other.
EDGE_TYPES = [
    ("order", "placed_by", "customer"),  # a customer's orders
    ("customer", "places", "order"),  # an order's customer
    ("product", "in", "order"),  # an order's products
    ("order", "contains", "product"),  # a product's orders
]


def edge_key(edge_type: tuple[str, str, str]) -> str:
    """The dictionary key of an edge type: source__relation__destination."""
    src, rel, dst = edge_type
    return f"{src}__{rel}__{dst}"


@dataclass
class Graph:
    """Everything a sampler is built from, plus the edge lists behind it."""

    node_types: list[str]
    edge_types: list[tuple[str, str, str]]
    colptr: dict[str, np.ndarray]
    row: dict[str, np.ndarray]
    node_time: dict[str, np.ndarray]
    num_nodes: dict[str, int] = field(default_factory=dict)

    def sampler_args(self, temporal: bool = True) -> dict:
        return {
            "node_types": self.node_types,
            "edge_types": self.edge_types,
            "colptr": self.colptr,
            "row": self.row,
            "node_time": self.node_time if temporal else {},
        }

    def has_edge(self, edge_type: tuple[str, str, str], src: int, dst: int) -> bool:
        key = edge_key(edge_type)
        ptr = self.colptr[key]
        return bool(np.any(self.row[key][ptr[dst] : ptr[dst + 1]] == src))


def draw_shop(
    num_customers: int = 20,
    num_products: int = 12,
    num_orders: int = 120,
    horizon: int = 365,
    seed: int = 0,
) -> dict[str, np.ndarray]:
    """A deterministic shop whose times are days in [0, horizon), as columns.

    Customers sign up and products are listed at random days; each order is
    placed by one customer after signing up and holds one to three distinct
    products that were listed before it (one order item each).
    """
    rng = np.random.default_rng(seed)
    signup = rng.integers(0, horizon // 3, num_customers).astype(np.int64)
    listed = rng.integers(0, horizon // 2, num_products).astype(np.int64)
    listed[0] = 0  # something is for sale from day 0

    customer = rng.integers(0, num_customers, num_orders).astype(np.int64)
    placed = np.array(
        [rng.integers(signup[c], horizon) for c in customer], dtype=np.int64
    )
    order_src, order_dst = [], []  # product -> order
    for o in range(num_orders):
        available = np.flatnonzero(listed <= placed[o])
        size = min(len(available), int(rng.integers(1, 4)))
        for p in rng.choice(available, size=size, replace=False):
            order_src.append(int(p))
            order_dst.append(o)
    return {
        "signup": signup,
        "listed": listed,
        "order_customer": customer,
        "placed": placed,
        "item_product": np.array(order_src, dtype=np.int64),
        "item_order": np.array(order_dst, dtype=np.int64),
    }


def shop_tables(**sizes: int) -> dict[str, dict[str, np.ndarray]]:
    """The shop of `draw_shop` as four tables of NumPy columns; every table's
    key is its row number, and every row has a day. For `SHOP_SCHEMA`."""
    c = draw_shop(**sizes)
    return {
        "customers": {"id": np.arange(len(c["signup"])), "signup": c["signup"]},
        "products": {"id": np.arange(len(c["listed"])), "listed": c["listed"]},
        "orders": {"id": np.arange(len(c["placed"])), "customer_id": c["order_customer"],
                   "placed": c["placed"]},
        "order_items": {"order_id": c["item_order"], "product_id": c["item_product"],
                        "placed": c["placed"][c["item_order"]]},
    }


SHOP_SCHEMA: dict[str, Any] = {
    "primary_keys": {"customers": "id", "products": "id", "orders": "id"},
    "foreign_keys": {
        "orders": {"customer_id": "customers"},
        "order_items": {"order_id": "orders", "product_id": "products"},
    },
    "time_columns": {"customers": "signup", "products": "listed", "orders": "placed",
                     "order_items": "placed"},
}


def make_shop(
    num_customers: int = 20,
    num_products: int = 12,
    num_orders: int = 120,
    horizon: int = 365,
    seed: int = 0,
) -> Graph:
    """The shop of `draw_shop` as the arrays of a graph with three node types
    (orders link products directly), built with `time_sorted_csc`."""
    c = draw_shop(num_customers, num_products, num_orders, horizon, seed)
    customer, placed = c["order_customer"], c["placed"]
    item_product, item_order = c["item_product"], c["item_order"]
    node_time = {"customer": c["signup"], "product": c["listed"], "order": placed}
    num_nodes = {"customer": num_customers, "product": num_products, "order": num_orders}
    orders = np.arange(num_orders, dtype=np.int64)
    edge_lists = {
        ("order", "placed_by", "customer"): (orders, customer),
        ("customer", "places", "order"): (customer, orders),
        ("product", "in", "order"): (item_product, item_order),
        ("order", "contains", "product"): (item_order, item_product),
    }
    colptr, row = {}, {}
    for et in EDGE_TYPES:
        src, dst = edge_lists[et]
        key = edge_key(et)
        colptr[key], row[key] = time_sorted_csc(src, dst, num_nodes[et[2]], node_time[et[0]])
    return Graph(list(NODE_TYPES), list(EDGE_TYPES), colptr, row, node_time, num_nodes)


def draw_shop_with_tastes(
    num_customers: int = 2000,
    num_products: int = 200,
    num_orders: int = 20000,
    horizon: int = 365,
    tastes: int = 8,
    seed: int = 0,
) -> dict[str, np.ndarray]:
    """A shop whose customers have tastes, as columns (vectorised).

    As `draw_shop`, but every product belongs to one of `tastes` categories
    and has an appeal; every customer has a favourite category and an order
    rate. An order's one to three distinct products, among those listed
    before it, are drawn with weight appeal x 12 in the customer's category
    and appeal x 1 outside it. `taste` (per customer) and `category` (per
    product) are returned too, for checking; the tables leave them out.
    """
    rng = np.random.default_rng(seed)
    signup = rng.integers(0, horizon // 3, num_customers).astype(np.int64)
    listed = rng.integers(0, horizon // 2, num_products).astype(np.int64)
    listed[:tastes] = 0  # something of every category is for sale from day 0
    category = rng.integers(0, tastes, num_products)
    category[:tastes] = np.arange(tastes)
    appeal = rng.lognormal(0.0, 1.0, num_products)
    taste = rng.integers(0, tastes, num_customers)
    rate = rng.lognormal(0.0, 0.7, num_customers) * (horizon - signup)
    customer = rng.choice(num_customers, num_orders, p=rate / rate.sum()).astype(np.int64)
    placed = (signup[customer] + rng.random(num_orders) * (horizon - signup[customer]))
    placed = placed.astype(np.int64)
    order = np.argsort(placed, kind="stable")  # order ids in time order
    customer, placed = customer[order], placed[order]

    # Distinct products per order: the top `size` of Gumbel-perturbed log
    # weights, unlisted products left out; in chunks of orders to bound memory.
    size = rng.integers(1, 4, num_orders)
    log_appeal = np.log(appeal)
    items: list[np.ndarray] = []
    for lo in range(0, num_orders, 4096):
        hi = min(lo + 4096, num_orders)
        keys = log_appeal + np.log(12.0) * (category == taste[customer[lo:hi], None])
        keys = keys + rng.gumbel(size=keys.shape)
        keys[listed > placed[lo:hi, None]] = -np.inf
        top = np.argsort(-keys, axis=1, kind="stable")[:, :3]
        available = (listed <= placed[lo:hi, None]).sum(axis=1)
        take = np.arange(3) < np.minimum(size[lo:hi], available)[:, None]
        items.append(np.stack([np.broadcast_to(np.arange(lo, hi)[:, None], top.shape)[take],
                               top[take]]))
    item_order, item_product = np.concatenate(items, axis=1).astype(np.int64)
    return {
        "signup": signup,
        "listed": listed,
        "order_customer": customer,
        "placed": placed,
        "item_product": item_product,
        "item_order": item_order,
        "taste": taste,
        "category": category,
    }


def taste_shop_tables(**sizes: int) -> dict[str, dict[str, np.ndarray]]:
    """The shop of `draw_shop_with_tastes` as the four tables of `shop_tables`,
    except that order items have no day of their own (a graph built with
    time inheritance gives them their order's). For `TASTE_SHOP_SCHEMA`."""
    c = draw_shop_with_tastes(**sizes)
    return {
        "customers": {"id": np.arange(len(c["signup"])), "signup": c["signup"]},
        "products": {"id": np.arange(len(c["listed"])), "listed": c["listed"]},
        "orders": {"id": np.arange(len(c["placed"])), "customer_id": c["order_customer"],
                   "placed": c["placed"]},
        "order_items": {"order_id": c["item_order"], "product_id": c["item_product"]},
    }


TASTE_SHOP_SCHEMA: dict[str, Any] = {
    "primary_keys": SHOP_SCHEMA["primary_keys"],
    "foreign_keys": SHOP_SCHEMA["foreign_keys"],
    "time_columns": {"customers": "signup", "products": "listed", "orders": "placed"},
}
