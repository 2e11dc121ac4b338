"""LinkNeighborLoader: batches of pairs, their three subgraphs at the pair's
time, negatives that existed then, and the loader guarantees of NeighborLoader."""

import dataclasses
import threading

import numpy as np
import pytest

from conftest import optional
import tovalib_data as td


def shop(seed=0, users=40, items=30, events=500, item_times=True, times=True):
    """users <- events -> items; users sign up, items are listed and events
    happen at days, every event after its user's and its item's day (without
    `times`, the graph has no node times)."""
    rng = np.random.default_rng(seed)
    signup, listed = rng.integers(0, 100, users), rng.integers(0, 200, items)
    user, item = rng.integers(0, users, events), rng.integers(0, items, events)
    day = np.maximum(signup[user], listed[item]) + rng.integers(0, 100, events)
    columns = {"users": "signup", "events": "day"} | ({"items": "listed"} if item_times else {})
    graph = td.Graph.from_tables(
        {"users": {"id": np.arange(users), "signup": signup},
         "items": {"id": np.arange(items), "listed": listed},
         "events": {"user": user, "item": item, "day": day}},
        primary_keys={"users": "id", "items": "id"},
        foreign_keys={"events": {"user": "users", "item": "items"}},
        time_columns=columns if times else None)
    return graph, user, item, day


GRAPH, USER, ITEM, DAY = shop()
# Users sign up on days 0 and 20; items are listed on days 0, 5 and 50.
TINY = td.Graph.from_tables(
    {"users": {"id": np.arange(2), "signup": np.array([0, 20])},
     "items": {"id": np.arange(3), "listed": np.array([0, 5, 50])},
     "events": {"user": np.array([0, 1]), "item": np.array([0, 1]), "day": np.array([5, 30])}},
    primary_keys={"users": "id", "items": "id"},
    foreign_keys={"events": {"user": "users", "item": "items"}},
    time_columns={"users": "signup", "items": "listed", "events": "day"})


def loader(graph=GRAPH, src=USER, dst=ITEM, time=DAY, **kwargs):
    options = dict(num_neighbors=[3, 2], negatives=2, batch_size=64, num_workers=0)
    return td.LinkNeighborLoader(graph, "users", "items", src, dst, time,
                                 **{**options, **kwargs})


def part(batch):
    fields = ["row_dict", "col_dict", "node_dict", "batch_dict", "num_sampled_nodes_dict",
              "num_sampled_edges_dict", "x_dict", "time_dict"]
    out = {f: {k: v.tolist() for k, v in getattr(batch, f).items()} for f in fields}
    out["seeds"] = [None if a is None else a.tolist()
                    for a in (batch.seed_node, batch.seed_time, batch.seed_index)]
    return out


def contents(batch):
    return ([part(p) for p in (batch.src, batch.dst, batch.neg)],
            batch.pair_index.tolist(), batch.neg_dst.tolist())


def epoch(ldr):
    return [contents(b) for b in ldr]


def loader_threads():
    return [t for t in threading.enumerate() if t.name.startswith("tovalib-loader")]


@pytest.fixture(scope="module", params=["temporal", "plain"])
def mode(request):
    """Temporal: no sample call draws, a sampler is reused; plain (no node
    or pair times): random draws, by a sampler of each batch's own."""
    return dict(time=DAY) if request.param == "temporal" else dict(
        graph=shop(times=False)[0], time=None)


@pytest.fixture(scope="module")
def reference(mode):
    return epoch(loader(**mode))


@pytest.mark.parametrize("num_workers", [0, 1, 2, 4])
def test_batches_do_not_depend_on_workers_or_run(reference, mode, num_workers):
    assert epoch(loader(**mode, num_workers=num_workers, prefetch=1)) == reference
    assert len(reference) == 8  # 500 pairs in batches of 64
    other = loader(**mode, num_workers=num_workers)
    other.set_epoch(1)
    changed = epoch(other)
    assert [b[1] for b in changed] != [b[1] for b in reference]  # pair order
    unshuffled = [epoch(loader(**mode, shuffle=False, seed=s)) for s in (0, 1)]
    assert [b[1] for b in unshuffled[0]] == [b[1] for b in unshuffled[1]]
    assert [b[2] for b in unshuffled[0]] != [b[2] for b in unshuffled[1]]  # negatives
    assert [b[0] for b in unshuffled[0]] != [b[0] for b in unshuffled[1]]  # subgraphs


@pytest.mark.parametrize("received", [1, 5])
@pytest.mark.parametrize("num_workers", [0, 3])
def test_resume_continues_the_interrupted_epoch(num_workers, received):
    first = loader(num_workers=2)
    first.set_epoch(2)
    uninterrupted = epoch(first)
    for i, _ in enumerate(first):
        if i + 1 == received:
            state = first.state_dict()
            break
    resumed = loader(num_workers=num_workers)
    resumed.load_state_dict(state)
    resumed.set_epoch(2)
    assert epoch(resumed) == uninterrupted[received:]


