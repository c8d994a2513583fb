"""Shared pieces of the benchmark: test data, periods, timing and formatting."""

from __future__ import annotations

import itertools
import math
import os
import statistics
import time
from dataclasses import dataclass
from typing import Callable, Sequence

import numpy as np

SIZES = (16, 1_000, 100_000, 1_000_000)
BIG = 1_000_000

# Periods are kept small enough that every indicator has values at n = 16, so
# no library is timed on an all-NaN shortcut there.
SMA_PERIOD = 10
EMA_PERIOD = 10
MACD_PERIODS = (5, 10, 4)
ATR_PERIOD = 10

QUICK = os.environ.get("BENCH_QUICK") == "1"


def prices(n: int, seed: int = 7) -> np.ndarray:
    """A random walk that stays positive, like a price series."""
    rng = np.random.default_rng(seed)
    return 100.0 + np.cumsum(rng.normal(0.0, 0.5, n))


def bars(n: int, seed: int = 11) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """High, low and close of n bars around a random walk."""
    rng = np.random.default_rng(seed)
    close = 100.0 + np.cumsum(rng.normal(0.0, 0.5, n))
    high = close + np.abs(rng.normal(0.0, 0.4, n))
    low = close - np.abs(rng.normal(0.0, 0.4, n))
    return high, low, close


def empty(n: int) -> np.ndarray:
    return np.empty(n, dtype=np.float64)


# --- timing ----------------------------------------------------------------

class Call:
    """One call written as its users write it, e.g. Call("sma(p, x, out)",
    sma=q.indicator_sma, p=10, x=x, out=out).

    The expression is compiled into a loop with the names as locals, so a
    sample times the call itself: no lambda or partial around it, whose own
    cost (tens of ns) would blur the comparison of small calls.
    """

    def __init__(self, expr: str, **names: object) -> None:
        params = ", ".join(f"{k}={k}" for k in names)
        source = (f"def _loop(_count, {params}):\n"
                  f"    for _ in _repeat(None, _count):\n"
                  f"        {expr}\n"
                  f"def _once({params}):\n"
                  f"    return {expr}\n")
        scope: dict[str, object] = dict(names, _repeat=itertools.repeat)
        exec(source, scope)  # noqa: S102 - the benchmark's own expressions
        self.expr = expr
        self.loop: Callable[[int], None] = scope["_loop"]  # type: ignore[assignment]
        self.once: Callable[[], object] = scope["_once"]  # type: ignore[assignment]

    def __call__(self) -> object:
        return self.once()


def as_call(fn: Call | Callable[[], object]) -> Call:
    return fn if isinstance(fn, Call) else Call("fn()", fn=fn)


# One sample times `inner` back-to-back calls, so that the clock's own cost
# (tens of ns) stays below 1 % of the sample.
SAMPLE_NS = 200_000 if not QUICK else 50_000
BUDGET_NS = 400_000_000 if not QUICK else 40_000_000
MIN_ROUNDS = 9 if not QUICK else 3
MAX_ROUNDS = 400 if not QUICK else 20


def _one_call_ns(call: Call) -> float:
    """Rough cost of one call, measured over at least a millisecond."""
    count = 1
    while True:
        start = time.perf_counter_ns()
        call.loop(count)
        elapsed = time.perf_counter_ns() - start
        if elapsed >= 1_000_000 and count >= 3:
            return elapsed / count
        count *= 2


# Untimed calls before each sample, for at least this long. Measured here: at
# n = 1 000 000 the calls that follow other work (a pandas call, np.exp over a
# large array, even a 10 ms pause) run up to twice as slow and take about
# 10 ms to come back to speed, as the core's clock and the caches settle.
# Without this, whichever library is sampled after a heavy one is timed slow.
WARM_NS = 20_000_000


def _sample(call: Call, inner: int) -> float:
    start = time.perf_counter_ns()
    while time.perf_counter_ns() - start < WARM_NS:
        call.loop(inner)
    start = time.perf_counter_ns()
    call.loop(inner)
    return (time.perf_counter_ns() - start) / inner


def compare(fns: Sequence[Call | Callable[[], object]],
            budget_ns: int = BUDGET_NS) -> list[float]:
    """Median ns per call of each function.

    The functions are sampled in turns (one sample of each per round), so a
    burst of load from the other users of this machine hits all of them alike
    and the ratios between them survive it.
    """
    calls = [as_call(fn) for fn in fns]
    for call in calls:  # first-call set-up, lazy imports
        call.loop(3)
    rough = [_one_call_ns(call) for call in calls]
    inners = [max(1, math.ceil(SAMPLE_NS / t)) for t in rough]
    round_ns = sum(t * k + max(t * k, WARM_NS) for t, k in zip(rough, inners))
    rounds = int(min(MAX_ROUNDS, max(MIN_ROUNDS, budget_ns // max(round_ns, 1))))
    samples: list[list[float]] = [[] for _ in calls]
    for _ in range(rounds):
        for i, call in enumerate(calls):
            samples[i].append(_sample(call, inners[i]))
    return [statistics.median(s) for s in samples]


# --- formatting ------------------------------------------------------------

def fmt_time(ns: float) -> str:
    if ns < 1e3:
        return f"{ns:.0f} ns"
    if ns < 1e6:
        return f"{ns / 1e3:.3g} µs"
    if ns < 1e9:
        return f"{ns / 1e6:.3g} ms"
    return f"{ns / 1e9:.3g} s"


def fmt_per_element(ns: float) -> str:
    return f"{ns:.0f}" if ns >= 100 else f"{ns:.1f}" if ns >= 10 else f"{ns:.2f}"


def fmt_n(n: int) -> str:
    return f"{n:,}".replace(",", " ")


def verdict(ok: bool) -> str:
    return "PASS" if ok else "MISS"


@dataclass
class Target:
    name: str
    measured: str
    goal: str
    ok: bool | None  # None: could not be measured here

    def status(self) -> str:
        return "n/a" if self.ok is None else verdict(self.ok)


def markdown_table(header: Sequence[str], rows: Sequence[Sequence[str]],
                   align: str | None = None) -> str:
    align = align or "l" + "r" * (len(header) - 1)
    marks = {"l": "---", "r": "---:", "c": ":---:"}
    lines = ["| " + " | ".join(header) + " |",
             "| " + " | ".join(marks[a] for a in align) + " |"]
    lines += ["| " + " | ".join(row) + " |" for row in rows]
    return "\n".join(lines)


def targets_table(targets: Sequence[Target]) -> str:
    return markdown_table(["target", "measured", "goal", "status"],
                          [[t.name, t.measured, t.goal, t.status()] for t in targets],
                          align="lrrc")


def write_fragment(path: str | None, text: str) -> None:
    print(text, flush=True)
    if path:
        with open(path, "w", encoding="utf-8") as f:
            f.write(text + "\n")
