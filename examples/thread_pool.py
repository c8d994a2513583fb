"""Many symbols at once on a thread pool, with results identical to a serial run.

The SMA, EMA and MACD kernels run detached from the interpreter, so threads
compute them side by side (on a GIL build the lock is released while they
run; on a free-threaded build nothing is shared at all). ATR runs attached.

Rules for threads:
- each task writes its own outputs: an output array must never be passed
  to two calls that run at the same time (nor read while a call writes it);
- inputs may be shared freely: a call only reads them, and holds a shared
  borrow on them while it runs.

    .venvs/demo/bin/python examples/thread_pool.py                  # after scripts/demo.sh
    PYTHON_GIL=0 .venvs/cp313t/bin/python examples/thread_pool.py   # free-threaded, after scripts/test.sh

On a free-threaded build, importing quorvane turns the GIL back on with a
RuntimeWarning unless PYTHON_GIL=0 (or -X gil=0) keeps it off; the README's
section on free-threaded CPython says what that does and what is tested.
"""

import os
import sys
import time
from concurrent.futures import ThreadPoolExecutor

import numpy as np

import quorvane

SYMBOLS = 24
BARS = 200_000


def make_bars(seed: int) -> dict[str, np.ndarray]:
    rng = np.random.default_rng(seed)
    close = 50.0 * np.exp(np.cumsum(rng.normal(0.0, 0.01, BARS)))
    spread = np.abs(rng.normal(0.0, 0.008, BARS)) * close
    return {"high": close + spread, "low": close - spread, "close": close}


def new_outputs(n: int) -> dict[str, np.ndarray]:
    return {name: np.empty(n) for name in ("sma", "ema", "macd", "signal", "hist", "atr")}


def fill(bars: dict[str, np.ndarray], out: dict[str, np.ndarray]) -> dict[str, np.ndarray]:
    """All indicators of one symbol, written into `out`, which no other task uses."""
    quorvane.indicator_sma(50, bars["close"], out["sma"])
    quorvane.indicator_ema(20, bars["close"], out["ema"])
    quorvane.indicator_macd(12, 26, 9, bars["close"], out["macd"], out["signal"], out["hist"])
    quorvane.indicator_atr(14, bars["high"], bars["low"], bars["close"], out["atr"])
    return out


def identical(a: dict[str, np.ndarray], b: dict[str, np.ndarray]) -> bool:
    # Bit patterns, so that NaN == NaN and -0.0 != +0.0.
    return a.keys() == b.keys() and all(
        np.array_equal(a[k].view(np.uint64), b[k].view(np.uint64)) for k in a
    )


def main() -> None:
    gil = getattr(sys, "_is_gil_enabled", lambda: True)()
    workers = os.cpu_count() or 2
    print(f"Python {sys.version.split()[0]}, GIL {'enabled' if gil else 'disabled'}, {workers} workers")

    universe = {f"SYM{i:03d}": make_bars(seed=i) for i in range(SYMBOLS)}
    print(f"{SYMBOLS} symbols x {BARS:,} bars")

    # One set of outputs per symbol and per run, allocated (and touched) up front
    # so that the timings below measure the indicators, not page faults.
    serial = {symbol: new_outputs(BARS) for symbol in universe}
    threaded = {symbol: new_outputs(BARS) for symbol in universe}
    for out in (*serial.values(), *threaded.values()):
        for array in out.values():
            array.fill(0.0)

    started = time.perf_counter()
    for symbol, bars in universe.items():
        fill(bars, serial[symbol])
    serial_time = time.perf_counter() - started

    started = time.perf_counter()
    with ThreadPoolExecutor(max_workers=workers) as pool:
        list(pool.map(fill, universe.values(), threaded.values()))
    threaded_time = time.perf_counter() - started

    same = all(identical(serial[s], threaded[s]) for s in universe)
    print(f"serial   {serial_time * 1e3:8.1f} ms")
    print(f"threads  {threaded_time * 1e3:8.1f} ms  ({serial_time / threaded_time:.2f}x, "
          "depends on free cores)")
    print(f"results identical to the serial run, bit for bit: {same}")

    # The same input read by several threads at once is fine; outputs stay per call.
    shared_input = universe["SYM000"]
    with ThreadPoolExecutor(max_workers=workers) as pool:
        repeats = list(pool.map(lambda _: fill(shared_input, new_outputs(BARS)), range(workers * 2)))
    print(f"one input shared by {len(repeats)} concurrent calls, all identical: "
          f"{all(identical(serial['SYM000'], r) for r in repeats)}")
    if not same:
        sys.exit(1)


if __name__ == "__main__":
    main()
