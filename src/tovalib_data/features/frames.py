"""Encoded feature columns as NumPy arrays, and batches of them as PyTorch
Frame `TensorFrame`s.

A node type's features (`NodeFeatures`) are stored in the layout of a
TensorFrame's `feat_dict`, one entry per PyTorch Frame type:

| part                       | dtype   | shape                                  |
|----------------------------|---------|----------------------------------------|
| numerical                  | float32 | (rows, columns), NaN for null          |
| categorical                | int64   | (rows, columns), -1 for null/unknown   |
| timestamp                  | int64   | (rows, columns, 7): year, month - 1,   |
|                            |         | day - 1, weekday, hour, minute, second |
| multicategorical.values    | int64   | (cells' categories,)                   |
| multicategorical.offset    | int64   | (rows * columns + 1,)                  |
| embedding.values           | float32 | (rows, total width of the columns)     |
| embedding.offset           | int64   | (columns + 1,): each column's start    |

(text_embedded columns are embedding columns there, as PyTorch Frame
merges them.) Nothing here needs torch until a TensorFrame is made.
"""

from __future__ import annotations

from collections.abc import Mapping
from dataclasses import dataclass
from typing import Any

import numpy as np
import numpy.typing as npt

from tovalib_data._optional import require

AnyArray = npt.NDArray[Any]
Int64Array = npt.NDArray[np.int64]

# Per part: its dtype and number of dimensions.
PARTS = {
    "numerical": ("<f4", 2),
    "categorical": ("<i8", 2),
    "timestamp": ("<i8", 3),
    "multicategorical.values": ("<i8", 1),
    "multicategorical.offset": ("<i8", 1),
    "embedding.values": ("<f4", 2),
    "embedding.offset": ("<i8", 1),
}
TIMESTAMP_FIELDS = 7


@dataclass(frozen=True)
class NodeFeatures:
    """The typed features of one node type.

    - `stypes`: column -> the type it was given ("text_embedded" included);
    - `col_names`: TensorFrame type name -> its columns, in feat_dict order;
    - `stats`: column -> {StatType name: value}, plain JSON (see
      `encode.stats_json`);
    - `arrays`: part -> array (see the module docstring).
    """

    stypes: dict[str, str]
    col_names: dict[str, list[str]]
    stats: dict[str, dict[str, Any]]
    arrays: dict[str, AnyArray]


def check_features(features: NodeFeatures, rows: int, where: str,
                   error: type[ValueError] = ValueError) -> None:
    """Raises `error` naming the part unless the arrays have the layout of
    the module docstring for `rows` rows and the columns of `col_names`."""
    expected: set[str] = set()
    for stype, names in features.col_names.items():
        if not isinstance(names, list) or not names or not all(isinstance(c, str) for c in names):
            raise error(f"{where}: columns of {stype!r} must be a non-empty list of names")
        if stype in ("multicategorical", "embedding"):
            expected |= {f"{stype}.values", f"{stype}.offset"}
        elif stype in PARTS:
            expected.add(stype)
        else:
            raise error(f"{where}: unknown column type {stype!r}")
    if set(features.arrays) != expected:
        raise error(f"{where}: arrays {sorted(features.arrays)} do not match the column "
                    f"types, which need {sorted(expected)}")
    for part, array in features.arrays.items():
        dtype, ndim = PARTS[part]
        shape = np.shape(array)
        if np.dtype(getattr(array, "dtype", None)) != np.dtype(dtype) or len(shape) != ndim:
            raise error(f"{where}: {part} must be a {ndim}-D {np.dtype(dtype)} array, got "
                        f"{getattr(array, 'dtype', type(array).__name__)} of shape {shape}")
        stype = part.split(".")[0]
        columns = len(features.col_names[stype])
        wanted = {
            "numerical": (rows, columns), "categorical": (rows, columns),
            "timestamp": (rows, columns, TIMESTAMP_FIELDS),
            "multicategorical.offset": (rows * columns + 1,),
            "embedding.offset": (columns + 1,),
        }.get(part)
        if part == "embedding.values" and shape[0] != rows:
            wanted = (rows, -1)
        if wanted is not None and shape != wanted:
            raise error(f"{where}: {part} has shape {shape}, expected {wanted}")
    for stype in ("multicategorical", "embedding"):
        if stype not in features.col_names:
            continue
        offset = features.arrays[f"{stype}.offset"]
        end = len(features.arrays[f"{stype}.values"]) if stype == "multicategorical" else \
            features.arrays["embedding.values"].shape[1]
        if int(offset[0]) != 0 or int(offset[-1]) != end:
            raise error(f"{where}: {stype}.offset must run from 0 to {end}")


