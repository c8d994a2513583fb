import numpy as np
import pytest

import quorvane
from quorvane import indicator_atr, indicator_ema, indicator_macd, indicator_sma
from conftest import bits, run_python

LABEL = "numpy.ndarray[float64, ndim=1]"


class SubArray(np.ndarray):
    pass


REFUSED = [
    ([1.0, 2.0], "list"),
    ((1.0, 2.0), "tuple"),
    (1.5, "float"),
    (None, "NoneType"),
    (np.float64(1.0), "float64"),
    (np.array(1.0), "ndarray"),
    (np.zeros((2, 2)), "ndarray"),
    (np.zeros((3, 1)), "ndarray"),
    (np.zeros(3, dtype=np.float32), "ndarray"),
    (np.zeros(3, dtype=np.int64), "ndarray"),
    (np.zeros(3, dtype=object), "ndarray"),
    (np.zeros(3, dtype=">f8"), "ndarray"),
    (memoryview(np.zeros(3)), "memoryview"),
    (np.zeros((2, 2)).view(SubArray), "SubArray"),
]


@pytest.mark.parametrize(("value", "type_name"), REFUSED)
@pytest.mark.parametrize("parameter", ["data", "output"])
def test_refused_arrays_name_the_parameter_and_type(value, type_name, parameter):
    args = {"period": 2, "data": np.zeros(3), "output": np.zeros(3)}
    args[parameter] = value
    with pytest.raises(TypeError) as caught:
        indicator_sma(**args)
    assert type(caught.value) is TypeError
    assert caught.value.args == (
        f"argument '{parameter}': '{type_name}' object cannot be converted to '{LABEL}'",
    )


def test_refused_output_is_reported_after_the_input_and_untouched():
    out = np.zeros(3, dtype=np.float32)
    with pytest.raises(TypeError, match="argument 'data'"):
        indicator_sma(1, [1.0, 2.0, 3.0], out)
    assert not out.any()


def test_float64_subclass_and_native_equivalent_dtypes_are_accepted():
    data = np.arange(5.0).view(SubArray)
    out = np.zeros(5).view(SubArray)
    indicator_sma(2, data, out)
    assert out.tolist()[1:] == [0.5, 1.5, 2.5, 3.5]
    indicator_sma(2, np.arange(5.0).astype("<f8"), out)
    assert out.tolist()[1:] == [0.5, 1.5, 2.5, 3.5]


def misaligned(values, offset):
    """A float64 array whose data pointer is `offset` bytes past a multiple of 8."""
    raw = np.zeros(8 * len(values) + 16, dtype=np.uint8)
    start = offset - raw.ctypes.data % 8 + 8
    array = raw[start:start + 8 * len(values)].view(np.float64)
    array[:] = values
    assert array.ctypes.data % 8 == offset
    return array


# Each function with its inputs and its number of outputs. The values hold a
# NaN and an infinity, so that every kernel also takes its rare paths.
MISALIGNED_CALLS = {
    "sma": (lambda ins, outs: quorvane.indicator_sma(3, *ins, *outs), 1, 1),
    "ema": (lambda ins, outs: quorvane.indicator_ema(3, *ins, *outs), 1, 1),
    "macd": (lambda ins, outs: quorvane.indicator_macd(3, 5, 4, *ins, *outs), 1, 3),
    "atr": (lambda ins, outs: quorvane.indicator_atr(3, *ins, *outs), 3, 1),
}


@pytest.mark.parametrize("offsets", [(1, 3), (4, 0), (0, 7)], ids=["both", "inputs", "outputs"])
@pytest.mark.parametrize("name", MISALIGNED_CALLS)
def test_misaligned_arrays_are_used_in_place(name, offsets):
    call, inputs, outputs = MISALIGNED_CALLS[name]
    values = np.arange(1.0, 41.0)
    values[17], values[29] = np.nan, np.inf
    aligned_out = [np.zeros(40) for _ in range(outputs)]
    call([values.copy() for _ in range(inputs)], aligned_out)
    ins = [misaligned(values, offsets[0]) for _ in range(inputs)]
    outs = [misaligned(np.zeros(40), offsets[1]) for _ in range(outputs)]
    call(ins, outs)
    assert [bits(out) for out in outs] == [bits(out) for out in aligned_out]
    assert all(bits(array) == bits(values) for array in ins)


def one_element_view(stride):
    base = np.arange(10.0)
    return np.lib.stride_tricks.as_strided(base[5:], shape=(1,), strides=(stride,))


