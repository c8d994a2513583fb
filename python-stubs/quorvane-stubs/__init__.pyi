"""Type information for the quorvane extension module.

Every function fills caller-allocated, one-dimensional, contiguous float64
arrays in place and returns None. Arguments may be given by position or by
keyword.
"""

from typing import Any, SupportsIndex

import numpy as np

__all__ = ["indicator_sma", "indicator_ema", "indicator_macd", "indicator_atr"]

_Float64Array = np.ndarray[Any, np.dtype[np.float64]]

def indicator_sma(period: SupportsIndex, data: _Float64Array, output: _Float64Array) -> None:
    """Simple moving average of ``data`` over ``period`` values, written into ``output``."""

def indicator_ema(period: SupportsIndex, data: _Float64Array, output: _Float64Array) -> None:
    """Exponential moving average of ``data`` (alpha = 2 / (period + 1)), written into ``output``."""

def indicator_macd(
    fast_period: SupportsIndex,
    slow_period: SupportsIndex,
    signal_period: SupportsIndex,
    data: _Float64Array,
    macd_output: _Float64Array,
    signal_output: _Float64Array,
    hist_output: _Float64Array,
) -> None:
    """MACD line, signal line and histogram of ``data``, written into the three outputs."""

def indicator_atr(
    period: SupportsIndex,
    high: _Float64Array,
    low: _Float64Array,
    close: _Float64Array,
    output: _Float64Array,
) -> None:
    """Average true range of the bars ``high``, ``low``, ``close``, written into ``output``."""
