"""Indicators for every symbol of a universe, on a Dask cluster.

Reads a universe of bars stored as Parquet, one directory per symbol
(``symbol=NAME/*.parquet``, as written by make_universe.py), computes SMA,
EMA, MACD (line, signal, histogram) and ATR for every symbol with quorvane,
and writes the result as Parquet in the same layout:

    universe-output/smoke/symbol=GOOG/part.0.parquet
        columns date, close, sma, ema, macd, macd_signal, macd_hist, atr

    python examples/universe_dask.py                 # smoke universe (built if absent), LocalCluster
    python examples/universe_dask.py --scale         # the 2,000-symbol universe
    python examples/universe_dask.py --scheduler tcp://host:8786   # an existing cluster
    python examples/universe_dask.py --data DIR --out DIR --verify

How the work is split: each Dask partition is a handful of whole symbols,
read file by file in date order; a symbol is never split between partitions
and never shuffled. Within a partition the outputs are allocated once, one
column per indicator, and each symbol's indicators are written into its slice
of them. A symbol's results therefore do not depend on which partition or
worker computed it: the cluster gives the same bits as a serial run
(--verify checks that).

Missing values and short symbols give the NaNs documented for each function
(an SMA is NaN from a missing close on; EMA skips it), not errors. Input that
cannot be right (a missing dataset, a symbol whose dates are out of order or
repeated, a missing or non-numeric column) stops the job with a one-line
error naming the symbol and column, before anything is written: the output is
written to a temporary directory beside the destination and moved into place
only when complete.

On a real cluster, every worker needs quorvane, pandas and pyarrow installed,
and must see the dataset and the output directory at the same paths as this
script (a shared filesystem).
"""

from __future__ import annotations

import argparse
import logging
import os
import shutil
import sys
import time
import uuid
from contextlib import ExitStack
from dataclasses import dataclass
from pathlib import Path

import numpy as np

import quorvane

REPO = Path(__file__).resolve().parent.parent
DATA_ROOT = REPO / "universe-data"
OUTPUT_ROOT = REPO / "universe-output"
PRICES = ("high", "low", "close")
SYMBOL_TYPE = "string[pyarrow]"
OUTPUTS = ("sma", "ema", "macd", "macd_signal", "macd_hist", "atr")


class UniverseError(Exception):
    """Input the job cannot use; the message is one line naming what is wrong."""


@dataclass(frozen=True)
class Periods:
    sma: int = 50
    ema: int = 20
    macd: tuple[int, int, int] = (12, 26, 9)
    atr: int = 14

    def check(self) -> None:
        fast, slow, signal = self.macd
        if min(self.sma, self.ema, self.atr, fast, slow, signal) < 1:
            raise UniverseError("periods must be at least 1")
        if fast >= slow:
            raise UniverseError("the MACD fast period must be less than the slow period")


# --- reading --------------------------------------------------------------

def symbol_folders(dataset: Path) -> list[tuple[str, Path]]:
    """The symbols of a dataset and their directories, in name order."""
    dataset = Path(dataset)
    if not dataset.exists():
        raise UniverseError(f"{dataset}: no such dataset")
    if not dataset.is_dir():
        raise UniverseError(f"{dataset}: not a directory of symbol=NAME/ folders")
    found = sorted((p.name.partition("=")[2], p) for p in dataset.glob("symbol=*") if p.is_dir())
    if not found:
        raise UniverseError(f"{dataset}: no symbol=NAME/ folders in it")
    return found


def _first_line(exc: BaseException) -> str:
    text = str(exc).strip()
    return text.splitlines()[0] if text else type(exc).__name__


def _is_date(kind) -> bool:
    import pyarrow as pa

    return pa.types.is_timestamp(kind) or pa.types.is_date(kind)


def _is_number(kind) -> bool:
    import pyarrow as pa

    return pa.types.is_integer(kind) or pa.types.is_floating(kind)


