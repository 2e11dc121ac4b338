"""What one call leaves behind must not make later work fail. Each case runs
in a fresh interpreter whose address space may grow by a fixed allowance
once the sampler exists; the figures themselves are in benchmarks/."""

import os
import subprocess
import sys
import textwrap

import pytest

PRELUDE = """
import resource
import numpy as np
import tovalib
I64 = np.int64

def allow(mib):
    for line in open("/proc/self/status"):
        if line.startswith("VmSize:"):
            size = int(line.split()[1]) * 1024
    resource.setrlimit(resource.RLIMIT_AS, (size + mib * 2**20, resource.RLIM_INFINITY))
"""

CASES = {
    # A call whose one seed reaches a 40k-neighbour hub, then 40k seeds
    # without neighbours: a fresh sampler needs about 15 MiB for that.
    "many seeds after a hub": """
        hub = 40000
        colptr = np.full(hub + 2, hub, I64); colptr[0] = 0
        s = tovalib.NeighborSampler(["n"], [("n", "to", "n")], {"n__to__n": colptr},
                                    {"n__to__n": np.arange(1, hub + 1, dtype=I64)}, {})
        budget = {"n__to__n": I64([-1])}
        allow(1024)
        s.sample(budget, {}, "n", I64([0]), I64([]))
        out = s.sample(budget, {}, "n", np.arange(1, hub + 1, dtype=I64), I64([]))
        assert out[2]["n"].size == hub
    """,
    # A call that grows about 450 MiB and then fails on an unsorted
    # neighbourhood (the last seed's); afterwards 400 MiB must be available.
    "memory after a failed call": """
        hub = 40000
        colptr = I64([0, hub, hub + 2])
        row = np.concatenate([np.arange(hub, dtype=I64), I64([1, 0])])
        times = {"s": np.arange(hub, dtype=I64), "d": I64([0, 0])}
        s = tovalib.NeighborSampler(["s", "d"], [("s", "to", "d")], {"s__to__d": colptr},
                                    {"s__to__d": row}, times)
        allow(600)
        seeds = np.append(np.zeros(100, I64), I64(1))
        try:
            s.sample({"s__to__d": I64([-1])}, {}, "d", seeds, np.full(101, hub, I64))
        except RuntimeError as err:
            assert str(err) == "Found invalid non-sorted temporal neighborhood"
        else:
            raise AssertionError("the call did not fail")
        np.ones(400 * 2**20 // 8)
    """,
    # A completed call that grows about 250 MiB, then the sampler goes:
    # nothing of it may stay behind for samplers built later.
    "memory after a deleted sampler": """
        hub = 40000
        colptr = I64([0, hub])
        s = tovalib.NeighborSampler(["s", "d"], [("s", "to", "d")], {"s__to__d": colptr},
                                    {"s__to__d": np.arange(hub, dtype=I64)}, {})
        allow(600)
        s.sample({"s__to__d": I64([-1])}, {}, "d", np.zeros(60, I64), I64([]))
        del s
        np.ones(400 * 2**20 // 8)
    """,
}


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="address space limit, /proc")
@pytest.mark.skipif("asan" in os.environ.get("LD_PRELOAD", ""),
                    reason="the sanitizer reserves address space beyond any limit")
@pytest.mark.parametrize("case", CASES)
def test_earlier_calls_leave_room_for_later_work(case):
    code = PRELUDE + textwrap.dedent(CASES[case]) + "print('done')\n"
    run = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                         timeout=120)
    assert run.returncode == 0 and run.stdout.strip() == "done", run.stderr[-2000:]
