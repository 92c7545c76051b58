#include "tapefile/pulse_segmenter.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <utility>

namespace tapedecoder {

namespace {

// Pairs looked at to learn a block's two bit lengths.
constexpr std::size_t MAX_LEARNING_PAIRS = 256;
// The one bit's pair sum is this many times the zero bit's, or more; or
// at most MAX_BIT_RATIO times it.
constexpr double MIN_BIT_RATIO = 1.5;
constexpr double MAX_BIT_RATIO = 2.6;
// A pair's halves differ by at most this fraction of their mean.
constexpr double MAX_PAIR_IMBALANCE = 0.5;
// A pilot found at the end of a block's data: its last PILOT_PROBE pulses
// give its length, and its pulses lie within PILOT_MATCH of that.
constexpr std::size_t PILOT_PROBE = 64;
constexpr double PILOT_MATCH = 0.04;

double Seconds(double tstates) { return tstates / TSTATES_PER_SECOND; }

bool Within(double value, double nominal, double tolerance) {
  return std::fabs(value - nominal) <= tolerance * nominal;
}

// Segments one run of edges with no pause inside.
class RunSegmenter {
 public:
  // The edges are `times` (T-states) and `rising`, side by side.
  RunSegmenter(const std::vector<double>& times, const std::vector<bool>& rising, std::size_t first,
               std::size_t last, const SegmenterSettings& settings, std::vector<TapePart>& out)
      : m_times(times), m_rising(rising), m_base(first), m_settings(settings), m_out(out) {
    m_pulses.reserve(last - first);
    for (std::size_t k = first; k < last; ++k) m_pulses.push_back(times[k + 1] - times[k]);
  }

  void Run() {
    const std::size_t n = m_pulses.size();
    if (n == 0) {
      Stretch(0, 0, StretchKind::RAW);  // a lone edge between two pauses
      return;
    }
    std::size_t pending = 0;
    std::size_t i = 0;
    while (i < n) {
      double mean = 0.0;
      const std::size_t j = NearEqualRun(i, &mean);
      const std::size_t length = j - i;
      if (length >= static_cast<std::size_t>(m_settings.minPilotPulses)) {
        TapeBlock block;
        std::size_t end = 0;
        if (TryBlock(i, j, mean, &block, &end)) {
          Pending(pending, i);
          m_out.emplace_back(std::move(block));
          i = pending = end;
          continue;
        }
      }
      if (length >= static_cast<std::size_t>(m_settings.minTonePulses)) {
        Pending(pending, i);
        Stretch(i, j, StretchKind::TONE);
        i = pending = j;
        continue;
      }
      ++i;
    }
    Pending(pending, n);
  }

 private:
  double EdgeAt(std::size_t pulse) const { return m_times[m_base + pulse]; }

  // The end of the run of near-equal pulses that starts at `i`; its mean.
  std::size_t NearEqualRun(std::size_t i, double* mean) const {
    double m = m_pulses[i];
    std::size_t j = i + 1;
    while (j < m_pulses.size() && Within(m_pulses[j], m, m_settings.toneTolerance)) {
      m += (m_pulses[j] - m) / static_cast<double>(j - i + 1);
      ++j;
    }
    *mean = m;
    return j;
  }

  void Pending(std::size_t from, std::size_t to) {
    if (to <= from) return;
    const bool shortRun = to - from <= static_cast<std::size_t>(m_settings.maxSequencePulses);
    Stretch(from, to, shortRun ? StretchKind::SEQUENCE : StretchKind::RAW);
  }

  void Stretch(std::size_t from, std::size_t to, StretchKind kind) {
    PulseStretch stretch;
    stretch.startSeconds = Seconds(EdgeAt(from));
    stretch.firstPulseHigh = m_rising[m_base + from];
    stretch.pulses.assign(m_pulses.begin() + static_cast<std::ptrdiff_t>(from),
                          m_pulses.begin() + static_cast<std::ptrdiff_t>(to));
    stretch.kind = kind;
    m_out.emplace_back(std::move(stretch));
  }

  bool FitsPair(double a, double b) const {
    return a > 0.0 && b > 0.0 && std::fabs(a - b) <= MAX_PAIR_IMBALANCE * 0.5 * (a + b);
  }

