#include "registry.hpp"

#include "binding.hpp"
#include "memory.hpp"
#include "numpy.hpp"
#include "flat_map.hpp"
#include "lock.hpp"
#include "once.hpp"
#include "pool.hpp"
#include "view_key.hpp"

#include <limits>
#include <new>
#include <utility>

namespace quorvane {

namespace {

using Count = std::intptr_t;
constexpr Count largest_count = std::numeric_limits<Count>::max();

struct BaseHash {
    std::size_t operator()(std::uintptr_t base) const {
        std::uint64_t h = static_cast<std::uint64_t>(base) * 0x9E3779B97F4A7C15ull;
        return static_cast<std::size_t>(h ^ (h >> 32));
    }
};

// The views of a base with more than one. When a base's last view goes,
// its set is kept aside and reused for the next base, tables and all.
struct ViewSet {
    explicit ViewSet(BlockPool& pool) : views(pool) {}
    FlatMap<ViewKey, Count, ViewKeyHash> views;
    ViewSet* next_spare = nullptr;
};

constexpr std::size_t kept_view_capacity = 16;

class BorrowRegistry;

// The views of one base: most bases have a single view, kept in place; a
// second distinct view moves them all into a view set.
struct BaseViews {
    ViewKey only_key;
    Count only_count;
    ViewSet* set;

    Count* find(const ViewKey& key) {
        if (set == nullptr) return only_key == key ? &only_count : nullptr;
        auto* entry = set->views.find(key);
        return entry != nullptr ? &entry->value : nullptr;
    }
    template <class Visit>
    bool any_of(Visit visit) const {
        if (set == nullptr) return visit(only_key, only_count);
        return set->views.any_of(visit);
    }
    // Adds a view that is not there yet.
    void insert(BorrowRegistry& registry, const ViewKey& key, Count count);
    // Removes a view that is there; true when it was the base's last.
    bool erase(BorrowRegistry& registry, const ViewKey& key);
};

class BorrowRegistry {
public:
    BorrowRegistry() = default;
    BorrowRegistry(const BorrowRegistry&) = delete;
    BorrowRegistry& operator=(const BorrowRegistry&) = delete;
    ~BorrowRegistry() {
        bases.any_of([this](std::uintptr_t, const BaseViews& views) {
            if (views.set != nullptr) destroy(views.set);
            return false;
        });
        while (ViewSet* set = spares_) {
            spares_ = set->next_spare;
            destroy(set);
        }
    }

    ViewSet* take_set() {
        if (ViewSet* set = spares_) {
            spares_ = set->next_spare;
            return set;
        }
        return new (pool.allocate(sizeof(ViewSet))) ViewSet(pool);
    }
    void give_back(ViewSet* set) {
        set->views.clear_and_trim(kept_view_capacity);
        set->next_spare = spares_;
        spares_ = set;
    }

