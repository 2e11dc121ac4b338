"""Malformed graphs, hostile arguments and extreme values: each gets a
precise error or a well-defined result, never a crash or a read out of
bounds (the sanitizer build of CI runs these too)."""

import gc
import os
import re
import threading

import numpy as np
import pytest

import tovalib

I64_MIN = np.iinfo(np.int64).min
I64_MAX = np.iinfo(np.int64).max
EMPTY = np.array([], dtype=np.int64)
KEY = "a__to__b"


def i64(*values):
    return np.array(values, dtype=np.int64)


def lists(result):
    return [{k: v.tolist() for k, v in d.items()} for d in result]


def star(colptr, row, node_time=None, seed=123):
    """Node types a (sources) and b (destinations), one edge type a__to__b."""
    return tovalib.NeighborSampler(
        ["a", "b"], [("a", "to", "b")], {KEY: colptr}, {KEY: row}, node_time or {}, seed=seed
    )


def loop(colptr, row, node_time=None):
    """One node type a with the edge type a__to__a."""
    return tovalib.NeighborSampler(
        ["a"], [("a", "to", "a")], {"a__to__a": colptr}, {"a__to__a": row}, node_time or {}
    )


def take_all(sampler, seeds, hops=1, key=KEY, entity="b", seed_time=EMPTY):
    return sampler.sample({key: i64(*[-1] * hops)}, {}, entity, seeds, seed_time)


# b0 <- a0, a1; b1 <- a1
GOOD = (i64(0, 2, 3), i64(0, 1, 1))


@pytest.mark.parametrize(
    "make, call, message",
    [
        # Seed ids outside the entity's id space.
        (lambda: star(*GOOD), lambda s: take_all(s, i64(2)),
         "Node 2 is out of range for 'colptr' at 'a__to__b' (2 nodes)."),
        (lambda: star(*GOOD), lambda s: take_all(s, i64(0, -1)),
         "Node -1 is out of range for 'colptr' at 'a__to__b' (2 nodes)."),
        (lambda: star(*GOOD), lambda s: take_all(s, i64(I64_MAX)),
         f"Node {I64_MAX} is out of range for 'colptr' at 'a__to__b' (2 nodes)."),
        (lambda: star(*GOOD), lambda s: take_all(s, i64(I64_MIN)),
         f"Node {I64_MIN} is out of range for 'colptr' at 'a__to__b' (2 nodes)."),
        # Malformed colptr.
        (lambda: star(i64(0, 2, 1), i64(0, 1, 1)), lambda s: take_all(s, i64(1)),
         "Invalid neighborhood [2, 1) of node 1 in 'colptr' at 'a__to__b' ('row' has 3 entries)."),
        (lambda: star(i64(-1, 2, 3), i64(0, 1, 1)), lambda s: take_all(s, i64(0)),
         "Invalid neighborhood [-1, 2) of node 0 in 'colptr' at 'a__to__b' ('row' has 3 entries)."),
        (lambda: star(i64(0, 2, 4), i64(0, 1, 1)), lambda s: take_all(s, i64(1)),
         "Invalid neighborhood [2, 4) of node 1 in 'colptr' at 'a__to__b' ('row' has 3 entries)."),
        (lambda: star(i64(I64_MIN, I64_MAX), i64(0)), lambda s: take_all(s, i64(0)),
         f"Invalid neighborhood [{I64_MIN}, {I64_MAX}) of node 0 in 'colptr' at 'a__to__b' "
         "('row' has 1 entries)."),
        (lambda: star(i64(0, 2), i64(0, 1, 1)), lambda s: take_all(s, i64(1)),
         "Node 1 is out of range for 'colptr' at 'a__to__b' (1 nodes)."),
        (lambda: star(EMPTY, EMPTY), lambda s: take_all(s, i64(0)),
         "Node 0 is out of range for 'colptr' at 'a__to__b' (0 nodes)."),
        # An empty array of another dtype passes construction, and is empty.
        (lambda: star(np.array([], np.float64), np.array([], "U3")), lambda s: take_all(s, i64(0)),
         "Node 0 is out of range for 'colptr' at 'a__to__b' (0 nodes)."),
        # row values past the id space, once they are expanded...
        (lambda: loop(i64(0, 1, 2), i64(1, 7)), lambda s: take_all(s, i64(0), 3, "a__to__a", "a"),
         "Node 7 is out of range for 'colptr' at 'a__to__a' (2 nodes)."),
        (lambda: loop(i64(0, 1, 2), i64(-3, 0)), lambda s: take_all(s, i64(0), 2, "a__to__a", "a"),
         "Node -3 is out of range for 'colptr' at 'a__to__a' (2 nodes)."),
        # ...or once their time is read.
        (lambda: star(i64(0, 2, 3), i64(0, 9, 1), {"a": i64(1, 2), "b": i64(5, 5)}),
         lambda s: take_all(s, i64(0)), "Node 9 is out of range for 'node_time' at 'a' (2 entries)."),
        # node_time shorter than the node count: the seeds' own times...
        (lambda: star(*GOOD, {"a": i64(1, 2), "b": i64(5)}), lambda s: take_all(s, i64(1)),
         "Node 1 is out of range for 'node_time' at 'b' (1 entries)."),
        (lambda: star(*GOOD, {"a": i64(1, 2), "b": EMPTY}),
         lambda s: s.sample({KEY: i64(0)}, {}, "b", i64(0), EMPTY),
         "Node 0 is out of range for 'node_time' at 'b' (0 entries)."),
        # ...and the neighbours' times, under counts and under windows.
        (lambda: star(*GOOD, {"a": i64(1), "b": i64(5, 5)}), lambda s: take_all(s, i64(0)),
         "Node 1 is out of range for 'node_time' at 'a' (1 entries)."),
        (lambda: star(*GOOD, {"a": i64(1), "b": i64(5, 5)}),
         lambda s: s.sample({}, {KEY: i64(-9, 0).reshape(1, 2)}, "b", i64(1), EMPTY),
         "Node 1 is out of range for 'node_time' at 'a' (1 entries)."),
    ],
)
def test_malformed_graph_data_is_reported(make, call, message):
    sampler = make()
    with pytest.raises(RuntimeError) as info:
        call(sampler)
    assert str(info.value) == message


