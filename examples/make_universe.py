"""Writes a reproducible universe of daily (or minute) bars as Parquet.

One directory per symbol, in the hive layout that Dask, pyarrow and pandas
read as a dataset partitioned by symbol:

    universe-data/smoke/symbol=GOOG/bars.parquet
    universe-data/smoke/symbol=S0001/bars.parquet
    ...

Each file holds one symbol's bars in date order, with the columns
date (timestamp), open, high, low, close, volume (float64).

Two symbols are real bars shipped by the ``backtesting`` package: GOOG
(daily, 2004-08-19 to 2013-03-01) and EURUSD (hourly, 2017-2018). When the
package is not installed they are left out, with a note. The others are a
seeded random walk, the same for the same seed and symbol number whatever the
size: high >= max(open, close), low <= min(open, close); about one symbol in
five has a few missing days (a row whose prices and volume are NaN), and a few
are recent listings, shorter than the usual indicator periods.

    python examples/make_universe.py                 # smoke: 50 symbols x 500 bars
    python examples/make_universe.py --size scale    # 2,000 symbols x 2,520 daily bars
    python examples/make_universe.py --size minute   # 2,000 symbols x 98,280 minute bars
    python examples/make_universe.py --size scale --out /data/universe --force

The minute size (196 million rows, about 10 GB) is there for machines that
have room for it. The universe is written to a temporary directory beside the
destination and moved into place when complete.
"""

from __future__ import annotations

import argparse
import json
import os
import shutil
import sys
import tempfile
from dataclasses import dataclass
from pathlib import Path

import numpy as np

REPO = Path(__file__).resolve().parent.parent
DATA_ROOT = REPO / "universe-data"
COLUMNS = ("date", "open", "high", "low", "close", "volume")
FILE_NAME = "bars.parquet"
LAST_DAY = "2025-12-31"


@dataclass(frozen=True)
class Size:
    symbols: int  # including the real samples
    bars: int
    minute: bool = False


SIZES = {
    "smoke": Size(symbols=50, bars=500),
    "scale": Size(symbols=2_000, bars=2_520),  # ten years of trading days
    "minute": Size(symbols=2_000, bars=252 * 390, minute=True),  # a year of 390-minute sessions
}


def default_path(size: str) -> Path:
    return DATA_ROOT / size


def real_samples() -> dict:
    """The bars shipped by the backtesting package, as DataFrames in our columns."""
    try:
        from backtesting import test as samples
    except ImportError:
        print("make_universe: note: the 'backtesting' package is not installed; "
              "GOOG and EURUSD are left out", file=sys.stderr)
        return {}
    frames = {}
    for name in ("GOOG", "EURUSD"):
        source = getattr(samples, name)
        frame = source.rename(columns=str.lower)[list(COLUMNS[1:])].astype(np.float64)
        frame.insert(0, "date", source.index.to_numpy(dtype="datetime64[ns]"))
        frames[name] = frame.reset_index(drop=True)
    return frames


