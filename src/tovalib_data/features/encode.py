"""Statistics fitted up to a time, and every feature column encoded.

Per table, the statistics of each feature column (PyTorch Frame's
`compute_col_stats`, with its per-row steps done column-wise: see
`stats`) are fitted on the rows whose node time (own or inherited) is at
most `fit_until`; every row of an untimed table counts,
and with `fit_until=None` every row does. The whole table is then encoded
by PyTorch Frame's own materialization (`Dataset.materialize`) with those
statistics, so a category first seen after `fit_until` encodes as unknown
(-1) and numbers are left as they are (the encoders read the statistics).
The encoded columns come out as NumPy arrays (see `frames.NodeFeatures`),
and the statistics in a plain-JSON form saved with the graph.

A table with no feature column gets the constant numerical column
`__const__` (ones), as RelBench gives one, so that every node type has a
frame for a model's per-type encoders.
"""

from __future__ import annotations

import math
import warnings
from collections.abc import Collection, Mapping
from typing import TYPE_CHECKING, Any

import numpy as np

from tovalib_data._optional import require
from tovalib_data.build.tables import Table
from tovalib_data.features.frames import NodeFeatures
from tovalib_data.features.stats import column_stats
from tovalib_data.features.stypes import INFER_ROWS, choose, column_series, separator
from tovalib_data.features.text import embed_distinct

if TYPE_CHECKING:
    from tovalib_data.graph import Graph

CONST = "__const__"


def encode_tables(graph: Graph, tables: Mapping[str, Table], features: Any,
                  keys: Mapping[str, Collection[str]], time_columns: Mapping[str, str],
                  fit_until: Any = None, text_embedder: Any = None) -> dict[str, NodeFeatures]:
    """Per table, its feature columns typed (see `stypes.choose`), fitted
    and encoded."""
    chosen = choose(tables, features, keys, time_columns)
    cutoff = None
    if fit_until is not None:
        from tovalib_data.loading.seed_time import seed_times

        cutoff = int(seed_times(graph, fit_until, 1, name="fit_until")[0])
    out = {}
    for name, table in tables.items():
        fit_rows = None
        if cutoff is not None and name in graph.node_time:
            fit_rows = np.asarray(graph.node_time[name]) <= cutoff
        out[name] = encode_table(table, chosen[name], fit_rows, text_embedder)
    return out


def encode_table(table: Table, stypes: dict[str, str], fit_rows: Any,
                 text_embedder: Any = None) -> NodeFeatures:
    """One table's columns of the given types, the statistics fitted on the
    rows `fit_rows` (a mask; None: every row)."""
    pd = require("pandas")
    torch_frame = require("torch_frame", "frame")
    if stypes:
        frame = pd.DataFrame({c: column_series(table, c) for c in stypes})
        given = dict(stypes)
    else:
        frame = pd.DataFrame({CONST: np.ones(table.num_rows, dtype=np.float64)})
        given = {CONST: "numerical"}
    col_to_stype = {c: torch_frame.stype(s) for c, s in given.items()}
    seps = {c: separator(frame[c].head(INFER_ROWS)) for c, s in given.items()
            if s == "multicategorical"}
    fit = frame if fit_rows is None else \
        frame[np.asarray(fit_rows, dtype=bool)].reset_index(drop=True)
    with warnings.catch_warnings():
        # PyTorch Frame wraps pandas' read-only datetime fields in tensors; it only reads them.
        warnings.filterwarnings("ignore", "The given NumPy array is not writable")
        # ... and reads pandas' datetime fields by names pandas deprecates.
        warnings.filterwarnings("ignore", r"Series\.dt\.\w+ is deprecated")
        return _encode(table, frame, given, col_to_stype, seps, fit, text_embedder)


