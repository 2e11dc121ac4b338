"""Synthetic relational graphs with timestamps, for benchmarks and checks.

    from graphs import make_graph
    g = make_graph("small", seed=0)
    sampler = tovalib.NeighborSampler(g.node_types, g.edge_types, g.colptr,
                                      g.row, g.node_time)

Three node types: users, items and events. Every event links one user and
one item; user and item degrees follow a Zipf-like law over a random
permutation of the ids, so hubs are spread over the id space. Event times are
uniform over two years (in seconds) and event ids are in time order, as an
auto-increment key would give. A user's or an item's time is some time
before its first event (users and items without events get a random time).

Four edge types, both directions of both links. Every neighbourhood is
sorted by neighbour time, as temporal sampling requires. Everything is built
with vectorised NumPy and is deterministic for a given (scale, seed).
"""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np

DAY = 86_400
SPAN = 2 * 365 * DAY

# events, users, items, Zipf exponent of users, Zipf exponent of items.
# Four edges per event: small has about 1M edges, large about 20M.
SCALES = {
    "tiny": (20_000, 1_000, 250, 0.7, 0.8),
    "small": (250_000, 10_000, 2_500, 0.7, 0.8),
    "large": (5_000_000, 200_000, 50_000, 0.7, 0.8),
}

EDGE_TYPES = [
    ("event", "by", "user"),    # expands users: their events
    ("user", "made", "event"),  # expands events: their user
    ("event", "on", "item"),    # expands items: their events
    ("item", "has", "event"),   # expands events: their item
]


def edge_key(edge_type):
    return "__".join(edge_type)


@dataclass
class Graph:
    node_types: list
    edge_types: list
    colptr: dict
    row: dict
    node_time: dict
    num_nodes: dict

    @property
    def num_edges(self) -> int:
        return int(sum(r.size for r in self.row.values()))

    def nbytes(self) -> int:
        arrays = [*self.colptr.values(), *self.row.values(), *self.node_time.values()]
        return int(sum(a.nbytes for a in arrays))


def _zipf_ids(rng, num_ids, size, exponent):
    """`size` ids in [0, num_ids), id of rank r drawn with weight r**-exponent."""
    weights = np.arange(1, num_ids + 1, dtype=np.float64) ** -exponent
    cdf = np.cumsum(weights)
    cdf /= cdf[-1]
    ranks = np.searchsorted(cdf, rng.random(size), side="right")
    np.minimum(ranks, num_ids - 1, out=ranks)
    return rng.permutation(num_ids).astype(np.int64)[ranks]


def _csc(dst, src, num_dst, src_time):
    """CSC arrays of edges src -> dst: colptr over dst, row sorted by (dst, time)."""
    order = np.lexsort((src_time[src], dst))
    colptr = np.zeros(num_dst + 1, dtype=np.int64)
    np.cumsum(np.bincount(dst, minlength=num_dst), out=colptr[1:])
    return colptr, np.ascontiguousarray(src[order], dtype=np.int64)


def _entity_time(rng, ids, event_time, num_ids):
    """Per id: a random time up to 30 days before its first event."""
    first = np.full(num_ids, SPAN, dtype=np.int64)
    np.minimum.at(first, ids, event_time)
    lead = rng.integers(0, 30 * DAY, size=num_ids, dtype=np.int64)
    unseen = first == SPAN
    first[unseen] = rng.integers(0, SPAN, size=int(unseen.sum()), dtype=np.int64)
    return first - lead


def make_graph(scale: str = "small", seed: int = 0) -> Graph:
    """The benchmark graph at `scale` ("tiny", "small" or "large")."""
    num_events, num_users, num_items, user_exp, item_exp = SCALES[scale]
    rng = np.random.default_rng(seed)
    event_time = np.sort(rng.integers(0, SPAN, size=num_events, dtype=np.int64))
    event_user = _zipf_ids(rng, num_users, num_events, user_exp)
    event_item = _zipf_ids(rng, num_items, num_events, item_exp)
    user_time = _entity_time(rng, event_user, event_time, num_users)
    item_time = _entity_time(rng, event_item, event_time, num_items)
    events = np.arange(num_events, dtype=np.int64)

    node_time = {"user": user_time, "item": item_time, "event": event_time}
    num_nodes = {"user": num_users, "item": num_items, "event": num_events}
    colptr, row = {}, {}
    links = {
        EDGE_TYPES[0]: (event_user, events),
        EDGE_TYPES[1]: (events, event_user),
        EDGE_TYPES[2]: (event_item, events),
        EDGE_TYPES[3]: (events, event_item),
    }
    for et, (dst, src) in links.items():
        key = edge_key(et)
        colptr[key], row[key] = _csc(dst, src, num_nodes[et[2]], node_time[et[0]])
    return Graph(
        node_types=["user", "item", "event"],
        edge_types=list(EDGE_TYPES),
        colptr=colptr,
        row=row,
        node_time=node_time,
        num_nodes=num_nodes,
    )