@pytest.mark.parametrize(
    "make, call, nodes",
    [
        # Ids that are never expanded and whose time is never read are
        # reported as given.
        (lambda: star(*GOOD), lambda s: s.sample({KEY: i64(0)}, {}, "b", i64(9, -4), EMPTY),
         {"a": [], "b": [9, -4]}),
        (lambda: loop(i64(0, 1, 2), i64(1, 7)), lambda s: take_all(s, i64(0), 2, "a__to__a", "a"),
         {"a": [0, 1, 7]}),
        # A colptr with trailing entries beyond the nodes in use is fine.
        (lambda: star(i64(0, 2, 3, 3, 3), i64(0, 1, 1)), lambda s: take_all(s, i64(1)),
         {"a": [1], "b": [1]}),
    ],
)
def test_unchecked_ids_pass_through(make, call, nodes):
    assert lists(call(make()))[2] == nodes


@pytest.mark.parametrize(
    "where, value, message",
    [
        ("colptr", np.int64(3), "Type 'a__to__b' in colptr is not 1D."),
        ("colptr", np.array([0, 2, 3], dtype=object), "Type 'a__to__b' in colptr must have dtype int64."),
        ("row", np.array(1), "Type 'a__to__b' in row is not 1D."),
        ("row", np.array([0, 1, 1], dtype=object), "Type 'a__to__b' in row must have dtype int64."),
        ("node_time", np.array(5, dtype=object), "Type 'b' in node_time is not 1D."),
        ("node_time", np.array([5, 5], dtype=object), "Type 'b' in node_time must have dtype int64."),
        ("node_time", np.array([5, 5], dtype=">u8"), "Type 'b' in node_time must have dtype int64."),
    ],
)
def test_scalar_and_object_arrays_refused_at_construction(where, value, message):
    parts = {"colptr": {KEY: GOOD[0]}, "row": {KEY: GOOD[1]}, "node_time": {}}
    parts[where] = {("b" if where == "node_time" else KEY): value}
    with pytest.raises(RuntimeError) as info:
        tovalib.NeighborSampler(["a", "b"], [("a", "to", "b")], parts["colptr"], parts["row"],
                                parts["node_time"])
    assert str(info.value) == message


