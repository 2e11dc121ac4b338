"""NeighborLoader: batches that depend on (seed, epoch, batch) only, resumption,
shards, worker errors and shutdown, and the conversions to torch and PyG."""

import dataclasses
from contextlib import nullcontext
import datetime
import os
import signal
import subprocess
import sys
import textwrap
import threading
import traceback
import warnings

import numpy as np
import pytest

from conftest import optional
import tovalib_data as td
from tovalib_data.loading.loader import sampler_seed


def random_graph(seed=0, users=60, items=25, events=400, timed=False):
    """users <- events -> items, both directions; features on users; when
    `timed`, event times (neighbourhoods are in time order) and time 0 for
    users and items."""
    rng = np.random.default_rng(seed)
    user, item = rng.integers(0, users, events), rng.integers(0, items, events)
    ids, time = np.arange(events), np.sort(rng.integers(0, 1000, events))
    num_nodes = {"user": users, "item": items, "event": events}
    links = {("event", "by", "user"): (user, ids), ("user", "made", "event"): (ids, user),
             ("event", "on", "item"): (item, ids), ("item", "has", "event"): (ids, item)}
    colptr, row = {}, {}
    for (src, rel, dst), (d, s) in links.items():
        key = f"{src}__{rel}__{dst}"
        order = np.lexsort((s, d))  # event ids are in time order
        colptr[key] = np.concatenate([[0], np.cumsum(np.bincount(d, minlength=num_nodes[dst]))])
        row[key] = s[order].astype(np.int64)
    node_time = {"event": time.astype(np.int64), "user": np.zeros(users, np.int64),
                 "item": np.zeros(items, np.int64)} if timed else {}
    x = {"user": rng.standard_normal((users, 3), dtype=np.float32)}
    return td.Graph(["user", "item", "event"], list(links), colptr, row, node_time, num_nodes,
                    x=x, time_unit="s" if timed else None)


GRAPH = random_graph()


def loader(graph=GRAPH, **kwargs):
    options = dict(entity_table="user", num_neighbors=[4, 3], batch_size=8, num_workers=0)
    return td.NeighborLoader(graph, **{**options, **kwargs})


def contents(batch):
    fields = ["row_dict", "col_dict", "node_dict", "batch_dict", "num_sampled_nodes_dict",
              "num_sampled_edges_dict", "x_dict", "time_dict"]
    out = {f: {k: v.tolist() for k, v in getattr(batch, f).items()} for f in fields}
    out["seeds"] = batch.seed_node.tolist(), batch.seed_index.tolist()
    return out


def epoch(ldr):
    return [contents(b) for b in ldr]


def loader_threads():
    return [t for t in threading.enumerate() if t.name.startswith("tovalib-loader")]


@pytest.fixture(scope="module")
def reference():
    return epoch(loader())


@pytest.mark.parametrize("num_workers", [0, 1, 2, 4])
def test_batches_do_not_depend_on_workers_or_run(reference, num_workers):
    assert epoch(loader(num_workers=num_workers, prefetch=1)) == reference
    assert len(reference) == 8  # 60 seeds in batches of 8


def test_epoch_and_seed_change_the_batches(reference):
    other_epoch = loader()
    other_epoch.set_epoch(1)
    changed = epoch(other_epoch)
    assert sorted(b["seeds"][0] for b in changed) != sorted(b["seeds"][0] for b in reference)
    # Same seed order, other sampler seeds: plain counts draw other neighbours.
    unshuffled = [epoch(loader(shuffle=False, seed=s)) for s in (0, 1)]
    assert [b["seeds"] for b in unshuffled[0]] == [b["seeds"] for b in unshuffled[1]]
    assert unshuffled[0] != unshuffled[1]


