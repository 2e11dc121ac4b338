"""The text `Graph.summary` returns: what a graph was built from, at a glance."""

from __future__ import annotations

from collections.abc import Mapping
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from tovalib_data.graph import Graph


def summary(graph: Graph) -> str:
    keys = ["__".join(et) for et in graph.edge_types]
    sources = graph.time_sources
    lines = [f"{len(graph.node_types)} tables, {sum(graph.num_nodes.values()):,} rows"]
    name_width = max((len(t) for t in graph.node_types), default=0)
    rows_width = max((len(f"{n:,}") for n in graph.num_nodes.values()), default=0)
    for table in graph.node_types:
        source = sources.get(table)
        if isinstance(source, str):
            time = f"time: column {source}"
        elif source:
            time = "time: inherited through " + ", ".join(source)
        elif table in graph.node_time:
            time = "time: given"
        else:
            time = "untimed"
        features = graph.x[table].shape[1] if table in graph.x else 0
        extra = f", {features} feature{'s' * (features != 1)}" if features else ""
        rows = graph.num_nodes[table]
        lines.append(f"  {table:<{name_width}}  {rows:>{rows_width},} "
                     f"{'row ' if rows == 1 else 'rows'}  {time}{extra}")
        typed = graph.features.get(table)
        if typed is not None:
            columns = ", ".join(f"{c} {s}" for c, s in typed.stypes.items())
            lines.append(f"  {'':<{name_width}}  typed: {columns}")
    edges = {key: len(graph.row[key]) for key in keys}
    lines.append(f"{len(keys)} edge types, {sum(edges.values()):,} edges")
    key_width = max((len(k) for k in keys), default=0)
    edge_width = max((len(f"{n:,}") for n in edges.values()), default=0)
    for key, count in edges.items():
        lines.append(f"  {key:<{key_width}}  {count:>{edge_width},}")
    report = graph.report if isinstance(graph.report, Mapping) else {}
    dropped = [(str(ref), entry) for ref, entry in report.items() if _dropped(entry) != 0]
    lines.append("dropped references: " + ("none" if not dropped else str(len(dropped))))
    lines += [f"  {_dropped_line(ref, entry)}" for ref, entry in dropped]
    if graph.time_unit is not None:
        lines.append(f"time unit: {graph.time_unit}")
    elif graph.node_time:
        lines.append("time unit: none (integer times as given)")
    return "\n".join(lines)


def _count(value: Any) -> int | None:
    """A row count of a report entry, or None where it holds something else."""
    return value if isinstance(value, int) and not isinstance(value, bool) and value >= 0 \
        else None


def _dropped(entry: Any) -> int | None:
    """The rows an entry counts as dropped; None for an entry not readable as
    one (a report loaded from a manifest someone edited may hold anything)."""
    return _count(entry.get("dropped")) if isinstance(entry, Mapping) else None


def _dropped_line(ref: str, entry: Any) -> str:
    """One dropped reference: its counts, or what the entry holds where it
    is not readable as a report entry."""
    dropped = _dropped(entry)
    if dropped is None:
        held = repr(entry)
        return f"{ref}: not readable as a report entry ({held[:60]}{'...' * (len(held) > 60)})"
    target = entry.get("references")
    rows, null, skipped = _count(entry.get("rows")), _count(entry.get("null")), \
        entry.get("skipped")
    if isinstance(skipped, str) and skipped:
        why = f" (no edges, {skipped})"
    elif null is not None and null <= dropped:
        why = f" ({null:,} null, {dropped - null:,} not found)"
    else:
        why = ""
    if not isinstance(target, str):
        head = ref
    elif ref.endswith(f"->{target}") or f"->{target}(" in ref:
        head = ref  # a key that already names its target ("items.product_id->archive")
    else:
        head = f"{ref} -> {target}"
    of = "" if rows is None else f" of {rows:,}"
    return f"{head}: {dropped:,}{of} rows{why}"
