// Counts operator new calls, for the allocs_per_* counters of the benchmarks. Replaces the
// global operators: include it in one source of a benchmark program only.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <new>

// The replaced operators below pair malloc with free (the library's array forms call them); g++
// sees only the standard pairing.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

namespace {
std::atomic<uint64_t> gAllocations{0};
uint64_t allocations() {
    return gAllocations.load(std::memory_order_relaxed);
}
}  // namespace

void* operator new(std::size_t size) {
    gAllocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(size == 0 ? 1 : size)) {
        return p;
    }
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}
