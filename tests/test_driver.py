"""The hop loop end to end: seeds, hops, per-seed subgraphs, the result
dictionaries, failures midway and malformed graph data."""

import numpy as np
import pytest

import tovalib
from conftest import EMPTY, as_lists, i64, path_graph
from reference import ReferenceSampler

AB, BA = "a__to__b", "b__to__a"


def sampler(node_time=None, seed=123):
    return tovalib.NeighborSampler(*path_graph(), {} if node_time is None else node_time, seed=seed)


def test_result_layout():
    out = sampler().sample({AB: i64(-1, -1), BA: i64(-1, -1)}, {}, "b", i64(0), EMPTY)
    assert list(out[0]) == list(out[1]) == list(out[5]) == [AB, BA]
    assert list(out[2]) == list(out[3]) == list(out[4]) == ["a", "b"]
    for d in out:
        for v in d.values():
            assert type(v) is np.ndarray and v.dtype == np.int64 and v.ndim == 1
            assert v.flags.c_contiguous and v.flags.owndata
    rows, cols, nodes, batches, num_nodes, num_edges = as_lists(out)
    # b0 <- a0, a1 (hop 0); a0 <- b1, a1 <- b0 (seed itself), b2 (hop 1).
    assert nodes == {"a": [0, 1], "b": [0, 1, 2]}
    assert rows == {AB: [0, 1], BA: [1, 0, 2]}
    assert cols == {AB: [0, 0], BA: [0, 1, 1]}
    assert num_nodes == {"a": [0, 2, 0], "b": [1, 0, 2]}
    assert num_edges == {AB: [2, 0], BA: [0, 3]}
    assert batches == {"a": [0, 0], "b": [0, 0, 0]}


@pytest.mark.parametrize("edge_types", [[], [("a", "to", "b"), ("b", "to", "a")]])
def test_no_hops(edge_types):
    _, _, colptr, row = path_graph()
    s = tovalib.NeighborSampler(["a", "b"], edge_types, colptr if edge_types else {}, row if edge_types else {}, {})
    budgets = {AB: EMPTY, BA: EMPTY} if edge_types else {}
    rows, cols, nodes, batches, num_nodes, num_edges = as_lists(s.sample(budgets, {}, "b", i64(2, 0, 2), EMPTY))
    assert nodes == {"a": [], "b": [2, 0, 2]} and batches == {"a": [], "b": [0, 1, 2]}
    assert num_nodes == {"a": [0], "b": [3]}
    assert all(v == [] for v in list(rows.values()) + list(cols.values()) + list(num_edges.values()))


def test_empty_seeds_run_every_hop():
    out = as_lists(sampler().sample({AB: i64(1, 1, 1), BA: i64(1)}, {}, "a", EMPTY, EMPTY))
    assert out[4] == {"a": [0, 0, 0, 0], "b": [0, 0, 0, 0]}
    assert out[5] == {AB: [0, 0, 0], BA: [0, 0, 0]}


def test_equal_seeds_grow_separate_subgraphs():
    rows, cols, nodes, batches, num_nodes, _ = as_lists(
        sampler().sample({AB: i64(-1), BA: i64(-1)}, {}, "b", i64(0, 0), EMPTY)
    )
    assert nodes["a"] == [0, 1, 0, 1] and batches["a"] == [0, 0, 1, 1]
    assert rows[AB] == [0, 1, 2, 3] and cols[AB] == [0, 0, 1, 1]
    assert num_nodes["b"] == [2, 0]


def test_shorter_count_budget_samples_nothing_in_missing_hops():
    out = as_lists(sampler().sample({AB: i64(-1), BA: i64(-1, -1, -1)}, {}, "b", i64(0), EMPTY))
    assert out[5][AB] == [2, 0, 0]
    # In hop 2 the b nodes reached in hop 1 are not expanded along a__to__b.
    assert out[4]["b"] == [1, 0, 2, 0]


def loop_graph():
    # One node type; node 0 has a self loop and node 1 twice (parallel edges);
    # node 1 links back to 0.
    colptr = {"n__to__n": i64(0, 3, 4)}
    row = {"n__to__n": i64(0, 1, 1, 0)}
    return tovalib.NeighborSampler(["n"], [("n", "to", "n")], colptr, row, {})


