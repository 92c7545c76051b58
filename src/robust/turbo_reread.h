// Reads a loader's block again with the robust method's box trackers,
// calibrated to the timing the pulse segmenter measured on it. The
// segmenter reads a block at any timing from the plain edges of one
// trigger, which noise, a high-pass or a band limit bend; the box trackers
// decide each bit from the whole of it and follow the speed, as they do
// for ROM-timed blocks. The segmenter hands a block over only once the
// pause after it has come, so the samples from its start on are held
// until then (CSampleHistory).
#ifndef TAPEDECODER_ROBUST_TURBO_REREAD_H_
#define TAPEDECODER_ROBUST_TURBO_REREAD_H_

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "robust/robust_decoder.h"
#include "tape/tape_block.h"

namespace tapedecoder {

// The newest samples of a stream, from a moment the caller moves on.
// Memory: 4 bytes a sample held (the longest stretch the segmenter holds
// without a pause: a 40 KB turbo block at 44.1 kHz is about 12 MiB).
class CSampleHistory {
 public:
  void Append(const float* samples, std::size_t count);
  // Samples before index `first` (from the first one appended) are no
  // longer needed.
  void DropBefore(std::int64_t first);
  // The index of the oldest sample held, and one past the newest.
  std::int64_t Begin() const { return m_begin; }
  std::int64_t End() const { return m_begin + static_cast<std::int64_t>(m_samples.size() - m_skip); }
  const float* At(std::int64_t index) const { return m_samples.data() + m_skip + (index - m_begin); }

 private:
  std::vector<float> m_samples;
  std::size_t m_skip = 0;     // dropped samples still at the front of m_samples
  std::int64_t m_begin = 0;   // the index of m_samples[m_skip]
};

// Reads `block` (a pilot-and-sync block from the segmenter, with its
// timing in T-states and its data start) again from `history` (the samples
// at `sampleRate`, index 0 at time 0) with box trackers at the measured bit
// lengths: the first reader, then the retries of `options`, as the robust
// decoder does for ROM blocks. `pieces` are the segmenter's readings of the
// pilotless data after the block (where its edges broke the block up).
// Returns the block with the bytes of the first reading that verifies as a
// whole block, agrees with the segmenter's readings where they cover at
// least a third of it and crosses no dropout, its end where that reading
// ended and the bit lengths it followed (origin RETRIED); nothing otherwise
// or when the samples are gone.
std::optional<TapeBlock> RereadMeasuredBlock(const TapeBlock& block, const CSampleHistory& history,
                                             double sampleRate, const RobustOptions& options = {},
                                             const std::vector<const TapeBlock*>& pieces = {});

}  // namespace tapedecoder

#endif  // TAPEDECODER_ROBUST_TURBO_REREAD_H_
