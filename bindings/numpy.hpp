// NumPy access without NumPy's headers: the array C-API table from the
// "_ARRAY_API" capsule, and one reading of an array's fields. What is
// assumed of NumPy's layout is in numpy_layout.hpp.
#pragma once

#include "errors.hpp"
#include "numpy_layout.hpp"
#include "once.hpp"
#include "python.hpp"

#include <atomic>
#include <cstdint>

namespace quorvane::numpy {

// One reading of an array's fields, each loaded exactly once, so that every
// decision about the array is taken from the same state.
struct Snapshot {
    char* data;
    int nd;
    const Py_ssize_t* dimensions;  // nd entries, read once into the fields below
    const Py_ssize_t* strides;
    Py_ssize_t length;  // entry 0 of the shape (0 without dimensions)
    Py_ssize_t stride;  // entry 0 of the strides (0 without dimensions)
    PyObject* descr;
    int flags;
};

template <class T>
T load_once(T& field) {
    return std::atomic_ref<T>(field).load(std::memory_order_relaxed);
}

// Each field is loaded once. Another thread that reshapes the array in place
// meanwhile can still be caught half-way (NumPy writes the count, the shape
// and the strides one after the other): the call then decides from that
// state consistently, but no reading of the fields can make such a race safe.
inline Snapshot snapshot(PyObject* array) {
    layout::ArrayFields* f = layout::array_fields(array);
    Snapshot view{};
    view.nd = load_once(f->nd);
    view.dimensions = load_once(f->dimensions);
    view.strides = load_once(f->strides);
    view.data = load_once(f->data);
    view.descr = load_once(f->descr);
    view.flags = load_once(f->flags);
    if (view.nd >= 1) {
        view.length = load_once(*const_cast<Py_ssize_t*>(view.dimensions));
        view.stride = load_once(*const_cast<Py_ssize_t*>(view.strides));
    }
    return view;
}

// The entries of the C-API table this module uses (their slots: numpy_layout.hpp).
struct Api {
    PyTypeObject* array_type;
    PyObject* (*descr_from_type)(int);
    unsigned char (*equiv_types)(PyObject*, PyObject*);
    unsigned int feature_version;
    PyObject* float64;  // the float64 descriptor, held for the life of the process
};

extern OnceCell<const Api> api_cell;

// The C-API, found on first use and kept for the life of the process.
Result<const Api*> load_api();
inline Result<const Api*> api() {
    if (const Api* loaded = api_cell.load()) return loaded;
    return load_api();
}
// The table if it has been found already, else null.
inline const Api* api_if_loaded() { return api_cell.load(); }

// "numpy._core.multiarray" or "numpy.core.multiarray" (found once).
Result<const char*> multiarray_module_name();

// Whether the length of `array`, an array that passed the type test, is
// NumPy's own C function: true for an exact ndarray, whose PyObject_Size runs
// no Python code and so can change nothing; a subclass may define __len__.
inline bool length_is_numpys_own(PyObject* array) {
    const Api* loaded = api_if_loaded();
    return loaded != nullptr && Py_TYPE(array) == loaded->array_type;
}

inline bool is_array(const Api& api, PyObject* object) {
    PyTypeObject* type = Py_TYPE(object);
    return type == api.array_type || PyType_IsSubtype(type, api.array_type);
}

// Element size of a descriptor, read in the layout of the NumPy in use.
inline Py_ssize_t element_size(const Api& api, PyObject* descr) {
    if (descr == nullptr) report_fault("array without a descriptor");
    return layout::descr_element_size(descr, api.feature_version);
}

}  // namespace quorvane::numpy
