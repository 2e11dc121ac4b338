"""Loading a graph: the manifest checked against every file before mapping.

Loading checks the manifest against every file (it is a regular file, its
.npy header has the recorded dtype and shape, its size is exactly header
plus data) before mapping anything, and raises `GraphFileError` naming the
file. It reads everything through one descriptor of the directory, so a save
replacing the graph meanwhile never gives it a mix of two graphs (see `load`).
"""


from __future__ import annotations

import math
import os
from pathlib import Path
from typing import TYPE_CHECKING, Any

import numpy as np
import numpy.typing as npt

from tovalib_data.storage import extras
from tovalib_data.storage.layout import (KINDS, MANIFEST, GraphFileError, check_colptr_ends,
                                         check_layout, checked_time_sources, entry_shape,
                                         open_regular, read_manifest)

if TYPE_CHECKING:
    from tovalib_data.graph import Graph


# How many times a load starts over on finding that saves replaced the graph
# while it was reading it.
_LOAD_TRIES = 64


def load(path: str | os.PathLike[str], mmap: bool = True) -> Graph:
    """The graph saved at `path`. The directory is opened once and the
    manifest and every array are read through that descriptor, so a save
    that replaces the graph meanwhile cannot mix two graphs. What it can do
    is remove the old graph's files before they are read; an error is then
    taken for that, not for a broken graph, when `path` no longer leads to
    the directory read, and the load starts over (a `path` absent at that
    moment is FileNotFoundError, as for any load)."""
    directory = Path(path)
    for _ in range(_LOAD_TRIES):
        fd = _open_dir(directory)
        try:
            return _load_from(directory, fd, mmap)
        except (GraphFileError, FileNotFoundError):
            if fd is None or not _replaced(directory, fd):
                raise
        finally:
            if fd is not None:
                os.close(fd)
    raise OSError(f"{directory} was replaced by other saves each of the {_LOAD_TRIES} times "
                  "it was being loaded; try again")


def _open_dir(directory: Path) -> int | None:
    """A descriptor of the directory `directory` (None where descriptors
    relative to a directory are not supported, or the directory may be
    searched but not listed); FileNotFoundError if there is no directory
    there."""
    if not hasattr(os, "O_DIRECTORY") or os.open not in os.supports_dir_fd:
        return None
    try:
        return os.open(directory, os.O_RDONLY | os.O_DIRECTORY)
    except (FileNotFoundError, NotADirectoryError):
        raise FileNotFoundError(f"no saved graph at {directory}: "
                                f"{directory / MANIFEST} is missing") from None
    except PermissionError:
        return None  # its files are then opened by name
    except OSError as exc:
        raise GraphFileError(f"{directory} cannot be read: {exc.strerror or exc}") from None


def _replaced(directory: Path, fd: int) -> bool:
    """Whether `directory` no longer leads to the directory open as `fd`."""
    held = os.fstat(fd)
    try:
        now = os.stat(directory)
    except OSError:
        return True
    return (now.st_dev, now.st_ino) != (held.st_dev, held.st_ino)


def _load_from(directory: Path, fd: int | None, mmap: bool) -> Graph:
    """The graph in `directory`, its files opened relative to `fd` if given."""
    from tovalib_data.graph import Graph

    manifest_path = directory / MANIFEST
    try:
        os.lstat(MANIFEST if fd is not None else manifest_path, dir_fd=fd)
    except FileNotFoundError:
        raise FileNotFoundError(f"no saved graph at {directory}: "
                                f"{manifest_path} is missing") from None
    except OSError:
        pass  # reading it says why
    manifest = read_manifest(manifest_path, fd)
    node_types = list(manifest["node_types"])
    edge_types = [(s, r, d) for s, r, d in manifest["edge_types"]]
    num_nodes = dict(manifest["num_nodes"])
    recorded: dict[str, dict[str, tuple[int, ...]]] = {}
    for kind, (dtype, _) in KINDS.items():
        recorded[kind] = {}
        for name, entry in manifest["arrays"][kind].items():
            where = f"{manifest_path}: {kind}[{name!r}]"
            shape = entry_shape(entry, where)
            if entry.get("dtype") != dtype:
                raise GraphFileError(f"{where} records dtype {entry.get('dtype')!r}, "
                                     f"not {dtype}")
            recorded[kind][name] = shape
    try:
        check_layout(node_types, edge_types, num_nodes, recorded)
    except ValueError as exc:
        raise GraphFileError(f"{manifest_path}: {exc}") from None
    arrays = {
        kind: {name: _open_array(directory, fd, manifest["arrays"][kind][name]["file"],
                                 KINDS[kind][0], shape, mmap)
               for name, shape in recorded[kind].items()}
        for kind in KINDS
    }
    try:
        check_colptr_ends(arrays["colptr"], arrays["row"])
    except ValueError as exc:
        raise GraphFileError(f"{manifest_path}: {exc}") from None
    features, kept_keys = extras.load(
        manifest, num_nodes, str(manifest_path),
        lambda file, dtype, shape: _open_array(directory, fd, file, dtype, shape, mmap))
    keys = ["__".join(et) for et in edge_types]
    return Graph(
        node_types=node_types,
        edge_types=edge_types,
        colptr={k: arrays["colptr"][k] for k in keys},
        row={k: arrays["row"][k] for k in keys},
        node_time={t: arrays["node_time"][t] for t in node_types if t in arrays["node_time"]},
        num_nodes=num_nodes,
        x={t: arrays["x"][t] for t in node_types if t in arrays["x"]},
        time_unit=manifest["time_unit"],
        report=manifest["report"],
        time_sources=checked_time_sources(manifest.get("time_sources", {}), f"{manifest_path}: "),
        features=features,
        keys=kept_keys,
    )


def _open_array(
    directory: Path, dir_fd: int | None, file: str, dtype: str, shape: tuple[int, ...],
    mmap: bool
) -> npt.NDArray[Any]:
    """The array in `file`, after checking its header and size against the manifest."""
    path = directory / file
    try:
        with open_regular(path, dir_fd) as f:
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
            # Mapped or read through the descriptor just checked, never reopened
            # by name.
            if mmap:
                return np.memmap(f, dtype=dtype, mode="r", offset=offset, shape=shape)
            f.seek(offset)
            return np.fromfile(f, dtype=dtype, count=math.prod(shape)).reshape(shape)
    except FileNotFoundError:
        raise GraphFileError(f"{path} is missing") from None
    except OSError as exc:
        raise GraphFileError(f"{path} cannot be read: {exc.strerror or exc}") from None
