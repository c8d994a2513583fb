"""The universe job of examples/universe_dask.py on a two-process Dask cluster:
same bits as a serial run, the documented NaNs for gaps and short symbols,
and one-line errors for bad input with nothing written."""

import logging
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

for _name in ("pandas", "pyarrow", "dask.dataframe", "distributed"):
    pytest.importorskip(_name, reason=f"the universe job needs {_name.split('.')[0]}")

import pandas as pd  # noqa: E402
from distributed import Client, LocalCluster  # noqa: E402

EXAMPLES = Path(__file__).resolve().parent.parent / "examples"
sys.path.insert(0, str(EXAMPLES))
import make_universe  # noqa: E402
import universe_dask as job  # noqa: E402

PERIODS = job.Periods()  # SMA 50, EMA 20, MACD 12/26/9, ATR 14


@pytest.fixture(scope="module")
def client():
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                      dashboard_address=None, silence_logs=logging.CRITICAL) as cluster, \
            Client(cluster) as c:
        yield c


def bars(n, seed=1, start="2020-01-01"):
    rng = np.random.default_rng(seed)
    close = 100.0 * np.exp(np.cumsum(rng.normal(0, 0.01, n)))
    return pd.DataFrame({"date": pd.bdate_range(start, periods=n), "open": close,
                         "high": close * 1.01, "low": close * 0.99, "close": close,
                         "volume": np.full(n, 1e6)})


def put(root, symbol, frame):
    folder = Path(root) / f"symbol={symbol}"
    folder.mkdir(parents=True, exist_ok=True)
    frame.to_parquet(folder / "bars.parquet", index=False)


GAP = 60  # index of the missing close in GAPPY


@pytest.fixture(scope="module")
def universe(tmp_path_factory):
    """The smoke universe (random walks only, whether or not backtesting is
    installed), plus symbols with a known gap, too few bars, integer prices."""
    root = make_universe.build(tmp_path_factory.mktemp("u") / "smoke", "smoke", quiet=True,
                               samples=False)
    gappy = bars(200, seed=2)
    gappy.loc[GAP, "close"] = np.nan
    put(root, "GAPPY", gappy)
    put(root, "SHORT", bars(5, seed=3))
    ints = bars(120, seed=4)
    put(root, "INTS", ints.assign(**{c: (ints[c] * 100).round().astype("int64")
                                    for c in ("open", "high", "low", "close")}))
    return root


@pytest.fixture(scope="module")
def written(client, universe, tmp_path_factory):
    out = tmp_path_factory.mktemp("o") / "indicators"
    summary = job.run_job(client, universe, out, PERIODS, per_partition=8, show_progress=False)
    return summary, job.read_output(out)


def test_cluster_result_is_the_serial_result_bit_for_bit(universe, written):
    summary, result = written
    serial = job.compute_serial(universe, PERIODS)
    assert summary.partitions > 2 and summary.symbols == len(serial) == 53
    assert summary.rows == sum(len(f) for f in serial.values())
    assert sorted(result) == sorted(serial)
    assert job.differing_symbols(result, serial) == []
    # the temporary directory was moved into place, nothing else left beside it
    assert [p.name for p in summary.output.parent.iterdir()] == [summary.output.name]


def test_gaps_and_short_symbols_give_the_documented_nans(written):
    _, result = written
    short = result["SHORT"]
    assert len(short) == 5
    assert short[list(job.OUTPUTS)].isna().all().all()

    g = result["GAPPY"]
    nan = g.isna()
    # SMA: values from period-1 up to the gap, NaN from the gap to the end
    assert nan["sma"][:49].all() and not nan["sma"][49:GAP].any() and nan["sma"][GAP:].all()
    # EMA and MACD skip the missing close: NaN there only
    for col in ("ema", "macd", "macd_signal", "macd_hist"):
        assert nan[col][GAP] and not nan[col][GAP + 1:].any(), col
    # ATR: a missing close leaves the true range to high - low: no NaN after the warm-up
    assert nan["atr"][:14].all() and not nan["atr"][14:].any()

    ints = result["INTS"]
    assert ints["close"].iloc[0] == round(ints["close"].iloc[0]) and not ints["atr"][14:].isna().any()


def unsorted(f):
    f.loc[[10, 11], "date"] = f.loc[[11, 10], "date"].to_numpy()
    return f


def repeated(f):
    f.loc[7, "date"] = f.loc[6, "date"]
    return f


BAD = [
    ("unsorted", unsorted, r"symbol BAD: column 'date' is not in order at row 11 \(2020-01-15 after 2020-01-16\)"),
    ("duplicate", repeated, r"symbol BAD: column 'date' repeats 2020-01-09 at row 7"),
    ("missing column", lambda f: f.drop(columns="low"), r"symbol BAD: missing column 'low'"),
    ("text prices", lambda f: f.assign(close=f["close"].astype(str)),
     r"symbol BAD: column 'close' is not numeric \((string|large_string)\)"),
    ("text dates", lambda f: f.assign(date=f["date"].astype(str)),
     r"symbol BAD: column 'date' is not a date or timestamp \((string|large_string)\)"),
]


@pytest.mark.parametrize("spoil, message", [case[1:] for case in BAD], ids=[c[0] for c in BAD])
def test_bad_symbol_stops_the_job_and_writes_nothing(client, tmp_path, spoil, message):
    data = tmp_path / "data"
    put(data, "BAD", spoil(bars(40)))
    # BAD is read first; the other partitions are still being computed and
    # written when it fails, and must not leave anything behind either
    for i in range(1, 8):
        put(data, f"S{i}", bars(400, seed=i))
    out = tmp_path / "result"
    out.mkdir()
    (out / "previous-run.txt").write_text("kept")

    with pytest.raises(job.UniverseError, match=f"^{message}$") as raised:
        job.run_job(client, data, out, PERIODS, per_partition=1, show_progress=False)
    assert "\n" not in str(raised.value)
    assert sorted(p.name for p in tmp_path.iterdir()) == ["data", "result"]
    assert [p.name for p in out.iterdir()] == ["previous-run.txt"]


@pytest.mark.parametrize("layout, message", [
    ("absent", "{path}: no such dataset"),
    ("empty", "{path}: no symbol=NAME/ folders in it"),
    ("file", "{path}: not a directory of symbol=NAME/ folders"),
])
def test_unusable_dataset_is_one_line_before_any_cluster_starts(tmp_path, layout, message):
    path = tmp_path / "dataset"
    if layout == "empty":
        path.mkdir()
    elif layout == "file":
        path.write_text("")
    out = tmp_path / "out"
    run = subprocess.run([sys.executable, str(EXAMPLES / "universe_dask.py"), "--data", str(path),
                          "--out", str(out), "--no-progress"],
                         capture_output=True, text=True, timeout=120)
    assert run.returncode == 2
    assert run.stderr == f"universe_dask: error: {message.format(path=path)}\n"
    assert run.stdout == "" and not out.exists()
