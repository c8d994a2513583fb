#include "memory.hpp"

#include <quorvane/fault.hpp>

#include <cstdlib>

namespace quorvane {

void* allocate_or_abort(std::size_t bytes) {
    void* block = std::malloc(bytes == 0 ? 1 : bytes);
    if (block == nullptr) report_allocation_failure(bytes);
    return block;
}

void* reallocate_or_abort(void* block, std::size_t bytes) {
    void* grown = std::realloc(block, bytes == 0 ? 1 : bytes);
    if (grown == nullptr) report_allocation_failure(bytes);
    return grown;
}

}  // namespace quorvane
