"""Construction: typed dictionary validation, its order, view lookups, and
the sampler's hold on the arrays it reads."""

import gc

import numpy as np
import pytest

import tovalib
from conftest import EMPTY, as_lists, i64, path_graph

BUDGETS = {"a__to__b": i64(-1), "b__to__a": i64(-1)}


def build(colptr=None, row=None, node_time=None, node_types=None, edge_types=None):
    nt, et, c, r = path_graph()
    return tovalib.NeighborSampler(
        nt if node_types is None else node_types,
        et if edge_types is None else edge_types,
        c if colptr is None else colptr,
        r if row is None else row,
        {} if node_time is None else node_time,
    )


def with_entry(d, key, value):
    out = dict(d)
    out[key] = value
    return out


_, _, COLPTR, ROW = path_graph()


@pytest.mark.parametrize(
    "kwargs, message",
    [
        # Unlisted keys, reported by their str() text, before value conversion.
        ({"colptr": with_entry(COLPTR, "x__y__z", object())}, "Invalid type 'x__y__z' found in colptr."),
        ({"row": with_entry(ROW, ("a", "to", "b"), i64(0))}, "Invalid type '('a', 'to', 'b')' found in row."),
        ({"node_time": {"c": i64(1)}}, "Invalid type 'c' found in node_time."),
        # Dimensions: the expected number is printed.
        ({"colptr": with_entry(COLPTR, "a__to__b", np.int64(3))}, "Type 'a__to__b' in colptr is not 1D."),
        ({"row": with_entry(ROW, "b__to__a", np.zeros((2, 2), np.int64))}, "Type 'b__to__a' in row is not 1D."),
        ({"node_time": {"a": [[1]]}}, "Type 'a' in node_time is not 1D."),
        # Dtypes of non-empty values.
        ({"colptr": with_entry(COLPTR, "a__to__b", np.array([0, 1], np.int32))}, "Type 'a__to__b' in colptr must have dtype int64."),
        ({"colptr": with_entry(COLPTR, "a__to__b", np.array([0, 1], np.uint64))}, "Type 'a__to__b' in colptr must have dtype int64."),
        ({"row": with_entry(ROW, "a__to__b", [0.0, 1.0])}, "Type 'a__to__b' in row must have dtype int64."),
        ({"node_time": {"b": np.array([True])}}, "Type 'b' in node_time must have dtype int64."),
        ({"node_time": {"b": np.array([1], dtype=object)}}, "Type 'b' in node_time must have dtype int64."),
    ],
)
def test_validation_messages(kwargs, message):
    with pytest.raises(RuntimeError) as info:
        build(**kwargs)
    assert str(info.value) == message


def test_first_violation_in_dictionary_order_wins():
    colptr = {"b__to__a": np.array([0.5]), "zzz": i64(0), "a__to__b": COLPTR["a__to__b"]}
    with pytest.raises(RuntimeError, match=r"^Type 'b__to__a' in colptr must have dtype int64\.$"):
        build(colptr=colptr)
    colptr = {"zzz": i64(0), "b__to__a": np.array([0.5])}
    with pytest.raises(RuntimeError, match=r"^Invalid type 'zzz' found in colptr\.$"):
        build(colptr=colptr)


def test_colptr_is_validated_before_row_and_node_time():
    bad_colptr = with_entry(COLPTR, "q", i64(0))
    bad_row = with_entry(ROW, "r", i64(0))
    with pytest.raises(RuntimeError, match="found in colptr"):
        build(colptr=bad_colptr, row=bad_row, node_time={"c": i64(0)})
    with pytest.raises(RuntimeError, match="found in row"):
        build(row=bad_row, node_time={"c": i64(0)})


def test_all_dictionaries_are_validated_before_lookups():
    # colptr lacks an edge type (a lookup failure), node_time is malformed
    # (a validation failure): validation is reported.
    colptr = {"a__to__b": COLPTR["a__to__b"]}
    with pytest.raises(RuntimeError, match="Invalid type 'c' found in node_time."):
        build(colptr=colptr, node_time={"c": i64(0)})


@pytest.mark.parametrize(
    "colptr, row, key",
    [
        ({"a__to__b": COLPTR["a__to__b"]}, ROW, "b__to__a"),
        (COLPTR, {"b__to__a": ROW["b__to__a"]}, "a__to__b"),
        # colptr is looked at before row for each edge type.
        ({"b__to__a": COLPTR["b__to__a"]}, {"a__to__b": ROW["a__to__b"]}, "a__to__b"),
    ],
)
def test_missing_edge_type_is_key_error(colptr, row, key):
    with pytest.raises(KeyError) as info:
        build(colptr=colptr, row=row)
    assert info.value.args == (key,)


def test_non_string_key_passes_validation_then_is_not_found():
    class One:
        def __str__(self):
            return "a__to__b"

    colptr = {One(): COLPTR["a__to__b"], "b__to__a": COLPTR["b__to__a"]}
    with pytest.raises(KeyError):
        build(colptr=colptr)
    # In node_time such a key gives no view, yet the sampler is temporal: the
    # seed_time length is checked.
    s = build(node_types=["1", "b"], edge_types=[("1", "to", "b")],
              colptr={"1__to__b": i64(0, 1)}, row={"1__to__b": i64(0)}, node_time={1: i64(5)})
    with pytest.raises(RuntimeError, match="size mismatch"):
        s.sample({"1__to__b": i64(1)}, {}, "b", i64(0), i64(1, 2))
    # ...and sampling runs in plain mode (no times): the neighbour is taken
    # although its "time" would be later than the seed's.
    out = s.sample({"1__to__b": i64(1)}, {}, "b", i64(0), i64(-100))
    assert out[2]["1"].tolist() == [0]


