"""A heterogeneous, optionally timestamped graph in the sampler's CSC form."""

from __future__ import annotations

import os
from collections.abc import Collection, Mapping, Sequence
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any

import numpy as np
import numpy.typing as npt

import tovalib

if TYPE_CHECKING:
    from tovalib_data.features.frames import NodeFeatures

Int64Array = npt.NDArray[np.int64]
Float32Array = npt.NDArray[np.float32]


@dataclass(frozen=True)
class Graph:
    """The arrays a `tovalib.NeighborSampler` reads, plus what built them.

    Built by `from_tables`, `from_database` or `load`; a hand-built graph
    takes the same fields:

    - `node_types`: the node type names, one per table;
    - `edge_types`: the `(src, rel, dst)` triples, forward then reverse per
      foreign key;
    - `colptr`, `row`: per edge type key "src__rel__dst", the CSC arrays
      (int64; neighbourhoods sorted by time, then id);
    - `node_time`: per timed node type, one int64 time per node;
    - `num_nodes`: per node type, its number of nodes (rows);
    - `x`: per node type with features, a float32 matrix (rows, features);
    - `time_unit`: the unit of datetime times ("D" ... "ns"), or None when
      no time column held datetimes;
    - `report`: per foreign key "table.relation", its rows, resolved,
      dropped and null counts;
    - `time_sources`: per timed node type, its time column, or the list of
      relations it inherits its times through;
    - `features`: per node type, its typed feature columns encoded
      (`features.frames.NodeFeatures`), when built with `features`;
    - `keys`: per node type with a primary key, its key values in row
      order (an array, or a dict of column -> array for a composite key).

    Types without times or features are absent from `node_time` and `x`.
    """

    node_types: list[str]
    edge_types: list[tuple[str, str, str]]
    colptr: dict[str, Int64Array]
    row: dict[str, Int64Array]
    node_time: dict[str, Int64Array]
    num_nodes: dict[str, int]
    x: dict[str, Float32Array] = field(default_factory=dict)
    time_unit: str | None = None
    report: dict[str, Any] = field(default_factory=dict)
    time_sources: dict[str, str | list[str]] = field(default_factory=dict)
    features: dict[str, NodeFeatures] = field(default_factory=dict)
    keys: dict[str, Any] = field(default_factory=dict)
    # Key indexes built by `rows`, per node type.
    _key_indexes: dict[str, Any] = field(default_factory=dict, init=False, repr=False,
                                         compare=False)

    def __repr__(self) -> str:
        """Types, counts and time unit, never the arrays."""
        nodes = ", ".join(f"{t!r}: {int(self.num_nodes.get(t, 0))}" for t in self.node_types)
        num_edges = sum(len(row) for row in self.row.values())
        return (f"Graph(nodes={{{nodes}}}, edges={num_edges} in {len(self.edge_types)} "
                f"edge types, time_unit={self.time_unit!r})")

    @classmethod
    def from_tables(
        cls,
        tables: Mapping[str, Any],
        primary_keys: Mapping[str, str | Sequence[str]] | None = None,
        foreign_keys: Mapping[str, Mapping[str | tuple[str, ...], str]] | None = None,
        time_columns: Mapping[str, str] | None = None,
        feature_columns: Mapping[str, Sequence[str]] | None = None,
        time_unit: str = "s",
        inherit_time: bool | Collection[str] = True,
        features: str | Mapping[str, Mapping[str, Any]] | None = None,
        fit_until: Any = None,
        text_embedder: Any = None,
    ) -> Graph:
        """A graph with one node type per table and two edge types per foreign key.

        `tables` maps a name to a pandas DataFrame, a dict of column -> 1-D
        array (NumPy, pandas or pyarrow), or an Arrow table (anything with
        `__arrow_c_stream__`: pyarrow, polars, DuckDB); node i of a type is
        row i of its table. `foreign_keys[A][c] = B` says column c of A
        holds primary key values of B; it gives the edge types (A, c, B) and
        (B, "rev_" + c, A). A composite key is a list of columns in
        `primary_keys` and a tuple of columns, in the key's order, in
        `foreign_keys`; its relation is the columns joined by "_".
        Neighbourhoods are sorted by the neighbour's time (from
        `time_columns`, or inherited), then by id. datetime64 and Arrow date
        and timestamp times become int64 in `time_unit` ("D", "h", "m", "s",
        "ms", "us", "ns"). `feature_columns` gives a float32 matrix per
        table in `x`. Keys that do not resolve are counted per foreign key
        in `report`, under "table.relation".

        With `inherit_time` (the default) a table without a time column whose
        foreign keys reference timed tables gets node times: per row, the
        latest time among the rows it references there (the int64 minimum
        for a row referencing none), in dependency order, not following
        foreign keys among tables on a cycle of such tables. `time_sources`
        says per timed table where its times come from: its time column, or
        the relations it inherits through. `inherit_time=False` turns this
        off; a collection of table names leaves those tables out.

        `features` types the columns that are not keys as PyTorch Frame
        does (needs `tovalib[frame]`): "auto" infers a type for every column
        but the keys and the time column; a dict table -> {column: stype or
        its name} (RelBench's `col_to_stype_dict`) sets or overrides types
        column by column, the rest inferred, None leaving a column out;
        None (the default) types nothing, leaving `feature_columns` alone to
        give `x`. Statistics are fitted on the rows whose node time is at
        most `fit_until` (any time the loaders take as a seed time; rows of
        untimed tables always count; None: every row). Text columns are
        embedded by `text_embedder` (a callable list of str -> (n, d)
        array, or a PyTorch Frame `TextEmbedderConfig`; None: a hashed
        bag of character trigrams), each distinct string once. The result
        is in `features`, `col_names_dict` and `col_stats`, and batches'
        `to_pyg()` give each node type a TensorFrame `tf`.
        """
        import dataclasses

        from tovalib_data.build.schema import build_with_sources

        arrays, sources = build_with_sources(tables, primary_keys, foreign_keys, time_columns,
                                             feature_columns, time_unit, inherit_time)
        graph = cls(**vars(arrays))
        if features is None:
            if fit_until is not None or text_embedder is not None:
                raise ValueError("fit_until and text_embedder need features ('auto' or a dict)")
            return graph
        from tovalib_data.features.encode import encode_tables

        encoded = encode_tables(graph, sources.tables, features, sources.key_columns,
                                sources.time_columns, fit_until, text_embedder)
        return dataclasses.replace(graph, features=encoded)

    @property
    def stypes(self) -> dict[str, dict[str, str]]:
        """Per node type with features, each feature column's type name
        (as inferred or given)."""
        return {t: dict(f.stypes) for t, f in self.features.items()}

    @property
    def col_names_dict(self) -> dict[str, dict[Any, list[str]]]:
        """Node type -> {torch_frame.stype: columns}, as PyTorch Frame's
        encoders and RelBench's HeteroEncoder take it (needs
        `tovalib[frame]`)."""
        from tovalib_data.features.frames import col_names_dict

        return col_names_dict(self.features)

    @property
    def col_stats(self) -> dict[str, dict[str, dict[Any, Any]]]:
        """Node type -> {column: {StatType: value}}, PyTorch Frame's column
        statistics as fitted (needs `tovalib[frame]`)."""
        from tovalib_data.features.frames import col_stats

        return col_stats(self.features)

    def rows(self, table: str, keys: Any) -> Int64Array:
        """The row ids (node ids) of the given primary key values of `table`.

        `keys` is an array of key values; for a composite key, one array per
        key column in the key's order, or a dict column -> array. Raises
        KeyError naming the first value that is no key of the table.
        """
        from tovalib_data.build.lookup import key_index, rows

        if table not in self.keys:
            raise ValueError(f"rows: table {table!r} has no primary key kept in this graph")
        stored = self.keys[table]
        if table not in self._key_indexes:
            self._key_indexes[table] = key_index(table, stored)
        columns = [str(c) for c in stored] if isinstance(stored, Mapping) else ["key"]
        return rows(self._key_indexes[table], table, columns, keys)

    @classmethod
    def from_database(
        cls,
        source: Any,
        *,
        tables: Collection[str] | None = None,
        time_columns: Mapping[str, str] | None = None,
        feature_columns: Mapping[str, Sequence[str]] | None = None,
        time_unit: str = "s",
        inherit_time: bool | Collection[str] = True,
        progress: bool = False,
        primary_keys: Mapping[str, str | Sequence[str]] | None = None,
        foreign_keys: Mapping[str, Mapping[str | tuple[str, ...], str]] | None = None,
        features: str | Mapping[str, Mapping[str, Any]] | None = None,
        fit_until: Any = None,
        text_embedder: Any = None,
    ) -> Graph:
        """`from_tables` on the tables of a database, with the keys its catalog declares.

        `source` is a SQLAlchemy URL (string or `URL`), Engine or Connection,
        a `sqlite3.Connection`, or the path of a SQLite file (opened
        read-only); connections given are left open, what is opened here is
        closed. A URL or path naming no database file is FileNotFoundError
        (SQLite and DuckDB would create an empty one). Every table is read
        in one snapshot (a transaction the caller began on a Connection is
        read in as it is). Every table of the default schema is read
        (`tables`: only those named); node types and relation names are the
        catalog's table and column names (a composite foreign key's relation
        is its columns joined by "_"), keys matched as the database matches
        them (SQLite and DuckDB names without case, PostgreSQL CHAR(n)
        without its trailing blanks).

        `primary_keys` and `foreign_keys`, in `from_tables`' form, add to
        the catalog's keys or replace them: a table's primary key given
        replaces the declared one, and a foreign key given on columns the
        catalog declares a key on replaces that key. A replaced key is
        named in `report` (a foreign key under its "table.relation->target"
        entry with "skipped"; a primary key under "table.(primary key)").
        A catalog's foreign key that gives no edges (into a table not read
        or not onto its primary key, a name that cannot be a relation, a
        relation another key has) is reported with the reason under
        "skipped", and the rest are read; keys given with such names raise
        ValueError, as in `from_tables`.

        Tables that have date or time columns (other than key columns) but
        no time column in `time_columns` are named, with those columns, in
        one UserWarning: none is chosen silently, since a column such as
        `last_update` would show a sample the future. Rows are read in
        primary-key order, streamed in chunks, with a tqdm progress bar when
        `progress` and tqdm is installed. `time_columns`,
        `feature_columns`, `time_unit` and `inherit_time` are those of
        `from_tables`, and so are `features`, `fit_until` and
        `text_embedder` (with `features`, every column of the tables read
        is read). Needs `tovalib[sql]`.
        """
        from tovalib_data.sources.database import from_database

        return from_database(source, tables=tables, time_columns=time_columns,
                             feature_columns=feature_columns, time_unit=time_unit,
                             inherit_time=inherit_time, progress=progress,
                             primary_keys=primary_keys, foreign_keys=foreign_keys,
                             features=features, fit_until=fit_until,
                             text_embedder=text_embedder)

    @classmethod
    def from_relbench(
        cls,
        db: Any,
        col_to_stype: Mapping[str, Mapping[str, Any]] | None = None,
        text_embedder: Any = None,
        fit_until: Any = None,
        *,
        inherit_time: bool | Collection[str] = True,
    ) -> Graph:
        """The graph RelBench's `make_pkey_fkey_graph` builds from `db`.

        `db` is a RelBench `Database` (its `table_dict` of `Table`s: `df`,
        `pkey_col`, `fkey_col_to_pkey_table`, `time_col`) or the path of a
        RelBench dataset folder (`manifest.yaml` and `db/<table>.parquet`;
        every row is read). Each table is a node type, row i its node i.
        A foreign key column `c` of table A into table B gives RelBench's
        edge types `(A, "f2p_" + c, B)` and `(B, "rev_f2p_" + c, A)`, whose
        edges are the rows whose key resolves (a null or a key absent from
        B gives none; `report["A.f2p_c"]` counts them). Keys are matched by
        value, which for RelBench's keys (row numbers) is the row itself.
        Node times are UNIX seconds (`time_unit="s"`).

        Features: `col_to_stype` is RelBench's `col_to_stype_dict` (table
        -> {column: stype}): a table it names has exactly the columns it
        names, but the primary and foreign keys (left out, as RelBench
        does). A table it does not name, and every table when it is None,
        is typed as RelBench's `get_stype_proposal` would: every column
        but the keys inferred, the time column a timestamp. A table left
        without a feature column gets RelBench's numerical `__const__`
        column of ones. `text_embedder` and `fit_until` are `from_tables`'
        (a PyTorch Frame `TextEmbedderConfig` works, as in RelBench); with
        `fit_until=None` every row counts, as in RelBench. Needs
        `tovalib[relbench]` (PyTorch Frame, pandas; pyarrow for a folder).

        Unlike RelBench's graph, untimed tables inherit times through their
        foreign keys as in `from_tables` (a row that references an order
        takes the order's time; one that references no timed row, the
        earliest int64), so a subgraph sampled at a cut-off never holds a
        row that refers to rows later than the cut-off. `time_sources`
        says which; `inherit_time=False` keeps them untimed, as RelBench
        does, and a collection of table names leaves those out.
        """
        from tovalib_data.sources.relbench import from_tables_arguments

        arguments = from_tables_arguments(db, col_to_stype, inherit_time)
        return cls.from_tables(**arguments, text_embedder=text_embedder, fit_until=fit_until)

    def summary(self) -> str:
        """Several lines: tables and rows, edge types with edge counts, the
        references dropped per foreign key, and where node times come from."""
        from tovalib_data.summary import summary

        return summary(self)

    def save(self, path: str | os.PathLike[str]) -> None:
        """Write the graph to the directory `path`, atomically.

        `path` must be absent, an empty directory or a saved graph holding
        only its manifest and the files the manifest lists (replaced only
        once the new one is complete); anything else, a saved graph with a
        file of yours in it included, raises FileExistsError naming the path
        and the unlisted file. A `path` that is a symbolic link is followed:
        the directory it leads to is replaced under the same rules and the
        link is kept; a link leading nowhere raises FileExistsError. A
        `path` whose last part is empty, "." or ".." raises ValueError before
        anything is created. The graph is checked as `load` checks it before
        anything is written (ValueError naming the array or type).

        The graph is written into a scratch directory ".<name>.new-*" beside
        `path` and renamed into place; a replaced graph is moved aside into
        ".<name>.old-*" first. A save marks each such directory it makes with
        the file ".tovalib-save" (never part of the saved graph), and removes
        the ones saves killed midway left only when they hold that mark, so a
        directory of yours with such a name is never deleted.
        """
        from tovalib_data.storage import save

        save(self, path)

    @classmethod
    def load(cls, path: str | os.PathLike[str], mmap: bool = True) -> Graph:
        """The graph saved with `save` in the directory `path`.

        With `mmap` (the default) every array is a read-only memory map,
        read only where sampling touches it; with `mmap=False` the arrays
        are read into memory. A manifest or file that does not match raises
        `GraphFileError` naming the file; no graph at `path` raises
        FileNotFoundError. A save replacing the graph meanwhile makes the
        load read the old graph or the new one, whole (it starts over if the
        old one's files went before it read them), or, in the moment between
        the save's two renames, find `path` absent.
        """
        from tovalib_data.storage import load

        return load(path, mmap=mmap)

    def sampler(self, seed: int = 0, temporal: bool = True) -> tovalib.NeighborSampler:
        """A sampler over this graph's arrays (nothing is copied).

        `seed` seeds the sampler's random generator (a signed 32-bit
        integer). With `temporal=False` the sampler gets no node times and
        samples every edge type in plain mode.
        """
        return tovalib.NeighborSampler(
            self.node_types,
            self.edge_types,
            self.colptr,
            self.row,
            self.node_time if temporal else {},
            seed=seed,
        )
