#include "binding.hpp"

#include <cstring>

namespace quorvane {

namespace {

std::string_view display_name_end = "()";

Text binding_message(const CallSignature& signature) {
    Text message(signature.function_name);
    message.append(display_name_end);
    return message;
}

ErrorValue binding_error(Text message) {
    return ErrorValue::composed(PyExc_TypeError, std::move(message));
}

ErrorValue too_many_positional(const CallSignature& signature, Py_ssize_t nargs) {
    Text message = binding_message(signature);
    message.append(" takes ")
        .append_unsigned(signature.parameters.size())
        .append(" positional arguments but ")
        .append_signed(nargs)
        .append(" were given");
    return binding_error(std::move(message));
}

ErrorValue missing_arguments(const CallSignature& signature, std::span<PyObject*> slots) {
    std::size_t missing = 0;
    for (PyObject* slot : slots) missing += slot == nullptr;
    Text message = binding_message(signature);
    message.append(" missing ")
        .append_unsigned(missing)
        .append(missing == 1 ? " required positional argument: "
                             : " required positional arguments: ");
    std::size_t listed = 0;
    for (std::size_t i = 0; i < slots.size(); ++i) {
        if (slots[i] != nullptr) continue;
        ++listed;
        if (listed > 1) {
            if (missing > 2) message.append(",");
            message.append(listed == missing ? " and " : " ");
        }
        message.append("'").append(signature.parameters[i]).append("'");
    }
    return binding_error(std::move(message));
}

// The parameter with exactly these bytes, or none.
std::optional<std::size_t> find_parameter(const CallSignature& signature, PyObject* keyword) {
    Py_ssize_t size = 0;
    const char* name = PyUnicode_AsUTF8AndSize(keyword, &size);
    if (name == nullptr) {
        PyErr_Clear();
        return std::nullopt;
    }
    for (std::size_t i = 0; i < signature.parameters.size(); ++i) {
        std::string_view parameter = signature.parameters[i];
        if (parameter.size() == static_cast<std::size_t>(size) &&
            std::memcmp(parameter.data(), name, parameter.size()) == 0) {
            return i;
        }
    }
    return std::nullopt;
}

// Lenient UTF-8 of a str that holds lone surrogates: each surrogate shows as
// three U+FFFD.
std::optional<Text> lenient_utf8(PyObject* text) {
    Ref bytes = Ref::steal(PyUnicode_AsEncodedString(text, "utf-8", "surrogatepass"));
    if (!bytes) return std::nullopt;
    const char* data = PyBytes_AsString(bytes.get());
    Py_ssize_t size = PyBytes_Size(bytes.get());
    if (data == nullptr || size < 0) return std::nullopt;
    Ref decoded = Ref::steal(PyUnicode_DecodeUTF8(data, size, "replace"));
    if (!decoded) return std::nullopt;
    Py_ssize_t decoded_size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(decoded.get(), &decoded_size);
    if (utf8 == nullptr) return std::nullopt;
    return Text({utf8, static_cast<std::size_t>(decoded_size)});
}

Text unprintable_text(PyObject* object) {
    Ref name = Ref::steal(PyType_GetName(Py_TYPE(object)));
    if (name) {
        Py_ssize_t size = 0;
        if (const char* utf8 = PyUnicode_AsUTF8AndSize(name.get(), &size)) {
            Text text("<unprintable ");
            text.append({utf8, static_cast<std::size_t>(size)}).append(" object>");
            return text;
        }
    }
    PyErr_Clear();
    return Text("<unprintable object>");
}

}  // namespace

Status bind_arguments(const CallSignature& signature, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames, std::span<PyObject*> slots) {
    const std::size_t count = signature.parameters.size();
    const std::size_t positional = static_cast<std::size_t>(nargs);
    if (positional > count) return too_many_positional(signature, nargs);
    for (std::size_t i = 0; i < positional; ++i) slots[i] = args[i];

    if (kwnames != nullptr) {
        const Py_ssize_t keywords = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < keywords; ++k) {
            PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
            std::optional<std::size_t> index = find_parameter(signature, keyword);
            if (!index) {
                Text message = binding_message(signature);
                message.append(" got an unexpected keyword argument '")
                    .append(object_text(keyword).view())
                    .append("'");
                return binding_error(std::move(message));
            }
            if (slots[*index] != nullptr) {
                Text message = binding_message(signature);
                message.append(" got multiple values for argument '")
                    .append(signature.parameters[*index])
                    .append("'");
                return binding_error(std::move(message));
            }
            slots[*index] = args[nargs + k];
        }
    }

    if (positional < count) {
        for (std::size_t i = positional; i < count; ++i) {
            if (slots[i] == nullptr) return missing_arguments(signature, slots);
        }
    }
    return Status::success();
}

Result<std::uint32_t> extract_period(PyObject* object) {
    unsigned long long value = 0;
    if (PyLong_Check(object)) {
        // Small non-negative ints, the usual case, are read in place.
        auto* number = reinterpret_cast<PyLongObject*>(object);
        if (PyUnstable_Long_IsCompact(number)) {
            const Py_ssize_t small = PyUnstable_Long_CompactValue(number);
            if (small >= 0 && static_cast<std::uint64_t>(small) <= 0xFFFFFFFFull) {
                return static_cast<std::uint32_t>(small);
            }
        }
        value = PyLong_AsUnsignedLongLong(object);
    } else {
        Ref index = Ref::steal(PyNumber_Index(object));
        if (!index) return fetch_pending_error();
        value = PyLong_AsUnsignedLongLong(index.get());
    }
    if (value == static_cast<unsigned long long>(-1)) {
        if (auto pending = take_pending_error()) return std::move(*pending);
    }
    if (value > 0xFFFFFFFFull) {
        return ErrorValue::fixed(PyExc_OverflowError,
                                 "out of range integral type conversion attempted");
    }
    return static_cast<std::uint32_t>(value);
}

ErrorValue argument_error(std::string_view parameter, ErrorValue error) {
    materialise_error(error);
    PyObject* incoming = error.instance();
    if (Py_TYPE(incoming) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) return error;

    Text message("argument '");
    message.append(parameter).append("': ").append(object_text(incoming).view());
    ErrorValue wrapped = ErrorValue::composed(PyExc_TypeError, std::move(message));
    materialise_error(wrapped);
    // The incoming exception is dropped; only its cause carries over.
    PyException_SetCause(wrapped.instance(), PyException_GetCause(incoming));
    return wrapped;
}

ErrorValue conversion_error(PyObject* object, const char* label) {
    return ErrorValue::conversion(Py_TYPE(object), label);
}

Text object_text(PyObject* object) {
    Ref text = Ref::steal(PyObject_Str(object));
    if (!text) {
        PyErr_WriteUnraisable(object);
        return unprintable_text(object);
    }
    Py_ssize_t size = 0;
    if (const char* utf8 = PyUnicode_AsUTF8AndSize(text.get(), &size)) {
        return Text({utf8, static_cast<std::size_t>(size)});
    }
    PyErr_Clear();
    if (auto lenient = lenient_utf8(text.get())) return std::move(*lenient);
    PyErr_Clear();
    return unprintable_text(object);
}

}  // namespace quorvane
