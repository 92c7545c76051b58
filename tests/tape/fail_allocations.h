// Making large allocations fail on purpose, to see how code copes when
// memory runs out. The test program replaces the global operator new.
#ifndef TAPEDECODER_TESTS_TAPE_FAIL_ALLOCATIONS_H_
#define TAPEDECODER_TESTS_TAPE_FAIL_ALLOCATIONS_H_

#include <cstddef>

namespace testing_support {

// While it lives, every operator new of `bytes` or more throws
// std::bad_alloc; smaller ones succeed as usual.
class FailAllocationsFrom {
 public:
  explicit FailAllocationsFrom(std::size_t bytes);
  ~FailAllocationsFrom();
  FailAllocationsFrom(const FailAllocationsFrom&) = delete;
  FailAllocationsFrom& operator=(const FailAllocationsFrom&) = delete;
};

}  // namespace testing_support

#endif  // TAPEDECODER_TESTS_TAPE_FAIL_ALLOCATIONS_H_