def random_walk(seed: int, number: int, size: Size):
    """One symbol's bars: the same for the same (seed, number, size.bars)."""
    import pandas as pd

    rng = np.random.default_rng([seed, number])
    n = size.bars
    kind = rng.random()
    if kind < 0.03:  # a recent listing, shorter than most periods
        n = int(rng.integers(1, 40))
    elif kind < 0.08:  # listed during the period
        n = int(rng.integers(40, size.bars))

    if size.minute:
        days = pd.bdate_range(end=LAST_DAY, periods=-(-n // 390))
        minutes = pd.timedelta_range("09:30:00", periods=390, freq="min")
        dates = (days.values[:, None] + minutes.values[None, :]).ravel()[-n:]
        step = 0.0008
    else:
        dates = pd.bdate_range(end=LAST_DAY, periods=n).values
        step = 0.018

    start = float(np.exp(rng.uniform(np.log(5.0), np.log(500.0))))
    returns = rng.normal(0.0, step * rng.uniform(0.5, 1.5), n)
    close = start * np.exp(np.cumsum(returns))
    open_ = np.empty(n)
    open_[0] = start
    open_[1:] = close[:-1] * np.exp(rng.normal(0.0, step / 4, n - 1))
    body_high = np.maximum(open_, close)
    body_low = np.minimum(open_, close)
    high = body_high * (1.0 + np.abs(rng.normal(0.0, step / 2, n)))
    low = body_low * (1.0 - np.abs(rng.normal(0.0, step / 2, n)))
    volume = np.round(rng.lognormal(np.log(1e6 if not size.minute else 5e3), 0.6, n))

    frame = pd.DataFrame({"date": dates.astype("datetime64[ns]"), "open": open_, "high": high,
                          "low": low, "close": close, "volume": volume})
    if rng.random() < 0.2 and n > 60:  # a few missing days: the row is there, its values NaN
        missing = rng.choice(np.arange(30, n), size=int(rng.integers(1, 4)), replace=False)
        frame.loc[missing, list(COLUMNS[1:])] = np.nan
    return frame


def write_symbol(root: Path, symbol: str, frame) -> int:
    import pyarrow as pa
    import pyarrow.parquet as pq

    folder = root / f"symbol={symbol}"
    folder.mkdir(parents=True)
    table = pa.Table.from_pandas(frame[list(COLUMNS)], preserve_index=False)
    pq.write_table(table, folder / FILE_NAME)
    return len(frame)


def build(out: Path, size: str = "smoke", seed: int = 2026, symbols: int | None = None,
          bars: int | None = None, force: bool = False, quiet: bool = False,
          samples: bool = True) -> Path:
    """Writes the universe to `out` (a directory, replaced only with force);
    with samples=False, random walks only."""
    shape = SIZES[size]
    shape = Size(symbols=symbols or shape.symbols, bars=bars or shape.bars, minute=shape.minute)
    out = Path(out)
    if out.exists() and not force:
        raise FileExistsError(f"{out} exists (use --force to replace it)")
    out.parent.mkdir(parents=True, exist_ok=True)

    samples = real_samples() if samples else {}
    names = list(samples)[: shape.symbols]
    numbers = {f"S{i:04d}": i for i in range(1, shape.symbols - len(names) + 1)}
    names += list(numbers)
    temp = Path(tempfile.mkdtemp(prefix=f".{out.name}.tmp-", dir=out.parent))
    try:
        rows = 0
        for i, name in enumerate(names):
            frame = samples[name] if name in samples else random_walk(seed, numbers[name], shape)
            rows += write_symbol(temp, name, frame)
            if not quiet and (i + 1) % 250 == 0:
                print(f"make_universe: {i + 1}/{len(names)} symbols", file=sys.stderr, flush=True)
        description = {"size": size, "seed": seed, "symbols": len(names), "bars": shape.bars,
                       "minute": shape.minute, "rows": rows, "columns": list(COLUMNS)}
        (temp / "_universe.json").write_text(json.dumps(description, indent=1) + "\n")
        if out.exists():
            shutil.rmtree(out)
        os.replace(temp, out)
    except BaseException:
        shutil.rmtree(temp, ignore_errors=True)
        raise
    if not quiet:
        print(f"make_universe: {len(names)} symbols, {rows:,} rows -> {out}", file=sys.stderr)
    return out


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--size", choices=sorted(SIZES), default="smoke",
                        help="smoke: 50 x 500 bars; scale: 2,000 x 2,520 daily bars; "
                             "minute: 2,000 x 98,280 minute bars (default: smoke)")
    parser.add_argument("--out", type=Path, help="destination directory "
                        "(default: universe-data/SIZE in the repository)")
    parser.add_argument("--symbols", type=int, help="number of symbols instead of the size's")
    parser.add_argument("--bars", type=int, help="bars per symbol instead of the size's")
    parser.add_argument("--seed", type=int, default=2026)
    parser.add_argument("--force", action="store_true", help="replace an existing universe")
    args = parser.parse_args(argv)
    try:
        build(args.out or default_path(args.size), args.size, args.seed, args.symbols,
              args.bars, args.force)
    except (FileExistsError, ValueError) as exc:
        print(f"make_universe: error: {exc}", file=sys.stderr)
        return 2
    return 0


if __name__ == "__main__":
    sys.exit(main())