def test_self_loops_parallel_edges_and_cycles():
    rows, cols, nodes, _, num_nodes, num_edges = as_lists(
        loop_graph().sample({"n__to__n": i64(-1, -1, -1)}, {}, "n", i64(0), EMPTY)
    )
    assert nodes == {"n": [0, 1]}
    # Hop 0: 0 -> 0 (itself), 1, 1 again. Hop 1: 1 -> 0 (seed). Hop 2: nothing new.
    assert rows["n__to__n"] == [0, 1, 1, 0]
    assert cols["n__to__n"] == [0, 0, 0, 1]
    assert num_edges["n__to__n"] == [3, 1, 0]
    assert num_nodes["n"] == [1, 1, 0, 0]


def test_nodes_added_in_a_hop_wait_for_the_next_hop():
    # A chain 0 <- 1 <- 2 <- 3 within one node type: one node per hop.
    colptr = {"n__to__n": i64(0, 1, 2, 3, 3)}
    row = {"n__to__n": i64(1, 2, 3)}
    s = tovalib.NeighborSampler(["n"], [("n", "to", "n")], colptr, row, {})
    out = as_lists(s.sample({"n__to__n": i64(-1, -1)}, {}, "n", i64(0), EMPTY))
    assert out[2]["n"] == [0, 1, 2] and out[4]["n"] == [1, 1, 1]


def test_same_seed_same_results_and_calls_continue_the_sequence():
    budgets = {AB: i64(1, 1), BA: i64(1, 1)}
    a, b = sampler(seed=5), sampler(seed=5)
    seeds = i64(0, 1, 2, 0, 1, 2, 0, 1, 2, 0, 1, 2)
    first_a = [as_lists(a.sample(budgets, {}, "b", seeds, EMPTY)) for _ in range(4)]
    first_b = [as_lists(b.sample(budgets, {}, "b", seeds, EMPTY)) for _ in range(4)]
    assert first_a == first_b
    assert any(x != first_a[0] for x in first_a[1:])


def temporal_graph():
    # b0 has neighbours a0..a3 with times 1, 5, 7, 9; b1 has a3, a0 (unsorted).
    colptr = {AB: i64(0, 4, 6), BA: i64(0, 2, 3, 4, 4)}
    row = {AB: i64(0, 1, 2, 3, 3, 0), BA: i64(0, 1, 0, 1)}
    times = {"a": i64(1, 5, 7, 9), "b": i64(3, 4)}
    return ["a", "b"], [("a", "to", "b"), ("b", "to", "a")], colptr, row, times


def test_failure_midway_leaves_only_the_draws_behind():
    # "a" has times, "b" has none: b__to__a is sampled in plain mode (draws),
    # a__to__b in temporal mode, and b1's neighbourhood is out of order.
    colptr = {"b__to__a": i64(0, 3, 6, 9, 12), AB: i64(0, 4, 6, 8)}
    row = {"b__to__a": i64(0, 1, 2, 0, 1, 2, 0, 1, 2, 0, 1, 2), AB: i64(0, 1, 2, 3, 3, 0, 1, 2)}
    graph = (["a", "b"], [("b", "to", "a"), ("a", "to", "b")], colptr, row, {"a": i64(1, 5, 7, 9)})
    ext = tovalib.NeighborSampler(*graph)
    ref = ReferenceSampler(*graph)
    seeds = [0, 1, 2, 3, 0, 1, 2, 3]
    failing = ({"b__to__a": [1, 1], AB: [-1, -1]}, {}, "a", seeds, [20] * 8)
    valid = ({"b__to__a": [1, 2], AB: [0, 0]}, {}, "a", seeds, [])
    with pytest.raises(RuntimeError, match="Found invalid non-sorted temporal neighborhood"):
        ref.sample(*failing)
    with pytest.raises(RuntimeError, match="^Found invalid non-sorted temporal neighborhood$"):
        ext.sample(*numpy_args(*failing))
    # Nothing of the failed call remains but its draws.
    assert as_lists(ext.sample(*numpy_args(*valid))) == ref.sample(*valid)
    fresh = tovalib.NeighborSampler(*graph)
    assert as_lists(ext.sample(*numpy_args(*valid))) != as_lists(fresh.sample(*numpy_args(*valid)))


