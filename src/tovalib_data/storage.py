"""A graph on disk: a directory of .npy files and a JSON manifest.

    path/manifest.json          format version, types, counts, time unit,
                                report, and per array its file, dtype, shape
    path/colptr.0.npy, ...      one file per array, named by kind and index

Saving first checks the graph as loading would (`check_layout`), so that
nothing is written for a graph that could not be loaded back unchanged. It
then writes everything into "graph" inside a fresh directory beside `path`,
flushes it to disk and only then renames that "graph" to `path`. An existing graph at `path` is
first renamed aside and removed after the new one is in place, so at every
moment `path` is either absent, the old complete graph or the new complete
graph; a crash in the short gap between the two renames leaves the old graph
in the sibling directory ".<name>.old-*". Only an empty directory, or a
saved graph of a known format version holding nothing but its manifest and
the files it lists, is ever replaced; a `path` that is a symbolic link is
followed, and the directory it leads to is replaced, the link kept.

Saves of one path take turns through a lock on the file ".<name>.lock"
beside it, held for the whole save. Whoever holds it knows that no other
save of that path is running, so the ".<name>.new-*" and ".<name>.old-*"
directories it finds were left by saves that died midway: the ".new-*" ones
(never complete) are removed before writing, the ".old-*" ones (which may
hold the only copy of an older graph) once the new graph is in place.
Only directories named and filled as a save (of this version or of 0.1.0)
leaves them are taken for such leftovers; see `_left_by_a_save`. This
version marks each directory it makes there with the file SAVE_MARK, so a
directory of yours that merely has such a name is never taken for one. The
graph is written into "graph" inside the scratch directory, beside the mark,
and that "graph" is what is renamed to `path`, so the mark is never part of
a saved graph.

Loading checks the manifest against every file (it is a regular file, its
.npy header has the recorded dtype and shape, its size is exactly header
plus data) before mapping anything, and raises `GraphFileError` naming the
file. It reads everything through one descriptor of the directory, so a save
replacing the graph meanwhile never gives it a mix of two graphs (see `load`).
"""

from __future__ import annotations

import json
import math
import numbers
import os
import re
import secrets
import shutil
import stat
import tempfile
from collections.abc import Iterator, Mapping, Sequence
from contextlib import contextmanager
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
_INT64_MAX = 2**63 - 1
# How deeply a report's dicts and lists may nest (the report itself is the
# first level); in the manifest it sits one level deeper. Save and load both
# check the depth without recursion, so whether a graph loads never depends
# on how deep the caller's stack is.
MAX_REPORT_DEPTH = 32
_MAX_MANIFEST_DEPTH = MAX_REPORT_DEPTH + 1
_JSON_STRING = re.compile(r'"[^"\\]*(?:\\.[^"\\]*)*"', re.S)
# The random part of a scratch directory's name: this version writes 8 hex
# digits; 0.1.0 made them with tempfile.mkdtemp, 8 of [a-z0-9_], mode 0700.
_SUFFIX = re.compile(r"[0-9a-f]{8}")
_SUFFIX_0_1 = re.compile(r"[a-z0-9_]{8}")
# The file a save puts in each ".new-*" and ".old-*" directory it makes, so
# that only those are ever removed as its leftovers (never part of a graph).
SAVE_MARK = ".tovalib-save"
# The name a save gives an array's file.
_ARRAY_FILE = re.compile(rf"(?:{'|'.join(KINDS)})\.[0-9]+\.npy")


class GraphFileError(ValueError):
    """A saved graph whose manifest and files do not agree; names the file."""


# ---------------------------------------------------------------------------
# What a graph must satisfy to be saved, and to be loaded


