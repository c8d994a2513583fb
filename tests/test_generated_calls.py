"""Generated calls, as a hostile or careless caller would make them: random
mixes of argument kinds, sizes, dtypes, layouts, read-only and aliased arrays,
positional and keyword arguments, for every function. Whatever the call, it
raises only the documented exception types, an error leaves every array as it
was, no borrow stays in the registry, no reference is gained or lost, and a
call that succeeds on arrays that share no memory gives the reference results.

The suite runs 600 examples per function. For a long run set
QUORVANE_HYPOTHESIS_EXAMPLES, the number of examples per function:

    QUORVANE_HYPOTHESIS_EXAMPLES=100000 bash scripts/test.sh tests/test_generated_calls.py
"""

import operator
import os
import sys

import numpy as np
import pytest
from hypothesis import HealthCheck, event, given, settings
from hypothesis import strategies as st

import quorvane
import reference as ref

EXAMPLES = int(os.environ.get("QUORVANE_HYPOTHESIS_EXAMPLES") or 600)

SIGNATURES = {
    "indicator_sma": ["period", "data", "output"],
    "indicator_ema": ["period", "data", "output"],
    "indicator_macd": ["fast_period", "slow_period", "signal_period",
                       "data", "macd_output", "signal_output", "hist_output"],
    "indicator_atr": ["period", "high", "low", "close", "output"],
}
OUTPUTS = {"output", "macd_output", "signal_output", "hist_output"}

# What a call may raise (the README's Errors section): exactly these classes.
# (The RuntimeError for memory that another module holds for writing cannot
# happen here: nothing else takes borrows.)
DOCUMENTED = (TypeError, ValueError, OverflowError)


def is_period(name):
    return name.endswith("period")


# ---------------------------------------------------------------- periods


