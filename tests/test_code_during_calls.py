"""Python code that runs in the middle of a call: an output subclass's
`__len__` (MACD asks every output for its length) and the attribute lookups of
the first call of a process. Whatever it does to the arrays, the call either
raises a documented error with every output untouched, or gives the result of
the arrays as they are when the kernel runs."""

import os
import subprocess
import sys

import numpy as np
import pytest

from quorvane import indicator_macd
from conftest import bits

N = 12
SENTINEL = 123.25
PERIODS = (2, 3, 2)


class Claims(np.ndarray):
    """An array whose len() runs `self.on_len(self)`."""

    def __len__(self):
        return self.on_len(self)


def output(n=N, on_len=None):
    array = Claims(n)  # owns its memory, so it can be resized
    array[:] = SENTINEL
    array.on_len = on_len or (lambda self: self.shape[0])
    return array


def expected(data):
    outputs = [np.zeros(len(data)) for _ in range(3)]
    indicator_macd(*PERIODS, np.array(data), *outputs)
    return [bits(o) for o in outputs]


def untouched(array):
    return bits(array) == bits(np.full(array.shape, SENTINEL))


LENGTH = "All output arrays must have the same length as input data"


@pytest.mark.parametrize(
    ("held", "claimed", "message"),
    [
        (N - 2, N, LENGTH),  # the kernel would write past the end
        (N + 2, N, LENGTH),  # the tail would be left unwritten
        (N, N + 5, None),  # the real length is right: a full result
        (N, 0, None),
    ],
    ids=["shorter than claimed", "longer than claimed", "claims too many", "claims none"],
)
@pytest.mark.parametrize("which", range(3), ids=["macd", "signal", "hist"])
def test_macd_lengths_are_the_arrays_own_not_what_len_says(which, held, claimed, message):
    data = np.arange(1.0, N + 1)
    outputs = [output() for _ in range(3)]
    outputs[which] = output(held, lambda self: claimed)
    if message:
        with pytest.raises(ValueError) as caught:
            indicator_macd(*PERIODS, data, *outputs)
        assert caught.value.args == (message,)
        assert all(untouched(o) for o in outputs)
    else:
        indicator_macd(*PERIODS, data, *outputs)
        assert [bits(o) for o in outputs] == expected(data)


def test_macd_len_errors_still_come_out_in_their_place():
    def fails(self):
        raise KeyError("from __len__")

    data = np.arange(1.0, N + 1)
    # after the period checks ...
    with pytest.raises(ValueError, match="Fast period"):
        indicator_macd(3, 2, 1, data, output(on_len=fails), output(), output())
    # ... before the length and layout checks
    outputs = [output(on_len=fails), output(N + 1), output(2 * N)[::2]]
    with pytest.raises(KeyError, match="from __len__"):
        indicator_macd(*PERIODS, data[::-1], *outputs)
    assert all(untouched(o) for o in outputs)


# Blocks held for the rest of the run, so that an array moved by moved() can
# not come back to the block it left.
_held = []


def moved(array, n):
    """`array` resized in place to n values in another block of memory."""
    before = array.ctypes.data
    for _ in range(8):
        array.resize(64 * 1024, refcheck=False)
        # Some allocators (musl's) hand the block just left back to the
        # shrink: take the freed small blocks first.
        _held.append(np.empty(n))
        array.resize(n, refcheck=False)
        if array.ctypes.data != before:
            break
    assert array.ctypes.data != before


def test_macd_len_that_moves_another_output():
    data = np.arange(1.0, N + 1)
    macd = output()

    def move_macd(self):
        moved(macd, N)
        return N

    outputs = [macd, output(), output(on_len=move_macd)]
    indicator_macd(*PERIODS, data, *outputs)
    # the results are in the memory the array holds now, none in freed memory
    assert [bits(o) for o in outputs] == expected(data)