def check_layout(
    node_types: Sequence[str],
    edge_types: Sequence[tuple[str, str, str]],
    num_nodes: Mapping[str, Any],
    shapes: Mapping[str, Mapping[str, tuple[int, ...]]],
) -> None:
    """Raises ValueError naming the type or array when the types, node counts
    and array shapes (`shapes[kind][name]`, kinds as in `KINDS`) do not make
    a graph: every edge type needs `colptr` of its destination's count + 1
    and a 1-D `row`; a node type may have `node_time` of its count and `x`
    of its count of rows; nothing may be keyed by an unknown type."""
    seen: set[str] = set()
    for t in node_types:
        if not isinstance(t, str):
            raise ValueError(f"node type {t!r} is not a string")
        if t in seen:
            raise ValueError(f"node type {t!r} is listed twice")
        seen.add(t)
    keys: list[str] = []
    for et in edge_types:
        if not (isinstance(et, (tuple, list)) and len(et) == 3
                and all(isinstance(p, str) for p in et)):
            raise ValueError(f"edge type {et!r} is not a (src, rel, dst) triple of strings")
        key = "__".join(et)
        if key in keys:
            raise ValueError(f"edge type {key} is listed twice")
        if et[0] not in seen or et[2] not in seen:
            raise ValueError(f"edge type {key} has undeclared node types")
        keys.append(key)
    for t in node_types:
        if t not in num_nodes:
            raise ValueError(f"no node count for {t!r}")
        n = num_nodes[t]
        if not isinstance(n, numbers.Integral) or isinstance(n, bool) \
                or not 0 <= int(n) <= _INT64_MAX:
            raise ValueError(f"num_nodes[{t!r}] must be a non-negative integer, got {n!r}")
    unknown = sorted(set(num_nodes) - seen)
    if unknown:
        raise ValueError(f"node counts for unknown types {unknown}")
    for kind in KINDS:
        known = keys if kind in ("colptr", "row") else node_types
        unknown = sorted(set(shapes.get(kind, {})) - set(known))
        if unknown:
            raise ValueError(f"{kind} arrays for unknown types {unknown}")

    def expect(kind: str, name: str, leading: int | None, required: bool) -> None:
        shape = shapes.get(kind, {}).get(name)
        if shape is None:
            if required:
                raise ValueError(f"no {kind} array for {name!r}")
            return
        ndim = KINDS[kind][1]
        if len(shape) != ndim:
            raise ValueError(f"{kind}[{name!r}] must have {ndim} dimension{'s' * (ndim > 1)}, "
                             f"got shape {shape}")
        if leading is not None and shape[0] != leading:
            raise ValueError(f"{kind}[{name!r}] has shape {shape}, "
                             f"expected ({leading},{' ...' * (ndim > 1)})")

    for et, key in zip(edge_types, keys):
        expect("colptr", key, int(num_nodes[et[2]]) + 1, True)
        expect("row", key, None, True)
    for t in node_types:
        expect("node_time", t, int(num_nodes[t]), False)
        expect("x", t, int(num_nodes[t]), False)


def check_colptr_ends(colptr: Mapping[str, Any], row: Mapping[str, Any]) -> None:
    """Every `colptr` starts at 0 and ends at the length of its `row` (two
    elements read per edge type, so memory maps stay unread)."""
    for key, pointers in colptr.items():
        first, last, length = int(pointers[0]), int(pointers[-1]), len(row[key])
        if first != 0 or last != length:
            raise ValueError(f"colptr[{key!r}] runs from {first} to {last}; it must run from "
                             f"0 to the length of row[{key!r}], {length}")


def _stored_array(kind: str, name: str, value: Any) -> npt.NDArray[Any]:
    """`value` in the dtype it is stored as, or ValueError if that would
    change a value."""
    array = np.asarray(value)
    dtype = np.dtype(KINDS[kind][0])
    if dtype.kind == "i":
        if array.dtype.kind not in "iu" and array.size:
            raise ValueError(f"{kind}[{name!r}] must hold integers, not {array.dtype}")
        if array.dtype.kind == "u" and array.dtype.itemsize == 8 and array.size \
                and int(array.max()) > _INT64_MAX:
            raise ValueError(f"{kind}[{name!r}] holds values beyond the int64 range")
    elif array.dtype.kind not in "biuf" and array.size:
        raise ValueError(f"{kind}[{name!r}] must hold numbers, not {array.dtype}")
    return np.ascontiguousarray(array, dtype=dtype)


def _plain_json(value: Any, what: str) -> str:
    """`value` as JSON text, or ValueError unless it is JSON that loads back
    the same: dicts, lists, strings, finite numbers, nested at most
    `MAX_REPORT_DEPTH` levels."""
    if _depth(value) > MAX_REPORT_DEPTH:
        raise ValueError(f"{what} is nested more than {MAX_REPORT_DEPTH} levels deep")
    try:
        text = json.dumps(value, allow_nan=False)
    except (TypeError, ValueError) as exc:
        raise ValueError(f"{what} must be plain JSON: {exc}") from None
    if json.loads(text) != value:
        raise ValueError(f"{what} must be plain JSON (dicts, lists, strings, numbers), "
                         f"so that it loads back the same")
    return text


