"""quorvane beside rustworkx, a third-party module that takes NumPy arguments
through the same borrow registry on NumPy's multiarray module. Each case runs
in a fresh interpreter, so that which module needs the registry first is
under the test's control."""

import importlib.metadata
import json
import os

import pytest

from conftest import FREE_THREADED, run_python

TESTS = os.path.dirname(os.path.abspath(__file__))


def _installed(distribution):
    # Asked of the installed metadata: importing rustworkx here would make it
    # take part in this process's registry, which the cases set up themselves.
    try:
        importlib.metadata.distribution(distribution)
    except importlib.metadata.PackageNotFoundError:
        return False
    return True


pytestmark = pytest.mark.skipif(
    not _installed("rustworkx"),
    reason="rustworkx has no wheel for free-threaded CPython"
    if FREE_THREADED
    else "rustworkx is not installed (tests/requirements-optional.txt, installed on some legs only)",
)

SETUP = """
import json, sys
sys.path.insert(0, %r)
import numpy as np
from registry_table import ATTRIBUTE, Registry, multiarray

ma = multiarray()
assert not hasattr(ma, ATTRIBUTE)
import quorvane
import rustworkx as rx

m = np.array([[0.0, 2.0, 0.0], [2.0, 0.0, 1.0], [0.0, 1.0, 0.0]])

def use_rustworkx():
    return sorted(rx.PyGraph.from_adjacency_matrix(m).weighted_edge_list())

def use_quorvane():
    out = np.zeros(3)
    quorvane.indicator_sma(2, m[1], out)
    return out.tolist()[1:]
""" % TESTS


def run(body, first):
    result = run_python(SETUP + f"FIRST = {first!r}\n" + body, env={"RUST_BACKTRACE": "0"})
    assert result.returncode == 0, result.stderr
    return json.loads(result.stdout.splitlines()[-1])


@pytest.mark.parametrize("first", ["rustworkx", "quorvane"])
def test_both_orders_of_first_use_end_on_one_registry(first):
    got = run(
        """
uses = [use_rustworkx, use_quorvane] if FIRST == "rustworkx" else [use_quorvane, use_rustworkx]
results = [uses[0]()]
capsule = getattr(ma, ATTRIBUTE)
results.append(uses[1]())
same = getattr(ma, ATTRIBUTE) is capsule
# both again, with the registry in place
again = [use_rustworkx(), use_quorvane()]
print(json.dumps({"same capsule": same, "name": Registry().name.decode(),
                  "rustworkx": use_rustworkx(), "quorvane": use_quorvane(), "again": again}))
""",
        first,
    )
    edges = [[0, 1, 2.0], [1, 2, 1.0]]
    assert got == {"same capsule": True, "name": "_RUST_NUMPY_BORROW_CHECKING_API",
                   "rustworkx": edges, "quorvane": [1.0, 0.5], "again": [edges, [1.0, 0.5]]}


# Neither module ever takes an exclusive borrow (both only read their array
# arguments), so the borrows each holds while Python code runs are looked for
# in the registry through its capsule: an exclusive borrow of that memory is
# refused there, and the other module, reading the same memory meanwhile, is
# not stopped. rustworkx converts `null_value` after it has borrowed the
# matrix; quorvane asks for an output's length after it has borrowed `data`.
HELD = """
(use_rustworkx if FIRST == "rustworkx" else use_quorvane)()
registry = Registry()
seen = {}

class NullValue:
    def __float__(self):
        seen["exclusive while rustworkx holds the matrix"] = registry.acquire_exclusive(m[1])
        seen["quorvane meanwhile"] = use_quorvane()
        return 0.0

rx.PyGraph.from_adjacency_matrix(m, NullValue())

class Output(np.ndarray):
    def __len__(self):
        seen["exclusive while quorvane holds data"] = registry.acquire_exclusive(m)
        seen["rustworkx meanwhile"] = use_rustworkx()
        return super().__len__()

outputs = [np.zeros(3).view(Output) for _ in range(3)]
quorvane.indicator_macd(1, 2, 1, m[1], *outputs)
seen["exclusive afterwards"] = registry.acquire_exclusive(m)
registry.release_exclusive(m)
print(json.dumps(seen))
"""


@pytest.mark.parametrize("first", ["rustworkx", "quorvane"])
def test_a_borrow_held_by_either_module_is_in_the_shared_registry(first):
    got = run(HELD, first)
    assert got == {
        "exclusive while rustworkx holds the matrix": -1,
        "quorvane meanwhile": [1.0, 0.5],
        "exclusive while quorvane holds data": -1,
        "rustworkx meanwhile": [[0, 1, 2.0], [1, 2, 1.0]],
        "exclusive afterwards": 0,
    }


# Memory held for writing by a third module of the process: each module
# refuses it with its own error, and both work again once it is released.
REFUSED = """
(use_rustworkx if FIRST == "rustworkx" else use_quorvane)()
registry = Registry()
seen = {}
assert registry.acquire_exclusive(m[1]) == 0
for name, use in [("quorvane", use_quorvane), ("rustworkx", use_rustworkx)]:
    try:
        use()
        seen[name] = "accepted"
    except BaseException as error:  # rustworkx panics: PanicException is a BaseException
        seen[name] = [type(error).__name__, str(error)]
registry.release_exclusive(m[1])
seen["afterwards"] = [use_quorvane(), use_rustworkx()]
print(json.dumps(seen))
"""


@pytest.mark.parametrize("first", ["rustworkx", "quorvane"])
def test_memory_held_for_writing_is_refused_by_both_with_their_own_errors(first):
    got = run(REFUSED, first)
    assert got["quorvane"] == [
        "RuntimeError",
        "a shared borrow of argument 'data', which was expected to succeed, "
        "returned an error: AlreadyBorrowed",
    ]
    assert got["rustworkx"][0] == "PanicException"
    assert got["rustworkx"][1].endswith("AlreadyBorrowed")
    assert got["afterwards"] == [[1.0, 0.5], [[0, 1, 2.0], [1, 2, 1.0]]]