@pytest.mark.parametrize("timed", [False, True])  # True: one sampler serves every batch
def test_batch_is_the_sampler_result_for_its_seed(timed):
    graph = random_graph(timed=timed)
    times = np.arange(60) * 15 if timed else None
    def third_batch(**kwargs):
        ldr = loader(graph, seed=5, world_size=2, rank=1, seed_time=times, **kwargs)
        ldr.set_epoch(3)
        return ldr, list(ldr)[2]

    ldr, batch = third_batch()
    positions = ldr.shard()[16:24]
    sampler = graph.sampler(sampler_seed(5, 3, 2 * 2 + 1))
    expected = sampler.sample(ldr.num_neighbors, {}, "user", positions,
                              positions * 15 if timed else np.empty(0, np.int64))
    assert [contents(batch)[f] for f in ("row_dict", "node_dict")] == [
        {k: v.tolist() for k, v in expected[i].items()} for i in (0, 2)]
    assert batch.seed_index.tolist() == positions.tolist()
    np.testing.assert_array_equal(batch.x_dict["user"], graph.x["user"][batch.node_dict["user"]])
    if timed:
        assert batch.time_dict["event"].max() <= batch.seed_time.max()
    _, bare = third_batch(gather=False)
    assert contents(bare)["node_dict"] == contents(batch)["node_dict"]
    assert bare.x_dict == bare.time_dict == {}


@pytest.mark.parametrize("received", [1, 4, 8])  # batches the consumer got before the state
@pytest.mark.parametrize("num_workers", [0, 3])
def test_resume_continues_the_interrupted_epoch(num_workers, received):
    first = loader(num_workers=2)
    first.set_epoch(2)
    uninterrupted = epoch(first)
    for i, _ in enumerate(first):  # prefetches past the state's position
        if i + 1 == received:
            state = first.state_dict()
            break
    resumed = loader(num_workers=num_workers)
    resumed.load_state_dict(state)
    resumed.set_epoch(2)  # the training loop's call for the current epoch keeps the position
    assert epoch(resumed) == uninterrupted[received:]


