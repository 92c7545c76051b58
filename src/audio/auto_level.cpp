// The automatic threshold of CWaveSource.
#include <algorithm>
#include <iterator>
#include <cstdint>

#include "audio/byte_scan.h"
#include "audio/wave_source.h"

namespace tapedecoder {

namespace {

// Calls visit(value, count) for each run of equal frame values in frames
// [from, to): the byte of a mono frame, the integer average of the selected
// channels of a stereo one. Tape signals hold their value for many frames,
// so the histogram is touched once a run instead of once a frame.
template <typename Visit>
void ForEachRun(const std::uint8_t* data, std::uint32_t channels, std::uint8_t useLeft,
                std::uint8_t useRight, std::uint64_t from, std::uint64_t to, Visit visit) {
  if (from >= to) return;
  if (channels == 2 && useLeft != 1 && useRight != 1) {
    visit(0u, to - from);
    return;
  }
  // Runs of identical frames have one value; neighbouring runs may share it.
  if (channels == 1) {
    for (std::uint64_t i = from; i < to;) {
      const std::uint64_t end = byte_scan::RunEnd<1>(data, i, to);
      visit(unsigned{data[i]}, end - i);
      i = end;
    }
    return;
  }
  const bool both = useLeft == 1 && useRight == 1;
  const std::uint8_t* one = data + (useLeft == 1 ? 0 : 1);
  for (std::uint64_t i = from; i < to;) {
    const std::uint64_t end = byte_scan::RunEnd<2>(data, i, to);
    visit(both ? (data[2 * i] + data[2 * i + 1]) / 2u : unsigned{one[2 * i]}, end - i);
    i = end;
  }
}

}  // namespace

void CWaveSource::AddToWindow(std::uint64_t from, std::uint64_t to) const {
  LevelWindow& w = m_window;
  ForEachRun(m_data.data(), m_channels, m_useLeft, m_useRight, from, to,
             [&w](unsigned value, std::uint64_t count) {
               w.sum += value * count;
               w.histogram[value] += static_cast<std::uint32_t>(count);
               if (value < w.minimum) w.minimum = value;
               if (value > w.maximum) w.maximum = value;
             });
}

void CWaveSource::RemoveFromWindow(std::uint64_t from, std::uint64_t to) const {
  LevelWindow& w = m_window;
  ForEachRun(m_data.data(), m_channels, m_useLeft, m_useRight, from, to,
             [&w](unsigned value, std::uint64_t count) {
               w.sum -= value * count;
               w.histogram[value] -= static_cast<std::uint32_t>(count);
             });
  // The extremes move inward past values that left the window. The window
  // is never emptied by sliding, so a value is always found.
  while (w.histogram[w.minimum] == 0) ++w.minimum;
  while (w.histogram[w.maximum] == 0) --w.maximum;
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
      ForEachRun(m_data.data(), m_channels, m_useLeft, m_useRight, w.start, w.start + w.length,
                 [&w](unsigned value, std::uint64_t count) {
                   w.histogram[value] -= static_cast<std::uint32_t>(count);
                 });
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

}  // namespace tapedecoder
