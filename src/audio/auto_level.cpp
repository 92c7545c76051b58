// The automatic threshold of CWaveSource.
#include <algorithm>
#include <iterator>
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

void CWaveSource::AddToWindow(std::uint64_t from, std::uint64_t to) const {
  for (std::uint64_t index = from; index < to; ++index) {
    const unsigned value = RawFrameValue(static_cast<std::uint32_t>(index));
    m_window.sum += value;
    ++m_window.histogram[value];
    m_window.minimum = std::min(m_window.minimum, value);
    m_window.maximum = std::max(m_window.maximum, value);
  }
}

void CWaveSource::RemoveFromWindow(std::uint64_t from, std::uint64_t to) const {
  for (std::uint64_t index = from; index < to; ++index) {
    const unsigned value = RawFrameValue(static_cast<std::uint32_t>(index));
    m_window.sum -= value;
    --m_window.histogram[value];
  }
  // The extremes move inward past values that left the window. The window
  // is never emptied by sliding, so a value is always found.
  while (m_window.histogram[m_window.minimum] == 0) ++m_window.minimum;
  while (m_window.histogram[m_window.maximum] == 0) --m_window.maximum;
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

  LevelWindow& w = m_window;
  const bool slides = w.valid && w.length == length && length > 0 &&
                      start >= w.start && start - w.start < length;
  if (slides) {
    // Frames that entered, then frames that left: the window never empties.
    AddToWindow(w.start + length, start + length);
    RemoveFromWindow(w.start, start);
  } else {
    // Start afresh. A short old window is cheaper to take out frame by
    // frame than the whole histogram is to clear.
    if (w.valid && w.length <= 256) {
      for (std::uint64_t index = w.start; index < w.start + w.length; ++index)
        --w.histogram[RawFrameValue(static_cast<std::uint32_t>(index))];
    } else {
      std::fill(std::begin(w.histogram), std::end(w.histogram), 0u);
    }
    w.sum = 0;
    w.minimum = 255;
    w.maximum = 0;
    AddToWindow(start, start + length);
    w.valid = true;
  }
  w.start = start;
  w.length = length;

  // The sum is 64-bit: 255 times any 32-bit count fits.
  const unsigned mean = length == 0 ? 0 : static_cast<unsigned>(w.sum / length);
  const unsigned middle = (w.maximum + w.minimum) / 2;
  return static_cast<std::uint8_t>((mean + middle) / 2);
}
