"""The demo (examples/demo.py) on small CSV files: what it refuses, what it
notes, and the chart it writes. Needs pandas and matplotlib
(tests/requirements-optional.txt); skipped where they are missing."""

import importlib
import importlib.machinery
import os
import stat
import sys
import types
from pathlib import Path

import numpy as np
import pytest

for _name in ("pandas", "matplotlib"):
    try:
        importlib.import_module(_name)
    except ImportError:
        pytest.skip(f"the demo needs {_name}, which is not installed here "
                    "(tests/requirements-optional.txt)", allow_module_level=True)

import matplotlib  # noqa: E402

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
from matplotlib.collections import PolyCollection  # noqa: E402
from matplotlib.patches import Rectangle  # noqa: E402

DEMO = Path(__file__).resolve().parent.parent / "examples" / "demo.py"


@pytest.fixture(scope="module")
def demo():
    loader = importlib.machinery.SourceFileLoader("quorvane_demo", str(DEMO))
    module = types.ModuleType(loader.name)
    module.__file__ = str(DEMO)
    sys.modules[loader.name] = module  # its dataclasses look themselves up there
    try:
        loader.exec_module(module)
        yield module
    finally:
        del sys.modules[loader.name]


def write_csv(path, rows, dates=True, edit=None):
    """`rows` daily bars of a random walk from 2024-01-01; `edit(lines)` may
    change the data lines (lists of cells) before they are written."""
    rng = np.random.default_rng(rows)
    close = 100.0 + np.cumsum(rng.normal(0.0, 1.0, rows))
    days = np.datetime64("2024-01-01") + np.arange(rows)
    lines = [[str(d), f"{c:.2f}", f"{c + 1:.2f}", f"{c - 1:.2f}", f"{c:.2f}"] for d, c in zip(days, close)]
    if edit:
        edit(lines)
    header = ["Date", "Open", "High", "Low", "Close"]
    if not dates:
        header, lines = header[1:], [line[1:] for line in lines]
    path.write_text("\n".join(",".join(cells) for cells in [header, *lines]) + "\n")
    return path


def run(demo, capsys, *argv):
    code = demo.main([str(a) for a in argv])
    out, err = capsys.readouterr()
    return code, out, err


# --------------------------------------------------------------- input refused

def set_cell(row, value):
    def edit(lines):
        lines[row][0] = value
    return edit


def swap_dates(a, b):
    def edit(lines):
        lines[a][0], lines[b][0] = lines[b][0], lines[a][0]
    return edit


@pytest.mark.parametrize(
    ("edit", "message"),
    [
        # data row 4 is line 6 of the file: the header is line 1
        (set_cell(4, ""), "column 'Date', line 6: the date is empty"),
        (set_cell(4, "   "), "column 'Date', line 6: the date is empty"),
        (set_cell(7, "2024-01-07"),
         "column 'Date', line 9: '2024-01-07' repeats the date of line 8; the demo needs one row per date"),
        (swap_dates(9, 10),
         "column 'Date', line 12: '2024-01-10' comes after '2024-01-11'; "
         "the demo needs the rows in time order, oldest first"),
        (lambda lines: lines.reverse(),
         "column 'Date', line 3: the rows are newest first ('2024-01-29' after '2024-01-30'); "
         "the demo needs them oldest first"),
        (set_cell(0, "soon"), "column 'Date', line 2: cannot read 'soon' as a date"),
    ],
    ids=["empty", "blank", "duplicate", "unsorted", "newest-first", "unreadable"],
)
def test_bad_dates_are_refused_on_one_line_and_nothing_is_written(demo, capsys, tmp_path, edit, message):
    csv = write_csv(tmp_path / "prices.csv", 30, edit=edit)
    charts = tmp_path / "charts"
    code, out, err = run(demo, capsys, csv, "-o", charts)
    assert code == 2
    assert err.splitlines()[-2:] == [f"demo: error: {csv}: {message}", "demo: nothing was written"]
    assert out == ""
    assert not charts.exists()


@pytest.mark.parametrize("value", ["-5", "-1", "x"])
def test_chart_bars_must_be_a_whole_number_not_below_zero(demo, capsys, value):
    with pytest.raises(SystemExit) as exit:
        demo.parse_args(["--chart-bars", value])
    assert exit.value.code == 2
    assert "argument --chart-bars:" in capsys.readouterr().err


# --------------------------------------------------------------- notes

