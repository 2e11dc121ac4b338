"""Writes the seed inputs of fuzz/corpus/: graphs and request sequences in
the byte layout that fuzz_engine.cpp reads, one per sampling path or
defect, for the fuzzer to mutate from. Small hand-made graphs cover the
edge cases of single neighbourhoods; generated ones give frontiers of
hundreds of entries and per-seed tables that grow.

    python fuzz/make_corpus.py
"""

import pathlib


def v(x):
    """A value: small ones in one byte, anything else after the 0xff escape."""
    if -2 <= x <= 17:
        return [x + 2]
    return [0xFF] + list((x & (2**64 - 1)).to_bytes(8, "big"))


def word(x):
    return [x & 0xFF, x >> 8]


def arr(length_byte, values):
    return [length_byte] + [b for x in values for b in v(x)]


def raw_type(times):
    """A node type with a few hand-made times (None: no times)."""
    return [0] if times is None else arr((len(times) << 1) | 1, times)


def gen_type(size, mode=0, timed=True, short=0, salt=1):
    """A generated node type of `size` nodes; times by mode: 0 scattered,
    1 rising with the id, 2 few distinct, 3 near the int64 limits; `short`
    (1 to 3) leaves the last entries without a time."""
    b = 0x80 | (mode << 1) | int(timed)
    if short:
        b |= 0x08 | ((short - 1) << 4)
    return [b] + word(size - 1) + [salt]


def raw_edges(colptr, row):
    return arr(len(colptr), colptr) + arr(len(row), row)


def gen_edges(max_degree, salt=3, defect=0, where=0):
    """Generated neighbourhoods of up to max_degree entries, sorted by time;
    defect: 1 reversed, 2 inner pair swapped, 3 id out of range, 4 bad range,
    5 colptr short, 6 row short, 7 sorted by id (all at node `where`; 2 | 8
    swaps in every node)."""
    return [0xC0, max_degree, salt, defect] + word(where)


def huge_edges(size_index, ids):
    return [0xF0 | size_index, ids - 1]


def graph(types, edges, arrays):
    """types: per node type its bytes; edges: (src, dst) index pairs;
    arrays: per edge type its bytes."""
    out = [len(types) - 1, len(edges)]
    for s, d in edges:
        out += [s, d]
    for t in types:
        out += t
    for a in arrays:
        out += a
    return out


def budgets(hops):
    out = [len(hops)]
    for hop in hops:
        for kind, *vals in hop:
            if kind == "count":
                out += [2] + v(vals[0])
            elif kind == "wide":
                out += [0x80, vals[0]]
            elif kind == "upper":
                out += [0] + v(vals[0])
            else:
                out += [1] + v(vals[0]) + v(vals[1])
    return out


def request(entity, seeds, seed_times, hops, stop=0):
    """seeds: a list of ids, or ("gen", count, start, step, past_end);
    seed_times: None, a list, or ("gen", base, span_byte)."""
    out = [entity]
    if isinstance(seeds, tuple):
        _, count, start, step, past_end = seeds
        out += [0x80 | (0x40 if past_end else 0)] + word(count) + v(start) + [step - 1]
    else:
        out += arr(len(seeds), seeds)
    if seed_times is None:
        out += [0]
    elif isinstance(seed_times, tuple):
        _, base, span = seed_times
        out += [3] + v(base) + [span]
    else:
        out += [1] + [b for x in seed_times for b in v(x)]
    return out + budgets(hops) + [stop]


def calls(seed, *requests):
    return v(seed) + [len(requests) - 1] + [b for r in requests for b in r]


PATH = graph([raw_type(None), raw_type(None)], [(0, 1), (1, 0)],
             [raw_edges([0, 2, 3, 3], [0, 1, 2]), raw_edges([0, 1, 3, 4], [1, 0, 2, 0])])
TIMED = graph([raw_type([1, 4, 9]), raw_type([3, 6, 12])], [(0, 1), (1, 0)],
              [raw_edges([0, 2, 3, 3], [0, 1, 2]), raw_edges([0, 1, 3, 4], [1, 0, 2, 0])])
LOOP = graph([raw_type(None)], [(0, 0)], [raw_edges([0, 2, 4, 5], [1, 2, 0, 2, 1])])


def big(defect=0, where=0, mode=0, timed=True, degree=8):
    """Two generated types of 300 and 200 nodes, edges both ways; the defect
    is in the edge type that the seeds (type 0) expand first."""
    return graph([gen_type(300, mode, timed), gen_type(200, mode, timed, salt=2)],
                 [(1, 0), (0, 1)],
                 [gen_edges(degree, 3, defect, where), gen_edges(degree, 4)])


MANY = ("gen", 300, 0, 1, False)  # seeds 0..299: ten chunks

