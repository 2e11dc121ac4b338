"""Writes the seed inputs of fuzz/corpus/: a few well-formed graphs and
requests in the byte layout that fuzz_engine.cpp reads, one per sampling
path, for the fuzzer to mutate from.

    python fuzz/make_corpus.py
"""

import pathlib


def v(x):
    """A value: small ones in one byte, anything else after the 0xff escape."""
    if -2 <= x <= 17:
        return [x + 2]
    return [0xFF] + list((x & (2**64 - 1)).to_bytes(8, "big"))


def arr(length_byte, values):
    return [length_byte] + [b for x in values for b in v(x)]


def graph(types, edges, arrays, times):
    """edges: (src, dst) index pairs; arrays: (colptr, row) per edge, or a
    raw shape byte list; times: per type None or a list of times."""
    out = [types - 1, len(edges)]
    for s, d in edges:
        out += [s, d]
    for a in arrays:
        if isinstance(a, tuple):
            colptr, row = a
            out += arr(len(colptr), colptr) + arr(len(row), row)
        else:
            out += a
    for t in times:
        out += [0] if t is None else arr((len(t) << 1) | 1, t)
    return out


def request(entity, seeds, seed_times, budgets, stop=0, seed=5):
    out = [entity] + arr(len(seeds), seeds)
    out += [0] if seed_times is None else [1] + [b for x in seed_times for b in v(x)]
    out += [len(budgets)]
    for hop in budgets:
        for kind, *vals in hop:
            if kind == "count":
                out += [2] + v(vals[0])
            elif kind == "wide":
                out += [0x82, vals[0]]
            elif kind == "upper":
                out += [0] + v(vals[0])
            else:
                out += [1] + v(vals[0]) + v(vals[1])
    return out + [stop] + v(seed)


PATH = graph(2, [(0, 1), (1, 0)], [([0, 2, 3, 3], [0, 1, 2]), ([0, 1, 3, 4], [1, 0, 2, 0])],
             [None, None])
TIMED = graph(2, [(0, 1), (1, 0)], [([0, 2, 3, 3], [0, 1, 2]), ([0, 1, 3, 4], [1, 0, 2, 0])],
              [[1, 4, 9], [3, 6, 12]])
LOOP = graph(1, [(0, 0)], [([0, 2, 4, 5], [1, 2, 0, 2, 1])], [None])

SEEDS = {
    "plain_counts": PATH + request(1, [0, 1, 1], None, [[("count", 1), ("count", -1)]] * 2),
    "plain_random": LOOP + request(0, [0, 1, 2], None, [[("count", 1)], [("count", 1)]]),
    "temporal_counts": TIMED + request(1, [0, 2], [10, 5], [[("count", 1), ("count", -1)]] * 2),
    "temporal_windows": TIMED
    + request(1, [0, 1], None, [[("window", -9, 0), ("upper", 2)], [("window", -2, 5), ("count", 2)]]),
    "extremes": TIMED
    + request(1, [0], [2**63 - 1], [[("window", -(2**63), 2**63 - 1), ("count", -(2**63))]]),
    "stopped": PATH + request(1, [0], None, [[("count", -1), ("count", -1)]] * 2, stop=0x13),
    "large_neighbourhood": graph(2, [(0, 1)], [[0xF2, 6]], [None, None])
    + request(1, [0, 0], None, [[("wide", 2)]]),
    "huge_neighbourhood": graph(2, [(0, 1)], [[0xF3, 3]], [None, None])
    + request(1, [0], None, [[("wide", 1)]]),
    "bad_colptr": graph(2, [(0, 1)], [([0, 3, 1], [0, 1, 0])], [None, None])
    + request(1, [1, 0], None, [[("count", -1)]]),
}

if __name__ == "__main__":
    out = pathlib.Path(__file__).with_name("corpus")
    out.mkdir(exist_ok=True)
    for name, data in SEEDS.items():
        (out / name).write_bytes(bytes(data))
