#include "robust/turbo_reread.h"

#include <algorithm>
#include <cmath>
#include <utility>

#include "robust/robust_signal.h"
#include "robust/robust_trackers.h"

namespace tapedecoder {

CSampleHistory::CSampleHistory(std::size_t capacity) : m_capacity(std::max<std::size_t>(capacity, 1)) {}

void CSampleHistory::Append(const float* samples, std::size_t count) {
  if (!m_ring) m_ring.reset(new std::int16_t[m_capacity]);  // uninitialised: untouched pages cost nothing
  // Of more than the ring holds, only the newest can stay.
  if (count > m_capacity) {
    m_end += static_cast<std::int64_t>(count - m_capacity);
    samples += count - m_capacity;
    count = m_capacity;
  }
  while (count > 0) {
    const std::size_t slot = Slot(m_end);
    const std::size_t n = std::min(count, m_capacity - slot);
    std::int16_t* to = m_ring.get() + slot;
    for (std::size_t k = 0; k < n; ++k) {
      const float x = std::clamp(samples[k] * SCALE, -32767.0f, 32767.0f);
      to[k] = static_cast<std::int16_t>(x + (x < 0.0f ? -0.5f : 0.5f));
    }
    samples += n;
    count -= n;
    m_end += static_cast<std::int64_t>(n);
  }
  m_begin = std::max(m_begin, m_end - static_cast<std::int64_t>(m_capacity));
}

void CSampleHistory::DropBefore(std::int64_t first) { m_begin = std::clamp(first, m_begin, m_end); }

std::size_t CSampleHistory::Copy(std::int64_t index, float* out, std::size_t count) const {
  count = std::min(count, static_cast<std::size_t>(std::max<std::int64_t>(m_end - index, 0)));
  // In at most two pieces: up to the ring's end, and on from its start.
  for (std::size_t done = 0; done < count;) {
    const std::size_t slot = Slot(index + static_cast<std::int64_t>(done));
    const std::size_t n = std::min(count - done, m_capacity - slot);
    for (std::size_t k = 0; k < n; ++k) out[done + k] = m_ring[slot + k] * (1.0f / SCALE);
    done += n;
  }
  return count;
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
    float samples[PUSH_SAMPLES];
    const std::size_t n = history.Copy(next, samples, static_cast<std::size_t>(count));
    sums.Push(samples, n);
    next += static_cast<std::int64_t>(n);
  }
  return std::move(tracker.Result());
}

// The bytes of `c` when they verify as the whole block: whole bytes from
// the data start the segmenter dated (a checksum cannot tell a stream
// shifted by a bit or two: its columns xor as the stream's do) to where
// the reading ran out in the pause after it, or a byte before (a reader
// runs on a bit or a byte into the pause); otherwise none. Any other end
// is a cut the checksum verifies by chance once in 256.
std::vector<std::uint8_t> VerifyingBytes(const robust::Candidate& c) {
  const std::size_t whole = c.usedBits == 8 ? c.bytes.size() : c.bytes.size() - 1;
  for (const std::size_t keep : {whole, whole - std::min<std::size_t>(whole, 1)}) {
    if (keep < 2) continue;
    std::vector<std::uint8_t> prefix(c.bytes.begin(), c.bytes.begin() + static_cast<std::ptrdiff_t>(keep));
    if (BlockVerifies(prefix)) return prefix;
  }
  return {};
}

// The bits of the segmenter's own readings of the stretch (`block` and
// the `pieces` its edges broke up into after it) that the reading `c`
// of `bytes` read alike, and how many were compared. Each piece is
// placed at the bit of the reading that starts where it does, give or
// take a few bits (its start is dated from edges the reading did not
// see); its bytes need not start on a byte of the block.
std::pair<std::size_t, std::size_t> BitAgreement(const robust::Candidate& c, const std::vector<std::uint8_t>& bytes,
                                                 const TapeBlock& block, const std::vector<const TapeBlock*>& pieces,
                                                 double first, double sampleRate) {
  const std::size_t bits = std::min(bytes.size() * 8, c.bits.Size());
  std::size_t same = 0, compared = 0;
  const std::size_t own = std::min(block.bytes.size() * 8, bits);
  for (std::size_t i = 0; i < own; ++i) same += BitAt(bytes, i) == BitAt(block.bytes, i);
  compared += own;
  for (const TapeBlock* piece : pieces) {
    const double at = piece->dataSeconds * sampleRate - first;
    std::size_t k = 0;
    while (k < bits && c.bits.Start(k) < at - c.zero) ++k;
    if (k >= bits) break;
    constexpr int SLACK_BITS = 6;
    std::size_t best = 0, bestN = 0;
    for (int d = -SLACK_BITS; d <= SLACK_BITS; ++d) {
      if (static_cast<std::ptrdiff_t>(k) + d < 0) continue;
      const std::size_t from = static_cast<std::size_t>(static_cast<std::ptrdiff_t>(k) + d);
      const std::size_t n = std::min(piece->bytes.size() * 8, bits > from ? bits - from : 0);
      std::size_t m = 0;
      for (std::size_t i = 0; i < n; ++i) m += BitAt(bytes, from + i) == BitAt(piece->bytes, i);
      if (m > best || (m == best && n > bestN)) best = m, bestN = n;
    }
    same += best;
    compared += bestN;
  }
  return {same, compared};
}

