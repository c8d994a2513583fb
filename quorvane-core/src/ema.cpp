// Exponential moving average: seeded with the mean of the first window of
// `period` consecutive finite values; non-finite values after it are passed
// over without touching the average.
#include <cstddef>

#include "kernel_support.hpp"
#include "quorvane/kernels.hpp"

namespace quorvane {

using detail::is_finite;
using detail::kNaN;

void compute_ema(std::size_t period, InputRun data, OutputRun output) {
    const std::size_t n = data.size();
    if (!detail::start_moving_average(period, n, output)) return;

    const InputRun in = data;
    const OutputRun out = output;
    const std::size_t p = period;
    // Each position below n is written once below, NaN or value.

    // First window of p finite values. No window that starts at or before a
    // non-finite value can succeed, so the search resumes right after it;
    // it stops as soon as too few values remain.
    std::size_t run = 0;
    std::size_t j = 0;
    while (run < p && n - j >= p - run) {
        run = is_finite(in[j]) ? run + 1 : 0;
        ++j;
    }
    if (run < p) {
        out.fill(0, n, kNaN);
        return;
    }
    // The window is in[j - p] .. in[j - 1].
    out.fill(0, j - 1, kNaN);

    double sum = -0.0;
    for (std::size_t k = j - p; k < j; ++k) sum = sum + in[k];
    double average = sum / static_cast<double>(p);
    out.store(j - 1, average);

    const double alpha = 2.0 / (static_cast<double>(p) + 1.0);
    const double beta = 1.0 - alpha;
    for (; j < n; ++j) {
        const double x = in[j];
        if (is_finite(x)) {
            // Only the first product can be NaN (an infinite average times a
            // zero beta), so the addition has at most one NaN operand.
            average = average * beta + x * alpha;
            out.store(j, average);
        } else {
            out.store(j, kNaN);
        }
    }
}

}  // namespace quorvane
