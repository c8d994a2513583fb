"""quorvane on its own: the floor, small calls, threads, adversarial input.

Usage: python targets.py --floor LIBFLOOR.so [--fragment FRAGMENT.md]

Run it on the free-threaded interpreter with PYTHON_GIL=0 (bench/run.sh does):
the module declares that it uses the global lock, so importing it would turn
the lock back on for the whole process and the threads section would measure
one thread at a time.
"""

from __future__ import annotations

import argparse
import ctypes
import statistics
import sys
import threading
import time
from typing import Callable

import numpy as np

import quorvane as q
from common import (ATR_PERIOD, BIG, EMA_PERIOD, MACD_PERIODS, QUICK, SMA_PERIOD, Call,
                    Target, bars, compare, empty, fmt_n, fmt_time, markdown_table, prices,
                    targets_table, write_fragment)

SIZE_T = ctypes.c_size_t
PTR = ctypes.c_void_p


def load_floor(path: str) -> ctypes.CDLL:
    lib = ctypes.CDLL(path)
    lib.floor_sma.argtypes = [PTR, PTR, SIZE_T, SIZE_T]
    lib.floor_ema.argtypes = [PTR, PTR, SIZE_T, SIZE_T]
    lib.floor_macd.argtypes = [PTR, PTR, PTR, PTR, SIZE_T, SIZE_T, SIZE_T, SIZE_T]
    lib.floor_atr.argtypes = [PTR, PTR, PTR, PTR, SIZE_T, SIZE_T]
    for fn in (lib.floor_sma, lib.floor_ema, lib.floor_macd, lib.floor_atr):
        fn.restype = None
    return lib


def ptr(a: np.ndarray) -> int:
    return a.ctypes.data


# --- kernels against their floor --------------------------------------------

def floor_section(lib: ctypes.CDLL) -> tuple[str, list[Target]]:
    n = BIG
    x, out = prices(n), empty(n)
    outs = empty(n), empty(n), empty(n)
    high, low, close = bars(n)
    f, s, g = MACD_PERIODS
    xp, op, (mp, sp, hp) = ptr(x), ptr(out), map(ptr, outs)
    pairs: list[tuple[str, Call, Call]] = [
        ("SMA", Call("sma(p, x, out)", sma=q.indicator_sma, p=SMA_PERIOD, x=x, out=out),
         Call("floor(xp, op, n, p)", floor=lib.floor_sma, xp=xp, op=op, n=n, p=SMA_PERIOD)),
        ("EMA", Call("ema(p, x, out)", ema=q.indicator_ema, p=EMA_PERIOD, x=x, out=out),
         Call("floor(xp, op, n, p)", floor=lib.floor_ema, xp=xp, op=op, n=n, p=EMA_PERIOD)),
        ("MACD", Call("macd(f, s, g, x, m, sg, h)", macd=q.indicator_macd, f=f, s=s, g=g, x=x,
                      m=outs[0], sg=outs[1], h=outs[2]),
         Call("floor(xp, mp, sp, hp, n, f, s, g)", floor=lib.floor_macd, xp=xp, mp=mp, sp=sp,
              hp=hp, n=n, f=f, s=s, g=g)),
        ("ATR", Call("atr(p, h, lo, c, out)", atr=q.indicator_atr, p=ATR_PERIOD, h=high, lo=low,
                     c=close, out=out),
         Call("floor(hp, lp, cp, op, n, p)", floor=lib.floor_atr, hp=ptr(high), lp=ptr(low),
              cp=ptr(close), op=op, n=n, p=ATR_PERIOD)),
    ]
    rows, targets = [], []
    for name, kernel, floor in pairs:
        k_ns, f_ns = compare([kernel, floor])
        ratio = k_ns / f_ns
        rows.append([name, f"{k_ns / n:.3f}", f"{f_ns / n:.3f}", f"{ratio:.2f}×"])
        targets.append(Target(f"{name} kernel vs its floor (n = {fmt_n(n)})",
                              f"{ratio:.2f}×", "≤ 1.25×", ratio <= 1.25))
    table = markdown_table(["indicator", "quorvane ns/element", "floor ns/element", "ratio"],
                           rows)
    return f"### Kernels against the floor (n = {fmt_n(n)})\n\n" + table, targets


