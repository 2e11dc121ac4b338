"""From tables to sampled training batches, on top of `tovalib.NeighborSampler`."""

from tovalib_data.csc import time_sorted_csc
from tovalib_data.graph import Graph

__all__ = ["Graph", "time_sorted_csc"]
