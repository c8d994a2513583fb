#include "view_key.hpp"

#include <bit>
#include <limits>

namespace quorvane {

namespace {

std::uintptr_t magnitude(std::intptr_t value) {
    auto bits = static_cast<std::uintptr_t>(value);
    return value < 0 ? 0 - bits : bits;
}

}  // namespace

std::intptr_t gcd(std::intptr_t m, std::intptr_t n) {
    if (m == 0 || n == 0) return static_cast<std::intptr_t>(magnitude(m | n));
    const int shift = std::countr_zero(static_cast<std::uintptr_t>(m | n));
    constexpr std::intptr_t most_negative = std::numeric_limits<std::intptr_t>::min();
    if (m == most_negative || n == most_negative) {
        return static_cast<std::intptr_t>(std::uintptr_t{1} << shift);
    }
    std::uintptr_t a = magnitude(m) >> std::countr_zero(magnitude(m));
    std::uintptr_t b = magnitude(n) >> std::countr_zero(magnitude(n));
    while (a != b) {
        if (a > b) {
            a -= b;
            a >>= std::countr_zero(a);
        } else {
            b -= a;
            b >>= std::countr_zero(b);
        }
    }
    return static_cast<std::intptr_t>(a << shift);
}

std::uintptr_t base_address(const numpy::Api& api, PyObject* array) {
    PyObject* current = array;
    while (PyObject* base = numpy::layout::array_fields(current)->base) {
        if (!numpy::is_array(api, base)) return reinterpret_cast<std::uintptr_t>(base);
        current = base;
    }
    return reinterpret_cast<std::uintptr_t>(current);
}

ViewKey view_key(const numpy::Api& api, const numpy::Snapshot& view) {
    const auto data = reinterpret_cast<std::uintptr_t>(view.data);
    if (view.nd == 0) return {data, data, data, 1};
    if (view.nd == 1) {
        const Py_ssize_t extent = view.length;
        const Py_ssize_t stride = view.stride;
        if (extent == 0) return {data, data, data, stride};
        const Py_ssize_t offset = (extent - 1) * stride;
        const auto item = static_cast<std::uintptr_t>(numpy::element_size(api, view.descr));
        if (offset < 0) return {data + static_cast<std::uintptr_t>(offset), data + item, data, stride};
        return {data, data + static_cast<std::uintptr_t>(offset) + item, data, stride};
    }

    ViewKey key{data, data, data, view.stride};
    bool empty = false;
    std::uintptr_t low = data;
    std::uintptr_t high = data;
    for (int axis = 0; axis < view.nd; ++axis) {
        const Py_ssize_t extent =
            numpy::load_once(*const_cast<Py_ssize_t*>(view.dimensions + axis));
        const Py_ssize_t stride = numpy::load_once(*const_cast<Py_ssize_t*>(view.strides + axis));
        if (extent == 0) empty = true;
        const auto offset = static_cast<std::uintptr_t>((extent - 1) * stride);
        if ((extent - 1) * stride < 0) {
            low += offset;
        } else {
            high += offset;
        }
        if (axis > 0) key.divisor = gcd(key.divisor, stride);
    }
    if (!empty) {
        key.start = low;
        key.end = high + static_cast<std::uintptr_t>(numpy::element_size(api, view.descr));
    }
    return key;
}

bool conflicts(const ViewKey& a, const ViewKey& b) {
    if (b.start >= a.end || a.start >= b.end) return false;
    const std::uintptr_t distance = a.data > b.data ? a.data - b.data : b.data - a.data;
    const std::uintptr_t divisor = magnitude(gcd(a.divisor, b.divisor));
    // Views that repeat one element have no divisor; overlapping ones conflict.
    if (divisor == 0) return true;
    return distance % divisor == 0;
}

}  // namespace quorvane
