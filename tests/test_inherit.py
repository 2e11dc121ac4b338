"""Times inherited along foreign keys: tables without a time column take the
latest time of the timed rows they reference, so temporal samples never hold
a row later than the seed's cut-off."""

import json

import numpy as np
import pytest
from conftest import i64

import tovalib_data as td

INT64_MIN = np.iinfo(np.int64).min


def shop(inherit_time=True):
    """The shop of the report: items 1 and 3 belong to day-50 orders."""
    return td.Graph.from_tables(
        {"customers": {"id": np.arange(2)}, "products": {"id": np.arange(1)},
         "orders": {"id": np.arange(4), "customer_id": np.array([0, 0, 1, 1]),
                    "day": np.array([10, 50, 10, 50])},
         "items": {"id": np.arange(4), "order_id": np.arange(4),
                   "product_id": np.zeros(4, int)}},
        primary_keys={"customers": "id", "orders": "id", "products": "id"},
        foreign_keys={"orders": {"customer_id": "customers"},
                      "items": {"order_id": "orders", "product_id": "products"}},
        time_columns={"orders": "day"}, inherit_time=inherit_time)


def everything(graph, seed_type, seeds, seed_time, hops=4):
    budgets = {"__".join(et): np.full(hops, -1, dtype=np.int64) for et in graph.edge_types}
    return graph.sampler().sample(budgets, {}, seed_type, i64(*seeds), i64(*seed_time))


@pytest.mark.parametrize(
    "inherit_time, items, sources",
    [
        (True, [0, 2], {"orders": "day", "items": ["order_id"]}),
        (False, [0, 1, 2, 3], {"orders": "day"}),
        ({"items"}, [0, 1, 2, 3], {"orders": "day"}),
        (["customers"], [0, 2], {"orders": "day", "items": ["order_id"]}),
    ],
)
def test_lines_of_later_orders_stay_out_of_a_subgraph(inherit_time, items, sources):
    graph = shop(inherit_time)
    nodes = everything(graph, "customers", [0, 1], [20, 20])[2]
    assert sorted(set(nodes["items"].tolist())) == items
    assert graph.time_sources == sources
    assert graph.node_time.get("items", i64()).tolist() == ([10, 50, 10, 50] if
                                                            "items" in sources else [])


@pytest.mark.parametrize(
    "tables, foreign_keys, sources, times",
    [
        # A self-reference is not followed; the department's time is.
        ({"depts": {"id": i64(0, 1), "t": i64(5, 9)},
          "staff": {"id": i64(0, 1, 2), "boss": i64(2, 0, 2), "dept": i64(1, 0, -1)}},
         {"staff": {"boss": "staff", "dept": "depts"}},
         {"depts": "t", "staff": ["dept"]}, {"staff": [9, 5, INT64_MIN]}),
        # a and b reference each other: neither follows the other; a still
        # inherits from t, b has nothing else and stays untimed, c (after the
        # cycle) inherits from both a and t.
        ({"t": {"id": i64(0, 1), "day": i64(3, 7)},
          "a": {"id": i64(0, 1), "b_id": i64(1, 0), "t_id": i64(1, 0)},
          "b": {"id": i64(0, 1), "a_id": i64(0, 0)},
          "c": {"a_id": i64(0, 1, 5), "t_id": i64(0, 1, 0)}},
         {"a": {"b_id": "b", "t_id": "t"}, "b": {"a_id": "a"},
          "c": {"a_id": "a", "t_id": "t"}},
         {"t": "day", "a": ["t_id"], "c": ["a_id", "t_id"]}, {"a": [7, 3], "c": [7, 7, 3]}),
    ],
)
def test_cycles_among_untimed_tables_are_not_followed(tables, foreign_keys, sources, times):
    graph = td.Graph.from_tables(
        tables, primary_keys={t: "id" for t, cols in tables.items() if "id" in cols},
        foreign_keys=foreign_keys, time_columns={t: c for t, c in sources.items()
                                                 if isinstance(c, str)})
    assert graph.time_sources == sources
    for table, expected in times.items():
        assert graph.node_time[table].tolist() == expected