@pytest.mark.parametrize("stride", [-8, 0, 24, 12])
def test_one_element_views_are_contiguous_whatever_their_stride(stride):
    out = np.zeros(1)
    indicator_sma(1, one_element_view(stride), out)
    assert out.tolist() == [5.0]
    out = one_element_view(stride).copy()
    target = np.lib.stride_tricks.as_strided(out, shape=(1,), strides=(stride,))
    indicator_sma(1, np.array([7.0]), target)
    assert out[0] == 7.0


def records_view(n):
    # a float64 field of 12-byte packed records
    records = np.zeros(n, dtype=np.dtype([("x", "<f8"), ("y", "<i4")], align=False))
    return records["x"]


STRIDED = {
    "reversed": lambda n: np.arange(float(n))[::-1],
    "repeated": lambda n: np.lib.stride_tricks.as_strided(np.zeros(1), shape=(n,), strides=(0,)),
    "every second": lambda n: np.zeros(2 * n)[::2],
    "12-byte records": records_view,
}


@pytest.mark.parametrize("make", STRIDED.values(), ids=STRIDED.keys())
def test_strided_views_of_two_or_more_values_are_refused(make):
    view = make(3)
    with pytest.raises(ValueError) as caught:
        indicator_sma(2, view, np.zeros(3))
    assert caught.value.args == ("Input array must be C-contiguous and float64",)
    if view.flags.writeable and view.strides[0] != 0:
        before = view.copy()
        with pytest.raises(ValueError) as caught:
            indicator_sma(2, np.zeros(3), view)
        assert caught.value.args == ("Output array must be C-contiguous and float64",)
        assert bits(view) == bits(before)


@pytest.mark.parametrize("period", [0, 1, 5, 4294967295])
def test_empty_arrays(period):
    empty = np.zeros(0)
    assert indicator_sma(period, empty, np.zeros(0)) is None
    assert indicator_ema(period, empty, np.zeros(0)) is None
    assert indicator_atr(period, empty, empty, empty, np.zeros(0)) is None
    if period:
        assert indicator_macd(1, 2, 1, empty, np.zeros(0), np.zeros(0), np.zeros(0)) is None


# --- the shared borrow registry, reached through its capsule --------------------------------


def test_the_same_view_twice(registry):
    a = np.zeros(10)
    assert registry.acquire_shared(a) == 0
    assert registry.acquire_shared(a) == 0
    assert registry.acquire_exclusive(a) == -1
    registry.release_shared(a)
    registry.release_shared(a)
    assert registry.acquire_exclusive(a) == 0
    assert registry.acquire_shared(a) == -1
    assert registry.acquire_exclusive(a) == -1
    registry.release_exclusive(a)


def test_not_writeable_is_refused_without_registering(registry):
    a = np.zeros(4)
    a.flags.writeable = False
    assert registry.acquire_exclusive(a) == -2
    assert registry.acquire_shared(a) == 0
    registry.release_shared(a)


SLICES = {
    "[0:5]": np.s_[0:5],
    "[3:8]": np.s_[3:8],
    "[5:10]": np.s_[5:10],
    "even": np.s_[0::2],
    "odd": np.s_[1::2],
}


@pytest.mark.parametrize(
    ("first", "second", "conflict"),
    [
        ("[0:5]", "[3:8]", True),
        ("[0:5]", "[5:10]", False),
        ("even", "odd", False),
        ("even", "[3:8]", True),
    ],
)
def test_conflicts_between_views_of_one_buffer(registry, first, second, conflict):
    buffer = np.zeros(10)
    a, b = buffer[SLICES[first]], buffer[SLICES[second]]
    assert registry.acquire_exclusive(a) == 0
    try:
        got = registry.acquire_exclusive(b)
        assert got == (-1 if conflict else 0)
        if got == 0:
            registry.release_exclusive(b)
        got = registry.acquire_shared(b)
        assert got == (-1 if conflict else 0)
        if got == 0:
            registry.release_shared(b)
    finally:
        registry.release_exclusive(a)


def test_shared_borrow_leaves_room_for_other_readers_only(registry):
    buffer = np.zeros(10)
    a, b = buffer[0:5], buffer[3:8]
    assert registry.acquire_shared(a) == 0
    assert registry.acquire_exclusive(b) == -1
    assert registry.acquire_shared(b) == 0
    registry.release_shared(b)
    registry.release_shared(a)
    assert registry.acquire_exclusive(b) == 0
    registry.release_exclusive(b)


