// Straightforward implementations of the automatic level and of stepping to
// a change of side, kept as the measure of the optimised ones.
#ifndef TAPEDECODER_TESTS_AUDIO_REFERENCE_LEVEL_H_
#define TAPEDECODER_TESTS_AUDIO_REFERENCE_LEVEL_H_

#include <algorithm>
#include <cstdint>

#include "audio/wave_source.h"

using namespace tapedecoder;

namespace reference {

// The level from a fresh pass over the window, frame by frame.
inline std::uint8_t AutoLevel(const CWaveSource& source, std::uint32_t count,
                              std::uint8_t useLeft, std::uint8_t useRight) {
  const std::uint64_t frames = source.FrameCount();
  std::uint64_t start = 0;
  const double position = source.Position();
  if (position > 0.0) start = position < 4294967296.0 ? std::uint64_t(position) : 4294967296u;
  std::uint64_t length = count;
  if (start + length >= frames) start = frames - length;
  if (frames < length) {
    start = 0;
    length = frames;
  }
  const auto& data = source.Data();
  std::uint64_t sum = 0;
  unsigned minimum = 255, maximum = 0;
  for (std::uint64_t i = start; i < start + length; ++i) {
    unsigned value;
    if (source.Channels() == 1) {
      value = data[i];
    } else {
      unsigned s = 0, n = 0;
      if (useLeft == 1) s += data[2 * i], ++n;
      if (useRight == 1) s += data[2 * i + 1], ++n;
      value = s / std::max(n, 1u);
    }
    sum += value;
    maximum = std::max(maximum, value);
    minimum = std::min(minimum, value);
  }
  const unsigned mean = length == 0 ? 0 : unsigned(sum / length);
  return std::uint8_t((mean + (maximum + minimum) / 2) / 2);
}

// Read, compare, advance, test: one step at a time.
inline std::int32_t ScanForSideChange(CWaveSource& source, std::uint8_t level,
                                      std::uint8_t& state, std::int32_t limit) {
  for (std::int32_t i = 0; i < limit; ++i) {
    std::uint8_t sample = 0;
    if (!source.ReadSample(sample)) return -1;
    const std::uint8_t side = sample > level ? 1 : 0;
    source.Advance();
    if (side != state) {
      state = side;
      return i;
    }
  }
  return -1;
}

}  // namespace reference

#endif  // TAPEDECODER_TESTS_AUDIO_REFERENCE_LEVEL_H_
