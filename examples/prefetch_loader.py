"""A threaded loader that samples the next batches while the current one is used.

    python examples/prefetch_loader.py [--quick] [--workers 2] [--prefetch 4]

`NeighborSampler.sample` releases the GIL while it samples, and samplers are
independent of each other, so worker threads that each own a sampler run in
parallel with each other and with the consumer (here a small NumPy training
step, which releases the GIL in its matrix products too). The consumer then
hardly ever waits for a batch.

Batch i is sampled by worker i % workers; each worker hands its batches over
through a bounded queue of its own, so at most `prefetch` batches per worker
wait in memory and the consumer receives them in batch order. Because every
worker sees a fixed sequence of requests, the results are the same on every
run. Shows a progress bar when tqdm is installed.
"""

from __future__ import annotations

import argparse
import importlib
import os
import queue
import sys
import threading
import time
from collections.abc import Callable, Iterator, Sequence

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import tovalib  # noqa: E402
from shop import Graph, edge_key, make_shop  # noqa: E402

Batch = tuple[np.ndarray, np.ndarray]  # seed nodes, seed times


class PrefetchLoader:
    """Iterates over the sampled `batches`, sampling ahead in worker threads.

    make_sampler(worker) builds the sampler a worker thread owns;
    sample(sampler, seeds, seed_times) returns what is yielded for a batch.
    A failure in a worker is raised in the consumer at that batch.
    """

    def __init__(
        self,
        make_sampler: Callable[[int], tovalib.NeighborSampler],
        sample: Callable[[tovalib.NeighborSampler, np.ndarray, np.ndarray], tuple],
        batches: Sequence[Batch],
        num_workers: int = 2,
        prefetch: int = 4,
    ) -> None:
        self.make_sampler = make_sampler
        self.sample = sample
        self.batches = batches
        self.num_workers = max(1, num_workers)
        self.prefetch = max(1, prefetch)

    def __len__(self) -> int:
        return len(self.batches)

    @staticmethod
    def _put(out: queue.Queue, item: object, stop: threading.Event) -> bool:
        """Waits for room in `out`, giving up once the consumer has stopped."""
        while not stop.is_set():
            try:
                out.put(item, timeout=0.1)
                return True
            except queue.Full:
                continue
        return False

    def _work(self, worker: int, out: queue.Queue, stop: threading.Event) -> None:
        try:
            sampler = self.make_sampler(worker)
            for i in range(worker, len(self.batches), self.num_workers):
                if not self._put(out, self.sample(sampler, *self.batches[i]), stop):
                    return
        except BaseException as error:  # raised in the consumer at this batch
            self._put(out, error, stop)

    def __iter__(self) -> Iterator[tuple]:
        stop = threading.Event()
        queues: list[queue.Queue] = [queue.Queue(self.prefetch) for _ in range(self.num_workers)]
        threads = [
            threading.Thread(target=self._work, args=(w, q, stop), daemon=True)
            for w, q in enumerate(queues)
        ]
        for t in threads:
            t.start()
        try:
            for i in range(len(self.batches)):
                item = queues[i % self.num_workers].get()
                if isinstance(item, BaseException):
                    raise item
                yield item
        finally:
            stop.set()  # also when the consumer stops early
            for t in threads:
                t.join()


def progress(iterable, total: int, enabled: bool):
    """tqdm's progress bar (on stderr) when it is installed and wanted."""
    if not enabled:
        return iterable
    try:
        tqdm = importlib.import_module("tqdm").tqdm
    except ImportError:
        return iterable
    return tqdm(iterable, total=total, unit="batch")


# ---------------------------------------------------------------------------
# The example: temporal batches of the shop graph and a toy training step.

COUNTS = [10, 5, 5]
DIM = 64


def make_batches(graph: Graph, num_batches: int, batch_size: int) -> list[Batch]:
    rng = np.random.default_rng(3)
    return [
        (
            rng.choice(graph.num_nodes["customer"], batch_size, replace=False).astype(np.int64),
            rng.integers(120, 365, batch_size).astype(np.int64),
        )
        for _ in range(num_batches)
    ]