def calls_that_fail():
    good = np.arange(6.0)
    return [
        lambda: indicator_sma(2, good, np.zeros(5)),
        lambda: indicator_sma(2, good, [0.0] * 6),
        lambda: indicator_sma(2, good, good[::-1].copy()[::2]),
        lambda: indicator_ema(2.5, good, np.zeros(6)),
        lambda: indicator_macd(0, 3, 2, good, np.zeros(6), np.zeros(6), np.zeros(6)),
        lambda: indicator_macd(1, 3, 2, good, np.zeros(6), np.zeros(6), np.zeros(5)),
        lambda: indicator_macd(1, 3, 2, good, np.zeros(6), np.zeros(6), None),
        lambda: indicator_atr(2, good, good, good[::-1], np.zeros(6)),
        lambda: indicator_atr(2, good, good, good, np.zeros(7)),
        lambda: indicator_atr(2, good, good, [1.0], np.zeros(6)),
        lambda: indicator_atr(2, good, good, good, None),
    ], good


def test_no_borrow_is_left_behind(registry):
    calls, good = calls_that_fail()
    for call in calls:
        with pytest.raises((TypeError, ValueError)):
            call()
        assert registry.acquire_exclusive(good) == 0, call
        registry.release_exclusive(good)
    out = np.zeros(6)
    indicator_sma(2, good, out)
    indicator_ema(2, good, out)
    indicator_macd(1, 2, 1, good, out, np.zeros(6), np.zeros(6))
    indicator_atr(2, good, good, good, out)
    assert registry.acquire_exclusive(good) == 0
    registry.release_exclusive(good)


def test_input_held_exclusively_by_another_module_is_refused(registry):
    data = np.arange(6.0)
    out = np.zeros(6)
    assert registry.acquire_exclusive(data[2:4]) == 0
    try:
        with pytest.raises(RuntimeError) as caught:
            indicator_sma(2, data, out)
        assert str(caught.value).endswith(": AlreadyBorrowed")
        assert "'data'" in str(caught.value)
        assert not out.any()
        # the refused call took nothing: an unrelated array is untouched, and the
        # earlier inputs of a multi-input call are released
        with pytest.raises(RuntimeError, match=r"'close'.*AlreadyBorrowed$"):
            indicator_atr(1, np.ones(6), np.ones(6), data, out)
    finally:
        registry.release_exclusive(data[2:4])
    indicator_sma(2, data, out)
    assert out[1] == 0.5


def test_same_array_as_several_inputs(registry):
    prices = np.array([10.0, 11.0, 12.0, 11.0, 13.0])
    out = np.zeros(5)
    indicator_atr(2, prices, prices, prices, out)
    assert bits(out) == bits([np.nan, np.nan, 1.0, 1.0, 1.5])
    assert registry.acquire_exclusive(prices) == 0
    registry.release_exclusive(prices)


# --- registries published by someone else, and faults -----------------------------------------

RECORDING_REGISTRY = """
import ctypes, numpy as np
from registry_table import ACQUIRE, RELEASE, Table, publish, multiarray, ATTRIBUTE
events = []
def note(kind, result=None):
    def call(state, array):
        events.append((kind, state, id(array)))
        return result
    return call
callbacks = [ACQUIRE(note("acquire_shared", 0)), ACQUIRE(note("acquire_exclusive", 0)),
             RELEASE(note("release_shared")), RELEASE(note("release_exclusive"))]
table = Table(VERSION, 1234, *callbacks)
capsule = publish(table)
"""


def run_with_registry(version, body):
    code = "import sys; sys.path.insert(0, %r)\n" % __import__("os").path.dirname(__file__)
    code += RECORDING_REGISTRY.replace("VERSION", str(version)) + body
    return run_python(code)


