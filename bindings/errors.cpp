#include "errors.hpp"

#include "memory.hpp"

#include <cstdlib>
#include <new>
#include <string_view>

namespace quorvane {

namespace {

constexpr const char* no_exception_message = "attempted to fetch exception but none was set";

// UTF-8 of a str, or nothing (with the error cleared).
std::optional<std::string_view> utf8_of(PyObject* text) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(text, &size);
    if (data == nullptr) {
        PyErr_Clear();
        return std::nullopt;
    }
    return std::string_view(data, static_cast<std::size_t>(size));
}

// The UTF-8 of a new str reference, or `fallback` when the call that made it
// failed or the text cannot be encoded; either error is cleared.
Text text_or(Ref text, const char* fallback) {
    if (!text) {
        PyErr_Clear();
        return Text(fallback);
    }
    if (auto utf8 = utf8_of(text.get())) return Text(*utf8);
    return Text(fallback);
}

Text qualified_type_name(PyTypeObject* type) {
    return text_or(Ref::steal(PyType_GetQualName(type)), "<failed to extract type name>");
}

// repr() of an object as text, or a placeholder when it cannot be had.
Text repr_text(PyObject* object) {
    return text_or(Ref::steal(PyObject_Repr(object)), "<unprintable>");
}

// The traceback formatted by the traceback module, folded onto one line.
Text traceback_text(PyObject* traceback) {
    if (traceback == nullptr || traceback == Py_None) return Text("none");
    Ref module = Ref::steal(PyImport_ImportModule("traceback"));
    Ref lines = module ? Ref::steal(PyObject_CallMethod(module.get(), "format_tb", "O", traceback))
                       : Ref();
    Ref empty = Ref::steal(PyUnicode_FromString(""));
    Ref joined = lines && empty ? Ref::steal(PyUnicode_Join(empty.get(), lines.get())) : Ref();
    std::optional<std::string_view> utf8 = joined ? utf8_of(joined.get()) : std::nullopt;
    if (!utf8) {
        PyErr_Clear();
        return Text("<unformattable>");
    }
    Text folded;
    bool pending_space = false;
    for (char c : *utf8) {
        if (c == '\n') {
            pending_space = true;
            continue;
        }
        if (pending_space && folded.size() != 0) folded.append(" | ");
        pending_space = false;
        folded.append({&c, 1});
    }
    return folded;
}

}  // namespace

void ErrorValue::RecipeDeleter::operator()(Recipe* recipe) const {
    recipe->~Recipe();
    std::free(recipe);
}

ErrorValue::ErrorValue(Kind kind, Ref object)
    : recipe_(new (allocate_or_abort(sizeof(Recipe))) Recipe{kind, std::move(object), nullptr, Text()}) {}

ErrorValue ErrorValue::fixed(PyObject* exception_class, const char* message) {
    ErrorValue error(Kind::fixed, Ref::borrow(exception_class));
    error.recipe_->fixed = message;
    return error;
}

ErrorValue ErrorValue::composed(PyObject* exception_class, Text message) {
    ErrorValue error(Kind::composed, Ref::borrow(exception_class));
    error.recipe_->composed = std::move(message);
    return error;
}

ErrorValue ErrorValue::conversion(PyTypeObject* source_type, const char* label) {
    ErrorValue error(Kind::conversion, Ref::borrow(reinterpret_cast<PyObject*>(source_type)));
    error.recipe_->fixed = label;
    return error;
}

ErrorValue ErrorValue::materialised(Ref instance) {
    return ErrorValue(Kind::materialised, std::move(instance));
}

void ErrorValue::raise_deferred() {
    Recipe& recipe = *recipe_;
    Ref exception_class;
    Text message;
    switch (recipe.kind) {
        case Kind::fixed:
            exception_class = std::move(recipe.object);
            message.append(recipe.fixed);
            break;
        case Kind::composed:
            exception_class = std::move(recipe.object);
            message = std::move(recipe.composed);
            break;
        case Kind::conversion:
            exception_class = Ref::borrow(PyExc_TypeError);
            message.append("'")
                .append(qualified_type_name(reinterpret_cast<PyTypeObject*>(recipe.object.get())).view())
                .append("' object cannot be converted to '")
                .append(recipe.fixed)
                .append("'");
            recipe.object = Ref();
            break;
        case Kind::materialised:
            report_fault("a materialised error has no recipe to run");
    }
    Ref text = Ref::steal(PyUnicode_FromStringAndSize(message.c_str(),
                                                      static_cast<Py_ssize_t>(message.size())));
    if (!text) report_api_failure();
    message = Text();
    PyObject* cls = exception_class.get();
    if (PyType_Check(cls) &&
        PyType_FastSubclass(reinterpret_cast<PyTypeObject*>(cls), Py_TPFLAGS_BASE_EXC_SUBCLASS)) {
        PyErr_SetObject(cls, text.get());
    } else {
        PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException");
    }
}

void set_pending_error(ErrorValue error) {
    if (error.is_materialised()) {
        PyErr_SetRaisedException(error.recipe_->object.release());
        return;
    }
    error.raise_deferred();
}

std::optional<ErrorValue> take_pending_error() {
    Ref raised = Ref::steal(PyErr_GetRaisedException());
    if (!raised) return std::nullopt;
    return ErrorValue::materialised(std::move(raised));
}

ErrorValue fetch_pending_error() {
    if (auto pending = take_pending_error()) return std::move(*pending);
    return ErrorValue::fixed(PyExc_SystemError, no_exception_message);
}

void materialise_error(ErrorValue& error) {
    if (error.is_materialised()) return;
    error.raise_deferred();
    Ref raised = Ref::steal(PyErr_GetRaisedException());
    if (!raised) report_fault("materialising an error left no exception pending");
    error = ErrorValue::materialised(std::move(raised));
}

Text describe_error(ErrorValue& error) {
    materialise_error(error);
    PyObject* instance = error.instance();
    Ref traceback = Ref::steal(PyException_GetTraceback(instance));
    Text line;
    line.append("type: ")
        .append(repr_text(reinterpret_cast<PyObject*>(Py_TYPE(instance))).view())
        .append(", value: ")
        .append(repr_text(instance).view())
        .append(", traceback: ")
        .append(traceback_text(traceback.get()).view());
    return line;
}

void report_api_failure(std::source_location where) {
    PyErr_Print();
    report_fault("Python API call failed", where);
}

}  // namespace quorvane
