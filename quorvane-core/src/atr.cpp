// Average true range: the mean of the first `period` true ranges, then moved
// by 1/period of the gap to each new true range.
#include <cmath>
#include <cstddef>

#include "kernel_support.hpp"
#include "quorvane/kernels.hpp"

namespace quorvane {

using detail::kNaN;

namespace {

// The larger of a and b, passing over a NaN operand (b when a is NaN, a when
// b is NaN); a when they are equal.
inline double max_over_nan(double a, double b) {
    // b > a ? b : a is a single max instruction on x86 (a on ties and when
    // either is NaN); only a NaN `a` is left to a rarely taken branch.
    const double larger = b > a ? b : a;
    return a != a ? b : larger;
}

// True range of bar i >= 1: reads high[i], low[i] and close[i - 1] only.
inline double true_range(InputRun high, InputRun low, InputRun close, std::size_t i) {
    const double previous_close = close[i - 1];
    const double range = high[i] - low[i];
    const double up = std::fabs(high[i] - previous_close);
    const double down = std::fabs(low[i] - previous_close);
    return max_over_nan(max_over_nan(range, up), down);
}

}  // namespace

void compute_atr(std::size_t period, InputRun high, InputRun low, InputRun close,
                 OutputRun output) {
    const std::size_t n = high.size();
    const std::size_t m = output.size();
    const OutputRun out = output;

    if (period == 0 || n <= period) {
        out.fill(0, m, kNaN);
        return;
    }
    // Bars 1 .. n - 1 are read (close up to n - 2); positions up to n - 1 written.
    detail::check_index(n - 1, m);
    detail::check_index(n - 1, low.size());
    detail::check_index(n - 2, close.size());

    // Positions period .. n - 1 all get a value; only the others need the NaN.
    out.fill(0, period, kNaN);
    out.fill(n, m - n, kNaN);

    const InputRun h = high;
    const InputRun l = low;
    const InputRun c = close;

    double sum = 0.0;
    for (std::size_t i = 1; i <= period; ++i) sum = detail::add_first_nan(sum, true_range(h, l, c, i));
    const double divisor = static_cast<double>(period);
    double atr = sum / divisor;
    out.store(period, atr);

    const double r = 1.0 / divisor;
    for (std::size_t i = period + 1; i < n; ++i) {
        atr = detail::add_first_nan(atr, (true_range(h, l, c, i) - atr) * r);
        out.store(i, atr);
    }
}

}  // namespace quorvane
