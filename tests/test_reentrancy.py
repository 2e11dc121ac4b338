"""Python code that calls back into a sampler while one of its own calls is
running: a garbage collection while the result is built, a dictionary
look-up during construction or validation. Scenarios that used to hang or
abort run in a child process, so that a relapse fails the test instead of
the whole run."""

import re
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import tovalib

KEY = "a__to__b"

PRELUDE = """
import gc
import numpy as np
import tovalib

KEY = "a__to__b"
EMPTY = np.array([], dtype=np.int64)

def i64(*values):
    return np.array(values, dtype=np.int64)

def lists(result):
    return [{k: v.tolist() for k, v in d.items()} for d in result]

# b0 <- a0..a9, b1 <- a3, a4
ARGS = (["a", "b"], [("a", "to", "b")], {KEY: i64(0, 10, 12)},
        {KEY: i64(*range(10), 3, 4)}, {})
"""


def run_child(body, timeout=60):
    """Runs PRELUDE + body in a fresh interpreter; returns its stdout."""
    script = PRELUDE + textwrap.dedent(body)
    try:
        done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                              timeout=timeout)
    except subprocess.TimeoutExpired:
        done = None
    if done is None:
        pytest.fail(f"scenario still running after {timeout} s (a call waits for itself)")
    assert done.returncode == 0, done.stderr
    return done.stdout


# Each trigger makes the nested call from inside a garbage collection, which
# a collection threshold of 1 starts at nearly every allocation of a
# container, so also while the outer call creates its result dictionaries.
GC_CALLBACK = """
def callback(phase, info):
    if active and phase == "start":
        nested.append(sampler.sample(*NESTED))

gc.callbacks.append(callback)
"""

CYCLIC_DEL = """
class Cycle:
    # Garbage that only a collection frees; each one leaves the next behind.
    def __init__(self):
        self.me = self

    def __del__(self):
        if active:
            nested.append(sampler.sample(*NESTED))
            Cycle()

Cycle()
"""


@pytest.mark.parametrize("trigger", [GC_CALLBACK, CYCLIC_DEL], ids=["gc_callback", "cyclic_del"])
def test_call_from_a_collection_during_a_call_completes(trigger):
    """The nested call neither hangs nor disturbs the outer call: the outer
    call draws as a lone call does (the nested one draws nothing) and both
    return what they return alone."""
    out = run_child("""
sampler = tovalib.NeighborSampler(*ARGS, seed=7)
twin = tovalib.NeighborSampler(*ARGS, seed=7)
OUTER = ({KEY: i64(3, 2)}, {}, "b", i64(0, 0, 1), EMPTY)
NESTED = ({KEY: i64(-1)}, {}, "b", i64(1), EMPTY)
nested = []
active = False
""" + trigger + """
# Dictionaries taken from the free list are not counted towards a
# collection: empty it, and keep the nested results whole, so that the
# outer call's result dictionaries start collections.
spare = [{} for _ in range(200)]
active = True
gc.set_threshold(1)
got = sampler.sample(*OUTER)
active = False
gc.set_threshold(700)
assert lists(got) == lists(twin.sample(*OUTER)), got
nested = [lists(n) for n in nested]
assert nested and all(n == lists(twin.sample(*NESTED)) for n in nested), nested
assert lists(sampler.sample(*OUTER)) == lists(twin.sample(*OUTER))
print(len(nested))
""")
    assert int(out) > 0


@pytest.mark.parametrize("swallow", [True, False], ids=["nested_error_caught", "nested_error_raised"])
def test_init_from_inside_its_own_construction_is_refused(swallow):
    """A look-up that calls __init__ again on the instance being built gets
    TypeError; the outer construction then completes (or fails with that
    error) and the instance is sound either way."""
    run_child(f"""
SWALLOW = {swallow}
errors = []

class Reinit(dict):
    def __getitem__(self, key):
        try:
            target.__init__(*ARGS)
        except TypeError as exc:
            errors.append(str(exc))
            if not SWALLOW:
                raise
        return dict.__getitem__(self, key)

target = tovalib.NeighborSampler.__new__(tovalib.NeighborSampler)
colptr = Reinit(ARGS[2])
request = ({{KEY: i64(-1)}}, {{}}, "b", i64(0, 1), EMPTY)
try:
    target.__init__(ARGS[0], ARGS[1], colptr, ARGS[3], {{}})
except TypeError as exc:
    assert not SWALLOW and str(exc) == errors[0], exc
    try:
        target.sample(*request)
        raise AssertionError("an instance without a sampler sampled")
    except TypeError as exc:
        assert "__init__ did not run" in str(exc), exc
    target.__init__(*ARGS)
assert errors == ["NeighborSampler.__init__() called on an instance whose __init__ "
                  "is still running"], errors
assert lists(target.sample(*request)) == lists(tovalib.NeighborSampler(*ARGS).sample(*request))
del target, colptr
gc.collect()
""")


class Swap(dict):
    """Validated with its stored values; hands out `value` on look-up."""

    def __init__(self, stored, value):
        super().__init__(stored)
        self.value = value

    def __getitem__(self, key):
        return self.value


@pytest.mark.parametrize("value", [np.array([[1]], dtype=np.int64), np.array(1, dtype=np.int64)],
                         ids=["2d", "0d"])
def test_count_budget_looked_up_is_checked_like_a_given_one(value):
    sampler = tovalib.NeighborSampler(["a", "b"], [("a", "to", "b")],
                                      {KEY: np.array([0, 1, 1])}, {KEY: np.array([0])}, {})
    seeds, empty = np.array([0]), np.array([], dtype=np.int64)
    message = re.escape(f"Type '{KEY}' in num_neighbors is not 1D.")
    with pytest.raises(RuntimeError, match=message):
        sampler.sample({KEY: value}, {}, "b", seeds, empty)
    with pytest.raises(RuntimeError, match=message):
        sampler.sample(Swap({KEY: np.array([1])}, value), {}, "b", seeds, empty)
