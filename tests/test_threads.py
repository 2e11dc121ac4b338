"""`sample` runs without the interpreter lock: calls on one sampler are
serialised, samplers in different threads run side by side."""

import subprocess
import sys
import threading

import numpy as np
import pytest

import tovalib
from conftest import as_lists


def random_graph(seed=0, n=300, degree=40):
    rng = np.random.default_rng(seed)
    degrees = rng.integers(0, degree, n)
    colptr = {"n__to__n": np.concatenate([[0], np.cumsum(degrees)]).astype(np.int64)}
    row = {"n__to__n": rng.integers(0, n, int(degrees.sum())).astype(np.int64)}
    return ["n"], [("n", "to", "n")], colptr, row


def request(seeds):
    return {"n__to__n": np.array([10, 5, 3], np.int64)}, {}, "n", seeds, np.zeros(0, np.int64)


def run_threads(targets):
    barrier = threading.Barrier(len(targets))
    results = [None] * len(targets)

    def work(i):
        barrier.wait()
        results[i] = targets[i]()

    threads = [threading.Thread(target=work, args=(i,)) for i in range(len(targets))]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    return results


def test_two_threads_on_one_sampler_equal_some_sequential_order():
    graph = random_graph()
    seeds_a = np.arange(0, 64, dtype=np.int64)
    seeds_b = np.arange(100, 164, dtype=np.int64)
    for trial in range(20):
        shared = tovalib.NeighborSampler(*graph, {}, seed=trial)
        got_a, got_b = run_threads(
            [lambda: as_lists(shared.sample(*request(seeds_a))),
             lambda: as_lists(shared.sample(*request(seeds_b)))]
        )
        orders = []
        for first, second in [(seeds_a, seeds_b), (seeds_b, seeds_a)]:
            s = tovalib.NeighborSampler(*graph, {}, seed=trial)
            r1, r2 = as_lists(s.sample(*request(first))), as_lists(s.sample(*request(second)))
            orders.append((r1, r2) if first is seeds_a else (r2, r1))
        assert (got_a, got_b) in orders


def test_samplers_in_many_threads_give_single_threaded_results():
    graph = random_graph(1)
    seeds = np.arange(0, 200, dtype=np.int64)

    def calls(seed):
        s = tovalib.NeighborSampler(*graph, {}, seed=seed)
        return [as_lists(s.sample(*request(seeds))) for _ in range(5)]

    expected = [calls(seed) for seed in range(6)]
    got = run_threads([lambda seed=seed: calls(seed) for seed in range(6)])
    assert got == expected


def test_many_threads_hammering_one_sampler_stay_consistent():
    graph = random_graph(2)
    shared = tovalib.NeighborSampler(*graph, {}, seed=9)
    seeds = np.arange(0, 32, dtype=np.int64)
    results = run_threads([lambda: [as_lists(shared.sample(*request(seeds))) for _ in range(10)]
                           for _ in range(4)])
    # Forty calls from one generator: replaying them sequentially gives the
    # same multiset of results.
    replay = tovalib.NeighborSampler(*graph, {}, seed=9)
    sequential = [as_lists(replay.sample(*request(seeds))) for _ in range(40)]
    flat = [r for per_thread in results for r in per_thread]
    key = lambda r: repr(r)
    assert sorted(map(key, flat)) == sorted(map(key, sequential))


