"""Training, validation and test label tables from one task, split by time.

Training cut-offs step back from `val_cutoff - horizon`, so the last
training window ends at `val_cutoff`; validation cut-offs step forward from
`val_cutoff` and test cut-offs from `test_cutoff`. No label of one part can
come from a window reaching into the next part: schedules that would are
refused, naming the cut-off, and every table `make` returns must hold only
the cut-offs it was asked for.
"""

from __future__ import annotations

from collections.abc import Callable
from typing import Any

import numpy as np

from tovalib_data._optional import require
from tovalib_data.tasks import source as src_

# Without num_train, training cut-offs are asked for in blocks of this many,
# stepping back until a cut-off has no rows.
BLOCK = 64
MAX_TRAIN = 100_000


def time_split(make: Callable[[Any], Any], val_cutoff: Any, test_cutoff: Any, horizon: Any, *,
               num_train: int | None = None, num_eval: int = 1) -> tuple[Any, Any, Any]:
    """`(train, val, test)`: `make(cutoffs)` for three schedules of cut-offs.

    `make` is `entity_labels`, `recommendation_labels` or `sql_labels` with
    everything but the cut-offs given (`functools.partial`). Cut-offs are
    dates and times (with `horizon` a duration) or integers (with an integer
    `horizon`). Training: `num_train` cut-offs `val_cutoff - horizon`,
    `val_cutoff - 2 * horizon`, ...; without `num_train`, as far back as
    the cut-offs have rows. Validation: `num_eval` cut-offs from
    `val_cutoff` by `horizon`; test likewise from `test_cutoff`. A test
    cut-off before the validation one, or validation windows reaching past
    `test_cutoff`, are a ValueError naming the cut-off.
    """
    val, test, step = _schedule_args(val_cutoff, test_cutoff, horizon)
    if num_eval < 1:
        raise ValueError(f"num_eval must be at least 1, not {num_eval}")
    if num_train is not None and num_train < 1:
        raise ValueError(f"num_train must be at least 1, not {num_train}")
    if test < val:
        raise ValueError(f"test_cutoff {test} is before val_cutoff {val}")
    last_val = val + (num_eval - 1) * step
    if last_val + step > test:
        raise ValueError(f"the validation cut-off {last_val} has labels up to {last_val + step}, "
                         f"past test_cutoff {test}; use fewer validation cut-offs "
                         "(num_eval) or a later test_cutoff")
    forward = np.arange(num_eval)
    val_table = _made(make, val + forward * step, "validation")
    test_table = _made(make, test + forward * step, "test")
    if num_train is not None:
        train = _made(make, val - np.arange(num_train, 0, -1) * step, "training")
    else:
        train = _as_far_as_rows(make, val, step)
    return train, val_table, test_table


def _schedule_args(val_cutoff: Any, test_cutoff: Any, horizon: Any) -> tuple[Any, Any, Any]:
    """The two cut-offs as datetime64 or int64 scalars, and the step."""
    from tovalib_data.loading.seed_time import _as_array

    val, test = (_as_array(t, n) for t, n in ((val_cutoff, "val_cutoff"),
                                               (test_cutoff, "test_cutoff")))
    for value, name in ((val, "val_cutoff"), (test, "test_cutoff")):
        if value.ndim != 0:
            raise TypeError(f"{name} must be one time, not {value.shape[0]} of them")
        if value.dtype.kind not in "iuM":
            raise TypeError(f"{name} must be a date and time (datetime64, datetime, pandas) "
                            f"or an integer, not {value.dtype} ({value})")
    if (val.dtype.kind == "M") != (test.dtype.kind == "M"):
        raise TypeError("val_cutoff and test_cutoff must both be dates and times or both "
                        "integers")
    if val.dtype.kind == "M":
        if src_.is_integer(horizon):
            raise TypeError("horizon must be a duration when the cut-offs are dates and times")
        step = src_.as_timedelta(horizon, "horizon")
        if step <= np.timedelta64(0, "s"):
            raise ValueError(f"horizon must be positive, not {horizon}")
        return val[()], test[()], step
    return int(val), int(test), src_.duration(horizon, None, "horizon")


def _made(make: Callable[[Any], Any], cutoffs: Any, part: str) -> Any:
    """make(cutoffs), checked to hold no other cut-off."""
    table = make(cutoffs)
    times = np.asarray(table["time"].to_numpy())
    asked = np.asarray(cutoffs)
    if times.dtype.kind == "M":
        times, asked = times.astype("datetime64[ns]"), asked.astype("datetime64[ns]")
    stray = ~np.isin(times, asked)
    if stray.any():
        raise ValueError(f"the {part} table holds the cut-off {times[stray][0]}, which it was "
                         "not asked for; make must build its table for the cut-offs it is given")
    return table


def _as_far_as_rows(make: Callable[[Any], Any], val: Any, step: Any) -> Any:
    """Training cut-offs back from val - step while each has rows."""
    pd = require("pandas")
    tables = []
    back = 0
    while back < MAX_TRAIN:
        cutoffs = val - np.arange(back + BLOCK, back, -1) * step
        table = _made(make, cutoffs, "training")
        times = np.asarray(table["time"].to_numpy())
        present = np.isin(np.asarray(cutoffs).astype(times.dtype) if times.dtype.kind == "M"
                          else cutoffs, times)
        empty = np.flatnonzero(~present)
        if len(empty):  # keep the cut-offs after the latest without rows
            first = cutoffs[empty[-1]]
            kept = table[table["time"] > first] if len(table) else table
            tables.append(kept)
            break
        tables.append(table)
        back += BLOCK
    else:
        raise ValueError(f"every one of {MAX_TRAIN} training cut-offs has rows; give num_train")
    return pd.concat(tables[::-1], ignore_index=True)
