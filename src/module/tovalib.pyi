"""Per-seed neighbour sampling of heterogeneous, optionally temporal graphs.

The graph is given once, to `NeighborSampler`, in compressed sparse column
(CSC) form, one pair of arrays per edge type. `NeighborSampler.sample` then
grows one separate subgraph per seed node, hop by hop, and returns their union
as six dictionaries of int64 arrays.
"""

from collections.abc import Iterable, Mapping, Sequence
from typing import Any, type_check_only

import numpy as np
import numpy.typing as npt

_Int64Array = npt.NDArray[np.int64]

# An edge type key is source + "__" + relation + "__" + destination, for
# example "user__rates__item" for ("user", "rates", "item").
_EdgeTypeKey = str
_NodeType = str

_SampleResult = tuple[
    dict[_EdgeTypeKey, _Int64Array],  # row_dict
    dict[_EdgeTypeKey, _Int64Array],  # col_dict
    dict[_NodeType, _Int64Array],  # node_dict
    dict[_NodeType, _Int64Array],  # batch_dict
    dict[_NodeType, _Int64Array],  # num_sampled_nodes_dict
    dict[_EdgeTypeKey, _Int64Array],  # num_sampled_edges_dict
]

# The class is made by the binding library, whose classes share a metaclass
# of its own (pybind11_builtins.pybind11_type); it adds nothing for callers.
@type_check_only
class _BindingType(type): ...