class Index:
    """An object with __index__, returning whatever it was given."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value

    def __repr__(self):
        return f"Index({self.value!r})"


small_period = st.integers(0, 12)
period_values = st.one_of(
    small_period,
    small_period,
    small_period,
    st.sampled_from([2**32 - 1, 2**32, 2**64 - 1, 2**64, 2**100, -1, -(2**64)]),
    st.booleans(),
    small_period.map(Index),
    st.sampled_from([2**32, -3, 1.5, None]).map(Index),  # out of range, or no int
    small_period.map(np.int64),
    st.integers(0, 255).map(np.uint8),
    st.sampled_from([3.0, 2.5, float("nan"), None, "3", b"3", [3], 3 + 0j, np.float64(3.0)]),
)

# ---------------------------------------------------------------- arrays
#
# An array is described by plain data and made in the test, so that a failing
# example prints readably. Every float-ish array is a view of a raw byte
# buffer of its own, so misaligned, strided and overlapping views are easy,
# and the buffer itself (writeable, covering every byte) is what the borrow
# check and the untouched-bytes check look at.

LAYOUTS = ["plain", "plain", "plain", "misaligned", "reversed", "every second", "repeated",
           "12-byte records", "subclass", "read-only", "len says one more", "len says one less"]
WRONG_KINDS = ["float32", "int64", "big-endian", "object", "2-D", "0-D", "list", "tuple",
               "None", "float", "memoryview"]


CLEAN_LAYOUTS = ["plain", "plain", "misaligned", "subclass"]


@st.composite
def array_plans(draw, position, count, clean):
    """One array argument: ("array", layout, length change), ("wrong", kind,
    length change), ("same object as", j) or ("overlapping", j, byte shift)."""
    # Weights by repetition (hypothesis draws small integers more often than
    # an even spread would, so no "roll below x" here).
    kinds = ["array"] * 8 + ["same object as", "overlapping"] + (["wrong"] * 3 if not clean else [])
    kind = draw(st.sampled_from(kinds)) if count > 1 else "array"
    if kind in ("same object as", "overlapping"):
        other = draw(st.integers(0, count - 2).map(lambda j: j + (j >= position)))
        if kind == "same object as":
            return (kind, other)
        return (kind, other, draw(st.sampled_from([-16, -8, 0, 3, 8, 24])))
    if kind == "wrong":
        return ("wrong", draw(st.sampled_from(WRONG_KINDS)), draw(st.sampled_from([-1, 0, 0, 1])))
    if clean:
        return ("array", draw(st.sampled_from(CLEAN_LAYOUTS)), 0)
    return ("array", draw(st.sampled_from(LAYOUTS)), draw(st.sampled_from([0, 0, 0, 0, 0, -1, 1])))


sizes = st.sampled_from([0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11]).flatmap(
    lambda pick: st.just(pick) if pick < 2 else st.integers(2, 9) if pick < 7 else st.integers(10, 300))


class SubArray(np.ndarray):
    pass


class LongLen(np.ndarray):
    """Its __len__ claims one element more than it has."""

    def __len__(self):
        return super().__len__() + 1


class ShortLen(np.ndarray):
    """Its __len__ claims one element fewer than it has."""

    def __len__(self):
        return max(super().__len__() - 1, 0)


class Raw:
    """A raw buffer and the float64 views made over it."""

    def __init__(self, rng, n):
        self.nbytes = 16 * max(n, 1) + 64
        values = ref.make_series(rng, self.nbytes // 8 + 1, str(rng.choice(ref.FLAVOURS)))
        self.buffer = values.view(np.uint8)[: self.nbytes].copy()

    def view(self, n, offset, stride, cls=np.ndarray, dtype=np.float64, shape=None):
        if stride < 0:
            offset += (n - 1) * -stride
        return np.ndarray.__new__(cls, shape if shape is not None else (n,), dtype=dtype,
                                  buffer=self.buffer, offset=offset,
                                  strides=None if shape is not None else (stride,))


def make_array(plan, n, rng, raws):
    kind, what, delta = plan
    n = max(0, n + delta)
    if kind == "wrong":
        if what in ("float32", "int64", "big-endian"):
            raw = Raw(rng, n)
            raws.append(raw)
            dtype = {"float32": np.float32, "int64": np.int64, "big-endian": ">f8"}[what]
            return raw.view(n, 8, np.dtype(dtype).itemsize, dtype=dtype)
        if what == "2-D":
            raw = Raw(rng, n)
            raws.append(raw)
            return raw.view(n, 8, 8, shape=(n, 1))
        return {
            "object": lambda: np.zeros(n, dtype=object),
            "0-D": lambda: np.array(1.5),
            "list": lambda: [1.0] * n,
            "tuple": lambda: (1.0,) * n,
            "None": lambda: None,
            "float": lambda: 1.5,
            "memoryview": lambda: memoryview(np.zeros(n)),
        }[what]()
    raw = Raw(rng, n)
    raws.append(raw)
    if what == "misaligned":
        return raw.view(n, int(rng.integers(1, 8)), 8)
    if what == "reversed":
        return raw.view(n, 8, -8)
    if what == "every second":
        return raw.view(n, 8, 16)
    if what == "repeated":
        return raw.view(n, 8, 0)
    if what == "12-byte records":
        return raw.view(n, 8, 12)
    cls = {"subclass": SubArray, "len says one more": LongLen,
           "len says one less": ShortLen}.get(what, np.ndarray)
    array = raw.view(n, 8, 8, cls=cls)
    if what == "read-only":
        array.flags.writeable = False
    return array


def overlapping_view(array, shift):
    """A float64 view of the memory of `array` moved by `shift` bytes."""
    base = array.base if isinstance(array.base, np.ndarray) else array
    start = array.__array_interface__["data"][0] - base.__array_interface__["data"][0]
    offset = min(max(start + shift, 0), base.nbytes - 8 * array.shape[0])
    return np.ndarray(array.shape, dtype=np.float64, buffer=base, offset=offset)


def build_arrays(plans, n, rng, raws):
    arrays = [None] * len(plans)
    made = [False] * len(plans)
    for i, plan in enumerate(plans):
        if plan[0] in ("array", "wrong"):
            arrays[i] = make_array(plan, n, rng, raws)
            made[i] = True
    for i, plan in enumerate(plans):
        if made[i]:
            continue
        other = arrays[plan[1]] if made[plan[1]] else None
        if not isinstance(other, np.ndarray) or other.ndim != 1 or other.dtype != np.float64 \
                or other.shape[0] == 0 or other.strides[0] != 8:
            arrays[i] = make_array(("array", "plain", 0), n, rng, raws)
        elif plan[0] == "same object as":
            arrays[i] = other
        else:
            arrays[i] = overlapping_view(other, plan[2])
        made[i] = True
    return arrays


# ---------------------------------------------------------------- calls

BINDING_MISTAKES = [None] * 12 + ["extra positional", "unknown keyword", "duplicate", "missing"]


# A valid period in any of its accepted forms.
clean_forms = st.sampled_from([int, int, Index, np.int64, lambda v: bool(v) if v < 2 else v])


@st.composite
def clean_periods(draw, names):
    """Periods that pass every check: MACD's are ordered and non-zero."""
    if len(names) == 3:
        fast = draw(st.integers(1, 8))
        values = [fast, draw(st.integers(fast + 1, 14)), draw(st.integers(1, 9))]
    else:
        values = [draw(small_period)]
    return {name: draw(clean_forms)(value) for name, value in zip(names, values)}


@st.composite
def calls(draw, function):
    """A call: about half of them clean (every argument acceptable but for
    aliasing), the others anything goes."""
    names = SIGNATURES[function]
    periods = [name for name in names if is_period(name)]
    arrays = [name for name in names if not is_period(name)]
    clean = draw(st.booleans())
    return {
        "periods": draw(clean_periods(periods)) if clean
        else {name: draw(period_values) for name in periods},
        "arrays": [draw(array_plans(i, len(arrays), clean)) for i in range(len(arrays))],
        "n": draw(sizes),
        "seed": draw(st.integers(0, 2**32 - 1)),
        "positional": draw(st.integers(0, len(names))),
        "keyword order": draw(st.permutations(range(len(names)))),
        "mistake": None if clean else draw(st.sampled_from(BINDING_MISTAKES)),
    }


