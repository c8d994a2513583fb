"""MACD and average true range: results bit for bit.

Outputs are compared as bit patterns, so -0.0 against +0.0 and the bits of
every NaN count: 0x7FF8000000000000 where a position has no value, and
whatever NaN the arithmetic gives where a computed value is NaN.
"""

import numpy as np
import pytest

import quorvane
import reference as ref
from reference import NAN, NAN_BITS, bits, from_bits

INF = float("inf")
MAX = 1.7976931348623157e308
MAX_PERIOD = 4294967295
GENERATED_NAN_BITS = ref.to_bits(INF - INF)  # what the hardware makes of inf - inf
PAYLOAD_NAN_BITS = 0x7FF8000000000123


def run_macd(fast, slow, signal, data):
    data = np.asarray(data, dtype=np.float64)
    outs = [np.full(len(data), 12345.0) for _ in range(3)]  # every position must be written
    assert quorvane.indicator_macd(fast, slow, signal, data, *outs) is None
    return outs


def run_atr(period, high, low, close):
    high, low, close = (np.asarray(a, dtype=np.float64) for a in (high, low, close))
    out = np.full(len(high), 12345.0)
    assert quorvane.indicator_atr(period, high, low, close, out) is None
    return out


def assert_macd_matches_reference(fast, slow, signal, data):
    got = run_macd(fast, slow, signal, data)
    want = ref.macd(fast, slow, signal, [float(x) for x in data])
    for name, g, w in zip(("macd", "signal", "hist"), got, want):
        assert bits(g) == bits(w), name
    return got


# ------------------------------------------------------------- MACD


def test_macd_worked_example():
    macd, signal, hist = assert_macd_matches_reference(2, 3, 2, [1, 3, 2, 5, 4, 6])
    nan3 = [NAN_BITS] * 3
    assert bits(macd[:2]) == nan3[:2] and bits(signal[:3]) == nan3 and bits(hist[:3]) == nan3
    assert np.round(macd[2:], 4).tolist() == [0.5, 0.6667, 0.3056, 0.4769]
    assert np.round(signal[3:], 4).tolist() == [0.6667, 0.4259, 0.4599]
    assert np.round(hist[3:], 4).tolist() == [0.0, -0.1204, 0.017]


def test_macd_of_a_straight_line():
    macd, signal, hist = assert_macd_matches_reference(3, 5, 4, np.arange(1.0, 21.0))
    assert bits(macd) == bits([NAN] * 4 + [1.0] * 16)
    assert bits(signal) == bits([NAN] * 7 + [1.0] * 13)
    assert bits(hist) == bits([NAN] * 7 + [0.0] * 13)


@pytest.mark.parametrize("n", [0, 1, 4])
def test_macd_series_within_warm_up_is_all_nan(n):
    for out in run_macd(3, 5, 2, np.arange(1.0, n + 1.0)):
        assert bits(out) == [NAN_BITS] * n


@pytest.mark.parametrize("k", range(6))
def test_macd_nan_in_first_slow_window_blanks_everything(k):
    data = np.arange(1.0, 31.0)
    data[k] = NAN
    for out in assert_macd_matches_reference(3, 6, 2, data):
        assert np.isnan(out).all()


@pytest.mark.parametrize("k", [6, 9, 20])
def test_macd_nan_after_start_blanks_only_its_index(k):
    clean = np.sin(np.arange(30.0)) + 10.0
    data = clean.copy()
    data[k] = NAN
    got = assert_macd_matches_reference(3, 6, 3, data)
    base = run_macd(3, 6, 3, clean)
    for g, b in zip(got, base):
        assert bits(g[k : k + 1]) == [NAN_BITS]
        assert bits(g[:k]) == bits(b[:k])


# One infinity, all else finite (fast 3, slow 6, signal 3: the first fast
# window is data[3..5], the line starts at 5 and the signal line at 7).
@pytest.mark.parametrize("sign", [1.0, -1.0])
@pytest.mark.parametrize("k", [3, 5, 6, 9, 29])
def test_macd_infinity_in_the_fast_window_or_later_blanks_the_rest(sign, k):
    clean = np.sin(np.arange(30.0)) + 10.0
    data = clean.copy()
    data[k] = sign * INF
    got = assert_macd_matches_reference(3, 6, 3, data)
    base = run_macd(3, 6, 3, clean)
    for g, b in zip(got, base):
        assert np.isnan(g[k:]).all()
        assert bits(g[:k]) == bits(b[:k])