def _encode(table: Table, frame: Any, given: dict[str, str], col_to_stype: dict[str, Any],
            seps: dict[str, str | None], fit: Any, text_embedder: Any) -> NodeFeatures:
    torch_frame = require("torch_frame", "frame")
    config = require("torch_frame.config", "frame").TextEmbedderConfig
    stats: dict[str, dict[Any, Any]] = {}
    for column, stype in col_to_stype.items():
        try:
            stats[column] = column_stats(fit[column], stype, sep=seps.get(column))
        except (TypeError, ValueError) as exc:
            raise TypeError(f"{table.where(column)} cannot be a {stype.value} feature: "
                            f"{exc}") from None
    text_configs = {
        c: config(text_embedder=_Embedder(text_embedder, table.where(c)), batch_size=None)
        for c, s in given.items() if s == "text_embedded"
    }
    def dataset(columns: list[str]) -> Any:
        return torch_frame.data.Dataset(
            frame[columns], {c: col_to_stype[c] for c in columns},
            col_to_sep={c: seps[c] for c in columns if c in seps},
            col_to_text_embedder_cfg={c: text_configs[c] for c in columns if c in text_configs},
        ).materialize(col_stats={c: stats[c] for c in columns})

    try:
        materialized = dataset(list(col_to_stype))
    except (TypeError, ValueError) as exc:
        error, culprit = exc, ""
        for column in col_to_stype:  # which column: each on its own
            try:
                dataset([column])
            except (TypeError, ValueError) as own:
                error, culprit = own, column
                break
        where = f"{table.where(culprit)} does not fit its type {given[culprit]}" if culprit \
            else f"table {table.name!r}: a column does not fit its type"
        raise TypeError(f"{where} ({error}); set its type in features or leave it out with "
                        "None") from None
    tf = materialized.tensor_frame
    arrays: dict[str, Any] = {}
    col_names: dict[str, list[str]] = {}
    for stype, names in tf.col_names_dict.items():
        feat = tf.feat_dict[stype]
        col_names[stype.value] = list(names)
        if stype.use_multi_tensor:
            arrays[f"{stype.value}.values"] = feat.values.numpy()
            arrays[f"{stype.value}.offset"] = feat.offset.numpy().astype(np.int64)
        else:
            arrays[stype.value] = feat.numpy()
    return NodeFeatures(stypes=given, col_names=col_names,
                        stats={c: stats_json(s) for c, s in materialized.col_stats.items()},
                        arrays=arrays)


class _Embedder:
    """The embedder PyTorch Frame calls with a column's strings: each
    distinct string embedded once, returned as a tensor."""

    def __init__(self, text_embedder: Any, where: str) -> None:
        self.text_embedder, self.where = text_embedder, where

    def __call__(self, texts: list[str]) -> Any:
        torch = require("torch", "frame")
        return torch.from_numpy(embed_distinct(texts, self.text_embedder, self.where))


def _plain(value: Any) -> Any:
    """A category as a JSON value (numbers and text as they are, anything
    else as its text)."""
    if isinstance(value, np.generic):
        value = value.item()
    if isinstance(value, bool) or isinstance(value, (int, str)):
        return value
    if isinstance(value, float) and math.isfinite(value):
        return value
    return str(value)


def _number(value: Any) -> float | None:
    value = float(value)
    return value if math.isfinite(value) else None


def stats_json(stats: Mapping[Any, Any]) -> dict[str, Any]:
    """PyTorch Frame column statistics as plain JSON, keyed by StatType name
    (NaN as null, time stats as lists)."""
    out: dict[str, Any] = {}
    for stat, value in stats.items():
        name = stat.name
        if name in ("MEAN", "STD"):
            out[name] = _number(value)
        elif name == "QUANTILES":
            out[name] = [_number(v) for v in value]
        elif name in ("COUNT", "MULTI_COUNT"):
            categories, counts = value
            out[name] = [[_plain(c) for c in categories], [int(n) for n in counts]]
        elif name == "YEAR_RANGE":
            out[name] = [int(v) for v in value]
        elif name.endswith("_TIME"):
            out[name] = [int(v) for v in value.tolist()]
        else:  # EMB_DIM
            out[name] = int(value)
    return out


def stats_torch(stats: Mapping[str, Any]) -> dict[Any, Any]:
    """`stats_json`'s form back in PyTorch Frame's: StatType keys, NaN for
    null, (categories, counts) tuples and time stats as tensors."""
    stat_type = require("torch_frame.data.stats", "frame").StatType
    torch = require("torch", "frame")
    out: dict[Any, Any] = {}
    for name, value in stats.items():
        if name in ("MEAN", "STD"):
            out[stat_type[name]] = math.nan if value is None else value
        elif name == "QUANTILES":
            out[stat_type[name]] = [math.nan if v is None else v for v in value]
        elif name in ("COUNT", "MULTI_COUNT"):
            out[stat_type[name]] = (list(value[0]), list(value[1]))
        elif name.endswith("_TIME"):
            out[stat_type[name]] = torch.tensor(value, dtype=torch.long)
        else:
            out[stat_type[name]] = value
    return out
