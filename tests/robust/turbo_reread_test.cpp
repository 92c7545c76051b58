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
    float next = 0.0f;
    for (std::size_t n : c.chunks) {
      std::vector<float> chunk(n);
      for (float& x : chunk) x = next++;
      history.Append(chunk.data(), chunk.size());
    }
    history.DropBefore(c.dropBefore);
    EXPECT_EQ(history.Begin(), c.begin);
    EXPECT_EQ(history.End(), c.end);
    // Every sample held, by index and in the pieces the ring gives.
    for (std::int64_t i = history.Begin(); i < history.End(); ++i) ASSERT_EQ(history[i], static_cast<float>(i));
    for (std::int64_t i = history.Begin(); i < history.End();) {
      const auto [samples, n] = history.Run(i);
      ASSERT_GT(n, 0u);
      for (std::size_t k = 0; k < n; ++k) ASSERT_EQ(samples[k], static_cast<float>(i + static_cast<std::int64_t>(k)));
      i += static_cast<std::int64_t>(n);
    }
  }
}

}  // namespace
}  // namespace tapedecoder
