"""The training examples run: single-process with PyG, and data-parallel on
two processes whose shards together cover the epoch."""

import json
import math
import os
import re
import subprocess
import sys
from pathlib import Path

from conftest import optional

EXAMPLES = Path(__file__).resolve().parents[1] / "examples"


def run(*args, env=None):
    done = subprocess.run([sys.executable, *args], capture_output=True, text=True, timeout=600,
                          env=env)
    assert done.returncode == 0, done.stdout + done.stderr
    return done


def test_train_relational_learns_the_task():
    optional("torch_geometric")
    done = run(str(EXAMPLES / "train_relational.py"), "--quick", "--workers", "3")
    epochs = re.findall(r"epoch (\d+): training loss ([\d.]+), validation AUC ([\d.]+)",
                        done.stdout)
    assert [int(e) for e, _, _ in epochs] == [1, 2]
    assert all(math.isfinite(float(loss)) for _, loss, _ in epochs)
    assert float(epochs[-1][2]) > 0.6  # recent orders predict the next month's
    assert "23/23" in done.stderr  # the progress bar reached the end


def test_two_ranks_cover_the_epoch(tmp_path):
    optional("torch_geometric")
    record, scratch = tmp_path / "record.json", tmp_path / "tmp"
    scratch.mkdir()
    # Without --dir: a fresh temporary directory, removed at the end.
    done = run("-m", "torch.distributed.run", "--standalone", "--nproc_per_node=2",
               str(EXAMPLES / "train_distributed.py"), "--quick", "--record", str(record),
               env={**os.environ, "TMPDIR": str(scratch)})
    work_dir = Path(re.search(r"^graph and training pairs in (\S+) \(removed at the end\)$",
                              done.stdout, re.M).group(1))
    assert work_dir.parent == scratch and work_dir.name != "tovalib_ddp"
    assert not work_dir.exists()
    got = json.loads(record.read_text())
    (ranks,), (losses,) = got["seed_index"], got["loss"]  # one epoch
    assert len(ranks[0]) == len(ranks[1]) and len(losses[0]) == len(losses[1]) > 1
    assert set(ranks[0]) | set(ranks[1]) == set(range(got["num_seeds"]))
    assert all(math.isfinite(x) for rank in losses for x in rank)


def test_train_recommendation_ranks_products_without_seeing_the_future():
    optional("torch_geometric")
    done = run(str(EXAMPLES / "train_recommendation.py"), "--quick", "--no-progress")
    assert "order items timed through ['order_id', 'product_id']" in done.stdout
    epochs = re.findall(r"epoch (\d+): training loss ([\d.]+), MAP@10 ([\d.]+) "
                        r"\(most popular: ([\d.]+)\); nodes after their pair's cut-off: (\w+)",
                        done.stdout)
    assert [int(e[0]) for e in epochs] == [1, 2]
    losses = [float(e[1]) for e in epochs]
    assert math.isfinite(losses[0]) and losses[1] < losses[0]
    for _, _, score, popular, later in epochs:
        assert later == "none"
        # Far above ranking at random; beating the baseline takes the full run.
        assert 0.5 * float(popular) < float(score) <= 1
