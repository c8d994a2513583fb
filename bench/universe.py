"""Many symbols: the universe job (examples/universe_dask.py) run several ways.

Usage: python universe.py [--data DIR] [--ft-python PYTHON] [--fragment FRAGMENT.md]
                          [--repeats N]

Every way computes the same indicators (SMA 50, EMA 20, MACD 12/26/9, ATR 14)
for every symbol of the scale universe (2,000 symbols x 2,520 daily bars,
built into bench/.env/universe/ when absent), and is timed twice:

- end to end: from the Parquet dataset to a Parquet result by symbol;
- indicators only: the bars already in memory (on the workers, for Dask),
  the results left in memory.

The ways: a serial Python loop over the symbols (end to end, over the job's
partitions of 16 symbols: read, compute, write, as a Dask worker does); a
pool of 2 threads, a partition or a block of 16 symbols per task; the same
two on the free-threaded interpreter given by --ft-python with PYTHON_GIL=0
(it needs quorvane, pandas and pyarrow; Dask is not needed there); Dask on a
LocalCluster of 2 worker processes with one thread each; and the usual
alternatives without quorvane: pandas groupby
with TA-Lib in apply, and pandas' own groupby rolling/ewm (these two compute
their libraries' own definitions, which differ from quorvane's in the first
bars; they are here for speed only).

Each figure is the median of --repeats runs (default 3). The cluster is
started before timing, the files listed before timing. With --part local the
script measures only the serial loop and the thread pool of the interpreter
that runs it and prints them as JSON (how the free-threaded figures are got).
"""

from __future__ import annotations

import argparse
import json
import logging
import os
import platform
import shutil
import statistics
import subprocess
import sys
import sysconfig
import tempfile
import time
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

HERE = Path(__file__).resolve().parent
REPO = HERE.parent
sys.path.insert(0, str(REPO / "examples"))

import universe_dask as job  # noqa: E402
from common import markdown_table, write_fragment  # noqa: E402

THREADS = 2
WORKERS = 2
PER_PARTITION = 16
SYMBOLS_PER_TASK = 16
PERIODS = job.Periods()  # SMA 50, EMA 20, MACD 12/26/9, ATR 14
DEFAULT_DATA = HERE / ".env" / "universe" / "scale"
SCRATCH = HERE / ".env" / "universe"


def interpreter() -> str:
    ft = " free-threaded" if sysconfig.get_config_var("Py_GIL_DISABLED") else ""
    gil = getattr(sys, "_is_gil_enabled", lambda: True)()
    return f"{platform.python_version()}{ft}" + ("" if gil or not ft else ", PYTHON_GIL=0")


def fresh_dir(tag: str) -> Path:
    SCRATCH.mkdir(parents=True, exist_ok=True)
    return Path(tempfile.mkdtemp(prefix=f"out-{tag}-", dir=SCRATCH))


def median_seconds(run, repeats: int) -> float:
    return statistics.median(run() for _ in range(repeats))


# --- serial loop and thread pool (any interpreter) -------------------------------

def one_partition(batch, out: Path) -> None:
    """What a Dask worker does with a partition, without Dask: read the
    symbols, compute, write them by symbol."""
    import pyarrow as pa
    import pyarrow.parquet as pq

    result = job.compute_indicators(job.read_symbols(batch), PERIODS)
    pq.write_to_dataset(pa.Table.from_pandas(result, preserve_index=False), out,
                        partition_cols=["symbol"])


def end_to_end(folders, threads: int) -> float:
    """The job's partitions (PER_PARTITION symbols each) one after another,
    or one per task on a thread pool."""
    out = fresh_dir("loop")
    batches = job.batches(folders, PER_PARTITION)
    started = time.perf_counter()
    if threads == 1:
        for batch in batches:
            one_partition(batch, out)
    else:
        with ThreadPoolExecutor(threads) as pool:
            list(pool.map(lambda batch: one_partition(batch, out), batches))
    seconds = time.perf_counter() - started
    shutil.rmtree(out)
    return seconds


def load_arrays(folders):
    """The whole universe in memory: one contiguous array per price column,
    and the (start, stop) rows of each symbol."""
    import numpy as np

    parts = [job.read_symbol(symbol, folder) for symbol, folder in folders]
    stops = np.cumsum([len(p[0]) for p in parts]).tolist()
    runs = list(zip([0] + stops[:-1], stops))
    high, low, close = (np.concatenate([p[i] for p in parts]) for i in (1, 2, 3))
    return high, low, close, runs


