"""Saving a graph: written beside its path, then renamed into place.

A save first checks the graph as loading would (`check_layout`), so that
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
"""

from __future__ import annotations

import json
import os
import re
import secrets
import shutil
import tempfile
from collections.abc import Iterator, Mapping
from contextlib import contextmanager
from pathlib import Path
from typing import TYPE_CHECKING, Any, BinaryIO

import numpy as np
import numpy.typing as npt

from tovalib_data.storage import extras
from tovalib_data.storage.layout import (FORMAT, KINDS, MANIFEST, VERSION, GraphFileError,
                                         check_colptr_ends, check_layout, check_time_unit,
                                         checked_time_sources, plain_json, read_manifest,
                                         stored_array)

if TYPE_CHECKING:
    from tovalib_data.graph import Graph

# The random part of a scratch directory's name: this version writes 8 hex
# digits; 0.1.0 made them with tempfile.mkdtemp, 8 of [a-z0-9_], mode 0700.
_SUFFIX = re.compile(r"[0-9a-f]{8}")
_SUFFIX_0_1 = re.compile(r"[a-z0-9_]{8}")
# The file a save puts in each ".new-*" and ".old-*" directory it makes, so
# that only those are ever removed as its leftovers (never part of a graph).
SAVE_MARK = ".tovalib-save"
# The name a save gives an array's file.
_ARRAY_FILE = re.compile(rf"(?:{'|'.join((*KINDS, *extras.EXTRA_KINDS))})\.[0-9]+\.npy")


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
    stored = {kind: {name: stored_array(kind, name, values[name]) for name in values}
              for kind, values in per_kind.items()}
    check_colptr_ends(stored["colptr"], stored["row"])
    check_time_unit(graph.time_unit, "", ValueError)
    if not isinstance(graph.report, dict):
        raise ValueError(f"report must be a dict, got {type(graph.report).__name__}")
    plain_json(graph.report, "report")
    checked_time_sources(graph.time_sources, "", ValueError)
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
    extra_files, extra_entries = extras.prepare(graph)
    files += extra_files
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
        **extra_entries,
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
        manifest = read_manifest(target / MANIFEST)
    except GraphFileError:
        return "exists and is not a saved graph"
    listed = {MANIFEST} | {  # only names a save gives its files
        entry["file"] for kind in KINDS for entry in manifest["arrays"][kind].values()
        if isinstance(entry, dict) and isinstance(entry.get("file"), str)
        and _ARRAY_FILE.fullmatch(entry["file"])
    } | {name for name in extras.listed_files(manifest) if _ARRAY_FILE.fullmatch(name)}
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