# Exit while sampling: the interpreter finalizes while other threads are inside
# `sample`. Each child exits with status 7 of its own accord, so any other
# status (134 for an abort) is a fault of the exit path.
EXIT_WHILE_SAMPLING = {
    "daemon threads": """
import sys, threading
import numpy as np
import tovalib
rng = np.random.default_rng(0)
n = 20_000
colptr = {"n__to__n": np.arange(0, 10 * n + 1, 10, dtype=np.int64)}
row = {"n__to__n": rng.integers(0, n, 10 * n).astype(np.int64)}
budgets = {"n__to__n": np.array([10, 10, 10])}
running = threading.Barrier(4)

def work():
    sampler = tovalib.NeighborSampler(["n"], [("n", "to", "n")], colptr, row, {})
    sampler.sample(budgets, {}, "n", np.arange(10), np.zeros(0, np.int64))
    running.wait()
    while True:
        sampler.sample(budgets, {}, "n", np.arange(10), np.zeros(0, np.int64))

for _ in range(3):
    threading.Thread(target=work, daemon=True).start()
running.wait()
sys.exit(7)
""",
    # Keyword arguments: pybind11 converts them through its own copy of the
    # keyword dict, which only the binding's frames refer to.
    "daemon threads, keyword arguments": """
import sys, threading
import numpy as np
import tovalib
rng = np.random.default_rng(0)
n = 20_000
colptr = {"n__to__n": np.arange(0, 10 * n + 1, 10, dtype=np.int64)}
row = {"n__to__n": rng.integers(0, n, 10 * n).astype(np.int64)}
warm = threading.Semaphore(0)

def work():
    sampler = tovalib.NeighborSampler(node_types=["n"], edge_types=[("n", "to", "n")],
                                      colptr=colptr, row=row, node_time={})
    calls = 0
    while True:
        sampler.sample(num_neighbors={"n__to__n": np.array([10, 10])},
                       sampling_time_offsets={}, entity_table="n",
                       seed_node=np.arange(64), seed_time=np.zeros(0, np.int64))
        calls += 1
        if calls == 10:
            warm.release()

for _ in range(3):
    threading.Thread(target=work, daemon=True).start()
for _ in range(3):
    warm.acquire()
sys.exit(7)
""",
    "held loader iterator": """
import sys
import numpy as np
import tovalib_data as td
rng = np.random.default_rng(0)
n = 20_000
graph = td.Graph.from_tables(
    {"users": {"id": np.arange(n)},
     "follows": {"a": rng.integers(0, n, 10 * n), "b": rng.integers(0, n, 10 * n)}},
    primary_keys={"users": "id"}, foreign_keys={"follows": {"a": "users", "b": "users"}})
batches = iter(td.NeighborLoader(graph, "users", num_neighbors=[10, 10], batch_size=64,
                                 num_workers=2))
next(batches)
sys.exit(7)
""",
    # The process's first arrays reach the extension in a thread: exit as soon
    # as that thread is at its first sampler, with output left to flush (the
    # flush lets the interpreter lock go once more while finalizing).
    "first sampler in a thread": """
import sys, threading
import numpy as np
import tovalib
n = 1000
colptr = {"n__to__n": np.arange(0, 10 * n + 1, 10, dtype=np.int64)}
row = {"n__to__n": np.random.default_rng(0).integers(0, n, 10 * n).astype(np.int64)}

def work():
    for _ in range(100_000):  # the main thread meanwhile waits for the lock
        pass
    sampler = tovalib.NeighborSampler(["n"], [("n", "to", "n")], colptr, row, {})
    while True:
        sampler.sample({"n__to__n": np.array([10, 10])}, {}, "n", np.arange(10),
                       np.zeros(0, np.int64))

worker = threading.Thread(target=work, daemon=True)
worker.start()
first_sampler = work.__code__.co_firstlineno + 3
while True:
    frame = sys._current_frames().get(worker.ident)
    if frame is not None and frame.f_code is work.__code__ and frame.f_lineno >= first_sampler:
        break
print("exiting")
sys.exit(7)
""",
}


@pytest.mark.parametrize("script", EXIT_WHILE_SAMPLING.values(), ids=EXIT_WHILE_SAMPLING)
def test_exit_while_sampling_is_clean(script):
    statuses = []
    for _ in range(20):
        done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                              timeout=120)
        assert "terminate called" not in done.stderr, done.stderr
        statuses.append(done.returncode)
    assert statuses == [7] * 20
