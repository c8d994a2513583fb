"""Plain-Python forms of the four indicator kernels.

Each function follows its algorithm step by step, in the same order of
operations as the kernels, so that on IEEE doubles without fused multiply-add
it gives the same bits. They keep the simple forms on purpose: the EMA retries
the first-window search one position further after every failed window, and
the MACD sums both seed windows at every seeding. The kernels' faster paths
are checked against these.

Outputs are lists of Python floats of the input's length; a position without
a value holds NAN (bit pattern 0x7FF8000000000000).

NaN operands: when both operands of an addition are NaN, IEEE 754 leaves open
which one comes out. x86 returns the first operand (quieted); CPython's own
`a + b` may be compiled either way round, so `add` spells the rule out.
Every addition that can meet two NaNs goes through it.
"""

import struct

import numpy as np

NAN_BITS = 0x7FF8000000000000
_EXPONENT = 0x7FF0000000000000
_QUIET = 0x0008000000000000


def to_bits(x):
    return struct.unpack("<Q", struct.pack("<d", x))[0]


def from_bits(b):
    return struct.unpack("<d", struct.pack("<Q", b))[0]


NAN = from_bits(NAN_BITS)


def bits(values):
    """Bit patterns of a sequence of doubles, so that -0.0 and NaNs count."""
    return np.ascontiguousarray(values, dtype=np.float64).view(np.uint64).tolist()


def is_finite(x):
    return (to_bits(x) & _EXPONENT) != _EXPONENT


def is_nan(x):
    return x != x


def add(a, b):
    if is_nan(a) and is_nan(b):
        return from_bits(to_bits(a) | _QUIET)
    return a + b


# ---------------------------------------------------------------- SMA


def sma(period, data):
    n = len(data)
    out = [NAN] * n
    if period == 0 or period > n:
        return out
    p = period
    s = -0.0
    for k in range(p):
        s = add(s, data[k])
    r = 1.0 / float(p)
    out[p - 1] = r * s
    for i in range(p, n):
        s = add(s, data[i] - data[i - p])
        out[i] = r * s
    return out


# ---------------------------------------------------------------- EMA


def ema(period, data):
    n = len(data)
    out = [NAN] * n
    if period == 0 or period > n:
        return out
    p = period
    start = None
    i = 0
    while i + p <= n:
        if all(is_finite(data[k]) for k in range(i, i + p)):
            start = i
            break
        i += 1
    if start is None:
        return out
    s = -0.0
    for k in range(start, start + p):
        s = add(s, data[k])
    e = s / float(p)
    out[start + p - 1] = e
    if start + p == n:
        return out
    alpha = 2.0 / (float(p) + 1.0)
    beta = 1.0 - alpha
    for j in range(start + p, n):
        if is_finite(data[j]):
            e = add(e * beta, data[j] * alpha)
            out[j] = e
    return out


# ---------------------------------------------------------------- MACD


def _factors(period):
    alpha = 2.0 / (float(period) + 1.0)
    return alpha, 1.0 - alpha


def _seed(data, i, period):
    s = -0.0
    for k in range(i, i - period, -1):  # newest back to oldest
        s = add(s, data[k])
    return s / float(period)


def macd(fast_period, slow_period, signal_period, data):
    """(macd_output, signal_output, hist_output)."""
    n = len(data)
    macd_out, signal_out, hist_out = [NAN] * n, [NAN] * n, [NAN] * n
    fast_a, fast_b = _factors(fast_period)
    slow_a, slow_b = _factors(slow_period)
    sig_a, sig_b = _factors(signal_period)
    fast = slow = signal = NAN
    for i in range(n):
        x = data[i]
        if is_nan(x):
            continue
        if i < slow_period - 1:
            continue
        if is_nan(fast):
            fast = _seed(data, i, fast_period)
            slow = _seed(data, i, slow_period)
        else:
            fast = add(fast * fast_b, x * fast_a)
            slow = add(slow * slow_b, x * slow_a)
        m = fast - slow
        macd_out[i] = m
        if is_nan(signal):
            if i >= slow_period + signal_period - 2:
                signal = m
        else:
            signal = add(signal * sig_b, m * sig_a)
        signal_out[i] = signal
        hist_out[i] = NAN if is_nan(signal) else m - signal
    return macd_out, signal_out, hist_out


