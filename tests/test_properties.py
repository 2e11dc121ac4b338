"""Invariants of `sample` on random valid graphs and requests.

Every check here is derived from the graph and the request alone: sampled
edges are real edges between the reported nodes, every node is reachable
from its own seed within its hop, counts add up, and the temporal paths keep
exactly the neighbours their rule allows.
"""

from collections import Counter, deque
from dataclasses import dataclass, field

import numpy as np
from hypothesis import given, settings
from hypothesis import strategies as st

import tovalib

TYPE_NAMES = ["u", "v", "w"]
RELATIONS = ["r", "s"]


@dataclass
class Graph:
    node_types: list
    edge_types: list  # (src, rel, dst) triples
    num_nodes: dict  # node type -> node count
    adjacency: dict  # edge key -> per destination id, source ids in position order
    times: dict  # node type -> list of times (temporal types only)

    @property
    def keys(self):
        return [f"{s}__{r}__{d}" for s, r, d in self.edge_types]

    def arrays(self):
        colptr, row = {}, {}
        for key in self.keys:
            lists = self.adjacency[key]
            colptr[key] = np.cumsum([0] + [len(x) for x in lists]).astype(np.int64)
            row[key] = np.array([n for x in lists for n in x], dtype=np.int64)
        node_time = {t: np.array(v, dtype=np.int64) for t, v in self.times.items()}
        return colptr, row, node_time

    def sampler(self, seed=0):
        colptr, row, node_time = self.arrays()
        return tovalib.NeighborSampler(
            self.node_types, self.edge_types, colptr, row, node_time, seed=seed
        )


@dataclass
class Request:
    counts: dict  # edge key -> list of counts
    windows: dict  # edge key -> list of (lower or None, upper)
    entity: str
    seeds: list
    seed_times: list
    hops: int = field(init=False)

    def __post_init__(self):
        lengths = [len(v) for v in self.counts.values()]
        lengths += [len(v) for v in self.windows.values()]
        self.hops = max(lengths, default=0)

    def args(self):
        counts = {k: np.array(v, dtype=np.int64) for k, v in self.counts.items()}
        windows = {}
        for k, rows in self.windows.items():
            if any(lo is None for lo, _ in rows):
                windows[k] = np.array(rows, dtype=object).reshape(len(rows), 2)
            else:
                windows[k] = np.array(rows, dtype=np.int64).reshape(len(rows), 2)
        seeds = np.array(self.seeds, dtype=np.int64)
        seed_times = np.array(self.seed_times, dtype=np.int64)
        return counts, windows, self.entity, seeds, seed_times


@st.composite
def graphs(draw, temporal):
    num_types = draw(st.integers(1, 3))
    node_types = TYPE_NAMES[:num_types]
    # Mostly non-empty types, with an occasional empty one.
    num_nodes = {t: draw(st.sampled_from([3, 5, 1, 2, 4, 0])) for t in node_types}
    edge_types = draw(
        st.lists(
            st.tuples(
                st.sampled_from(node_types),
                st.sampled_from(RELATIONS),
                st.sampled_from(node_types),
            ),
            unique=True,
            min_size=1,
            max_size=4,
        )
    )
    times = {}
    if temporal:
        for t in node_types:
            if draw(st.booleans()) or not times:
                times[t] = draw(
                    st.lists(st.integers(0, 6), min_size=num_nodes[t], max_size=num_nodes[t])
                )
    adjacency = {}
    for src, rel, dst in edge_types:
        lists = []
        for _ in range(num_nodes[dst]):
            if num_nodes[src] == 0:
                lists.append([])
                continue
            size = draw(st.sampled_from([2, 3, 0, 1, 4, 6]))
            nbrs = draw(st.lists(st.integers(0, num_nodes[src] - 1), min_size=size, max_size=size))
            if src in times:
                # Temporal neighbourhoods must be ordered by time.
                nbrs.sort(key=lambda n: times[src][n])
            lists.append(nbrs)
        adjacency[f"{src}__{rel}__{dst}"] = lists
    return Graph(node_types, edge_types, num_nodes, adjacency, times)


@st.composite
def requests(draw, graph):
    hops = draw(st.sampled_from([2, 3, 1, 0]))
    counts, windows = {}, {}
    for (src, _, _), key in zip(graph.edge_types, graph.keys):
        if src in graph.times and hops and draw(st.booleans()):
            lower = st.one_of(st.none(), st.integers(-6, 1))
            windows[key] = draw(
                st.lists(st.tuples(lower, st.integers(-4, 3)), min_size=hops, max_size=hops)
            )
        else:
            counts[key] = draw(st.lists(st.sampled_from([2, -1, 1, 0, 3, 4]), min_size=max(hops - 1, 0), max_size=hops))
    # Seeds of a type that some edge type expands.
    entity = draw(st.sampled_from([d for _, _, d in graph.edge_types]))
    n = graph.num_nodes[entity]
    seeds = draw(st.lists(st.integers(0, n - 1), min_size=1, max_size=4)) if n else []
    seed_times = []
    if graph.times and (entity not in graph.times or draw(st.booleans())):
        seed_times = draw(st.lists(st.integers(0, 8), min_size=len(seeds), max_size=len(seeds)))
        if not seeds:
            seed_times = []
    return Request(counts, windows, entity, seeds, seed_times)


