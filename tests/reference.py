"""A slow, direct Python model of the sampler, used to check the extension
value by value on random graphs.

It is written from the rules the library documents, not from the C++ code:
its own MT19937, Floyd's selection with one 32-bit draw per chosen
neighbour (two for neighbourhoods beyond 2^32), per-seed local numbering,
the check that a temporal neighbourhood is ordered by time (once per
neighbourhood and sampler), the temporal cut and the window bisections. Inputs are plain Python lists; it assumes they are valid.
"""

INT64_MIN = -(2**63)
INT64_MAX = 2**63 - 1


class MT19937:
    """The standard 32-bit Mersenne Twister, seeded the standard way."""

    def __init__(self, seed):
        self.mt = [0] * 624
        self.mt[0] = seed & 0xFFFFFFFF
        for i in range(1, 624):
            prev = self.mt[i - 1]
            self.mt[i] = (1812433253 * (prev ^ (prev >> 30)) + i) & 0xFFFFFFFF
        self.index = 624

    def _twist(self):
        mt = self.mt
        for i in range(624):
            y = (mt[i] & 0x80000000) | (mt[(i + 1) % 624] & 0x7FFFFFFF)
            mt[i] = mt[(i + 397) % 624] ^ (y >> 1) ^ (0x9908B0DF if y & 1 else 0)
        self.index = 0

    def next(self):
        if self.index >= 624:
            self._twist()
        y = self.mt[self.index]
        self.index += 1
        y ^= y >> 11
        y ^= (y << 7) & 0x9D2C5680
        y ^= (y << 15) & 0xEFC60000
        y ^= y >> 18
        return y


def clamp(value):
    return max(INT64_MIN, min(INT64_MAX, value))


def to_int64(value):
    """Reads one window offset: floats, strings and None are refused, other
    numbers go through int()."""
    if value is None or isinstance(value, (float, str, bytes)):
        raise TypeError(f"cannot read {type(value)} as an offset")
    return int(value)


def edge_key(edge_type):
    src, rel, dst = edge_type
    return f"{src}__{rel}__{dst}"


