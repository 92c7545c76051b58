// The samples of one loaded recording and how a read mixes its channels.
#ifndef TAPEDECODER_AUDIO_SAMPLE_FRAMES_H_
#define TAPEDECODER_AUDIO_SAMPLE_FRAMES_H_

#include <cstdint>
#include <vector>

namespace tapedecoder {

// 8-bit unsigned samples in frames of `channels` bytes, left first. A frame
// is one sample period; `frameCount` whole frames are held.
struct SampleFrames {
  std::vector<std::uint8_t> bytes;
  std::uint32_t channels = 0;
  std::uint32_t frameCount = 0;
  // Which channels of a stereo recording reads use; a flag counts only when
  // it is 1. Mono reads ignore both.
  std::uint8_t useLeft = 1;
  std::uint8_t useRight = 1;

  // The value read at fraction f (0 <= f < 1) of frame i < frameCount:
  // interpolated toward the next frame (the last frame toward itself) in
  // double arithmetic and truncated; stereo sums the selected channels
  // unrounded and truncates their average once (none selected reads 0).
  std::uint8_t ValueInFrame(std::uint32_t i, double f) const {
    const std::uint32_t j = i + 1 < frameCount ? i + 1 : i;
    const std::uint8_t* s = bytes.data();
    if (channels == 1)
      return static_cast<std::uint8_t>(s[i] + f * static_cast<double>(s[j] - s[i]));
    const std::uint8_t* a = s + 2 * static_cast<std::size_t>(i);
    const std::uint8_t* b = s + 2 * static_cast<std::size_t>(j);
    double sum = 0.0;
    int n = 0;
    if (useLeft == 1) {
      sum = (a[0] + f * static_cast<double>(b[0] - a[0])) + sum;
      ++n;
    }
    if (useRight == 1) {
      sum = (a[1] + f * static_cast<double>(b[1] - a[1])) + sum;
      ++n;
    }
    if (n == 0) n = 1;
    return static_cast<std::uint8_t>(sum / n);
  }
};

}  // namespace tapedecoder

#endif  // TAPEDECODER_AUDIO_SAMPLE_FRAMES_H_
