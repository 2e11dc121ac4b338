"""One sampled mini-batch, and its conversion to PyTorch and PyTorch Geometric."""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any

import numpy as np
import numpy.typing as npt

from tovalib_data._optional import require
from tovalib_data.features.frames import Frame, attach_frames

if TYPE_CHECKING:  # torch is an optional extra; without it the tensors are Any
    import torch  # type: ignore[import-not-found, unused-ignore]

Int64Array = npt.NDArray[np.int64]
Float32Array = npt.NDArray[np.float32]


def _integers(values: Any, name: str) -> npt.NDArray[Any]:
    """`values` as a 1-D integer array, in its own dtype (never copied when
    it is one already)."""
    array = np.asarray(values)
    if array.ndim != 1 or not (array.dtype.kind in "iu" or array.size == 0):
        raise ValueError(f"targets: {name} must be a 1-D array of integers, got "
                         f"{array.dtype} of shape {array.shape}")
    return array


def _int64(values: npt.NDArray[Any], name: str) -> Int64Array:
    """Values read from `name` as int64; uint64 ones beyond int64 refused."""
    if values.dtype == np.uint64 and values.size and values.max() > np.iinfo(np.int64).max:
        raise ValueError(f"targets: {name} holds values beyond the int64 range")
    return values.astype(np.int64)


