"""The optional parts of a saved graph: typed features and primary key values.

In the manifest, beside "arrays":

    "features": {node type: {"stypes": {column: type}, "col_names": {type: [columns]},
                             "stats": {column: {stat: value}},
                             "arrays": {part: {"file", "dtype", "shape"}}}}
    "keys": {node type: {"columns": [columns] or null, "arrays": [{"file", "dtype", "shape"}]}}

with the files "feature.<i>.npy" and "key.<i>.npy". A manifest without them
(any graph saved before they existed) loads with no features and no keys.
Feature parts have the dtypes of `features.frames.PARTS`; key values are
int64, datetime64, or text ('U', 'S': NumPy's fixed-width strings, which
map like any other array).
"""

from __future__ import annotations

import re
from collections.abc import Callable, Mapping
from typing import TYPE_CHECKING, Any

import numpy as np
import numpy.typing as npt

from tovalib_data.features.frames import PARTS, NodeFeatures, check_features
from tovalib_data.storage.layout import GraphFileError, entry_shape, plain_json

if TYPE_CHECKING:
    from tovalib_data.graph import Graph

EXTRA_KINDS = ("feature", "key")
_KEY_DTYPE = re.compile(r"<i8|<M8\[(?:D|h|m|s|ms|us|ns)\]|<U[0-9]+|\|S[0-9]+")
_STYPES = ("numerical", "categorical", "multicategorical", "timestamp", "text_embedded",
           "embedding")


def key_array(values: Any, where: str) -> npt.NDArray[Any]:
    """Key values in the dtype they are stored as; ValueError for others."""
    array = np.asarray(values)
    kind = array.dtype.kind
    if kind == "T":  # as fixed-width text, as wide as the longest value
        lengths = np.strings.str_len(array)
        array = array.astype(f"U{max(int(lengths.max(initial=0)), 1)}")
        if not np.array_equal(np.strings.str_len(array), lengths):
            raise ValueError(f"{where}: text keys ending in a NUL cannot be saved (NumPy's "
                             "fixed-width text drops it)")
    elif kind in "iu":
        array = array.astype(np.int64)
    elif kind not in "MUS":
        raise ValueError(f"{where} must hold integers, text or datetime64, not {array.dtype}")
    array = np.ascontiguousarray(array, dtype=array.dtype.newbyteorder("<"))
    if not _KEY_DTYPE.fullmatch(array.dtype.str):
        raise ValueError(f"{where} has the dtype {array.dtype}, which is not stored")
    return array


def prepare(graph: Graph) -> tuple[list[tuple[str, npt.NDArray[Any]]], dict[str, Any]]:
    """The files and manifest entries of the graph's features and keys,
    after checking them as `load` will (ValueError naming the node type)."""
    files: list[tuple[str, npt.NDArray[Any]]] = []
    manifest: dict[str, Any] = {}
    known = set(graph.node_types)
    if graph.features:
        entries: dict[str, Any] = {}
        for node_type, nf in graph.features.items():
            where = f"features[{node_type!r}]"
            if node_type not in known:
                raise ValueError(f"{where}: unknown node type")
            check_features(nf, int(graph.num_nodes[node_type]), where)
            _check_stypes(nf.stypes, where, ValueError)
            plain_json(nf.stats, f"{where} stats")
            arrays = {}
            for part, array in nf.arrays.items():
                stored = np.ascontiguousarray(array, dtype=PARTS[part][0])
                file = f"feature.{len(files)}.npy"
                files.append((file, stored))
                arrays[part] = _entry(file, stored)
            entries[node_type] = {"stypes": dict(nf.stypes), "col_names": dict(nf.col_names),
                                  "stats": nf.stats, "arrays": arrays}
        manifest["features"] = entries
    if graph.keys:
        key_entries: dict[str, Any] = {}
        start = len(files)
        for node_type, stored_keys in graph.keys.items():
            where = f"keys[{node_type!r}]"
            if node_type not in known:
                raise ValueError(f"{where}: unknown node type")
            columns = [str(c) for c in stored_keys] if isinstance(stored_keys, Mapping) \
                else None
            values = list(stored_keys.values()) if isinstance(stored_keys, Mapping) \
                else [stored_keys]
            entry_list = []
            for i, value in enumerate(values):
                array = key_array(value, where)
                if array.shape != (int(graph.num_nodes[node_type]),):
                    raise ValueError(f"{where} has shape {array.shape}, expected "
                                     f"({int(graph.num_nodes[node_type])},)")
                file = f"key.{len(files) - start}.npy"
                files.append((file, array))
                entry_list.append(_entry(file, array))
            key_entries[node_type] = {"columns": columns, "arrays": entry_list}
        manifest["keys"] = key_entries
    return files, manifest


def _entry(file: str, array: npt.NDArray[Any]) -> dict[str, Any]:
    return {"file": file, "dtype": array.dtype.str, "shape": list(array.shape)}