@pytest.mark.parametrize("drop_last", [False, True])
@pytest.mark.parametrize("world_size", [1, 2, 3, 4])
def test_shards_are_equal_and_cover_the_seeds(world_size, drop_last):
    seeds = np.arange(5, 28)  # 23 seeds
    shards = []
    for rank in range(world_size):
        ldr = loader(seeds=seeds, batch_size=3, drop_last=drop_last, rank=rank,
                     world_size=world_size, num_workers=1)
        shards.append(np.concatenate([b.seed_node for b in ldr] or [np.empty(0, int)]))
        assert len(ldr) == len(loader(seeds=seeds, batch_size=3, drop_last=drop_last,
                                      world_size=world_size))
    sizes = {len(s) for s in shards}
    assert len(sizes) == 1
    together = np.concatenate(shards)
    if drop_last:
        assert len(np.unique(together)) == len(together)
        assert len(together) == world_size * ((23 // world_size) // 3 * 3)
    else:
        assert set(together.tolist()) == set(seeds.tolist())
        assert len(together) == -(-23 // world_size) * world_size


def broken_graph():
    """User 7's neighbourhood points past the end of its row array."""
    graph = random_graph()
    colptr = dict(graph.colptr)
    colptr["event__by__user"] = colptr["event__by__user"].copy()
    colptr["event__by__user"][8:] += 10_000
    return td.Graph(graph.node_types, graph.edge_types, colptr, graph.row, {}, graph.num_nodes)


@pytest.mark.parametrize("num_workers", [0, 2])
def test_worker_error_reaches_the_consumer(num_workers):
    ldr = loader(broken_graph(), shuffle=False, num_workers=num_workers)
    got = []
    with pytest.raises(RuntimeError, match="colptr|row") as info:
        for batch in ldr:
            got.append(batch)
    assert len(got) == 0  # user 7 is in batch 0
    frames = "".join(traceback.format_tb(info.value.__traceback__))
    assert "in batch" in frames  # where the sampler was called, in the worker too
    assert not loader_threads()


@pytest.mark.parametrize("stop", ["break", "delete", "close"])
def test_stopping_early_leaves_no_thread(stop):
    ldr = loader(num_workers=3, batch_size=2)
    it = iter(ldr)
    next(it)
    assert len(loader_threads()) == 3
    if stop == "break":
        del it
    elif stop == "delete":
        del ldr, it
    else:
        ldr.close()
        with pytest.raises(StopIteration):
            next(it)
    assert not loader_threads()


@pytest.mark.parametrize("holder", ["loop", "variable, close", "variable, del"])
def test_an_interrupt_in_the_loop_body_stops_the_workers_of_the_loops_pass(holder):
    # A loop over the loader owns its pass: the interrupt drops it, even with
    # the traceback kept. A pass held in a variable outlives the loop and
    # keeps its workers until close() or del.
    ldr = loader(num_workers=2, batch_size=2)
    it = None if holder == "loop" else iter(ldr)
    try:
        for _ in ldr if it is None else it:
            raise KeyboardInterrupt
    except KeyboardInterrupt as error:
        kept = error
    assert kept.__traceback__ is not None
    if it is not None:
        assert len(loader_threads()) == 2
        if holder == "variable, close":
            ldr.close()
        else:
            del it
    assert not loader_threads()


CHILD_PRELUDE = f"""
import os, signal, sys, threading
sys.path.insert(0, {os.path.dirname(os.path.abspath(__file__))!r})
from test_loader import loader_threads, random_graph
import tovalib_data as td

def waiting_in_next(frame):  # in a queue's get, or (no workers) sampling the batch
    while frame is not None:
        code = frame.f_code
        if (code.co_name, os.path.basename(code.co_filename)) in (("get", "queue.py"),
                                                                  ("subgraph", "plan.py")):
            return True
        frame = frame.f_back
    return False
"""

WAIT_AND_STOP = """
graph = random_graph(users=200, items=5, events=400000)  # batches slower than consuming
ldr = td.NeighborLoader(graph, "user", num_neighbors=[-1, -1], batch_size=4,
                        num_workers=int(sys.argv[2]), prefetch=1)
how, got, before = sys.argv[1], [], []  # before: batches received when it was stopped

def consume():
    got.extend(1 for _ in it)

if how in ("signal", "interrupt"):  # the handler runs in the waiting main thread
    def handler(signum, frame):
        if not waiting_in_next(frame):
            signal.setitimer(signal.ITIMER_REAL, 0.001)
            return
        before.append(len(got))
        if how == "signal":
            ldr.close()
        else:
            raise KeyboardInterrupt
    signal.signal(signal.SIGALRM, handler)
    signal.setitimer(signal.ITIMER_REAL, 0.001)
    try:
        for _ in ldr:
            got.append(1)
    except KeyboardInterrupt:
        pass
else:  # another thread stops the pass the consumer thread waits in
    it = iter(ldr)
    consumer = threading.Thread(target=consume)
    consumer.start()
    while not waiting_in_next(sys._current_frames().get(consumer.ident)):
        pass
    state = ldr.state_dict()
    before.append(len(got))
    if how == "close":
        ldr.close()
    elif how == "iter":
        iter(ldr)
    else:
        ldr.load_state_dict(state)
    consumer.join()
    ldr.close()
print(len(got) < len(ldr), len(got) - before[0], len(loader_threads()))
"""


def run_child(script, *args):
    done = subprocess.run([sys.executable, "-c", CHILD_PRELUDE + textwrap.dedent(script), *args],
                          capture_output=True, text=True, timeout=120)
    return done


@pytest.mark.parametrize("num_workers", [1, 0])
@pytest.mark.parametrize("how", ["close", "iter", "load_state_dict", "signal", "interrupt"])
def test_stopping_ends_a_consumer_waiting_in_next(how, num_workers):
    # No batch is handed over once stopped, not even the one being sampled
    # then; a hang fails by the child's timeout.
    done = run_child(WAIT_AND_STOP, how, str(num_workers))
    assert (done.returncode, done.stdout) == (0, "True 0 0\n"), done.stderr


EXIT_WHILE_SAMPLING = """
graph = random_graph(users=3000, items=50, events=300000)
ldr = td.NeighborLoader(graph, "user", num_neighbors=[-1, -1], batch_size=64, num_workers=2,
                        prefetch=100)
it = iter(ldr)  # held: leaving does not drop it
next(it)
if sys.argv[1] == "interrupt":
    # Python's own handler, as in a terminal: a job started in the background
    # inherits SIGINT ignored, and the interrupt would never arrive.
    signal.signal(signal.SIGINT, signal.default_int_handler)
    os.kill(os.getpid(), signal.SIGINT)
    while True:  # not signal.pause(): it would wait for a second signal if the
        threading.Event().wait(0.01)  # first one's handler had not run yet
"""


@pytest.mark.parametrize("how", ["end of script", "interrupt"])
def test_exit_stops_the_workers_of_a_held_pass(how):
    done = run_child(EXIT_WHILE_SAMPLING, how)
    assert "terminate called" not in done.stderr
    assert done.returncode == (-signal.SIGINT if how == "interrupt" else 0), done.stderr


@pytest.mark.parametrize("kwargs, error, match", [
    (dict(entity_table="users"), ValueError, "unknown entity table 'users'"),
    (dict(num_neighbors={"user__made__event": [2]}), ValueError,
     "'event__by__user' is in neither"),
    (dict(num_neighbors={"user__to__event": [2]}), ValueError,
     "num_neighbors: unknown edge type key 'user__to__event'"),
    (dict(time_windows={"user__made__event": [(0, 1)]}), ValueError,
     r"time_windows\['user__made__event'\]: node type 'user' has no times"),
    (dict(time_windows={"x__y__z": [(0, 1)]}), ValueError, "time_windows: unknown edge type"),
    (dict(num_neighbors={"default": 5, "user__made__event": [2]}), TypeError,
     r"^num_neighbors\['default'\] must be a 1-D sequence of integers, got int64 of shape \(\)"),
    (dict(num_neighbors=5), TypeError, "^num_neighbors must be a 1-D sequence of integers"),
    (dict(seeds=[0, 1], seed_time=[5]), ValueError, "seed_time has 1 entries, seeds has 2"),
    (dict(seeds=[0, 60]), ValueError, r"'user' must lie in \[0, 60\)"),
    (dict(seeds=[0.5]), TypeError, "seeds must be a 1-D sequence of integers"),
    (dict(rank=2, world_size=2), ValueError, "rank must lie in"),
    (dict(batch_size=0), ValueError, "batch_size must be an integer >= 1"),
    (dict(batch_size=True), ValueError, "batch_size must be an integer >= 1, got True"),
    (dict(seed="1"), ValueError, "seed must be an integer, got '1'"),
])
def test_bad_arguments_are_refused(kwargs, error, match):
    with pytest.raises(error, match=match):
        loader(**kwargs)


@pytest.mark.parametrize("name, value", [("batch_size", 8), ("num_workers", 2), ("prefetch", 1),
                                         ("world_size", 2), ("rank", 1), ("seed", 3)])
def test_numpy_integers_are_taken(name, value):
    given = {"world_size": 2} if name == "rank" else {}
    assert epoch(loader(**given, **{name: np.int64(value)})) == epoch(loader(**given, **{name: value}))


@pytest.mark.parametrize("call, error, match", [
    (lambda ldr: ldr.sample_batch(8), IndexError, r"batch index 8 outside \[0, 8\)"),
    (lambda ldr: ldr.sample_batch(-1), IndexError, r"batch index -1 outside \[0, 8\)"),
    (lambda ldr: ldr.sample_batch(0, epoch=-1), ValueError, "epoch must be an integer >= 0"),
    (lambda ldr: ldr.set_epoch(-1), ValueError, "epoch must be an integer >= 0, got -1"),
    (lambda ldr: ldr.shard(-2), ValueError, "epoch must be an integer >= 0, got -2"),
])
def test_batches_and_epochs_outside_are_refused(call, error, match):
    with pytest.raises(error, match=match):
        call(loader())


def underscored_graph(timed):
    """Seeds "b" (timed) <- "a" and <- "a_", 20 neighbours each per seed:
    the key "a___r__b" of ("a_", "r", "b") splits on "__" into ("a", "_r",
    "b"). Node type `timed` has times, the other one has none."""
    rng = np.random.default_rng(1)
    dst = np.repeat(np.arange(10), 20)
    src = rng.permutation(200)
    time = {"b": np.zeros(10, np.int64), timed: np.arange(200, dtype=np.int64)}
    colptr, row = {}, {}
    for et in [("a", "x", "b"), ("a_", "r", "b")]:
        key = "__".join(et)
        colptr[key], row[key] = td.time_sorted_csc(src, dst, 10, time.get(et[0]), num_src=200)
    return td.Graph(["b", "a", "a_"], [("a", "x", "b"), ("a_", "r", "b")], colptr, row, time,
                    {"b": 10, "a": 200, "a_": 200}, time_unit="s")


@pytest.mark.parametrize("where", ["to_pyg", "window check", "sampler reuse"])
def test_edge_types_are_the_graphs_triples_never_split_keys(where):
    if where == "to_pyg":
        optional("torch_geometric")
        graph = underscored_graph("a")
        data = next(iter(loader(graph, entity_table="b", seed_time=100))).to_pyg()
        assert sorted(data.edge_types) == sorted(graph.edge_types)
        assert data["a_", "r", "b"].edge_index.shape[1] > 0
    elif where == "window check":  # "a_" has times, "a" has none
        ldr = loader(underscored_graph("a_"), entity_table="b", seed_time=100,
                     num_neighbors={"a__x__b": [3]}, time_windows={"a___r__b": [(-50, 0)]})
        assert all(len(b.node_dict["a_"]) > 0 for b in ldr)
    else:  # "a" has times, "a_" none: the plain draws over "a_" need a sampler per batch
        ldr = loader(underscored_graph("a"), entity_table="b", batch_size=2, seed_time=100,
                     num_neighbors=[3])
        assert epoch(ldr) == [contents(ldr.sample_batch(i)) for i in range(len(ldr))]


FULL = {"event__by__user": [4, 3], "user__made__event": [2, 2], "event__on__item": [4, 3],
        "item__has__event": [1, 0]}


@pytest.mark.parametrize("num_neighbors", [
    {"default": [4, 3], "user__made__event": [2, 2], ("item", "has", "event"): [1, 0]},
    {("event", "by", "user"): [4, 3], "default": [2, 2], "event__on__item": [4, 3],
     "item__has__event": [1, 0]},
])
def test_budgets_take_a_default_and_triples(num_neighbors):
    assert epoch(loader(num_neighbors=num_neighbors)) == epoch(loader(num_neighbors=FULL))
    timed, windows = random_graph(timed=True), {"event__by__user": [(-100, 0)] * 2}
    by_triple = loader(timed, seed_time=500, num_neighbors=[3, 3],
                       time_windows={("event", "by", "user"): windows["event__by__user"]})
    assert epoch(by_triple) == epoch(loader(timed, seed_time=500, num_neighbors=[3, 3],
                                            time_windows=windows))


@pytest.mark.parametrize("kwargs, match", [
    (dict(time_windows={"event__by__user": [(-0.5, 0.5)]}),
     r"time_windows\['event__by__user'\]: bounds must be integers .*-0.5"),
    (dict(time_windows={"event__by__user": [("-5", 0)]}),
     r"time_windows\['event__by__user'\]: bounds must be integers .*'-5'"),
    (dict(time_windows={"event__by__user": np.array([[-5.0, 0.0]])}),
     r"time_windows\['event__by__user'\]: bounds must be integers"),
    (dict(time_windows={"event__by__user": [(-5, 0)]}, num_neighbors=[4, 3]),
     r"time_windows\['event__by__user'\] has 1 rows but the budgets have 2 hops"),
    (dict(time_windows={"event__by__user": [-5, 0]}),
     r"time_windows\['event__by__user'\] must have shape \(hops, 2\)"),
    (dict(time_windows={"default": [(-5, 0)]}), "time_windows: unknown edge type key 'default'"),
    (dict(num_neighbors={"default": [1], "event__by__user": [1], ("event", "by", "user"): [2]}),
     r"num_neighbors: edge type \('event', 'by', 'user'\) is given twice"),
    (dict(num_neighbors={("event", "by", "item"): [1]}),
     r"num_neighbors: unknown edge type key \('event', 'by', 'item'\)"),
])
def test_bad_budgets_are_refused(kwargs, match):
    with pytest.raises(ValueError, match=match):
        loader(random_graph(timed=True), seed_time=500, **kwargs)


@pytest.mark.parametrize("window", [
    [(2**63, 0)], [(-2**63 - 1, 0)], [(None, 2**63)], [(np.uint64(2**64 - 1), 0)],
    [(None, np.uint64(2**64 - 1))], np.array([[0, 2**64 - 1]], np.uint64)])
@pytest.mark.parametrize("kind", ["NeighborLoader", "LinkNeighborLoader"])
def test_window_bounds_outside_int64_are_refused(kind, window):
    def build(bounds):
        options = dict(num_neighbors=[3], num_workers=0,
                       time_windows={("event", "by", "user"): bounds})
        if kind == "NeighborLoader":
            return td.NeighborLoader(random_graph(timed=True), "user", seed_time=500, **options)
        return td.LinkNeighborLoader(random_graph(timed=True), "user", "item", [0, 1], [0, 1],
                                     500, **options)
    next(iter(build([(-2**63, 2**63 - 1)])))  # the int64 extremes themselves are bounds
    with pytest.raises(ValueError, match=r"^time_windows\['event__by__user'\]: bound "
                                         r"-?\d+ lies outside int64"):
        build(window)


@pytest.mark.parametrize("window, hop", [([(0, -30)], 0), ([(-30, 0), (5, 4)], 1),
                                         (np.array([[1, 0]]), 0)])
@pytest.mark.parametrize("kind", ["NeighborLoader", "LinkNeighborLoader"])
def test_inverted_windows_are_refused(kind, window, hop):
    options = dict(num_neighbors=[3, 3], num_workers=0,
                   time_windows={("event", "by", "user"): window})
    with pytest.raises(ValueError, match=rf"^time_windows\['event__by__user'\]: the window "
                                         rf"of hop {hop} is \(\d+, -?\d+\), its lower bound "
                                         r"above its upper"):
        if kind == "NeighborLoader":
            td.NeighborLoader(random_graph(timed=True), "user", seed_time=500, **options)
        else:
            td.LinkNeighborLoader(random_graph(timed=True), "user", "item", [0, 1], [0, 1],
                                  500, **options)


@pytest.mark.parametrize("num_workers", [0, 2])
def test_a_batch_has_its_own_row_counts(num_workers):
    graph = random_graph(timed=True)
    counts = dict(graph.num_nodes)
    batch = td.NeighborLoader(graph, "user", num_neighbors=[1], seed_time=500,
                              num_workers=num_workers).sample_batch(0)
    batch.num_rows["user"] = 0
    assert graph.num_nodes == counts


TIMED = random_graph(timed=True)


@pytest.mark.parametrize("saved, other, match", [
    ({}, dict(seed=1), r"state is of another loader: seed 0 \(this one: 1\)$"),
    ({}, dict(world_size=2), r"batches 8 \(this one: 4\), world_size 1 \(this one: 2\)$"),
    (dict(world_size=2), dict(world_size=2, rank=1), r"loader: rank 0 \(this one: 1\)$"),
    ({}, dict(seeds=np.arange(60)[::-1]), "state is of another loader: digest '"),
    (dict(graph=TIMED, seed_time=400), dict(graph=TIMED, seed_time=500), "loader: digest '"),
    ({}, dict(num_neighbors=[4, 2]), "state is of another loader: digest '"),
])
def test_state_of_another_loader_is_refused(saved, other, match):
    state = loader(**saved).state_dict()
    loader(**saved).load_state_dict(state)  # its own is taken
    with pytest.raises(ValueError, match=match):
        loader(**other).load_state_dict(state)


@pytest.mark.parametrize("change, match", [
    (dict(digest=None), "state lacks 'digest'"),
    (dict(position=9), r"state position 9 outside \[0, 8\]"),
    (dict(epoch=-1), r"state\['epoch'\] must be an integer >= 0"),
    (dict(position=1.5), r"state\['position'\] must be an integer"),
])
def test_bad_state_is_refused(change, match):
    state = {**loader().state_dict(), **change}
    state = {k: v for k, v in state.items() if v is not None}
    with pytest.raises(ValueError, match=match):
        loader().load_state_dict(state)


def test_windows_and_datetime_seed_times():
    graph = random_graph(timed=True)
    windows = {"event__by__user": [(None, 0), (-100, 0)], "event__on__item": [(-50, 0)] * 2}
    cutoff = np.datetime64("1970-01-01T00:08:20")  # 500 s
    by_date, by_int = (loader(graph, seed_time=t, num_neighbors=[-1, -1], time_windows=windows)
                       for t in (cutoff, 500))
    batches = list(by_date)
    assert epoch(by_int) == [contents(b) for b in batches]
    times = np.concatenate([b.time_dict["event"] for b in batches])
    assert times.max() <= 500 and len(times) > 0


PLUS2 = datetime.timezone(datetime.timedelta(hours=2))
CUT = "1970-01-01T00:08:20"  # 500 s


@pytest.mark.parametrize("form, expected", [
    (lambda pd: 500, [500] * 60),
    (lambda pd: np.int64(500), [500] * 60),
    (lambda pd: np.datetime64(CUT + ".999"), [500] * 60),  # floored to the graph's unit
    (lambda pd: np.arange(60).astype("datetime64[m]"), list(range(0, 3600, 60))),
    (lambda pd: datetime.datetime(1970, 1, 1, 2, 8, 20, tzinfo=PLUS2), [500] * 60),
    (lambda pd: [datetime.date(1970, 1, 2)] * 60, [86400] * 60),
    (lambda pd: pd.Timestamp(CUT), [500] * 60),
    (lambda pd: pd.Timestamp("1970-01-01T01:08:20", tz="Europe/Paris"), [500] * 60),
    (lambda pd: pd.date_range(CUT, periods=60, freq="s"), list(range(500, 560))),
    (lambda pd: pd.Series(pd.date_range(CUT, periods=60, freq="s", tz="UTC")), list(range(500, 560))),
    (lambda pd: pd.Series(pd.date_range(CUT, periods=60, freq="s")).astype("timestamp[ms][pyarrow]"),
     list(range(500, 560))),
])
def test_seed_time_forms(form, expected):
    pd = optional("pandas")
    assert loader(random_graph(timed=True), seed_time=form(pd)).seed_time.tolist() == expected


@pytest.mark.parametrize("unit, seed_time, error, match", [
    ("s", np.datetime64("NaT"), ValueError, "seed_time: the seed time at position 0 is NaT"),
    ("s", [np.datetime64(CUT)] * 59 + [np.datetime64("NaT")], ValueError, "position 59 is NaT"),
    ("s", np.uint64(2**64 - 1), ValueError, "seed_time: 18446744073709551615 does not fit int64"),
    ("s", [2**64 - 1] * 60, ValueError, "seed_time: 18446744073709551615 does not fit int64"),
    ("s", 2**70, ValueError, "seed_time: a seed time does not fit int64"),
    ("ns", np.datetime64("2300-01-01", "s"), ValueError, "seed_time: a seed time does not fit"),
    ("ns", np.datetime64("9999-12-31", "us"), ValueError, "does not fit int64 as counts of 'ns'"),
    ("ns", datetime.date(9999, 12, 31), ValueError, "does not fit int64 as counts of 'ns'"),
    ("s", 500.0, TypeError, "seed_time must be integers .* got float64"),
    ("s", np.array([1, True] * 30, dtype=object), TypeError, "^seed_time .* got a bool among"),
    ("s", [500] * 59 + [True], TypeError, "^seed_time must be integers .* got a bool among"),
    ("s", (np.bool_(False),) + (500,) * 59, TypeError, "^seed_time .* got a bool among them"),
    ("s", "1970-01-01", TypeError, "seed_time must be integers .* got <U10"),
    (None, np.datetime64(CUT), TypeError, "seed_time: dates and times need a graph with a time unit"),
    ("fortnight", np.datetime64(CUT), ValueError,
     "seed_time: .* the graph's time unit 'fortnight', which is not one of D, h, m, s"),
])
def test_bad_seed_times_are_refused(unit, seed_time, error, match):
    graph = dataclasses.replace(random_graph(timed=True), time_unit=unit)
    with pytest.raises(error, match=match):
        loader(graph, seed_time=seed_time)


@pytest.mark.parametrize("unit, seed_time, warns", [
    ("s", 10**6, True), ("s", -10**6, True), ("s", [10**6] * 59 + [500], False),
    ("s", np.datetime64("2024-01-01"), False),  # converted, so in the right unit
    (None, 10**6, False),  # no unit to name
])
def test_integer_seed_times_far_outside_the_node_times_warn(unit, seed_time, warns):
    graph = dataclasses.replace(random_graph(timed=True), time_unit=unit)
    high = int(graph.node_time["event"].max())
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        # Users sign up from time 0: before it, they do not exist yet (after the warning).
        early = np.min(seed_time) < 0 if not isinstance(seed_time, np.datetime64) else False
        with pytest.raises(ValueError, match="do not exist yet") if early else nullcontext():
            loader(graph, seed_time=seed_time)
    messages = [str(w.message) for w in caught if w.category is UserWarning]
    assert len(messages) == warns
    if warns:
        assert f"range over [0, {high}]" in messages[0] and "time unit 's'" in messages[0]


@pytest.mark.parametrize("kind", ["Batch", "LinkBatch"])
def test_to_pyg_without_torch_names_the_pyg_extra(monkeypatch, kind):
    batch = next(iter(loader() if kind == "Batch" else td.LinkNeighborLoader(
        GRAPH, "user", "item", [0], [0], num_neighbors=[1], num_workers=0)))
    monkeypatch.setitem(sys.modules, "torch", None)  # torch made unimportable
    with pytest.raises(ImportError, match=r"^torch is required for this; install it with "
                                          r"pip install 'tovalib\[pyg\]'$"):
        batch.to_pyg()


def test_progress_bar(capsys):
    optional("tqdm")
    list(loader(progress=True))
    assert "8/8" in capsys.readouterr().err


def test_to_pyg_matches_the_batch():
    torch = optional("torch")
    optional("torch_geometric")
    from torch_geometric.utils import trim_to_layer

    batch = list(loader(random_graph(timed=True), seed_time=np.arange(60) * 20,
                        batch_size=16))[1]
    data = batch.to_pyg()
    for key, row in batch.row_dict.items():
        edge = data[tuple(key.split("__"))]
        assert edge.edge_index.tolist() == [row.tolist(), batch.col_dict[key].tolist()]
        assert edge.num_sampled_edges == batch.num_sampled_edges_dict[key].tolist()
    for t, ids in batch.node_dict.items():
        assert data[t].get("num_nodes") == len(ids)  # stored, not inferred: "item" has no x
        assert data[t].n_id.tolist() == ids.tolist()
        assert data[t].batch.tolist() == batch.batch_dict[t].tolist()
        assert data[t].num_sampled_nodes == batch.num_sampled_nodes_dict[t].tolist()
    assert np.shares_memory(data["user"].x.numpy(), batch.x_dict["user"])
    assert data["event"].time.tolist() == batch.time_dict["event"].tolist()
    assert data["user"].batch_size == 16
    assert data["user"].input_id.tolist() == batch.seed_index.tolist()
    assert data["user"].seed_time.tolist() == batch.seed_time.tolist()
    assert data["user"].n_id[:16].tolist() == batch.seed_node.tolist()
    # Trimming to the last layer keeps the seeds and the first hop's edges.
    x, edges, _ = trim_to_layer(1, data.num_sampled_nodes_dict, data.num_sampled_edges_dict,
                                {t: data[t].n_id for t in data.node_types}, data.edge_index_dict)
    for t in data.node_types:
        assert len(x[t]) == sum(batch.num_sampled_nodes_dict[t][:2])
    for et, e in edges.items():
        assert e.shape[1] == batch.num_sampled_edges_dict["__".join(et)][0]
    plain = batch.to_torch()
    assert plain.node_dict["event"].dtype == torch.int64
    assert np.shares_memory(plain.row_dict["event__by__user"].numpy(),
                            batch.row_dict["event__by__user"])
