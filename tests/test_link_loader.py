"""LinkNeighborLoader: pairs, their three subgraphs at the pair's time, and
negatives that existed then."""

import numpy as np
import pytest

from tovalib_data.negatives import Negatives


@pytest.mark.parametrize("timed", [True, False])
def test_negatives_are_uniform_over_rows_existing_at_the_pair_time(timed):
    rng = np.random.default_rng(7)
    node_time = rng.integers(0, 50, 30) if timed else None
    negatives = Negatives.of(node_time, 30)
    # Three pairs, each repeated: their eligible rows, positive left out.
    positive, time = np.array([4, 11, 0]), np.array([20, 49, 35])
    reps = 4000
    drawn = negatives.draw(rng, np.repeat(positive, reps), np.repeat(time, reps), 3)
    for i, (p, t) in enumerate(zip(positive, time)):
        eligible = np.arange(30) if node_time is None else np.flatnonzero(node_time <= t)
        eligible = eligible[eligible != p]
        got = drawn[i * reps:(i + 1) * reps].ravel()
        assert set(got.tolist()) <= set(eligible.tolist())
        counts = np.bincount(got, minlength=30)[eligible]
        expected = len(got) / len(eligible)
        chi2 = ((counts - expected) ** 2 / expected).sum()
        # df = len(eligible) - 1 < 30; chi2 beyond df + 10 sqrt(2 df) is p < 1e-9
        assert chi2 < len(eligible) - 1 + 10 * np.sqrt(2 * len(eligible))
