"""Peer table: quorvane against the libraries users would pick instead.

Usage: python peers.py [FRAGMENT.md]

Every library is called through its public API the way its users call it:
quorvane with preallocated outputs, the others returning new arrays or series.
Inputs (NumPy arrays, pandas and polars series) are built before timing.
"""

from __future__ import annotations

import sys
from typing import Callable

import numpy as np

import quorvane as q
from common import (ATR_PERIOD, BIG, EMA_PERIOD, MACD_PERIODS, SIZES, SMA_PERIOD, Call,
                    Target, bars, compare, empty, fmt_n, fmt_per_element, fmt_time,
                    markdown_table, prices, targets_table, write_fragment)

MISSING: dict[str, str] = {}


def _optional(name: str):
    try:
        return __import__(name)
    except Exception as exc:  # a peer that did not install is left out, with a note
        MISSING[name] = f"{type(exc).__name__}: {exc}"
        return None


talib = _optional("talib")
pd = _optional("pandas")
bn = _optional("bottleneck")
pl = _optional("polars")

Case = tuple[Call, Callable[[object], float]]


def _last(result) -> float:
    """The last value of a result, whatever container it came in."""
    if isinstance(result, tuple):
        return _last(result[0])
    if pd is not None and isinstance(result, pd.Series):
        return float(result.iloc[-1])
    return float(result[-1])


def numpy_sma(x: np.ndarray, p: int) -> np.ndarray:
    c = np.cumsum(np.concatenate(([0.0], x)))
    return (c[p:] - c[:-p]) / p


def sma_cases(n: int) -> dict[str, Case]:
    p, x, out = SMA_PERIOD, prices(n), empty(n)
    cases: dict[str, Case] = {
        "quorvane": (Call("sma(p, x, out)", sma=q.indicator_sma, p=p, x=x, out=out),
                     lambda _: out[-1])}
    if talib:
        cases["TA-Lib"] = (Call("SMA(x, timeperiod=p)", SMA=talib.SMA, x=x, p=p), _last)
    if pd:
        cases["pandas"] = (Call("s.rolling(p).mean()", s=pd.Series(x), p=p), _last)
    if bn:
        cases["bottleneck"] = (Call("move_mean(x, window=p)", move_mean=bn.move_mean, x=x, p=p),
                               _last)
    if pl:
        cases["polars"] = (Call("s.rolling_mean(p)", s=pl.Series(x), p=p), _last)
    cases["NumPy"] = (Call("numpy_sma(x, p)", numpy_sma=numpy_sma, x=x, p=p), _last)
    return cases


def ema_cases(n: int) -> dict[str, Case]:
    p, x, out = EMA_PERIOD, prices(n), empty(n)
    cases: dict[str, Case] = {
        "quorvane": (Call("ema(p, x, out)", ema=q.indicator_ema, p=p, x=x, out=out),
                     lambda _: out[-1])}
    if talib:
        cases["TA-Lib"] = (Call("EMA(x, timeperiod=p)", EMA=talib.EMA, x=x, p=p), _last)
    if pd:
        cases["pandas"] = (Call("s.ewm(span=p, adjust=False).mean()", s=pd.Series(x), p=p),
                           _last)
    if pl:
        cases["polars"] = (Call("s.ewm_mean(span=p, adjust=False)", s=pl.Series(x), p=p),
                           _last)
    return cases


def macd_cases(n: int) -> dict[str, Case]:
    f, sl, g = MACD_PERIODS
    x = prices(n)
    m_out, s_out, h_out = empty(n), empty(n), empty(n)
    cases: dict[str, Case] = {
        "quorvane": (Call("macd(f, sl, g, x, m, s, h)", macd=q.indicator_macd, f=f, sl=sl, g=g,
                          x=x, m=m_out, s=s_out, h=h_out),
                     lambda _: m_out[-1])}
    if talib:
        cases["TA-Lib"] = (Call("MACD(x, fastperiod=f, slowperiod=sl, signalperiod=g)",
                                MACD=talib.MACD, x=x, f=f, sl=sl, g=g), _last)
    if pd:
        series = pd.Series(x)

        def pandas_macd():
            line = (series.ewm(span=f, adjust=False).mean()
                    - series.ewm(span=sl, adjust=False).mean())
            signal = line.ewm(span=g, adjust=False).mean()
            return line, signal, line - signal
        cases["pandas"] = (Call("pandas_macd()", pandas_macd=pandas_macd), _last)
    if pl:
        pseries = pl.Series(x)

        def polars_macd():
            line = pseries.ewm_mean(span=f, adjust=False) - pseries.ewm_mean(span=sl, adjust=False)
            signal = line.ewm_mean(span=g, adjust=False)
            return line, signal, line - signal
        cases["polars"] = (Call("polars_macd()", polars_macd=polars_macd), _last)
    return cases


