"""The Python surface: registration, rendered signatures and how each
argument form is accepted or refused."""

import types

import numpy as np
import pytest

import tovalib
from conftest import EMPTY, as_lists, i64, path_graph


def test_rendered_signatures():
    assert tovalib.NeighborSampler.__init__.__doc__.strip() == (
        "__init__(self: tovalib.NeighborSampler, node_types: list[str], "
        "edge_types: list[tuple[str, str, str]], colptr: dict, row: dict, "
        "node_time: object, seed: int = 123) -> None"
    )
    assert tovalib.NeighborSampler.sample.__doc__.strip() == (
        "sample(self: tovalib.NeighborSampler, num_neighbors: dict, "
        "sampling_time_offsets: dict, entity_table: str, seed_node: numpy.ndarray, "
        "seed_time: numpy.ndarray) -> tuple[dict, dict, dict, dict, dict, dict]"
    )
    assert tovalib.NeighborSampler.__qualname__ == "NeighborSampler"
    assert tovalib.NeighborSampler.__module__ == "tovalib"


def draw(sampler, k=1):
    """Samples one node of a star so the generator's state shows."""
    result = sampler.sample({"a__to__b": i64(k)}, {}, "b", i64(0), EMPTY)
    return result[2]["a"].tolist()


_DEFAULT = object()


def star(seed=_DEFAULT):
    colptr = {"a__to__b": i64(0, 50)}
    row = {"a__to__b": np.arange(50, dtype=np.int64)}
    args = (["a", "b"], [("a", "to", "b")], colptr, row, {})
    if seed is _DEFAULT:
        return tovalib.NeighborSampler(*args)
    return tovalib.NeighborSampler(*args, seed=seed)


def test_seed_default_is_123():
    assert draw(star(), 5) == draw(star(123), 5)
    assert draw(star(), 5) != draw(star(124), 5)


@pytest.mark.parametrize(
    "given, same_as",
    [(True, 1), (np.int64(7), 7), (-1, 4294967295 - 2**32), (2**31 - 1, 2**31 - 1)],
)
def test_seed_accepted_forms(given, same_as):
    assert draw(star(given), 5) == draw(star(same_as), 5)


def test_seed_is_taken_as_its_32_bit_pattern():
    # -1 seeds the generator with 4294967295: the first draw of a 2-of-4
    # selection is that generator's first output mod 3.
    from reference import MT19937

    ref = MT19937(4294967295)
    u1, u2 = ref.next(), ref.next()
    first = u1 % 3
    second = u2 % 4
    second = second if second != first else 3
    colptr = {"a__to__b": i64(0, 4)}
    row = {"a__to__b": i64(0, 1, 2, 3)}
    s = tovalib.NeighborSampler(["a", "b"], [("a", "to", "b")], colptr, row, {}, seed=-1)
    out = s.sample({"a__to__b": i64(2)}, {}, "b", i64(0), EMPTY)
    assert out[2]["a"].tolist() == [first, second]


@pytest.mark.parametrize("seed", [2**31, -(2**31) - 1, 5.0, "1", None])
def test_seed_refused(seed):
    with pytest.raises(TypeError, match="incompatible constructor arguments"):
        star(seed)


@pytest.mark.parametrize(
    "node_types",
    [("a", "b"), ["a", "b"], np.array(["a", "b"]), [b"a", "b"], [bytearray(b"a"), "b"]],
)
def test_node_type_sequences_accepted(node_types):
    _, edge_types, colptr, row = path_graph()
    s = tovalib.NeighborSampler(node_types, edge_types, colptr, row, {})
    out = s.sample({"a__to__b": i64(-1), "b__to__a": i64(-1)}, {}, "a", i64(0), EMPTY)
    assert list(out[2]) == ["a", "b"]


@pytest.mark.parametrize("node_types", ["ab", b"ab", None, 5, ["a", 1]])
def test_node_type_forms_refused(node_types):
    with pytest.raises(TypeError, match="incompatible constructor arguments"):
        tovalib.NeighborSampler(node_types, [], {}, {}, {})


def test_edge_type_forms():
    colptr = {"a__b__c": i64(0, 0)}
    row = {"a__b__c": EMPTY}
    for edge_type in ["abc", ["a", "b", "c"], (b"a", "b", bytearray(b"c"))]:
        s = tovalib.NeighborSampler(["a", "c"], [edge_type], colptr, row, {})
        out = s.sample({"a__b__c": i64(1)}, {}, "c", i64(0), EMPTY)
        assert list(out[0]) == ["a__b__c"]


@pytest.mark.parametrize("edge_type", [("a", "b"), ("a", "b", "c", "d"), ("a", 1, "c"), "ab"])
def test_edge_type_forms_refused(edge_type):
    with pytest.raises(TypeError, match="incompatible constructor arguments"):
        tovalib.NeighborSampler(["a", "c"], [edge_type], {}, {}, {})


