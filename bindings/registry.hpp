// The process-wide borrow registry, shared through a capsule on NumPy's
// multiarray module with every extension module that follows the protocol.
#pragma once

#include "errors.hpp"
#include "once.hpp"
#include "python.hpp"
#include "view_key.hpp"

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

extern OnceCell<const RegistryTable> registry_cell;

// The table in use, found on (or published to) the multiarray module on first use.
Result<const RegistryTable*> find_borrow_registry();
inline Result<const RegistryTable*> borrow_registry() {
    if (const RegistryTable* table = registry_cell.load()) return table;
    return find_borrow_registry();
}

// Where an array's memory sits in the registry: its base and its view key.
struct BorrowLocation {
    std::uintptr_t base;
    ViewKey key;
};

// The registry this module created, whose operations can also be called with
// a location computed once: a release then needs no second look at the array.
bool is_own_registry(const RegistryTable* table);
BorrowLocation locate_borrow(PyObject* array, const numpy::Snapshot& view);
BorrowLocation locate_borrow(PyObject* array);
int acquire_shared_at(void* state, const BorrowLocation& at);
void release_shared_at(void* state, const BorrowLocation& at);

}  // namespace quorvane
