#include "numpy.hpp"

#include "binding.hpp"
#include "memory.hpp"
#include "once.hpp"

#include <cstdlib>
#include <new>

namespace quorvane::numpy {

namespace {

OnceCell<const char> multiarray_name;

Ref import(const char* name) {
    Ref text = Ref::steal(PyUnicode_FromString(name));
    if (!text) return Ref();
    return Ref::steal(PyImport_Import(text.get()));
}

Result<long> numpy_major_version() {
    Ref numpy = import("numpy");
    if (!numpy) return fetch_pending_error();
    Ref version = Ref::steal(PyObject_GetAttrString(numpy.get(), "__version__"));
    if (!version) return fetch_pending_error();
    Ref lib = import("numpy.lib");
    if (!lib) return fetch_pending_error();
    Ref parser = Ref::steal(PyObject_GetAttrString(lib.get(), "NumpyVersion"));
    if (!parser) return fetch_pending_error();
    Ref parsed = Ref::steal(PyObject_CallOneArg(parser.get(), version.get()));
    if (!parsed) return fetch_pending_error();
    Ref major = Ref::steal(PyObject_GetAttrString(parsed.get(), "major"));
    if (!major) return fetch_pending_error();
    long value = PyLong_AsLong(major.get());
    if (value == -1) {
        if (auto pending = take_pending_error()) return std::move(*pending);
    }
    if (value < 0 || value > 255) {
        return ErrorValue::fixed(PyExc_OverflowError,
                                 "out of range integral type conversion attempted");
    }
    return value;
}

}  // namespace

OnceCell<const Api> api_cell;

Result<const Api*> load_api() {
    Result<const char*> module_name = multiarray_module_name();
    if (!module_name.ok()) return module_name.take_error();
    Ref module = import(module_name.value());
    if (!module) return fetch_pending_error();
    Ref capsule = Ref::steal(PyObject_GetAttrString(module.get(), "_ARRAY_API"));
    if (!capsule) return fetch_pending_error();
    if (!Py_IS_TYPE(capsule.get(), &PyCapsule_Type)) return conversion_error(capsule.get(), "PyCapsule");
    const char* capsule_name = PyCapsule_GetName(capsule.get());
    void** table = static_cast<void**>(PyCapsule_GetPointer(capsule.get(), capsule_name));
    PyErr_Clear();
    if (table == nullptr) report_fault("the NumPy array API capsule holds no table");

    auto* loaded = new (allocate_or_abort(sizeof(Api))) Api{
        static_cast<PyTypeObject*>(table[layout::slot_array_type]),
        reinterpret_cast<PyObject* (*)(int)>(table[layout::slot_descr_from_type]),
        reinterpret_cast<unsigned char (*)(PyObject*, PyObject*)>(table[layout::slot_equiv_types]),
        reinterpret_cast<unsigned int (*)()>(table[layout::slot_feature_version])(),
        nullptr,
    };
    loaded->float64 = loaded->descr_from_type(layout::double_type_number);
    if (loaded->float64 == nullptr) report_fault("NumPy gave no float64 descriptor");
    const Api* stored = api_cell.store(loaded);
    if (stored != loaded) {
        Py_DECREF(loaded->float64);
        loaded->~Api();
        std::free(loaded);
    } else {
        capsule.release();  // held for the life of the process, like the table
    }
    return stored;
}

Result<const char*> multiarray_module_name() {
    if (const char* name = multiarray_name.load()) return name;
    Result<long> major = numpy_major_version();
    if (!major.ok()) return major.take_error();
    static const char numpy2[] = "numpy._core.multiarray";
    static const char numpy1[] = "numpy.core.multiarray";
    return multiarray_name.store(major.value() >= 2 ? numpy2 : numpy1);
}

}  // namespace quorvane::numpy
