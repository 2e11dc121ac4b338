"""Validation of a `sample` request: messages, their order, the hop count."""

import numpy as np
import pytest

import tovalib
from conftest import EMPTY, as_lists, i64, path_graph

AB, BA = "a__to__b", "b__to__a"


def sampler(node_time=None):
    nt, et, colptr, row = path_graph()
    return tovalib.NeighborSampler(nt, et, colptr, row, {} if node_time is None else node_time)


def temporal():
    return sampler({"a": i64(1, 2, 3), "b": i64(1, 2, 3)})


def only_b_times():
    return sampler({"b": i64(1, 2, 3)})


@pytest.mark.parametrize(
    "make, args, message",
    [
        (sampler, ({"x": i64(1)}, {}, "a", i64(0), EMPTY), "Invalid type 'x' found in num_neighbors."),
        (sampler, ({AB: i64(1)}, {"y": 1}, "a", i64(0), EMPTY), "Invalid type 'y' found in sampling_time_offsets."),
        (sampler, ({AB: [[1]]}, {}, "a", i64(0), EMPTY), "Type 'a__to__b' in num_neighbors is not 1D."),
        (sampler, ({AB: np.array([1.0])}, {}, "a", i64(0), EMPTY), "Type 'a__to__b' in num_neighbors must have dtype int64."),
        (sampler, ({}, {AB: i64(1, 2)}, "a", i64(0), EMPTY), "Type 'a__to__b' in sampling_time_offsets is not 2D."),
        (sampler, ({}, {}, "a", np.zeros((1, 1), np.int64), EMPTY), "seed_node is not 1D."),
        (sampler, ({}, {}, "a", np.array([0], np.int32), EMPTY), "seed_node must have dtype int64."),
        (sampler, ({}, {}, "a", i64(0), np.array(5)), "seed_time is not 1D."),
        (sampler, ({}, {}, "a", i64(0), np.array([1.5])), "seed_time must have dtype int64."),
        (sampler, ({}, {}, "A", i64(0), EMPTY), "Invalid entity table 'A'."),
        (sampler, ({}, {}, "", i64(0), EMPTY), "Invalid entity table ''."),
        (temporal, ({}, {}, "a", i64(0), i64(1, 2)), "'seed_node' and 'seed_time' size mismatch."),
        (temporal, ({}, {}, "a", EMPTY, i64(1)), "'seed_node' and 'seed_time' size mismatch."),
        (sampler, ({AB: i64(1), BA: i64(1)}, {AB: np.zeros((1, 2), np.int64)}, "a", i64(0), EMPTY),
         "'sampling_time_offsets' and 'num_neighbors' may not contain the same edge type. 'a__to__b' appears in both."),
        (only_b_times, ({BA: i64(1)}, {AB: np.zeros((1, 2), np.int64)}, "a", i64(0), EMPTY),
         "'sampling_time_offsets' contains 'a__to__b' but a is not included in 'node_time'."),
        # Node times are checked before the shape, and even for empty values.
        (only_b_times, ({BA: i64(1)}, {AB: np.zeros((4, 3), np.int64)}, "a", i64(0), EMPTY),
         "'sampling_time_offsets' contains 'a__to__b' but a is not included in 'node_time'."),
        (only_b_times, ({BA: i64(1)}, {AB: np.zeros((0, 2), np.int64)}, "a", i64(0), EMPTY),
         "'sampling_time_offsets' contains 'a__to__b' but a is not included in 'node_time'."),
        (temporal, ({BA: i64(1)}, {AB: np.zeros((0, 3), np.int64)}, "a", i64(0), EMPTY),
         "'sampling_time_offsets' at 'a__to__b' does not have shape (N, 2)."),
    ],
)
def test_request_messages(make, args, message):
    with pytest.raises(RuntimeError) as info:
        make().sample(*args)
    assert str(info.value) == message