    Mutex lock;
    BlockPool pool;  // declared before the maps, so it outlives them
    FlatMap<std::uintptr_t, BaseViews, BaseHash> bases{pool};

private:
    void destroy(ViewSet* set) {
        set->~ViewSet();
        pool.deallocate(set, sizeof(ViewSet));
    }
    ViewSet* spares_ = nullptr;
};

void BaseViews::insert(BorrowRegistry& registry, const ViewKey& key, Count count) {
    if (set == nullptr) {
        set = registry.take_set();
        set->views.insert(only_key, only_count);
    }
    set->views.insert(key, count);
}

bool BaseViews::erase(BorrowRegistry& registry, const ViewKey& key) {
    if (set == nullptr) return true;
    set->views.erase(set->views.find(key));
    if (!set->views.empty()) return false;
    registry.give_back(set);
    set = nullptr;
    return true;
}

// For the operations other modules call: this module publishes its registry
// only after it has loaded the NumPy API, so the API is there.
const numpy::Api& registry_api() {
    const numpy::Api* api = numpy::api_if_loaded();
    if (api == nullptr) report_fault("borrow registry used before the NumPy API was found");
    return *api;
}

BorrowLocation locate_from_array(PyObject* array, const numpy::Snapshot& view) {
    return locate_borrow(registry_api(), array, view);
}

BorrowLocation locate_from_array(PyObject* array) {
    return locate_from_array(array, numpy::snapshot(array));
}

using BaseEntry = FlatMap<std::uintptr_t, BaseViews, BaseHash>::Entry;

// Drops one view of a base, and the base with its last view.
void remove_view(BorrowRegistry& registry, BaseEntry* base, const ViewKey& key) {
    if (base->value.erase(registry, key)) registry.bases.erase(base);
}

}  // namespace

int acquire_shared_at(void* state, const BorrowLocation& at) {
    auto& registry = *static_cast<BorrowRegistry*>(state);
    AttachedLock guard(registry.lock);
    BaseEntry* base = registry.bases.find(at.base);
    if (base == nullptr) {
        registry.bases.insert(at.base, BaseViews{at.key, 1, nullptr});
        return 0;
    }
    BaseViews& views = base->value;
    if (Count* count = views.find(at.key)) {
        if (*count < 0 || *count == largest_count) return -1;
        ++*count;
        return 0;
    }
    const bool refused = views.any_of([&](const ViewKey& other, Count count) {
        return count < 0 && conflicts(at.key, other);
    });
    if (refused) return -1;
    views.insert(registry, at.key, 1);
    return 0;
}

void release_shared_at(void* state, const BorrowLocation& at) {
    auto& registry = *static_cast<BorrowRegistry*>(state);
    AttachedLock guard(registry.lock);
    BaseEntry* base = registry.bases.find(at.base);
    if (base == nullptr) report_fault("release of a shared borrow whose base holds no borrow");
    Count* count = base->value.find(at.key);
    if (count == nullptr) report_fault("release of a shared borrow of a view that holds no borrow");
    if (*count <= 0) report_fault("release of a shared borrow of a view that holds no shared borrow");
    if (--*count == 0) remove_view(registry, base, at.key);
}

namespace {

int acquire_shared(void* state, PyObject* array) {
    return acquire_shared_at(state, locate_from_array(array));
}

int acquire_exclusive(void* state, PyObject* array) {
    const numpy::Snapshot view = numpy::snapshot(array);
    if ((view.flags & numpy::layout::writeable_flag) == 0) return -2;
    auto& registry = *static_cast<BorrowRegistry*>(state);
    const BorrowLocation at = locate_from_array(array, view);
    AttachedLock guard(registry.lock);
    BaseEntry* base = registry.bases.find(at.base);
    if (base == nullptr) {
        registry.bases.insert(at.base, BaseViews{at.key, -1, nullptr});
        return 0;
    }
    BaseViews& views = base->value;
    if (views.find(at.key) != nullptr) return -1;
    const bool refused =
        views.any_of([&](const ViewKey& other, Count) { return conflicts(at.key, other); });
    if (refused) return -1;
    views.insert(registry, at.key, -1);
    return 0;
}

void release_shared(void* state, PyObject* array) {
    release_shared_at(state, locate_from_array(array));
}

void release_exclusive(void* state, PyObject* array) {
    auto& registry = *static_cast<BorrowRegistry*>(state);
    const BorrowLocation at = locate_from_array(array);
    AttachedLock guard(registry.lock);
    BaseEntry* base = registry.bases.find(at.base);
    if (base == nullptr) report_fault("release of an exclusive borrow whose base holds no borrow");
    Count* count = base->value.find(at.key);
    if (count == nullptr || *count != -1) {
        report_fault("release of an exclusive borrow of a view that holds no exclusive borrow");
    }
    remove_view(registry, base, at.key);
}

void destroy_registry(PyObject* capsule) {
    auto* table = static_cast<RegistryTable*>(PyCapsule_GetPointer(capsule, registry_attribute));
    if (table == nullptr) {
        PyErr_Clear();
        return;
    }
    auto* registry = static_cast<BorrowRegistry*>(table->state);
    registry->~BorrowRegistry();
    std::free(registry);
    std::free(table);
}

// A new, empty registry in a capsule named after the registry attribute.
Result<Ref> create_registry() {
    auto* registry = new (allocate_or_abort(sizeof(BorrowRegistry))) BorrowRegistry();
    auto* table = new (allocate_or_abort(sizeof(RegistryTable))) RegistryTable{
        1, registry, acquire_shared, acquire_exclusive, release_shared, release_exclusive};
    Ref capsule = Ref::steal(PyCapsule_New(table, registry_attribute, destroy_registry));
    if (!capsule) {
        registry->~BorrowRegistry();
        std::free(registry);
        std::free(table);
        return fetch_pending_error();
    }
    return capsule;
}

// Publishes `created` as the module's registry attribute unless one is there
// already; either way returns the attribute's value then. On a module object
// the two steps are one dictionary operation, so threads that publish at once
// still agree on a single registry.
Result<Ref> publish(PyObject* module, Ref created) {
    if (!PyModule_Check(module)) {
        if (PyObject_SetAttrString(module, registry_attribute, created.get()) < 0) {
            return fetch_pending_error();
        }
        return created;
    }
    PyObject* dict = PyModule_GetDict(module);
    Ref key = Ref::steal(PyUnicode_FromString(registry_attribute));
    if (!key) return fetch_pending_error();
#if PY_VERSION_HEX >= 0x030D0000
    PyObject* value = nullptr;
    if (PyDict_SetDefaultRef(dict, key.get(), created.get(), &value) < 0) {
        return fetch_pending_error();
    }
    return Ref::steal(value);
#else
    PyObject* value = PyDict_SetDefault(dict, key.get(), created.get());
    if (value == nullptr) return fetch_pending_error();
    return Ref::borrow(value);
#endif
}

// Set while this thread looks the registry attribute up. That lookup may run
// Python code (a module-level __getattr__) which may call this module again:
// the nested call then looks in the module's dictionary only, so it neither
// runs that code again nor waits for the outer call.
thread_local bool looking_up = false;

class LookingUp {
public:
    LookingUp() { looking_up = true; }
    ~LookingUp() { looking_up = false; }
    LookingUp(const LookingUp&) = delete;
    LookingUp& operator=(const LookingUp&) = delete;
};

// No lock is held here: every step may run Python code, which may call this
// module again from this thread or wait for another thread that does.
Result<const RegistryTable*> discover_registry() {
    Result<const char*> module_name = numpy::multiarray_module_name();
    if (!module_name.ok()) return module_name.take_error();
    Ref name = Ref::steal(PyUnicode_FromString(module_name.value()));
    if (!name) return fetch_pending_error();
    Ref module = Ref::steal(PyImport_Import(name.get()));
    if (!module) return fetch_pending_error();

    Ref capsule;
    if (!looking_up) {
        LookingUp guard;
        capsule = Ref::steal(PyObject_GetAttrString(module.get(), registry_attribute));
        if (!capsule) PyErr_Clear();
    }
    if (!capsule) {
        Result<Ref> created = create_registry();
        if (!created.ok()) return created.take_error();
        Result<Ref> published = publish(module.get(), std::move(created.value()));
        if (!published.ok()) return published.take_error();
        capsule = std::move(published.value());
    }
    if (!Py_IS_TYPE(capsule.get(), &PyCapsule_Type)) {
        return conversion_error(capsule.get(), "PyCapsule");
    }

    const char* capsule_name = PyCapsule_GetName(capsule.get());
    auto* table = static_cast<const RegistryTable*>(PyCapsule_GetPointer(capsule.get(), capsule_name));
    PyErr_Clear();
    if (table == nullptr) report_fault("the borrow registry capsule holds no table");
    if (table->version == 0) {
        return ErrorValue::fixed(PyExc_TypeError,
                                 "version 0 of the borrow checking interface is not supported by "
                                 "this array binding");
    }
    const RegistryTable* stored = registry_cell.store(table);
    if (stored == table) capsule.release();  // held for the life of the process
    return stored;
}

}  // namespace

OnceCell<const RegistryTable> registry_cell;

Result<const RegistryTable*> find_borrow_registry() { return discover_registry(); }

BorrowLocation locate_borrow(const numpy::Api& api, PyObject* array, const numpy::Snapshot& view) {
    return {base_address(api, array), view_key(api, view)};
}

bool is_own_registry(const RegistryTable& table) { return table.acquire_shared == acquire_shared; }

ErrorValue SharedBorrow::refused(int code, std::string_view parameter) {
    if (code != -1) {
        Text message("Unexpected return code ");
        message.append_signed(code).append(" from borrow checking API");
        report_fault(message.view());
    }
    Text message("a shared borrow of argument '");
    message.append(parameter).append(
        "', which was expected to succeed, returned an error: AlreadyBorrowed");
    return ErrorValue::composed(PyExc_RuntimeError, std::move(message));
}

void SharedBorrow::release() {
    if (own_) {
        release_shared_at(table_->state, location_);
    } else {
        table_->release_shared(table_->state, array_);
    }
}

}  // namespace quorvane