@pytest.mark.parametrize(
    "kwargs, message",
    [
        ({"num_neighbors": {KEY: np.array(2)}}, "Type 'a__to__b' in num_neighbors is not 1D."),
        ({"num_neighbors": {KEY: np.array([2], dtype=object)}},
         "Type 'a__to__b' in num_neighbors must have dtype int64."),
        ({"sampling_time_offsets": {KEY: np.array(2, dtype=object)}},
         "Type 'a__to__b' in sampling_time_offsets is not 2D."),
        ({"seed_node": np.array(1)}, "seed_node is not 1D."),
        ({"seed_node": np.array([1], dtype=object)}, "seed_node must have dtype int64."),
        ({"seed_time": np.array(0)}, "seed_time is not 1D."),
        ({"seed_time": np.array([0], dtype=object)}, "seed_time must have dtype int64."),
        ({"seed_time": np.array([0], dtype=np.uint64)}, "seed_time must have dtype int64."),
    ],
)
def test_scalar_and_object_arrays_refused_by_sample(kwargs, message):
    args = {"num_neighbors": {KEY: i64(-1)}, "sampling_time_offsets": {}, "entity_table": "b",
            "seed_node": i64(0), "seed_time": EMPTY}
    args.update(kwargs)
    with pytest.raises(RuntimeError) as info:
        star(*GOOD).sample(**args)
    assert str(info.value) == message


@pytest.mark.parametrize("dtype", [np.float64, np.bool_, object, "U1", np.uint64, np.int8])
def test_empty_arrays_of_any_dtype(dtype):
    """No element, no dtype: empty budgets run no hop, empty seeds sample
    nothing, an empty seed_time falls back to the seeds' node times."""
    empty = np.array([], dtype=dtype)
    s = star(*GOOD, {"a": i64(1, 2), "b": i64(5, 5)})
    assert lists(s.sample({KEY: empty}, {}, "b", i64(1), empty))[4] == {"a": [0], "b": [1]}
    assert lists(s.sample({}, {KEY: empty.reshape(0, 2)}, "b", i64(1), empty))[5] == {KEY: []}
    assert lists(s.sample({KEY: i64(-1)}, {}, "b", empty, empty))[2] == {"a": [], "b": []}
    # seed time 5 from node_time: both neighbours (times 1 and 2) qualify.
    assert lists(s.sample({KEY: i64(-1)}, {}, "b", i64(0), empty))[2] == {"a": [0, 1], "b": [0]}


class RemapItems(dict):
    """Looked-up values differ from the stored ones."""

    def __init__(self, data, remap):
        super().__init__(data)
        self.remap = remap

    def __getitem__(self, key):
        return self.remap(key, dict.__getitem__(self, key))


class Raising(dict):
    def __getitem__(self, key):
        raise LookupError(f"no budget for {key}")


class MissingWindow(dict):
    def __missing__(self, key):
        return np.array([[-5, 5]], dtype=np.int64)


class AlwaysContains(dict):
    def __contains__(self, key):
        return True


def test_dict_subclass_lookups():
    timed = star(*GOOD, {"a": i64(1, 2), "b": i64(3, 3)})
    plain = star(*GOOD)
    every = lists(take_all(plain, i64(0)))
    # The budget is read through __getitem__: the stored 0 is replaced by -1.
    remapped = RemapItems({KEY: i64(0)}, lambda k, v: i64(-1))
    assert lists(plain.sample(remapped, {}, "b", i64(0), EMPTY)) == every
    # __missing__ answers the window lookup; __contains__ is never consulted.
    window = lists(timed.sample({}, MissingWindow(), "b", i64(0), EMPTY))
    assert window[2] == {"a": [0, 1], "b": [0]}
    with pytest.raises(KeyError, match=KEY):
        timed.sample(AlwaysContains(), {}, "b", i64(0), EMPTY)
    with pytest.raises(LookupError, match=f"no budget for {KEY}"):
        plain.sample(Raising({KEY: i64(1)}), {}, "b", i64(0), EMPTY)
    # Values swapped after validation are held to the same rules.
    floats = RemapItems({KEY: i64(1)}, lambda k, v: np.array([0.5]))
    with pytest.raises(RuntimeError, match=re.escape("Type 'a__to__b' in num_neighbors must have dtype int64.")):
        plain.sample(floats, {}, "b", i64(0), EMPTY)
    with pytest.raises(RuntimeError, match=re.escape("Type 'a__to__b' in colptr must have dtype int64.")):
        tovalib.NeighborSampler(["a", "b"], [("a", "to", "b")],
                                RemapItems({KEY: GOOD[0]}, lambda k, v: v.astype(float)),
                                {KEY: GOOD[1]}, {})
    with pytest.raises(RuntimeError, match=re.escape("Type 'a__to__b' in row is not 1D.")):
        tovalib.NeighborSampler(["a", "b"], [("a", "to", "b")], {KEY: GOOD[0]},
                                RemapItems({KEY: GOOD[1]}, lambda k, v: v.reshape(1, 3)), {})


