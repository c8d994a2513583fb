// The floor: the least work each indicator's arithmetic allows. Every loop
// below keeps exactly the loop-carried dependency of its kernel (the values
// must be produced in order) and drops everything else: no warm-up, no NaN
// bookkeeping, no seeding. Built with the module's flags, so the compiler may
// not fuse a multiply and an add or reassociate the chain.
//
// Called through ctypes by the benchmark; each function writes every position
// of its outputs from the first window on, as the kernels do.

#include <cmath>
#include <cstddef>

namespace {

// TR[i] for i >= 1: the largest of the bar's own range and its distances from
// the previous close, passing over a NaN operand.
inline double pass_nan_max(double a, double b) {
    if (a != a) return b;
    if (b != b) return a;
    return b > a ? b : a;
}

inline double true_range(const double* high, const double* low, const double* close,
                         std::size_t i) {
    const double prev = close[i - 1];
    const double hl = high[i] - low[i];
    const double hc = std::fabs(high[i] - prev);
    const double lc = std::fabs(low[i] - prev);
    return pass_nan_max(pass_nan_max(hl, hc), lc);
}

}  // namespace

extern "C" {

// One addition per element on the chain; the difference of the entering and
// the leaving value is formed off it.
void floor_sma(const double* data, double* out, std::size_t n, std::size_t period) {
    if (period == 0 || period > n) return;
    const double r = 1.0 / static_cast<double>(period);
    double sum = -0.0;
    for (std::size_t k = 0; k < period; ++k) sum += data[k];
    out[period - 1] = r * sum;
    for (std::size_t i = period; i < n; ++i) {
        sum = sum + (data[i] - data[i - period]);
        out[i] = r * sum;
    }
}

// A multiply and an add per element on the chain.
void floor_ema(const double* data, double* out, std::size_t n, std::size_t period) {
    if (period == 0 || period > n) return;
    const double alpha = 2.0 / (static_cast<double>(period) + 1.0);
    const double beta = 1.0 - alpha;
    double e = data[0];
    for (std::size_t i = 1; i < n; ++i) {
        e = e * beta + data[i] * alpha;
        out[i] = e;
    }
}

// Two independent averages, their difference, and a third average of it.
void floor_macd(const double* data, double* macd, double* signal, double* hist, std::size_t n,
                std::size_t fast, std::size_t slow, std::size_t sig) {
    if (n == 0 || fast == 0 || slow == 0 || sig == 0) return;
    const double af = 2.0 / (static_cast<double>(fast) + 1.0), bf = 1.0 - af;
    const double as = 2.0 / (static_cast<double>(slow) + 1.0), bs = 1.0 - as;
    const double ag = 2.0 / (static_cast<double>(sig) + 1.0), bg = 1.0 - ag;
    double ef = data[0], es = data[0], eg = 0.0;
    for (std::size_t i = 1; i < n; ++i) {
        ef = ef * bf + data[i] * af;
        es = es * bs + data[i] * as;
        const double m = ef - es;
        eg = eg * bg + m * ag;
        macd[i] = m;
        signal[i] = eg;
        hist[i] = m - eg;
    }
}

// A subtraction, a multiply and an add per element on the chain; the true
// range itself is formed off it.
void floor_atr(const double* high, const double* low, const double* close, double* out,
               std::size_t n, std::size_t period) {
    if (period == 0 || n <= period) return;
    const double r = 1.0 / static_cast<double>(period);
    double atr = true_range(high, low, close, 1);
    for (std::size_t i = 2; i < n; ++i) {
        atr = atr + (true_range(high, low, close, i) - atr) * r;
        out[i] = atr;
    }
}

}  // extern "C"