def train_step(graph: Graph, features: dict, weight: np.ndarray, result: tuple) -> float:
    """A toy step: embeds the sampled nodes and scores the sampled edges."""
    rows, cols, nodes = result[0], result[1], result[2]
    hidden = {t: np.tanh(features[t][nodes[t]] @ weight) for t in graph.node_types}
    total = 0.0
    for src, rel, dst in graph.edge_types:
        key = edge_key((src, rel, dst))
        if len(rows[key]):
            scores = np.einsum("ij,ij->i", hidden[src][rows[key]], hidden[dst][cols[key]])
            total += float(scores.mean())
    return total


def main(argv: list[str] | None = None) -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="a smaller graph, fewer batches")
    parser.add_argument("--workers", type=int, default=2)
    parser.add_argument("--prefetch", type=int, default=4)
    parser.add_argument("--no-progress", action="store_true", help="no progress bar")
    args = parser.parse_args(argv)

    if args.quick:
        graph = make_shop(num_customers=300, num_products=60, num_orders=3000)
        num_batches, batch_size = 12, 32
    else:
        graph = make_shop(num_customers=3000, num_products=400, num_orders=40000)
        num_batches, batch_size = 60, 128
    batches = make_batches(graph, num_batches, batch_size)
    budgets = {edge_key(et): np.array(COUNTS, dtype=np.int64) for et in graph.edge_types}

    def make_sampler(worker: int) -> tovalib.NeighborSampler:
        return tovalib.NeighborSampler(**graph.sampler_args(), seed=worker)

    def sample(sampler, seeds, seed_times):
        return sampler.sample(budgets, {}, "customer", seeds, seed_times)

    rng = np.random.default_rng(0)
    features = {t: rng.standard_normal((n, DIM), dtype=np.float32)
                for t, n in graph.num_nodes.items()}
    weight = rng.standard_normal((DIM, DIM), dtype=np.float32) / np.sqrt(DIM)

    def run(results, total):
        """Consumes the batches; returns their sizes, losses and the time waited for them."""
        sizes, losses, waited = [], [], 0.0
        batches_in = iter(progress(results, total, not args.no_progress))
        while True:
            start = time.perf_counter()
            result = next(batches_in, None)
            waited += time.perf_counter() - start
            if result is None:
                break
            losses.append(train_step(graph, features, weight, result))
            sizes.append((sum(map(len, result[2].values())), sum(map(len, result[0].values()))))
        return sizes, losses, waited

    # Serially: sample a batch, then use it. Same workers' samplers, so same results.
    samplers = [make_sampler(w) for w in range(args.workers)]
    serial = (sample(samplers[i % args.workers], *b) for i, b in enumerate(batches))
    serial_sizes, serial_losses, serial_time = run(serial, len(batches))

    loader = PrefetchLoader(make_sampler, sample, batches, args.workers, args.prefetch)
    sizes, losses, prefetch_time = run(loader, len(loader))

    nodes = np.array([s[0] for s in sizes])
    edges = np.array([s[1] for s in sizes])
    print(f"{len(sizes)} batches of {batch_size} seeds, counts per hop {COUNTS}, "
          f"{args.workers} sampling threads, up to {args.prefetch} batches ahead each")
    print(f"nodes per batch: min {nodes.min()}, mean {nodes.mean():.1f}, max {nodes.max()}")
    print(f"edges per batch: min {edges.min()}, mean {edges.mean():.1f}, max {edges.max()}")
    print(f"mean loss: {np.mean(losses):.6f}")
    same = sizes == serial_sizes and losses == serial_losses
    print(f"same batches as sampling serially: {'yes' if same else 'NO'}")
    print(f"time the training loop waited for batches: {serial_time:.3f} s sampling inline, "
          f"{prefetch_time:.3f} s with prefetching")


if __name__ == "__main__":
    main()
