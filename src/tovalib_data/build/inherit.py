"""Node times inherited along foreign keys.

A table without a time column of its own, whose foreign keys reference timed
tables, takes per row the latest time among the rows it references there; a
row that references no timed row gets the int64 minimum, so it stays visible
at every cut-off. A table's time may itself be inherited, so tables are
handled in dependency order: referenced tables first. Where untimed tables
reference each other in a cycle (a self-reference included) there is no such
order, and the foreign keys between the tables of one cycle are not
followed; each of them still inherits through its other foreign keys.
"""

from __future__ import annotations

from collections.abc import Mapping, Sequence

import numpy as np

from tovalib_data.build.tables import Int64Array

INT64_MIN = np.iinfo(np.int64).min


def dependency_order(
    tables: Sequence[str], references: Mapping[str, Sequence[str]]
) -> list[list[str]]:
    """The strongly connected components of the graph table -> the tables it
    references (only those among `tables`), each listed after every component
    it references; within a component, tables keep the order of `tables`.

    An iterative Tarjan search: a component is complete, and emitted, once
    every table it reaches has been emitted.
    """
    position = {t: i for i, t in enumerate(tables)}
    index: dict[str, int] = {}
    low: dict[str, int] = {}
    stack: list[str] = []
    on_stack: set[str] = set()
    components: list[list[str]] = []
    for root in tables:
        if root in index:
            continue
        work = [(root, iter(references.get(root, ())))]
        index[root] = low[root] = len(index)
        stack.append(root)
        on_stack.add(root)
        while work:
            table, targets = work[-1]
            for target in targets:
                if target not in position:
                    continue
                if target not in index:
                    index[target] = low[target] = len(index)
                    stack.append(target)
                    on_stack.add(target)
                    work.append((target, iter(references.get(target, ()))))
                    break
                if target in on_stack:
                    low[table] = min(low[table], index[target])
            else:
                work.pop()
                if work:
                    parent = work[-1][0]
                    low[parent] = min(low[parent], low[table])
                if low[table] == index[table]:
                    component: list[str] = []
                    while True:
                        member = stack.pop()
                        on_stack.discard(member)
                        component.append(member)
                        if member == table:
                            break
                    components.append(sorted(component, key=position.__getitem__))
    return components


def latest(num_rows: int, sources: Sequence[tuple[Int64Array, Int64Array]]) -> Int64Array:
    """Per row, the latest of `times[refs[row]]` over the (refs, times) pairs,
    refs -1 meaning no reference; the int64 minimum where none resolves."""
    out = np.full(num_rows, INT64_MIN, dtype=np.int64)
    for refs, times in sources:
        if len(times) == 0:
            continue
        got = times[np.maximum(refs, 0)]
        got[refs < 0] = INT64_MIN
        np.maximum(out, got, out=out)
    return out