@st.composite
def cases(draw, temporal):
    graph = draw(graphs(temporal))
    return graph, draw(requests(graph))


def seed_times_of(graph, req):
    """The time of each seed, or None when every path is plain."""
    if not graph.times:
        return None
    if req.seed_times:
        return req.seed_times
    if req.entity in graph.times and req.seeds:
        return [graph.times[req.entity][s] for s in req.seeds]
    return None


def budget(req, key, hop):
    if key in req.counts:
        c = req.counts[key]
        return ("count", c[hop] if hop < len(c) else 0)
    return ("window", req.windows[key][hop])


def expected_sources(graph, req, key, src, hop, dst_node, seed_time):
    """What one frontier entry records: the exact source ids in order when the
    rule is deterministic, else ("random", how many)."""
    nbrs = graph.adjacency[key][dst_node]
    kind, b = budget(req, key, hop)
    temporal = seed_time is not None and src in graph.times
    if kind == "window":
        if not temporal:
            return []
        lower, upper = b
        t = graph.times[src]
        return [
            n for n in nbrs
            if (lower is None or t[n] > seed_time + lower) and t[n] <= seed_time + upper
        ]
    if b == 0:
        return []
    if temporal:
        eligible = [n for n in nbrs if graph.times[src][n] <= seed_time]
        return eligible if b < 0 else eligible[max(0, len(eligible) - b):]
    if b < 0 or b >= len(nbrs):
        return list(nbrs)
    return ("random", b)


def segments(counts):
    """Local index ranges added per hop, from num_sampled_nodes or _edges."""
    bounds = np.concatenate([[0], np.cumsum(counts)])
    return [(int(a), int(b)) for a, b in zip(bounds[:-1], bounds[1:])]


def distances(graph, entity, seed):
    """Hop distance of every (type, id) from one seed, walking each edge type
    from its destination to its sources."""
    dist = {(entity, seed): 0}
    queue = deque([(entity, seed)])
    while queue:
        t, n = queue.popleft()
        for (src, _, dst), key in zip(graph.edge_types, graph.keys):
            if dst != t:
                continue
            for m in graph.adjacency[key][n]:
                if (src, m) not in dist:
                    dist[(src, m)] = dist[(t, n)] + 1
                    queue.append((src, m))
    return dist


def check_result(graph, req, result):
    rows, cols, nodes, batches, num_nodes, num_edges = result
    hops, seeds = req.hops, req.seeds
    assert list(nodes) == list(batches) == list(num_nodes) == graph.node_types
    assert list(rows) == list(cols) == list(num_edges) == graph.keys
    for d in result:
        for v in d.values():
            assert v.dtype == np.int64 and v.ndim == 1

    # Counts add up, seeds come first.
    for t in graph.node_types:
        assert len(num_nodes[t]) == hops + 1
        assert num_nodes[t].sum() == len(nodes[t]) == len(batches[t])
        pairs = list(zip(batches[t].tolist(), nodes[t].tolist()))
        assert len(set(pairs)) == len(pairs), "a node is numbered twice within one seed"
    for key in graph.keys:
        assert len(num_edges[key]) == hops
        assert num_edges[key].sum() == len(rows[key]) == len(cols[key])
    e = req.entity
    assert nodes[e][: len(seeds)].tolist() == seeds
    assert batches[e][: len(seeds)].tolist() == list(range(len(seeds)))
    for t in graph.node_types:
        assert num_nodes[t][0] == (len(seeds) if t == e else 0)

    node_segs = {t: segments(num_nodes[t]) for t in graph.node_types}
    seed_times = seed_times_of(graph, req)
    introduced = {t: set() for t in graph.node_types}
    for (src, _, dst), key in zip(graph.edge_types, graph.keys):
        for hop, (lo, hi) in enumerate(segments(num_edges[key])):
            r, c = rows[key][lo:hi].tolist(), cols[key][lo:hi].tolist()
            f_lo, f_hi = node_segs[dst][hop]
            # Only the previous hop's additions are expanded, in order.
            assert all(f_lo <= x < f_hi for x in c)
            assert c == sorted(c)
            assert all(x < node_segs[src][hop + 1][1] for x in r)
            for i in range(f_lo, f_hi):
                got = [x for x, y in zip(r, c) if y == i]
                batch = int(batches[dst][i])
                assert all(batches[src][x] == batch for x in got), "edge crosses seeds"
                got_ids = [int(nodes[src][x]) for x in got]
                introduced[src].update(x for x in got if node_segs[src][hop + 1][0] <= x)
                dst_node = int(nodes[dst][i])
                t = None if seed_times is None else seed_times[batch]
                want = expected_sources(graph, req, key, src, hop, dst_node, t)
                if isinstance(want, tuple):
                    # Uniform selection: b distinct positions of the
                    # neighbourhood, so no id more often than it occurs.
                    assert len(got_ids) == want[1]
                    assert not Counter(got_ids) - Counter(graph.adjacency[key][dst_node])
                else:
                    assert got_ids == want
                if t is not None and src in graph.times and budget(req, key, hop)[0] == "count":
                    assert all(graph.times[src][n] <= t for n in got_ids)
    # Every node added in a hop was reached by an edge of that hop.
    for t in graph.node_types:
        added = set(range(node_segs[t][1][0], len(nodes[t]))) if hops else set()
        assert added == introduced[t]

    # Each seed's nodes are reachable from it within their hop.
    dist = [distances(graph, e, s) for s in seeds]
    for t in graph.node_types:
        for hop, (lo, hi) in enumerate(node_segs[t]):
            for i in range(lo, hi):
                d = dist[int(batches[t][i])].get((t, int(nodes[t][i])))
                assert d is not None and d <= hop, "node not reachable from its seed"