# --- a call on 16 values against np.add -----------------------------------------

def small_call_section() -> tuple[str, list[Target]]:
    n = 16
    a, b, c = prices(n), prices(n, seed=8), empty(n)
    c2, c3 = empty(n), empty(n)
    high, low, close = bars(n)
    f, s, g = MACD_PERIODS
    calls = [
        ("SMA", Call("sma(p, a, c)", sma=q.indicator_sma, p=SMA_PERIOD, a=a, c=c)),
        ("EMA", Call("ema(p, a, c)", ema=q.indicator_ema, p=EMA_PERIOD, a=a, c=c)),
        ("MACD", Call("macd(f, s, g, a, c, c2, c3)", macd=q.indicator_macd, f=f, s=s, g=g, a=a,
                      c=c, c2=c2, c3=c3)),
        ("ATR", Call("atr(p, h, lo, cl, c)", atr=q.indicator_atr, p=ATR_PERIOD, h=high, lo=low,
                     cl=close, c=c)),
    ]
    np_add = Call("add(a, b, out=c)", add=np.add, a=a, b=b, c=c)
    times = compare([np_add] + [call for _, call in calls])
    base = times[0]
    rows = [["np.add(a, b, out=c)", fmt_time(base), "1"]]
    targets = []
    for (name, _), t in zip(calls, times[1:]):
        ratio = t / base
        rows.append([name, fmt_time(t), f"{ratio:.2f}×"])
        targets.append(Target(f"{name} call at n = 16 vs np.add(a, b, out=c)",
                              f"{ratio:.2f}×", "≤ 0.5×", ratio <= 0.5))
    table = markdown_table(["call (n = 16)", "time per call", "÷ np.add"], rows)
    return "### Small calls (n = 16)\n\n" + table, targets


# --- NaN-dense input ----------------------------------------------------------

