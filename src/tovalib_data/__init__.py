"""From tables to sampled training batches, on top of `tovalib.NeighborSampler`."""

from tovalib_data._version import __version__
from tovalib_data.loading.batch import Batch, TorchBatch
from tovalib_data.build.csc import time_sorted_csc
from tovalib_data.sources.files import read_table
from tovalib_data.graph import Graph
from tovalib_data.loading.link import LinkBatch, LinkNeighborLoader, TorchLinkBatch
from tovalib_data.loading.loader import NeighborLoader
from tovalib_data.storage import GraphFileError

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
    "read_table",
    "time_sorted_csc",
]