@settings(max_examples=150)
@given(cases(temporal=False))
def test_plain_invariants(case):
    graph, req = case
    check_result(graph, req, graph.sampler().sample(*req.args()))


@settings(max_examples=150)
@given(cases(temporal=True))
def test_temporal_invariants(case):
    graph, req = case
    check_result(graph, req, graph.sampler().sample(*req.args()))


@settings(max_examples=75)
@given(cases(temporal=False))
def test_taking_every_neighbour_is_breadth_first_search(case):
    """With budget -1 everywhere, hop h adds exactly the nodes at distance h."""
    graph, req = case
    req.counts = {k: [-1] * req.hops for k in graph.keys}
    result = graph.sampler().sample(*req.args())
    _, _, nodes, batches, num_nodes, _ = result
    for b, s in enumerate(req.seeds):
        dist = distances(graph, req.entity, s)
        for t in graph.node_types:
            for hop, (lo, hi) in enumerate(segments(num_nodes[t])):
                got = {int(n) for n, x in zip(nodes[t][lo:hi], batches[t][lo:hi]) if x == b}
                want = {n for (tt, n), d in dist.items() if tt == t and d == hop}
                assert got == want


def as_lists(result):
    return [{k: v.tolist() for k, v in d.items()} for d in result]


@settings(max_examples=75)
@given(cases(temporal=False), st.integers(-(2**31), 2**31 - 1))
def test_samplers_with_one_seed_agree(case, seed):
    """Same seed, same calls: same results, also with the dictionaries'
    entries in another order."""
    graph, req = case
    a, b = graph.sampler(seed), graph.sampler(seed)
    counts, windows, entity, seeds, seed_times = req.args()
    reordered = dict(reversed(list(counts.items())))
    for _ in range(2):
        first = as_lists(a.sample(counts, windows, entity, seeds, seed_times))
        second = as_lists(b.sample(reordered, windows, entity, seeds.copy(), seed_times))
        assert first == second


@settings(max_examples=100)
@given(st.integers(2, 80), st.data())
def test_uniform_selection_takes_distinct_positions(degree, data):
    """k of n distinct neighbours per seed, whatever the draws collide on."""
    k = data.draw(st.integers(1, degree - 1))
    seed = data.draw(st.integers(0, 2**32 - 1))
    graph = Graph(["u"], [("u", "r", "u")], {"u": degree + 1},
                  {"u__r__u": [list(range(1, degree + 1))] + [[]] * degree}, {})
    sampler = graph.sampler(seed - 2**31)
    rows, cols, nodes, batches, _, _ = sampler.sample(
        {"u__r__u": np.array([k], dtype=np.int64)}, {}, "u",
        np.zeros(20, dtype=np.int64), np.array([], dtype=np.int64))
    assert len(rows["u__r__u"]) == 20 * k
    for b in range(20):
        picked = nodes["u"][rows["u__r__u"][cols["u__r__u"] == b]]
        assert len(set(picked.tolist())) == k
        assert all(1 <= x <= degree for x in picked.tolist())
        assert set(batches["u"][rows["u__r__u"][cols["u__r__u"] == b]].tolist()) == {b}
