"""What a loader's passes and workers run: a plan that makes batch `i` of
an epoch, and the pieces plans share (samplers kept for reuse, one sampled
subgraph as a `Batch`).

A plan is shared with the worker threads, which hold no reference to the
loader or its pass; it must make the same batch for the same `Step` in any
thread, in any order, with or without a sampler handed to it.
"""

from __future__ import annotations

import queue
from collections.abc import Mapping
from typing import Any, Protocol, TypeVar

import numpy as np
import numpy.typing as npt

import tovalib
from tovalib_data.loading.arguments import edge_type_keys
from tovalib_data.loading.batch import Batch
from tovalib_data.features.frames import gather_frames
from tovalib_data.graph import Graph
from tovalib_data.loading.order import Step

Int64Array = npt.NDArray[np.int64]
ItemT_co = TypeVar("ItemT_co", covariant=True)


class Plan(Protocol[ItemT_co]):
    """Makes the batches of an epoch (a `Batch`, or whatever a loader yields)."""

    def batch(self, step: Step, sampler: tovalib.NeighborSampler | None) -> ItemT_co:
        """The batch of `step`. `sampler` is one from `acquire_sampler`, or
        None: then the batch samples with samplers seeded from the step's
        (epoch, global_index), of its own."""
        ...

    def acquire_sampler(self) -> tovalib.NeighborSampler | None:
        """A sampler a thread may pass to `batch` for all its steps, or None."""
        ...

    def release_sampler(self, sampler: tovalib.NeighborSampler | None) -> None:
        """Give back what `acquire_sampler` returned."""
        ...


def draws_nothing(graph: Graph, entity_table: str, timed_seeds: bool,
                  num_neighbors: Mapping[str, Int64Array]) -> bool:
    """Whether sampling from `entity_table` draws no random number: every
    count budget is temporal (the source type and the seeds have times) or
    takes all neighbours, and windows are deterministic anyway."""
    times = graph.node_time
    if not times or (not timed_seeds and entity_table not in times):
        return False
    keys = edge_type_keys(graph)
    return not any(keys[key][0] not in times and (counts > 0).any()
                   for key, counts in num_neighbors.items())


class SamplerPool:
    """Samplers over `graph` not in use by a thread right now, when sampling
    draws no random number (`reusable`): a sampler's state then does not
    affect its results, and reusing one saves checking the time order of the
    same neighbourhoods again for every batch. Kept across passes, so that
    the neighbourhoods a sampler has checked stay checked."""

    def __init__(self, graph: Graph, reusable: bool) -> None:
        self.graph, self.reusable = graph, reusable
        self._idle: queue.SimpleQueue[tovalib.NeighborSampler] = queue.SimpleQueue()

    def acquire(self) -> tovalib.NeighborSampler | None:
        """A reusable sampler, or None when sampling draws at random."""
        if not self.reusable:
            return None
        try:
            return self._idle.get_nowait()
        except queue.Empty:
            return self.graph.sampler(0)

    def release(self, sampler: tovalib.NeighborSampler | None) -> None:
        if sampler is not None:
            self._idle.put(sampler)


def subgraph(graph: Graph, sampler: tovalib.NeighborSampler, entity_table: str,
             num_neighbors: dict[str, Int64Array], time_windows: dict[str, npt.NDArray[Any]],
             nodes: Int64Array, times: Int64Array | None, positions: Int64Array,
             gather: bool) -> Batch:
    """The subgraphs of `nodes` of `entity_table` (at `times`, if given) as a
    Batch whose `seed_index` is `positions`; with `gather`, the feature rows
    and node times of the sampled nodes too."""
    result = sampler.sample(num_neighbors, time_windows, entity_table,
                            nodes, np.empty(0, np.int64) if times is None else times)
    node_dict = result[2]
    edge_types = edge_type_keys(graph)
    if not gather:
        return Batch(entity_table, *result, seed_node=nodes, seed_time=times,
                     seed_index=positions, edge_types=edge_types,
                     num_rows=dict(graph.num_nodes))
    return Batch(
        entity_table, *result, seed_node=nodes, seed_time=times, seed_index=positions,
        edge_types=edge_types, num_rows=dict(graph.num_nodes),
        x_dict={t: np.take(x, node_dict[t], axis=0) for t, x in graph.x.items()},
        time_dict={t: np.take(tm, node_dict[t]) for t, tm in graph.node_time.items()},
        frame_dict=gather_frames(graph.features, node_dict),
    )
