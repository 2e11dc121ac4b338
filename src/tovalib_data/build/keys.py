"""Primary key indexes: the row of each key value, for one column or several.

A key column arrives as a `tables.KeyPart`: int64 values, strings, bytes or
datetime64 values, with a null mask. Dates and times match by the instant
they stand for, whatever their units: a value that the key's unit cannot
hold exactly matches nothing.

Lookups are vectorised and return one int64 per value: the referenced row,
or -1 where the value is null or absent from the key.

- Integer keys that run k0, k0 + 1, ... in row order are row number + k0:
  found by subtraction, nothing is sorted.
- Other single-column keys are sorted once (if they are not already) and
  searched.
- A composite key is encoded part by part: each part's values become their
  rank among that part's distinct values, the ranks so far and the next
  part's rank combine into one integer (rank * distinct + next), and the
  combination is ranked again among the key's distinct combinations, so
  the codes stay below the number of rows and never overflow. A referencing
  tuple goes through the same steps with searches; a part or a combination
  the key does not hold leaves the row unresolved.
"""

from __future__ import annotations

from collections.abc import Collection, Mapping, Sequence

import numpy as np
from numpy.dtypes import StringDType

from tovalib_data.build.tables import AnyArray, BoolArray, Int64Array, KeyPart, Table

TEXT = StringDType()


def scalar(value: object) -> object:
    """A NumPy scalar as the Python value (StringDType elements already are);
    a datetime64 as its ISO text."""
    if isinstance(value, np.datetime64):
        return str(value)
    return value.item() if isinstance(value, np.generic) else value


def any_null(parts: list[KeyPart]) -> BoolArray | None:
    """Rows with a null in any part (None: no such row)."""
    masks = [p.nulls for p in parts if p.nulls is not None]
    if not masks:
        return None
    out = masks[0].copy()
    for mask in masks[1:]:
        out |= mask
    return out


class SortedValues:
    """Distinct values in ascending order, searched for other values."""

    def __init__(self, values: AnyArray) -> None:
        self.values = values
        self._text: AnyArray | None = None

    def __len__(self) -> int:
        return len(self.values)

    def find(self, values: AnyArray) -> tuple[Int64Array, BoolArray]:
        """Rank of each value among these values, and whether it is one of them
        (ranks of values not found are in range but meaningless)."""
        ref = self.values
        exact: BoolArray | None = None
        if ref.dtype.kind == "M" and values.dtype != ref.dtype:
            # Into the key's unit; the way back shows what did not fit or was floored.
            converted = values.astype(ref.dtype)
            exact = converted.astype(values.dtype) == values
            values = converted
        elif ref.dtype.kind != values.dtype.kind and ref.dtype.kind in "UT":
            # 'U' against StringDType: compare both as StringDType.
            if ref.dtype.kind == "U":
                if self._text is None:
                    self._text = ref.astype(TEXT)
                ref = self._text
            else:
                values = values.astype(TEXT)
        at = np.searchsorted(ref, values).astype(np.int64, copy=False)
        np.minimum(at, len(ref) - 1, out=at)
        found = ref[at] == values
        if exact is not None:
            found &= exact
        return at, found