  // Where a pilot tone that ends at pulse `end` (followed by a sync)
  // starts, if at least minPilotPulses of it lie after `from`; else `end`.
  // The tone's pulses lie within PILOT_MATCH of the mean of its last ones,
  // which tells a turbo pilot from ROM one bits 5 % shorter.
  std::size_t TrailingPilot(std::size_t from, std::size_t end) const {
    const std::size_t minimum = static_cast<std::size_t>(m_settings.minPilotPulses);
    if (end < from + minimum || end + 2 > m_pulses.size()) return end;
    double mean = 0.0;
    for (std::size_t p = end - PILOT_PROBE; p < end; ++p) mean += m_pulses[p];
    mean /= static_cast<double>(PILOT_PROBE);
    const double lo = m_settings.minSyncRatio * mean, hi = m_settings.maxSyncRatio * mean;
    if (m_pulses[end] < lo || m_pulses[end] > hi || m_pulses[end + 1] < lo || m_pulses[end + 1] > hi)
      return end;
    std::size_t start = end;
    while (start > from && Within(m_pulses[start - 1], mean, PILOT_MATCH)) --start;
    return end - start >= minimum ? start : end;
  }

  // The zero and one pulse lengths that place the data's edges best: a
  // least-squares fit of every edge's time to start + zeros * z + ones * o
  // (counting the pulses of each kind before it). Unlike per-kind
  // averages, whose error each pair's quantisation adds to, this keeps the
  // block's edges in step over its whole length. Falls back to `zero0` /
  // `one0` for a kind that does not occur.
  void FitBitLengths(std::size_t data, const std::vector<bool>& bits, double zero0, double one0,
                     double* zero, double* one) const {
    // Normal equations of y = c + a z + b o over the edges (a, b: counts).
    double s1 = 0, sa = 0, sb = 0, saa = 0, sbb = 0, sab = 0, sy = 0, say = 0, sby = 0;
    double a = 0.0, b = 0.0;
    const double origin = EdgeAt(data);
    for (std::size_t e = 0; e <= 2 * bits.size(); ++e) {
      if (e > 0) (bits[(e - 1) / 2] ? b : a) += 1.0;
      const double y = EdgeAt(data + e) - origin;
      s1 += 1; sa += a; sb += b; saa += a * a; sbb += b * b; sab += a * b;
      sy += y; say += a * y; sby += b * y;
    }
    const bool haveZero = a > 0.0, haveOne = b > 0.0;
    if (haveZero && haveOne) {
      // Cramer's rule on the 3x3 system.
      const double m[3][3] = {{s1, sa, sb}, {sa, saa, sab}, {sb, sab, sbb}};
      const double r[3] = {sy, say, sby};
      auto det = [](const double q[3][3]) {
        return q[0][0] * (q[1][1] * q[2][2] - q[1][2] * q[2][1]) -
               q[0][1] * (q[1][0] * q[2][2] - q[1][2] * q[2][0]) +
               q[0][2] * (q[1][0] * q[2][1] - q[1][1] * q[2][0]);
      };
      const double d = det(m);
      if (d != 0.0) {
        double mz[3][3], mo[3][3];
        for (int i = 0; i < 3; ++i)
          for (int j = 0; j < 3; ++j) {
            mz[i][j] = j == 1 ? r[i] : m[i][j];
            mo[i][j] = j == 2 ? r[i] : m[i][j];
          }
        *zero = det(mz) / d;
        *one = det(mo) / d;
        if (*zero > 0.0 && *one > 0.0) return;
      }
    }
    // One kind only (or a degenerate fit): the span over the pulse count.
    const double span = EdgeAt(data + 2 * bits.size()) - origin;
    const double pulses = 2.0 * static_cast<double>(bits.size());
    *zero = haveZero && !haveOne ? span / pulses : zero0;
    *one = haveOne && !haveZero ? span / pulses : one0;
    if (haveZero && haveOne) {
      *zero = zero0;
      *one = one0;
    }
  }

