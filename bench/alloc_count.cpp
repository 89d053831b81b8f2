// Counting replacements of the C library's allocation functions.  The
// executable's definitions take precedence over the C library's, so every
// allocation of the process (operator new included) passes through here.
#include "alloc_count.h"

#include <atomic>
#include <cerrno>
#include <cstddef>

extern "C" {
void* __libc_malloc(std::size_t size);
void* __libc_calloc(std::size_t n, std::size_t size);
void* __libc_realloc(void* p, std::size_t size);
void* __libc_memalign(std::size_t alignment, std::size_t size);
void __libc_free(void* p);
}

namespace {

std::atomic<uint64_t> g_total{0};
thread_local uint64_t t_count = 0;

inline void count()
{
    ++t_count;
    g_total.fetch_add(1, std::memory_order_relaxed);
}

}  // namespace

namespace benchalloc {

uint64_t thread_count()
{
    return t_count;
}

uint64_t total_count()
{
    return g_total.load(std::memory_order_relaxed);
}

}  // namespace benchalloc

extern "C" {

void* malloc(std::size_t size)
{
    count();
    return __libc_malloc(size);
}

void* calloc(std::size_t n, std::size_t size)
{
    count();
    return __libc_calloc(n, size);
}

void* realloc(void* p, std::size_t size)
{
    count();
    return __libc_realloc(p, size);
}

void free(void* p)
{
    __libc_free(p);
}

void* memalign(std::size_t alignment, std::size_t size)
{
    count();
    return __libc_memalign(alignment, size);
}

void* aligned_alloc(std::size_t alignment, std::size_t size)
{
    count();
    return __libc_memalign(alignment, size);
}

int posix_memalign(void** out, std::size_t alignment, std::size_t size)
{
    if (alignment < sizeof(void*) || (alignment & (alignment - 1)) != 0)
        return EINVAL;
    count();
    void* p = __libc_memalign(alignment, size);
    if (p == nullptr)
        return ENOMEM;
    *out = p;
    return 0;
}

}  // extern "C"