def _depth(value: Any) -> int:
    """How deeply dicts, lists and tuples nest in `value`, counted up to
    `MAX_REPORT_DEPTH` + 1 without recursion (a cycle counts as too deep)."""
    deepest, stack = 0, [(value, 1)]
    while stack:
        item, level = stack.pop()
        if isinstance(item, (dict, list, tuple)):
            deepest = max(deepest, level)
            if deepest > MAX_REPORT_DEPTH:
                break
            stack.extend((child, level + 1)
                         for child in (item.values() if isinstance(item, dict) else item))
    return deepest


def _text_depth(text: str) -> int:
    """How deeply arrays and objects nest in the JSON `text` (strings, with
    any brackets in them, left out), found without recursion."""
    codes = np.frombuffer(_JSON_STRING.sub('""', text).encode(), dtype=np.uint8)
    steps = np.isin(codes, (ord("["), ord("{"))).astype(np.int64)
    steps -= np.isin(codes, (ord("]"), ord("}")))
    return int(np.cumsum(steps).max(initial=0))


# ---------------------------------------------------------------------------
# Saving


def save(graph: Graph, path: str | os.PathLike[str]) -> None:
    target, shown = _save_target(path)
    arrays, manifest = _prepare(graph)
    parent = target.parent
    parent.mkdir(parents=True, exist_ok=True)
    with _save_lock(parent, target.name):
        if target.exists() or target.is_symlink():
            refusal = _refusal(target)
            if refusal is not None:
                raise FileExistsError(f"{shown} {refusal}; refusing to replace it")
        _remove_stale(parent, target.name, "new")
        scratch = _fresh_dir(parent, f".{target.name}.new-")
        written = scratch / "graph"  # renamed to `path`, leaving the mark behind
        try:
            _mark(scratch)
            os.mkdir(written, 0o777)
            for file, array in arrays:
                with open(written / file, "wb") as f:
                    np.save(f, array, allow_pickle=False)
                    _flush(f)
            _write_file(written / MANIFEST, manifest.encode())
            _fsync_dir(written)
            if target.exists() or target.is_symlink():
                aside = _fresh_dir(parent, f".{target.name}.old-")
                try:
                    _mark(aside)
                except BaseException:
                    shutil.rmtree(aside, ignore_errors=True)
                    raise
                os.replace(target, aside / "graph")
                try:
                    os.replace(written, target)
                except BaseException:
                    os.replace(aside / "graph", target)  # put the old graph back
                    shutil.rmtree(aside, ignore_errors=True)
                    raise
                _fsync_dir(parent)
                shutil.rmtree(aside)
            else:
                os.replace(written, target)
                _fsync_dir(parent)
        except BaseException:
            shutil.rmtree(scratch, ignore_errors=True)
            raise
        shutil.rmtree(scratch, ignore_errors=True)  # its mark alone; else the next save's
        _remove_stale(parent, target.name, "old")


def _prepare(graph: Graph) -> tuple[list[tuple[str, npt.NDArray[Any]]], str]:
    """The files to write and the manifest's text, after checking the graph
    as `load` checks what it reads; ValueError names the type or array."""
    per_kind: dict[str, Mapping[str, Any]] = {
        "colptr": graph.colptr, "row": graph.row, "node_time": graph.node_time, "x": graph.x}
    shapes = {kind: {name: np.shape(value) for name, value in values.items()}
              for kind, values in per_kind.items()}
    check_layout(graph.node_types, graph.edge_types, graph.num_nodes, shapes)
    keys = ["__".join(et) for et in graph.edge_types]
    stored = {kind: {name: _stored_array(kind, name, values[name]) for name in values}
              for kind, values in per_kind.items()}
    check_colptr_ends(stored["colptr"], stored["row"])
    _time_unit(graph.time_unit, "", ValueError)
    if not isinstance(graph.report, dict):
        raise ValueError(f"report must be a dict, got {type(graph.report).__name__}")
    _plain_json(graph.report, "report")
    _time_sources(graph.time_sources, "", ValueError)
    files: list[tuple[str, npt.NDArray[Any]]] = []
    entries: dict[str, dict[str, Any]] = {}
    for kind, names in (("colptr", keys), ("row", keys), ("node_time", graph.node_types),
                        ("x", graph.node_types)):
        entries[kind] = {}
        for i, name in enumerate(names):
            if name in stored[kind]:
                array = stored[kind][name]
                file = f"{kind}.{i}.npy"
                files.append((file, array))
                entries[kind][name] = {"file": file, "dtype": KINDS[kind][0],
                                       "shape": list(array.shape)}
    manifest = {
        "format": FORMAT,
        "version": VERSION,
        "node_types": list(graph.node_types),
        "edge_types": [list(et) for et in graph.edge_types],
        "num_nodes": {t: int(graph.num_nodes[t]) for t in graph.node_types},
        "time_unit": graph.time_unit,
        "report": graph.report,
        "time_sources": graph.time_sources,
        "arrays": entries,
    }
    return files, json.dumps(manifest, indent=1)