def test_a_registry_published_first_is_used_and_none_created():
    result = run_with_registry(
        1,
        """
import quorvane
h, l, c = np.ones(4), np.ones(4), np.ones(4)
quorvane.indicator_atr(1, h, l, c, np.zeros(4))
assert getattr(multiarray(), ATTRIBUTE) is capsule
names = {id(h): "high", id(l): "low", id(c): "close"}
print([(kind, state, names[a]) for kind, state, a in events])
""",
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == str(
        [
            ("acquire_shared", 1234, "high"),
            ("acquire_shared", 1234, "low"),
            ("acquire_shared", 1234, "close"),
            ("release_shared", 1234, "close"),
            ("release_shared", 1234, "low"),
            ("release_shared", 1234, "high"),
        ]
    )


def test_a_version_zero_registry_is_refused():
    result = run_with_registry(
        0,
        """
import quorvane
out = np.zeros(3)
for _ in range(2):
    try:
        quorvane.indicator_sma(1, np.ones(3), out)
    except RuntimeError as error:
        print(type(error.__cause__).__name__, "|", error)
print(events, out.tolist())
""",
    )
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert len(lines) == 3
    for line in lines[:2]:
        assert line.startswith("TypeError | Interal borrow checking API error: ")
        assert "version 0 of the borrow checking interface is not supported" in line
    assert lines[2] == "[] [0.0, 0.0, 0.0]"


def test_a_registry_attribute_that_is_no_capsule_is_refused():
    result = run_python(
        """
import numpy as np
major = int(np.__version__.split(".")[0])
multiarray = np._core.multiarray if major >= 2 else np.core.multiarray
multiarray._RUST_NUMPY_BORROW_CHECKING_API = 42
import quorvane
try:
    quorvane.indicator_ema(1, np.ones(3), np.zeros(3))
except RuntimeError as error:
    print(error)
"""
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.startswith("Interal borrow checking API error: ")
    assert "'int' object cannot be converted to 'PyCapsule'" in result.stdout


def test_numpy_that_cannot_be_imported_is_an_import_error():
    result = run_python(
        """
import sys
sys.modules["numpy"] = None
import quorvane
try:
    quorvane.indicator_sma(1, [1.0], [0.0])
except ImportError as error:
    print(type(error).__name__, type(error.__cause__).__name__)
    print(error)
"""
    )
    assert result.returncode == 0, result.stderr
    first, second = result.stdout.splitlines()[:2]
    assert first == "ImportError ModuleNotFoundError"
    assert second.startswith("Failed to access NumPy array API capsule: ")


def test_releasing_a_borrow_that_was_never_taken_ends_the_process():
    result = run_python(
        "import sys; sys.path.insert(0, %r)\n" % __import__("os").path.dirname(__file__)
        + """
import numpy as np, quorvane
from registry_table import Registry
quorvane.indicator_sma(1, np.zeros(1), np.zeros(1))
Registry().release_shared(np.zeros(3))
print("still alive")
"""
    )
    assert result.returncode == -6  # SIGABRT
    assert "still alive" not in result.stdout
    assert "release of a shared borrow" in result.stderr
    assert "registry.cpp:" in result.stderr
    assert "QUORVANE_BACKTRACE" in result.stderr


def model_key(array):
    data = array.ctypes.data
    n, stride = array.shape[0], array.strides[0]
    if n == 0:
        return (data, data, data, stride)
    low, high = min(0, (n - 1) * stride), max(0, (n - 1) * stride)
    return (data + low, data + high + array.itemsize, data, stride)


def model_base(array):
    while isinstance(array.base, np.ndarray):
        array = array.base
    return id(array.base) if array.base is not None else id(array)


def model_conflict(a, b):
    if b[0] >= a[1] or a[0] >= b[1]:
        return False
    divisor = __import__("math").gcd(a[3], b[3])
    return divisor == 0 or abs(a[2] - b[2]) % divisor == 0


def test_registry_agrees_with_a_model_over_random_operations(registry):
    rng = np.random.default_rng(11)
    buffers = [np.zeros(40), np.zeros(16)]
    views = [b[i:j] for b in buffers for i, j in [(0, 5), (3, 8), (5, 10), (0, 40), (9, 10)]]
    views += [b[::2] for b in buffers] + [b[1::2] for b in buffers] + [b[::-1] for b in buffers]
    views += [buffers[0][i : i + 1] for i in range(0, 40, 3)]  # many views of one base
    views += [np.zeros(3) for _ in range(12)]  # many bases
    model = {}  # base -> {key: count}
    held = []  # (kind, view)
    for step in range(4000):
        if held and rng.random() < 0.45:
            kind, view = held.pop(rng.integers(len(held)))
            base, key = model_base(view), model_key(view)
            if kind == "shared":
                registry.release_shared(view)
                model[base][key] -= 1
                if model[base][key] == 0:
                    del model[base][key]
            else:
                registry.release_exclusive(view)
                del model[base][key]
            if not model[base]:
                del model[base]
            continue
        view = views[rng.integers(len(views))]
        base, key = model_base(view), model_key(view)
        keys = model.get(base, {})
        if rng.random() < 0.6:
            expected = 0
            if key in keys:
                expected = -1 if keys[key] < 0 else 0
            elif any(c < 0 and model_conflict(key, k) for k, c in keys.items()):
                expected = -1
            got = registry.acquire_shared(view)
            if got == 0:
                model.setdefault(base, {})[key] = keys.get(key, 0) + 1
                held.append(("shared", view))
        else:
            conflict = key in keys or any(model_conflict(key, k) for k in keys)
            expected = -1 if conflict else 0
            got = registry.acquire_exclusive(view)
            if got == 0:
                model.setdefault(base, {})[key] = -1
                held.append(("exclusive", view))
        assert got == expected, (step, key, keys)
    for kind, view in held:
        (registry.release_shared if kind == "shared" else registry.release_exclusive)(view)
    for buffer in buffers:
        assert registry.acquire_exclusive(buffer) == 0
        registry.release_exclusive(buffer)
