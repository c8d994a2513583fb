"""Simple and exponential moving averages: results bit for bit.

Outputs are compared as bit patterns, so -0.0 against +0.0 and the NaN
written for positions without a value (0x7FF8000000000000) count.
"""

import numpy as np
import pytest

import quorvane
import reference as ref
from reference import NAN, NAN_BITS, bits

INF = float("inf")
MAX_PERIOD = 4294967295
KERNELS = {"sma": ref.sma, "ema": ref.ema}


def run(kernel, period, data):
    data = np.asarray(data, dtype=np.float64)
    out = np.full(len(data), 12345.0)  # every position must be written
    assert getattr(quorvane, f"indicator_{kernel}")(period, data, out) is None
    return out


# ------------------------------------------------------------- worked examples

EXAMPLES = [
    ("sma", 3, [1, 2, 3, 4, 5], [NAN, NAN, 2.0, 3.0, 4.0]),
    # the window sum times the reciprocal, not the quotient 1.6666666666666667
    ("sma", 3, [1, 2, 2], [NAN, NAN, 1.6666666666666665]),
    # a running update, not the input itself
    ("sma", 1, [0.1, 0.1, 0.001], [0.1, 0.1, 0.0010000000000000009]),
    # the carried sum keeps its rounding
    ("sma", 2, [1e16, 1, 1, 1], [NAN, 5e15, 0.0, 0.0]),
    # -0.0 seed; later differences are +0.0
    ("sma", 2, [-0.0, -0.0, -0.0], [NAN, -0.0, 0.0]),
    ("sma", 3, [1, 2, 4], [NAN, NAN, 2.333333333333333]),
    ("sma", 0, [1, 2, 3], [NAN, NAN, NAN]),
    ("sma", 4, [1, 2, 3], [NAN, NAN, NAN]),
    ("sma", MAX_PERIOD, [1, 2, 3], [NAN, NAN, NAN]),
    ("ema", 3, [1, 2, 3, 4, 5], [NAN, NAN, 2.0, 3.0, 4.0]),
    # the seed is a quotient
    ("ema", 3, [1, 2, 2], [NAN, NAN, 1.6666666666666667]),
    ("ema", 2, [NAN, 1, 2, 3, 4], [NAN, NAN, 1.5, 2.5, 3.5]),
    ("ema", 2, [1, 2, 3, NAN, 5], [NAN, 1.5, 2.5, NAN, 4.166666666666666]),
    ("ema", 2, [1, 2, INF, 4, 5], [NAN, 1.5, NAN, 3.1666666666666665, 4.388888888888888]),
    ("ema", 2, [1, 2, -INF, 4, 5], [NAN, 1.5, NAN, 3.1666666666666665, 4.388888888888888]),
    ("ema", 2, [1, NAN, 2, NAN, 3], [NAN] * 5),
    ("ema", 2, [-0.0, -0.0, 1.0], [NAN, -0.0, 0.6666666666666666]),
    ("ema", 3, [1, 2, 6], [NAN, NAN, 3.0]),
    ("ema", 3, [1, INF, 6], [NAN, NAN, NAN]),
    # period 1 reproduces finite values; a later -0.0 comes out as +0.0
    ("ema", 1, [-0.0, 2.5, NAN, -INF, -0.0, 7.0], [-0.0, 2.5, NAN, NAN, 0.0, 7.0]),
    ("ema", 0, [1, 2, 3], [NAN, NAN, NAN]),
    ("ema", 4, [1, 2, 3], [NAN, NAN, NAN]),
    ("ema", MAX_PERIOD, [1, 2, 3], [NAN, NAN, NAN]),
]


@pytest.mark.parametrize("kernel, period, data, expected", EXAMPLES)
def test_worked_example(kernel, period, data, expected):
    out = run(kernel, period, data)
    assert bits(out) == bits(expected)
    assert bits(out) == bits(KERNELS[kernel](period, [float(x) for x in data]))