def _save_target(path: str | os.PathLike[str]) -> tuple[Path, str]:
    """The directory a save of `path` writes, and how messages name it.

    A path must end in the directory's name: "", "." and ".." (and "/")
    would put the scratch directory inside the graph it replaces. A symbolic
    link is followed: the save replaces the graph the link leads to, and the
    link stays as it is. A link that leads nowhere is refused."""
    given = Path(path)
    if given.name in ("", ".", ".."):  # Path drops a last "." itself ("g/." is "g")
        raise ValueError(f"cannot save a graph to {os.fspath(path)!r}: the path must end "
                         "in the name of the graph's directory, not in '.', '..' or '/'")
    if not given.is_symlink():
        return given, str(given)
    real = Path(os.path.realpath(given))
    shown = f"{given} (a link to {real})"
    if not real.exists():
        raise FileExistsError(f"{shown} leads to nothing; refusing to replace it")
    if real.name in ("", ".", ".."):
        raise ValueError(f"cannot save a graph to {shown}: it leads to no directory's name")
    return real, shown


def check_save_target(path: str | os.PathLike[str]) -> None:
    """Raises the error a save to `path` would raise whatever the graph:
    ValueError for a path that names no directory, FileExistsError for
    something there that a save never replaces, PermissionError where the
    directory cannot be created or written. Leaves nothing behind."""
    target, shown = _save_target(path)
    if target.exists() or target.is_symlink():
        refusal = _refusal(target)
        if refusal is not None:
            raise FileExistsError(f"{shown} {refusal}; refusing to replace it")
    ancestor = target.parent.absolute()
    while not ancestor.exists() and ancestor != ancestor.parent:
        ancestor = ancestor.parent
    if not ancestor.is_dir():
        raise NotADirectoryError(f"cannot save a graph to {shown}: {ancestor} is not a directory")
    try:  # os.access cannot tell for every file system (nor for root)
        os.rmdir(tempfile.mkdtemp(prefix=f".{target.name}.check-", dir=ancestor))
    except OSError as exc:
        raise PermissionError(f"cannot save a graph to {shown}: cannot write in {ancestor} "
                              f"({exc.strerror})") from None


def _refusal(target: Path) -> str | None:
    """Why `target` may not be replaced, or None when it may: only an empty
    directory, or a saved graph (its manifest reads as one of a known format
    version) holding nothing but its manifest and the files it lists, as
    regular files, is ever replaced."""
    if target.is_symlink() or not target.is_dir():
        return "exists and is not a saved graph"
    entries = {entry.name: entry for entry in os.scandir(target)}
    if not entries:
        return None
    manifest_entry = entries.get(MANIFEST)
    if manifest_entry is None or not manifest_entry.is_file(follow_symlinks=False):
        return "exists and is not a saved graph"
    try:
        manifest = _read_manifest(target / MANIFEST)
    except GraphFileError:
        return "exists and is not a saved graph"
    listed = {MANIFEST} | {  # only names a save gives its files
        entry["file"] for kind in KINDS for entry in manifest["arrays"][kind].values()
        if isinstance(entry, dict) and isinstance(entry.get("file"), str)
        and _ARRAY_FILE.fullmatch(entry["file"])
    }
    for name in sorted(entries):
        if name not in listed or not entries[name].is_file(follow_symlinks=False):
            return f"holds {name!r}, which is not one of its saved graph's files"
    return None


