#include "arrays.hpp"

#include "binding.hpp"
#include "numpy.hpp"

namespace quorvane {

namespace {

constexpr const char* array_label = "numpy.ndarray[float64, ndim=1]";

// An error from outside this module, raised as `exception_class` with the
// message `prefix` followed by a description of `cause`, which becomes its cause.
ErrorValue outside_error(PyObject* exception_class, const char* prefix, ErrorValue cause) {
    Text message(prefix);
    message.append(describe_error(cause).view());
    ErrorValue error = ErrorValue::composed(exception_class, std::move(message));
    materialise_error(error);
    PyException_SetCause(error.instance(), Ref::borrow(cause.instance()).release());
    return error;
}

// An array that passed the type test: the NumPy API it was tested with and
// the one snapshot of its fields that every later decision is taken from.
struct TypedArray {
    const numpy::Api* api;
    numpy::Snapshot fields;
};

// The type test: an ndarray (or subclass) of one dimension whose dtype is
// equivalent to float64. The reasons for a refusal are not told apart.
Result<TypedArray> typed_snapshot(PyObject* object, std::string_view parameter) {
    Result<const numpy::Api*> loaded = numpy::api();
    if (!loaded.ok()) {
        return outside_error(PyExc_ImportError, "Failed to access NumPy array API capsule: ",
                             loaded.take_error());
    }
    const numpy::Api& api = *loaded.value();

    if (!numpy::is_array(api, object)) {
        return argument_error(parameter, conversion_error(object, array_label));
    }
    const numpy::Snapshot fields = numpy::snapshot(object);
    if (fields.nd != 1) return argument_error(parameter, conversion_error(object, array_label));
    if (fields.descr == nullptr) report_fault("array without a descriptor");
    if (fields.descr != api.float64 && api.equiv_types(fields.descr, api.float64) == 0) {
        return argument_error(parameter, conversion_error(object, array_label));
    }
    return TypedArray{&api, fields};
}

ArrayView view_of(const TypedArray& typed) {
    const numpy::Snapshot& fields = typed.fields;
    return ArrayView{fields.data, static_cast<std::size_t>(fields.length), fields.stride,
                     fields.flags};
}

}  // namespace

std::optional<std::ptrdiff_t> element_stride(const ArrayView& view) {
    if (view.stride % static_cast<Py_ssize_t>(sizeof(double)) != 0) return std::nullopt;
    return view.stride / static_cast<Py_ssize_t>(sizeof(double));
}

std::optional<OutputRun> contiguous_run(const ArrayView& view) {
    if (view.size > 1 && element_stride(view) != 1) return std::nullopt;
    return OutputRun(view.data, view.size);
}

Status InputSeries::refresh() {
    Result<TypedArray> fields = typed_snapshot(array_.get(), parameter_);
    if (!fields.ok()) return fields.take_error();
    view_ = view_of(fields.value());
    return Status::success();
}

bool OutputSeries::writeable() const { return (view_.flags & numpy::layout::writeable_flag) != 0; }

Status OutputSeries::refresh() {
    Result<TypedArray> fields = typed_snapshot(array_, parameter_);
    if (!fields.ok()) return fields.take_error();
    view_ = view_of(fields.value());
    return Status::success();
}

Status extract_input_series(PyObject* object, std::string_view parameter,
                            std::optional<InputSeries>& into) {
    Result<TypedArray> typed = typed_snapshot(object, parameter);
    if (!typed.ok()) return typed.take_error();
    Ref array = Ref::borrow(object);
    const bool registry_known = registry_cell.load() != nullptr;
    Result<const RegistryTable*> table = borrow_registry();
    if (!table.ok()) {
        return outside_error(PyExc_RuntimeError, "Interal borrow checking API error: ",
                             table.take_error());
    }
    if (!registry_known) {
        // Finding the registry ran Python code (imports, attribute lookups),
        // which may have changed the array: read it again.
        typed = typed_snapshot(object, parameter);
        if (!typed.ok()) return typed.take_error();
    }
    const TypedArray& checked = typed.value();
    into.emplace(std::move(array), *checked.api, *table.value(), checked.fields, parameter,
                 view_of(checked));
    if (const int code = into->borrow_code(); code != 0) [[unlikely]] {
        into.reset();  // the reference goes; no borrow is held
        return SharedBorrow::refused(code, parameter);
    }
    return Status::success();
}

Status extract_output_series(PyObject* object, std::string_view parameter,
                             std::optional<OutputSeries>& into) {
    Result<TypedArray> typed = typed_snapshot(object, parameter);
    if (!typed.ok()) return typed.take_error();
    into.emplace(object, parameter, view_of(typed.value()));
    return Status::success();
}

}  // namespace quorvane