@pytest.mark.parametrize("kernel", KERNELS)
@pytest.mark.parametrize("period", [0, 1, 3, MAX_PERIOD])
def test_empty_series(kernel, period):
    assert run(kernel, period, []).size == 0


# ------------------------------------------------------------- SMA: NaN and infinity


@pytest.mark.parametrize("period", [1, 3, 5])
@pytest.mark.parametrize("k", [0, 2, 6, 11])
def test_sma_nan_blanks_everything_from_its_window_on(period, k):
    clean = np.arange(1.0, 13.0)
    data = clean.copy()
    data[k] = NAN
    out = run("sma", period, data)
    first_nan = max(k, period - 1)
    assert bits(out[:first_nan]) == bits(run("sma", period, clean)[:first_nan])
    assert bits(out[first_nan:]) == [NAN_BITS] * (12 - first_nan)


@pytest.mark.parametrize("sign", [1.0, -1.0])
@pytest.mark.parametrize("period", [1, 3])
@pytest.mark.parametrize("k", [0, 1, 5])
def test_sma_infinity_while_in_window_then_nan(sign, period, k):
    data = np.arange(1.0, 13.0)
    data[k] = sign * INF
    out = run("sma", period, data)
    inside = out[max(k, period - 1) : k + period]
    assert inside.tolist() == [sign * INF] * len(inside)
    # inf - inf: NaN from there on, with whatever bits the subtraction gives
    assert np.isnan(out[k + period :]).all()
    assert bits(out) == bits(ref.sma(period, data.tolist()))


# ------------------------------------------------------------- EMA: first window


@pytest.mark.parametrize("period", [2, 5, 9])
@pytest.mark.parametrize("ending_run", [True, False])
def test_ema_first_window_after_many_near_misses(period, ending_run):
    # Runs of period - 1 finite values, each cut by a non-finite one; only
    # the last run, when present, is long enough.
    data = []
    for cut in [NAN, INF, -INF] * 4:
        data += [float(v) for v in range(1, period)] + [cut]
    if ending_run:
        data += [float(v) for v in range(10, 10 + period)]
    out = run("ema", period, data)
    if ending_run:
        n = len(data)
        assert bits(out[:-1]) == [NAN_BITS] * (n - 1)
        assert out[-1] == sum(range(10, 10 + period)) / period
    else:
        assert bits(out) == [NAN_BITS] * len(data)
    assert bits(out) == bits(ref.ema(period, data))


def test_ema_passes_over_non_finite_values_after_the_seed():
    data = [2.0, 4.0, NAN, INF, -INF, 6.0]
    out = run("ema", 2, data)
    assert bits(out[2:5]) == [NAN_BITS] * 3
    # 3.0 * (1/3) + 6.0 * (2/3), as if the three values were not there
    assert out[5] == 3.0 * (1.0 - 2.0 / 3.0) + 6.0 * (2.0 / 3.0)


# ------------------------------------------------------------- generated series

LENGTHS = [1, 2, 3, 63, 64, 65, 71, 72, 73, 130, 1000]


def periods_for(n):
    # 0, 1, 2, n, n + 1 and the largest period, plus periods that leave
    # 63, 64, 65, 71 and 72 positions after the first window (the blocked
    # update loop starts above 63).
    chosen = {0, 1, 2, 3, 8, n - 1, n, n + 1, MAX_PERIOD}
    chosen |= {n - after for after in (63, 64, 65, 71, 72)}
    return sorted(p for p in chosen if p >= 0)


@pytest.mark.parametrize("kernel", KERNELS)
@pytest.mark.parametrize("flavour", ref.FLAVOURS)
@pytest.mark.parametrize("n", LENGTHS)
def test_generated_series_match_reference(kernel, flavour, n):
    rng = np.random.default_rng([n, ref.FLAVOURS.index(flavour)])
    data = ref.make_series(rng, n, flavour)
    values = data.tolist()
    for period in periods_for(n):
        out = run(kernel, period, data)
        assert bits(out) == bits(KERNELS[kernel](period, values)), f"period {period}"

