// Simple moving average: a window sum carried along the series and scaled by
// the reciprocal of the period.
#include <cstddef>

#include "kernel_support.hpp"
#include "quorvane/kernels.hpp"

namespace quorvane {

using detail::kNaN;

void compute_sma(std::size_t period, InputRun data, OutputRun output) {
    const std::size_t n = data.size();
    const std::size_t m = output.size();
    const OutputRun out = output;

    // Period 0 and periods longer than the series both wrap to >= n here.
    if (period - 1 >= n) {
        out.fill(0, m, kNaN);
        return;
    }
    // Every position written below is at most n - 1.
    detail::check_index(n - 1, m);

    const InputRun in = data;
    const std::size_t p = period;

    // Positions p - 1 .. n - 1 all get a value; only the others need the NaN.
    out.fill(0, p - 1, kNaN);
    out.fill(n, m - n, kNaN);

    double sum = -0.0;
    for (std::size_t k = 0; k < p; ++k) sum = detail::add_first_nan(sum, in[k]);
    const double r = 1.0 / static_cast<double>(p);
    out.store(p - 1, r * sum);

    // The entering minus the leaving value, added to the carried sum.
    auto step = [&](std::size_t i) {
        sum = detail::add_first_nan(sum, in[i] - in[i - p]);
        out.store(i, r * sum);
    };

    std::size_t i = p;
    const std::size_t updates = n - p;
    if (updates > 63) {
        // Same chain of operations, eight positions per iteration.
        const std::size_t block_end = n - updates % 8;
        for (; i < block_end; i += 8) {
            step(i);
            step(i + 1);
            step(i + 2);
            step(i + 3);
            step(i + 4);
            step(i + 5);
            step(i + 6);
            step(i + 7);
        }
    }
    for (; i < n; ++i) step(i);
}

}  // namespace quorvane