  // A block whose pilot is pulses [pilot, sync) with mean `pilotMean`:
  // two sync pulses, then data pairs until one does not fit.
  bool TryBlock(std::size_t pilot, std::size_t sync, double pilotMean, TapeBlock* block,
                std::size_t* end) const {
    const std::size_t n = m_pulses.size();
    if (sync + 2 + 2 * static_cast<std::size_t>(m_settings.minDataBits) > n) return false;
    const double sync1 = m_pulses[sync];
    const double sync2 = m_pulses[sync + 1];
    const double lo = m_settings.minSyncRatio * pilotMean;
    const double hi = m_settings.maxSyncRatio * pilotMean;
    if (sync1 < lo || sync1 > hi || sync2 < lo || sync2 > hi) return false;
    const std::size_t data = sync + 2;

    // Learn the two pair sums online: the first pair starts a class; a
    // pair near a class joins it (moving its mean); the first pair that
    // fits neither but lies 1.5 to 2.6 times off the first class starts the
    // second; anything else ends the learning (the data has ended).
    double classMean[2] = {0.0, 0.0};
    std::size_t classCount[2] = {0, 0};
    std::size_t classes = 0;
    std::size_t learnt = 0;
    for (std::size_t k = data; k + 1 < n && learnt < MAX_LEARNING_PAIRS; k += 2, ++learnt) {
      const double a = m_pulses[k];
      const double b = m_pulses[k + 1];
      if (!FitsPair(a, b)) break;
      const double sum = a + b;
      int joined = -1;
      for (std::size_t c = 0; c < classes; ++c)
        if (Within(sum, classMean[c], m_settings.pairTolerance)) joined = static_cast<int>(c);
      if (joined < 0 && classes == 0) {
        joined = 0;
        classes = 1;
      } else if (joined < 0 && classes == 1) {
        const double ratio = sum > classMean[0] ? sum / classMean[0] : classMean[0] / sum;
        if (ratio < MIN_BIT_RATIO || ratio > MAX_BIT_RATIO) break;
        joined = 1;
        classes = 2;
      } else if (joined < 0) {
        break;
      }
      const auto c = static_cast<std::size_t>(joined);
      classMean[c] += (sum - classMean[c]) / static_cast<double>(++classCount[c]);
    }
    if (learnt < static_cast<std::size_t>(m_settings.minDataBits)) return false;
    double zeroSum = 0.0;
    double oneSum = 0.0;
    if (classes == 2) {
      zeroSum = std::min(classMean[0], classMean[1]);
      oneSum = std::max(classMean[0], classMean[1]);
    } else if (classMean[0] / 2.0 < 0.6 * pilotMean) {
      // All bits alike: zeros when their pulses are short beside the pilot.
      zeroSum = classMean[0];
      oneSum = 2.0 * classMean[0];
    } else {
      oneSum = classMean[0];
      zeroSum = classMean[0] / 2.0;
    }

    // Read the bits: each pair goes to the nearer sum, within tolerance.
    std::vector<bool> bits;
    std::size_t k = data;
    for (; k + 1 < n; k += 2) {
      const double a = m_pulses[k];
      const double b = m_pulses[k + 1];
      if (!FitsPair(a, b)) break;
      const double sum = a + b;
      const bool one = std::fabs(sum - oneSum) < std::fabs(sum - zeroSum);
      if (!Within(sum, one ? oneSum : zeroSum, m_settings.pairTolerance)) break;
      bits.push_back(one);
    }
    // Data that runs straight into the next block's pilot reads the pilot
    // as bits of one kind: end the data where that pilot starts.
    const std::size_t pilotStart = TrailingPilot(data, k);
    if (pilotStart < k) {
      bits.resize((pilotStart - data) / 2);
      k = data + 2 * bits.size();
    }
    if (bits.size() < static_cast<std::size_t>(m_settings.minDataBits)) return false;

    block->bytes.assign((bits.size() + 7) / 8, 0);
    for (std::size_t b = 0; b < bits.size(); ++b)
      if (bits[b]) block->bytes[b / 8] |= static_cast<std::uint8_t>(0x80u >> (b % 8));
    block->usedBits = static_cast<std::uint8_t>(bits.size() % 8 == 0 ? 8 : bits.size() % 8);
    block->startSeconds = Seconds(EdgeAt(pilot));
    block->dataSeconds = Seconds(EdgeAt(data));
    block->endSeconds = Seconds(EdgeAt(k));
    BlockTiming& t = block->timing;
    double pilotTotal = 0.0;
    for (std::size_t p = pilot; p < sync; ++p) pilotTotal += m_pulses[p];
    t.pilot = pilotTotal / static_cast<double>(sync - pilot);
    t.pilotPulses = static_cast<std::int32_t>(sync - pilot);
    t.sync1 = sync1;
    t.sync2 = sync2;
    FitBitLengths(data, bits, zeroSum / 2.0, oneSum / 2.0, &t.zero, &t.one);
    block->romTiming = IsRomTiming(t, m_settings);
    *end = k;
    return true;
  }