@pytest.mark.parametrize("drop_last", [False, True])
@pytest.mark.parametrize("world_size", [1, 2, 3])
def test_shards_cover_every_pair(world_size, drop_last):
    shards = [np.concatenate([b.pair_index for b in loader(
        batch_size=50, drop_last=drop_last, rank=r, world_size=world_size)])
        for r in range(world_size)]
    assert len({len(s) for s in shards}) == 1
    together = np.concatenate(shards)
    if drop_last:
        assert len(np.unique(together)) == len(together) == world_size * (
            500 // world_size // 50 * 50)
    else:
        assert set(together.tolist()) == set(range(500))


@pytest.mark.parametrize("kind", ["timed", "untimed pairs", "untimed table"])
def test_negatives_exist_at_the_pair_time_and_are_uniform(kind):
    graph = shop(item_times=kind != "untimed table")[0]
    listed = shop()[0].node_time["items"]
    # Three (user, item, day) pairs, 1500 times each, three negatives each.
    src, dst, day = np.repeat([[3, 9, 20], [4, 0, 7], [60, 140, 299]], 1500, axis=1)
    ldr = loader(graph, src, dst, None if kind == "untimed pairs" else day, negatives=3,
                 batch_size=500, num_neighbors=[1])
    drawn = np.empty((len(src), 3), np.int64)
    for batch in ldr:
        drawn[batch.pair_index] = batch.neg_dst
    for p, (item, t) in enumerate(zip(dst[::1500], day[::1500])):
        eligible = np.arange(30) if kind != "timed" else np.flatnonzero(listed <= t)
        eligible = eligible[eligible != item]
        got = drawn[p * 1500:(p + 1) * 1500].ravel()
        assert set(got.tolist()) <= set(eligible.tolist())
        counts = np.bincount(got, minlength=30)[eligible]
        expected = len(got) / len(eligible)
        chi2 = ((counts - expected) ** 2 / expected).sum()
        df = len(eligible) - 1  # beyond df + 10 sqrt(2 df): p < 1e-9 at any df here
        assert chi2 < df + 10 * np.sqrt(2 * df)


def windows(upper):
    """A window on both edge types into events, reaching `upper` days past the seed time."""
    return {("events", "user", "users"): [(None, upper)] * 2,
            ("events", "item", "items"): [(-30, upper)] * 2}


@pytest.mark.parametrize("budget, ahead", [
    (dict(num_neighbors=[4, 3]), False), (dict(num_neighbors=[-1, -1]), False),
    (dict(num_neighbors=[2, 2], time_windows=windows(0)), False),
    (dict(num_neighbors=[2, 2], time_windows=windows(60)), True),  # past the cut-off, by design
])
def test_no_subgraph_holds_a_node_later_than_its_pair(budget, ahead):
    ldr = loader(**budget, negatives=3)
    later = False
    for batch in ldr:
        positions = batch.pair_index
        before = DAY[positions] - 1  # sampled strictly before the pair's day
        for p, seeds, times in [(batch.src, USER[positions], before),
                                (batch.dst, ITEM[positions], before),
                                (batch.neg, batch.neg_dst.ravel(), np.repeat(before, 3))]:
            assert p.seed_node.tolist() == seeds.tolist()
            assert p.seed_time.tolist() == times.tolist()
            for t, node_time in p.time_dict.items():
                # Nothing later than the pair's day (its seeds may be of that day).
                later |= bool((node_time > p.seed_time[p.batch_dict[t]] + 1).any())
        assert batch.neg.seed_index.tolist() == np.repeat(positions, 3).tolist()
        assert sum(len(v) for v in batch.src.node_dict.values()) > len(positions)
    assert later == ahead


def test_without_negatives_there_is_no_negative_part():
    batch = next(iter(loader(negatives=0)))
    assert batch.neg is None and batch.neg_dst.shape == (64, 0)


@pytest.mark.parametrize("kwargs, match", [
    (dict(graph=TINY, src=[0], dst=[0], time=[0]),
     "pair 0 \\(time 0\\) has no negative: no row of 'items' other than its positive"),
    (dict(dst=ITEM[:3]), "dst has 3 entries, src has 500"),
    (dict(dst=ITEM + 30), r"dst: node ids of 'items' must lie in \[0, 30\)"),
    (dict(negatives=-1), "negatives must be an integer >= 0"),
    (dict(time=DAY[:4]), "^time has 4 entries, src has 500"),
])
def test_bad_pairs_are_refused(kwargs, match):
    with pytest.raises(ValueError, match=match):
        loader(**kwargs)
    with pytest.raises(ValueError, match="unknown dst table 'item'"):
        td.LinkNeighborLoader(GRAPH, "users", "item", USER, ITEM)


def test_worker_error_reaches_the_loop_and_leaving_stops_the_threads():
    ldr = loader(num_workers=3, batch_size=8)
    it = iter(ldr)
    next(it)
    assert len(loader_threads()) == 3
    del it
    assert not loader_threads()
    graph = GRAPH
    colptr = {k: v.copy() for k, v in graph.colptr.items()}
    colptr["events__item__items"][5:] += 10_000  # item 4's neighbourhood points past the rows
    broken = td.Graph(graph.node_types, graph.edge_types, colptr, graph.row, graph.node_time,
                      graph.num_nodes)
    with pytest.raises(RuntimeError, match="colptr|row"):
        for _ in loader(broken, dst=np.full(500, 4), num_workers=2, negatives=0):
            pass
    assert not loader_threads()


def test_to_pyg_matches_the_batch():
    torch = optional("torch")
    optional("torch_geometric")
    batch = list(loader(batch_size=32))[1]
    parts = batch.to_pyg()
    for data, raw in zip(parts, (batch.src, batch.dst, batch.neg)):
        for key, row in raw.row_dict.items():
            edge_index = data[raw.edge_types[key]].edge_index
            assert edge_index.tolist() == [row.tolist(), raw.col_dict[key].tolist()]
        for t, ids in raw.node_dict.items():
            assert data[t].n_id.tolist() == ids.tolist()
            assert data[t].time.tolist() == raw.time_dict[t].tolist()
        seeds = data[raw.entity_table]
        assert seeds.n_id[: seeds.batch_size].tolist() == raw.seed_node.tolist()
        assert seeds.seed_time.tolist() == raw.seed_time.tolist()
        assert seeds.input_id.tolist() == raw.seed_index.tolist()
    assert parts[2]["items"].batch_size == 64
    tensors = batch.to_torch()
    assert tensors.neg_dst.dtype == torch.int64 and tuple(tensors.neg_dst.shape) == (32, 2)
    assert np.shares_memory(tensors.neg_dst.numpy(), batch.neg_dst)
    assert tensors.pair_index.tolist() == batch.pair_index.tolist()
    assert tensors.dst.node_dict["items"].tolist() == batch.dst.node_dict["items"].tolist()


@pytest.mark.parametrize("form", ["datetime64", "date"])
def test_pair_times_take_the_seed_time_forms(form):
    graph = dataclasses.replace(GRAPH, time_unit="D")  # day d is d days after 1970-01-01
    stamps = np.datetime64("1970-01-01") + DAY.astype("timedelta64[D]")
    given = stamps if form == "datetime64" else stamps.astype(object).tolist()
    assert epoch(loader(graph, time=given, shuffle=False)) == epoch(loader(shuffle=False))


def sampled_by_hand(graph, table, seeds, times, budgets):
    """The subgraphs the sampler itself gives `seeds` at `times` (temporal
    counts draw nothing, so any sampler gives the same)."""
    fields = ["row_dict", "col_dict", "node_dict", "batch_dict", "num_sampled_nodes_dict",
              "num_sampled_edges_dict"]
    result = graph.sampler(0).sample(budgets, {}, table, seeds, times)
    return {f: {k: v.tolist() for k, v in r.items()} for f, r in zip(fields, result)}


@pytest.mark.parametrize("inclusive", [False, True])
def test_pairs_see_strictly_before_their_time_unless_inclusive(inclusive):
    # Pair i is event i (user, item, day): the event the pair stands for.
    ldr = loader(num_neighbors=[-1, -1], negatives=2, inclusive=inclusive)
    budgets = ldr.num_neighbors
    own_event_seen = []
    for batch in ldr:
        positions = batch.pair_index
        at = DAY[positions] - (0 if inclusive else 1)
        for part, table, seeds, times in [
                (batch.src, "users", USER[positions], at),
                (batch.dst, "items", ITEM[positions], at),
                (batch.neg, "items", batch.neg_dst.ravel(), np.repeat(at, 2))]:
            expected = sampled_by_hand(GRAPH, table, seeds, times, budgets)
            assert {f: {k: v.tolist() for k, v in getattr(part, f).items()}
                    for f in expected} == expected
            assert part.seed_time.tolist() == times.tolist()
        for part in (batch.src, batch.dst):
            events = part.node_dict["events"]
            own_event_seen.append(events == positions[part.batch_dict["events"]])
        assert (listed_at(batch.neg_dst) <= DAY[positions, None]).all()  # at the pair's day
    seen = np.concatenate(own_event_seen)
    assert seen.any() == inclusive
    # The pair's own event reaches both its source's and destination's subgraph.
    assert seen.sum() == (2 * len(DAY) if inclusive else 0)


def listed_at(items):
    return GRAPH.node_time["items"][items]
