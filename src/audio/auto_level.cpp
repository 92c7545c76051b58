// The automatic threshold of CWaveSource.
#include <algorithm>
#include <cstdint>

#include "audio/wave_source.h"

std::uint8_t CWaveSource::RawFrameValue(std::uint32_t index) const {
  const std::uint8_t* s = m_data.data();
  if (m_channels == 1) return s[index];
  // Stereo: the integer average of the selected channels, 0 when none is.
  const std::uint8_t* frame = s + 2 * static_cast<std::size_t>(index);
  unsigned sum = 0;
  unsigned n = 0;
  if (m_useLeft == 1) {
    sum += frame[0];
    ++n;
  }
  if (m_useRight == 1) {
    sum += frame[1];
    ++n;
  }
  return static_cast<std::uint8_t>(sum / std::max(n, 1u));
}

std::uint8_t CWaveSource::GetAutoLevel(std::uint32_t count) const {
  // The window starts at the frame under the cursor; it is moved back to end
  // at the last frame when it would run past it, and it is the whole data
  // when the data is shorter than the window. Positions are 64-bit so that
  // a cursor far past the data cannot wrap around.
  std::uint64_t start = 0;
  if (m_position > 0.0) {
    start = m_position < 4294967296.0 ? static_cast<std::uint64_t>(m_position)
                                      : std::uint64_t{4294967296};
  }
  std::uint64_t length = count;
  if (start + length >= m_frameCount) start = m_frameCount - length;  // may wrap
  if (m_frameCount < length) {
    start = 0;
    length = m_frameCount;
  }

  // The sum is 64-bit: 255 times any 32-bit count fits.
  std::uint64_t sum = 0;
  unsigned minimum = 255;
  unsigned maximum = 0;
  const std::uint64_t end = start + length;
  for (std::uint64_t index = start; index < end; ++index) {
    const unsigned value = RawFrameValue(static_cast<std::uint32_t>(index));
    sum += value;
    maximum = std::max(maximum, value);
    minimum = std::min(minimum, value);
  }
  const unsigned mean = length == 0 ? 0 : static_cast<unsigned>(sum / length);
  const unsigned middle = (maximum + minimum) / 2;
  return static_cast<std::uint8_t>((mean + middle) / 2);
}
