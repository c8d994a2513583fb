// The process-wide borrow registry, shared through a capsule on NumPy's
// multiarray module with every extension module that follows the protocol.
#pragma once

#include "errors.hpp"
#include "once.hpp"
#include "python.hpp"
#include "view_key.hpp"

#include <cstdint>
#include <string_view>
#include <utility>

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

// Where an array's memory sits in the registry: its base and its view key,
// computed from one snapshot of the array's fields. Needs the NumPy API,
// which the caller shows by handing it over.
struct BorrowLocation {
    std::uintptr_t base;
    ViewKey key;
};
BorrowLocation locate_borrow(const numpy::Api& api, PyObject* array, const numpy::Snapshot& view);

// This module's own registry, whose operations can also be called at a
// location computed once.
bool is_own_registry(const RegistryTable& table);
int acquire_shared_at(void* state, const BorrowLocation& at);
void release_shared_at(void* state, const BorrowLocation& at);

// One shared borrow of an array's memory, given back by the destructor.
//
// In this module's own registry the borrow is taken and given back at a
// location computed once, from the snapshot the call decides from, and no
// code from outside runs. In a registry that another module published, both
// go through that module's functions, which look at the array themselves and
// may run any code: the caller then reads the array again afterwards
// (runs_outside_code).
class SharedBorrow {
public:
    // The borrow of `array`, whose fields were read into `view`. A refusal
    // (-1) is a RuntimeError naming `parameter`; any other failure code is an
    // internal fault.
    static Result<SharedBorrow> acquire(const numpy::Api& api, const RegistryTable& table,
                                        PyObject* array, const numpy::Snapshot& view,
                                        std::string_view parameter) {
        const bool own = is_own_registry(table);
        BorrowLocation location{};
        if (own) location = locate_borrow(api, array, view);
        const int rc = own ? acquire_shared_at(table.state, location)
                           : table.acquire_shared(table.state, array);
        if (rc != 0) [[unlikely]] return refused(rc, parameter);
        return SharedBorrow(&table, array, own, location);
    }

    // Moves and the destructor of a moved-from borrow stay inline: a call
    // moves its borrows a few times on their way into its call struct.
    SharedBorrow(SharedBorrow&& other) noexcept
        : table_(std::exchange(other.table_, nullptr)),
          array_(other.array_),
          own_(other.own_),
          location_(other.location_) {}
    SharedBorrow& operator=(SharedBorrow&&) = delete;
    ~SharedBorrow() {
        if (table_ != nullptr) release();
    }

    bool runs_outside_code() const { return !own_; }

private:
    SharedBorrow(const RegistryTable* table, PyObject* array, bool own,
                 const BorrowLocation& location)
        : table_(table), array_(array), own_(own), location_(location) {}
    // The error for a refusal (-1); any other code is an internal fault.
    [[gnu::cold]] static ErrorValue refused(int rc, std::string_view parameter);
    void release();
    const RegistryTable* table_;  // null once moved from
    PyObject* array_;  // borrowed: the holder keeps a reference for longer
    bool own_;  // in this module's own registry
    BorrowLocation location_;  // where, when own_
};

}  // namespace quorvane
