"""From tables to sampled training batches, on top of `tovalib.NeighborSampler`."""

from tovalib_data._version import __version__
from tovalib_data.loading.batch import Batch, TorchBatch
from tovalib_data.build.csc import time_sorted_csc
from tovalib_data.sources.files import read_table
from tovalib_data.graph import Graph
from tovalib_data.loading.link import LinkBatch, LinkNeighborLoader, TorchLinkBatch
from tovalib_data.loading.loader import NeighborLoader
from tovalib_data.storage import GraphFileError
from tovalib_data.tasks import (baseline, entity_labels, map_at_k, popular, precision_at_k,
                                recall_at_k, recommendation_labels, sql_labels, time_split)

__all__ = [
    "Batch",
    "Graph",
    "GraphFileError",
    "LinkBatch",
    "LinkNeighborLoader",
    "NeighborLoader",
    "TorchBatch",
    "TorchLinkBatch",
    "__version__",
    "baseline",
    "entity_labels",
    "map_at_k",
    "popular",
    "precision_at_k",
    "read_table",
    "recall_at_k",
    "recommendation_labels",
    "sql_labels",
    "time_sorted_csc",
    "time_split",
]