  const std::vector<double>& m_times;
  const std::vector<bool>& m_rising;
  std::size_t m_base;
  const SegmenterSettings& m_settings;
  std::vector<TapePart>& m_out;
  std::vector<double> m_pulses;
};

}  // namespace

bool IsRomTiming(const BlockTiming& t, const SegmenterSettings& settings) {
  if (t.pilot <= 0.0) return false;
  const double speed = t.pilot / ROM_PILOT_PULSE;
  if (std::fabs(speed - 1.0) > settings.maxSpeedError) return false;
  return Within(t.zero / speed, ROM_ZERO_PULSE, settings.romBitTolerance) &&
         Within(t.one / speed, ROM_ONE_PULSE, settings.romBitTolerance) &&
         Within(t.sync1 / speed, ROM_SYNC1_PULSE, settings.romSyncTolerance) &&
         Within(t.sync2 / speed, ROM_SYNC2_PULSE, settings.romSyncTolerance);
}

std::vector<TapePart> SegmentEdges(const std::vector<Edge>& edges, SegmenterSettings settings) {
  std::vector<TapePart> parts;
  CPulseSegmenter segmenter([&parts](TapePart&& part) { parts.push_back(std::move(part)); }, settings,
                            SIZE_MAX);
  segmenter.Feed(edges.data(), edges.size());
  segmenter.Finish();
  return parts;
}

CPulseSegmenter::CPulseSegmenter(Emit emit, SegmenterSettings settings, std::size_t maxRunEdges)
    : m_emit(std::move(emit)), m_settings(settings), m_maxRunEdges(std::max<std::size_t>(maxRunEdges, 2)) {}

void CPulseSegmenter::Feed(const Edge* edges, std::size_t count) {
  for (std::size_t k = 0; k < count; ++k) {
    if (!m_times.empty() && (edges[k].tstates - m_times.back() > m_settings.pauseTstates ||
                             m_times.size() >= m_maxRunEdges))
      Flush();
    m_times.push_back(edges[k].tstates);
    m_rising.push_back(edges[k].rising);
  }
}

void CPulseSegmenter::Advance(double tstates) {
  if (!m_times.empty() && tstates - m_times.back() > m_settings.pauseTstates) Flush();
}

void CPulseSegmenter::Finish() { Flush(); }

double CPulseSegmenter::PendingFrom(double nowSeconds) const {
  return m_times.empty() ? nowSeconds : Seconds(m_times.front());
}

void CPulseSegmenter::Flush() {
  if (m_times.empty()) return;
  std::vector<TapePart> parts;
  RunSegmenter(m_times, m_rising, 0, m_times.size() - 1, m_settings, parts).Run();
  m_times.clear();
  m_rising.clear();
  for (TapePart& part : parts) m_emit(std::move(part));
}

double PartStartSeconds(const TapePart& part) {
  if (const auto* block = std::get_if<TapeBlock>(&part)) return block->startSeconds;
  return std::get<PulseStretch>(part).startSeconds;
}

double PartEndSeconds(const TapePart& part) {
  if (const auto* block = std::get_if<TapeBlock>(&part)) return block->endSeconds;
  const auto& stretch = std::get<PulseStretch>(part);
  double total = 0.0;
  for (double p : stretch.pulses) total += p;
  return stretch.startSeconds + Seconds(total);
}

}  // namespace tapedecoder
