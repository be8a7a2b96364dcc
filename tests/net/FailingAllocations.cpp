// A translation unit of its own, so that the compiler sees the replaced operators only as
// calls and never pairs an inlined malloc with a free.
#include "FailingAllocations.h"

#include <cstdlib>
#include <new>

namespace {
thread_local std::size_t g_fail_from = 0;
}  // namespace

namespace kel::test {
void FailAllocationsFrom(std::size_t bytes) {
    g_fail_from = bytes;
}
}  // namespace kel::test

void* operator new(std::size_t size) {
    if (g_fail_from != 0 && size >= g_fail_from) {
        throw std::bad_alloc();
    }
    if (void* block = std::malloc(size != 0 ? size : 1)) {
        return block;
    }
    throw std::bad_alloc();
}
void operator delete(void* block) noexcept {
    std::free(block);
}
void operator delete(void* block, std::size_t) noexcept {
    std::free(block);
}
