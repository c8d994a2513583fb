// The process-wide borrow registry, shared through a capsule on NumPy's
// multiarray module with every extension module that follows the protocol.
#pragma once

#include "errors.hpp"
#include "once.hpp"
#include "python.hpp"
#include "view_key.hpp"

#include <cstdint>
#include <string_view>

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

// One shared borrow of an array's memory: taken by the constructor, given
// back by the destructor.
//
// In this module's own registry the borrow is taken and given back at a
// location computed once, from the snapshot the call decides from, and no
// code from outside runs. In a registry that another module published, both
// go through that module's functions, which look at the array themselves and
// may run any code: the caller then reads the array again afterwards
// (runs_outside_code). Made in place by its holder, never moved.
class SharedBorrow {
public:
    // Takes the borrow of `array`, whose fields were read into `view`; the NumPy
    // API is the one the array was tested with. When the registry refuses,
    // nothing is held and code() says why.
    SharedBorrow(const numpy::Api& api, const RegistryTable& table, PyObject* array,
                 const numpy::Snapshot& view)
        : array_(array), own_(is_own_registry(table)) {
        if (own_) location_ = locate_borrow(api, array, view);
        code_ = own_ ? acquire_shared_at(table.state, location_)
                     : table.acquire_shared(table.state, array);
        if (code_ == 0) table_ = &table;
    }
    SharedBorrow(const SharedBorrow&) = delete;
    SharedBorrow& operator=(const SharedBorrow&) = delete;
    ~SharedBorrow() {
        if (table_ != nullptr) release();
    }

    // 0 while the borrow is held, else the registry's answer.
    int code() const { return code_; }
    bool runs_outside_code() const { return !own_; }

    // The error for an answer other than 0: a refusal (-1) is a RuntimeError
    // naming `parameter`; any other answer is an internal fault.
    [[gnu::cold]] static ErrorValue refused(int code, std::string_view parameter);

private:
    void release();
    const RegistryTable* table_ = nullptr;  // set while the borrow is held
    PyObject* array_;  // borrowed: the holder keeps a reference for longer
    bool own_;  // in this module's own registry
    int code_ = 0;
    BorrowLocation location_{};  // where, when own_
};

}  // namespace quorvane
