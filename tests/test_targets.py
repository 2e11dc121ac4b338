"""Batch.targets: which sampled nodes are targets of their own seed."""

import dataclasses

import numpy as np
import pytest

import tovalib_data as td
from test_loader import random_graph


def plain_targets(batch, node_type, indptr, indices):
    """The definition, one node at a time."""
    out = []
    for node, seed in zip(batch.node_dict[node_type], batch.batch_dict[node_type]):
        position = batch.seed_index[seed]
        out.append(node in indices[indptr[position]:indptr[position + 1]])
    return out


@pytest.mark.parametrize("case", range(6))
def test_targets_match_a_plain_loop(case):
    rng = np.random.default_rng(case)
    graph = random_graph(seed=case)
    seeds = rng.integers(0, 60, 40)  # repeated seeds have their own targets
    node_type, ids, most = [("item", 25, 6), ("event", 400, 60), ("user", 60, 3)][case % 3]
    indptr = np.concatenate([[0], np.cumsum(rng.integers(0, most, len(seeds)))])
    indices = rng.integers(0, ids, indptr[-1])
    rows = 2**61 if case >= 3 else ids  # 2**61 rows: too many for a plain (seed, id) key
    if case >= 3:  # ids no node has
        indices[::4] = rows - 1 - indices[::4]
    loader = td.NeighborLoader(graph, "user", seeds=seeds, num_neighbors=[-1, -1],
                               batch_size=16, num_workers=0, seed=case)
    found = 0
    for batch in loader:
        batch = dataclasses.replace(batch, num_rows={**batch.num_rows, node_type: rows})
        got = batch.targets(node_type, indptr, indices)
        assert got.dtype == bool
        assert got.tolist() == plain_targets(batch, node_type, indptr, indices)
        found += got.sum()
    assert found > 0


@pytest.mark.parametrize("indptr, indices, match", [
    ([0, 1], [3], "indptr has 2 entries, but this batch holds seed position"),
    (np.zeros(61, int), [1], r"end at len\(indices\) = 1"),
    (np.r_[0, 2, 1, np.full(58, 1)], [0], "never decrease"),
    (np.r_[np.zeros(60, int), 1], [-1], r"indices must be ids of 'item' rows, in \[0, 25\)"),
    (np.r_[np.zeros(60, int), 1], [25], r"indices must be ids of 'item' rows, in \[0, 25\)"),
    (np.zeros(61), [], "indptr must be a 1-D array of integers"),
    (np.zeros(61, int), [[0]], "indices must be a 1-D array of integers"),
])
def test_bad_targets_are_refused(indptr, indices, match):
    batch = next(iter(td.NeighborLoader(random_graph(), "user", num_neighbors=[2],
                                        num_workers=0)))
    with pytest.raises(ValueError, match=match):
        batch.targets("item", indptr, indices)
    with pytest.raises(ValueError, match="unknown node type 'items'"):
        batch.targets("items", np.zeros(61, int), [])


HUGE = 2**50  # arrays this long cannot be copied or scanned, only read where needed


@pytest.mark.parametrize("indptr, indices", [
    (np.r_[np.arange(0, 300, 5), HUGE], np.broadcast_to(np.int32(3), (HUGE,))),
    (np.broadcast_to(np.int64(0), (HUGE,)), np.empty(0, np.int32)),
])
def test_targets_read_only_the_batch_slices(indptr, indices):
    """Seed positions 0..15 of 60 read 5 ids each (the last slice, never
    read, is huge), or none (indptr is huge): a call costs the batch's
    slices, and int32 ids are not copied to int64 as a whole."""
    loader = td.NeighborLoader(random_graph(), "user", num_neighbors=[-1, -1], batch_size=16,
                               shuffle=False, num_workers=0)
    batch = next(iter(loader))
    got = batch.targets("item", indptr, indices)
    assert got.tolist() == plain_targets(batch, "item", indptr, indices)
    assert got.any() == (len(indices) > 0)
