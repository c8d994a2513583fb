// MACD: fast EMA minus slow EMA, its signal EMA and the histogram. Both
// averages are seeded from the windows ending at the first index past the
// warm-up span whose value is not NaN, and seeded again whenever the fast
// average is NaN there. Only NaN counts as missing; infinities are values.
#include <algorithm>
#include <cstddef>

#include "kernel_support.hpp"
#include "quorvane/fault.hpp"
#include "quorvane/kernels.hpp"

namespace quorvane {

using detail::is_finite;
using detail::kNaN;
using detail::quieted;

namespace {

struct Smoothing {
    double alpha;
    double complement;

    explicit Smoothing(std::size_t period)
        : alpha(2.0 / (static_cast<double>(period) + 1.0)), complement(1.0 - alpha) {}

    // x * alpha is never NaN where x is not, so plain addition is exact here.
    double update(double average, double x) const { return average * complement + x * alpha; }

    // Both products may be NaN (an infinite average times a zero complement,
    // and a NaN x).
    double update_nan(double average, double x) const {
        return detail::add_first_nan(average * complement, x * alpha);
    }
};

// in[last] + in[last - 1] + ... + in[last - length + 1], newest first, from -0.0.
double window_sum(InputRun in, std::size_t last, std::size_t length) {
    double sum = -0.0;
    for (std::size_t k = 0; k < length; ++k) sum = detail::add_first_nan(sum, in[last - k]);
    return sum;
}

// Where a NaN, +inf and -inf were last read, as index + 1 (0: never).
struct Sightings {
    std::size_t nan = 0;
    std::size_t pos_inf = 0;
    std::size_t neg_inf = 0;

    void note_non_finite(double x, std::size_t i) {
        if (x != x) {
            nan = i + 1;
        } else if (x > 0.0) {
            pos_inf = i + 1;
        } else {
            neg_inf = i + 1;
        }
    }

    // For the window from in[first] to the value read last: when it holds
    // what makes its newest-first sum NaN, sets `sum` to exactly that NaN and
    // returns true; false means the window has to be summed.
    //
    // Adding newest first, the sum turns NaN either at the newest NaN of the
    // window (then it is that NaN, quieted) or earlier, when both infinities
    // were met before it (then it is the NaN the hardware generates for
    // +inf + -inf, which every later addition keeps, add_first_nan). Without infinities
    // newer than the NaN, the values before it add up to a finite number or
    // an overflowed infinity, never to a NaN. With infinities of one sign
    // only, an overflow to the other one could still turn it NaN early: sum.
    bool nan_sum(InputRun in, std::size_t first, double& sum) const {
        if (nan > first) {
            const bool pos_newer = pos_inf > nan;
            const bool neg_newer = neg_inf > nan;
            if (pos_newer && neg_newer) {
                sum = in[pos_inf - 1] + in[neg_inf - 1];
                return true;
            }
            if (!pos_newer && !neg_newer) {
                sum = quieted(in[nan - 1]);
                return true;
            }
            return false;
        }
        if (pos_inf > first && neg_inf > first) {
            sum = in[pos_inf - 1] + in[neg_inf - 1];
            return true;
        }
        return false;
    }
};

struct Periods {
    std::size_t fast;
    std::size_t slow;
    std::size_t signal;
};

// The seeds use what was seen while reading the data: no output shares its
// memory, so the values read stay as they were.
void run_macd(Periods periods, InputRun in, std::size_t n, OutputRun macd_out,
              OutputRun signal_out, OutputRun hist_out) {
    const Smoothing fast_smoothing(periods.fast);
    const Smoothing slow_smoothing(periods.slow);
    const Smoothing signal_smoothing(periods.signal);
    const double fast_divisor = static_cast<double>(periods.fast);
    const double slow_divisor = static_cast<double>(periods.slow);

    Sightings seen;
    auto seed = [&](std::size_t i, std::size_t period, double divisor) {
        double sum;
        if (!seen.nan_sum(in, i + 1 - period, sum)) sum = window_sum(in, i, period);
        return sum / divisor;
    };

    std::size_t i = 0;
    const std::size_t warm_up = std::min(n, periods.slow - 1);
    for (; i < warm_up; ++i) {
        const double x = in[i];
        if (!is_finite(x)) [[unlikely]] seen.note_non_finite(x, i);
        macd_out.store(i, kNaN);
        signal_out.store(i, kNaN);
        hist_out.store(i, kNaN);
    }

    double fast = kNaN;
    double slow = kNaN;
    double signal = kNaN;
    for (; i < n; ++i) {
        const double x = in[i];
        if (!is_finite(x)) [[unlikely]] {
            seen.note_non_finite(x, i);
            if (x != x) {
                macd_out.store(i, kNaN);
                signal_out.store(i, kNaN);
                hist_out.store(i, kNaN);
                continue;
            }
        }

        if (fast != fast) [[unlikely]] {
            fast = seed(i, periods.fast, fast_divisor);
            // A NaN fast seed makes this index's outputs the fast seed's NaN
            // (the first operand of fast - slow) whatever the slow seed is,
            // and the next index that gets here seeds both again before the
            // slow average is read: the slow window need not be summed.
            slow = fast == fast ? seed(i, periods.slow, slow_divisor) : fast;
        } else {
            fast = fast_smoothing.update(fast, x);
            slow = slow_smoothing.update(slow, x);
        }

        const double macd = fast - slow;
        macd_out.store(i, macd);

        if (signal != signal) {
            // i >= slow + signal - 2, formed without wrap-around.
            if (i - (periods.slow - 1) >= periods.signal - 1) signal = macd;
        } else {
            signal = signal_smoothing.update_nan(signal, macd);
        }
        signal_out.store(i, signal);
        hist_out.store(i, signal != signal ? kNaN : macd - signal);
    }
}

}  // namespace

void compute_macd(std::size_t fast_period, std::size_t slow_period, std::size_t signal_period,
                  InputRun data, OutputRun macd_output, OutputRun signal_output,
                  OutputRun hist_output) {
    const std::size_t n = data.size();
    if (n == 0) return;
    if (fast_period == 0 || fast_period >= slow_period || signal_period == 0) {
        report_fault("MACD periods must satisfy 1 <= fast < slow and signal >= 1");
    }
    // Every position written is at most n - 1.
    detail::check_index(n - 1, macd_output.size());
    detail::check_index(n - 1, signal_output.size());
    detail::check_index(n - 1, hist_output.size());

    const Periods periods{fast_period, slow_period, signal_period};
    run_macd(periods, data, n, macd_output, signal_output, hist_output);
}

}  // namespace quorvane
