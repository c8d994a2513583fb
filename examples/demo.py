"""quorvane demo: four indicators over a real daily price history.

Computes SMA, EMA, MACD (line, signal, histogram) and ATR over daily OHLC
bars, prints the last rows as a table and writes a PNG chart.

Default data: Alphabet (GOOG) daily bars from 2004-08-19 to 2013-03-01 as
shipped by the ``backtesting`` package (prices as quoted then, before the 2014
share split). Pass a CSV file of your own to use other prices; it needs the
columns open, high, low and close (any letter case), and may have a date column
named date, datetime, time or timestamp; its dates must all be present, oldest
first, one row per date.

    python examples/demo.py                  # GOOG sample
    python examples/demo.py prices.csv       # your own bars
    python examples/demo.py --help
"""

from __future__ import annotations

import argparse
import math
import os
import sys
import tempfile
import time
from dataclasses import dataclass
from pathlib import Path

import numpy as np

import quorvane

REPO = Path(__file__).resolve().parent.parent
DEFAULT_OUTPUT_DIR = REPO / "demo-output"
PRICE_COLUMNS = ("open", "high", "low", "close")
DATE_COLUMNS = ("date", "datetime", "time", "timestamp")


class DemoError(Exception):
    """A problem with the user's input, reported as one line, nothing written."""


def progress(message: str) -> None:
    print(f"demo: {message}", file=sys.stderr, flush=True)


@dataclass
class Bars:
    name: str
    dates: np.ndarray | None  # datetime64 values, or None for plain row numbers
    open: np.ndarray
    high: np.ndarray
    low: np.ndarray
    close: np.ndarray

    def __len__(self) -> int:
        return len(self.close)


def as_float64(values) -> np.ndarray:
    # The module never copies: it wants one-dimensional, contiguous float64.
    return np.ascontiguousarray(values, dtype=np.float64)


def load_sample() -> Bars:
    progress("loading the GOOG daily sample from the backtesting package ...")
    try:
        from backtesting.test import GOOG
    except ImportError as exc:
        raise DemoError(
            "the sample data needs the 'backtesting' package "
            f"(pip install backtesting), or pass a CSV file: {exc}"
        ) from None
    frame = GOOG
    return Bars(
        name="GOOG daily (backtesting sample)",
        dates=frame.index.to_numpy(dtype="datetime64[ns]"),
        open=as_float64(frame["Open"].to_numpy()),
        high=as_float64(frame["High"].to_numpy()),
        low=as_float64(frame["Low"].to_numpy()),
        close=as_float64(frame["Close"].to_numpy()),
    )


def parse_numbers(path: Path, column: str, cells) -> np.ndarray:
    """Parse one CSV column of text; an empty cell is a missing value (NaN)."""
    import pandas as pd

    text = cells.str.strip()
    values = pd.to_numeric(text, errors="coerce")
    bad = values.isna() & (text != "") & (text.str.lower() != "nan")
    if bad.any():
        row = int(np.flatnonzero(bad.to_numpy())[0])
        # Line numbers as an editor shows them: the header is line 1.
        raise DemoError(
            f"{path}: column '{column}', line {row + 2}: cannot read {text.iloc[row]!r} as a number"
        )
    return as_float64(values.to_numpy(dtype=np.float64, na_value=np.nan))


