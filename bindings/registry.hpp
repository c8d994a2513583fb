// The process-wide borrow registry, shared through a capsule on NumPy's
// multiarray module with every extension module that follows the protocol.
#pragma once

#include "errors.hpp"
#include "python.hpp"

#include <cstdint>

namespace quorvane {

// The capsule's contents. Members and their order are the protocol.
struct RegistryTable {
    std::uint64_t version;
    void* state;
    int (*acquire_shared)(void* state, PyObject* array);
    int (*acquire_exclusive)(void* state, PyObject* array);
    void (*release_shared)(void* state, PyObject* array);
    void (*release_exclusive)(void* state, PyObject* array);
};

inline constexpr const char* registry_attribute = "_RUST_NUMPY_BORROW_CHECKING_API";

// The table in use, found on (or published to) the multiarray module on first use.
Result<const RegistryTable*> borrow_registry();

}  // namespace quorvane