def read_symbol(symbol: str, folder: Path):
    """One symbol's bars as (dates, high, low, close), checked.

    Dates must be present, strictly increasing (no repeats); prices must be
    numeric (missing ones become NaN).
    """
    import pyarrow as pa
    import pyarrow.parquet as pq

    files = sorted(Path(folder).glob("*.parquet"))
    if not files:
        raise UniverseError(f"symbol {symbol}: no Parquet file in {folder}")
    wanted = ("date", *PRICES)
    try:
        sources = [pq.ParquetFile(f) for f in files]
        for source in sources:
            for name in wanted:
                if name not in source.schema_arrow.names:
                    raise UniverseError(f"symbol {symbol}: missing column '{name}'")
        tables = [source.read(columns=list(wanted)) for source in sources]
    except (OSError, pa.ArrowException) as exc:
        raise UniverseError(f"symbol {symbol}: cannot read {folder}: {_first_line(exc)}") from None

    columns = {}
    for name in wanted:
        chunks = [t.column(name) for t in tables]
        if name == "date":
            usable, target, what = _is_date, pa.timestamp("ns"), "a date or timestamp"
        else:
            usable, target, what = _is_number, pa.float64(), "numeric"
        for chunk in chunks:
            if not usable(chunk.type):
                raise UniverseError(f"symbol {symbol}: column '{name}' is not {what} ({chunk.type})")
        try:
            merged = pa.chunked_array([c.cast(target) for c in chunks], type=target)
        except pa.ArrowException as exc:
            raise UniverseError(f"symbol {symbol}: column '{name}': {_first_line(exc)}") from None
        if name == "date":
            if merged.null_count:
                row = int(np.flatnonzero(merged.is_null().to_numpy(zero_copy_only=False))[0])
                raise UniverseError(f"symbol {symbol}: column 'date' is missing at row {row}")
            # as integers: pyarrow turns timestamps into NumPy ones through
            # pandas, a thousand times slower
            merged = merged.cast(pa.int64())
        columns[name] = merged.to_numpy()

    dates = columns["date"].view("datetime64[ns]")
    step = np.diff(dates.view(np.int64))
    bad = np.flatnonzero(step <= 0)
    if bad.size:
        row = int(bad[0]) + 1
        day = np.datetime_as_string(dates[row], unit="auto")
        if step[bad[0]] == 0:
            raise UniverseError(f"symbol {symbol}: column 'date' repeats {day} at row {row}")
        before = np.datetime_as_string(dates[row - 1], unit="auto")
        raise UniverseError(
            f"symbol {symbol}: column 'date' is not in order at row {row} ({day} after {before})")
    return dates, columns["high"], columns["low"], columns["close"]


def frame_meta():
    """The columns and types of a partition as read."""
    import pandas as pd

    return pd.DataFrame({"symbol": pd.Series([], dtype=SYMBOL_TYPE),
                         "date": pd.Series([], dtype="datetime64[ns]"),
                         **{name: pd.Series([], dtype=np.float64) for name in PRICES}})


def read_symbols(batch: list[tuple[str, str]]):
    """A partition: the symbols of `batch`, each whole and in date order, one after another."""
    import pandas as pd

    import pyarrow as pa

    parts = [read_symbol(symbol, Path(folder)) for symbol, folder in batch]
    lengths = [len(p[0]) for p in parts]
    names = pa.array([symbol for symbol, _ in batch], type=pa.string())
    symbols = names.take(np.repeat(np.arange(len(batch)), lengths))
    return pd.DataFrame({
        "symbol": pd.Series(symbols, dtype=SYMBOL_TYPE),
        "date": np.concatenate([p[0] for p in parts]) if parts else np.array([], "datetime64[ns]"),
        **{name: np.concatenate([p[i + 1] for p in parts]) if parts else np.array([])
           for i, name in enumerate(PRICES)}}, copy=False)


# --- computing -------------------------------------------------------------

