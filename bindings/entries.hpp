// The four module functions, in the fast-call-with-keywords convention.
#pragma once

#include "python.hpp"

namespace quorvane {

using EntryFunction = PyObject* (*)(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kwnames);

PyObject* indicator_sma(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* indicator_ema(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* indicator_macd(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* indicator_atr(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace quorvane
