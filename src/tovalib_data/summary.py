"""The text `Graph.summary` returns: what a graph was built from, at a glance."""

from __future__ import annotations

from typing import TYPE_CHECKING

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
    edges = {key: len(graph.row[key]) for key in keys}
    lines.append(f"{len(keys)} edge types, {sum(edges.values()):,} edges")
    key_width = max((len(k) for k in keys), default=0)
    edge_width = max((len(f"{n:,}") for n in edges.values()), default=0)
    for key, count in edges.items():
        lines.append(f"  {key:<{key_width}}  {count:>{edge_width},}")
    dropped = [(ref, entry) for ref, entry in graph.report.items()
               if isinstance(entry, dict) and entry.get("dropped")]
    lines.append("dropped references: " + ("none" if not dropped else str(len(dropped))))
    for ref, entry in dropped:
        if entry.get("skipped"):
            why = f"no edges, {entry['skipped']}"
        else:
            why = (f"{entry['null']:,} null, "
                   f"{entry['dropped'] - entry['null']:,} not found")
        target = entry["references"]
        # A key that already names its target ("items.product_id->archive").
        head = ref if ref.endswith(f"->{target}") or f"->{target}(" in ref else \
            f"{ref} -> {target}"
        lines.append(f"  {head}: {entry['dropped']:,} of {entry['rows']:,} rows ({why})")
    if graph.time_unit is not None:
        lines.append(f"time unit: {graph.time_unit}")
    elif graph.node_time:
        lines.append("time unit: none (integer times as given)")
    return "\n".join(lines)
