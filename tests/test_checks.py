"""The indicators' own checks: their order, their messages, and that a
failed call writes nothing."""

import numpy as np
import pytest

from quorvane import indicator_atr, indicator_ema, indicator_macd, indicator_sma
from conftest import bits

N = 6
SENTINEL = 123.25


def out(n=N):
    return np.full(n, SENTINEL)


def strided(n=N):
    return np.full(2 * n, SENTINEL)[::2]


def read_only(n=N):
    array = out(n)
    array.flags.writeable = False
    return array


def read_only_buffer(n=N):
    # memory its owner declared read-only
    return np.frombuffer(np.full(n, SENTINEL).tobytes(), dtype=np.float64)


DATA = np.arange(1.0, N + 1)


def assert_untouched(*arrays):
    for array in arrays:
        assert bits(array) == bits(np.full(len(array), SENTINEL))


@pytest.mark.parametrize("function", [indicator_sma, indicator_ema])
@pytest.mark.parametrize(
    ("data", "output", "message"),
    [
        (DATA[::-1], out(), "Input array must be C-contiguous and float64"),
        (DATA[::-1], strided(), "Input array must be C-contiguous and float64"),
        (DATA, strided(), "Output array must be C-contiguous and float64"),
        # layout is checked before length
        (DATA, strided(N + 1), "Output array must be C-contiguous and float64"),
        (DATA, out(N + 1), "Output array length must match input"),
        (DATA, out(N - 1), "Output array length must match input"),
        (DATA, read_only(), "Output array is not writeable"),
        (DATA, read_only_buffer(), "Output array is not writeable"),
        # the writeable check comes last
        (DATA, read_only(N + 1), "Output array length must match input"),
    ],
)
def test_moving_average_checks(function, data, output, message):
    with pytest.raises(ValueError) as caught:
        function(3, data, output)
    assert type(caught.value) is ValueError
    assert caught.value.args == (message,)
    assert caught.value.__cause__ is None
    assert_untouched(output)


@pytest.mark.parametrize("function", [indicator_sma, indicator_ema])
def test_type_errors_come_before_any_value_error(function):
    with pytest.raises(TypeError, match="argument 'data'"):
        function(3, np.zeros((2, 2)), strided())
    output = out(N + 1)
    with pytest.raises(TypeError, match="argument 'output'"):
        function(3, DATA[::-1], output.astype(np.float32))


def macd_call(fast=2, slow=3, signal=2, data=DATA, macd=None, sig=None, hist=None):
    outputs = [out() if o is None else o for o in (macd, sig, hist)]
    return (fast, slow, signal, data, *outputs), outputs


MACD_CASES = [
    (dict(fast=0, slow=0, macd=out(2)), "Periods must be greater than 0"),
    (dict(signal=0), "Periods must be greater than 0"),
    (dict(fast=3, slow=3), "Fast period must be less than slow period"),
    (dict(fast=4, slow=3, hist=out(1)), "Fast period must be less than slow period"),
    (dict(data=DATA[::-1], sig=out(2)), "All output arrays must have the same length as input data"),
    (dict(hist=out(N + 1)), "All output arrays must have the same length as input data"),
    (dict(data=DATA[::-1]), "Input array must be C-contiguous"),
    (dict(data=DATA[::-1], macd=strided()), "Input array must be C-contiguous"),
    (dict(macd=strided(), sig=strided()), "MACD output array must be C-contiguous"),
    (dict(sig=strided(), hist=strided()), "Signal output array must be C-contiguous"),
    (dict(hist=strided()), "Histogram output array must be C-contiguous"),
    (dict(macd=read_only(), hist=strided()), "Histogram output array must be C-contiguous"),
    (dict(macd=read_only(), sig=read_only()), "MACD output array is not writeable"),
    (dict(sig=read_only_buffer(), hist=read_only()), "Signal output array is not writeable"),
    (dict(hist=read_only()), "Histogram output array is not writeable"),
]


@pytest.mark.parametrize(("changes", "message"), MACD_CASES)
def test_macd_checks(changes, message):
    args, outputs = macd_call(**changes)
    with pytest.raises(ValueError) as caught:
        indicator_macd(*args)
    assert type(caught.value) is ValueError
    assert caught.value.args == (message,)
    assert_untouched(*outputs)


def test_macd_one_element_strided_views_pass():
    one = np.lib.stride_tricks.as_strided(np.array([5.0]), shape=(1,), strides=(-8,))
    indicator_macd(1, 2, 1, one, out(1), out(1), out(1))


def test_macd_type_errors_come_first():
    with pytest.raises(TypeError, match="argument 'signal_output'"):
        indicator_macd(0, 0, 0, DATA, out(), [0.0] * N, out(1))


def atr_call(high=DATA, low=DATA, close=DATA, output=None):
    output = out() if output is None else output
    return (2, high, low, close, output), output


ATR_CASES = [
    (dict(high=DATA[::-1], low=DATA[::2]), "High array must be C-contiguous and float64"),
    (dict(low=DATA[::-1], close=DATA[:3]), "Low array must be C-contiguous and float64"),
    (dict(close=DATA[::-1], output=strided()), "Close array must be C-contiguous and float64"),
    (dict(low=DATA[:5], output=strided()), "All arrays must have the same length"),
    (dict(close=np.arange(7.0)), "All arrays must have the same length"),
    (dict(output=strided(N + 1)), "Output array must be C-contiguous and float64"),
    (dict(output=out(N + 1)), "Output array length must match input"),
    (dict(output=out(N - 1)), "Output array length must match input"),
    (dict(output=read_only()), "Output array is not writeable"),
]


