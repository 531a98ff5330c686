#include "bench/allocation_count.h"

#include <atomic>
#include <cstdlib>
#include <new>

namespace {

std::atomic<std::uint64_t> g_allocations{0};

// Kept out of line so that the compiler never pairs an inlined malloc with
// the free of another operator.
[[gnu::noinline]] void* CountedAllocate(std::size_t size)
{
    g_allocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(size == 0 ? 1 : size)) {
        return p;
    }
    throw std::bad_alloc();
}

[[gnu::noinline]] void CountedRelease(void* p) noexcept
{
    std::free(p);
}

} // namespace

std::uint64_t AllocationCount()
{
    return g_allocations.load(std::memory_order_relaxed);
}

void* operator new(std::size_t size)
{
    return CountedAllocate(size);
}

void* operator new[](std::size_t size)
{
    return CountedAllocate(size);
}

void operator delete(void* p) noexcept
{
    CountedRelease(p);
}

void operator delete[](void* p) noexcept
{
    CountedRelease(p);
}

void operator delete(void* p, std::size_t) noexcept
{
    CountedRelease(p);
}

void operator delete[](void* p, std::size_t) noexcept
{
    CountedRelease(p);
}