def test_macd_len_that_grows_another_output():
    data = np.arange(1.0, N + 1)
    signal = output()

    def grow_signal(self):
        signal.resize(4 * N, refcheck=False)
        return N

    outputs = [output(), signal, output(on_len=grow_signal)]
    with pytest.raises(ValueError) as caught:
        indicator_macd(*PERIODS, data, *outputs)
    assert caught.value.args == (LENGTH,)
    assert untouched(outputs[0]) and untouched(outputs[2])


def test_macd_len_that_moves_the_data():
    data = np.arange(1.0, N + 1)

    def move_data(self):
        moved(data, N)
        np.negative(data, out=data)  # no temporary, which could take the freed block
        return N

    outputs = [output(on_len=move_data), output(), output()]
    indicator_macd(*PERIODS, data, *outputs)
    assert [bits(o) for o in outputs] == expected(-np.arange(1.0, N + 1))


def test_macd_len_that_makes_the_data_two_dimensional():
    data = np.arange(1.0, N + 1)

    def reshape_data(self):
        data.resize((2, N // 2), refcheck=False)
        return N

    outputs = [output(on_len=reshape_data), output(), output()]
    with pytest.raises(TypeError, match="argument 'data'"):
        indicator_macd(*PERIODS, data, *outputs)
    assert all(untouched(o) for o in outputs)


# The first call of a process looks the borrow registry up on NumPy's
# multiarray module, where a module-level __getattr__ can run any code.
FIRST_CALL = """
import sys
sys.path.insert(0, TESTS)
import numpy as np
from registry_table import ATTRIBUTE, multiarray
import quorvane

N = 12
data = np.arange(1.0, N + 1)
output = np.zeros(2 * N)

def hook(name):
    if name == ATTRIBUTE:
        HOOK
    raise AttributeError(name)

multiarray().__getattr__ = hook
CALL
"""


def first_call(hook, call):
    """Runs the code in a fresh process; one that hangs fails after 60 s."""
    code = FIRST_CALL.replace("TESTS", repr(os.path.dirname(os.path.abspath(__file__))))
    code = code.replace("HOOK", hook).replace("CALL", call)
    env = dict(os.environ)
    env.pop("PYTHON_GIL", None)
    try:
        return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                              env=env, timeout=60)
    except subprocess.TimeoutExpired:
        pytest.fail("the first call hung")


def test_first_call_whose_registry_lookup_moves_the_input():
    hook = "data.resize(2 * N, refcheck=False); data[:] = np.arange(2.0 * N)"
    call = """
quorvane.indicator_sma(2, data, output)
assert output[1:].tolist() == [i + 0.5 for i in range(2 * N - 1)], output
print("ok")
"""
    result = first_call(hook, call)
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["ok"]


# The lookup runs without any lock of the module held: Python code run by it
# may call the module again, on this thread or on another one it waits for.
# Every call finishes, and all of them use one registry.
ONE_REGISTRY = """
from registry_table import Registry
registry = Registry()
assert getattr(multiarray(), ATTRIBUTE) is registry.capsule
for array in (data, output, *others):
    assert registry.acquire_exclusive(array) == 0
    registry.release_exclusive(array)
print("ok")
"""

NESTED = {
    "same thread": "quorvane.indicator_sma(1, *others)",
    "another thread": (
        "import threading\n"
        "        if threading.current_thread() is threading.main_thread():\n"
        "            t = threading.Thread(target=quorvane.indicator_ema, args=(1, *others))\n"
        "            t.start(); t.join()"
    ),
}


@pytest.mark.parametrize("where", NESTED)
def test_first_call_whose_registry_lookup_calls_the_module(where):
    call = """
others = (np.ones(3), np.zeros(3))
quorvane.indicator_sma(2, data, output[:N])
assert output[1:N].tolist() == [i + 1.5 for i in range(N - 1)]
assert others[1].tolist() == [1.0, 1.0, 1.0]  # the nested call ran
""" + ONE_REGISTRY
    result = first_call(NESTED[where], call)
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["ok"]