@pytest.mark.parametrize(
    ("rows", "argv", "edit", "note"),
    [
        # defaults: SMA(50), EMA(20), MACD(12,26,9), ATR(14)
        (30, [], None,
         "30 bars are too few for SMA(50) (needs 50), Signal(9) (needs 34) and Hist (needs 34): "
         "those columns have no value"),
        (10, [], None,
         "10 bars are too few for SMA(50) (needs 50), EMA(20) (needs 20), MACD(12,26) (needs 26), "
         "Signal(9) (needs 34), Hist (needs 34) and ATR(14) (needs 15): those columns have no value"),
        (14, ["--sma", "5", "--ema", "5", "--macd", "2", "3", "2"], None,
         "14 bars are too few for ATR(14) (needs 15): those columns have no value"),
        # a missing close in the first MACD window: the MACD outputs stay empty
        (40, ["--sma", "3"], lambda lines: lines[3].__setitem__(4, ""),
         "missing or infinite prices leave no value in MACD(12,26), Signal(9) and Hist"),
    ],
    ids=["signal-short", "all-short", "atr-short", "missing-price"],
)
def test_outputs_without_any_value_are_all_named(demo, capsys, tmp_path, rows, argv, edit, note):
    csv = write_csv(tmp_path / "prices.csv", rows, edit=edit)
    code, out, err = run(demo, capsys, csv, "-o", tmp_path, *argv)
    assert code == 0, err
    assert [line for line in err.splitlines() if "note:" in line] == [f"demo: note: {note}"]


def test_no_note_when_every_output_has_a_value(demo, capsys, tmp_path):
    csv = write_csv(tmp_path / "prices.csv", 50)
    code, _, err = run(demo, capsys, csv, "-o", tmp_path)
    assert code == 0, err
    assert "note:" not in err


# --------------------------------------------------------------- the chart

@pytest.mark.parametrize("umask", [0o022, 0o077, 0o002], ids=oct)
def test_chart_gets_the_mode_of_a_new_file(demo, capsys, tmp_path, umask):
    csv = write_csv(tmp_path / "prices.csv", 40)
    chart = tmp_path / "chart.png"
    old = os.umask(umask)
    try:
        code, out, err = run(demo, capsys, csv, "-o", chart)
    finally:
        os.umask(old)
    assert code == 0, err
    assert stat.S_IMODE(chart.stat().st_mode) == 0o666 & ~umask
    assert chart.read_bytes().startswith(b"\x89PNG")
    assert [p.name for p in tmp_path.iterdir() if p.name.startswith(".demo-")] == []


@pytest.fixture
def drawn(demo, capsys, tmp_path, monkeypatch):
    """Runs the demo and returns its figure, drawn, instead of closing it."""
    figures, close = [], plt.close
    monkeypatch.setattr(plt, "close", figures.append)

    def draw(rows, *argv, dates=True):
        csv = write_csv(tmp_path / "prices.csv", rows, dates=dates)
        code, _, err = run(demo, capsys, csv, "-o", tmp_path / "chart.png", *argv)
        assert code == 0, err
        (figure,) = figures[-1:]
        figure.canvas.draw()
        return figure

    yield draw
    for figure in figures:
        close(figure)


@pytest.mark.parametrize(
    ("rows", "argv", "dates"),
    [
        (30, [], True),
        (300, ["--chart-bars", "0"], True),
        (600, ["--chart-bars", "0"], True),
        (600, ["--chart-bars", "0"], False),
        (600, [], False),
    ],
    ids=["30-dated", "300-all", "600-all", "600-all-rows", "600-last-250-rows"],
)
def test_histogram_stays_visible_at_any_length(drawn, rows, argv, dates):
    figure = drawn(rows, *argv, dates=dates)
    macd = figure.axes[1]
    bars = [p for p in macd.patches if isinstance(p, Rectangle)]
    if bars:
        # no hairlines: every bar at least 1.5 pixels wide
        widths = [p.get_window_extent().width for p in bars]
        assert min(widths) >= 1.5
    else:
        # too many bars for that: filled areas above and below zero
        areas = [c for c in macd.collections if isinstance(c, PolyCollection)]
        assert len(areas) == 2
        assert all(a.get_paths() for a in areas)


def test_legends_stand_beside_the_panels_and_the_histogram_shows_both_colours(drawn):
    figure = drawn(300)
    for ax in figure.axes:
        legend = ax.get_legend()
        # nothing of the legend inside the panel, so it covers no line
        assert legend.get_window_extent().x0 >= ax.get_window_extent().x1
    legend = figure.axes[1].get_legend()
    assert legend.texts[0].get_text() == "Histogram"
    swatches = [a for a in legend.findobj(Rectangle) if a.get_width() < legend.get_window_extent().width / 2]
    colours = {matplotlib.colors.to_hex(a.get_facecolor(), keep_alpha=False) for a in swatches}
    assert {"#2ca02c", "#d62728"} <= colours
