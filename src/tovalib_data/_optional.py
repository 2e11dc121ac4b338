"""Lazy imports of optional dependencies, with an error naming the extra."""

from __future__ import annotations

import importlib
from types import ModuleType

# module name -> the extra of this distribution that installs it
EXTRAS = {
    "duckdb": "duckdb",
    "duckdb_engine": "duckdb",
    "pandas": "pandas",
    "psycopg": "sql",
    "psycopg.rows": "sql",
    "pyarrow": "parquet",
    "pyarrow.compute": "parquet",
    "relbench": "relbench",
    "sklearn": "tasks",
    "sqlalchemy": "sql",
    "torch": "torch",
    "torch_frame": "frame",
    "torch_geometric": "pyg",
    "tqdm": "progress",
}


def require(module: str, extra: str | None = None) -> ModuleType:
    """Import `module`, or raise ImportError naming the extra that installs
    it: `extra`, for a caller that needs a larger one (torch for a PyG
    model: "pyg"), or the module's own from EXTRAS."""
    try:
        return importlib.import_module(module)
    except ImportError as exc:
        extra = extra or EXTRAS.get(module.split(".")[0], module)
        raise ImportError(
            f"{module} is required for this; install it with "
            f"{install_command(extra)}"
        ) from exc


def install_command(extra: str) -> str:
    """The install command of an extra, for an installed release and for a checkout."""
    return f"pip install 'tovalib[{extra}]' (from a checkout: pip install '.[{extra}]')"
