// Replaces the global operator new of the test binary that links FailingAllocations.cpp, so
// that a test can make allocations fail, for the tests of failures inside libcurl's callbacks.
#pragma once

#include <cstddef>

namespace kel::test {

// From now on, allocations of at least bytes fail with std::bad_alloc on the calling thread;
// 0 lets every allocation through again.
void FailAllocationsFrom(std::size_t bytes);

}  // namespace kel::test