def symbol_runs(symbols) -> list[tuple[int, int]]:
    """(start, stop) of each symbol's rows; each symbol must be one contiguous run."""
    import pandas as pd

    codes, names = pd.factorize(symbols, sort=False)
    if len(codes) == 0:
        return []
    change = np.flatnonzero(codes[1:] != codes[:-1]) + 1
    starts = np.concatenate(([0], change))
    stops = np.concatenate((change, [len(codes)]))
    if len(starts) != len(names):
        seen = codes[starts]
        repeated = next(c for i, c in enumerate(seen) if c in seen[:i])
        raise UniverseError(f"symbol {names[repeated]}: its rows are not together in one partition")
    return list(zip(starts.tolist(), stops.tolist()))


def output_meta():
    import pandas as pd

    meta = frame_meta()[["symbol", "date", "close"]]
    return meta.assign(**{name: pd.Series([], dtype=np.float64) for name in OUTPUTS})


def fill_symbol(periods: Periods, high, low, close, out: dict, start: int, stop: int) -> None:
    """The indicators of rows start..stop-1 (one symbol), written into that
    slice of each output column. A slice of a contiguous array is contiguous,
    so the module takes it as it is: nothing is copied."""
    s = slice(start, stop)
    fast, slow, signal = periods.macd
    quorvane.indicator_sma(periods.sma, close[s], out["sma"][s])
    quorvane.indicator_ema(periods.ema, close[s], out["ema"][s])
    quorvane.indicator_macd(fast, slow, signal, close[s],
                            out["macd"][s], out["macd_signal"][s], out["macd_hist"][s])
    quorvane.indicator_atr(periods.atr, high[s], low[s], close[s], out["atr"][s])


def compute_indicators(frame, periods: Periods = Periods()):
    """The indicators of every symbol in `frame`, as new columns.

    Six output columns are allocated once for the whole partition; each
    symbol's computation writes into its own slice of them.
    """
    import pandas as pd

    n = len(frame)
    high, low, close = (np.ascontiguousarray(frame[name].to_numpy(dtype=np.float64, na_value=np.nan))
                        for name in PRICES)
    out = {name: np.empty(n, dtype=np.float64) for name in OUTPUTS}
    for start, stop in symbol_runs(frame["symbol"]):
        fill_symbol(periods, high, low, close, out, start, stop)
    return pd.DataFrame({"symbol": frame["symbol"], "date": frame["date"], "close": close, **out},
                        copy=False)


def compute_serial(dataset: Path, periods: Periods = Periods()) -> dict:
    """The same computation in this process, one symbol at a time: symbol -> frame."""
    return {symbol: compute_indicators(read_symbols([(symbol, str(folder))]), periods)
            for symbol, folder in symbol_folders(dataset)}


def batches(folders: list[tuple[str, Path]], per_partition: int) -> list[list[tuple[str, str]]]:
    items = [(symbol, str(folder)) for symbol, folder in folders]
    return [items[i:i + per_partition] for i in range(0, len(items), per_partition)]


def count_rows(folders: list[tuple[str, Path]]) -> int:
    import pyarrow.parquet as pq

    total = 0
    for symbol, folder in folders:
        for f in Path(folder).glob("*.parquet"):
            try:
                total += pq.read_metadata(f).num_rows
            except Exception as exc:  # reported with the symbol when the job reads it
                raise UniverseError(f"symbol {symbol}: cannot read {f}: {_first_line(exc)}") from None
    return total


# --- the job -----------------------------------------------------------------

def _ship_by_value() -> None:
    """Workers get this file's functions by value when it is imported as a
    module (by a test or a benchmark) rather than run as a script, since they
    cannot import it by name."""
    if __name__ != "__main__":
        import cloudpickle

        cloudpickle.register_pickle_by_value(sys.modules[__name__])


def bars_frame(dataset: Path, per_partition: int = 16):
    """The dataset as a lazy Dask DataFrame: each partition `per_partition`
    whole symbols, in name order, each in date order."""
    import dask.dataframe as dd

    folders = symbol_folders(dataset)
    _ship_by_value()
    return dd.from_map(read_symbols, batches(folders, per_partition), meta=frame_meta(),
                       divisions=None, enforce_metadata=False)