def test_reentrant_lookup_and_mutation_during_validation():
    sampler = star(*GOOD)
    expected = lists(take_all(sampler, i64(0)))
    inner = []

    class Reentrant(dict):
        def __getitem__(self, key):
            inner.append(lists(take_all(sampler, i64(1))))
            return dict.__getitem__(self, key)

    assert lists(sampler.sample(Reentrant({KEY: i64(-1)}), {}, "b", i64(0), EMPTY)) == expected
    assert inner and inner[0][2] == {"a": [1], "b": [1]}

    class ClearsOnStr:
        def __init__(self, owner):
            self.owner = owner

        def __str__(self):
            self.owner.clear()
            return KEY

    budgets = {}
    budgets[ClearsOnStr(budgets)] = i64(-1)
    budgets["a__to__x"] = i64(1)
    # The dictionary empties under validation: no unlisted key is seen, and
    # the edge type then has no budget at all.
    with pytest.raises(KeyError, match=KEY):
        sampler.sample(budgets, {}, "b", i64(0), EMPTY)


class SurrogateText:
    def __str__(self):
        return "\udc80"


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda s: s.sample({"\ud800": i64(1)}, {}, "b", i64(0), EMPTY), UnicodeEncodeError, "surrogates not allowed"),
        (lambda s: s.sample({}, {SurrogateText(): i64(1)}, "b", i64(0), EMPTY), UnicodeEncodeError, "surrogates not allowed"),
        (lambda s: s.sample({}, {}, "b\ud800", i64(0), EMPTY), TypeError, "incompatible function arguments"),
        (lambda s: tovalib.NeighborSampler(["a", "\ud800"], [], {}, {}, {}), TypeError, "incompatible constructor arguments"),
        (lambda s: tovalib.NeighborSampler(["a"], [("a", "\ud800", "a")], {}, {}, {}), TypeError, "incompatible constructor arguments"),
        (lambda s: tovalib.NeighborSampler(["a"], [], {}, {}, {"\udfff": EMPTY}), UnicodeEncodeError, "surrogates not allowed"),
    ],
)
def test_unencodable_strings(call, error, message):
    with pytest.raises(error, match=message):
        call(star(*GOOD))


# Neighbours of b0 at the int64 extremes and in between.
EXTREME_TIMES = {"a": i64(I64_MIN, 0, I64_MAX), "b": i64(0)}


@pytest.mark.parametrize(
    "window, seed_time, expected",
    [
        # Bounds saturate rather than wrap: (I64_MIN, I64_MAX] at seed time 0
        # leaves out only the neighbour at I64_MIN.
        ((I64_MIN, I64_MAX), 0, [1, 2]),
        ((I64_MIN, I64_MAX), I64_MAX, [1, 2]),  # upper would wrap to -2
        ((I64_MIN, I64_MAX), I64_MIN, []),  # (I64_MIN, -1]
        ((-1, 0), I64_MIN, []),  # lower saturates to I64_MIN, excluded
        ((None, 0), I64_MIN, [0]),  # no lower bound: I64_MIN itself is in
        ((None, I64_MAX), 1, [0, 1, 2]),
        ((0, I64_MAX), I64_MAX, []),  # (I64_MAX, I64_MAX] is empty
        ((-1, 0), I64_MAX, [2]),
        ((I64_MAX, I64_MIN), 0, []),  # lower above upper: empty, no error
    ],
)
def test_window_bounds_saturate(window, seed_time, expected):
    s = star(i64(0, 3), i64(0, 1, 2), EXTREME_TIMES)
    offsets = np.array([window], dtype=object if window[0] is None else np.int64)
    result = s.sample({}, {KEY: offsets}, "b", i64(0), i64(seed_time))
    assert result[2]["a"].tolist() == expected