SEEDS = {
    "plain_counts": PATH
    + calls(5, request(1, [0, 1, 1], None, [[("count", 1), ("count", -1)]] * 2)),
    "plain_random": LOOP + calls(5, request(0, [0, 1, 2], None, [[("count", 1)], [("count", 1)]])),
    "temporal_counts": TIMED
    + calls(5, request(1, [0, 2], [10, 5], [[("count", 1), ("count", -1)]] * 2)),
    "temporal_windows": TIMED
    + calls(5, request(1, [0, 1], None,
                       [[("window", -9, 0), ("upper", 2)], [("window", -2, 5), ("count", 2)]])),
    "extremes": TIMED
    + calls(5, request(1, [0], [2**63 - 1],
                       [[("window", -(2**63), 2**63 - 1), ("count", -(2**63))]])),
    "stopped": PATH
    + calls(5, request(1, [0], None, [[("count", -1), ("count", -1)]] * 2, stop=0x13),
            request(1, [0, 1], None, [[("count", 1), ("count", 1)]])),
    "large_neighbourhood": graph([raw_type(None), raw_type(None)], [(0, 1)], [huge_edges(2, 7)])
    + calls(5, request(1, [0, 0], None, [[("wide", 2)]])),
    "huge_neighbourhood": graph([raw_type(None), raw_type(None)], [(0, 1)], [huge_edges(3, 4)])
    + calls(5, request(1, [0, 0], None, [[("wide", 255)]])),
    "bad_colptr": graph([raw_type(None), raw_type(None)], [(0, 1)],
                        [raw_edges([0, 3, 1], [0, 1, 0])])
    + calls(5, request(1, [1, 0], None, [[("count", -1)]])),
    # Hundreds of seeds, three hops of random picks: many chunks per hop.
    "big_plain": big(timed=False)
    + calls(7, request(0, MANY, None, [[("count", 3), ("count", 2)]] * 3),
            request(1, ("gen", 40, 5, 3, False), None, [[("count", -1), ("count", 5)]] * 2)),
    "big_temporal": big()
    + calls(7, request(0, MANY, ("gen", 400, 120), [[("count", 4), ("window", -300, 0)]] * 2),
            request(1, ("gen", 200, 0, 1, False), None, [[("upper", 0), ("count", -1)]] * 2)),
    # One seed reaching dozens of nodes: its table grows past 16 slots.
    "growing_tables": graph([gen_type(150, timed=False)], [(0, 0)], [gen_edges(30, 9)])
    + calls(3, request(0, [1], None, [[("count", -1)], [("count", 20)]]),
            request(0, ("gen", 64, 0, 2, False), None, [[("count", -1)], [("count", -1)]])),
    # Defects at a node that only a late chunk expands.
    "late_inner_disorder": big(defect=2, where=250)
    + calls(7, request(0, MANY, ("gen", 1200, 0), [[("count", -1), ("count", 2)]] * 2),
            request(0, MANY, ("gen", 1200, 0), [[("count", 2), ("count", 2)]])),
    "late_reversed": big(defect=1, where=260, mode=1)
    + calls(7, request(0, MANY, None, [[("window", -50, 0), ("count", 1)]]),
            request(0, MANY, None, [[("upper", 5), ("count", 1)]])),
    # A failure in a late chunk after a big first hop, then calls that
    # avoid the defect: they must not see the failed call's scratch.
    "late_bad_id": big(defect=3, where=270)
    + calls(7, request(0, MANY, None, [[("count", -1), ("count", 1)]] * 2),
            request(1, ("gen", 150, 0, 1, False), None, [[("count", 3), ("count", 3)]])),
    "late_bad_range": big(defect=4, where=280, timed=False)
    + calls(7, request(0, MANY, None, [[("count", 2), ("count", 1)]] * 2),
            request(0, ("gen", 250, 0, 1, False), None, [[("count", 5), ("count", 5)]]),
            request(0, [3], None, [[("count", -1), ("count", -1)]] * 3)),
    "short_colptr": big(defect=5, where=290, timed=False)
    + calls(7, request(0, MANY, None, [[("count", 3), ("count", 3)]] * 2)),
    "sorted_by_id": big(defect=7)
    + calls(7, request(0, ("gen", 100, 0, 3, True), ("gen", 600, 255),
                       [[("count", 2), ("count", 2)]])),
    # Two edge types into one destination type: verifying one edge type's
    # neighbourhood of a node says nothing about the other's.
    "two_relations": graph([gen_type(300), gen_type(200, salt=2)], [(1, 0), (1, 0)],
                           [gen_edges(8, 3), gen_edges(8, 5, defect=2 | 8)])
    + calls(7, request(0, MANY, ("gen", 800, 0), [[("count", 2), ("count", 2)]]),
            request(0, ("gen", 50, 0, 1, False), ("gen", 800, 0), [[("count", 2), ("count", 2)]])),
    "short_times": graph([gen_type(300, short=2), gen_type(200, salt=2)], [(0, 1), (1, 0)],
                         [gen_edges(6, 3), gen_edges(6, 4)])
    + calls(7, request(0, MANY, ("gen", 900, 200), [[("count", -1), ("count", -1)]] * 2)),
}

if __name__ == "__main__":
    out = pathlib.Path(__file__).with_name("corpus")
    out.mkdir(exist_ok=True)
    for old in out.iterdir():
        old.unlink()
    for name, data in SEEDS.items():
        (out / name).write_bytes(bytes(data))