def atr_cases(n: int) -> dict[str, Case]:
    p = ATR_PERIOD
    high, low, close = bars(n)
    out = empty(n)
    cases: dict[str, Case] = {
        "quorvane": (Call("atr(p, h, lo, c, out)", atr=q.indicator_atr, p=p, h=high, lo=low,
                          c=close, out=out),
                     lambda _: out[-1])}
    if talib:
        cases["TA-Lib"] = (Call("ATR(h, lo, c, timeperiod=p)", ATR=talib.ATR, h=high, lo=low,
                                c=close, p=p), _last)
    if pd:
        h, lo, c = pd.Series(high), pd.Series(low), pd.Series(close)

        def pandas_atr():  # Wilder's smoothing of the true range
            prev = c.shift()
            tr = pd.concat([h - lo, (h - prev).abs(), (lo - prev).abs()], axis=1).max(axis=1)
            return tr.ewm(alpha=1.0 / p, adjust=False).mean()
        cases["pandas"] = (Call("pandas_atr()", pandas_atr=pandas_atr), _last)
    if pl:
        frame = pl.DataFrame({"high": high, "low": low, "close": close})

        def polars_atr():
            prev = pl.col("close").shift()
            tr = pl.max_horizontal(pl.col("high") - pl.col("low"),
                                   (pl.col("high") - prev).abs(),
                                   (pl.col("low") - prev).abs())
            return frame.select(tr.ewm_mean(alpha=1.0 / p, adjust=False)).to_series()
        cases["polars"] = (Call("polars_atr()", polars_atr=polars_atr), _last)
    return cases


INDICATORS = [
    ("SMA", f"period {SMA_PERIOD}", sma_cases),
    ("EMA", f"period {EMA_PERIOD}", ema_cases),
    ("MACD", "periods {}/{}/{}".format(*MACD_PERIODS), macd_cases),
    ("ATR", f"period {ATR_PERIOD}", atr_cases),
]


def check_agreement(name: str, cases: dict[str, Case]) -> list[str]:
    """Make sure every peer computes the same indicator: the last values agree
    once the different warm-up conventions have faded out."""
    notes = []
    ref_call, ref_last = cases["quorvane"]
    ref = ref_last(ref_call.once())
    for lib, (call, last) in cases.items():
        got = last(call.once())
        if not np.isclose(got, ref, rtol=1e-6, atol=1e-9):
            notes.append(f"{name}: {lib} ends at {got!r}, quorvane at {ref!r}")
    return notes


def main() -> None:
    fragment = sys.argv[1] if len(sys.argv) > 1 else None
    parts = []
    warnings = []
    targets = []
    for name, params, make in INDICATORS:
        warnings += check_agreement(name, make(100_000))
        rows = []
        for n in SIZES:
            cases = make(n)
            libs = list(cases)
            times = compare([cases[lib][0] for lib in libs])
            base = times[0]
            for lib, t in zip(libs, times):
                rows.append([fmt_n(n), lib, fmt_time(t), fmt_per_element(t / n),
                             "1" if lib == "quorvane" else f"{t / base:.1f}×"])
            if n == BIG:
                peers = [(t, lib) for lib, t in zip(libs, times) if lib != "quorvane"]
                if peers:
                    best, best_lib = min(peers)
                    speedup = best / base
                    targets.append(Target(
                        f"{name} n = {fmt_n(n)}: quorvane vs fastest peer ({best_lib})",
                        f"{speedup:.2f}× faster" if speedup >= 1 else f"{1 / speedup:.2f}× slower",
                        "≥ 1.5× faster", speedup >= 1.5))
        parts.append(f"### {name} ({params})\n\n" + markdown_table(
            ["n", "library", "time per call", "ns per element", "time ÷ quorvane"], rows,
            align="llrrr"))
        print(parts[-1] + "\n", flush=True)
    text = "\n\n".join(parts)
    text += "\n\n#### Targets (peer comparison)\n\n" + targets_table(targets)
    if MISSING:
        text += "\n\nLeft out (did not install or import here): " + "; ".join(
            f"{k} ({v})" for k, v in MISSING.items())
    if warnings:
        text += "\n\nWARNING, results disagree: " + "; ".join(warnings)
    write_fragment(fragment, text)


if __name__ == "__main__":
    main()
