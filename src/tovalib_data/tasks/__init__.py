"""Prediction tasks: label tables over cut-offs, time splits, metrics and baselines."""

from tovalib_data.tasks.baselines import baseline, popular
from tovalib_data.tasks.labels import entity_labels, recommendation_labels
from tovalib_data.tasks.metrics import map_at_k, precision_at_k, recall_at_k
from tovalib_data.tasks.split import time_split
from tovalib_data.tasks.sql import sql_labels

__all__ = [
    "baseline",
    "entity_labels",
    "map_at_k",
    "popular",
    "precision_at_k",
    "recall_at_k",
    "recommendation_labels",
    "sql_labels",
    "time_split",
]