ADV_PERIOD = 1000
ADV_MACD = (ADV_PERIOD // 2, ADV_PERIOD, 9)


def adversarial_section() -> tuple[str, list[Target]]:
    n = BIG
    clean = prices(n)
    every_other = clean.copy()
    every_other[1::2] = np.nan
    # One NaN in every window of the period, late enough that a search which
    # restarts one position further rescans most of the window each time.
    sparse = clean.copy()
    sparse[ADV_PERIOD - 2::ADV_PERIOD - 1] = np.nan
    out, outs = empty(n), (empty(n), empty(n), empty(n))
    f, s, g = ADV_MACD
    inputs = [("every other value NaN", every_other, True),
              (f"NaN every {ADV_PERIOD - 1}th value", sparse, False)]
    rows, targets = [], []
    for name, run in [("EMA", lambda d: q.indicator_ema(ADV_PERIOD, d, out)),
                      ("MACD", lambda d: q.indicator_macd(f, s, g, d, *outs))]:
        fns = [lambda: run(clean)] + [(lambda d=d: run(d)) for _, d, _ in inputs]
        times = compare(fns, budget_ns=200_000_000 if not QUICK else 20_000_000)
        for (label, _, briefed), t in zip(inputs, times[1:]):
            ratio = t / times[0]
            rows.append([name, label, fmt_time(times[0]), fmt_time(t), f"{ratio:.2f}×"])
            extra = "" if briefed else " (extra case)"
            targets.append(Target(f"{name} {label} vs clean input{extra}", f"{ratio:.2f}×",
                                  "≤ 3×", ratio <= 3.0))
    table = markdown_table(["indicator", "input", "clean", "adversarial", "ratio"], rows)
    head = (f"### Adversarial input (n = {fmt_n(n)}; EMA period {ADV_PERIOD}, "
            "MACD periods {}/{}/{})\n\n".format(*ADV_MACD))
    return head + table, targets


# --- threads -------------------------------------------------------------------

def _run_threads(calls: list[Callable[[], object]], repeat: int) -> float:
    """Wall time for every call in `calls` to run `repeat` times, one thread each."""
    barrier = threading.Barrier(len(calls) + 1)

    def work(call: Callable[[], object]) -> None:
        barrier.wait()
        for _ in range(repeat):
            call()
    threads = [threading.Thread(target=work, args=(c,)) for c in calls]
    for t in threads:
        t.start()
    barrier.wait()
    start = time.perf_counter_ns()
    for t in threads:
        t.join()
    return time.perf_counter_ns() - start


def threads_section(lib: ctypes.CDLL) -> tuple[str, list[Target]]:
    gil = getattr(sys, "_is_gil_enabled", lambda: True)()
    names = ["SMA", "EMA", "MACD"]
    if gil:
        note = ("### Threads\n\nNot measured: this interpreter runs with the global lock "
                "(a free-threaded CPython with PYTHON_GIL=0 is needed).")
        return note, [Target(f"{name}: 2 threads vs 1", "not run", "≥ 1.8×", None)
                      for name in names]
    n = BIG
    x = prices(n)  # shared input: each thread only reads it
    f, s, g = MACD_PERIODS

    def module_call(name: str) -> Callable[[], object]:
        if name == "SMA":
            out = empty(n)
            return lambda: q.indicator_sma(SMA_PERIOD, x, out)
        if name == "EMA":
            out = empty(n)
            return lambda: q.indicator_ema(EMA_PERIOD, x, out)
        outs = empty(n), empty(n), empty(n)
        return lambda: q.indicator_macd(f, s, g, x, *outs)

    # The same loops without the module: the floor, called through ctypes,
    # which leaves the interpreter around the call as the module does. What
    # two threads gain on it is what the machine allows at that moment; the
    # machine is shared, and other users' jobs take cores away from threads.
    def floor_call(name: str) -> Callable[[], object]:
        if name == "SMA":
            out = empty(n)
            return lambda: lib.floor_sma(ptr(x), ptr(out), n, SMA_PERIOD)
        if name == "EMA":
            out = empty(n)
            return lambda: lib.floor_ema(ptr(x), ptr(out), n, EMA_PERIOD)
        outs = empty(n), empty(n), empty(n)
        return lambda: lib.floor_macd(ptr(x), *map(ptr, outs), n, f, s, g)

    def gain(make: Callable[[str], Callable[[], object]], name: str,
             repeat: int, rounds: int) -> tuple[float, float, float]:
        solo, pair = [make(name)], [make(name), make(name)]  # each thread its own outputs
        _run_threads(solo, 2)  # warm-up: first touch of the outputs' pages
        _run_threads(pair, 2)
        one, two = [], []
        for _ in range(rounds):
            one.append(_run_threads(solo, repeat))
            two.append(_run_threads(pair, repeat))
        t1, t2 = statistics.median(one), statistics.median(two)
        return t1 / repeat, t2 / repeat, 2 * t1 / t2

    repeat = 20 if not QUICK else 5
    rounds = 9 if not QUICK else 3
    rows, targets = [], []
    for name in names:
        t1, t2, scaling = gain(module_call, name, repeat, rounds)
        _, _, machine = gain(floor_call, name, repeat, rounds)
        rows.append([name, fmt_time(t1), fmt_time(t2), f"{scaling:.2f}×", f"{machine:.2f}×"])
        targets.append(Target(f"{name}: 2 threads vs 1 (n = {fmt_n(n)})", f"{scaling:.2f}×",
                              "≥ 1.8×", scaling >= 1.8))
    table = markdown_table(["indicator", "1 thread, per call", "2 threads, one call each",
                            "throughput gain", "floor loop, same test"], rows)
    head = f"### Threads (free-threaded, n = {fmt_n(n)}, own outputs per thread)\n\n"
    return head + table, targets


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--floor", required=True)
    parser.add_argument("--fragment")
    args = parser.parse_args()
    floor = load_floor(args.floor)
    parts, targets = [], []
    for section in (lambda: floor_section(floor), small_call_section, adversarial_section,
                    lambda: threads_section(floor)):
        text, t = section()
        print(text + "\n", flush=True)
        parts.append(text)
        targets += t
    impl = "free-threaded" if not getattr(sys, "_is_gil_enabled", lambda: True)() else "GIL"
    text = "\n\n".join(parts)
    text += f"\n\n#### Targets (Python {sys.version.split()[0]}, {impl})\n\n"
    text += targets_table(targets)
    write_fragment(args.fragment, text)


if __name__ == "__main__":
    main()
