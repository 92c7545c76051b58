#include "audio/auto_level.h"

#include <algorithm>
#include <iterator>

#include "audio/byte_scan.h"

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

void CAutoLevel::Add(const SampleFrames& frames, std::uint64_t from, std::uint64_t to) {
  ForEachRun(frames.bytes.data(), frames.channels, frames.useLeft, frames.useRight, from, to,
             [this](unsigned value, std::uint64_t count) {
               m_sum += value * count;
               m_histogram[value] += static_cast<std::uint32_t>(count);
               if (value < m_minimum) m_minimum = value;
               if (value > m_maximum) m_maximum = value;
             });
}

void CAutoLevel::Remove(const SampleFrames& frames, std::uint64_t from, std::uint64_t to) {
  ForEachRun(frames.bytes.data(), frames.channels, frames.useLeft, frames.useRight, from, to,
             [this](unsigned value, std::uint64_t count) {
               m_sum -= value * count;
               m_histogram[value] -= static_cast<std::uint32_t>(count);
             });
  // The extremes move inward past values that left the window. The window
  // is never emptied by sliding, so a value is always found.
  while (m_histogram[m_minimum] == 0) ++m_minimum;
  while (m_histogram[m_maximum] == 0) --m_maximum;
}

std::uint8_t CAutoLevel::Level(const SampleFrames& frames, double position,
                               std::uint32_t count) {
  // The window starts at the frame under the cursor; it is moved back to end
  // at the last frame when it would run past it, and it is the whole data
  // when the data is shorter than the window. Positions are 64-bit so that
  // a cursor far past the data cannot wrap around.
  std::uint64_t start = 0;
  if (position > 0.0) {
    start = position < 4294967296.0 ? static_cast<std::uint64_t>(position)
                                      : std::uint64_t{4294967296};
  }
  std::uint64_t length = count;
  if (start + length >= frames.frameCount) start = frames.frameCount - length;  // may wrap
  if (frames.frameCount < length) {
    start = 0;
    length = frames.frameCount;
  }

  const bool slides = m_valid && m_length == length && length > 0 && start >= m_start &&
                      start - m_start < length;
  if (slides) {
    // Frames that entered, then frames that left: the window never empties.
    Add(frames, m_start + length, start + length);
    Remove(frames, m_start, start);
  } else {
    // Start afresh. A short old window is cheaper to take out frame by
    // frame than the whole histogram is to clear.
    if (m_valid && m_length <= 256) {
      ForEachRun(frames.bytes.data(), frames.channels, frames.useLeft, frames.useRight, m_start,
                 m_start + m_length, [this](unsigned value, std::uint64_t count) {
                   m_histogram[value] -= static_cast<std::uint32_t>(count);
                 });
    } else {
      std::fill(std::begin(m_histogram), std::end(m_histogram), 0u);
    }
    m_sum = 0;
    m_minimum = 255;
    m_maximum = 0;
    Add(frames, start, start + length);
    m_valid = true;
  }
  m_start = start;
  m_length = length;

  // The sum is 64-bit: 255 times any 32-bit count fits.
  const unsigned mean = length == 0 ? 0 : static_cast<unsigned>(m_sum / length);
  const unsigned middle = (m_maximum + m_minimum) / 2;
  return static_cast<std::uint8_t>((mean + middle) / 2);
}

}  // namespace tapedecoder