@pytest.mark.parametrize(
    "budget, seed_time, expected",
    [
        (I64_MAX, I64_MAX, [0, 1, 2]),
        (I64_MIN, I64_MAX, [0, 1, 2]),  # negative: every neighbour up to the seed time
        (1, I64_MAX, [2]),
        (I64_MAX, I64_MIN, [0]),
        (2, 0, [0, 1]),
        (I64_MIN, -1, [0]),
    ],
)
def test_count_budgets_at_time_extremes(budget, seed_time, expected):
    s = star(i64(0, 3), i64(0, 1, 2), EXTREME_TIMES)
    result = s.sample({KEY: i64(budget)}, {}, "b", i64(0), i64(seed_time))
    assert result[2]["a"].tolist() == expected


@pytest.mark.parametrize("budget", [I64_MAX, I64_MIN, -2, 3, 2**40])
def test_huge_count_budgets_take_every_neighbour(budget):
    s = star(*GOOD)
    assert lists(s.sample({KEY: i64(budget)}, {}, "b", i64(0, 1), EMPTY)) == lists(
        take_all(star(*GOOD), i64(0, 1))
    )


@pytest.mark.parametrize(
    "row, message",
    [
        ([0, 2**63], "Unable to cast Python instance of type <class 'int'>"),
        ([-(2**63) - 1, 0], "Unable to cast Python instance of type <class 'int'>"),
        ([0, None], "Unable to cast Python instance of type <class 'NoneType'>"),
        ([0, 1.0], "Unable to cast Python instance of type <class 'float'>"),
        ([0, "1"], "Unable to cast Python instance of type <class 'str'>"),
    ],
)
def test_window_offsets_outside_int64(row, message):
    s = star(*GOOD, {"a": i64(1, 2), "b": i64(3, 3)})
    with pytest.raises(RuntimeError, match=re.escape(message)):
        s.sample({}, {KEY: [row]}, "b", i64(0), EMPTY)


def test_window_offsets_at_int64_limits_are_accepted():
    s = star(*GOOD, {"a": i64(1, 2), "b": i64(3, 3)})
    result = s.sample({}, {KEY: [[-(2**63), 2**63 - 1]]}, "b", i64(0), EMPTY)
    assert result[2]["a"].tolist() == [0, 1]


@pytest.mark.skipif(
    "ASAN_OPTIONS" in os.environ, reason="the sanitizer's allocator aborts instead of failing"
)
def test_huge_hop_count_fails_cleanly():
    """A budget of 2**45 rows that takes no memory (a broadcast view): the
    request fails for its size instead of running for ages. Holding that
    many budgets would need more than the whole address space, so the
    allocation fails whatever the machine's overcommit policy."""
    s = star(*GOOD, {"a": i64(1, 2), "b": i64(3, 3)})
    offsets = np.broadcast_to(i64(-5, 5), (2**45, 2))
    with pytest.raises(MemoryError, match="bad allocation"):
        s.sample({}, {KEY: offsets}, "b", i64(0), EMPTY)
    # The sampler is unharmed.
    assert lists(take_all(s, i64(0))) == lists(take_all(star(*GOOD, {"a": i64(1, 2), "b": i64(3, 3)}), i64(0)))


def graph_inputs():
    """A graph whose arrays are each of a kind the sampler must keep or copy:
    a plain array, a list, a strided slice, a byte-swapped array."""
    colptr = {"a__to__b": i64(0, 2, 3), "b__to__a": [0, 1, 3, 3]}
    row = {"a__to__b": np.array([0, 9, 1, 9, 1], dtype=np.int64)[::2],
           "b__to__a": i64(1, 0, 1).astype(">i8")}
    node_time = {"a": [4, 5, 6], "b": i64(9, 9, 9, 9)[1:]}
    return ["a", "b"], [("a", "to", "b"), ("b", "to", "a")], colptr, row, node_time


def sample_twice(sampler):
    budgets = {"a__to__b": i64(-1, 1), "b__to__a": i64(2, -1)}
    return [lists(sampler.sample(budgets, {}, "b", i64(0, 1), EMPTY)) for _ in range(2)]


def test_arrays_deleted_by_the_caller():
    def fresh_copy():
        nt, et, c, r, t = graph_inputs()
        c = {k: np.ascontiguousarray(v, dtype=np.int64) for k, v in c.items()}
        r = {k: np.ascontiguousarray(v, dtype=np.int64) for k, v in r.items()}
        t = {k: np.ascontiguousarray(v, dtype=np.int64) for k, v in t.items()}
        return tovalib.NeighborSampler(nt, et, c, r, t, seed=5)

    nt, et, c, r, t = graph_inputs()
    sampler = tovalib.NeighborSampler(nt, et, c, r, t, seed=5)
    del nt, et, c, r, t
    gc.collect()
    # Reuse the freed memory with other values.
    junk = [np.full(4, -7, dtype=np.int64) for _ in range(1000)]
    assert sample_twice(sampler) == sample_twice(fresh_copy())
    del junk


