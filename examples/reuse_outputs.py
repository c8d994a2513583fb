"""Reusing preallocated outputs in a loop.

Outputs are arrays you allocate once and quorvane fills in place, so a loop
over many series needs no allocation per step: size the buffers for the
longest series and pass prefix views (buf[:n] is contiguous, so it is
accepted like a whole array). Every call writes every position of its
outputs (NaN where there is no value yet), so nothing is left over from an
earlier, longer series.

    python examples/reuse_outputs.py
"""

import tracemalloc

import numpy as np

import quorvane

LONGEST = 5_000


class Buffers:
    """Input and output buffers for series of up to `capacity` bars."""

    def __init__(self, capacity: int) -> None:
        self.close = np.empty(capacity)
        self.sma = np.empty(capacity)
        self.ema = np.empty(capacity)
        self.macd = np.empty(capacity)
        self.signal = np.empty(capacity)
        self.hist = np.empty(capacity)

    def compute(self, prices: np.ndarray) -> None:
        n = len(prices)
        close = self.close[:n]
        np.copyto(close, prices)  # e.g. from a feed or a memory-mapped file
        quorvane.indicator_sma(20, close, self.sma[:n])
        quorvane.indicator_ema(20, close, self.ema[:n])
        quorvane.indicator_macd(12, 26, 9, close, self.macd[:n], self.signal[:n], self.hist[:n])


def main() -> None:
    rng = np.random.default_rng(1)
    lengths = rng.integers(10, LONGEST, size=200)
    series = [100.0 + np.cumsum(rng.normal(0.0, 1.0, n)) for n in lengths]

    buffers = Buffers(LONGEST)
    for name in ("sma", "ema", "macd", "signal", "hist"):
        getattr(buffers, name).fill(-12345.0)  # stale values a call must never leave behind

    tracemalloc.start()
    last_values = []
    for prices in series:
        buffers.compute(prices)
        n = len(prices)
        last_values.append(buffers.ema[n - 1])
        assert not np.any(buffers.sma[:n] == -12345.0)
    _, peak = tracemalloc.get_traced_memory()
    tracemalloc.stop()
    print(f"{len(series)} series of {lengths.min()} to {lengths.max()} bars, "
          f"one set of buffers; peak new memory in the loop: {peak / 1024:.1f} KiB "
          f"(one series' outputs alone would be {5 * LONGEST * 8 / 1024:.0f} KiB)")

    # Same results as fresh arrays per call.
    prices = series[-1]
    fresh = np.empty(len(prices))
    quorvane.indicator_ema(20, prices, fresh)
    buffers.compute(prices)
    same = np.array_equal(fresh.view(np.uint64), buffers.ema[: len(prices)].view(np.uint64))
    print(f"reused buffers give the same bits as fresh ones: {same}")
    print(f"EMA(20) at the end of the first five series: {np.round(last_values[:5], 3)}")


if __name__ == "__main__":
    main()
