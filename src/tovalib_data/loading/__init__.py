"""From a graph to batches: the loaders (`loader`, `link`), their arguments
and seed times, the epoch order, the sampling plan, worker threads and
passes, negatives, and the batches they yield (`batch`)."""