def test_graph_arrays_changed_in_place_are_read_live_and_checked():
    colptr, row = i64(0, 2, 3), i64(0, 1, 1)
    s = star(colptr, row)
    row[2] = 0
    assert take_all(s, i64(1))[2]["a"].tolist() == [0]
    colptr[2] = 10
    with pytest.raises(RuntimeError, match=re.escape("Invalid neighborhood [2, 10) of node 1")):
        take_all(s, i64(1))


def budgets_two_types(fail):
    """Hop 0 draws 2 of 4 neighbours over a__to__b; then c__to__b fails or,
    when `fail` is None, has an empty window."""
    windows = {
        None: np.zeros((1, 2), np.int64),  # (3, 3]: empty
        "window value": np.array([[0, None]], dtype=object),
        "unsorted": np.array([[-100, 100]], dtype=np.int64),
        "missing row": np.zeros((1, 2), np.int64),  # no row for hop 1
    }[fail]
    counts = {"a__to__b": i64(2) if fail != "missing row" else i64(2, 0)}
    return counts, {"c__to__b": windows}


def two_type_sampler(c_times=(1, 5)):
    # a__to__b: b0 <- a0..a3. c__to__b: b0 <- c0, c1 with times c_times.
    return tovalib.NeighborSampler(
        ["a", "b", "c"], [("a", "to", "b"), ("c", "to", "b")],
        {"a__to__b": i64(0, 4), "c__to__b": i64(0, 2)},
        {"a__to__b": i64(0, 1, 2, 3), "c__to__b": i64(0, 1)},
        {"b": i64(3), "c": i64(*c_times)}, seed=99,
    )


@pytest.mark.parametrize(
    "fail, error, message",
    [
        ("window value", RuntimeError, "Unable to cast Python instance of type <class 'NoneType'>"),
        ("unsorted", RuntimeError, "Found invalid non-sorted temporal neighborhood"),
        ("missing row", IndexError, "index 1 is out of bounds for axis 0 with size 1"),
    ],
)
def test_sampler_after_a_failed_call_matches_a_fresh_one(fail, error, message):
    """The failed call keeps the draws made before it failed and nothing
    else: afterwards the sampler equals one that made the same draws in a
    successful call."""
    failed = two_type_sampler((5, 1) if fail == "unsorted" else (1, 5))
    with pytest.raises(error, match=re.escape(message)):
        failed.sample(*budgets_two_types(fail), "b", i64(0), EMPTY)
    fresh = two_type_sampler()
    fresh.sample(*budgets_two_types(None), "b", i64(0), EMPTY)  # same two draws
    # Two hops; nothing over c__to__b, which stays unsorted in one sampler.
    request = ({"a__to__b": i64(3, 1), "c__to__b": i64(0, 0)}, {}, "b", i64(0, 0), EMPTY)
    for _ in range(3):
        assert lists(failed.sample(*request)) == lists(fresh.sample(*request))


@pytest.mark.parametrize(
    "bad_call",
    [
        lambda s: s.sample({"a__to__b": i64(1)}, {}, "nope", i64(0), EMPTY),  # validation
        lambda s: s.sample({"a__to__b": i64(1)}, {}, "b", i64(0), EMPTY),  # KeyError
        lambda s: s.sample({"a__to__b": i64(1), "c__to__b": i64(1)}, {}, "b", i64(7), EMPTY),
    ],
)
def test_failures_before_any_draw_leave_the_generator_alone(bad_call):
    failed, fresh = two_type_sampler(), two_type_sampler()
    with pytest.raises((RuntimeError, KeyError)):
        bad_call(failed)
    request = ({"a__to__b": i64(2, 1), "c__to__b": i64(0)}, {}, "b", i64(0, 0), EMPTY)
    assert lists(failed.sample(*request)) == lists(fresh.sample(*request))


def test_uninitialised_subclass_instance_is_refused():
    class Lazy(tovalib.NeighborSampler):
        def __init__(self):
            pass

    with pytest.raises(TypeError, match=r"NeighborSampler.__init__\(\) must be called"):
        Lazy()


