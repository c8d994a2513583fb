// The module's own memory requests. One that cannot be met ends the process
// with "memory allocation of N bytes failed"; callers never see a failure.
#pragma once

#include <cstddef>

namespace quorvane {

void* allocate_or_abort(std::size_t bytes);
void* reallocate_or_abort(void* block, std::size_t bytes);

}  // namespace quorvane
