"""What a saved graph is: a directory of .npy files and a JSON manifest.

    path/manifest.json          format version, types, counts, time unit,
                                report, and per array its file, dtype, shape
    path/colptr.0.npy, ...      one file per array, named by kind and index

Saving first checks the graph as loading would (`check_layout`), so that
nothing is written for a graph that could not be loaded back unchanged.
Loading checks the manifest against every file (`read_manifest` here, the
arrays in `tovalib_data.storage.load`) and raises `GraphFileError` naming the
file.
"""


from __future__ import annotations

import json
import math
import numbers
import os
import re
import stat
from collections.abc import Mapping, Sequence
from pathlib import Path
from typing import TYPE_CHECKING, Any, BinaryIO

import numpy as np
import numpy.typing as npt

if TYPE_CHECKING:
    pass


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
MAX_MANIFEST_DEPTH = MAX_REPORT_DEPTH + 1
_JSON_STRING = re.compile(r'"[^"\\]*(?:\\.[^"\\]*)*"', re.S)


class GraphFileError(ValueError):
    """A saved graph whose manifest and files do not agree; names the file."""


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


def stored_array(kind: str, name: str, value: Any) -> npt.NDArray[Any]:
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


def plain_json(value: Any, what: str) -> str:
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


def text_depth(text: str) -> int:
    """How deeply arrays and objects nest in the JSON `text` (strings, with
    any brackets in them, left out), found without recursion."""
    codes = np.frombuffer(_JSON_STRING.sub('""', text).encode(), dtype=np.uint8)
    steps = np.isin(codes, (ord("["), ord("{"))).astype(np.int64)
    steps -= np.isin(codes, (ord("]"), ord("}")))
    return int(np.cumsum(steps).max(initial=0))





def check_time_unit(value: Any, where: str, error: type[ValueError] = GraphFileError) -> None:
    """A graph's time unit is one `from_tables` makes, or None; save and load
    check it alike, raising `error`."""
    from tovalib_data.build.tables import TIME_UNITS

    if value is not None and not (isinstance(value, str) and value in TIME_UNITS):
        raise error(f"{where}time_unit must be one of {', '.join(TIME_UNITS)} or None, "
                    f"not {value!r}")


def checked_time_sources(value: Any, where: str,
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


def read_manifest(path: Path, dir_fd: int | None = None) -> dict[str, Any]:
    try:
        with open_regular(path, dir_fd) as f:
            data = f.read()
    except OSError as exc:
        raise GraphFileError(f"{path} cannot be read: {exc.strerror or exc}") from None
    try:
        text = data.decode()
        if text_depth(text) > MAX_MANIFEST_DEPTH:
            raise ValueError(f"nested more than {MAX_MANIFEST_DEPTH} levels deep, "
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
    check_time_unit(manifest["time_unit"], f"{path}: ")
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


def entry_shape(entry: Any, where: str) -> tuple[int, ...]:
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


def open_regular(path: Path, dir_fd: int | None = None) -> BinaryIO:
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


