// The sample history a loader's block is read again from: what it holds
// after samples pass through its ring in chunks of any size.
#include "robust/turbo_reread.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <vector>

namespace tapedecoder {
namespace {

TEST(SampleHistory, HoldsTheNewestSamplesUpToItsCapacity) {
  struct Case {
    const char* name;
    std::size_t capacity;
    std::vector<std::size_t> chunks;
    std::int64_t dropBefore;  // after the last chunk
    std::int64_t begin, end;
  };
  const Case cases[] = {
      {"within the ring", 16, {5, 7}, 0, 0, 12},
      {"wrapping in a chunk", 16, {10, 10, 10}, 0, 14, 30},
      {"one chunk larger than the ring", 16, {3, 40}, 0, 27, 43},
      {"dropped by the caller", 16, {10, 10}, 12, 12, 20},
      {"dropped past the end", 16, {10}, 99, 10, 10},
      {"dropped before what the ring lost", 16, {30}, 5, 14, 30},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    CSampleHistory history(c.capacity);
    // Sample i is i/64 of full scale: exact in 16 bits.
    const auto sample = [](std::int64_t i) { return static_cast<float>(i) / 64.0f; };
    std::int64_t next = 0;
    for (std::size_t n : c.chunks) {
      std::vector<float> chunk(n);
      for (float& x : chunk) x = sample(next++);
      history.Append(chunk.data(), chunk.size());
    }
    history.DropBefore(c.dropBefore);
    EXPECT_EQ(history.Begin(), c.begin);
    EXPECT_EQ(history.End(), c.end);
    // Every sample held, by index and copied out across the ring's wrap.
    for (std::int64_t i = history.Begin(); i < history.End(); ++i) ASSERT_EQ(history[i], sample(i));
    std::vector<float> all(c.capacity + 1);
    const std::size_t n = history.Copy(history.Begin(), all.data(), all.size());
    ASSERT_EQ(n, static_cast<std::size_t>(history.End() - history.Begin()));
    for (std::size_t k = 0; k < n; ++k) ASSERT_EQ(all[k], sample(history.Begin() + static_cast<std::int64_t>(k)));
  }
}

}  // namespace
}  // namespace tapedecoder