# ---------------------------------------------------------------- ATR


def nan_max(a, b):
    """Passes over a NaN operand; the first operand on ties."""
    if is_nan(a):
        return b
    if is_nan(b):
        return a
    return b if b > a else a


def true_range(high, low, close, i):
    return nan_max(
        nan_max(high[i] - low[i], abs(high[i] - close[i - 1])),
        abs(low[i] - close[i - 1]),
    )


def atr(period, high, low, close):
    n = len(high)
    out = [NAN] * n
    if period == 0 or n <= period:
        return out
    s = 0.0
    for i in range(1, period + 1):
        s = add(s, true_range(high, low, close, i))
    a = s / float(period)
    out[period] = a
    r = 1.0 / float(period)
    for i in range(period + 1, n):
        a = add(a, (true_range(high, low, close, i) - a) * r)
        out[i] = a
    return out


# ---------------------------------------------------------------- test series

_MAX = 1.7976931348623157e308
# NaNs with other payloads and signs; the kernels never write these themselves.
_OTHER_NANS = [from_bits(b) for b in (0xFFF8000000000000, 0x7FF8000000000001, 0x7FFC0000DEADBEEF)]


def make_series(rng, n, flavour):
    """A float64 array of n values of the given flavour, from a seeded
    numpy Generator:

    finite    ordinary prices
    special   prices mixed with NaN (other payloads too), +-inf, +-0.0,
              values near the overflow limit and subnormals
    nan_dense mostly NaN, some infinities
    gappy     runs of finite values of random length cut by NaN or inf
    overflow  values near +-DBL_MAX, whose sums overflow
    """
    if flavour == "finite":
        return rng.normal(100.0, 15.0, n) * rng.choice([1.0, 1e-3, 1e3], n)
    if flavour == "special":
        base = rng.normal(100.0, 15.0, n)
        kinds = rng.choice(12, n, p=[0.5, 0.08, 0.04, 0.05, 0.05, 0.05, 0.03, 0.05, 0.05, 0.04, 0.03, 0.03])
        picks = {
            1: np.nan,
            2: None,  # another NaN
            3: np.inf,
            4: -np.inf,
            5: -0.0,
            6: 0.0,
            7: _MAX * 0.75,
            8: -_MAX * 0.75,
            9: 5e-324,
            10: -2.2250738585072e-310,
            11: 1e-300,
        }
        out = base.copy()
        for i, kind in enumerate(kinds):
            if kind == 2:
                out[i] = _OTHER_NANS[int(rng.integers(len(_OTHER_NANS)))]
            elif kind:
                out[i] = picks[int(kind)]
        return out
    if flavour == "nan_dense":
        out = rng.normal(50.0, 5.0, n)
        kinds = rng.choice(4, n, p=[0.4, 0.5, 0.05, 0.05])
        out[kinds == 1] = np.nan
        out[kinds == 2] = np.inf
        out[kinds == 3] = -np.inf
        return out
    if flavour == "gappy":
        out = rng.normal(10.0, 2.0, n)
        i = 0
        while i < n:
            i += int(rng.integers(1, 12))
            if i < n:
                out[i] = rng.choice([np.nan, np.inf, -np.inf])
        return out
    if flavour == "overflow":
        out = rng.choice([_MAX, -_MAX, _MAX * 0.9, -_MAX * 0.6, 1.0], n)
        return out
    raise ValueError(flavour)


FLAVOURS = ["finite", "special", "nan_dense", "gappy", "overflow"]
