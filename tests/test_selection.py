"""Neighbour selection for one expanded node: Floyd's random selection,
whole ranges, the temporal cut and time windows."""

import numpy as np
import pytest

import tovalib
from conftest import EMPTY, i64, star_sampler
from reference import MT19937


def picks(sampler, k, seed_time=EMPTY, windows=None):
    if windows is not None:
        out = sampler.sample({}, {"a__to__b": windows}, "b", i64(0), seed_time)
    else:
        out = sampler.sample({"a__to__b": i64(k)}, {}, "b", i64(0), seed_time)
    assert out[0]["a__to__b"].tolist() == list(range(len(out[2]["a"])))
    return out[2]["a"].tolist()


def generator_untouched(sampler, n):
    """Whether `sampler` (a star of n >= 2 neighbours whose centre has no
    time) still draws like a generator freshly seeded with 123."""
    gen = MT19937(123)
    for _ in range(8):
        taken, expected = set(), []
        for j in range(1, n):
            r = gen.next() % (j + 1)
            c = r if r not in taken else j
            taken.add(c)
            expected.append(c)
        if picks(sampler, n - 1) != expected:
            return False
    return True


@pytest.mark.parametrize("n, k, expected", [(4, 2, [1, 3]), (10, 3, [6, 1, 2])])
def test_floyd_worked_examples(n, k, expected):
    assert picks(star_sampler(n), k) == expected


@pytest.mark.parametrize("k", [-1, -(2**63), 5, 6, 2**62])
def test_whole_range_in_order_without_draws(k):
    s = star_sampler(5)
    assert picks(s, k) == [0, 1, 2, 3, 4]
    assert generator_untouched(s, 5)


def test_zero_budget_and_empty_range_record_nothing():
    s = star_sampler(5)
    assert picks(s, 0) == []
    empty = star_sampler(0)
    assert picks(empty, 3) == []
    assert picks(empty, -1) == []


def reference_floyd(n, k, seed=123):
    gen = MT19937(seed)
    taken, out = set(), []
    for j in range(n - k, n):
        r = gen.next() % (j + 1)
        c = r if r not in taken else j
        taken.add(c)
        out.append(c)
    return out


@pytest.mark.parametrize(
    "n, k",
    [(30, 29), (64, 40), (1000, 999), (150_000, 20), (150_000, 3000), ((1 << 20) + 7, 5000)],
)
def test_random_selection_matches_floyd(n, k):
    chosen = picks(star_sampler(n), k)
    assert chosen == reference_floyd(n, k)
    assert len(set(chosen)) == k


def test_successive_calls_continue_one_sequence():
    s = star_sampler(50)
    first, second = picks(s, 5), picks(s, 5)
    gen = MT19937(123)
    expected = []
    for _ in range(2):
        taken, out = set(), []
        for j in range(45, 50):
            r = gen.next() % (j + 1)
            c = r if r not in taken else j
            taken.add(c)
            out.append(c)
        expected.append(out)
    assert [first, second] == expected
    assert first != second


def timed_star(times, seed=123):
    """A star whose neighbour i has time times[i]."""
    return star_sampler(len(times), seed=seed, node_time={"a": i64(*times)})


@pytest.mark.parametrize(
    "offsets, expected",
    [
        ([[-85, -70]], [1, 2]),
        ([[-90, -70]], [1, 2]),  # time 10 equals the lower bound: left out
        ([[-90, -60]], [1, 2, 3]),  # time 40 equals the upper bound: kept
        ([[-70, -85]], []),
        ([[-70, -70]], []),
        ([[-1000, 1000]], [0, 1, 2, 3]),
    ],
)
def test_window_worked_examples(offsets, expected):
    s = timed_star([10, 20, 30, 40])
    assert picks(s, None, i64(100), np.array(offsets, np.int64)) == expected
    assert generator_untouched(s, 4)


@pytest.mark.parametrize("value", [[[None, -65]], np.array([[None, -65]], dtype=object)])
def test_window_without_lower_offset(value):
    assert picks(timed_star([10, 20, 30, 40]), None, i64(100), value) == [0, 1, 2]


@pytest.mark.parametrize(
    "times, offsets, expected",
    [
        ([40, 10, 20, 30], [[None, 0]], "unsorted"),
        ([10, 30, 20, 40], [[None, 0]], "unsorted"),  # ends in order, middle not
        ([50, 10, 5], [[-100, -40]], "unsorted"),
        # The whole neighbourhood is checked, not just the window.
        ([10, 50, 20], [[None, -85]], "unsorted"),
    ],
)
def test_window_order_check(times, offsets, expected):
    s = timed_star(times)
    windows = np.array(offsets, dtype=object)
    if expected == "unsorted":
        with pytest.raises(RuntimeError, match="^Found invalid non-sorted temporal neighborhood$"):
            picks(s, None, i64(100), windows)
    else:
        assert picks(s, None, i64(100), windows) == expected


@pytest.mark.parametrize(
    "times, seed_time, k, expected",
    [
        ([1, 5, 7, 9], 7, 2, [1, 2]),
        ([1, 5, 7, 9], 7, 1, [2]),
        ([1, 5, 7, 9], 7, 10, [0, 1, 2]),
        ([1, 5, 7, 9], 7, -1, [0, 1, 2]),
        ([1, 5, 7, 9], 0, 3, []),
        ([1, 5, 7, 9], 100, 3, [1, 2, 3]),
        ([5, 1, 7], 7, 5, "unsorted"),  # first (5) not above last (7), still unsorted
        ([7, 1, 5], 9, 5, "unsorted"),
    ],
)
def test_most_recent_k(times, seed_time, k, expected):
    s = timed_star(times)
    if expected == "unsorted":
        with pytest.raises(RuntimeError, match="^Found invalid non-sorted temporal neighborhood$"):
            picks(s, k, i64(seed_time))
        return
    assert picks(s, k, i64(seed_time)) == expected
    assert generator_untouched(s, len(times))


def test_seed_time_defaults_to_the_seeds_own_time():
    # Seed b0 has time 7: the temporal cut uses it when seed_time is empty.
    colptr = {"a__to__b": i64(0, 4)}
    row = {"a__to__b": i64(0, 1, 2, 3)}
    times = {"a": i64(1, 5, 7, 9), "b": i64(7)}
    s = tovalib.NeighborSampler(["a", "b"], [("a", "to", "b")], colptr, row, times)
    out = s.sample({"a__to__b": i64(2)}, {}, "b", i64(0), EMPTY)
    assert out[2]["a"].tolist() == [1, 2]


@pytest.mark.parametrize(
    "seed_time, offsets, expected",
    [
        # Wrapping would turn these bounds around and empty the windows.
        (2**63 - 10, [[0, 100]], [4]),  # the upper bound clamps to the maximum
        (-(2**63) + 5, [[-100, 0]], [1]),  # the lower bound clamps to the minimum
        (2**63 - 10, [[-(2**63), 2**63 - 1]], [2, 3, 4]),
        # The int64 minimum as lower offset leaves only the minimum time out.
        (0, [[-(2**63), 0]], [1, 2]),
    ],
)
def test_window_bounds_saturate(seed_time, offsets, expected):
    s = timed_star([-(2**63), -(2**63) + 3, -5, 2**62, 2**63 - 1])
    assert picks(s, None, i64(seed_time), np.array(offsets, np.int64)) == expected