def arrange(names, values, plan):
    """Positional and keyword arguments as the plan says, with its mistake."""
    k = plan["positional"]
    args = [values[name] for name in names[:k]]
    kwargs = {names[i]: values[names[i]] for i in plan["keyword order"] if i >= k}
    mistake = plan["mistake"]
    if mistake == "extra positional":
        args = [values[name] for name in names] + [values[names[-1]]]
        kwargs = {}
    elif mistake == "unknown keyword":
        kwargs["out"] = values[names[-1]]
    elif mistake == "duplicate":
        if k == 0:
            args = [values[names[0]]]
        kwargs[names[0]] = values[names[0]]
    elif mistake == "missing":
        # One parameter left out; those after it that were positional go by keyword.
        dropped = plan["keyword order"][0]
        if dropped < k:
            kwargs.update({name: values[name] for name in names[dropped + 1:k]})
            args = args[:dropped]
        kwargs.pop(names[dropped], None)
    return args, kwargs


def shares_memory(a, b):
    return isinstance(a, np.ndarray) and isinstance(b, np.ndarray) and np.shares_memory(a, b)


@pytest.fixture(scope="module")
def shared_registry():
    from registry_table import Registry

    quorvane.indicator_sma(1, np.zeros(1), np.zeros(1))
    return Registry()


def same_values(got, want):
    """The same NaN positions, and the same bits everywhere else."""
    got, want = np.asarray(got, dtype=np.float64), np.asarray(want, dtype=np.float64)
    nan = np.isnan(got)
    return bool((nan == np.isnan(want)).all()
                and (got[~nan].view(np.uint64) == want[~nan].view(np.uint64)).all())


def check_call(function, plan, registry):
    names = SIGNATURES[function]
    array_names = [name for name in names if not is_period(name)]
    rng = np.random.default_rng(plan["seed"])
    raws = []
    arrays = build_arrays(plan["arrays"], plan["n"], rng, raws)
    values = dict(plan["periods"], **dict(zip(array_names, arrays)))
    args, kwargs = arrange(names, values, plan)
    inputs = {name: np.array(values[name]).tolist() for name in array_names
              if name not in OUTPUTS and isinstance(values[name], np.ndarray)}

    before = [raw.buffer.tobytes() for raw in raws]
    objects = {id(v): v for v in [*args, *kwargs.values()]}
    counts = {key: sys.getrefcount(v) for key, v in objects.items()}

    failed = False
    try:
        result = getattr(quorvane, function)(*args, **kwargs)
    except Exception as error:  # noqa: BLE001 - its type is what is checked
        failed = True
        event(type(error).__name__)
        assert type(error) in DOCUMENTED, repr(error)
        if plan["mistake"] is not None:
            assert type(error) is TypeError, repr(error)
    else:
        event("returned")
        assert plan["mistake"] is None, "a binding mistake was accepted"
        assert result is None
        del result

    assert {key: sys.getrefcount(v) for key, v in objects.items()} == counts, \
        "reference counts changed"

    for raw in raws:
        assert registry.acquire_exclusive(raw.buffer) == 0, "a borrow was left behind"
        registry.release_exclusive(raw.buffer)
    for array in arrays:
        if isinstance(array, np.ndarray) and array.flags.writeable:
            assert registry.acquire_exclusive(array) == 0, "a borrow was left behind"
            registry.release_exclusive(array)

    written = [raw.buffer.tobytes() for raw in raws]
    if failed:
        assert written == before, "a call that raised wrote into an array"
        return

    outputs = [values[name] for name in array_names if name in OUTPUTS]
    for raw, old, new in zip(raws, before, written):
        if not any(shares_memory(raw.buffer, output) for output in outputs):
            assert new == old, "a call wrote outside its outputs"
    others = [[a for j, a in enumerate(arrays) if j != i] for i, name in enumerate(array_names)
              if name in OUTPUTS]
    if any(shares_memory(output, other) for output, rest in zip(outputs, others) for other in rest):
        event("returned with an aliased output")
        return  # an output that aliases another argument: its values are not the point
    periods = [operator.index(values[name]) for name in names if is_period(name)]
    want = getattr(ref, function.removeprefix("indicator_"))(*periods, *inputs.values())
    if len(outputs) == 1:
        want = (want,)
    for output, expected in zip(outputs, want):
        assert same_values(output, expected), "a result differs from the reference"


@pytest.mark.parametrize("function", list(SIGNATURES))
@settings(max_examples=EXAMPLES, deadline=None, database=None,
          suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large,
                                 HealthCheck.filter_too_much])
@given(data=st.data())
def test_generated_calls(function, shared_registry, data):
    check_call(function, data.draw(calls(function), label="call"), shared_registry)