class KeyIndex:
    """The primary key of one table, over one or more columns."""

    def __init__(self, table: Table, columns: tuple[str, ...]) -> None:
        self.where = where = table.where_key(columns)
        self.column_where = [table.where(c) for c in columns]
        self.size = size = table.num_rows
        parts = [table.key_column(c) for c in columns]
        self.kinds = [p.kind for p in parts]
        self.values = [p.values for p in parts]  # the key's values, per column
        nulls = any_null(parts)
        if nulls is not None:
            count = int(nulls.sum())
            raise ValueError(
                f"primary key {where} has {count} nulls" if len(parts) == 1 else
                f"primary key {where} has {count} rows with a null"
            )
        self.offset: int | None = None
        self.order: Int64Array | None = None
        self.sorted: SortedValues | None = None
        self.parts: list[SortedValues] = []
        self.steps: list[SortedValues] = []
        self.row_of_code: Int64Array | None = None
        if size == 0:
            return
        if len(parts) == 1:
            self._single(parts[0])
        else:
            self._composite(parts)

    def _single(self, part: KeyPart) -> None:
        values = part.values
        increasing = bool(np.all(values[1:] > values[:-1]))
        if increasing and part.kind == "int" and int(values[-1]) - int(values[0]) == self.size - 1:
            self.offset = int(values[0])  # dense: row number + offset
            return
        if not increasing:
            self.order = np.argsort(values, kind="stable").astype(np.int64, copy=False)
            values = values[self.order]
            same = np.flatnonzero(values[1:] == values[:-1])
            if len(same):
                raise ValueError(
                    f"primary key {self.where} has duplicates, for example "
                    f"{scalar(values[same[0]])!r}"
                )
        self.sorted = SortedValues(values)

    def _composite(self, parts: list[KeyPart]) -> None:
        combined: Int64Array | None = None
        for part in parts:
            distinct, rank = np.unique(part.values, return_inverse=True)
            self.parts.append(SortedValues(distinct))
            rank = rank.astype(np.int64, copy=False)
            if combined is None:
                combined = rank
                continue
            # combined < rows and rank < rows, so the product stays in int64.
            combined *= len(distinct)
            combined += rank
            step, combined = np.unique(combined, return_inverse=True)
            self.steps.append(SortedValues(step))
            combined = combined.astype(np.int64, copy=False)
        assert combined is not None
        if len(self.steps[-1]) < self.size:
            code = int(np.flatnonzero(np.bincount(combined) > 1)[0])
            row = int(np.flatnonzero(combined == code)[0])
            example = tuple(scalar(p.values[row]) for p in parts)
            raise ValueError(f"primary key {self.where} has duplicates, for example {example!r}")
        self.row_of_code = np.empty(self.size, dtype=np.int64)
        self.row_of_code[combined] = np.arange(self.size, dtype=np.int64)

    def lookup(self, parts: list[KeyPart]) -> Int64Array:
        """The referenced row of each tuple of values, -1 where it does not resolve."""
        count = len(parts[0].values)
        if self.size == 0 or any(p.kind is None for p in parts):  # nothing can resolve
            return np.full(count, -1, dtype=np.int64)
        if len(parts) == 1:
            values = parts[0].values
            if self.offset is not None:
                found = values >= self.offset
                found &= values <= self.offset + self.size - 1
                rows = values - self.offset
            else:
                assert self.sorted is not None
                rows, found = self.sorted.find(values)
                if self.order is not None:
                    rows = self.order[rows]
        else:
            rows, found = self._encode(parts)
        nulls = any_null(parts)
        if nulls is not None:
            found &= ~nulls
        np.invert(found, out=found)
        rows[found] = -1
        return rows

    def _encode(self, parts: list[KeyPart]) -> tuple[Int64Array, BoolArray]:
        assert self.row_of_code is not None
        code, found = self.parts[0].find(parts[0].values)
        for distinct, step, part in zip(self.parts[1:], self.steps, parts[1:]):
            rank, part_found = distinct.find(part.values)
            found &= part_found
            code *= len(distinct)
            code += rank
            code, step_found = step.find(code)
            found &= step_found
        return self.row_of_code[code], found


def linked_columns(
    columns: Collection[tuple[str, str]],
    primary_keys: Mapping[str, str | Sequence[str]],
    foreign_keys: Mapping[str, Mapping[str | tuple[str, ...], str]],
) -> set[tuple[str, str]]:
    """The (table, column) pairs given, and every key column a foreign key
    pairs with one of them (a foreign key column and the primary key column
    it references), transitively: the columns that must be read the same way
    for their values to match."""
    partners: dict[tuple[str, str], list[tuple[str, str]]] = {}
    for table, mapping in foreign_keys.items():
        for specifier, target in mapping.items():
            key = primary_keys.get(target, ())
            key_columns = (key,) if isinstance(key, str) else tuple(key)
            fk_columns = (specifier,) if isinstance(specifier, str) else specifier
            for column, key_column in zip(fk_columns, key_columns):
                partners.setdefault((table, column), []).append((target, key_column))
                partners.setdefault((target, key_column), []).append((table, column))
    out = set(columns)
    work = list(out)
    while work:
        for partner in partners.get(work.pop(), ()):
            if partner not in out:
                out.add(partner)
                work.append(partner)
    return out


def resolved(refs: Int64Array) -> tuple[Int64Array, Int64Array]:
    """(referencing rows, referenced rows) of the references that resolve."""
    rows = np.flatnonzero(refs >= 0).astype(np.int64, copy=False)
    return rows, refs[rows]


def count_nulls(parts: list[KeyPart]) -> int:
    nulls = any_null(parts)
    return 0 if nulls is None else int(nulls.sum())

