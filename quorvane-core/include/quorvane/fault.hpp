// Internal faults: a broken invariant ends the process with a report on
// standard error. Nothing is unwound and nothing reaches Python.
#pragma once

#include <cstddef>
#include <source_location>
#include <string_view>

namespace quorvane {

// Writes the report (thread name, file:line:column, message, and either the
// backtrace note or a backtrace) in one write where it fits, then abort().
[[noreturn]] void report_fault(std::string_view message,
                               std::source_location where = std::source_location::current());

// A memory request of the module that cannot be met:
// "memory allocation of N bytes failed\n", then abort().
[[noreturn]] void report_allocation_failure(std::size_t bytes);

}  // namespace quorvane