@pytest.mark.parametrize("sign", [1.0, -1.0])
@pytest.mark.parametrize("k", [0, 2])
def test_macd_infinity_in_the_slow_window_only_makes_the_lines_infinite(sign, k):
    data = np.sin(np.arange(30.0)) + 10.0
    data[k] = sign * INF
    macd, signal, hist = assert_macd_matches_reference(3, 6, 3, data)
    assert macd[5:].tolist() == [-sign * INF] * 25 and np.isnan(macd[:5]).all()
    assert signal[7:].tolist() == [-sign * INF] * 23 and np.isnan(signal[:7]).all()
    assert np.isnan(hist).all()


@pytest.mark.parametrize("slow", [3, 26])
def test_macd_signal_period_too_large_never_starts(slow):
    data = np.cos(np.arange(60.0)) * 3.0 + 50.0
    macd, signal, hist = assert_macd_matches_reference(2, slow, MAX_PERIOD, data)
    assert bits(signal) == [NAN_BITS] * 60 and bits(hist) == [NAN_BITS] * 60
    assert bits(macd) == bits(run_macd(2, slow, 1, data)[0])


def test_macd_signal_period_one_follows_the_line():
    data = np.cos(np.arange(40.0)) * 3.0 + 50.0
    data[[12, 13, 30]] = NAN
    macd, signal, hist = assert_macd_matches_reference(4, 9, 1, data)
    assert bits(signal) == bits(macd)
    finite = np.isfinite(macd)
    assert finite.sum() == 40 - 8 - 3
    assert bits(hist[finite]) == [0] * finite.sum()
    assert bits(hist[~finite]) == [NAN_BITS] * (40 - finite.sum())


P = from_bits(PAYLOAD_NAN_BITS)

# Seeding windows that hold a NaN or infinities: which NaN the seed is
# decides the bits of the MACD line at that index. (data, fast, slow, index,
# bits of macd_output there)
SEED_NANS = [
    # a NaN in the fast window: the seed is that NaN
    ([1, 2, P, 4, 5, 6, 7, 8], 3, 5, 4, PAYLOAD_NAN_BITS),
    # ... and once the fast window has passed it, the slow seed is
    ([1, 2, P, 4, 5, 6, 7, 8], 3, 5, 5, PAYLOAD_NAN_BITS),
    ([1, 2, P, 4, 5, 6, 7, 8], 3, 5, 7, PAYLOAD_NAN_BITS),
    # both infinities newer than the NaN: inf + -inf comes first
    ([1, 2, P, INF, -INF, 6, 7, 8], 3, 5, 4, GENERATED_NAN_BITS),
    # both infinities and no NaN
    ([1, 2, 3, -INF, INF, 6, 7, 8], 3, 5, 4, GENERATED_NAN_BITS),
    # one infinity newer than the NaN
    ([1, 2, P, INF, 5, 6, 7, 8], 3, 5, 4, PAYLOAD_NAN_BITS),
    # ... but the newer values overflow to the other infinity first
    ([1, 2, P, INF, -MAX, -MAX, 7, 8], 4, 6, 5, GENERATED_NAN_BITS),
    # a NaN older than both infinities, in the slow window only
    ([P, 1, 2, INF, -INF, 6, 7, 8], 2, 5, 4, GENERATED_NAN_BITS),
]


@pytest.mark.parametrize("data, fast, slow, index, expected", SEED_NANS)
def test_macd_seed_nan_bits(data, fast, slow, index, expected):
    macd, _, _ = assert_macd_matches_reference(fast, slow, 2, data)
    assert bits(macd[index : index + 1]) == [expected]


MACD_PERIODS = [(1, 2, 1), (2, 3, 2), (3, 5, 4), (12, 26, 9), (1, 7, 3), (5, 6, MAX_PERIOD), (2, 40, 1)]


@pytest.mark.parametrize("flavour", ref.FLAVOURS)
@pytest.mark.parametrize("fast, slow, signal", MACD_PERIODS)
def test_macd_generated_series_match_reference(flavour, fast, slow, signal):
    rng = np.random.default_rng([fast, slow, ref.FLAVOURS.index(flavour)])
    for n in (slow - 1, slow, slow + 1, 300):
        assert_macd_matches_reference(fast, slow, signal, ref.make_series(rng, n, flavour))


@pytest.mark.parametrize("fast, slow", [(3, 8), (12, 26)])
def test_macd_nan_dense_runs_of_reseeding(fast, slow):
    # A NaN in the first fast window, then 30% NaN with infinities mixed in:
    # the fast seed is NaN again and again and both averages are seeded anew
    # at each index that is not NaN, until a fast window is clean; by then
    # the slow window holds a NaN, and the line stays NaN to the end.
    rng = np.random.default_rng(fast)
    data = rng.normal(20.0, 2.0, 2000)
    data[rng.random(2000) < 0.3] = NAN
    data[rng.random(2000) < 0.02] = INF
    data[rng.random(2000) < 0.02] = -INF
    data[slow - 2] = NAN
    macd, signal, hist = assert_macd_matches_reference(fast, slow, 9, data)
    assert np.isnan(macd).all() and np.isnan(signal).all() and np.isnan(hist).all()