def test_concurrent_calls_on_one_sampler():
    """Calls from several threads are serialised per sampler; every result
    is the one a lone call gives (budgets without random draws)."""
    nt, et, c, r, _ = graph_inputs()
    sampler = tovalib.NeighborSampler(nt, et, c, r, {})
    budgets = {"a__to__b": i64(-1, -1, -1), "b__to__a": i64(-1, -1, -1)}
    seeds = i64(0, 1, 1)
    expected = lists(sampler.sample(budgets, {}, "b", seeds, EMPTY))
    results, errors = [], []

    def worker():
        try:
            for _ in range(50):
                results.append(lists(sampler.sample(budgets, {}, "b", seeds, EMPTY)))
        except Exception as exc:  # pragma: no cover - reported below
            errors.append(exc)

    threads = [threading.Thread(target=worker) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not errors
    assert len(results) == 200 and all(x == expected for x in results)


def odd_layouts(values):
    """The same int64 values as a misaligned view, a byte-swapped copy and
    a strided slice."""
    base = np.asarray(values, dtype=np.int64)
    raw = np.zeros(8 * len(base) + 1, dtype=np.uint8)
    misaligned = raw[1:].view(np.int64)
    misaligned[:] = base
    strided = np.repeat(base, 2)[::2]
    return {"misaligned": misaligned, "swapped": base.astype(">i8"), "strided": strided}


@pytest.mark.parametrize("layout", ["misaligned", "swapped", "strided"])
def test_request_arrays_of_any_layout(layout):
    """Seeds, seed times and budgets are read by value whatever their layout."""
    nt, et, c, r, _ = graph_inputs()
    times = {"a": i64(4, 5, 6), "b": i64(3, 9, 9)}
    s = tovalib.NeighborSampler(nt, et, c, r, times)
    odd = lambda v: odd_layouts(v)[layout]
    budgets = {"a__to__b": i64(1, -1), "b__to__a": i64(-1, 1)}
    want = lists(s.sample(budgets, {}, "b", i64(0, 1, 0), i64(9, 8, 4)))
    got = lists(s.sample({k: odd(v) for k, v in budgets.items()}, {}, "b",
                         odd([0, 1, 0]), odd([9, 8, 4])))
    assert got == want
    # Without seed times, the seeds' own node times are used.
    assert lists(s.sample(budgets, {}, "b", odd([1]), EMPTY)) == lists(
        s.sample(budgets, {}, "b", i64(1), EMPTY))


def test_hop_count_too_large_to_hold():
    """Four edge types with 2**61 window rows each (broadcast views that
    take no memory): the per-hop budgets cannot be held at all."""
    keys = [f"a__r{i}__b" for i in range(4)]
    s = tovalib.NeighborSampler(
        ["a", "b"], [("a", f"r{i}", "b") for i in range(4)],
        {k: i64(0, 1) for k in keys}, {k: i64(0) for k in keys}, {"a": i64(0), "b": i64(0)})
    rows = np.broadcast_to(np.array([-1, 1], dtype=np.int8), (2**61, 2))
    with pytest.raises(ValueError, match="vector too long"):
        s.sample({}, {k: rows for k in keys}, "b", i64(0), i64(0))


def test_calls_leave_no_reference_behind():
    """Successful and failing calls hold no reference to their arguments
    once they return (a missing release would show up as a growing count)."""
    import sys

    s = star(*GOOD, {"a": i64(1, 2), "b": i64(3, 3)})
    big = 2**62  # an int object of its own, not a cached small one
    window_row = [-big, big]
    counts = {KEY: i64(-1)}
    windows = {KEY: [window_row]}
    bad_windows = {KEY: [[0, 1.5]]}
    seeds, times = i64(0, 1), i64(3, 3)
    objects = [counts, counts[KEY], windows, window_row, big, bad_windows, seeds, times]
    before = [sys.getrefcount(o) for o in objects]
    for _ in range(20):
        s.sample(counts, {}, "b", seeds, times)
        s.sample({}, windows, "b", seeds, times)
        with pytest.raises(RuntimeError):
            s.sample({}, bad_windows, "b", seeds, times)
        with pytest.raises(RuntimeError):
            s.sample(counts, {}, "b", seeds, i64(1))
    assert [sys.getrefcount(o) for o in objects] == before