def test_checks_run_in_order():
    s = temporal()
    bad_counts = {"x": i64(1)}
    bad_windows = {"y": 1}
    bad_seed = np.array([0.5])
    cases = [
        ((bad_counts, bad_windows, "zz", bad_seed, bad_seed), "found in num_neighbors"),
        (({}, bad_windows, "zz", bad_seed, bad_seed), "found in sampling_time_offsets"),
        (({}, {}, "zz", bad_seed, bad_seed), "seed_node must have"),
        (({}, {}, "zz", i64(0), bad_seed), "seed_time must have"),
        (({}, {}, "zz", i64(0), i64(1, 2)), "Invalid entity table"),
        (({}, {}, "a", i64(0), i64(1, 2)), "size mismatch"),
        (({}, {}, "a", i64(0), i64(1)), None),  # the per-edge-type pass: KeyError
    ]
    for args, message in cases:
        if message is None:
            with pytest.raises(KeyError):
                s.sample(*args)
        else:
            with pytest.raises(RuntimeError, match=message):
                s.sample(*args)


def test_first_edge_type_in_declaration_order_decides():
    # The dictionaries list b__to__a first; a__to__b is declared first.
    s = only_b_times()
    counts = {BA: i64(1), AB: i64(1)}
    windows = {BA: np.zeros((1, 3), np.int64), AB: np.zeros((1, 2), np.int64)}
    with pytest.raises(RuntimeError, match="^'sampling_time_offsets' and 'num_neighbors'.*'a__to__b' appears"):
        s.sample(counts, windows, "a", i64(0), EMPTY)
    with pytest.raises(RuntimeError, match="contains 'a__to__b' but a is not included"):
        s.sample({}, {BA: np.zeros((1, 3), np.int64), AB: np.zeros((1, 2), np.int64)}, "a", i64(0), EMPTY)


def test_edge_type_without_budget_is_key_error():
    with pytest.raises(KeyError) as info:
        sampler().sample({AB: i64(1)}, {}, "a", i64(0), EMPTY)
    assert info.value.args == (BA,)


def test_seed_time_length_is_free_without_node_times():
    s = sampler()
    for seed_time in (EMPTY, i64(1), i64(1, 2, 3, 4), np.array([], np.float32)):
        s.sample({AB: i64(1), BA: i64(1)}, {}, "a", i64(0, 1), seed_time)


def test_empty_seed_time_passes_with_node_times():
    out = temporal().sample({AB: i64(-1), BA: i64(-1)}, {}, "a", i64(0, 1, 2), EMPTY)
    assert out[2]["a"].tolist()[:3] == [0, 1, 2]


@pytest.mark.parametrize(
    "counts, windows, hops",
    [
        ({AB: i64(1, 1, 1), BA: i64(1)}, {}, 3),
        ({AB: EMPTY, BA: np.array([], np.float64)}, {}, 0),
        ({BA: i64(1)}, {AB: np.zeros((4, 2), np.int64)}, 4),
        ({BA: i64(1)}, {AB: np.zeros((0, 2), np.int64)}, 1),
    ],
)
def test_hop_count_is_the_longest_budget(counts, windows, hops):
    s = temporal()
    if hops == 1:
        # A window budget shorter than the hop count has no row to read.
        with pytest.raises(IndexError, match="index 0 is out of bounds"):
            s.sample(counts, windows, "a", i64(0), i64(3))
        return
    out = s.sample(counts, windows, "a", i64(0), i64(3))
    assert all(len(v) == hops + 1 for v in out[4].values())
    assert all(len(v) == hops for v in out[5].values())


def test_validation_failures_leave_the_sampler_untouched():
    a, b = sampler(), sampler()
    budgets = {AB: i64(1, 1), BA: i64(1, 1)}
    for args in [({"x": i64(1)}, {}, "a", i64(0), EMPTY), ({AB: i64(1)}, {}, "a", i64(0), EMPTY)]:
        with pytest.raises((RuntimeError, KeyError)):
            a.sample(*args)
    assert as_lists(a.sample(budgets, {}, "a", i64(0, 1, 2), EMPTY)) == as_lists(
        b.sample(budgets, {}, "a", i64(0, 1, 2), EMPTY)
    )
