// Heap allocation counter of the benchmark programs: malloc and its siblings
// are replaced in the benchmark binary by versions that count every
// allocation before handing it to the C library.
#pragma once
#include <cstdint>

namespace benchalloc {

// Allocations made by the calling thread since it started.
uint64_t thread_count();
// Allocations made by every thread of the process since it started.
uint64_t total_count();

}  // namespace benchalloc