@contextmanager
def _save_lock(parent: Path, name: str) -> Iterator[None]:
    """Holds the exclusive lock of saves of `parent / name` (see the module
    docstring). The lock file is removed on the way out while still held;
    a save that locked the removed file meanwhile sees that the name now
    leads elsewhere and locks afresh. Without fcntl (Windows) saves do not
    take turns and leave stale directories alone."""
    try:
        import fcntl
    except ImportError:
        yield
        return
    lock_path = parent / f".{name}.lock"
    while True:
        fd = os.open(lock_path, os.O_RDWR | os.O_CREAT, 0o666)
        try:
            fcntl.flock(fd, fcntl.LOCK_EX)
            held = os.fstat(fd)
            try:
                current = os.stat(lock_path)
            except FileNotFoundError:
                current = None
        except BaseException:
            os.close(fd)
            raise
        if current is not None and (current.st_dev, current.st_ino) == (held.st_dev,
                                                                          held.st_ino):
            break
        os.close(fd)
    try:
        yield
    finally:
        try:
            os.unlink(lock_path)
        finally:
            os.close(fd)


def _remove_stale(parent: Path, name: str, which: str) -> None:
    """Removes the ".<name>.<which>-*" directories of saves that died; only
    called with the save lock held, so no live save owns one."""
    try:
        import fcntl  # noqa: F401  (without the lock, nothing is known to be stale)
    except ImportError:
        return
    prefix = f".{name}.{which}-"
    for entry in os.scandir(parent):
        if entry.name.startswith(prefix) and _left_by_a_save(entry, prefix, which):
            shutil.rmtree(entry.path, ignore_errors=True)


def _left_by_a_save(entry: os.DirEntry[str], prefix: str, which: str) -> bool:
    """Whether `entry` is exactly what a save of this version or of 0.1.0
    leaves: a real directory named `prefix` and its random part. This
    version's hold its SAVE_MARK and at most "graph" (the graph being
    written, or moved aside), itself holding only a graph's files; a name
    alone proves nothing (a date is 8 hex digits). 0.1.0 marked nothing:
    its names are told from a name of yours by the mode 0700 it gave them
    too, its ".old-*" ones hold only "graph" and its ".new-*" ones only
    array files, no manifest (a finished scratch graph may be a copy of
    yours)."""
    rest = entry.name[len(prefix):]
    if not entry.is_dir(follow_symlinks=False):
        return False
    try:
        found = {e.name: e for e in os.scandir(entry.path)}
    except OSError:
        return False
    mark = found.pop(SAVE_MARK, None)
    if mark is not None:
        if not (_SUFFIX.fullmatch(rest) and mark.is_file(follow_symlinks=False)):
            return False
    elif not (_SUFFIX_0_1.fullmatch(rest)
              and not entry.stat(follow_symlinks=False).st_mode & 0o077):
        return False
    if mark is not None or which == "old":
        graph = found.pop("graph", None)
        return not found and (graph is None or _only_graph_files(graph))
    return all(_ARRAY_FILE.fullmatch(n) for n in found)


def _only_graph_files(entry: os.DirEntry[str]) -> bool:
    """Whether `entry` is a real directory holding only a manifest and
    array files, as a graph a save writes or moves aside does."""
    if not entry.is_dir(follow_symlinks=False):
        return False
    try:
        names = os.listdir(entry.path)
    except OSError:
        return False
    return all(n == MANIFEST or _ARRAY_FILE.fullmatch(n) for n in names)


def _mark(directory: Path) -> None:
    """Marks a directory this save made beside the graph as its own."""
    with open(directory / SAVE_MARK, "wb"):
        pass


def _fresh_dir(parent: Path, prefix: str) -> Path:
    """A new directory `parent/prefix<random>`, its mode set by the umask as
    `open` sets a file's (tempfile.mkdtemp would make it 0700)."""
    while True:
        candidate = parent / f"{prefix}{secrets.token_hex(4)}"
        try:
            os.mkdir(candidate, 0o777)
        except FileExistsError:
            continue
        return candidate


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


# ---------------------------------------------------------------------------
# Loading


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
    manifest = _read_manifest(manifest_path, fd)
    node_types = list(manifest["node_types"])
    edge_types = [(s, r, d) for s, r, d in manifest["edge_types"]]
    num_nodes = dict(manifest["num_nodes"])
    recorded: dict[str, dict[str, tuple[int, ...]]] = {}
    for kind, (dtype, _) in KINDS.items():
        recorded[kind] = {}
        for name, entry in manifest["arrays"][kind].items():
            where = f"{manifest_path}: {kind}[{name!r}]"
            shape = _entry_shape(entry, where)
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
        time_sources=_time_sources(manifest.get("time_sources", {}), f"{manifest_path}: "),
    )