// Whether the samples from `from` to `to` (indices in `history`) fall
// silent for a while: a stretch of `window` samples (a one bit or more,
// so that every stretch of signal holds an edge) whose swing is under a
// tenth of the typical stretch's. A reader carries on across a dropout
// with bits it guessed (it cannot tell how many were lost).
bool FallsSilent(const CSampleHistory& history, std::int64_t from, std::int64_t to, std::int64_t window) {
  from = std::max(from, history.Begin());
  to = std::min(to, history.End());
  if (window < 2 || to - from < 2 * window) return false;
  std::vector<float> swings;
  for (std::int64_t at = from; at + window <= to; at += window) {
    float low = history[at], high = low;
    for (std::int64_t k = at + 1; k < at + window; ++k) {
      low = std::min(low, history[k]);
      high = std::max(high, history[k]);
    }
    swings.push_back(high - low);
  }
  std::vector<float> sorted = swings;
  std::nth_element(sorted.begin(), sorted.begin() + static_cast<std::ptrdiff_t>(sorted.size() / 2), sorted.end());
  const float typical = sorted[sorted.size() / 2];
  return std::any_of(swings.begin(), swings.end(), [typical](float s) { return s < 0.1f * typical; });
}

}  // namespace

std::optional<TapeBlock> RereadMeasuredBlock(const TapeBlock& block, const CSampleHistory& history,
                                             double sampleRate, const RobustOptions& options,
                                             const std::vector<const TapeBlock*>& pieces) {
  // Data with no pilot is read again only as the segmenter dated it: where
  // its edges break up a block, each piece starts inside it, and a reading
  // from there to the block's end verifies as often as the piece's last
  // bytes happen to xor to its first ones (one in 256 readings).
  if (block.timing.pilot <= 0.0) return std::nullopt;
  // A "pilot" at one of the block's own bit lengths is a run of equal bits
  // (zero or 0xFF bytes) that the segmenter took for one: the data after
  // it is the rest of a block, out of step with its bytes.
  constexpr double DISTINCT_PILOT = 0.10;
  if (std::fabs(block.timing.pilot / block.timing.zero - 1.0) < DISTINCT_PILOT ||
      std::fabs(block.timing.pilot / block.timing.one - 1.0) < DISTINCT_PILOT)
    return std::nullopt;
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
  // Each reader twice: first as it reads, then, where none verifies, once
  // more reading across dropouts (in loud hiss a reader doing so from the
  // start takes dips for dropouts it cannot mend).
  const std::size_t readers = factors.size();
  if (options.mendDropouts)
    for (std::size_t i = 0; i < readers; ++i) factors.push_back(factors[i]);
  // Each reader from the data start the segmenter dated, behind the sync
  // it found. A reading that verifies is kept only with evidence the
  // checksum does not give: the segmenter's own readings of the stretch
  // cover at least a third of its bits and read nearly all of those
  // alike. (A reader that went astray where the segmenter saw nothing, or
  // ran on past the stretch, verifies at its end once in 128 readings.)
  for (std::size_t i = 0; i < factors.size(); ++i) {
    tuning.boxFactor = std::clamp(factors[i], 0.05, 0.9);
    tuning.mendDropouts = i >= readers;
    robust::Candidate c = ReadOnce(history, first, dataEdge, zero, one, tuning,
                                   std::max<std::size_t>(1, options.maxBlockBytes));
    // Dropouts are read across and restored from the checksum where
    // exactly one fill fits, the block ending cleanly in a pause. One no
    // single fill mends is left: a guess at them, which the decoder makes
    // for a ROM block, proved wrong too often on a loader's (compressed
    // code, no pattern to go by). Weak bits flipped with no dropout are a
    // slip, no reading.
    if (!c.found || c.unmendedGaps > 0) continue;
    const bool mended = c.mendedGaps > 0;
    if (!mended && c.mendedBits > 0) continue;
    std::vector<std::uint8_t> bytes = VerifyingBytes(c);
    if (bytes.empty()) continue;
    const auto [same, compared] = BitAgreement(c, bytes, block, pieces, static_cast<double>(first), sampleRate);
    if (3 * compared < 8 * bytes.size() || 8 * same < 7 * compared) continue;
    // The segmenter's edges going on past where the reading ran out: the
    // reader lost the block there, and its bytes so far verify by chance.
    const double end = (c.end + static_cast<double>(first)) / sampleRate;
    const double slack = 16.0 * one / sampleRate;  // a byte of ones
    const auto goesOn = [end, slack](const TapeBlock* b) {
      return b->startSeconds < end - slack && b->endSeconds > end + slack;
    };
    if (goesOn(&block) || std::any_of(pieces.begin(), pieces.end(), goesOn)) continue;
    // A reading that crossed a silence it did not take for a dropout
    // carried on with bits it made up there.
    if (!mended && FallsSilent(history, first + static_cast<std::int64_t>(c.data),
                               first + static_cast<std::int64_t>(c.end), static_cast<std::int64_t>(std::ceil(2.0 * one))))
      continue;
    TapeBlock read = block;
    read.bytes = std::move(bytes);
    read.usedBits = 8;
    const double toSeconds = 1.0 / sampleRate;
    const double shift = static_cast<double>(first);
    read.dataSeconds = (c.data + shift) * toSeconds;
    read.endSeconds = (c.end + shift) * toSeconds;
    // The followed zero length; the one keeps the measured ratio.
    const double ratio = block.timing.one / block.timing.zero;
    read.timing.zero = c.zero / toSamples;
    read.timing.one = read.timing.zero * ratio;
    // (The segmenter's own reading did not verify.)
    read.origin = mended ? BlockOrigin::MENDED : BlockOrigin::RETRIED;
    read.mendedBits = c.mendedBits;
    read.mendedAt = c.mendedAt;
    read.mendedGaps = c.mendedGaps;
    read.bitConfidence.clear();
    read.bitSeconds.clear();
    return read;
  }
  return std::nullopt;
}

}  // namespace tapedecoder
