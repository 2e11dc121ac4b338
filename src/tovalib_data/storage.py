"""A graph on disk: a directory of .npy files and a JSON manifest.

    path/manifest.json          format version, types, counts, time unit,
                                report, and per array its file, dtype, shape
    path/colptr.0.npy, ...      one file per array, named by kind and index

Saving writes everything into a fresh directory beside `path`, flushes it to
disk and only then renames it to `path`. An existing graph at `path` is first
renamed aside and removed after the new one is in place, so at every moment
`path` is either absent, the old complete graph or the new complete graph;
a crash in the short gap between the two renames leaves the old graph in
the sibling directory ".<name>.old-*".

Loading checks the manifest against every file (it exists, its .npy header
has the recorded dtype and shape, its size is exactly header plus data)
before mapping anything, and raises `GraphFileError` naming the file.
"""

from __future__ import annotations

import json
import math
import os
import shutil
import tempfile
from pathlib import Path
from typing import TYPE_CHECKING, Any, BinaryIO

import numpy as np
import numpy.typing as npt

if TYPE_CHECKING:
    from tovalib_data.graph import Graph

FORMAT = "tovalib_data.graph"
VERSION = 1
MANIFEST = "manifest.json"

# The kinds of arrays, the dtype each is stored as, and its number of dimensions.
KINDS = {
    "colptr": ("<i8", 1),
    "row": ("<i8", 1),
    "node_time": ("<i8", 1),
    "x": ("<f4", 2),
}


class GraphFileError(ValueError):
    """A saved graph whose manifest and files do not agree; names the file."""


def save(graph: Graph, path: str | os.PathLike[str]) -> None:
    target = Path(path)
    if target.exists() and not _replaceable(target):
        raise FileExistsError(
            f"{target} exists and is not a saved graph; refusing to replace it"
        )
    parent = target.parent
    parent.mkdir(parents=True, exist_ok=True)
    scratch = Path(tempfile.mkdtemp(prefix=f".{target.name}.new-", dir=parent))
    try:
        manifest = _write_arrays(graph, scratch)
        _write_file(scratch / MANIFEST, json.dumps(manifest, indent=1).encode())
        _fsync_dir(scratch)
        if target.exists():
            aside = Path(tempfile.mkdtemp(prefix=f".{target.name}.old-", dir=parent))
            os.replace(target, aside / "graph")
            try:
                os.replace(scratch, target)
            except BaseException:
                os.replace(aside / "graph", target)  # put the old graph back
                aside.rmdir()
                raise
            _fsync_dir(parent)
            shutil.rmtree(aside)
        else:
            os.replace(scratch, target)
            _fsync_dir(parent)
    except BaseException:
        shutil.rmtree(scratch, ignore_errors=True)
        raise


def _replaceable(target: Path) -> bool:
    """Only a saved graph or an empty directory is ever replaced."""
    return target.is_dir() and ((target / MANIFEST).is_file() or not any(target.iterdir()))


def _write_arrays(graph: Graph, directory: Path) -> dict[str, Any]:
    keys = ["__".join(et) for et in graph.edge_types]
    arrays: dict[str, dict[str, Any]] = {}
    for kind, per_type, names in (
        ("colptr", graph.colptr, keys),
        ("row", graph.row, keys),
        ("node_time", graph.node_time, graph.node_types),
        ("x", graph.x, graph.node_types),
    ):
        dtype, ndim = KINDS[kind]
        entries = {}
        for i, name in enumerate(names):
            if name not in per_type:
                continue
            array = np.ascontiguousarray(per_type[name], dtype=dtype)
            if array.ndim != ndim:
                raise ValueError(f"{kind}[{name!r}] must have {ndim} dimensions")
            file = f"{kind}.{i}.npy"
            with open(directory / file, "wb") as f:
                np.save(f, array, allow_pickle=False)
                _flush(f)
            entries[name] = {"file": file, "dtype": dtype, "shape": list(array.shape)}
        arrays[kind] = entries
    return {
        "format": FORMAT,
        "version": VERSION,
        "node_types": list(graph.node_types),
        "edge_types": [list(et) for et in graph.edge_types],
        "num_nodes": {t: int(n) for t, n in graph.num_nodes.items()},
        "time_unit": graph.time_unit,
        "report": graph.report,
        "time_sources": graph.time_sources,
        "arrays": arrays,
    }


