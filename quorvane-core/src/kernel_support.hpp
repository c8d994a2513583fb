// Helpers shared by the indicator kernels: the NaN they write, the finiteness
// test, output index checks and the start of a moving average.
#pragma once

#include <bit>
#include <cfloat>
#include <cstddef>
#include <cstdint>
#include <source_location>

#include "quorvane/kernels.hpp"

// Every result is defined to the bit. Arithmetic on doubles must round each
// operation to double: with excess precision (x87 arithmetic on 32-bit x86,
// FLT_EVAL_METHOD 2) intermediate values round twice and the last bits of the
// results change. CMakeLists.txt asks for SSE2 arithmetic on 32-bit x86.
#if !defined(FLT_EVAL_METHOD) || FLT_EVAL_METHOD != 0
#error "double arithmetic with excess precision (FLT_EVAL_METHOD != 0) would change results bit for bit; build with SSE2 arithmetic (-msse2 -mfpmath=sse on 32-bit x86)"
#endif

namespace quorvane::detail {

// The quiet NaN written into every position without a value.
inline constexpr double kNaN = std::bit_cast<double>(0x7FF8000000000000ULL);

inline constexpr std::uint64_t kExponentBits = 0x7FF0000000000000ULL;

// Neither NaN nor an infinity: not all eleven exponent bits set.
inline bool is_finite(double value) {
    return (std::bit_cast<std::uint64_t>(value) & kExponentBits) != kExponentBits;
}

// A NaN with its quiet bit set, as arithmetic passes it on.
inline double quieted(double nan) {
    return std::bit_cast<double>(std::bit_cast<std::uint64_t>(nan) | 0x0008000000000000ULL);
}

// a + b, where a NaN `a` wins over a NaN `b`.
//
// When both operands of an addition are NaN, IEEE 754 leaves open which one
// comes out. x86 returns the first operand, but the compiler may swap the
// operands of an addition as it allocates registers (it does, differently in
// an unrolled loop and in its remainder), so the order is fixed here. Use it
// wherever both operands can be NaN; it costs nothing over a plain addition.
inline double add_first_nan(double a, double b) {
#if defined(__SSE2_MATH__) && defined(__AVX__)
    double sum;
    asm("vaddsd %2, %1, %0" : "=x"(sum) : "x"(a), "xm"(b));
    return sum;
#elif defined(__SSE2_MATH__)
    asm("addsd %1, %0" : "+x"(a) : "xm"(b));
    return a;
#else
    const double sum = a + b;
    return a != a ? quieted(a) : sum;
#endif
}

// The report of an index outside a run; never returns.
[[noreturn]] [[gnu::cold]] void report_index_fault(std::size_t index, std::size_t length,
                                                   std::source_location where);

// An index into a run of `length` doubles must be below `length`.
inline void check_index(std::size_t index, std::size_t length,
                        std::source_location where = std::source_location::current()) {
    if (index >= length) [[unlikely]] report_index_fault(index, length, where);
}

// The start of a moving average over windows of `period` values of a series
// of n values written into `out`. Returns false when no window fits (period 0,
// or longer than the series): every position of `out` is then NaN. Otherwise
// returns true with every position the average may write (below n) checked to
// lie in `out`, and the positions beyond the series (n and up) set to NaN.
inline bool start_moving_average(std::size_t period, std::size_t n, OutputRun out,
                                 std::source_location where = std::source_location::current()) {
    const std::size_t m = out.size();
    // Period 0 and periods longer than the series both wrap to >= n here.
    if (period - 1 >= n) {
        out.fill(0, m, kNaN);
        return false;
    }
    check_index(n - 1, m, where);
    out.fill(n, m - n, kNaN);
    return true;
}

}  // namespace quorvane::detail
