// Array arguments: the one-dimensional float64 type test, input series held
// under a shared borrow, output series written in place.
#pragma once

#include "errors.hpp"
#include "python.hpp"
#include "ref.hpp"
#include "registry.hpp"

#include <quorvane/kernels.hpp>

#include <cstddef>
#include <optional>
#include <string_view>

namespace quorvane {

// data, n, the byte stride and the flags of a one-dimensional float64 array,
// all from one reading of its fields.
struct ArrayView {
    char* data;
    std::size_t size;
    Py_ssize_t stride;
    int flags;
};

// Whole elements between neighbours, when the byte stride is a multiple of 8.
std::optional<std::ptrdiff_t> element_stride(const ArrayView& view);
// The run of a series that holds at most one value or has a byte stride of 8.
std::optional<OutputRun> contiguous_run(const ArrayView& view);

// A reference and a shared borrow, both given back by the destructor
// (the borrow first).
class InputSeries {
public:
    InputSeries(InputSeries&& other) noexcept;
    InputSeries& operator=(InputSeries&&) = delete;
    ~InputSeries();

    const ArrayView& view() const { return view_; }
    PyObject* array() const { return array_.get(); }
    // Whether the borrow sits in this module's own registry, whose operations
    // run no code from outside.
    bool own_registry() const { return location_.has_value(); }
    // Reads the array's fields again, after code from outside that may have
    // changed them; refused as at extraction when it is no longer a
    // one-dimensional float64 array. The borrow stays as it was taken.
    Status refresh();

private:
    friend Result<InputSeries> extract_input_series(PyObject*, std::string_view);
    InputSeries(Ref array, std::string_view parameter, ArrayView view, const RegistryTable* table,
                std::optional<BorrowLocation> location)
        : array_(std::move(array)),
          parameter_(parameter),
          view_(view),
          table_(table),
          location_(location) {}
    Ref array_;
    std::string_view parameter_;
    ArrayView view_;
    const RegistryTable* table_;
    // Where the borrow sits, when the registry is this module's own.
    std::optional<BorrowLocation> location_;
};

// The argument itself, borrowed from the call's argument vector.
class OutputSeries {
public:
    const ArrayView& view() const { return view_; }
    PyObject* array() const { return array_; }
    bool writeable() const;
    // As InputSeries::refresh.
    Status refresh();

private:
    friend Result<OutputSeries> extract_output_series(PyObject*, std::string_view);
    OutputSeries(PyObject* array, std::string_view parameter, ArrayView view)
        : array_(array), parameter_(parameter), view_(view) {}
    PyObject* array_;
    std::string_view parameter_;
    ArrayView view_;
};

Result<InputSeries> extract_input_series(PyObject* object, std::string_view parameter);
Result<OutputSeries> extract_output_series(PyObject* object, std::string_view parameter);

}  // namespace quorvane
