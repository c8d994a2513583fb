// Base addresses, view keys and the conflict test of the borrow registry.
#pragma once

#include "numpy.hpp"

#include <cstddef>
#include <cstdint>

namespace quorvane {

struct ViewKey {
    std::uintptr_t start;  // lowest byte covered
    std::uintptr_t end;    // one past the highest byte covered
    std::uintptr_t data;
    std::intptr_t divisor;
    bool operator==(const ViewKey&) const = default;
};

struct ViewKeyHash {
    std::size_t operator()(const ViewKey& key) const {
        std::uint64_t h = key.start * 0x9E3779B97F4A7C15ull;
        h ^= (key.end + (h << 6) + (h >> 2)) * 0xC2B2AE3D27D4EB4Full;
        h ^= (key.data + (h << 6) + (h >> 2)) * 0x165667B19E3779F9ull;
        h ^= (static_cast<std::uint64_t>(key.divisor) + (h << 6) + (h >> 2));
        return static_cast<std::size_t>(h ^ (h >> 29));
    }
};

// Greatest common divisor in machine-word arithmetic (binary algorithm).
std::intptr_t gcd(std::intptr_t m, std::intptr_t n);

// The object that owns the memory: the first non-array base, or the last array.
std::uintptr_t base_address(const numpy::Api& api, PyObject* array);

// The key of the state an array's fields were read in.
ViewKey view_key(const numpy::Api& api, const numpy::Snapshot& view);

// Conservative: overlapping ranges whose data pointers are a multiple of the
// common stride divisor apart.
bool conflicts(const ViewKey& a, const ViewKey& b);

}  // namespace quorvane