# ------------------------------------------------------------- ATR

HIGH = [10, 11, 12, 11, 13]
LOW = [9, 9, 10, 10, 11]
CLOSE = [9.5, 10, 11, 10.5, 12]


def assert_atr_matches_reference(period, high, low, close):
    out = run_atr(period, high, low, close)
    f = lambda a: [float(x) for x in a]  # noqa: E731
    assert bits(out) == bits(ref.atr(period, f(high), f(low), f(close)))
    return out


def test_atr_worked_example():
    out = assert_atr_matches_reference(2, HIGH, LOW, CLOSE)
    assert bits(out) == bits([NAN, NAN, 2.0, 1.5, 2.0])


@pytest.mark.parametrize("period, n", [(0, 5), (0, 0), (5, 5), (6, 5), (3, 0), (MAX_PERIOD, 5)])
def test_atr_without_enough_bars_is_all_nan(period, n):
    out = run_atr(period, HIGH[:n], LOW[:n], CLOSE[:n])
    assert bits(out) == [NAN_BITS] * n


def test_atr_first_value_at_index_period():
    out = assert_atr_matches_reference(4, HIGH, LOW, CLOSE)
    assert bits(out[:4]) == [NAN_BITS] * 4
    assert out[4] == (2 + 2 + 1 + 2.5) / 4


@pytest.mark.parametrize("value", [NAN, INF, -INF, 1e300, -5.0])
@pytest.mark.parametrize("which", ["high0", "low0", "close_last"])
def test_atr_never_reads_first_high_low_and_last_close(which, value):
    high, low, close = list(map(float, HIGH)), list(map(float, LOW)), list(map(float, CLOSE))
    {"high0": high, "low0": low, "close_last": close}[which][0 if which != "close_last" else -1] = value
    assert bits(run_atr(2, high, low, close)) == bits([NAN, NAN, 2.0, 1.5, 2.0])


@pytest.mark.parametrize("i", [1, 2, 3])
def test_atr_missing_previous_close_uses_the_bar_range(i):
    close = list(map(float, CLOSE))
    close[i - 1] = NAN
    out = assert_atr_matches_reference(2, HIGH, LOW, close)
    assert np.isfinite(out[2:]).all()


@pytest.mark.parametrize("pair", [("high", "low"), ("high", "close"), ("low", "close")])
@pytest.mark.parametrize("i", [1, 2, 3, 5, 7])
def test_atr_two_missing_prices_blank_the_rest(pair, i):
    series = {"high": [10.0 + (k % 3) for k in range(10)], "low": [8.0 - (k % 2) for k in range(10)]}
    series["close"] = [9.0 + (k % 4) * 0.5 for k in range(10)]
    for name in pair:
        series[name][i - 1 if name == "close" else i] = NAN
    out = assert_atr_matches_reference(3, series["high"], series["low"], series["close"])
    first_nan = max(i, 3)
    assert np.isfinite(out[3:first_nan]).all()
    assert np.isnan(out[first_nan:]).all()


@pytest.mark.parametrize("value", [INF, -INF])
@pytest.mark.parametrize("name", ["high", "low", "close"])
@pytest.mark.parametrize("i", [1, 3, 5, 9])
def test_atr_one_infinity_gives_inf_then_nan_to_the_end(value, name, i):
    series = {"high": [10.0 + (k % 3) for k in range(10)], "low": [8.0 - (k % 2) for k in range(10)]}
    series["close"] = [9.0 + (k % 4) * 0.5 for k in range(10)]
    series[name][i - 1 if name == "close" else i] = value  # a close counts for the next bar
    out = assert_atr_matches_reference(3, series["high"], series["low"], series["close"])
    first = max(i, 3)
    assert np.isfinite(out[3:first]).all()
    assert out[first] == INF
    assert np.isnan(out[first + 1 :]).all()


@pytest.mark.parametrize("flavour", ref.FLAVOURS)
@pytest.mark.parametrize("period", [1, 2, 3, 14, 64])
def test_atr_generated_series_match_reference(flavour, period):
    rng = np.random.default_rng([period, ref.FLAVOURS.index(flavour)])
    for n in (period, period + 1, period + 2, 300):
        high, low, close = (ref.make_series(rng, n, flavour) for _ in range(3))
        assert_atr_matches_reference(period, high, low, close)

