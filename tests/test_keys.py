"""Primary and foreign keys in Graph.from_tables: composite keys, dense
integer keys, and the keys and names it refuses."""

import numpy as np
import pytest
from conftest import i64

import tovalib_data as td
from tovalib_data.build.keys import KeyIndex
from tovalib_data.build.tables import Table


def arrays_of(graph):
    return {key: (graph.colptr[key].tolist(), graph.row[key].tolist()) for key in graph.colptr}


def part_values(codes, kind):
    return codes.astype(str).astype(object) if kind == "str" else codes


@pytest.mark.parametrize("kinds", [("int", "int"), ("str", "int"), ("int", "str", "int")])
@pytest.mark.parametrize("seed", range(3))
def test_composite_keys_give_the_graph_of_one_equivalent_column(kinds, seed):
    """Key tuples in random order with misses and nulls in single parts
    resolve exactly as the same tuples encoded into one integer column."""
    rng = np.random.default_rng(seed)
    width = 7
    n_key, n_ref = int(rng.integers(1, 40)), int(rng.integers(0, 200))
    codes = rng.choice(width ** len(kinds), n_key, replace=False)
    refs = rng.choice(np.concatenate([codes, rng.integers(0, width ** len(kinds), 5)]), n_ref)
    null = rng.random((n_ref, len(kinds))) < 0.1
    digits = lambda c: [(c // width ** j) % width for j in range(len(kinds))]  # noqa: E731
    key_cols = [f"k{j}" for j in range(len(kinds))]
    ref_cols = tuple(f"r{j}" for j in range(len(kinds)))
    parent = {c: part_values(d, k) for c, d, k in zip(key_cols, digits(codes), kinds)}
    child = {"t": rng.integers(0, 4, n_ref)}
    for c, d, k, n in zip(ref_cols, digits(refs), kinds, null.T):
        child[c] = np.where(n, None, part_values(d, k).astype(object))
    composite = td.Graph.from_tables(
        {"parent": parent, "child": child}, primary_keys={"parent": key_cols},
        foreign_keys={"child": {ref_cols: "parent"}}, time_columns={"child": "t"})
    single = td.Graph.from_tables(
        {"parent": {"k": codes},
         "child": {"r": np.where(null.any(axis=1), np.nan, refs), "t": child["t"]}},
        primary_keys={"parent": "k"}, foreign_keys={"child": {"r": "parent"}},
        time_columns={"child": "t"})
    relation = "_".join(ref_cols)
    assert composite.edge_types == [("child", relation, "parent"),
                                    ("parent", "rev_" + relation, "child")]
    assert list(arrays_of(composite).values()) == list(arrays_of(single).values())
    assert composite.report == {f"child.{relation}": single.report["child.r"]}


def lineitem_tables():
    return {
        "partsupp": {"ps_partkey": i64(1, 1, 2), "ps_suppkey": i64(7, 8, 7)},
        "lineitem": {"l_partkey": i64(2, 1, 1), "l_suppkey": i64(7, 8, 9),
                     "l_partkey_l_suppkey": i64(0, 0, 0)},
    }


LINEITEM = dict(primary_keys={"partsupp": ["ps_partkey", "ps_suppkey"]},
                foreign_keys={"lineitem": {("l_partkey", "l_suppkey"): "partsupp"}})


def test_a_composite_reference_is_reported_under_its_relation():
    graph = td.Graph.from_tables(lineitem_tables(), **LINEITEM)
    assert graph.report == {"lineitem.l_partkey_l_suppkey": {
        "references": "partsupp", "rows": 3, "resolved": 2, "dropped": 1, "null": 0}}
    assert graph.row["partsupp__rev_l_partkey_l_suppkey__lineitem"].tolist() == [2, 1]


KEY_ERRORS = [
    # (change to tables and schema, exception, message)
    (lambda t, s: s["foreign_keys"]["lineitem"].update({("l", "partkey_l_suppkey"): "partsupp"}),
     ValueError, r"foreign keys lineitem\.\(l_partkey, l_suppkey\) and "
                 r"lineitem\.\(l, partkey_l_suppkey\) both give the edge type "
                 r"lineitem__l_partkey_l_suppkey__partsupp"),
    (lambda t, s: (s["primary_keys"].update(lineitem="l_partkey"),
                   s["foreign_keys"].update(partsupp={"rev_l_partkey_l_suppkey": "lineitem"})),
     ValueError, r"foreign keys lineitem\.\(l_partkey, l_suppkey\) and "
                 r"partsupp\.rev_l_partkey_l_suppkey both give the edge type "
                 r"partsupp__rev_l_partkey_l_suppkey__lineitem"),
    (lambda t, s: t["partsupp"].update(ps_suppkey=i64(7, 7, 7)),
     ValueError, r"primary key partsupp\.\(ps_partkey, ps_suppkey\) has duplicates, "
                 r"for example \(1, 7\)"),
    (lambda t, s: t["partsupp"].update(ps_suppkey=np.array([7, None, 7], dtype=object)),
     ValueError, r"primary key partsupp\.\(ps_partkey, ps_suppkey\) has 1 rows with a null"),
    (lambda t, s: s["foreign_keys"].update(lineitem={("l_partkey",): "partsupp"}),
     ValueError, r"foreign key lineitem\.l_partkey has 1 columns but the primary key "
                 r"partsupp\.\(ps_partkey, ps_suppkey\) has 2"),
    (lambda t, s: t["lineitem"].update(l_suppkey=np.array(["7", "8", "9"])),
     TypeError, r"foreign key lineitem\.l_suppkey holds string keys but primary key "
                r"partsupp\.ps_suppkey holds int keys"),
    (lambda t, s: s.update(primary_keys={"partsupp": [["ps_partkey"]]}),
     TypeError, r"primary_keys\['partsupp'\] must be a column name or a list of column names"),
    (lambda t, s: s.update(primary_keys={"partsupp": ["ps_partkey", "ps_partkey"]}),
     ValueError, r"primary key of 'partsupp' names a column twice"),
    (lambda t, s: s.update(primary_keys={"partsupp": ["ps_partkey", "nope"]}),
     ValueError, r"table 'partsupp' has no column 'nope'"),
    (lambda t, s: s.update(foreign_keys={"lineitem": {("l_partkey", 3): "partsupp"}}),
     TypeError, r"foreign_keys\['lineitem'\]: a foreign key is a column name or a tuple"),
    (lambda t, s: s.update(foreign_keys={"lineitem": {("l_partkey_", "l_suppkey"): "partsupp"}}),
     ValueError, r"relation name 'l_partkey__l_suppkey' \(of foreign key "
                 r"lineitem\.\(l_partkey_, l_suppkey\)\) cannot be part of an edge type key"),
]


@pytest.mark.parametrize("change, error, message", KEY_ERRORS)
def test_bad_keys_are_refused_naming_table_and_columns(change, error, message):
    tables = lineitem_tables()
    schema = {k: {t: dict(v) if isinstance(v, dict) else v for t, v in d.items()}
              for k, d in LINEITEM.items()}
    change(tables, schema)
    with pytest.raises(error, match=message):
        td.Graph.from_tables(tables, **schema)


def test_a_composite_key_in_a_data_frame_is_not_a_bare_pandas_error():
    from conftest import optional

    pd = optional("pandas")
    tables = {name: pd.DataFrame(t) for name, t in lineitem_tables().items()}
    graph = td.Graph.from_tables(tables, **LINEITEM)
    assert graph.report["lineitem.l_partkey_l_suppkey"]["resolved"] == 2


@pytest.mark.parametrize(
    "tables, foreign_keys, message",
    [
        ({"orders_": {"id": i64(0)}}, {}, r"table name 'orders_' cannot be part"),
        ({"a": {"id": i64(0)}, "a_": {"id": i64(0)}}, {}, r"table name 'a_' cannot be part"),
        ({"_a": {"id": i64(0)}}, {}, r"table name '_a' cannot be part"),
        ({"a": {"id": i64(0), "_customer_id": i64(0)}}, {"a": {"_customer_id": "a"}},
         r"foreign key column '_customer_id' of table 'a' cannot be part of an edge type key: it must be "
         r"non-empty, must not contain '__' and must not start or end with '_'"),
        ({"a": {"id": i64(0), "id_": i64(0)}}, {"a": {"id_": "a"}},
         r"foreign key column 'id_' of table 'a' cannot be part"),
    ],
)
def test_names_whose_edge_type_keys_would_not_split_back_are_refused(
        tables, foreign_keys, message):
    with pytest.raises(ValueError, match=message):
        td.Graph.from_tables(tables, primary_keys={"a": "id"} if "a" in tables else None,
                             foreign_keys=foreign_keys)


def customers_and_orders(customer_ids, order_refs):
    return td.Graph.from_tables(
        {"customers": {"id": customer_ids}, "orders": {"customer_id": order_refs}},
        primary_keys={"customers": "id"}, foreign_keys={"orders": {"customer_id": "customers"}})


def empty_string_columns():
    from conftest import optional

    pd, pa = optional("pandas"), optional("pyarrow")
    return [
        np.array([], dtype=object),
        np.array([None, None], dtype=object),
        pd.Series([None, None], dtype="string"),
        pd.Series([], dtype="string"),
        pa.chunked_array([pa.array([None, None], pa.string())]),
        pa.chunked_array([pa.array([None, None])]),  # Arrow's null type
    ]


@pytest.mark.parametrize("index", range(6))
@pytest.mark.parametrize("side", ["foreign", "primary"])
def test_an_empty_or_all_null_key_column_takes_the_type_of_the_other_side(index, side):
    """A table filtered to nothing, or a column of nulls, matches string keys
    (on main: "holds integer keys but primary key holds str keys")."""
    column = empty_string_columns()[index]
    strings = np.array(["c1", "c2"], dtype=object)
    if side == "foreign":
        graph = customers_and_orders(strings, column)
        assert graph.report["orders.customer_id"]["resolved"] == 0
        assert graph.report["orders.customer_id"]["rows"] == len(column)
    elif len(column) == 0:  # an empty primary key: nothing resolves
        graph = customers_and_orders(column, strings)
        assert graph.report["orders.customer_id"]["dropped"] == 2
    else:
        with pytest.raises(ValueError, match=r"primary key customers\.id has 2 nulls"):
            customers_and_orders(column, strings)


@pytest.mark.parametrize(
    "keys, error, message",
    [
        (np.array([0.0, np.inf]), ValueError, r"customers\.id: key value inf is not a finite"),
        (np.array([0.0, -np.inf]), ValueError, r"customers\.id: key value -inf is not a finite"),
        (np.array([0.0, 2.0**63]), ValueError,
         r"customers\.id: key value 9223372036854775808 is beyond the int64 range"),
        (np.array([0.0, -(2.0**64)]), ValueError, r"key value -18446744073709551616 is beyond"),
        (np.array([0, 2**64 - 1], dtype=np.uint64), ValueError,
         r"customers\.id: keys beyond the int64 range \(up to 18446744073709551615\)"),
        (np.array([b"a", b"a\0"], dtype=object), ValueError,
         r"customers\.id: bytes keys that end in a NUL byte cannot be told apart"),
        (np.array(["1", 1], dtype=object), TypeError,
         r"customers\.id: unsupported key type \(object values, strings mixed with other"),
    ],
)
def test_keys_that_would_be_conflated_are_refused(keys, error, message):
    with pytest.raises(error, match=message):
        customers_and_orders(keys, np.array([0.0]))


@pytest.mark.parametrize("make", [
    lambda v: np.array(v, dtype=object),
    lambda v: __import__("conftest").optional("pandas").Series(v, dtype="string"),
    lambda v: __import__("conftest").optional("pyarrow").chunked_array([v]),
])
def test_string_keys_differing_by_a_trailing_nul_stay_apart(make):
    graph = customers_and_orders(make(["a", "a\0", "b"]), make(["a\0", "a", "a\0\0", "b\0"]))
    assert graph.row["customers__rev_customer_id__orders"].tolist() == [1, 0]
    assert graph.report["orders.customer_id"]["dropped"] == 2


@pytest.mark.parametrize("first", [0, 1, -5, 2**40])
def test_integer_keys_running_from_any_start_are_row_positions(first):
    """Keys first, first + 1, ... resolve by subtraction, including values
    just outside the run and values whose difference from it overflows."""
    keys = np.arange(first, first + 4)
    refs = np.array([first + 3, first - 1, first, first + 4, np.iinfo(np.int64).min,
                     np.iinfo(np.int64).max, first + 1])
    index = KeyIndex(Table("customers", {"id": keys}), ("id",))
    assert (index.offset, index.sorted) == (first, None)  # nothing sorted or searched
    graph = customers_and_orders(keys, refs)
    assert graph.row["orders__customer_id__customers"].tolist() == [2, 6, 0]
    assert graph.row["customers__rev_customer_id__orders"].tolist() == [3, 0, 1]
