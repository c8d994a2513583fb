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

// The type test: an ndarray (or subclass) of one dimension whose dtype is
// equivalent to float64. The reasons for a refusal are not told apart. Every
// field it looks at, and everything the call later uses, comes from one
// snapshot of the array.
Result<numpy::Snapshot> typed_snapshot(PyObject* object, std::string_view parameter) {
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
    return fields;
}

ArrayView view_of(const numpy::Snapshot& fields) {
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

InputSeries::InputSeries(InputSeries&& other) noexcept
    : array_(std::move(other.array_)),
      parameter_(other.parameter_),
      view_(other.view_),
      table_(other.table_),
      location_(other.location_) {}

InputSeries::~InputSeries() {
    if (!array_) return;
    if (location_) {
        release_shared_at(table_->state, *location_);
    } else {
        table_->release_shared(table_->state, array_.get());
    }
}

Status InputSeries::refresh() {
    Result<numpy::Snapshot> fields = typed_snapshot(array_.get(), parameter_);
    if (!fields.ok()) return fields.take_error();
    view_ = view_of(fields.value());
    return Status::success();
}

bool OutputSeries::writeable() const { return (view_.flags & numpy::layout::writeable_flag) != 0; }

Status OutputSeries::refresh() {
    Result<numpy::Snapshot> fields = typed_snapshot(array_, parameter_);
    if (!fields.ok()) return fields.take_error();
    view_ = view_of(fields.value());
    return Status::success();
}

Result<InputSeries> extract_input_series(PyObject* object, std::string_view parameter) {
    Result<numpy::Snapshot> fields = typed_snapshot(object, parameter);
    if (!fields.ok()) return fields.take_error();
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
        fields = typed_snapshot(object, parameter);
        if (!fields.ok()) return fields.take_error();
    }
    const RegistryTable* registry = table.value();
    std::optional<BorrowLocation> location;
    if (is_own_registry(registry)) location = locate_borrow(object, fields.value());
    const int rc = location ? acquire_shared_at(registry->state, *location)
                            : registry->acquire_shared(registry->state, object);
    if (rc == -1) {
        array = Ref();
        Text message("a shared borrow of argument '");
        message.append(parameter).append(
            "', which was expected to succeed, returned an error: AlreadyBorrowed");
        return ErrorValue::composed(PyExc_RuntimeError, std::move(message));
    }
    if (rc != 0) {
        Text message("Unexpected return code ");
        message.append_signed(rc).append(" from borrow checking API");
        report_fault(message.view());
    }
    return InputSeries(std::move(array), parameter, view_of(fields.value()), registry, location);
}

Result<OutputSeries> extract_output_series(PyObject* object, std::string_view parameter) {
    Result<numpy::Snapshot> fields = typed_snapshot(object, parameter);
    if (!fields.ok()) return fields.take_error();
    return OutputSeries(object, parameter, view_of(fields.value()));
}

}  // namespace quorvane
