"""Indicators as pandas columns: DataFrame columns to arrays and back.

quorvane works on NumPy arrays, never on pandas objects, and it never copies:
each input must be a one-dimensional, contiguous float64 array, and each
output is an array you allocate and it fills in place. This example takes
the price columns of a DataFrame out as arrays, computes SMA, EMA, MACD and
ATR, and puts the results back as columns on the same index. The NaN
warm-up rows stay in the frame: drop them yourself if you want to.

    python examples/pandas_dataframe.py
"""

import numpy as np
import pandas as pd

import quorvane


def make_bars(count: int = 300, seed: int = 7) -> pd.DataFrame:
    """A made-up daily OHLC history (a random walk), so the example runs anywhere.
    With real data, start from pd.read_csv(...) instead."""
    rng = np.random.default_rng(seed)
    close = 100.0 * np.exp(np.cumsum(rng.normal(0.0, 0.015, count)))
    open_ = np.concatenate(([close[0]], close[:-1])) * (1.0 + rng.normal(0.0, 0.003, count))
    spread = np.abs(rng.normal(0.0, 0.01, count)) * close
    high = np.maximum(open_, close) + spread
    low = np.minimum(open_, close) - spread
    index = pd.bdate_range("2024-01-01", periods=count, name="date")
    return pd.DataFrame({"open": open_, "high": high, "low": low, "close": close}, index=index)


def column(frame: pd.DataFrame, name: str) -> np.ndarray:
    """A column as the array quorvane wants: one-dimensional contiguous float64.

    For a float64 column to_numpy() usually returns a view of the frame's own
    memory (read-only under pandas copy-on-write, which is fine for an input);
    ascontiguousarray copies only when the column is not laid out that way.
    na_value turns pandas' missing values (also pd.NA of nullable columns) into NaN.
    """
    return np.ascontiguousarray(frame[name].to_numpy(dtype=np.float64, na_value=np.nan))


def with_indicators(frame: pd.DataFrame) -> pd.DataFrame:
    high, low, close = column(frame, "high"), column(frame, "low"), column(frame, "close")
    n = len(frame)
    out = {name: np.empty(n) for name in ("sma_20", "ema_20", "macd", "macd_signal", "macd_hist", "atr_14")}

    quorvane.indicator_sma(20, close, out["sma_20"])
    quorvane.indicator_ema(20, close, out["ema_20"])
    quorvane.indicator_macd(12, 26, 9, close, out["macd"], out["macd_signal"], out["macd_hist"])
    quorvane.indicator_atr(14, high, low, close, out["atr_14"])

    # Arrays of the frame's length become columns on its index, row for row.
    return frame.assign(**out)


def main() -> None:
    pd.set_option("display.width", 160)
    pd.set_option("display.max_columns", None)
    pd.set_option("display.float_format", "{:.3f}".format)
    bars = make_bars()
    table = with_indicators(bars)

    start, stop = 12, 27
    print(f"Rows {start} to {stop - 1} (counted from 0), where the indicators get their first")
    print("values; each one is NaN until it has enough bars (the signal line and the")
    print("histogram start later, see below).")
    shown = ["close", "sma_20", "ema_20", "macd", "macd_signal", "macd_hist", "atr_14"]
    print(table[shown].iloc[start:stop], end="\n\n")

    print("First row with a value, per indicator:")
    for name in ("sma_20", "ema_20", "macd", "macd_signal", "macd_hist", "atr_14"):
        first = table[name].first_valid_index()
        print(f"  {name:12} {first.date()}  (row {table.index.get_loc(first)})")
    print()

    print("Last rows:")
    print(table.tail(5), end="\n\n")

    # Missing prices: set one close to NaN (pandas writes NaN for a missing cell too).
    gappy = bars.copy()
    gappy.iloc[150, gappy.columns.get_loc("close")] = np.nan
    gap_table = with_indicators(gappy)
    print("With the close of row 150 missing, rows holding NaN after row 150:")
    for name in ("sma_20", "ema_20", "macd", "atr_14"):
        print(f"  {name:8} {int(gap_table[name].iloc[150:].isna().sum()):4d} of {len(gap_table) - 150}")
    print("SMA stays NaN from the gap on (its running sum carries the NaN); EMA skips")
    print("the missing value; MACD blanks only that row and carries on; ATR's true range")
    print("falls back on the bar's own high - low when the previous close is missing.")


if __name__ == "__main__":
    main()