def test_empty_arrays_of_any_dtype_pass_and_hold_nothing():
    colptr = {"a__to__b": np.array([], dtype=np.float64), "b__to__a": COLPTR["b__to__a"]}
    row = {"a__to__b": np.array([], dtype="U3"), "b__to__a": ROW["b__to__a"]}
    s = build(colptr=colptr, row=row)
    # Nothing to expand for a__to__b is fine while its frontier is empty...
    out = s.sample({"a__to__b": i64(5), "b__to__a": i64(5)}, {}, "a", i64(1), EMPTY)
    assert out[2]["b"].tolist() == [0, 2]
    # ...and reading it is a reported bound violation, not a read past the end.
    with pytest.raises(RuntimeError, match="out of range for 'colptr' at 'a__to__b'"):
        s.sample({"a__to__b": i64(5), "b__to__a": i64(5)}, {}, "b", i64(0), EMPTY)


@pytest.mark.parametrize(
    "node_types, edge_types, message",
    [
        (["a", "b", "a"], [], "Duplicate node type 'a' in node_types."),
        (["a", "b"], [("a", "to", "b"), ("a", "to", "b")], "Duplicate edge type 'a__to__b' in edge_types."),
        (["a__b", "c", "a", "d"], [("a__b", "c", "d"), ("a", "b__c", "d")], "Duplicate edge type 'a__b__c__d' in edge_types."),
    ],
)
def test_duplicate_types_are_refused(node_types, edge_types, message):
    with pytest.raises(RuntimeError) as info:
        tovalib.NeighborSampler(node_types, edge_types, {}, {}, {})
    assert str(info.value) == message


def test_sampler_keeps_the_arrays_alive():
    nt, et, colptr, row = path_graph()
    times = {"a": i64(1, 2, 3), "b": i64(1, 2, 3)}
    fresh = tovalib.NeighborSampler(nt, et, colptr, row, times)
    expected = as_lists(fresh.sample(BUDGETS, {}, "a", i64(0, 1, 2), i64(9, 9, 9)))

    # Lists are converted into temporaries; arrays are dropped by the caller.
    colptr = {k: v.tolist() for k, v in colptr.items()}
    row = {k: v.copy() for k, v in row.items()}
    times = {k: v.copy() for k, v in times.items()}
    s = tovalib.NeighborSampler(nt, et, colptr, row, times)
    del colptr, row, times
    gc.collect()
    # Churn the allocator so freed memory would be reused.
    junk = [np.full(4, -7, np.int64) for _ in range(1000)]
    for _ in range(3):
        assert as_lists(s.sample(BUDGETS, {}, "a", i64(0, 1, 2), i64(9, 9, 9))) == expected
    del junk


def test_arrays_are_read_in_place():
    nt, et, colptr, row = path_graph()
    s = tovalib.NeighborSampler(nt, et, colptr, row, {})
    before = s.sample({"a__to__b": i64(-1), "b__to__a": i64(0)}, {}, "b", i64(0), EMPTY)
    assert before[2]["a"].tolist() == [0, 1]
    row["a__to__b"][0] = 2  # written through the caller's array
    after = s.sample({"a__to__b": i64(-1), "b__to__a": i64(0)}, {}, "b", i64(0), EMPTY)
    assert after[2]["a"].tolist() == [2, 1]


def layouts(values):
    base = np.asarray(values, dtype=np.int64)
    strided = np.zeros(2 * len(base), dtype=np.int64)
    strided[::2] = base
    column = np.zeros((len(base), 3), dtype=np.int64)
    column[:, 1] = base
    reversed_ = base[::-1].copy()[::-1]
    swapped = base.astype(">i8")
    raw = np.zeros(8 * len(base) + 1, dtype=np.uint8)
    unaligned = raw[1:].view(np.int64)
    unaligned[:] = base
    return {
        "strided": strided[::2],
        "column": column[:, 1],
        "negative_stride": reversed_,
        "byte_swapped": swapped if swapped.dtype.byteorder != "=" else swapped.newbyteorder(),
        "unaligned": unaligned,
    }


@pytest.mark.parametrize("layout", ["strided", "column", "negative_stride", "byte_swapped", "unaligned"])
def test_arrays_of_any_layout_are_read_by_value(layout):
    nt, et, colptr, row = path_graph()
    times = {"a": i64(5, 1, 3), "b": i64(2, 8, 4)}
    reference = tovalib.NeighborSampler(nt, et, colptr, row, times)
    odd = lambda d: {k: layouts(v)[layout] for k, v in d.items()}
    s = tovalib.NeighborSampler(nt, et, odd(colptr), odd(row), odd(times))
    for arr in list(odd(colptr).values()):
        assert not (arr.flags.c_contiguous and arr.flags.aligned and arr.dtype.isnative)
    for seeds in (i64(0, 1, 2), i64(2, 2)):
        assert as_lists(s.sample(BUDGETS, {}, "a", seeds, EMPTY)) == as_lists(
            reference.sample(BUDGETS, {}, "a", seeds, EMPTY)
        )