def in_memory(arrays, threads: int) -> float:
    """Every symbol's indicators into output columns allocated once, each
    symbol writing its own slice of them."""
    import numpy as np

    high, low, close, runs = arrays
    started = time.perf_counter()
    out = {name: np.empty(len(close)) for name in job.OUTPUTS}

    def fill(some_runs) -> None:
        for start, stop in some_runs:
            job.fill_symbol(PERIODS, high, low, close, out, start, stop)

    if threads == 1:
        fill(runs)
    else:
        # a task per block of symbols: a task per symbol would cost more in
        # hand-overs between threads than the indicators of 2,520 bars take
        blocks = [runs[i:i + SYMBOLS_PER_TASK] for i in range(0, len(runs), SYMBOLS_PER_TASK)]
        with ThreadPoolExecutor(threads) as pool:
            list(pool.map(fill, blocks))
    return time.perf_counter() - started


def local_part(data: Path, repeats: int) -> dict:
    folders = job.symbol_folders(data)
    arrays = load_arrays(folders)
    results = {}
    for label, threads in (("serial", 1), ("threads", THREADS)):
        results[label] = {
            "end_to_end": median_seconds(lambda: end_to_end(folders, threads), repeats),
            "in_memory": median_seconds(lambda: in_memory(arrays, threads), repeats),
        }
    return {"python": interpreter(), **results}


# --- Dask -----------------------------------------------------------------------

def dask_part(data: Path, repeats: int) -> dict:
    from distributed import Client, LocalCluster, wait

    with LocalCluster(n_workers=WORKERS, threads_per_worker=1, processes=True,
                      host="127.0.0.1", dashboard_address=None,
                      silence_logs=logging.CRITICAL) as cluster, Client(cluster) as client:
        def whole_job() -> float:
            out = fresh_dir("dask") / "result"
            seconds = job.run_job(client, data, out, PERIODS, PER_PARTITION,
                                  show_progress=False).seconds
            shutil.rmtree(out.parent)
            return seconds

        e2e = median_seconds(whole_job, repeats)

        bars = client.persist(job.bars_frame(data, PER_PARTITION))
        wait(bars)

        def compute_only() -> float:
            started = time.perf_counter()
            result = client.persist(job.with_indicators(bars, PERIODS))
            wait(result)
            seconds = time.perf_counter() - started
            del result
            return seconds

        memory = median_seconds(compute_only, repeats)
        del bars
    return {"end_to_end": e2e, "in_memory": memory}


# --- pandas alternatives ------------------------------------------------------------

def talib_apply(frame):
    import pandas as pd
    import talib

    fast, slow, signal = PERIODS.macd

    def per_symbol(g):
        high, low, close = (g[c].to_numpy() for c in ("high", "low", "close"))
        macd, macd_signal, macd_hist = talib.MACD(close, fast, slow, signal)
        return pd.DataFrame({
            "date": g["date"].to_numpy(), "close": close,
            "sma": talib.SMA(close, PERIODS.sma), "ema": talib.EMA(close, PERIODS.ema),
            "macd": macd, "macd_signal": macd_signal, "macd_hist": macd_hist,
            "atr": talib.ATR(high, low, close, PERIODS.atr)}, index=g.index)

    grouped = frame.groupby("symbol", sort=False, observed=True)[["date", "high", "low", "close"]]
    return grouped.apply(per_symbol).reset_index(level=0)


def pandas_own(frame):
    import numpy as np

    fast, slow, signal = PERIODS.macd
    by = frame.groupby("symbol", sort=False, observed=True)
    close = by["close"]

    def flat(series):  # groupby rolling/ewm put the symbol in front of the index
        return series.droplevel(0)

    macd = flat(close.ewm(span=fast, adjust=False).mean()) - flat(close.ewm(span=slow, adjust=False).mean())
    macd_signal = flat(macd.groupby(frame["symbol"], sort=False, observed=True)
                       .ewm(span=signal, adjust=False).mean())
    previous = close.shift(1)
    true_range = np.fmax(frame["high"] - frame["low"],
                         np.fmax((frame["high"] - previous).abs(), (frame["low"] - previous).abs()))
    atr = flat(true_range.groupby(frame["symbol"], sort=False, observed=True)
               .ewm(alpha=1 / PERIODS.atr, adjust=False).mean())
    return frame[["symbol", "date", "close"]].assign(
        sma=flat(close.rolling(PERIODS.sma).mean()),
        ema=flat(close.ewm(span=PERIODS.ema, adjust=False).mean()),
        macd=macd, macd_signal=macd_signal, macd_hist=macd - macd_signal, atr=atr)


