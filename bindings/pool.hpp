// Recycles the registry's map nodes and bucket arrays, so that once a process
// has seen its usual number of borrows, borrowing allocates nothing. Not
// thread-safe: the registry uses it under its lock only.
#pragma once

#include <array>
#include <cstddef>

namespace quorvane {

class BlockPool {
public:
    BlockPool() = default;
    BlockPool(const BlockPool&) = delete;
    BlockPool& operator=(const BlockPool&) = delete;
    ~BlockPool();

    void* allocate(std::size_t bytes);
    void deallocate(void* block, std::size_t bytes);

private:
    struct FreeBlock {
        FreeBlock* next;
    };
    struct SizeClass {
        std::size_t bytes = 0;
        FreeBlock* head = nullptr;
    };
    SizeClass* find(std::size_t bytes, bool create);
    std::array<SizeClass, 12> classes_{};
};

template <class T>
class PoolAllocator {
public:
    using value_type = T;
    explicit PoolAllocator(BlockPool* pool) : pool_(pool) {}
    template <class U>
    PoolAllocator(const PoolAllocator<U>& other) : pool_(other.pool()) {}

    T* allocate(std::size_t count) { return static_cast<T*>(pool_->allocate(count * sizeof(T))); }
    void deallocate(T* block, std::size_t count) { pool_->deallocate(block, count * sizeof(T)); }
    BlockPool* pool() const { return pool_; }

    template <class U>
    bool operator==(const PoolAllocator<U>& other) const { return pool_ == other.pool(); }

private:
    BlockPool* pool_;
};

}  // namespace quorvane
