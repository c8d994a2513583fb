// Indicator kernels: plain loops over runs of doubles. No Python, no allocation.
#pragma once

#include <cstddef>
#include <span>

namespace quorvane {

using InputRun = std::span<const double>;
using OutputRun = std::span<double>;

// Every kernel writes only inside its output runs; an index outside one is an
// internal fault. Positions without a value get the quiet NaN 0x7FF8000000000000.

// Simple moving average over a trailing window of `period` values.
void compute_sma(std::size_t period, InputRun data, OutputRun output);

// Exponential moving average, seeded with the mean of the first window of
// `period` consecutive finite values; later non-finite values are passed over.
void compute_ema(std::size_t period, InputRun data, OutputRun output);

// MACD line, signal line and histogram. Caller guarantees
// 1 <= fast_period < slow_period, signal_period >= 1, and outputs of data.size().
void compute_macd(std::size_t fast_period, std::size_t slow_period, std::size_t signal_period,
                  InputRun data, OutputRun macd_output, OutputRun signal_output,
                  OutputRun hist_output);

// Average true range. Caller guarantees high, low, close and output of one length.
void compute_atr(std::size_t period, InputRun high, InputRun low, InputRun close,
                 OutputRun output);

}  // namespace quorvane
