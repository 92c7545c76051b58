#include "tape/fail_allocations.h"

#include <atomic>
#include <cstdlib>
#include <new>


namespace {

// 0: no allocation fails.
std::atomic<std::size_t> g_failFrom{0};

}  // namespace

namespace testing_support {

FailAllocationsFrom::FailAllocationsFrom(std::size_t bytes) { g_failFrom = bytes; }
FailAllocationsFrom::~FailAllocationsFrom() { g_failFrom = 0; }

}  // namespace testing_support

// The replaced allocation functions; array and nothrow forms call these.
void* operator new(std::size_t size) {
  const std::size_t failFrom = g_failFrom.load(std::memory_order_relaxed);
  if (failFrom != 0 && size >= failFrom) throw std::bad_alloc();
  if (void* memory = std::malloc(size == 0 ? 1 : size)) return memory;
  throw std::bad_alloc();
}

void operator delete(void* memory) noexcept { std::free(memory); }
void operator delete(void* memory, std::size_t) noexcept { std::free(memory); }
