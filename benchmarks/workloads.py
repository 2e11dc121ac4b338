"""The sampling workloads of the benchmark, shared with the checksum script.

    from graphs import make_graph
    from workloads import WORKLOADS, batches
    g = make_graph("small", 0)
    w = WORKLOADS["W2"]
    sampler = w.sampler(g)
    for args in batches(g, w, count=5, seed=1):
        out = sampler.sample(*args)

Seeds are users, drawn without replacement by a seeded generator; seed
times (temporal workloads) are uniform over the second year of the graph.
"""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np

from graphs import DAY, SPAN, edge_key

EMPTY = np.empty(0, dtype=np.int64)


@dataclass(frozen=True)
class Workload:
    name: str
    title: str
    num_seeds: int
    fanout: tuple  # count budget per hop, on every edge type with counts
    temporal: bool = False  # sampler built with node_time, seeds get times
    windows: tuple = ()  # per hop (lower, upper) offsets on user/item expansion
    threads: int = 1  # W5: run one sampler per thread

    def sampler(self, graph, seed=123):
        import tovalib

        node_time = graph.node_time if self.temporal else {}
        return tovalib.NeighborSampler(
            graph.node_types, graph.edge_types, graph.colptr, graph.row, node_time, seed
        )

    def budgets(self, graph):
        """(num_neighbors, sampling_time_offsets) for one call."""
        counts = np.asarray(self.fanout, dtype=np.int64)
        num_neighbors, offsets = {}, {}
        for et in graph.edge_types:
            key = edge_key(et)
            # Windows go on the edge types that expand users and items.
            if self.windows and et[2] in ("user", "item"):
                offsets[key] = np.asarray(self.windows, dtype=np.int64)
            else:
                num_neighbors[key] = counts
        return num_neighbors, offsets


WINDOWS = ((-30 * DAY, 0), (-90 * DAY, 0), (-90 * DAY, 0))

WORKLOADS = {
    w.name: w
    for w in [
        Workload("W1", "plain [15,10,5]", 1024, (15, 10, 5)),
        Workload("W2", "temporal [15,10,5]", 1024, (15, 10, 5), temporal=True),
        Workload("W3", "windows 30d/90d", 1024, (15, 10, 5), temporal=True, windows=WINDOWS),
        Workload("W4", "wide 8192 x [20,20]", 8192, (20, 20)),
        Workload("W5", "threads, W1 per thread", 1024, (15, 10, 5), threads=2),
    ]
}


def batches(graph, workload, count, seed):
    """`count` argument tuples for `sample`, deterministic in `seed`."""
    rng = np.random.default_rng(seed)
    num_neighbors, offsets = workload.budgets(graph)
    num_users = graph.num_nodes["user"]
    out = []
    for _ in range(count):
        seeds = rng.choice(num_users, size=min(workload.num_seeds, num_users), replace=False)
        seeds = seeds.astype(np.int64)
        if workload.temporal:
            times = rng.integers(SPAN // 2, SPAN, size=seeds.size, dtype=np.int64)
        else:
            times = EMPTY
        out.append((num_neighbors, offsets, "user", seeds, times))
    return out


def sampled_edges(result) -> int:
    return int(sum(v.size for v in result[0].values()))


def output_bytes(result) -> int:
    return int(sum(a.nbytes for d in result for a in d.values()))
