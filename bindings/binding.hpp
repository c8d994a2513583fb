// Call binding and argument conversion for the fast-call-with-keywords
// convention: every parameter is positional-or-keyword and required.
#pragma once

#include "errors.hpp"
#include "python.hpp"
#include "text.hpp"

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace quorvane {

struct CallSignature {
    std::string_view function_name;
    std::span<const std::string_view> parameters;
};

// Fills one borrowed reference per parameter into `slots` (all null on entry,
// as many as the signature has parameters). Allocates nothing on success.
Status bind_arguments(const CallSignature& signature, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames, std::span<PyObject*> slots);

// A period: an int, or an object with __index__, from 0 to 4294967295.
Result<std::uint32_t> extract_period(PyObject* object);

// Puts the parameter's name in front of an exact TypeError; any other error
// is returned as it is.
ErrorValue argument_error(std::string_view parameter, ErrorValue error);

// TypeError "'{type}' object cannot be converted to '{label}'".
ErrorValue conversion_error(PyObject* object, const char* label);

// str(object) as UTF-8; never fails.
Text object_text(PyObject* object);

}  // namespace quorvane
