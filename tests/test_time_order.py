"""Temporal neighbourhoods must be ordered by time throughout, checked once
per neighbourhood and sampler."""

import numpy as np
import pytest

import tovalib

UNSORTED = "^Found invalid non-sorted temporal neighborhood$"
BAD_ID = r"^Node 5 is out of range for 'node_time' at 'a' \(5 entries\)\.$"
BUDGETS = {
    "count": ({"a__to__b": np.array([3], np.int64)}, {}),
    "window": ({}, {"a__to__b": np.array([[-100, 0]], np.int64)}),
}


def i64(*values):
    return np.array(values, dtype=np.int64)


# Each step: (writes into the time array of "a" before the call, seeds, None
# for success or the error message). b0 <- a0, a1, a2; b1 <- row[3:6].
SCENARIOS = {
    # Neighbours in id order whose times are not: first and last in order.
    "sorted by id": ([10, 30, 20, 5, 6], [0, 1, 2, 3, 4, 4], [({}, [0], UNSORTED)]),
    # Times 5, 3, then a neighbour without a time: the decrease comes first.
    "decrease before bad id": ([10, 20, 30, 5, 3], [0, 1, 2, 3, 4, 5], [({}, [1], UNSORTED)]),
    "bad id before decrease": ([10, 20, 30, 5, 3], [0, 1, 2, 3, 5, 4], [({}, [1], BAD_ID)]),
    # Verified once, then disordered by a write: not noticed.
    "verified is remembered": (
        [10, 20, 30, 5, 6], [0, 1, 2, 3, 4, 4], [({}, [0], None), ({1: 40}, [0], None)]),
    # b0 is verified before b1 fails the call; b0 stays verified.
    "kept when the call fails": (
        [10, 20, 30, 6, 5], [0, 1, 2, 3, 4, 4], [({}, [0, 1], UNSORTED), ({1: 40}, [0], None)]),
    # A neighbourhood that failed is checked again, and passes once mended.
    "failed is checked again": (
        [10, 30, 20, 5, 6], [0, 1, 2, 3, 4, 4],
        [({}, [0], UNSORTED), ({}, [0], UNSORTED), ({2: 35}, [0], None)]),
}


@pytest.mark.parametrize("budget", BUDGETS)
@pytest.mark.parametrize("scenario", SCENARIOS)
def test_neighborhoods_out_of_time_order_are_refused(scenario, budget):
    times_init, row, steps = SCENARIOS[scenario]
    times = i64(*times_init)
    sampler = tovalib.NeighborSampler(
        ["a", "b"], [("a", "to", "b")], {"a__to__b": i64(0, 3, 6)}, {"a__to__b": i64(*row)},
        {"a": times})
    for writes, seeds, error in steps:
        for position, value in writes.items():
            times[position] = value
        args = (*BUDGETS[budget], "b", i64(*seeds), i64(*[50] * len(seeds)))
        if error is None:
            out = sampler.sample(*args)
            assert out[2]["a"].tolist() == row[:3] * len(seeds)
        else:
            with pytest.raises(RuntimeError, match=error):
                sampler.sample(*args)
