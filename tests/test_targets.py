"""Batch.targets: which sampled nodes are targets of their own seed."""

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
    if case >= 3:  # ids no node has, too large for a plain (seed, id) key
        indices[::4] = np.iinfo(np.int64).max - indices[::4]
    loader = td.NeighborLoader(graph, "user", seeds=seeds, num_neighbors=[-1, -1],
                               batch_size=16, num_workers=0, seed=case)
    found = 0
    for batch in loader:
        got = batch.targets(node_type, indptr, indices)
        assert got.dtype == bool
        assert got.tolist() == plain_targets(batch, node_type, indptr, indices)
        found += got.sum()
    assert found > 0


@pytest.mark.parametrize("indptr, indices, match", [
    ([0, 1], [3], "indptr has 2 entries, but this batch holds seed position"),
    (np.zeros(61, int), [1], r"end at len\(indices\) = 1"),
    (np.r_[0, 2, 1, np.full(58, 1)], [0], "never decrease"),
    (np.r_[np.zeros(60, int), 1], [-1], "indices must be node ids >= 0"),
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