def _write_file(path: Path, data: bytes) -> None:
    with open(path, "wb") as f:
        f.write(data)
        _flush(f)


def _flush(f: BinaryIO) -> None:
    f.flush()
    os.fsync(f.fileno())


def _fsync_dir(directory: Path) -> None:
    """Makes the directory's entries durable (a renamed or new file)."""
    if os.name == "nt":  # directories cannot be opened for fsync there
        return
    fd = os.open(directory, os.O_RDONLY)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)


def load(path: str | os.PathLike[str], mmap: bool = True) -> Graph:
    from tovalib_data.graph import Graph

    directory = Path(path)
    manifest_path = directory / MANIFEST
    if not manifest_path.is_file():
        raise FileNotFoundError(f"no saved graph at {directory}: {manifest_path} is missing")
    manifest = _read_manifest(manifest_path)
    node_types = manifest["node_types"]
    edge_types = [(str(s), str(r), str(d)) for s, r, d in manifest["edge_types"]]
    num_nodes = {str(t): int(n) for t, n in manifest["num_nodes"].items()}
    arrays = manifest["arrays"]

    def expect(kind: str, name: str, shape: tuple[int, ...] | None, required: bool) -> Any:
        entry = arrays[kind].get(name)
        if entry is None:
            if required:
                raise GraphFileError(f"{manifest_path}: no {kind} array for {name!r}")
            return None
        where = f"{manifest_path}: {kind}[{name!r}]"
        recorded = _entry_shape(entry, where)
        if entry.get("dtype") != KINDS[kind][0] or len(recorded) != KINDS[kind][1]:
            raise GraphFileError(f"{where} records dtype {entry.get('dtype')!r} and "
                                 f"shape {recorded}, not a {KINDS[kind][0]} array of "
                                 f"{KINDS[kind][1]} dimensions")
        if shape is not None and recorded[: len(shape)] != shape:
            raise GraphFileError(f"{where} has shape {recorded}, expected {shape}")
        return _open_array(directory, entry["file"], KINDS[kind][0], recorded, mmap)

    for kind in KINDS:
        unknown = set(arrays[kind]) - set(
            ["__".join(et) for et in edge_types] if kind in ("colptr", "row") else node_types
        )
        if unknown:
            raise GraphFileError(f"{manifest_path}: {kind} arrays for unknown types {unknown}")
    colptr, row = {}, {}
    for et in edge_types:
        key = "__".join(et)
        if et[0] not in num_nodes or et[2] not in num_nodes:
            raise GraphFileError(f"{manifest_path}: edge type {key} has undeclared node types")
        colptr[key] = expect("colptr", key, (num_nodes[et[2]] + 1,), True)
        row[key] = expect("row", key, None, True)
    node_time = {}
    x = {}
    for t in node_types:
        if t not in num_nodes:
            raise GraphFileError(f"{manifest_path}: no node count for {t!r}")
        times = expect("node_time", t, (num_nodes[t],), False)
        if times is not None:
            node_time[t] = times
        features = expect("x", t, (num_nodes[t],), False)
        if features is not None:
            x[t] = features
    return Graph(
        node_types=list(node_types),
        edge_types=edge_types,
        colptr=colptr,
        row=row,
        node_time=node_time,
        num_nodes=num_nodes,
        x=x,
        time_unit=manifest["time_unit"],
        report=manifest["report"],
        time_sources=_time_sources(manifest.get("time_sources", {}), manifest_path),
    )


def _time_sources(value: Any, path: Path) -> dict[str, str | list[str]]:
    """Per timed node type, its time column or the relations it inherits through."""
    if not isinstance(value, dict) or not all(
        isinstance(v, str) or (isinstance(v, list) and all(isinstance(r, str) for r in v))
        for v in value.values()
    ):
        raise GraphFileError(f"{path}: 'time_sources' must map node types to a column "
                             "or a list of relations")
    return value