def _time_unit(value: Any, where: str, error: type[ValueError] = GraphFileError) -> None:
    """A graph's time unit is one `from_tables` makes, or None; save and load
    check it alike, raising `error`."""
    from tovalib_data.tables import TIME_UNITS

    if value is not None and not (isinstance(value, str) and value in TIME_UNITS):
        raise error(f"{where}time_unit must be one of {', '.join(TIME_UNITS)} or None, "
                    f"not {value!r}")


def _time_sources(value: Any, where: str,
                  error: type[ValueError] = GraphFileError) -> dict[str, str | list[str]]:
    """Per timed node type, its time column or the relations it inherits
    through; save and load check it alike, raising `error`."""
    if not isinstance(value, dict) or not all(
        isinstance(k, str)
        and (isinstance(v, str) or (isinstance(v, list) and all(isinstance(r, str) for r in v)))
        for k, v in value.items()
    ):
        raise error(f"{where}'time_sources' must map node types to a column "
                    "or a list of relations")
    return value


def _read_manifest(path: Path, dir_fd: int | None = None) -> dict[str, Any]:
    try:
        with _open_regular(path, dir_fd) as f:
            data = f.read()
    except OSError as exc:
        raise GraphFileError(f"{path} cannot be read: {exc.strerror or exc}") from None
    try:
        text = data.decode()
        if _text_depth(text) > _MAX_MANIFEST_DEPTH:
            raise ValueError(f"nested more than {_MAX_MANIFEST_DEPTH} levels deep, "
                             f"deeper than a save writes")
        manifest = json.loads(text, parse_constant=_refuse_constant,
                              parse_float=_finite_float)
    except ValueError as exc:  # UnicodeDecodeError is a ValueError
        raise GraphFileError(f"{path} is not valid JSON: {exc}") from None
    if not isinstance(manifest, dict) or manifest.get("format") != FORMAT:
        raise GraphFileError(f"{path} is not the manifest of a saved graph")
    version = manifest.get("version")
    if type(version) is not int or version != VERSION:
        raise GraphFileError(
            f"{path} has format version {version!r}; "
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
    if not all(type(n) is int and 0 <= n <= _INT64_MAX for n in manifest["num_nodes"].values()):
        raise GraphFileError(f"{path}: node counts must be non-negative integers")
    if "time_unit" not in manifest:
        raise GraphFileError(f"{path}: 'time_unit' is missing")
    _time_unit(manifest["time_unit"], f"{path}: ")
    return manifest


def _refuse_constant(name: str) -> Any:
    """NaN and Infinity are not JSON, and `save` never writes them."""
    raise ValueError(f"{name} is not a JSON value")


def _finite_float(text: str) -> float:
    """A number too large for a float (1e400) would load as infinity, which
    `save` refuses to write."""
    value = float(text)
    if not math.isfinite(value):
        raise ValueError(f"{text} is not a finite number")
    return value


def _entry_shape(entry: Any, where: str) -> tuple[int, ...]:
    shape = entry.get("shape") if isinstance(entry, dict) else None
    file = entry.get("file") if isinstance(entry, dict) else None
    if (
        not isinstance(shape, list)
        or not all(type(n) is int and 0 <= n <= _INT64_MAX for n in shape)
        or not isinstance(file, str)
        or Path(file).name != file
        or file in ("", ".", "..")
        or "\0" in file
        or "/" in file
        or "\\" in file
    ):
        raise GraphFileError(f"{where}: malformed entry {entry!r}")
    return tuple(shape)


def _open_regular(path: Path, dir_fd: int | None = None) -> BinaryIO:
    """`path` opened for reading if it is a regular file, else GraphFileError;
    with `dir_fd`, its name is opened in that directory. Opened without
    blocking, so a FIFO or a device is refused, not waited on."""
    def opener(name: str, flags: int) -> int:
        return os.open(name, flags | getattr(os, "O_NONBLOCK", 0), dir_fd=dir_fd)

    f = open(path.name if dir_fd is not None else path, "rb", opener=opener)
    if not stat.S_ISREG(os.fstat(f.fileno()).st_mode):
        f.close()
        raise GraphFileError(f"{path} is not a regular file")
    return f


def _open_array(
    directory: Path, dir_fd: int | None, file: str, dtype: str, shape: tuple[int, ...],
    mmap: bool
) -> npt.NDArray[Any]:
    """The array in `file`, after checking its header and size against the manifest."""
    path = directory / file
    try:
        with _open_regular(path, dir_fd) as f:
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