def numpy_args(counts, windows, entity, seeds, seed_time):
    nn = {k: np.array(v, np.int64) for k, v in counts.items()}
    sto = {k: np.array(v, dtype=object) for k, v in windows.items()}
    return nn, sto, entity, np.array(seeds, np.int64), np.array(seed_time, np.int64)


@pytest.mark.parametrize(
    "row1, error, message",
    [
        (["x", 1], RuntimeError, "Unable to cast Python instance of type <class 'str'> to C++ type '?' "
         "(#define PYBIND11_DETAILED_ERROR_MESSAGES or compile in debug mode for details)"),
        ([0.0, 1], RuntimeError, "Unable to cast Python instance of type <class 'float'>"),
        ([0, None], RuntimeError, "Unable to cast Python instance of type <class 'NoneType'>"),
        (None, IndexError, "list index out of range"),
    ],
)
def test_budget_read_failure_raises_after_what_precedes_it(row1, error, message):
    """A window row that cannot be read in hop 1 fails the call there: the
    count budgets before it in hop 1 have drawn, those after it have not."""
    nt, _, colptr, row, times = temporal_graph()
    colptr = dict(colptr, b__x__b=i64(0, 0, 0))
    row = dict(row, b__x__b=EMPTY)
    et = [("b", "to", "a"), ("b", "x", "b"), ("a", "to", "b")]
    windows = {"b__x__b": [[None, 100]] if row1 is None else [[None, 100], row1]}
    budgets = {"b__to__a": [1, 1], "a__to__b": [1, 1]}
    ext = tovalib.NeighborSampler(nt, et, colptr, row, times)
    ref = ReferenceSampler(nt, et, colptr, row, times)
    with pytest.raises(error) as info:
        ext.sample({k: i64(*v) for k, v in budgets.items()}, windows, "a", i64(0, 1, 2, 3), EMPTY)
    assert str(info.value).strip("'").startswith(message)
    with pytest.raises((TypeError, IndexError)):
        ref.sample(budgets, windows, "a", [0, 1, 2, 3], [])
    later = ({"b__to__a": [3], "a__to__b": [2]}, {"b__x__b": [[None, 0]]}, "a", [0, 1, 2, 3, 0, 1], [])
    assert as_lists(ext.sample(*numpy_args(*later))) == ref.sample(*later)


@pytest.mark.parametrize(
    "value",
    [
        [[-2, 3]],
        np.array([[-2.9, 3.7]], np.float32),  # not float subclasses: int() truncates
        ((np.int32(-2), np.uint8(3)),),
        np.array([[-2, 3]], dtype=object),
    ],
)
def test_window_rows_are_read_from_the_value_itself(value):
    nt, et, colptr, row, times = temporal_graph()
    s = tovalib.NeighborSampler(nt, et, colptr, row, times)
    # b0's neighbours have times 1, 5, 7, 9; the window is (4 - 2, 4 + 3].
    out = s.sample({BA: i64(0)}, {AB: value}, "b", i64(0), i64(4))
    assert out[2]["a"].tolist() == [1, 2]


def test_float_window_values_are_refused_when_read():
    nt, et, colptr, row, times = temporal_graph()
    s = tovalib.NeighborSampler(nt, et, colptr, row, times)
    with pytest.raises(RuntimeError, match=r"^Unable to cast Python instance of type <class 'numpy.float64'>"):
        s.sample({BA: i64(0)}, {AB: np.array([[-2.0, 3.0]])}, "b", i64(0), i64(4))


