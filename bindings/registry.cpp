#include "registry.hpp"

#include "binding.hpp"
#include "memory.hpp"
#include "numpy.hpp"
#include "once.hpp"
#include "pool.hpp"
#include "view_key.hpp"

#include <functional>
#include <limits>
#include <mutex>
#include <new>
#include <unordered_map>

namespace quorvane {

namespace {

// Takes a mutex without ever blocking while attached to the interpreter: a
// thread that has to wait detaches first, so it cannot hold up the holder
// (under the GIL) or a stop-the-world pause (free-threaded).
class AttachedLock {
public:
    explicit AttachedLock(std::mutex& mutex) : mutex_(mutex) {
        if (mutex_.try_lock()) return;
        PyThreadState* state = PyEval_SaveThread();
        mutex_.lock();
        PyEval_RestoreThread(state);
    }
    ~AttachedLock() { mutex_.unlock(); }
    AttachedLock(const AttachedLock&) = delete;
    AttachedLock& operator=(const AttachedLock&) = delete;

private:
    std::mutex& mutex_;
};

using Count = std::intptr_t;
using ViewMap = std::unordered_map<ViewKey, Count, ViewKeyHash, std::equal_to<ViewKey>,
                                   PoolAllocator<std::pair<const ViewKey, Count>>>;
using BaseMap = std::unordered_map<std::uintptr_t, ViewMap, std::hash<std::uintptr_t>,
                                   std::equal_to<std::uintptr_t>,
                                   PoolAllocator<std::pair<const std::uintptr_t, ViewMap>>>;

constexpr Count largest_count = std::numeric_limits<Count>::max();

struct BorrowRegistry {
    std::mutex lock;
    BlockPool pool;  // declared before the maps, so it outlives them
    BaseMap bases{PoolAllocator<std::pair<const std::uintptr_t, ViewMap>>(&pool)};
};

struct Located {
    std::uintptr_t base;
    ViewKey key;
};

const numpy::Api& registry_api() {
    const numpy::Api* api = numpy::api_if_loaded();
    if (api == nullptr) report_fault("borrow registry used before the NumPy API was found");
    return *api;
}

Located locate(PyObject* array) {
    const numpy::Api& api = registry_api();
    return {base_address(api, array), view_key(api, array)};
}

bool conflicts_with_any(const ViewMap& views, const ViewKey& key, bool exclusive_only) {
    for (const auto& [other, count] : views) {
        if (exclusive_only && count >= 0) continue;
        if (conflicts(key, other)) return true;
    }
    return false;
}

int acquire_shared(void* state, PyObject* array) {
    auto& registry = *static_cast<BorrowRegistry*>(state);
    const Located at = locate(array);
    AttachedLock guard(registry.lock);
    auto base = registry.bases.find(at.base);
    if (base == registry.bases.end()) {
        auto& views =
            registry.bases.try_emplace(at.base, PoolAllocator<std::pair<const ViewKey, Count>>(&registry.pool))
                .first->second;
        views.emplace(at.key, 1);
        return 0;
    }
    ViewMap& views = base->second;
    if (auto view = views.find(at.key); view != views.end()) {
        if (view->second < 0 || view->second == largest_count) return -1;
        ++view->second;
        return 0;
    }
    if (conflicts_with_any(views, at.key, true)) return -1;
    views.emplace(at.key, 1);
    return 0;
}

int acquire_exclusive(void* state, PyObject* array) {
    if ((numpy::fields(array)->flags & numpy::writeable_flag) == 0) return -2;
    auto& registry = *static_cast<BorrowRegistry*>(state);
    const Located at = locate(array);
    AttachedLock guard(registry.lock);
    auto base = registry.bases.find(at.base);
    if (base == registry.bases.end()) {
        auto& views =
            registry.bases.try_emplace(at.base, PoolAllocator<std::pair<const ViewKey, Count>>(&registry.pool))
                .first->second;
        views.emplace(at.key, -1);
        return 0;
    }
    ViewMap& views = base->second;
    if (views.contains(at.key) || conflicts_with_any(views, at.key, false)) return -1;
    views.emplace(at.key, -1);
    return 0;
}

void release_shared(void* state, PyObject* array) {
    auto& registry = *static_cast<BorrowRegistry*>(state);
    const Located at = locate(array);
    AttachedLock guard(registry.lock);
    auto base = registry.bases.find(at.base);
    if (base == registry.bases.end()) report_fault("release of a shared borrow whose base holds no borrow");
    ViewMap& views = base->second;
    auto view = views.find(at.key);
    if (view == views.end()) report_fault("release of a shared borrow of a view that holds no borrow");
    if (view->second <= 0) report_fault("release of a shared borrow of a view that holds no shared borrow");
    if (--view->second != 0) return;
    if (views.size() > 1) {
        views.erase(view);
    } else {
        registry.bases.erase(base);
    }
}

void release_exclusive(void* state, PyObject* array) {
    auto& registry = *static_cast<BorrowRegistry*>(state);
    const Located at = locate(array);
    AttachedLock guard(registry.lock);
    auto base = registry.bases.find(at.base);
    if (base == registry.bases.end()) report_fault("release of an exclusive borrow whose base holds no borrow");
    ViewMap& views = base->second;
    auto view = views.find(at.key);
    if (view == views.end() || view->second != -1) {
        report_fault("release of an exclusive borrow of a view that holds no exclusive borrow");
    }
    if (views.size() > 1) {
        views.erase(view);
    } else {
        registry.bases.erase(base);
    }
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

OnceCell<const RegistryTable> table_cell;
std::mutex discovery_lock;

Result<const RegistryTable*> discover_registry() {
    Result<const char*> module_name = numpy::multiarray_module_name();
    if (!module_name.ok()) return module_name.take_error();
    Ref name = Ref::steal(PyUnicode_FromString(module_name.value()));
    if (!name) return fetch_pending_error();
    Ref module = Ref::steal(PyImport_Import(name.get()));
    if (!module) return fetch_pending_error();

    Ref capsule = Ref::steal(PyObject_GetAttrString(module.get(), registry_attribute));
    if (!capsule) {
        PyErr_Clear();
        Result<Ref> created = create_registry();
        if (!created.ok()) return created.take_error();
        capsule = std::move(created.value());
        if (PyObject_SetAttrString(module.get(), registry_attribute, capsule.get()) < 0) {
            return fetch_pending_error();
        }
    } else if (!Py_IS_TYPE(capsule.get(), &PyCapsule_Type)) {
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
    capsule.release();  // held for the life of the process
    return table_cell.store(table);
}

}  // namespace

Result<const RegistryTable*> borrow_registry() {
    if (const RegistryTable* table = table_cell.load()) return table;
    // One discovery at a time, so that this module never publishes two registries.
    AttachedLock guard(discovery_lock);
    if (const RegistryTable* table = table_cell.load()) return table;
    return discover_registry();
}

}  // namespace quorvane