def pandas_part(data: Path, repeats: int) -> dict:
    import pandas as pd

    def read():
        return pd.read_parquet(data, columns=["symbol", "date", "high", "low", "close"])

    def whole(compute) -> float:
        out = fresh_dir("pandas") / "result"
        started = time.perf_counter()
        compute(read()).to_parquet(out, partition_cols=["symbol"], index=False)
        seconds = time.perf_counter() - started
        shutil.rmtree(out.parent)
        return seconds

    def only(compute, frame) -> float:
        started = time.perf_counter()
        result = compute(frame)
        seconds = time.perf_counter() - started
        del result
        return seconds

    frame = read()
    results = {}
    for label, compute in (("talib", talib_apply), ("pandas", pandas_own)):
        results[label] = {"end_to_end": median_seconds(lambda: whole(compute), repeats),
                          "in_memory": median_seconds(lambda: only(compute, frame), repeats)}
    return results


# --- the table -----------------------------------------------------------------------

def ft_part(ft_python: str, data: Path, repeats: int) -> dict | None:
    env = dict(os.environ, PYTHON_GIL="0")
    run = subprocess.run([ft_python, __file__, "--part", "local", "--data", str(data),
                          "--repeats", str(repeats)], capture_output=True, text=True, env=env)
    if run.returncode != 0:
        print(f"note: free-threaded part failed:\n{run.stderr[-2000:]}", file=sys.stderr)
        return None
    return json.loads(run.stdout)


def table(rows_total: int, symbols: int, measured: list[tuple[str, str, dict]]) -> str:
    base = next(m for _, _, m in measured)
    lines = []
    for way, python, m in measured:
        e2e, mem = m["end_to_end"], m["in_memory"]
        lines.append([way, python,
                      f"{rows_total / e2e / 1e6:.2f} M", f"{base['end_to_end'] / e2e:.2f}×",
                      f"{rows_total / mem / 1e6:.2f} M", f"{base['in_memory'] / mem:.2f}×"])
    header = ["way", "Python", "end to end, rows/s", "÷ serial", "indicators only, rows/s",
              "÷ serial"]
    text = markdown_table(header, lines, align="llrrrr")
    return (f"### Many symbols ({symbols:,} symbols, {rows_total:,} rows)\n\n"
            "SMA 50, EMA 20, MACD 12/26/9 and ATR 14 for every symbol. End to end: from the "
            "Parquet dataset (one folder per symbol) to a Parquet result by symbol. "
            "Indicators only: bars already in memory, results left in memory. "
            "Rows per second (higher is better) and the ratio to the serial loop on the "
            f"first line; median of {REPEATS} runs; 2 threads, or 2 Dask worker processes of "
            "one thread each, on a machine of "
            f"{os.cpu_count()} cores shared with other work.\n\n" + text)


REPEATS = 3


def main() -> None:
    global REPEATS
    parser = argparse.ArgumentParser()
    parser.add_argument("--data", type=Path, default=DEFAULT_DATA)
    parser.add_argument("--ft-python", help="free-threaded interpreter for the thread rows")
    parser.add_argument("--fragment")
    parser.add_argument("--repeats", type=int, default=1 if os.environ.get("BENCH_QUICK") == "1" else 3)
    parser.add_argument("--part", choices=["local"], help=argparse.SUPPRESS)
    args = parser.parse_args()
    REPEATS = args.repeats

    if args.part == "local":
        print(json.dumps(local_part(args.data, args.repeats)))
        return

    if not args.data.exists():
        from make_universe import build

        print(f"building the scale universe in {args.data} ...", file=sys.stderr, flush=True)
        build(args.data, "scale", quiet=True)
    folders = job.symbol_folders(args.data)
    rows_total = job.count_rows(folders)

    measured: list[tuple[str, str, dict]] = []
    here = interpreter()
    print(f"serial loop and thread pool on {here} ...", file=sys.stderr, flush=True)
    local = local_part(args.data, args.repeats)
    measured += [("serial loop", here, local["serial"]),
                 (f"thread pool, {THREADS} threads", here, local["threads"])]
    if args.ft_python:
        print("the same on the free-threaded interpreter ...", file=sys.stderr, flush=True)
        ft = ft_part(args.ft_python, args.data, args.repeats)
        if ft:
            measured += [("serial loop", ft["python"], ft["serial"]),
                         (f"thread pool, {THREADS} threads", ft["python"], ft["threads"])]
    print("Dask LocalCluster ...", file=sys.stderr, flush=True)
    measured.append((f"Dask LocalCluster, {WORKERS} workers", here, dask_part(args.data, args.repeats)))
    print("pandas alternatives ...", file=sys.stderr, flush=True)
    alternatives = pandas_part(args.data, args.repeats)
    measured += [("pandas groupby.apply calling TA-Lib (no quorvane)", here, alternatives["talib"]),
                 ("pandas groupby rolling/ewm (no quorvane)", here, alternatives["pandas"])]
    write_fragment(args.fragment, table(rows_total, len(folders), measured))


if __name__ == "__main__":
    main()
