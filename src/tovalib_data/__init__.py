"""From tables to sampled training batches, on top of `tovalib.NeighborSampler`."""

from tovalib_data._version import __version__
from tovalib_data.batch import Batch, TorchBatch
from tovalib_data.csc import time_sorted_csc
from tovalib_data.files import read_table
from tovalib_data.graph import Graph
from tovalib_data.link import LinkBatch, LinkNeighborLoader, TorchLinkBatch
from tovalib_data.loader import NeighborLoader
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