@dataclass(frozen=True)
class Batch:
    """The sampled subgraphs of one batch of seeds.

    `entity_table` is the seeds' node type. The next six fields are the
    sampler's results (see the README's "Results"): per edge type key
    `row_dict`, `col_dict` (local source and destination indices) and
    `num_sampled_edges_dict` (per hop); per node type `node_dict` (global
    ids), `batch_dict` (each node's seed) and `num_sampled_nodes_dict`
    (seeds, then per hop). `seed_node` and `seed_time` are what was sampled from
    (`seed_time` is None when the loader had no seed times); `seed_index`
    is each seed's position in the loader's seed array, for looking up
    labels. `x_dict` holds the graph's feature rows and `time_dict` the
    node times of the sampled nodes, per node type that has them.
    `edge_types` maps each key of `row_dict` to the graph's (src, rel, dst)
    triple (keys are never split to recover it). `num_rows` holds the
    graph's number of rows per node type (the range of its global ids).
    """

    entity_table: str
    row_dict: dict[str, Int64Array]
    col_dict: dict[str, Int64Array]
    node_dict: dict[str, Int64Array]
    batch_dict: dict[str, Int64Array]
    num_sampled_nodes_dict: dict[str, Int64Array]
    num_sampled_edges_dict: dict[str, Int64Array]
    seed_node: Int64Array
    seed_time: Int64Array | None
    seed_index: Int64Array
    x_dict: dict[str, Float32Array] = field(default_factory=dict)
    time_dict: dict[str, Int64Array] = field(default_factory=dict)
    edge_types: dict[str, tuple[str, str, str]] = field(default_factory=dict)
    num_rows: dict[str, int] = field(default_factory=dict)
    # Per node type with typed features, the sampled nodes' rows of them.
    frame_dict: dict[str, Frame] = field(default_factory=dict)

    @property
    def batch_size(self) -> int:
        """The number of seeds (the first nodes of `entity_table`)."""
        return len(self.seed_node)

    def targets(self, node_type: str, indptr: Any, indices: Any) -> npt.NDArray[np.bool_]:
        """Per node of `node_dict[node_type]`, whether its global id is among
        the targets of the seed whose subgraph it belongs to.

        The targets are given per position in the loader's seeds, in CSR
        form: those of position p are `indices[indptr[p]:indptr[p + 1]]`
        (global ids of `node_type`, each below its number of rows), so
        `indptr` has one entry per seed position plus one. Only the slices
        of this batch's seeds are read and checked (besides `indptr`'s
        first and last entry), so the same arrays serve every batch at the
        cost of its own slices; any integer dtype is read as it is.
        """
        if node_type not in self.node_dict:
            raise ValueError(f"targets: unknown node type {node_type!r}; "
                             f"node types: {list(self.node_dict)}")
        # Only the batch's slices are read, converted and checked: a call
        # costs time in the batch, not in the loader's seeds.
        ptr, ids = _integers(indptr, "indptr"), _integers(indices, "indices")
        positions = int(self.seed_index.max(initial=-1)) + 1
        if len(ptr) < positions + 1:
            raise ValueError(f"targets: indptr has {len(ptr)} entries, but this batch holds "
                             f"seed position {positions - 1}; give one entry per position in "
                             "the loader's seeds, plus one")
        start = _int64(ptr[self.seed_index], "indptr")
        stop = _int64(ptr[self.seed_index + 1], "indptr")
        if (ptr[0] != 0 or ptr[-1] != len(ids)
                or ((start < 0) | (stop < start) | (stop > len(ids))).any()):
            raise ValueError(f"targets: indptr must start at 0, never decrease and end at "
                             f"len(indices) = {len(ids)}")
        # The targets of each seed of this batch, as (seed, id) pairs.
        lengths = stop - start
        owner = np.repeat(np.arange(len(lengths), dtype=np.int64), lengths)
        offsets = np.arange(int(lengths.sum()), dtype=np.int64) - np.repeat(
            np.cumsum(lengths) - lengths, lengths)
        wanted = _int64(ids[np.repeat(start, lengths) + offsets], "indices")
        rows = self.num_rows.get(node_type)
        bad = wanted < 0
        if rows is not None:
            bad |= wanted >= rows
        if bad.any():
            allowed = ">= 0" if rows is None else f"in [0, {rows})"
            raise ValueError(f"targets: indices must be ids of {node_type!r} rows, {allowed}")
        nodes, seed_of = self.node_dict[node_type], self.batch_dict[node_type]
        if not len(wanted) or not len(nodes):
            return np.zeros(len(nodes), dtype=bool)
        # One int64 key per pair: seed * span + id, with ids ranked densely
        # first when the plain product could overflow.
        span = int(max(wanted.max(), nodes.max())) + 1
        if span * max(len(lengths), 1) >= 2**62:
            _, dense = np.unique(np.concatenate([wanted, nodes]), return_inverse=True)
            wanted, nodes, span = dense[: len(wanted)], dense[len(wanted):], len(dense)
        return np.isin(seed_of * span + nodes, owner * span + wanted)

    def to_torch(self) -> TorchBatch:
        """The same arrays as torch tensors sharing their memory (needs
        torch: `tovalib[torch]`)."""
        tensor = require("torch").from_numpy

        def convert(d: dict[str, Any]) -> dict[str, torch.Tensor]:
            return {k: tensor(v) for k, v in d.items()}

        return TorchBatch(
            entity_table=self.entity_table,
            row_dict=convert(self.row_dict),
            col_dict=convert(self.col_dict),
            node_dict=convert(self.node_dict),
            batch_dict=convert(self.batch_dict),
            num_sampled_nodes_dict=convert(self.num_sampled_nodes_dict),
            num_sampled_edges_dict=convert(self.num_sampled_edges_dict),
            seed_node=tensor(self.seed_node),
            seed_time=None if self.seed_time is None else tensor(self.seed_time),
            seed_index=tensor(self.seed_index),
            x_dict=convert(self.x_dict),
            time_dict=convert(self.time_dict),
            edge_types=dict(self.edge_types),
            num_rows=dict(self.num_rows),
        )

    def to_pyg(self) -> Any:
        """A `torch_geometric.data.HeteroData` in the layout of PyG's loaders
        (needs `tovalib[pyg]`).

        Per node type: `num_nodes`, `n_id`, `batch`, `num_sampled_nodes`
        (seeds, then per hop), and `x` and `time` where the graph has them;
        with typed features (`features` of `from_tables`), `tf`, a PyTorch
        Frame TensorFrame of the nodes' rows in `n_id` order (needs
        `tovalib[frame]`), so that `data.tf_dict` is what a model's
        per-type encoders take.
        A type without features has no `x`; give it a learned embedding
        indexed by `n_id` (the nodes' ids in the graph), as the training
        examples do. Per edge type
        (as a triple): `edge_index` = [row; col] and `num_sampled_edges`
        (per hop); both lists are what `torch_geometric.utils.trim_to_layer`
        reads. The seeds' node type also holds `batch_size`, `input_id`
        (`seed_index`) and `seed_time`; its first `batch_size` nodes are
        the seeds. Only `edge_index` is a copy; every other tensor shares
        the batch's memory.
        """
        torch = require("torch", "pyg")
        hetero_data = require("torch_geometric.data", "pyg").HeteroData
        tensor = torch.from_numpy
        data = hetero_data()
        for node_type, ids in self.node_dict.items():
            store = data[node_type]
            store.num_nodes = len(ids)  # also for types without x
            store.n_id = tensor(ids)
            store.batch = tensor(self.batch_dict[node_type])
            store.num_sampled_nodes = self.num_sampled_nodes_dict[node_type].tolist()
            if node_type in self.x_dict:
                store.x = tensor(self.x_dict[node_type])
            if node_type in self.time_dict:
                store.time = tensor(self.time_dict[node_type])
        for key, row in self.row_dict.items():
            if key not in self.edge_types:
                raise ValueError(f"edge type key {key!r} has no (src, rel, dst) triple in "
                                 "edge_types")
            store = data[self.edge_types[key]]
            store.edge_index = tensor(np.stack([row, self.col_dict[key]]))
            store.num_sampled_edges = self.num_sampled_edges_dict[key].tolist()
        attach_frames(data, self.frame_dict)
        seeds = data[self.entity_table]
        seeds.batch_size = self.batch_size
        seeds.input_id = tensor(self.seed_index)
        if self.seed_time is not None:
            seeds.seed_time = tensor(self.seed_time)
        return data


@dataclass(frozen=True)
class TorchBatch:
    """`Batch` with torch tensors in place of the NumPy arrays (the same
    fields; `edge_types` stays a dict of triples)."""

    entity_table: str
    row_dict: dict[str, torch.Tensor]
    col_dict: dict[str, torch.Tensor]
    node_dict: dict[str, torch.Tensor]
    batch_dict: dict[str, torch.Tensor]
    num_sampled_nodes_dict: dict[str, torch.Tensor]
    num_sampled_edges_dict: dict[str, torch.Tensor]
    seed_node: torch.Tensor
    seed_time: torch.Tensor | None
    seed_index: torch.Tensor
    x_dict: dict[str, torch.Tensor]
    time_dict: dict[str, torch.Tensor]
    edge_types: dict[str, tuple[str, str, str]]
    num_rows: dict[str, int]