@pytest.mark.parametrize(("changes", "message"), ATR_CASES)
def test_atr_checks(changes, message):
    args, output = atr_call(**changes)
    with pytest.raises(ValueError) as caught:
        indicator_atr(*args)
    assert type(caught.value) is ValueError
    assert caught.value.args == (message,)
    assert_untouched(output)


def test_atr_takes_any_period():
    output = out()
    indicator_atr(0, DATA, DATA, DATA, output)
    assert np.isnan(output).all()
    indicator_atr(4294967295, DATA, DATA, DATA, output)
    assert np.isnan(output).all()


# --- outputs that share memory with an input or another output ---------------------------


def overlap_cases():
    """(function, arguments built from one buffer, message) triples."""
    def moving(function):
        return [
            (function, lambda b: (2, b[:N], b[:N]), "Output array 'output' overlaps input 'data'"),
            (function, lambda b: (2, b[:N], b[N - 1:2 * N - 1]),
             "Output array 'output' overlaps input 'data'"),
            (function, lambda b: (2, b[1:N + 1], b[:N]), "Output array 'output' overlaps input 'data'"),
        ]

    return moving(indicator_sma) + moving(indicator_ema) + [
        (indicator_macd, lambda b: (2, 3, 2, b[:N], b[:N], b[N:2 * N], b[2 * N:3 * N]),
         "Output array 'macd_output' overlaps input 'data'"),
        (indicator_macd, lambda b: (2, 3, 2, b[:N], b[N:2 * N], b[N:2 * N], b[N:2 * N]),
         "Output array 'signal_output' overlaps output 'macd_output'"),
        (indicator_macd, lambda b: (2, 3, 2, b[:N], b[N:2 * N], b[2 * N:3 * N], b[2 * N + 3:3 * N + 3]),
         "Output array 'hist_output' overlaps output 'signal_output'"),
        (indicator_macd, lambda b: (2, 3, 2, b[:N], b[N:2 * N], b[2 * N:3 * N], b[3:N + 3]),
         "Output array 'hist_output' overlaps input 'data'"),
        (indicator_atr, lambda b: (2, b[:N], b[:N], b[N:2 * N], b[N:2 * N]),
         "Output array 'output' overlaps input 'close'"),
        (indicator_atr, lambda b: (2, b[:N], b[N:2 * N], b[2 * N:3 * N], b[N + 2:2 * N + 2]),
         "Output array 'output' overlaps input 'low'"),
        (indicator_atr, lambda b: (2, b[:N], b[:N], b[:N], b[:N]),
         "Output array 'output' overlaps input 'high'"),
    ]


@pytest.mark.parametrize(("function", "make", "message"), overlap_cases())
def test_output_sharing_memory_is_refused_before_anything_is_written(function, make, message):
    buffer = np.arange(1.0, 4 * N + 4)
    before = buffer.copy()
    with pytest.raises(ValueError) as caught:
        function(*make(buffer))
    assert type(caught.value) is ValueError
    assert caught.value.args == (message,)
    assert bits(buffer) == bits(before)


@pytest.mark.parametrize(
    "make",
    [
        lambda b: (indicator_sma, (2, b[:N], b[N:2 * N])),  # neighbours, touching only
        lambda b: (indicator_ema, (2, b[N:2 * N], b[:N])),
        lambda b: (indicator_macd, (2, 3, 2, b[:N], b[N:2 * N], b[2 * N:3 * N], b[3 * N:4 * N])),
        lambda b: (indicator_atr, (2, b[:N], b[:N], b[:N], b[N:2 * N])),  # shared inputs are fine
        lambda b: (indicator_sma, (2, b[:0], b[:0])),  # empty runs cover no memory
        lambda b: (indicator_sma, (2, b[:1], b[1:2])),
    ],
)
def test_outputs_next_to_their_inputs_are_accepted(make):
    buffer = np.arange(1.0, 4 * N + 4)
    function, args = make(buffer)
    assert function(*args) is None


def test_overlap_is_the_last_check():
    buffer = np.arange(1.0, 2 * N + 1)
    with pytest.raises(ValueError, match="Output array length must match input"):
        indicator_sma(2, buffer[:N], buffer[1:N + 2])
    with pytest.raises(ValueError, match="All output arrays must have the same length"):
        indicator_macd(2, 3, 2, buffer[:N], buffer[:N], buffer[:N], buffer[:N + 1])
    data = np.arange(1.0, N + 1)
    data.flags.writeable = False
    with pytest.raises(ValueError, match="Output array is not writeable"):
        indicator_sma(2, data, data)
    with pytest.raises(ValueError, match="MACD output array is not writeable"):
        indicator_macd(2, 3, 2, data, data, data, data)
    with pytest.raises(ValueError, match="Output array must be C-contiguous"):
        buffer = np.arange(2.0 * N)
        indicator_atr(2, buffer[:N], buffer[:N], buffer[:N], buffer[::2])
