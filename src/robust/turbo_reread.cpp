#include "robust/turbo_reread.h"

#include <algorithm>
#include <cmath>

#include "robust/robust_signal.h"
#include "robust/robust_trackers.h"

namespace tapedecoder {

void CSampleHistory::Append(const float* samples, std::size_t count) {
  m_samples.insert(m_samples.end(), samples, samples + count);
}

void CSampleHistory::DropBefore(std::int64_t first) {
  if (first <= m_begin) return;
  const std::size_t drop = static_cast<std::size_t>(std::min(first, End()) - m_begin);
  m_skip += drop;
  m_begin += static_cast<std::int64_t>(drop);
  // Amortised: the front is let go once it is at least half the buffer.
  if (m_skip >= 4096 && 2 * m_skip >= m_samples.size()) {
    m_samples.erase(m_samples.begin(), m_samples.begin() + static_cast<std::ptrdiff_t>(m_skip));
    m_skip = 0;
  }
}

namespace {

// Samples the trackers' ring holds: far more than any look back of theirs
// (a few bits), at any rate.
constexpr std::size_t RING_SAMPLES = std::size_t{1} << 17;
// Samples handed to the ring at a time.
constexpr std::int64_t PUSH_SAMPLES = 4096;

// One reading from `first`, the index in `history` the ring starts at.
robust::Candidate ReadOnce(const CSampleHistory& history, std::int64_t first, double dataEdge, double zero,
                           double one, const robust::TrackerTuning& tuning, std::size_t maxBytes) {
  robust::PrefixRing sums(RING_SAMPLES);
  robust::CBoxTracker tracker(sums, dataEdge - static_cast<double>(first), zero, one, tuning, maxBytes);
  std::int64_t next = first;
  bool final = false;
  while (!tracker.Done()) {
    if (tracker.Step(final)) continue;
    if (final) break;
    const std::int64_t count = std::min(PUSH_SAMPLES, history.End() - next);
    if (count <= 0) {
      final = true;
      continue;
    }
    sums.Push(history.At(next), static_cast<std::size_t>(count));
    next += count;
  }
  return std::move(tracker.Result());
}

// The bytes of `c` that verify, or none. They start where the segmenter
// dated the data: a checksum cannot tell a stream shifted by a bit or two
// (its columns xor as the stream's do), so no other start is tried, and at
// least half of the first COMPARED bytes agree with the segmenter's own
// reading `segmented` (right in most places even where it fails). They end
// where the segmenter's reading ended, or where this one did (every good
// bit is kept: a reader runs on a bit or a byte into the pause), or a
// byte or two before.
std::vector<std::uint8_t> VerifyingBytes(const robust::Candidate& c, const std::vector<std::uint8_t>& segmented) {
  constexpr std::size_t COMPARED = 64;
  const std::size_t whole = c.usedBits == 8 ? c.bytes.size() : c.bytes.size() - 1;
  const std::size_t n = std::min({COMPARED, whole, segmented.size()});
  std::size_t same = 0;
  for (std::size_t k = 0; k < n; ++k) same += c.bytes[k] == segmented[k];
  if (n == 0 || 2 * same < n) return {};
  for (const std::size_t keep : {segmented.size(), whole, whole - std::min<std::size_t>(whole, 1),
                                 whole - std::min<std::size_t>(whole, 2)}) {
    if (keep < 2 || keep > whole) continue;
    std::vector<std::uint8_t> prefix(c.bytes.begin(), c.bytes.begin() + static_cast<std::ptrdiff_t>(keep));
    if (BlockVerifies(prefix)) return prefix;
  }
  return {};
}

}  // namespace

std::optional<TapeBlock> RereadMeasuredBlock(const TapeBlock& block, const CSampleHistory& history,
                                             double sampleRate, const RobustOptions& options) {
  const double toSamples = sampleRate / TSTATES_PER_SECOND;
  const double zero = block.timing.zero * toSamples;
  const double one = block.timing.one * toSamples;
  // Bits of a sample or two cannot be told apart by boxes.
  if (!(zero >= 1.5) || !(one > zero)) return std::nullopt;
  const double dataEdge = block.dataSeconds * sampleRate;
  // The ring starts a few bits before the data (the box filters look back).
  const std::int64_t first = static_cast<std::int64_t>(std::floor(dataEdge - 8.0 * one)) - 16;
  if (first < history.Begin() || !(dataEdge < static_cast<double>(history.End()))) return std::nullopt;

  robust::TrackerTuning tuning;
  tuning.stopBits = std::max(1, options.stopBits);
  std::vector<double> factors = {options.boxFactor};
  for (double factor : options.retryBoxFactors)
    if (factor > 0.0) factors.push_back(factor);
  // Each reader from the data start the segmenter dated; the first also
  // from a pulse before or after it (behind a sync the segmenter did not
  // see, it may be a pulse off, and a reader started mid-bit misreads the
  // first bytes).
  struct Try {
    double factor;
    double shift;
  };
  std::vector<Try> tries;
  for (double factor : factors) tries.push_back({factor, 0.0});
  for (double shift : {-zero, zero, -one, one}) tries.push_back({factors.front(), shift});
  for (const Try& t : tries) {
    tuning.boxFactor = std::clamp(t.factor, 0.05, 0.9);
    robust::Candidate c = ReadOnce(history, first, dataEdge + t.shift, zero, one, tuning,
                                   std::max<std::size_t>(1, options.maxBlockBytes));
    if (!c.found) continue;
    std::vector<std::uint8_t> bytes = VerifyingBytes(c, block.bytes);
    if (bytes.empty()) continue;
    TapeBlock read = block;
    read.bytes = std::move(bytes);
    read.usedBits = 8;
    const double toSeconds = 1.0 / sampleRate;
    const double shift = static_cast<double>(first);
    read.dataSeconds = (c.data + shift) * toSeconds;
    if (block.timing.pilot <= 0.0) read.startSeconds = read.dataSeconds;
    read.endSeconds = (c.end + shift) * toSeconds;
    // The followed zero length; the one keeps the measured ratio.
    const double ratio = block.timing.one / block.timing.zero;
    read.timing.zero = c.zero / toSamples;
    read.timing.one = read.timing.zero * ratio;
    read.origin = BlockOrigin::RETRIED;  // the segmenter's own reading did not verify
    read.bitConfidence.clear();
    read.bitSeconds.clear();
    return read;
  }
  return std::nullopt;
}

}  // namespace tapedecoder
