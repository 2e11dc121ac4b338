"""Data-parallel training over one graph on disk, one process per rank.

    torchrun --nproc_per_node=2 examples/train_distributed.py [--quick] [--dir DIR]

Needs torch and torch_geometric (pip install 'tovalib[pyg]'). Rank 0 builds
the shop graph of train_relational.py from its tables and saves it under DIR
with the training pairs (without --dir: in a fresh temporary directory,
removed at the end); every rank then memory-maps the same files (`Graph.load(path,
mmap=True)`: the operating system shares the pages between the processes)
and samples its own shard of every epoch (`NeighborLoader(rank=...,
world_size=...)`; all shards have the same number of batches, so the ranks
step together). The model is wrapped in DistributedDataParallel, which
averages the gradients over the ranks (gloo, on CPU).

Rank 0 prints the loss averaged over the ranks per epoch. With `--record
FILE` it also writes, as JSON, every rank's seed positions per epoch and the
losses, gathered from all ranks.
"""

from __future__ import annotations

import argparse
import json
import os
import shutil
import sys
import tempfile
from typing import Any

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import tovalib_data as td  # noqa: E402
from tovalib_data._optional import require  # noqa: E402
from train_relational import (  # noqa: E402
    FANOUT, SCHEMA, TRAIN_CUTOFFS, make_model, make_tables, make_task)


def main(argv: list[str] | None = None) -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="a small shop, few steps")
    parser.add_argument("--dir", default=None,
                        help="where to save the graph (default: a fresh temporary directory)")
    parser.add_argument("--epochs", type=int, default=None)
    parser.add_argument("--record", default=None, help="write gathered seeds and losses here")
    args = parser.parse_args(argv)
    torch = require("torch", "pyg")
    require("torch_geometric", "pyg")
    dist = require("torch.distributed", "pyg")
    DistributedDataParallel = require("torch.nn.parallel", "pyg").DistributedDataParallel

    dist.init_process_group("gloo")
    rank, world_size = dist.get_rank(), dist.get_world_size()
    # Rank 0 picks the directory and tells the others (one machine).
    where: list[Any] = [args.dir or (tempfile.mkdtemp(prefix="tovalib_ddp_") if rank == 0
                                     else None)]
    dist.broadcast_object_list(where, src=0)
    work_dir = str(where[0])
    if rank == 0:
        print(f"graph and training pairs in {work_dir}"
              + ("" if args.dir else " (removed at the end)"), flush=True)
    graph_dir, task_file = os.path.join(work_dir, "graph"), os.path.join(work_dir, "task.npz")
    if rank == 0:
        tables = make_tables(*((300, 30) if args.quick else (5000, 300)))
        td.Graph.from_tables(tables, **SCHEMA).save(graph_dir)
        seeds, times, label = make_task(tables, TRAIN_CUTOFFS)
        np.savez(task_file, seeds=seeds, times=times.astype(np.int64), label=label)
    dist.barrier()  # the files are complete

    graph = td.Graph.load(graph_dir, mmap=True)
    with np.load(task_file) as task:
        seeds, times, label = task["seeds"], task["times"], task["label"]
    loader = td.NeighborLoader(graph, "customers", seeds=seeds, seed_time=times,
                               num_neighbors=FANOUT, batch_size=32 if args.quick else 256,
                               rank=rank, world_size=world_size, num_workers=1)
    torch.manual_seed(0)  # the same initial weights on every rank
    model = DistributedDataParallel(make_model(graph, "customers"))
    optimizer = torch.optim.Adam(model.parameters(), lr=0.01)
    targets = torch.from_numpy(label.astype(np.float32))
    loss_fn = torch.nn.BCEWithLogitsLoss()

    record: dict[str, list] = {"seed_index": [], "loss": []}
    for epoch in range(args.epochs or (1 if args.quick else 5)):
        loader.set_epoch(epoch)
        positions, losses = [], []
        for batch in loader:
            optimizer.zero_grad()
            loss = loss_fn(model(batch.to_pyg()), targets[batch.seed_index])
            loss.backward()
            optimizer.step()
            positions.append(batch.seed_index)
            losses.append(loss.item())
        mean = torch.tensor([np.mean(losses)])
        dist.all_reduce(mean)
        gathered: list = [None] * world_size
        dist.all_gather_object(gathered, (np.concatenate(positions).tolist(), losses))
        if rank == 0:
            print(f"epoch {epoch + 1}: {len(losses)} steps per rank on {world_size} ranks, "
                  f"loss {mean.item() / world_size:.4f}", flush=True)
            record["seed_index"].append([g[0] for g in gathered])
            record["loss"].append([g[1] for g in gathered])
    if rank == 0 and args.record:
        with open(args.record, "w") as f:
            json.dump({"num_seeds": len(seeds), **record}, f)
    # Tear down in this order: the model's reducer while the process group
    # is still registered, then the group. Left to interpreter exit, the
    # reducer can destroy the group while holding the interpreter lock that
    # the group's threads need to finish their last collective.
    dist.barrier()
    del model, optimizer
    dist.destroy_process_group()
    del graph, loader  # the memory maps, before their files go
    if rank == 0 and not args.dir:
        shutil.rmtree(work_dir)


if __name__ == "__main__":
    main()