def gather(features: NodeFeatures, ids: Int64Array) -> dict[str, AnyArray]:
    """The arrays of the rows `ids`, in that order (copies)."""
    out: dict[str, AnyArray] = {}
    for part, array in features.arrays.items():
        if part == "embedding.offset":
            out[part] = np.array(array)
        elif part == "multicategorical.offset":
            continue
        elif part == "multicategorical.values":
            columns = len(features.col_names["multicategorical"])
            out[part], out["multicategorical.offset"] = _ragged_take(
                array, features.arrays["multicategorical.offset"], ids, columns)
        else:
            out[part] = np.take(array, ids, axis=0)
    return out


def _ragged_take(values: AnyArray, offset: AnyArray, ids: Int64Array,
                 columns: int) -> tuple[AnyArray, Int64Array]:
    """The cells of rows `ids` of a (rows, columns) ragged array stored as
    values and offsets: their values and the new offsets."""
    cells = (np.asarray(ids, dtype=np.int64)[:, None] * columns
             + np.arange(columns, dtype=np.int64)).reshape(-1)
    starts = np.asarray(offset[cells], dtype=np.int64)
    lengths = np.asarray(offset[cells + 1], dtype=np.int64) - starts
    new_offset = np.zeros(len(cells) + 1, dtype=np.int64)
    np.cumsum(lengths, out=new_offset[1:])
    positions = np.repeat(starts - new_offset[:-1], lengths) + np.arange(int(new_offset[-1]),
                                                                         dtype=np.int64)
    return np.take(values, positions), new_offset


@dataclass(frozen=True)
class Frame:
    """A batch's rows of one node type's features, gathered (see `gather`)."""

    col_names: dict[str, list[str]]
    arrays: dict[str, AnyArray]
    num_rows: int


def gather_frames(features: Mapping[str, NodeFeatures],
                  node_dict: Mapping[str, Int64Array]) -> dict[str, Frame]:
    """Per node type with features, the rows of its sampled nodes."""
    return {t: Frame(f.col_names, gather(f, node_dict[t]), len(node_dict[t]))
            for t, f in features.items() if t in node_dict}


def tensor_frame(frame: Frame) -> Any:
    """A PyTorch Frame TensorFrame of the gathered rows (tensors share the
    arrays' memory)."""
    torch_frame = require("torch_frame", "frame")
    torch = require("torch", "frame")
    data = require("torch_frame.data", "frame")
    feat_dict: dict[Any, Any] = {}
    col_names: dict[Any, list[str]] = {}
    for name, columns in frame.col_names.items():
        stype = torch_frame.stype(name)
        col_names[stype] = list(columns)
        if name == "multicategorical":
            feat_dict[stype] = data.MultiNestedTensor(
                num_rows=frame.num_rows, num_cols=len(columns),
                values=torch.from_numpy(frame.arrays[f"{name}.values"]),
                offset=torch.from_numpy(frame.arrays[f"{name}.offset"]))
        elif name == "embedding":
            feat_dict[stype] = data.MultiEmbeddingTensor(
                num_rows=frame.num_rows, num_cols=len(columns),
                values=torch.from_numpy(frame.arrays[f"{name}.values"]),
                offset=torch.from_numpy(frame.arrays[f"{name}.offset"]))
        else:
            feat_dict[stype] = torch.from_numpy(frame.arrays[name])
    return torch_frame.TensorFrame(feat_dict, col_names, num_rows=frame.num_rows)


def attach_frames(data: Any, frames: Mapping[str, Frame]) -> None:
    """Sets `tf` of each node type of the HeteroData `data` that has a frame."""
    for node_type, frame in frames.items():
        data[node_type].tf = tensor_frame(frame)


def col_names_dict(features: Mapping[str, NodeFeatures]) -> dict[str, dict[Any, list[str]]]:
    """Node type -> {torch_frame.stype: columns}, as PyTorch Frame's
    encoders and RelBench's HeteroEncoder take it."""
    stype = require("torch_frame", "frame").stype
    return {t: {stype(s): list(c) for s, c in f.col_names.items()} for t, f in features.items()}


def col_stats(features: Mapping[str, NodeFeatures]) -> dict[str, dict[str, dict[Any, Any]]]:
    """Node type -> {column: {StatType: value}}, in PyTorch Frame's form."""
    from tovalib_data.features.encode import stats_torch

    return {t: {c: stats_torch(s) for c, s in f.stats.items()} for t, f in features.items()}