@pytest.mark.parametrize(
    "colptr, row, seeds, message",
    [
        (i64(0, 2, 3, 3), i64(0, 1, 2), i64(3), "Node 3 is out of range for 'colptr' at 'a__to__b' (3 nodes)."),
        (i64(0, 2, 3, 3), i64(0, 1, 2), i64(-1), "Node -1 is out of range for 'colptr' at 'a__to__b' (3 nodes)."),
        (i64(0, 2), i64(0, 1), i64(0, 1), "Node 1 is out of range for 'colptr' at 'a__to__b' (1 nodes)."),
        (i64(0, 5, 3), i64(0, 1, 2), i64(0), "Invalid neighborhood [0, 5) of node 0 in 'colptr' at 'a__to__b' ('row' has 3 entries)."),
        (i64(2, 1, 3), i64(0, 1, 2), i64(0), "Invalid neighborhood [2, 1) of node 0 in 'colptr' at 'a__to__b' ('row' has 3 entries)."),
        (i64(-1, 1, 3), i64(0, 1, 2), i64(0), "Invalid neighborhood [-1, 1) of node 0 in 'colptr' at 'a__to__b' ('row' has 3 entries)."),
    ],
)
def test_malformed_csc_is_reported_where_read(colptr, row, seeds, message):
    s = tovalib.NeighborSampler(["a", "b"], [("a", "to", "b")], {AB: colptr}, {AB: row}, {})
    with pytest.raises(RuntimeError) as info:
        s.sample({AB: i64(2)}, {}, "b", seeds, EMPTY)
    assert str(info.value) == message
    # Nothing is read for a budget of 0, and the sampler stays usable.
    assert as_lists(s.sample({AB: i64(0)}, {}, "b", seeds, EMPTY))[2]["b"] == seeds.tolist()


def test_row_values_are_checked_when_used_as_ids():
    # a__to__b's row holds a7, which "a" does not have.
    colptr = {AB: i64(0, 2), BA: i64(0, 1, 1)}
    row = {AB: i64(0, 7), BA: i64(0)}
    s = tovalib.NeighborSampler(["a", "b"], [("a", "to", "b"), ("b", "to", "a")], colptr, row, {"a": i64(1, 2)})
    # Recorded but never used as an index: fine.
    out = s.sample({AB: i64(-1), BA: i64(0)}, {}, "b", i64(0), EMPTY)
    assert out[2]["a"].tolist() == [0, 7]
    # Expanded in the next hop: out of range for b__to__a's colptr.
    with pytest.raises(RuntimeError, match=r"^Node 7 is out of range for 'colptr' at 'b__to__a' \(2 nodes\)\.$"):
        s.sample({AB: i64(-1), BA: i64(0, -1)}, {}, "b", i64(0), EMPTY)
    # Its time read by the temporal cut: out of range for a's node_time.
    with pytest.raises(RuntimeError, match=r"^Node 7 is out of range for 'node_time' at 'a' \(2 entries\)\.$"):
        s.sample({AB: i64(-1), BA: i64(0)}, {}, "b", i64(0), i64(5))


def test_seed_time_lookup_is_checked():
    s = tovalib.NeighborSampler(*path_graph(), {"a": i64(1, 2, 3), "b": i64(1)})
    with pytest.raises(RuntimeError, match=r"^Node 2 is out of range for 'node_time' at 'b' \(1 entries\)\.$"):
        s.sample({AB: i64(1), BA: i64(1)}, {}, "b", i64(0, 2), EMPTY)


@pytest.mark.parametrize(
    "edge_types",
    [[("a", "to", "b"), ("a", "to", "zz")], [("a", "to", "b"), ("zz", "to", "b")]],
)
def test_undeclared_node_types_fail_the_first_hop(edge_types):
    keys = ["__".join(et) for et in edge_types]
    colptr = {k: i64(0, 1, 1) for k in keys}
    row = {k: i64(0) for k in keys}
    s = tovalib.NeighborSampler(["a", "b"], edge_types, colptr, row, {})
    with pytest.raises(IndexError, match=r"^'?invalid unordered_map<K, T> key'?$"):
        s.sample({k: i64(1) for k in keys}, {}, "b", i64(0), EMPTY)
    # No hop, no lookup.
    out = s.sample({k: EMPTY for k in keys}, {}, "b", i64(0), EMPTY)
    assert out[2]["b"].tolist() == [0]


def test_strided_and_swapped_request_arrays_are_read_by_value():
    s1, s2 = sampler({"a": i64(1, 2, 3), "b": i64(4, 5, 6)}), sampler({"a": i64(1, 2, 3), "b": i64(4, 5, 6)})
    seeds, times, counts = i64(0, 2, 1, 0), i64(9, 1, 5, 3), i64(-1, 1, 2)
    wide = lambda v: np.repeat(v, 3)[::3]
    swapped = lambda v: v.astype(">i8")
    expected = as_lists(s1.sample({AB: counts, BA: counts}, {}, "b", seeds, times))
    got = as_lists(s2.sample({AB: wide(counts), BA: swapped(counts)}, {}, "b", swapped(seeds)[::-1][::-1], wide(times)))
    assert got == expected
