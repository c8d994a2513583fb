#include "pool.hpp"

#include "memory.hpp"

#include <cstdlib>

namespace quorvane {

BlockPool::~BlockPool() {
    for (SizeClass& size_class : classes_) {
        while (FreeBlock* block = size_class.head) {
            size_class.head = block->next;
            std::free(block);
        }
    }
}

BlockPool::SizeClass* BlockPool::find(std::size_t bytes, bool create) {
    for (SizeClass& size_class : classes_) {
        if (size_class.bytes == bytes) return &size_class;
        if (size_class.bytes == 0) {
            if (!create) return nullptr;
            size_class.bytes = bytes;
            return &size_class;
        }
    }
    return nullptr;
}

void* BlockPool::allocate(std::size_t bytes) {
    if (bytes < sizeof(FreeBlock)) bytes = sizeof(FreeBlock);
    if (SizeClass* size_class = find(bytes, false)) {
        if (FreeBlock* block = size_class->head) {
            size_class->head = block->next;
            return block;
        }
    }
    return allocate_or_abort(bytes);
}

void BlockPool::deallocate(void* block, std::size_t bytes) {
    if (bytes < sizeof(FreeBlock)) bytes = sizeof(FreeBlock);
    SizeClass* size_class = find(bytes, true);
    if (size_class == nullptr) {
        std::free(block);
        return;
    }
    auto* free_block = static_cast<FreeBlock*>(block);
    free_block->next = size_class->head;
    size_class->head = free_block;
}

}  // namespace quorvane
