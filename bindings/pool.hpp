// Recycles the registry's tables and view sets, so that once a process
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

}  // namespace quorvane
