// The sliding automatic level and the jumping cursor must give exactly what
// the frame-by-frame and step-by-step computations give.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "audio/wave_source.h"
#include "reference_level.h"
#include "test_support.h"

using namespace tapedecoder;

namespace {

using testing_support::Bytes;
using testing_support::SimpleWave;

// Signals that exercise the jumps: square waves with jittered half-periods
// and amplitudes near the level, noise, ramps and constant stretches.
Bytes MakeSignal(std::mt19937& random, std::size_t frames, int kind) {
  Bytes out;
  out.reserve(frames);
  std::uniform_int_distribution<int> byte(0, 255);
  std::uniform_int_distribution<int> half(1, 40);
  std::uniform_int_distribution<int> jitter(-3, 3);
  bool high = false;
  while (out.size() < frames) {
    const int length = half(random);
    for (int i = 0; i < length && out.size() < frames; ++i) {
      switch (kind) {
        case 0:  // random bytes
          out.push_back(static_cast<std::uint8_t>(byte(random)));
          break;
        case 1:  // square wave hugging the level 127/128
          out.push_back(static_cast<std::uint8_t>((high ? 128 : 127) + jitter(random) * (i % 2)));
          break;
        case 2:  // full-swing square wave with long silences
          out.push_back(length > 30 ? 128 : high ? 215 : 40);
          break;
        default:  // slow ramps crossing every level at every fraction
          out.push_back(static_cast<std::uint8_t>((out.size() * 7) % 256));
          break;
      }
    }
    high = !high;
  }
  return out;
}

struct Case {
  int kind;
  std::uint16_t channels;
  std::uint8_t useLeft, useRight;
  double step;
};

std::string CaseName(const ::testing::TestParamInfo<Case>& info) {
  static const char* const kKinds[] = {"Noise", "NearLevel", "SquareAndSilence", "Ramp"};
  const Case& c = info.param;
  std::string name = std::string(kKinds[c.kind]) + (c.channels == 1 ? "Mono" : "Stereo");
  if (c.channels == 2) name += std::string(c.useLeft ? "L" : "") + (c.useRight ? "R" : "") + "Used";
  const int thousandths = static_cast<int>(c.step * 1000 + 0.5);
  return name + "Step" + std::to_string(thousandths / 1000) + "p" +
         std::to_string(1000 + thousandths % 1000).substr(1);
}

class FastPathsTest : public ::testing::TestWithParam<Case> {};

TEST_P(FastPathsTest, ScanMatchesTheStepByStepLoop) {
  const Case c = GetParam();
  std::mt19937 random(1234 + c.kind * 17 + c.channels);
  for (int round = 0; round < 6; ++round) {
    const std::size_t frames = 50 + random() % 3000;
    const Bytes samples = MakeSignal(random, frames * c.channels, c.kind);
    const Bytes file = SimpleWave(samples, c.channels);
    CWaveSource fast, slow;
    for (CWaveSource* s : {&fast, &slow}) {
      s->SetChannels(c.useLeft, c.useRight);
      ASSERT_TRUE(s->OpenMemory(file.data(), file.size()));
      s->SetStep(c.step);
    }
    std::uniform_int_distribution<int> levels(0, 255);
    std::uint8_t fastState = 0, slowState = 0;
    int calls = 0;
    while (!slow.IsAtEnd()) {
      const std::uint8_t level = static_cast<std::uint8_t>(
          c.kind == 1 ? 126 + random() % 3 : levels(random));
      const std::int32_t limit = 1 + random() % 600;
      const std::int32_t expected = reference::ScanForSideChange(slow, level, slowState, limit);
      const std::int32_t actual = fast.ScanForSideChange(level, fastState, limit);
      ASSERT_EQ(actual, expected) << "call " << calls << " level " << int(level);
      ASSERT_EQ(fast.Position(), slow.Position()) << "call " << calls;
      ASSERT_EQ(fastState, slowState) << "call " << calls;
      ++calls;
    }
    EXPECT_TRUE(fast.IsAtEnd());
  }
}

TEST_P(FastPathsTest, SlidingLevelMatchesAFreshPassOverTheWindow) {
  const Case c = GetParam();
  std::mt19937 random(99 + c.kind);
  const std::size_t frames = 500 + random() % 4000;
  const Bytes file = SimpleWave(MakeSignal(random, frames * c.channels, c.kind), c.channels);
  CWaveSource source;
  source.SetChannels(c.useLeft, c.useRight);
  ASSERT_TRUE(source.OpenMemory(file.data(), file.size()));
  source.SetStep(c.step);
  const std::uint32_t windows[] = {1, 2, 7, 200, 255, 256, 257, 1000,
                                   static_cast<std::uint32_t>(frames - 1),
                                   static_cast<std::uint32_t>(frames),
                                   static_cast<std::uint32_t>(frames + 1), 44100,
                                   0xFFFFFFFFu};
  for (std::uint32_t window : windows) {
    source.Rewind();
    std::uint8_t state = 0;
    int calls = 0;
    do {
      ASSERT_EQ(source.GetAutoLevel(window),
                reference::AutoLevel(source, window, c.useLeft, c.useRight))
          << "window " << window << " call " << calls << " at " << source.Position();
      source.ScanForSideChange(127, state, 1 + random() % 500);
      ++calls;
    } while (!source.IsAtEnd());
    // Past the end, and back from the start after a rewind.
    ASSERT_EQ(source.GetAutoLevel(window),
              reference::AutoLevel(source, window, c.useLeft, c.useRight));
    source.Rewind();
    ASSERT_EQ(source.GetAutoLevel(window),
              reference::AutoLevel(source, window, c.useLeft, c.useRight));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Signals, FastPathsTest,
    ::testing::Values(Case{0, 1, 1, 1, 0.2}, Case{1, 1, 1, 1, 0.2}, Case{2, 1, 1, 1, 0.2},
                      Case{3, 1, 1, 1, 0.2}, Case{0, 2, 1, 1, 0.2}, Case{1, 2, 1, 0, 0.2},
                      Case{2, 2, 0, 1, 0.2}, Case{0, 2, 0, 0, 0.2}, Case{3, 2, 1, 1, 0.2},
                      // Other steps: thirds, tiny steps, ties in small binades.
                      Case{0, 1, 1, 1, 1.0 / 3}, Case{2, 1, 1, 1, 0.7},
                      Case{1, 1, 1, 1, 0.05}, Case{3, 2, 1, 1, 0.375},
                      Case{2, 1, 1, 1, 1.5}),
    CaseName);

TEST(FastPathsLongTest, CursorStaysExactOverAMillionFrames) {
  // Far from the start the unit of the cursor grows; the jumps must still
  // land where the running sum lands.
  std::mt19937 random(7);
  const Bytes file = SimpleWave(MakeSignal(random, 1 << 20, 2));
  CWaveSource fast, slow;
  for (CWaveSource* s : {&fast, &slow}) {
    ASSERT_TRUE(s->OpenMemory(file.data(), file.size()));
    s->SetStep(0.2);
  }
  std::uint8_t fastState = 0, slowState = 0;
  while (!slow.IsAtEnd()) {
    const std::int32_t expected = reference::ScanForSideChange(slow, 127, slowState, 500);
    ASSERT_EQ(fast.ScanForSideChange(127, fastState, 500), expected);
    ASSERT_EQ(fast.Position(), slow.Position());
  }
}

}  // namespace