def load_csv(path: Path) -> Bars:
    import pandas as pd

    progress(f"reading {path} ...")
    if not path.exists():
        raise DemoError(f"{path}: no such file")
    if path.is_dir():
        raise DemoError(f"{path}: is a directory, not a CSV file")
    try:
        frame = pd.read_csv(path, dtype=str, keep_default_na=False, skipinitialspace=True)
    except pd.errors.EmptyDataError:
        raise DemoError(f"{path}: the file is empty") from None
    except (pd.errors.ParserError, UnicodeDecodeError) as exc:
        first_line = str(exc).strip().splitlines()[0] if str(exc).strip() else type(exc).__name__
        raise DemoError(f"{path}: not a readable CSV file ({first_line})") from None
    except OSError as exc:
        raise DemoError(f"{path}: {exc.strerror or exc}") from None

    by_name: dict[str, str] = {}
    for column in frame.columns:
        key = str(column).strip().lower()
        if key in by_name:
            raise DemoError(f"{path}: two columns are named '{key}' (column names are case-insensitive)")
        by_name[key] = column
    missing = [name for name in PRICE_COLUMNS if name not in by_name]
    if missing:
        found = ", ".join(str(c) for c in frame.columns) or "none"
        raise DemoError(
            f"{path}: missing column(s) {', '.join(missing)}; "
            f"needs open, high, low, close (any letter case); found: {found}"
        )
    if len(frame) == 0:
        raise DemoError(f"{path}: no rows of prices below the header")

    prices = {name: parse_numbers(path, name, frame[by_name[name]]) for name in PRICE_COLUMNS}

    dates = None
    date_column = next((by_name[name] for name in DATE_COLUMNS if name in by_name), None)
    if date_column is not None:
        cells = frame[date_column].str.strip()
        empty = (cells == "").to_numpy()
        if empty.any():
            row = int(np.flatnonzero(empty)[0])
            raise DemoError(f"{path}: column '{date_column}', line {row + 2}: the date is empty")
        parsed = pd.to_datetime(cells, errors="coerce", format="mixed")
        bad = parsed.isna().to_numpy()
        if bad.any():
            row = int(np.flatnonzero(bad)[0])
            raise DemoError(
                f"{path}: column '{date_column}', line {row + 2}: "
                f"cannot read {cells.iloc[row]!r} as a date"
            )
        dates = parsed.to_numpy(dtype="datetime64[ns]")
        check_order(path, date_column, cells, dates)

    return Bars(name=path.name, dates=dates, **prices)


def check_order(path: Path, column: str, cells, dates: np.ndarray) -> None:
    """The indicators run from the oldest bar to the newest: refuse rows out of order."""
    later = dates[1:] > dates[:-1]
    if later.all():
        return
    row = int(np.flatnonzero(~later)[0]) + 1
    here, before = cells.iloc[row], cells.iloc[row - 1]
    # Line numbers as an editor shows them: the header is line 1.
    if dates[row] == dates[row - 1]:
        problem = f"{here!r} repeats the date of line {row + 1}; the demo needs one row per date"
    elif (dates[1:] < dates[:-1]).all():
        problem = f"the rows are newest first ({here!r} after {before!r}); the demo needs them oldest first"
    else:
        problem = f"{here!r} comes after {before!r}; the demo needs the rows in time order, oldest first"
    raise DemoError(f"{path}: column '{column}', line {row + 2}: {problem}")


@dataclass
class Periods:
    sma: int
    ema: int
    fast: int
    slow: int
    signal: int
    atr: int


@dataclass
class Indicators:
    sma: np.ndarray
    ema: np.ndarray
    macd: np.ndarray
    signal: np.ndarray
    hist: np.ndarray
    atr: np.ndarray


def compute(bars: Bars, periods: Periods) -> Indicators:
    n = len(bars)
    # Outputs are allocated by the caller and filled in place.
    result = Indicators(*(np.empty(n, dtype=np.float64) for _ in range(6)))
    try:
        quorvane.indicator_sma(periods.sma, bars.close, result.sma)
        quorvane.indicator_ema(periods.ema, bars.close, result.ema)
        quorvane.indicator_macd(
            periods.fast, periods.slow, periods.signal, bars.close,
            result.macd, result.signal, result.hist,
        )
        quorvane.indicator_atr(periods.atr, bars.high, bars.low, bars.close, result.atr)
    except (ValueError, OverflowError) as exc:
        raise DemoError(f"cannot compute the indicators: {exc}") from None
    return result


def listing(items: list[str]) -> str:
    return items[0] if len(items) == 1 else f"{', '.join(items[:-1])} and {items[-1]}"