def test_bytes_names_equal_their_utf8_text():
    colptr = {"ä__to__b": i64(0, 1)}
    row = {"ä__to__b": i64(0)}
    s = tovalib.NeighborSampler(
        ["ä".encode(), "b"], [("ä".encode(), "to", "b")], colptr, row, {}
    )
    out = s.sample({"ä__to__b": i64(1)}, {}, "b", i64(0), EMPTY)
    assert out[2]["ä"].tolist() == [0]


class Mapping(dict):
    pass


@pytest.mark.parametrize("position", ["colptr", "row"])
def test_dict_arguments_of_construction(position):
    node_types, edge_types, colptr, row = path_graph()
    args = {"colptr": colptr, "row": row}
    args[position] = types.MappingProxyType(args[position])
    with pytest.raises(TypeError, match="incompatible constructor arguments"):
        tovalib.NeighborSampler(node_types, edge_types, node_time={}, **args)
    args[position] = Mapping(args[position])
    tovalib.NeighborSampler(node_types, edge_types, node_time={}, **args)


@pytest.mark.parametrize("position", ["num_neighbors", "sampling_time_offsets"])
def test_dict_arguments_of_sample(position):
    s = tovalib.NeighborSampler(*path_graph(), {})
    args = {"num_neighbors": {"a__to__b": i64(1), "b__to__a": i64(1)}, "sampling_time_offsets": {}}
    args[position] = types.MappingProxyType(args[position])
    with pytest.raises(TypeError, match="incompatible function arguments"):
        s.sample(entity_table="a", seed_node=i64(0), seed_time=EMPTY, **args)
    args[position] = Mapping(args[position])
    s.sample(entity_table="a", seed_node=i64(0), seed_time=EMPTY, **args)


@pytest.mark.parametrize("position", ["seed_node", "seed_time"])
@pytest.mark.parametrize("value", [[0], (0,), None, 0])
def test_seed_arrays_must_be_ndarrays(position, value):
    s = tovalib.NeighborSampler(*path_graph(), {})
    args = {"seed_node": i64(0), "seed_time": EMPTY, position: value}
    with pytest.raises(TypeError, match="incompatible function arguments"):
        s.sample({"a__to__b": i64(1), "b__to__a": i64(1)}, {}, "a", **args)


def test_entity_table_as_bytes():
    s = tovalib.NeighborSampler(*path_graph(), {})
    budgets = {"a__to__b": i64(-1), "b__to__a": i64(-1)}
    by_str = as_lists(s.sample(budgets, {}, "b", i64(0), EMPTY))
    by_bytes = as_lists(s.sample(budgets, {}, b"b", i64(0), EMPTY))
    assert by_str == by_bytes
    with pytest.raises(TypeError, match="incompatible function arguments"):
        s.sample(budgets, {}, None, i64(0), EMPTY)


def test_all_arguments_by_keyword():
    node_types, edge_types, colptr, row = path_graph()
    s = tovalib.NeighborSampler(
        seed=3, node_time={}, row=row, colptr=colptr, edge_types=edge_types, node_types=node_types
    )
    out = s.sample(
        seed_time=EMPTY,
        seed_node=i64(1),
        entity_table="b",
        sampling_time_offsets={},
        num_neighbors={"a__to__b": i64(-1), "b__to__a": i64(-1)},
    )
    assert isinstance(out, tuple) and len(out) == 6
    assert all(type(d) is dict for d in out)
    with pytest.raises(TypeError, match="incompatible function arguments"):
        s.sample({}, {}, "b", i64(1), EMPTY, extra=1)
    with pytest.raises(TypeError, match="incompatible function arguments"):
        s.sample({}, {}, "b", i64(1))


@pytest.mark.parametrize(
    "node_time, temporal",
    [
        ({}, False),
        ([], False),
        ([("a", i64(1, 2, 3))], True),
        (types.MappingProxyType({"a": i64(1, 2, 3)}), True),
    ],
)
def test_node_time_forms(node_time, temporal):
    s = tovalib.NeighborSampler(*path_graph(), node_time)
    # With node times the seed_time length is checked; without, it is not.
    call = lambda: s.sample({"a__to__b": i64(1), "b__to__a": i64(1)}, {}, "a", i64(0), i64(1, 2))
    if temporal:
        with pytest.raises(RuntimeError, match="^'seed_node' and 'seed_time' size mismatch.$"):
            call()
    else:
        call()


def test_node_time_none_is_refused_by_dict():
    with pytest.raises(TypeError, match="'NoneType' object is not iterable"):
        tovalib.NeighborSampler(*path_graph(), None)


def test_sample_on_an_instance_without_init_is_refused():
    bare = tovalib.NeighborSampler.__new__(tovalib.NeighborSampler)
    with pytest.raises(TypeError, match=r"__init__ did not run"):
        bare.sample({"a__to__b": i64(-1)}, {}, "b", i64(0), EMPTY)
    # A failed __init__ leaves no sampler behind either.
    with pytest.raises(RuntimeError, match="Duplicate node type"):
        bare.__init__(["a", "a"], [], {}, {}, {})
    with pytest.raises(TypeError, match=r"__init__ did not run"):
        bare.sample({}, {}, "a", i64(0), EMPTY)
