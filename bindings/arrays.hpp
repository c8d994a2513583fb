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

// A reference and a shared borrow, both given back when it goes: the borrow
// first (members are destroyed in reverse order).
class InputSeries {
public:
    // Made by extract_input_series, in place: takes the reference over, then
    // the borrow (see borrow_code). Never moved.
    InputSeries(Ref&& array, const numpy::Api& api, const RegistryTable& table,
                const numpy::Snapshot& fields, std::string_view parameter, ArrayView view)
        : array_(std::move(array)),
          borrow_(api, table, array_.get(), fields),
          parameter_(parameter),
          view_(view) {}
    InputSeries(const InputSeries&) = delete;
    InputSeries& operator=(const InputSeries&) = delete;

    // 0 when the borrow is held, else the registry's answer.
    int borrow_code() const { return borrow_.code(); }

    const ArrayView& view() const { return view_; }
    PyObject* array() const { return array_.get(); }
    // Whether taking the borrow ran code from outside this module (another
    // module's registry), which may have changed the array.
    bool borrow_ran_outside_code() const { return borrow_.runs_outside_code(); }
    // Reads the array's fields again, after code from outside that may have
    // changed them; refused as at extraction when it is no longer a
    // one-dimensional float64 array. The borrow stays as it was taken.
    Status refresh();

private:
    Ref array_;
    SharedBorrow borrow_;
    std::string_view parameter_;
    ArrayView view_;
};

// The argument itself, borrowed from the call's argument vector.
class OutputSeries {
public:
    OutputSeries(PyObject* array, std::string_view parameter, ArrayView view)
        : array_(array), parameter_(parameter), view_(view) {}

    const ArrayView& view() const { return view_; }
    PyObject* array() const { return array_; }
    bool writeable() const;
    // As InputSeries::refresh.
    Status refresh();

private:
    PyObject* array_;
    std::string_view parameter_;
    ArrayView view_;
};

// Each converts an argument into the series `into`, which is empty on entry
// and stays empty on failure; the error names the parameter.
Status extract_input_series(PyObject* object, std::string_view parameter,
                            std::optional<InputSeries>& into);
Status extract_output_series(PyObject* object, std::string_view parameter,
                             std::optional<OutputSeries>& into);

}  // namespace quorvane