def empty_outputs(n: int, ind: Indicators, periods: Periods) -> list[str]:
    """One note per reason that outputs hold no value at all: too few bars
    for their warm-up, or missing prices."""
    signal_start = periods.slow + periods.signal - 1  # bars up to the signal line's first value
    outputs = (
        (f"SMA({periods.sma})", ind.sma, periods.sma),
        (f"EMA({periods.ema})", ind.ema, periods.ema),
        (f"MACD({periods.fast},{periods.slow})", ind.macd, periods.slow),
        (f"Signal({periods.signal})", ind.signal, signal_start),
        ("Hist", ind.hist, signal_start),
        (f"ATR({periods.atr})", ind.atr, periods.atr + 1),
    )
    short = [f"{label} (needs {needed})" for label, values, needed in outputs if n < needed]
    gaps = [label for label, values, needed in outputs if n >= needed and np.isnan(values).all()]
    notes = []
    if short:
        notes.append(f"{n} bars are too few for {listing(short)}: those columns have no value")
    if gaps:
        notes.append(f"missing or infinite prices leave no value in {listing(gaps)}")
    return notes


def decimals_for(values: np.ndarray, digits: int) -> int:
    """Decimals that show about `digits` significant digits of a typical value."""
    finite = np.abs(values[np.isfinite(values)])
    finite = finite[finite > 0]
    if finite.size == 0:
        return 2
    magnitude = math.floor(math.log10(float(np.median(finite))))
    return min(8, max(2, digits - 1 - magnitude))


def date_labels(bars: Bars, rows: range) -> list[str]:
    if bars.dates is None:
        return [str(i + 1) for i in rows]
    stamps = bars.dates[rows.start:rows.stop]
    daily = bool(np.all(stamps == stamps.astype("datetime64[D]")))
    unit = "D" if daily else "m"
    return [str(np.datetime_as_string(s, unit=unit)).replace("T", " ") for s in stamps]


def print_table(bars: Bars, ind: Indicators, periods: Periods, count: int) -> None:
    n = len(bars)
    rows = range(max(0, n - count), n)
    # Decimals per group of columns that share a scale: prices, MACD, ATR.
    price, macd, atr = decimals_for(bars.close, 5), decimals_for(ind.macd, 4), decimals_for(ind.atr, 4)
    columns = [
        ("Date" if bars.dates is not None else "Row", date_labels(bars, rows), "<"),
    ]
    series = [
        ("Open", bars.open, price), ("High", bars.high, price), ("Low", bars.low, price),
        ("Close", bars.close, price), (f"SMA({periods.sma})", ind.sma, price),
        (f"EMA({periods.ema})", ind.ema, price),
        (f"MACD({periods.fast},{periods.slow})", ind.macd, macd),
        (f"Signal({periods.signal})", ind.signal, macd), ("Hist", ind.hist, macd),
        (f"ATR({periods.atr})", ind.atr, atr),
    ]
    for title, values, places in series:
        cells = ["NaN" if math.isnan(v) else f"{v:,.{places}f}" for v in values[rows.start:rows.stop]]
        columns.append((title, cells, ">"))
    widths = [max(len(title), *(len(c) for c in cells)) if cells else len(title) for title, cells, _ in columns]

    def line(cells: list[str]) -> str:
        return "  ".join(f"{c:{align}{w}}" for c, w, (_, _, align) in zip(cells, widths, columns)).rstrip()

    print(f"{bars.name}: {n} bars; the last {len(rows)}:")
    print(line([title for title, _, _ in columns]))
    print(line(["-" * w for w in widths]))
    for i in range(len(rows)):
        print(line([cells[i] for _, cells, _ in columns]))


RISING, FALLING = "#2ca02c", "#d62728"
MOST_BARS = 400  # beyond this the histogram's bars would be thinner than a pixel


