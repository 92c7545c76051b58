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
#include <memory>
#include <optional>
#include <vector>

#include "robust/robust_decoder.h"
#include "tape/tape_block.h"

namespace tapedecoder {

// The newest samples of a stream, from a moment the caller moves on, and
// never more than a fixed number: memory stays flat however long a stretch
// without a pause runs (a ROM block of 40 KB lasts four minutes). A
// stretch longer than that is past reading again, and its oldest samples
// go first. Samples are held as 16-bit integers (quantised 84 dB below
// full scale, far under any tape's hiss), up to twice full scale.
class CSampleHistory {
 public:
  // 2^22 samples (8 MiB): 95 s at 44.1 kHz, a 30 KB turbo block at twice
  // the ROM's speed.
  static constexpr std::size_t DEFAULT_CAPACITY = std::size_t{1} << 22;
  explicit CSampleHistory(std::size_t capacity = DEFAULT_CAPACITY);
  void Append(const float* samples, std::size_t count);
  // Samples before index `first` (from the first one appended) are no
  // longer needed.
  void DropBefore(std::int64_t first);
  // The index of the oldest sample held, and one past the newest.
  std::int64_t Begin() const { return m_begin; }
  std::int64_t End() const { return m_end; }
  float operator[](std::int64_t index) const { return m_ring[Slot(index)] * (1.0f / SCALE); }
  // Copies the samples from `index` (in [Begin(), End())) on, at most
  // `count` of them, to `out`; returns how many.
  std::size_t Copy(std::int64_t index, float* out, std::size_t count) const;

 private:
  static constexpr float SCALE = 16384.0f;
  std::size_t Slot(std::int64_t index) const { return static_cast<std::size_t>(index) % m_capacity; }

  std::size_t m_capacity;
  std::unique_ptr<std::int16_t[]> m_ring;  // allocated on the first samples, its pages as they fill
  std::int64_t m_begin = 0;
  std::int64_t m_end = 0;
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