def _check_stypes(stypes: Any, where: str, error: type[ValueError]) -> None:
    if not isinstance(stypes, dict) or not all(
        isinstance(c, str) and s in _STYPES for c, s in stypes.items()
    ):
        raise error(f"{where}: 'stypes' must map columns to column type names")


OpenArray = Callable[[str, str, tuple[int, ...]], npt.NDArray[Any]]


def listed_files(manifest: Mapping[str, Any]) -> set[str]:
    """The file names the optional parts of a manifest list (unchecked)."""
    names: set[str] = set()
    for entry in (manifest.get("features") or {}).values() if isinstance(
            manifest.get("features"), dict) else ():
        arrays = entry.get("arrays") if isinstance(entry, dict) else None
        if isinstance(arrays, dict):
            names |= {a["file"] for a in arrays.values()
                      if isinstance(a, dict) and isinstance(a.get("file"), str)}
    for entry in (manifest.get("keys") or {}).values() if isinstance(
            manifest.get("keys"), dict) else ():
        arrays = entry.get("arrays") if isinstance(entry, dict) else None
        if isinstance(arrays, list):
            names |= {a["file"] for a in arrays
                      if isinstance(a, dict) and isinstance(a.get("file"), str)}
    return names


def load(manifest: Mapping[str, Any], num_nodes: Mapping[str, int], where: str,
         open_array: OpenArray) -> tuple[dict[str, NodeFeatures], dict[str, Any]]:
    """The features and keys a manifest lists, their files opened by
    `open_array(file, dtype, shape)`; GraphFileError naming what does not
    match."""
    features: dict[str, NodeFeatures] = {}
    given = manifest.get("features", {})
    if not isinstance(given, dict):
        raise GraphFileError(f"{where}: 'features' must be a dict")
    for node_type, entry in given.items():
        at = f"{where}: features[{node_type!r}]"
        if node_type not in num_nodes:
            raise GraphFileError(f"{at}: unknown node type")
        if not isinstance(entry, dict) or not all(
            isinstance(entry.get(k), dict) for k in ("stypes", "col_names", "stats", "arrays")
        ):
            raise GraphFileError(f"{at}: malformed entry")
        _check_stypes(entry["stypes"], at, GraphFileError)
        if not all(isinstance(s, dict) for s in entry["stats"].values()):
            raise GraphFileError(f"{at}: 'stats' must map columns to dicts")
        arrays = {}
        for part, array_entry in entry["arrays"].items():
            if part not in PARTS:
                raise GraphFileError(f"{at}: unknown part {part!r}")
            shape = entry_shape(array_entry, f"{at}[{part!r}]")
            if array_entry.get("dtype") != PARTS[part][0]:
                raise GraphFileError(f"{at}[{part!r}] records dtype "
                                     f"{array_entry.get('dtype')!r}, not {PARTS[part][0]}")
            arrays[part] = (array_entry["file"], PARTS[part][0], shape)
        # Each file is checked against its entry as it is opened (mapped, not read).
        opened = {p: open_array(f, d, shape) for p, (f, d, shape) in arrays.items()}
        nf = NodeFeatures(entry["stypes"], entry["col_names"], entry["stats"], opened)
        check_features(nf, num_nodes[node_type], at, GraphFileError)
        features[node_type] = nf
    keys: dict[str, Any] = {}
    given = manifest.get("keys", {})
    if not isinstance(given, dict):
        raise GraphFileError(f"{where}: 'keys' must be a dict")
    for node_type, entry in given.items():
        at = f"{where}: keys[{node_type!r}]"
        if node_type not in num_nodes:
            raise GraphFileError(f"{at}: unknown node type")
        columns = entry.get("columns") if isinstance(entry, dict) else None
        arrays_list = entry.get("arrays") if isinstance(entry, dict) else None
        if not isinstance(arrays_list, list) or not arrays_list or not (
            (columns is None and len(arrays_list) == 1)
            or (isinstance(columns, list) and len(columns) == len(arrays_list) > 1
                and all(isinstance(c, str) for c in columns))
        ):
            raise GraphFileError(f"{at}: malformed entry")
        values = []
        for array_entry in arrays_list:
            shape = entry_shape(array_entry, at)
            dtype = array_entry.get("dtype")
            if not isinstance(dtype, str) or not _KEY_DTYPE.fullmatch(dtype):
                raise GraphFileError(f"{at} records dtype {dtype!r}, which keys are not "
                                     "stored as")
            if shape != (num_nodes[node_type],):
                raise GraphFileError(f"{at} has shape {shape}, expected "
                                     f"({num_nodes[node_type]},)")
            values.append(open_array(array_entry["file"], dtype, shape))
        keys[node_type] = values[0] if columns is None else dict(zip(columns, values))
    return features, keys
