// The automatic threshold: a sliding window over the samples.
#ifndef TAPEDECODER_AUDIO_AUTO_LEVEL_H_
#define TAPEDECODER_AUDIO_AUTO_LEVEL_H_

#include <cstdint>

#include "audio/sample_frames.h"

namespace tapedecoder {

// Computes the automatic threshold at successive cursor positions. Calls
// at positions that move forward slide one window along the data instead
// of summing it afresh, so a call costs the frames the cursor passed since
// the last one rather than the window's length. Reset() must be called
// whenever the frames or their channel flags change.
class CAutoLevel {
 public:
  // The threshold from a window of `count` frames that starts at the frame
  // under `position`, moved back to end at the last frame when it would run
  // past it, and the whole data when that is shorter: halfway (rounded
  // down) between the window's mean and the middle of its range, each
  // rounded down. Raw frame values (stereo: the integer average of the
  // selected channels), never interpolated. No frames give 63.
  std::uint8_t Level(const SampleFrames& frames, double position, std::uint32_t count);

  // Forgets the window; the next Level sums afresh.
  void Reset() { m_valid = false; }

 private:
  void Add(const SampleFrames& frames, std::uint64_t from, std::uint64_t to);
  void Remove(const SampleFrames& frames, std::uint64_t from, std::uint64_t to);

  // The window: frames [m_start, m_start + m_length), their sum and a
  // histogram of their values for the minimum and maximum.
  bool m_valid = false;
  std::uint64_t m_start = 0;
  std::uint64_t m_length = 0;
  std::uint64_t m_sum = 0;
  unsigned m_minimum = 255;
  unsigned m_maximum = 0;
  std::uint32_t m_histogram[256] = {};
};

}  // namespace tapedecoder

#endif  // TAPEDECODER_AUDIO_AUTO_LEVEL_H_