def reference_times(tables, fks, own):
    """Per table, its rows' times (None: untimed) by the rules, computed row by
    row: a foreign key is followed unless both tables are untimed and reach
    each other (a cycle) or it is a self-reference."""
    untimed = [t for t in tables if t not in own]
    reach = {}
    for t in untimed:
        seen, todo = set(), [t]
        while todo:
            for target in (fks[todo.pop()] or {}).values():
                if target in untimed and target not in seen:
                    seen.add(target)
                    todo.append(target)
        reach[t] = seen
    same_cycle = lambda a, b: a == b or (b in reach.get(a, ()) and a in reach.get(b, ()))  # noqa: E731
    memo = {}

    def times_of(table):
        if table in own:
            return [int(v) for v in tables[table][own[table]]]
        if table not in memo:
            sources = [(c, t) for c, t in fks[table].items()
                       if not same_cycle(table, t) and times_of(t) is not None]
            if not sources:
                memo[table] = None
            else:
                rows = len(tables[table]["id"])
                out = [INT64_MIN] * rows
                for column, target in sources:
                    keys = {int(k): i for i, k in enumerate(tables[target]["id"])}
                    for row, value in enumerate(tables[table][column]):
                        if not np.isnan(value) and int(value) in keys:
                            out[row] = max(out[row], times_of(target)[keys[int(value)]])
                memo[table] = out
        return memo[table]

    return {t: times_of(t) for t in tables}, {
        t: [c for c, target in fks[t].items()
            if not same_cycle(t, target) and times_of(target) is not None]
        for t in untimed if times_of(t) is not None}


@pytest.mark.parametrize("seed", range(16))
def test_random_schemas_sample_no_row_later_than_the_cut_off(seed):
    rng = np.random.default_rng(seed)
    names = [f"t{i}" for i in range(int(rng.integers(2, 6)))]
    tables, fks = {}, {}
    for name in names:
        n = int(rng.integers(1, 12))
        tables[name] = {"id": rng.permutation(n) * 2 + 1, "time": rng.integers(0, 100, n)}
    own = {t: "time" for t in names if rng.random() < 0.5}
    for name in names:
        n = len(tables[name]["id"])
        fks[name] = {}
        for j in range(int(rng.integers(0, 3))):
            target = names[int(rng.integers(len(names)))]
            keys = tables[target]["id"].astype(float)
            values = rng.choice(np.concatenate([keys, [0.0, np.nan]]), n)
            tables[name][f"f{j}"] = values
            fks[name][f"f{j}"] = target
    times, sources = reference_times(tables, fks, own)
    graph = td.Graph.from_tables(tables, primary_keys={t: "id" for t in names},
                                 foreign_keys=fks, time_columns=own)
    assert graph.time_sources == {t: own.get(t) or sources[t] for t in names
                                  if times[t] is not None}
    assert {t: a.tolist() for t, a in graph.node_time.items()} == \
        {t: v for t, v in times.items() if v is not None}
    for seed_type in names:
        count = len(tables[seed_type]["id"])
        cut_off = rng.integers(0, 100, count)
        _, _, nodes, batches, num_sampled, _ = everything(graph, seed_type, range(count), cut_off)
        for table, ids in nodes.items():
            if times[table] is None:
                continue
            first = int(num_sampled[table][0])  # the seeds themselves
            for node, batch in zip(ids[first:].tolist(), batches[table][first:].tolist()):
                assert times[table][node] <= cut_off[batch], (table, node, batch)


def test_time_sources_are_saved_and_a_manifest_without_them_loads(tmp_path):
    graph = shop()
    graph.save(tmp_path / "g")
    assert td.Graph.load(tmp_path / "g").time_sources == {"orders": "day", "items": ["order_id"]}
    manifest = tmp_path / "g" / "manifest.json"
    for value, loaded in (("absent", {}), ({"orders": 3}, None)):
        content = json.loads(manifest.read_text())
        content.pop("time_sources", None)
        if value != "absent":
            content["time_sources"] = value
        manifest.write_text(json.dumps(content))
        if loaded is None:
            with pytest.raises(td.GraphFileError, match=r"'time_sources' must map node types"):
                td.Graph.load(tmp_path / "g")
        else:
            assert td.Graph.load(tmp_path / "g").time_sources == loaded


@pytest.mark.parametrize(
    "inherit_time, error, message",
    [
        ("items", TypeError, r"inherit_time must be True, False or a collection"),
        (1, TypeError, r"inherit_time must be True, False or a collection"),
        ({"lines"}, ValueError, r"inherit_time names table 'lines', which is not among"),
    ],
)
def test_bad_inherit_time_is_refused(inherit_time, error, message):
    with pytest.raises(error, match=message):
        shop(inherit_time)