def draw_histogram(ax, x: np.ndarray, hist: np.ndarray, dated: bool) -> tuple:
    """The MACD histogram, green above zero and red below: one bar per bar
    while they stay visible, a filled area for longer spans. Returns the
    legend swatch, which shows both colours."""
    from matplotlib.patches import Patch

    values = np.nan_to_num(hist)
    if len(x) <= MOST_BARS:
        width = 0.8  # of the spacing between bars
        if dated and len(x) > 1:
            width = np.median(np.diff(x)) * 0.8
        ax.bar(x, values, width=width, color=np.where(values >= 0, RISING, FALLING), alpha=0.6)
    else:
        ax.fill_between(x, 0.0, np.maximum(values, 0.0), step="mid", color=RISING, alpha=0.6, linewidth=0)
        ax.fill_between(x, 0.0, np.minimum(values, 0.0), step="mid", color=FALLING, alpha=0.6, linewidth=0)
    return (Patch(color=RISING, alpha=0.6), Patch(color=FALLING, alpha=0.6))


def draw_chart(bars: Bars, ind: Indicators, periods: Periods, last: int, path: Path) -> None:
    progress("drawing the chart with matplotlib ...")
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    from matplotlib.legend_handler import HandlerTuple

    n = len(bars)
    start = 0 if last == 0 else max(0, n - last)
    view = slice(start, n)
    x = bars.dates[view] if bars.dates is not None else np.arange(start + 1, n + 1)

    fig, (ax_price, ax_macd, ax_atr) = plt.subplots(
        3, 1, figsize=(12, 8.5), sharex=True, gridspec_kw={"height_ratios": [3, 1.6, 1.2]},
        layout="constrained",
    )
    span = f"{date_labels(bars, range(start, start + 1))[0]} to {date_labels(bars, range(n - 1, n))[0]}"
    fig.suptitle(f"{bars.name}: {span} ({n - start} bars), computed with quorvane")

    ax_price.plot(x, bars.close[view], color="#222222", linewidth=1.0, label="Close")
    ax_price.plot(x, ind.sma[view], color="#1f77b4", linewidth=1.4, label=f"SMA({periods.sma})")
    ax_price.plot(x, ind.ema[view], color="#ff7f0e", linewidth=1.4, label=f"EMA({periods.ema})")
    ax_price.set_ylabel("Price")
    # Legends stand to the right of the panels, where they cover no line.
    outside = {"loc": "upper left", "bbox_to_anchor": (1.005, 1.0), "borderaxespad": 0.0}
    ax_price.legend(**outside)

    swatch = draw_histogram(ax_macd, x, ind.hist[view], dated=bars.dates is not None)
    ax_macd.plot(x, ind.macd[view], color="#1f77b4", linewidth=1.1,
                 label=f"MACD({periods.fast},{periods.slow})")
    ax_macd.plot(x, ind.signal[view], color="#ff7f0e", linewidth=1.1, label=f"Signal({periods.signal})")
    ax_macd.axhline(0.0, color="#888888", linewidth=0.6)
    ax_macd.set_ylabel("MACD")
    handles, labels = ax_macd.get_legend_handles_labels()
    ax_macd.legend([swatch, *handles], ["Histogram", *labels], **outside,
                   handler_map={tuple: HandlerTuple(ndivide=None, pad=0.0)})

    ax_atr.plot(x, ind.atr[view], color="#9467bd", linewidth=1.2, label=f"ATR({periods.atr})")
    ax_atr.set_ylabel("ATR")
    ax_atr.legend(**outside)
    for ax in (ax_price, ax_macd, ax_atr):
        ax.grid(True, alpha=0.3)
    if bars.dates is None:
        ax_atr.set_xlabel("Row")

    path.parent.mkdir(parents=True, exist_ok=True)
    # Write next to the target, then rename: an interrupted run leaves no half-written PNG.
    handle, temporary = tempfile.mkstemp(prefix=".demo-", suffix=".png", dir=path.parent)
    os.close(handle)
    try:
        fig.savefig(temporary, dpi=110)
        # mkstemp makes the file private (0600); give it the mode a new file gets.
        os.chmod(temporary, 0o666 & ~current_umask())
        os.replace(temporary, path)
    finally:
        plt.close(fig)
        if os.path.exists(temporary):
            os.unlink(temporary)


