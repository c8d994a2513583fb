// Test-only extension: reaches error-value paths that no function of the
// shipped module can reach. Built by the tests, never installed.
#include "binding.hpp"
#include "errors.hpp"

namespace {

using quorvane::ErrorValue;

PyObject* raise_deferred(PyObject*, PyObject* args) {
    PyObject* exception_class = nullptr;
    const char* message = nullptr;
    if (!PyArg_ParseTuple(args, "Os", &exception_class, &message)) return nullptr;
    quorvane::set_pending_error(ErrorValue::composed(exception_class, quorvane::Text(message)));
    return nullptr;
}

PyObject* materialise(PyObject*, PyObject* args) {
    PyObject* exception_class = nullptr;
    const char* message = nullptr;
    if (!PyArg_ParseTuple(args, "Os", &exception_class, &message)) return nullptr;
    ErrorValue error = ErrorValue::fixed(exception_class, message);
    quorvane::materialise_error(error);
    return Py_NewRef(error.instance());
}

PyObject* fetch_with_nothing_pending(PyObject*, PyObject*) {
    quorvane::set_pending_error(quorvane::fetch_pending_error());
    return nullptr;
}

PyObject* raise_conversion(PyObject*, PyObject* args) {
    PyObject* object = nullptr;
    const char* label = nullptr;
    if (!PyArg_ParseTuple(args, "Os", &object, &label)) return nullptr;
    quorvane::set_pending_error(quorvane::conversion_error(object, label));
    return nullptr;
}

PyMethodDef methods[] = {
    {"raise_deferred", raise_deferred, METH_VARARGS, nullptr},
    {"materialise", materialise, METH_VARARGS, nullptr},
    {"fetch_with_nothing_pending", fetch_with_nothing_pending, METH_NOARGS, nullptr},
    {"raise_conversion", raise_conversion, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef definition = {PyModuleDef_HEAD_INIT, "error_harness", nullptr, -1, methods,
                          nullptr, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_error_harness() {
    PyObject* module = PyModule_Create(&definition);
#ifdef Py_GIL_DISABLED
    if (module != nullptr) PyUnstable_Module_SetGIL(module, Py_MOD_GIL_NOT_USED);
#endif
    return module;
}