def with_indicators(bars, periods: Periods = Periods()):
    """The job's computation over a Dask DataFrame of bars, partition by partition."""
    periods.check()
    return bars.map_partitions(compute_indicators, periods, meta=output_meta(),
                               enforce_metadata=False)


def indicator_frame(dataset: Path, periods: Periods = Periods(), per_partition: int = 16):
    """The lazy Dask DataFrame of the job: read, then compute."""
    periods.check()
    return with_indicators(bars_frame(dataset, per_partition), periods)


@dataclass
class Summary:
    symbols: int
    rows: int
    partitions: int
    seconds: float
    output: Path


def run_job(client, dataset: Path, out: Path, periods: Periods = Periods(),
            per_partition: int = 16, show_progress: bool = True) -> Summary:
    """Computes the universe on the cluster of `client` and writes it to `out`.

    The result goes to a temporary directory beside `out` and replaces `out`
    only when every partition has been written; on any error nothing changes.
    """
    dataset, out = Path(dataset), Path(out)
    folders = symbol_folders(dataset)
    rows = count_rows(folders)
    frame = indicator_frame(dataset, periods, per_partition)
    out.parent.mkdir(parents=True, exist_ok=True)
    temp = out.parent / f".{out.name}.tmp-{uuid.uuid4().hex[:12]}"
    future = None
    try:
        write = frame.to_parquet(temp, partition_on=["symbol"], write_index=False, compute=False)
        client.run(_warm_up)  # imports on the workers, before the clock starts
        started = time.perf_counter()
        future = client.compute(write)
        if show_progress:
            from distributed import progress

            progress(future)
            print(file=sys.stderr)
        future.result()
        seconds = time.perf_counter() - started
        replace_directory(temp, out)
    except BaseException:
        if future is not None:
            _stop(client, future)
        shutil.rmtree(temp, ignore_errors=True)
        raise
    return Summary(len(folders), rows, frame.npartitions, seconds, out)


def _stop(client, future, timeout: float = 30.0) -> None:
    """After a failure: drops the rest of the job, then waits (at most
    `timeout` seconds) until no task runs on the workers any more, so that
    none writes into the temporary directory after it is removed. A task that
    is running when it is cancelled runs to its end."""
    client.cancel(future)
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        try:
            running = client.run(_running_tasks)
        except Exception:  # the cluster is going away: nothing left to wait for
            return
        if not any(running.values()):
            return
        time.sleep(0.05)


def _running_tasks(dask_worker) -> int:
    return len(dask_worker.state.executing) + len(dask_worker.state.long_running)


def _warm_up() -> None:
    import pandas  # noqa: F401
    import pyarrow.parquet  # noqa: F401


def replace_directory(new: Path, old: Path) -> None:
    """Moves `new` to `old`'s place; an existing `old` is removed after the move."""
    if not old.exists():
        os.replace(new, old)
        return
    retired = old.parent / f".{old.name}.old-{uuid.uuid4().hex[:12]}"
    os.replace(old, retired)
    os.replace(new, old)
    shutil.rmtree(retired, ignore_errors=True)


def read_output(out: Path) -> dict:
    """A written result, read back: symbol -> frame in date order."""
    import pandas as pd

    result = {}
    for symbol, folder in symbol_folders(out):
        frame = pd.concat([pd.read_parquet(f) for f in sorted(folder.glob("*.parquet"))],
                          ignore_index=True)
        result[symbol] = frame
    return result


def same_bits(a, b) -> bool:
    """Two result frames hold the same dates and the same bits in every column."""
    if len(a) != len(b):
        return False
    if not np.array_equal(a["date"].to_numpy("datetime64[ns]"), b["date"].to_numpy("datetime64[ns]")):
        return False
    return all(np.array_equal(np.ascontiguousarray(a[c].to_numpy(np.float64)).view(np.uint64),
                              np.ascontiguousarray(b[c].to_numpy(np.float64)).view(np.uint64))
               for c in ("close", *OUTPUTS))


def differing_symbols(written: dict, serial: dict) -> list[str]:
    names = sorted(set(written) | set(serial))
    return [s for s in names if s not in written or s not in serial
            or not same_bits(written[s], serial[s])]