class ReferenceSampler:
    """Mirrors NeighborSampler on valid input, given plain lists.

    graph: node_types, edge_types, colptr / row as {key: list},
    node_time as {node_type: list}.
    """

    def __init__(self, node_types, edge_types, colptr, row, node_time, seed=123):
        self.node_types = list(node_types)
        self.edge_types = [tuple(et) for et in edge_types]
        self.colptr = {k: list(v) for k, v in colptr.items()}
        self.row = {k: list(v) for k, v in row.items()}
        self.node_time = {k: list(v) for k, v in node_time.items()}
        self.gen = MT19937(seed)
        # (edge type key, destination node) found ordered by time.
        self.verified = set()

    def _verify(self, key, node, times, row, start, stop):
        if (key, node) in self.verified:
            return
        for p in range(start + 1, stop):
            if times[row[p]] < times[row[p - 1]]:
                raise RuntimeError("Found invalid non-sorted temporal neighborhood")
        self.verified.add((key, node))

    def _upper_bound(self, first, last, x, times, row):
        count = last - first
        while count > 0:
            half = count // 2
            mid = first + half
            if x < times[row[mid]]:
                count = half
            else:
                first = mid + 1
                count -= half + 1
        return first

    def sample(self, num_neighbors, time_offsets, entity, seeds, seed_time):
        """num_neighbors: {key: [count per hop]}; time_offsets: {key: [(lower or
        None, upper) per hop]}; seeds and seed_time: lists."""
        hops = 0
        for et in self.edge_types:
            k = edge_key(et)
            hops = max(hops, len(num_neighbors[k]) if k in num_neighbors else len(time_offsets[k]))

        nodes = {t: [] for t in self.node_types}
        index = {t: {} for t in self.node_types}
        frontier = {t: (0, 0) for t in self.node_types}
        num_nodes = {t: [0] for t in self.node_types}
        rows = {edge_key(et): [] for et in self.edge_types}
        cols = {edge_key(et): [] for et in self.edge_types}
        num_edges = {edge_key(et): [] for et in self.edge_types}

        for i, s in enumerate(seeds):
            index[entity][(i, s)] = i
            nodes[entity].append((i, s))
        frontier[entity] = (0, len(seeds))
        num_nodes[entity][0] = len(seeds)

        if self.node_time and seed_time:
            seed_times = list(seed_time)
        elif self.node_time and entity in self.node_time:
            seed_times = [self.node_time[entity][s] for s in seeds]
        else:
            seed_times = []

        def record(key, src, p, batch, pos):
            nbr = self.row[key][p]
            pair = (batch, nbr)
            if pair not in index[src]:
                index[src][pair] = len(nodes[src])
                nodes[src].append(pair)
            num_edges[key][-1] += 1
            rows[key].append(index[src][pair])
            cols[key].append(pos)

        for hop in range(hops):
            for src, rel, dst in self.edge_types:
                key = f"{src}__{rel}__{dst}"
                begin, end = frontier[dst]
                num_edges[key].append(0)
                window = None
                count = 0
                if key in num_neighbors:
                    budget = num_neighbors[key]
                    count = budget[hop] if hop < len(budget) else 0
                else:
                    lower, upper = time_offsets[key][hop][0], None
                    lower = None if lower is None else to_int64(lower)
                    upper = to_int64(time_offsets[key][hop][1])
                    window = (lower, upper)
                temporal = bool(self.node_time) and src in self.node_time and bool(seed_times)
                colptr, row = self.colptr[key], self.row[key]
                for i in range(begin, end):
                    batch, node = nodes[dst][i]
                    start, stop = colptr[node], colptr[node + 1]
                    if window is not None:
                        if not temporal or start == stop:
                            continue
                        times = self.node_time[src]
                        t = seed_times[batch]
                        self._verify(key, node, times, row, start, stop)
                        lower, upper = window
                        first = start
                        if lower is not None:
                            first = self._upper_bound(start, stop, clamp(t + lower), times, row)
                        last = self._upper_bound(first, stop, clamp(t + upper), times, row)
                        if last - first >= 2 and times[row[first]] > times[row[last - 1]]:
                            raise RuntimeError("Found invalid non-sorted temporal neighborhood")
                        for p in range(first, last):
                            record(key, src, p, batch, i)
                    elif count == 0 or start == stop:
                        continue
                    elif temporal:
                        times = self.node_time[src]
                        t = seed_times[batch]
                        self._verify(key, node, times, row, start, stop)
                        q = self._upper_bound(start, stop, t, times, row)
                        if q - start >= 2 and times[row[start]] > times[row[q - 1]]:
                            raise RuntimeError("Found invalid non-sorted temporal neighborhood")
                        if count >= 1:
                            start = max(start, q - count)
                        for p in range(start, q):
                            record(key, src, p, batch, i)
                    else:
                        n = stop - start
                        if count < 0 or count >= n:
                            for p in range(start, stop):
                                record(key, src, p, batch, i)
                            continue
                        taken = set()
                        for j in range(n - count, n):
                            u = self.gen.next()
                            if j + 1 > 2**32:
                                u = (u << 32) | self.gen.next()
                            r = u % (j + 1)
                            c = r if r not in taken else j
                            taken.add(c)
                            record(key, src, start + c, batch, i)
            for t in self.node_types:
                old_end = frontier[t][1]
                size = len(nodes[t])
                frontier[t] = (old_end, size)
                num_nodes[t].append(size - old_end)

        return (
            rows,
            cols,
            {t: [n for _, n in nodes[t]] for t in self.node_types},
            {t: [b for b, _ in nodes[t]] for t in self.node_types},
            num_nodes,
            num_edges,
        )
