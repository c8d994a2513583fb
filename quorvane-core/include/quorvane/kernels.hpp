// Indicator kernels: plain loops over runs of doubles. No Python, no allocation.
#pragma once

#include <cstddef>

namespace quorvane {

// A double that may sit at any address: the compiler's under-aligned form of
// the type. An access through it is defined whatever the alignment, like a
// byte copy, and compiles to the same moves as a plain access (x86 has no
// aligned-only scalar double move). A memcpy would say the same, but GCC then
// passes stored values through integer registers, which costs MACD a tenth
// of its speed.
using unaligned_double [[gnu::aligned(1)]] = double;

// Runs of doubles at any address: an array's data pointer need not be a
// multiple of 8, so elements are only read and written as unaligned_double.
class OutputRun {
public:
    constexpr OutputRun() = default;
    OutputRun(void* data, std::size_t size) : data_(static_cast<std::byte*>(data)), size_(size) {}

    std::size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    std::byte* bytes() const { return data_; }

    void store(std::size_t index, double value) const {
        *reinterpret_cast<unaligned_double*>(data_ + index * sizeof(double)) = value;
    }
    // Positions first .. first + count - 1 set to `value`.
    void fill(std::size_t first, std::size_t count, double value) const {
        for (std::size_t i = first; i < first + count; ++i) store(i, value);
    }

private:
    std::byte* data_ = nullptr;
    std::size_t size_ = 0;
};

class InputRun {
public:
    constexpr InputRun() = default;
    InputRun(const void* data, std::size_t size)
        : data_(static_cast<const std::byte*>(data)), size_(size) {}
    // The same run, read only.
    InputRun(const OutputRun& run) : data_(run.bytes()), size_(run.size()) {}

    std::size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    const std::byte* bytes() const { return data_; }

    double operator[](std::size_t index) const {
        return *reinterpret_cast<const unaligned_double*>(data_ + index * sizeof(double));
    }

private:
    const std::byte* data_ = nullptr;
    std::size_t size_ = 0;
};

// Every kernel writes only inside its output runs; an index outside one is an
// internal fault. No output may share memory with an input or another output:
// the kernels read and write in whatever order is fastest. Positions without
// a value get the quiet NaN 0x7FF8000000000000.

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