# --- command line --------------------------------------------------------------

def open_client(stack: ExitStack, scheduler: str | None, workers: int, threads: int,
                dashboard: bool = True):
    from distributed import Client, LocalCluster

    if scheduler:
        return stack.enter_context(Client(scheduler))
    cluster = stack.enter_context(LocalCluster(
        n_workers=workers, threads_per_worker=threads, processes=True, host="127.0.0.1",
        dashboard_address="127.0.0.1:0" if dashboard else None,
        # A task that fails on bad input is reported here, once, not logged by the worker too.
        silence_logs=logging.CRITICAL))
    return stack.enter_context(Client(cluster))


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--scale", action="store_true",
                        help="the 2,000-symbol universe instead of the 50-symbol smoke one")
    parser.add_argument("--data", type=Path, help="the dataset (default: universe-data/smoke or "
                        "/scale in the repository, built if absent)")
    parser.add_argument("--out", type=Path, help="where the result goes (default: "
                        "universe-output/smoke or /scale in the repository)")
    parser.add_argument("--scheduler", help="address of a running scheduler, e.g. "
                        "tcp://host:8786 (default: a LocalCluster on this machine)")
    parser.add_argument("--workers", type=int, default=2, help="LocalCluster worker processes (default 2)")
    parser.add_argument("--threads", type=int, default=1, help="threads per LocalCluster worker (default 1)")
    parser.add_argument("--symbols-per-partition", type=int, default=16, metavar="N")
    parser.add_argument("--sma", type=int, default=Periods.sma)
    parser.add_argument("--ema", type=int, default=Periods.ema)
    parser.add_argument("--macd", type=int, nargs=3, default=Periods.macd,
                        metavar=("FAST", "SLOW", "SIGNAL"))
    parser.add_argument("--atr", type=int, default=Periods.atr)
    parser.add_argument("--verify", action="store_true",
                        help="afterwards, compare the output with a serial run, symbol by symbol")
    parser.add_argument("--no-progress", action="store_true", help="no progress bar")
    args = parser.parse_args(argv)

    size = "scale" if args.scale else "smoke"
    dataset = args.data or DATA_ROOT / size
    out = args.out or OUTPUT_ROOT / size
    periods = Periods(args.sma, args.ema, tuple(args.macd), args.atr)
    say = lambda message: print(f"universe_dask: {message}", file=sys.stderr, flush=True)  # noqa: E731
    try:
        periods.check()
        if args.symbols_per_partition < 1 or args.workers < 1 or args.threads < 1:
            raise UniverseError("--workers, --threads and --symbols-per-partition must be at least 1")
        if args.data is None and not dataset.exists():
            say(f"no {size} universe yet: writing it to {dataset} ...")
            from make_universe import build

            build(dataset, size)
        symbol_folders(dataset)  # a missing dataset is reported before any cluster starts
        with ExitStack() as stack:
            client = open_client(stack, args.scheduler, args.workers, args.threads)
            where = args.scheduler or f"a LocalCluster of {args.workers} worker processes"
            say(f"computing on {where}; dashboard: {client.dashboard_link}")
            summary = run_job(client, dataset, out, periods, args.symbols_per_partition,
                              show_progress=not args.no_progress)
    except UniverseError as exc:
        say(f"error: {exc}")
        return 2
    say(f"{summary.symbols:,} symbols, {summary.rows:,} rows in {summary.partitions} partitions: "
        f"{summary.seconds:.2f} s, {summary.rows / summary.seconds:,.0f} rows/s "
        "(reading, computing and writing)")
    print(f"output: {summary.output}/symbol=NAME/*.parquet "
          f"(columns date, close, {', '.join(OUTPUTS)})")
    if args.verify:
        bad = differing_symbols(read_output(out), compute_serial(dataset, periods))
        if bad:
            say(f"MISMATCH with a serial run for {len(bad)} symbols, e.g. {bad[:5]}")
            return 1
        say(f"identical bit for bit to a serial run, symbol by symbol ({summary.symbols} symbols)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