class NeighborSampler(metaclass=_BindingType):
    """Samples per-seed subgraphs of one heterogeneous graph.

    Each instance serves one `sample` call at a time; calls on one instance
    from several threads wait for each other. `sample` releases the GIL while
    it samples, so threads using different instances run in parallel.

    Randomness comes from a 32-bit Mersenne Twister seeded once from `seed`
    and never reseeded: two samplers built from the same arguments and seed,
    given the same sequence of calls, return identical results, and successive
    calls on one sampler continue one random sequence. Only uniform selection
    (plain count budgets smaller than a neighbourhood) draws from it.
    """

    def __init__(
        self,
        node_types: Sequence[str],
        edge_types: Sequence[tuple[str, str, str]],
        colptr: dict[str, _Int64Array],
        row: dict[str, _Int64Array],
        node_time: Mapping[str, _Int64Array] | Iterable[tuple[str, _Int64Array]],
        seed: int = 123,
    ) -> None:
        """Builds a sampler over a graph given in CSC form.

        Args:
          node_types: the node type names, in the order in which every
            per-node-type result is filled. A sequence of `str` (not a single
            `str`); names must be distinct.
          edge_types: (source node type, relation, destination node type)
            triples, in the order in which they are sampled within a hop.
            Their keys, source + "__" + relation + "__" + destination, must be
            distinct and key every per-edge-type dictionary.
          colptr: edge type key -> 1-D int64 array of length
            (number of destination nodes + 1). The neighbours of destination
            node d are the positions colptr[d] <= p < colptr[d + 1] of `row`.
            Every edge type needs an entry.
          row: edge type key -> 1-D int64 array of source node ids, the
            neighbourhoods of the destination nodes one after the other.
            Sampling expands destination nodes and records their source
            neighbours. For temporal sampling each neighbourhood must be sorted
            by the neighbours' time, ascending.
          node_time: node type -> 1-D int64 array with one time per node of
            that type, in any unit, or {} for a graph without times. Types
            left out have no times. Anything `dict()` accepts is taken.
          seed: seed of the random generator, a 32-bit signed integer.

        Arrays are read in place: contiguous, aligned, native-order int64
        arrays (including `np.load(..., mmap_mode="r")` memory maps) are never
        copied, other int64 arrays are copied once. The sampler keeps a
        reference to every array it reads, so they stay alive as long as it
        does; writing into them while the sampler exists changes what it
        samples. Truncating a mapped file, or closing its map, while a
        sampler over it exists ends the process (SIGBUS or SIGSEGV), as it
        does for NumPy itself.

        Raises:
          RuntimeError: a key that names no edge type (or node type for
            `node_time`) ("Invalid type 'K' found in colptr."), an array that
            is not 1-D ("Type 'K' in row is not 1D.") or not int64
            ("Type 'K' in node_time must have dtype int64."); empty arrays of
            any dtype pass. A node type declared twice or two edge types with
            the same key are refused as well.
          KeyError: an edge type without an entry in `colptr` or `row`.
          TypeError: an argument of the wrong kind (e.g. `colptr` not a dict,
            `seed` a float or outside the 32-bit range, `node_time=None`).
        """

    def sample(
        self,
        num_neighbors: dict[str, _Int64Array],
        sampling_time_offsets: dict[str, Any],
        entity_table: str,
        seed_node: _Int64Array,
        seed_time: _Int64Array,
    ) -> _SampleResult:
        """Samples one subgraph per seed and returns their union.

        Every edge type takes exactly one budget, from `num_neighbors` or from
        `sampling_time_offsets`; the number of hops is the longest budget.
        Hop h expands, for every edge type in declaration order, the
        destination-type nodes added by hop h - 1 (hop 1: the seeds) and
        records neighbours of the source type. A node reached again within
        one seed's subgraph keeps its local index and is not expanded again;
        the same node reached from two seeds is two entries.

        Args:
          num_neighbors: edge type key -> 1-D int64 array, one count per hop.
            Without times (plain mode): up to k neighbours drawn uniformly
            without replacement, all of them when k < 0 or k >= the
            neighbourhood size, none when k == 0. With times (temporal mode):
            only neighbours whose time is <= the seed's time, of which the k
            most recent are taken (all for k < 0); no random draw. Hops past
            the end of a shorter array sample nothing for that edge type.
          sampling_time_offsets: edge type key -> array of shape (hops, 2)
            whose row h is (lower, upper) for hop h. In temporal mode every
            neighbour whose time t satisfies
            seed_time + lower < t <= seed_time + upper is taken: the window is
            relative to the time of the seed the node belongs to, open below
            and closed above. None as lower (use an object array) means no
            lower bound. The source node type must have node times. In plain
            mode a window records nothing.
          entity_table: the node type of the seeds.
          seed_node: 1-D int64 array of seed node ids of `entity_table`.
            Seed i has batch i and local index i; equal ids are separate seeds.
          seed_time: 1-D int64 array with one time per seed, or empty. When
            empty, the seeds' own `node_time` is used if `entity_table` has
            times; otherwise the call runs in plain mode.

        Temporal mode applies to an edge type when the sampler has node times,
        the edge type's source node type has times and there are seed times.

        Returns:
          (row_dict, col_dict, node_dict, batch_dict, num_sampled_nodes_dict,
          num_sampled_edges_dict), new contiguous 1-D int64 arrays, every
          declared node type and edge type key present:

          - node_dict[T]: global id of each sampled node of type T, in local
            index order (the seeds first for `entity_table`).
          - batch_dict[T]: index of the seed whose subgraph each node belongs
            to, aligned with node_dict[T].
          - row_dict[K], col_dict[K]: per sampled edge of K, the local index
            of its source node (into node_dict[source]) and of its expanded
            destination node (into node_dict[destination]). Both ends belong
            to the same seed. Edges are ordered by hop, then by destination.
          - num_sampled_nodes_dict[T]: hops + 1 entries: the number of seeds
            of T, then the number of nodes each hop added; they sum to
            len(node_dict[T]).
          - num_sampled_edges_dict[K]: one entry per hop, the edges recorded
            in it; they sum to len(row_dict[K]).

        Raises:
          RuntimeError: with these messages, among others:
            "Invalid type 'K' found in num_neighbors." (an unknown key),
            "Type 'K' in num_neighbors is not 1D." / "... must have dtype
            int64.", "seed_node is not 1D.", "seed_time must have dtype
            int64.", "Invalid entity table 'T'.",
            "'seed_node' and 'seed_time' size mismatch." (temporal sampler,
            non-empty `seed_time` of another length),
            "'sampling_time_offsets' and 'num_neighbors' may not contain the
            same edge type. 'K' appears in both.",
            "'sampling_time_offsets' contains 'K' but S is not included in
            'node_time'.",
            "'sampling_time_offsets' at 'K' does not have shape (N, 2).",
            "Found invalid non-sorted temporal neighborhood" (a neighbourhood
            whose first considered neighbour is later than its last), and
            messages naming a node id out of range of `colptr` or
            `node_time`, or a `colptr` range outside `row`.
            A window element that the integer conversion refuses (a Python
            float or NumPy float64, a string, an integer outside int64) fails
            with "Unable to cast Python instance of type ..."; float32 and
            float16 elements are truncated toward zero.
          KeyError: an edge type with no budget in either dictionary.
          IndexError: an edge type whose destination node type was not
            declared.
          TypeError: an argument of the wrong kind (e.g. a list as
            `seed_node`).

        A failed call leaves nothing behind; the next call starts clean.
        """