def current_umask() -> int:
    mask = os.umask(0o022)  # the only way to read it is to set it
    os.umask(mask)
    return mask


def whole_number(text: str) -> int:
    try:
        return int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None


def not_negative(text: str) -> int:
    value = whole_number(text)
    if value < 0:
        raise argparse.ArgumentTypeError(f"must be 0 or more: {value}")
    return value


def positive(text: str) -> int:
    value = whole_number(text)
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be 1 or more: {value}")
    return value


def parse_args(argv: list[str]) -> argparse.Namespace:
    parser = argparse.ArgumentParser(
        prog="demo",
        description="Compute SMA, EMA, MACD and ATR with quorvane over daily OHLC prices, "
        "print the last rows and write a PNG chart.",
    )
    parser.add_argument("csv", nargs="?", type=Path,
                        help="CSV file with open, high, low, close columns (any letter case) "
                        "and optionally a date column (oldest first, one row per date); "
                        "default: the GOOG daily sample")
    parser.add_argument("-o", "--output", type=Path,
                        help="PNG file to write, or a folder to write it into "
                        f"(default: {DEFAULT_OUTPUT_DIR.relative_to(REPO)}/ in the repository)")
    parser.add_argument("--rows", type=positive, default=10, help="rows to print (default 10)")
    parser.add_argument("--chart-bars", type=not_negative, default=250, metavar="N",
                        help="chart the last N bars, 0 for all (default 250, about a year)")
    parser.add_argument("--sma", type=positive, default=50, metavar="P", help="SMA period (default 50)")
    parser.add_argument("--ema", type=positive, default=20, metavar="P", help="EMA period (default 20)")
    parser.add_argument("--macd", type=positive, nargs=3, default=[12, 26, 9],
                        metavar=("FAST", "SLOW", "SIGNAL"), help="MACD periods (default 12 26 9)")
    parser.add_argument("--atr", type=positive, default=14, metavar="P", help="ATR period (default 14)")
    args = parser.parse_args(argv)
    if args.macd[0] >= args.macd[1]:
        parser.error(f"--macd: FAST ({args.macd[0]}) must be less than SLOW ({args.macd[1]})")
    return args


def chart_path(args: argparse.Namespace, bars: Bars) -> Path:
    stem = "goog" if args.csv is None else args.csv.stem
    name = f"{stem}-indicators.png"
    if args.output is None:
        return DEFAULT_OUTPUT_DIR / name
    text = str(args.output)
    if args.output.is_dir() or text.endswith(("/", os.sep)) or not args.output.suffix:
        return args.output / name  # a folder, made if needed
    if args.output.suffix.lower() != ".png":
        raise DemoError(f"{args.output}: the chart is a PNG; name a .png file or a folder")
    if args.output.exists() and not args.output.is_file():
        raise DemoError(f"{args.output}: exists and is not a file")
    return args.output


def main(argv: list[str]) -> int:
    args = parse_args(argv)
    periods = Periods(args.sma, args.ema, *args.macd, args.atr)
    try:
        bars = load_sample() if args.csv is None else load_csv(args.csv)
        output = chart_path(args, bars)
        started = time.perf_counter()
        indicators = compute(bars, periods)
        elapsed = time.perf_counter() - started
        progress(f"computed SMA, EMA, MACD and ATR over {len(bars)} bars in {elapsed * 1e3:.2f} ms")
        print_table(bars, indicators, periods, args.rows)
        for note in empty_outputs(len(bars), indicators, periods):
            progress(f"note: {note}")
        draw_chart(bars, indicators, periods, args.chart_bars, output)
    except DemoError as exc:
        print(f"demo: error: {exc}", file=sys.stderr)
        print("demo: nothing was written", file=sys.stderr)
        return 2
    except OSError as exc:
        print(f"demo: error: cannot write the chart: {exc}", file=sys.stderr)
        return 1
    print(f"\nChart written to {output}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
