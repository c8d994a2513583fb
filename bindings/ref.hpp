// RAII handle for one strong reference to a Python object.
#pragma once

#include "python.hpp"

#include <utility>

namespace quorvane {

class Ref {
public:
    Ref() = default;
    // Takes over a new reference (may be null).
    static Ref steal(PyObject* object) { return Ref(object); }
    // Takes a reference of its own to a borrowed object.
    static Ref borrow(PyObject* object) {
        Py_XINCREF(object);
        return Ref(object);
    }

    Ref(Ref&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    Ref& operator=(Ref&& other) noexcept {
        Ref(std::move(other)).swap(*this);
        return *this;
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    ~Ref() { Py_XDECREF(object_); }

    PyObject* get() const { return object_; }
    explicit operator bool() const { return object_ != nullptr; }
    // Hands the reference to the caller.
    PyObject* release() { return std::exchange(object_, nullptr); }
    void swap(Ref& other) noexcept { std::swap(object_, other.object_); }

private:
    explicit Ref(PyObject* object) : object_(object) {}
    PyObject* object_ = nullptr;
};

}  // namespace quorvane
