// Module definition and initialisation: one module per process, created in
// the first interpreter that imports it and refused to every other one.
#include "errors.hpp"
#include "functions.hpp"
#include "memory.hpp"
#include "once.hpp"
#include "python.hpp"
#include "ref.hpp"

#include <atomic>
#include <cstdint>

namespace quorvane {

namespace {

PyModuleDef definition = {
    PyModuleDef_HEAD_INIT,
    "quorvane",  // m_name
    "",          // m_doc: the module's __doc__ is the empty string
    0,           // m_size
    nullptr,     // m_methods: added by the module body
    nullptr,     // m_slots: single-phase initialisation
    nullptr,
    nullptr,
    nullptr,
};

constexpr int python_api_version = 1013;

std::atomic<std::int64_t> interpreter_record{-1};
OnceCell<PyObject> module_cache;

PyCFunction as_method(EntryFunction entry) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(entry));
}

// The __all__ list of the module, created on first use.
Result<Ref> all_list(PyObject* module) {
    Ref all = Ref::steal(PyObject_GetAttrString(module, "__all__"));
    if (all) return all;
    ErrorValue error = fetch_pending_error();
    if (!PyErr_GivenExceptionMatches(error.instance(), PyExc_AttributeError)) return error;
    all = Ref::steal(PyList_New(0));
    if (!all) return fetch_pending_error();
    if (PyObject_SetAttrString(module, "__all__", all.get()) < 0) return fetch_pending_error();
    return all;
}

Status add_function(PyObject* module, const FunctionRow& row) {
    Ref module_name = Ref::steal(PyModule_GetNameObject(module));
    if (!module_name) return fetch_pending_error();
    // The function object points at its record for as long as it lives: never freed.
    auto* method = static_cast<PyMethodDef*>(allocate_or_abort(sizeof(PyMethodDef)));
    *method = PyMethodDef{row.name, as_method(row.entry), METH_FASTCALL | METH_KEYWORDS,
                         row.text_signature};
    Ref function = Ref::steal(PyCMethod_New(method, module, module_name.get(), nullptr));
    module_name = Ref();
    if (!function) return fetch_pending_error();

    Ref name = Ref::steal(PyObject_GetAttrString(function.get(), "__name__"));
    if (!name) return fetch_pending_error();
    Result<Ref> all = all_list(module);
    if (!all.ok()) return all.take_error();
    if (PyList_Append(all.value().get(), name.get()) < 0) {
        report_fault("could not append __name__ to __all__");
    }
    if (PyObject_SetAttr(module, name.get(), function.get()) < 0) return fetch_pending_error();
    return Status::success();
}

Result<Ref> create_module() {
    Ref module = Ref::steal(PyModule_Create2(&definition, python_api_version));
    if (!module) return fetch_pending_error();
#if defined(Py_GIL_DISABLED) && PY_VERSION_HEX >= 0x030D0000
    // The module declares that it needs the interpreter's global lock. The
    // declaration exists only on free-threaded builds; with the GIL there is
    // nothing to declare.
    if (PyUnstable_Module_SetGIL(module.get(), Py_MOD_GIL_USED) < 0) return fetch_pending_error();
#endif
    for (const FunctionRow& row : function_table) {
        if (Status added = add_function(module.get(), row); !added.ok()) return added.take_error();
    }
    return module;
}

// Whether the interpreter turns down modules with single-phase initialisation
// (an isolated sub-interpreter). Before 3.13 it runs the module's init
// function first and refuses the module afterwards, so the init function has
// to see the refusal coming: that interpreter must not take the record. From
// 3.13 on such an import runs the init function in the main interpreter.
bool refuses_single_phase_modules([[maybe_unused]] PyInterpreterState* interpreter) {
#if PY_VERSION_HEX < 0x030D0000
    return _PyInterpreterState_HasFeature(interpreter, Py_RTFLAGS_MULTI_INTERP_EXTENSIONS) != 0;
#else
    return false;
#endif
}

ErrorValue sub_interpreter_refused() {
    return ErrorValue::fixed(PyExc_ImportError,
                             "the quorvane module does not support sub-interpreters: it can "
                             "only be imported in the first interpreter that imported it");
}

Result<Ref> initialise() {
    PyInterpreterState* interpreter = PyInterpreterState_Get();
    const std::int64_t id = PyInterpreterState_GetID(interpreter);
    if (id == -1) return fetch_pending_error();
    if (refuses_single_phase_modules(interpreter)) {
        return ErrorValue::fixed(PyExc_ImportError,
                                 "the quorvane module does not support sub-interpreters: this "
                                 "interpreter loads only modules that do");
    }
    std::int64_t expected = -1;
    if (!interpreter_record.compare_exchange_strong(expected, id, std::memory_order_seq_cst) &&
        expected != id) {
        return sub_interpreter_refused();
    }
    if (PyObject* cached = module_cache.load()) return Ref::borrow(cached);

    Result<Ref> created = create_module();
    if (!created.ok()) return created.take_error();
    PyObject* stored = module_cache.store(created.value().get());
    if (stored == created.value().get()) {
        created.value().release();  // the cache's reference, kept for the life of the process
    }
    return Ref::borrow(stored);
}

}  // namespace

}  // namespace quorvane

PyMODINIT_FUNC PyInit_quorvane() {
    quorvane::Result<quorvane::Ref> module = quorvane::initialise();
    if (!module.ok()) {
        quorvane::set_pending_error(module.take_error());
        return nullptr;
    }
    return module.value().release();
}