def _read_manifest(path: Path) -> dict[str, Any]:
    try:
        manifest = json.loads(path.read_text())
    except (ValueError, UnicodeDecodeError) as exc:
        raise GraphFileError(f"{path} is not valid JSON: {exc}") from None
    if not isinstance(manifest, dict) or manifest.get("format") != FORMAT:
        raise GraphFileError(f"{path} is not the manifest of a saved graph")
    if manifest.get("version") != VERSION:
        raise GraphFileError(
            f"{path} has format version {manifest.get('version')!r}; "
            f"this version of tovalib_data reads version {VERSION}"
        )
    fields = {
        "node_types": list,
        "edge_types": list,
        "num_nodes": dict,
        "report": dict,
        "arrays": dict,
    }
    for name, kind in fields.items():
        if not isinstance(manifest.get(name), kind):
            raise GraphFileError(f"{path}: {name!r} is missing or not a {kind.__name__}")
    arrays = manifest["arrays"]
    if not all(isinstance(arrays.get(kind), dict) for kind in KINDS):
        raise GraphFileError(f"{path}: 'arrays' must list {', '.join(KINDS)}")
    if not all(isinstance(t, str) for t in manifest["node_types"]) or not all(
        isinstance(et, list) and len(et) == 3 and all(isinstance(p, str) for p in et)
        for et in manifest["edge_types"]
    ):
        raise GraphFileError(f"{path}: malformed node or edge types")
    if not all(isinstance(n, int) and n >= 0 for n in manifest["num_nodes"].values()):
        raise GraphFileError(f"{path}: node counts must be non-negative integers")
    if manifest.get("time_unit") is not None and not isinstance(manifest["time_unit"], str):
        raise GraphFileError(f"{path}: 'time_unit' must be a string or null")
    return manifest


def _entry_shape(entry: Any, where: str) -> tuple[int, ...]:
    shape = entry.get("shape") if isinstance(entry, dict) else None
    file = entry.get("file") if isinstance(entry, dict) else None
    if (
        not isinstance(shape, list)
        or not all(isinstance(n, int) and n >= 0 for n in shape)
        or not isinstance(file, str)
        or Path(file).name != file
        or file in ("", ".", "..")
    ):
        raise GraphFileError(f"{where}: malformed entry {entry!r}")
    return tuple(shape)


def _open_array(
    directory: Path, file: str, dtype: str, shape: tuple[int, ...], mmap: bool
) -> npt.NDArray[Any]:
    """The array in `file`, after checking its header and size against the manifest."""
    path = directory / file
    try:
        with open(path, "rb") as f:
            try:
                version = np.lib.format.read_magic(f)
                if version == (1, 0):
                    header = np.lib.format.read_array_header_1_0(f)
                elif version == (2, 0):
                    header = np.lib.format.read_array_header_2_0(f)
                else:
                    raise ValueError(f"unsupported .npy version {version}")
            except Exception as exc:  # any malformed header, whatever the parser raises
                raise GraphFileError(f"{path} is not a readable .npy file: {exc}") from None
            offset = f.tell()
            size = os.fstat(f.fileno()).st_size
    except FileNotFoundError:
        raise GraphFileError(f"{path} is missing") from None
    except OSError as exc:
        raise GraphFileError(f"{path} cannot be read: {exc.strerror}") from None
    file_shape, fortran, file_dtype = header
    if file_dtype != np.dtype(dtype) or fortran or tuple(file_shape) != shape:
        raise GraphFileError(
            f"{path} holds a {file_dtype} array of shape {tuple(file_shape)}"
            f"{' in Fortran order' if fortran else ''}; the manifest records "
            f"{np.dtype(dtype)} of shape {shape}"
        )
    expected = offset + math.prod(shape) * np.dtype(dtype).itemsize
    if size != expected:
        state = "truncated" if size < expected else "longer than its array"
        raise GraphFileError(f"{path} is {state}: {size} bytes, expected {expected}")
    if expected == offset:  # nothing to map
        return np.zeros(shape, dtype=dtype)
    if mmap:
        return np.memmap(path, dtype=dtype, mode="r", offset=offset, shape=shape)
    with open(path, "rb") as f:
        f.seek(offset)
        return np.fromfile(f, dtype=dtype, count=math.prod(shape)).reshape(shape)
