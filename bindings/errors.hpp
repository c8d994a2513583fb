// Error values: every failure travels up as an ErrorValue and leaves the
// module only through set_pending_error in an entry function.
#pragma once

#include "python.hpp"
#include "ref.hpp"
#include "text.hpp"

#include <quorvane/fault.hpp>

#include <memory>
#include <optional>
#include <source_location>
#include <utility>

namespace quorvane {

class ErrorValue {
public:
    // Deferred: the class and its message data; no Python object is made
    // until the error is raised or materialised.
    static ErrorValue fixed(PyObject* exception_class, const char* message);
    static ErrorValue composed(PyObject* exception_class, Text message);
    // The TypeError "'{type}' object cannot be converted to '{label}'".
    static ErrorValue conversion(PyTypeObject* source_type, const char* label);
    // Materialised: an exception instance (the reference is taken over).
    static ErrorValue materialised(Ref instance);

    ErrorValue(ErrorValue&&) noexcept = default;
    ErrorValue& operator=(ErrorValue&&) noexcept = default;

    bool is_materialised() const { return recipe_->kind == Kind::materialised; }
    // The instance of a materialised error (borrowed).
    PyObject* instance() const { return recipe_->object.get(); }

private:
    friend void set_pending_error(ErrorValue error);
    friend void materialise_error(ErrorValue& error);
    enum class Kind { fixed, composed, conversion, materialised };
    // Everything an error holds, in one small allocation made only on failure,
    // so that results on the success path stay a pointer wide.
    struct Recipe {
        Kind kind;
        Ref object;  // the class (fixed, composed), the source type (conversion) or the instance
        const char* fixed = nullptr;  // fixed message, or the conversion's label
        Text composed;
    };
    struct RecipeDeleter {
        void operator()(Recipe* recipe) const;
    };
    ErrorValue(Kind kind, Ref object);
    void raise_deferred();

    std::unique_ptr<Recipe, RecipeDeleter> recipe_;
};

// Leaves the exception pending in the interpreter; the caller then returns null.
void set_pending_error(ErrorValue error);
// After an interpreter call signalled failure: the pending exception, if any.
std::optional<ErrorValue> take_pending_error();
// As take_pending_error, with SystemError "attempted to fetch exception but
// none was set" when nothing was pending.
ErrorValue fetch_pending_error();
// Makes a deferred error concrete; a materialised one stays as it is.
void materialise_error(ErrorValue& error);

// One line naming the error's type, value and traceback, for fault messages.
Text describe_error(ErrorValue& error);

// An interpreter call that must not fail did: prints the pending exception,
// then the internal-fault report "Python API call failed".
[[noreturn]] void report_api_failure(std::source_location where = std::source_location::current());

template <class T>
class [[nodiscard]] Result {
public:
    Result(T value) : value_(std::move(value)) {}
    Result(ErrorValue error) : error_(std::move(error)) {}
    bool ok() const { return !error_.has_value(); }
    T& value() { return *value_; }
    ErrorValue take_error() { return std::move(*error_); }

private:
    std::optional<T> value_;
    std::optional<ErrorValue> error_;
};

class [[nodiscard]] Status {
public:
    static Status success() { return Status(); }
    Status(ErrorValue error) : error_(std::move(error)) {}
    bool ok() const { return !error_.has_value(); }
    ErrorValue take_error() { return std::move(*error_); }

private:
    Status() = default;
    std::optional<ErrorValue> error_;
};

}  // namespace quorvane
