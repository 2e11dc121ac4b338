"""A small synthetic shop: customers, products and orders with timestamps.

Shared by the examples. `time_sorted_csc` is the recipe for turning an edge
list into the arrays `tovalib.NeighborSampler` reads: `colptr` indexed by
destination id, `row` holding source ids, and every neighbourhood ordered by
the time of its source nodes, which the temporal budgets require.

    graph = make_shop(num_customers=20, num_products=12, num_orders=120)
    sampler = tovalib.NeighborSampler(**graph.sampler_args())
"""

from __future__ import annotations

from dataclasses import dataclass, field

import numpy as np

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


def time_sorted_csc(
    src: np.ndarray, dst: np.ndarray, num_dst: int, src_time: np.ndarray | None
) -> tuple[np.ndarray, np.ndarray]:
    """CSC arrays of the edges src[i] -> dst[i], neighbourhoods sorted by time.

    Returns (colptr, row): the neighbours of destination d are
    row[colptr[d]:colptr[d + 1]], ordered by src_time of the neighbour (ties
    and untimed graphs by source id). Both arrays are int64 and contiguous.
    """
    src = np.asarray(src, dtype=np.int64)
    dst = np.asarray(dst, dtype=np.int64)
    # lexsort sorts by the last key first: destination, then time, then id.
    keys = (src, dst) if src_time is None else (src, src_time[src], dst)
    order = np.lexsort(keys)
    counts = np.bincount(dst, minlength=num_dst)
    colptr = np.zeros(num_dst + 1, dtype=np.int64)
    np.cumsum(counts, out=colptr[1:])
    return colptr, np.ascontiguousarray(src[order])


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


def make_shop(
    num_customers: int = 20,
    num_products: int = 12,
    num_orders: int = 120,
    horizon: int = 365,
    seed: int = 0,
) -> Graph:
    """A deterministic shop whose times are days in [0, horizon).

    Customers sign up and products are listed at random days; each order is
    placed by one customer after signing up and holds one to three distinct
    products that were listed before it.
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
    item_product = np.array(order_src, dtype=np.int64)
    item_order = np.array(order_dst, dtype=np.int64)

    node_time = {"customer": signup, "product": listed, "order": placed}
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
