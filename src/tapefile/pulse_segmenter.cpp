#include "tapefile/pulse_segmenter.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <utility>

#include "tapefile/symbol_runs.h"

namespace tapedecoder {

namespace {

// Pairs looked at to learn a block's two bit lengths.
constexpr std::size_t MAX_LEARNING_PAIRS = 256;
// The one bit's pair sum is this many times the zero bit's, or more; or
// at most MAX_BIT_RATIO times it.
constexpr double MIN_BIT_RATIO = 1.4;
constexpr double MAX_BIT_RATIO = 4.0;
// A pair's halves differ by at most this fraction of their mean (a
// loader's bits may have unequal halves, up to about 2:1).
constexpr double MAX_PAIR_IMBALANCE = 0.7;
// While bits are read, each class's mean follows the pairs read into it
// by this weight, so that speed drift along a long block is followed.
constexpr double CLASS_FOLLOW = 1.0 / 32.0;
// A flip of polarity inside data is taken only where this many pairs
// fit on both sides of it; at most MAX_POLARITY_FLIPS a block.
constexpr std::size_t POLARITY_CHECK = 16;
constexpr std::size_t MAX_POLARITY_FLIPS = 8;
// While reading, each half of a pair lies within this fraction of half
// its bit (unequal halves up to about 2:1 pass).
constexpr double HALF_TOLERANCE = 0.45;
// Bit lengths changing inside data with no pause and no pilot (a
// loader's next stretch at its own speed): SHIFT_STREAK pairs in a row each
// off its bit's length the same way, by more than SHIFT_DEVIATION on
// average (and half of it each: a few pairs that noise brings back near
// their length do not hide the change). A sample's jitter moves a pair's
// sum by turns up and down; drift is slower.
constexpr double SHIFT_DEVIATION = 0.12;
constexpr std::size_t SHIFT_STREAK = 16;
// Fewer such pairs than SHIFT_STREAK end the data where they start when a
// pair that fits neither bit follows them and the signal goes on: at
// least SHIFT_TAIL of them (a bit bent by noise is one), or one off by
// more than SHIFT_LONE (the pulse a polarity flip adds, or a loader's first
// pulse, beside the last half of a bit that pairs with it: noise bends a
// pair by far less).
constexpr std::size_t SHIFT_TAIL = 3;
constexpr double SHIFT_LONE = 0.2;
// A step of a stepped pilot: STEP_WINDOW pulses of a run whose mean lies
// more than STEP_SHIFT off the run's mean before them (a sample's jitter
// averages out over the window; a tape's drift moves less).
constexpr std::size_t STEP_WINDOW = 8;
constexpr double STEP_SHIFT = 0.06;
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
      TapeBlock block;
      std::size_t start = i, end = 0;
      double mean = 0.0;
      const std::size_t j = NearEqualRun(i, &mean);
      const std::size_t length = j - i;
      if (length >= static_cast<std::size_t>(m_settings.minPilotPulses) &&
          (TryBlock(i, j, mean, &block, &end) || TryMergedSync(i, j, mean, &block, &end) ||
           TryPastClick(i, j, mean, &block, &end))) {
        Pending(pending, i);
        if (m_blockPilot > i) Stretch(i, m_blockPilot, StretchKind::TONE);
        m_out.emplace_back(std::move(block));
        i = pending = m_dataEnd = end;
        continue;
      }
      // Data straight after data (the loader going on at other bit
      // lengths, maybe past a flip of polarity) is data from its first
      // pulse, whatever its first bytes (a few bytes of like bits; a longer
      // tone is a pilot or a tone).
      if (StraightAfterData(i) && length < 2 * PILOT_PROBE && TryPureData(i, i, &block, &start, &end)) {
        Pending(pending, start);
        m_out.emplace_back(std::move(block));
        i = pending = m_dataEnd = end;
        continue;
      }
      if (length >= static_cast<std::size_t>(m_settings.minTonePulses)) {
        Pending(pending, i);
        Stretch(i, j, StretchKind::TONE);
        i = pending = j;
        continue;
      }
      // Data with no pilot: read from here or from the next pulse,
      // whichever reads further (one of them pairs the halves wrongly).
      if (TryPureData(i, pending, &block, &start, &end)) {
        Pending(pending, start);
        m_out.emplace_back(std::move(block));
        i = pending = m_dataEnd = end;
        continue;
      }
      // (Not from inside a clicking pilot's pattern again: it reads as
      // far from every pulse of it.)
      i = std::max(i + 1, m_clicksEnd);
    }
    Pending(pending, n);
  }

 private:
  double EdgeAt(std::size_t pulse) const { return m_times[m_base + pulse]; }

  // True when pulse `i` starts where the last block's data ended, or one
  // pulse later (the polarity flipped between: an edge added).
  bool StraightAfterData(std::size_t i) const { return m_dataEnd != SIZE_MAX && i >= m_dataEnd && i - m_dataEnd <= 1; }

  // The end of the run of near-equal pulses that starts at `i`; its mean.
  // A single pulse off the run's mean (a noise spike, a dropout) does not
  // end it when the GLITCH_BRIDGE pulses after it are back on the mean,
  // closely (a sync and the data after it are not).
  std::size_t NearEqualRun(std::size_t i, double* mean) const {
    constexpr std::size_t GLITCH_BRIDGE = 8;
    const std::size_t n = m_pulses.size();
    auto near = [&](std::size_t k, double m) {
      return std::fabs(m_pulses[k] - m) <= m_settings.toneTolerance * m + m_settings.jitterTstates;
    };
    double m = m_pulses[i];
    std::size_t counted = 1;
    std::size_t j = i + 1;
    // The pulses counted since the window opened at pulse `window`, when
    // the run's mean was `before`.
    std::size_t window = j, inWindow = 0;
    double windowSum = 0.0, before = m;
    while (j < n) {
      if (!near(j, m)) {
        // Bridge only inside an established run, and only a lone pulse.
        bool bridge = counted >= 8 && j + GLITCH_BRIDGE < n;
        for (std::size_t k = j + 1; bridge && k <= j + GLITCH_BRIDGE; ++k)
          bridge = std::fabs(m_pulses[k] - m) <= m_settings.toneTolerance * m;
        if (!bridge) break;
        ++j;
        continue;
      }
      windowSum += m_pulses[j];
      if (++inWindow == STEP_WINDOW) {
        const double stepped = windowSum / static_cast<double>(STEP_WINDOW);
        if (counted >= 2 * STEP_WINDOW && !Within(stepped, before, STEP_SHIFT))
          return StepAt(i, window, j + 1, before, stepped, mean);
        window = j + 1, inWindow = 0, windowSum = 0.0, before = m;
      }
      m += (m_pulses[j] - m) / static_cast<double>(++counted);
      ++j;
    }
    *mean = m;
    return j;
  }

  // A run from pulse `i` at mean `before` that steps to `stepped` inside
  // pulses [from, to): it ends at the first pulse after which every one
  // lies nearer the new length. Its mean is that of its pulses near
  // `before`.
  std::size_t StepAt(std::size_t i, std::size_t from, std::size_t to, double before, double stepped,
                     double* mean) const {
    std::size_t step = to;
    while (step > from &&
           std::fabs(m_pulses[step - 1] - stepped) < std::fabs(m_pulses[step - 1] - before))
      --step;
    double total = 0.0;
    std::size_t count = 0;
    for (std::size_t k = i; k < step; ++k) {
      if (std::fabs(m_pulses[k] - before) > m_settings.toneTolerance * before + m_settings.jitterTstates)
        continue;  // a bridged glitch
      total += m_pulses[k];
      ++count;
    }
    *mean = count > 0 ? total / static_cast<double>(count) : before;
    return std::max(step, i + 1);
  }

  // Irregular pulses whose neighbours are seldom alike: noise. (On a
  // tape signal most pulses have a like neighbour: a bit's two halves, a
  // tone's next pulse.)
  bool Noise(std::size_t from, std::size_t to) const {
    constexpr double MIN_ALIKE = 0.35;
    if (to - from < 3) return false;
    std::size_t alike = 0;
    for (std::size_t k = from; k + 1 < to; ++k)
      alike += std::fabs(m_pulses[k] - m_pulses[k + 1]) <=
               0.25 * std::max(m_pulses[k], m_pulses[k + 1]);
    return static_cast<double>(alike) < MIN_ALIKE * static_cast<double>(to - from - 1);
  }

  void Pending(std::size_t from, std::size_t to) {
    if (to <= from) return;
    // Hiss: mostly pulses shorter than any loader reads. It is silence.
    std::size_t short_ = 0;
    for (std::size_t k = from; k < to; ++k) short_ += m_pulses[k] < m_settings.hissPulseTstates;
    if (2 * short_ > to - from) return;
    // Noise: a long stretch of it, or all of a run between pauses.
    constexpr std::size_t MIN_NOISE_PULSES = 16;
    if ((to - from >= MIN_NOISE_PULSES || (from == 0 && to == m_pulses.size())) && Noise(from, to))
      return;
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
  // which tells a turbo pilot from ROM one bits 5 % shorter. A tone
  // shorter than 2 * PILOT_PROBE is a pilot only where data at other bit
  // lengths than the reading's (pair sums `zeroSum`, `oneSum`) follows its
  // sync: a run of like bits inside data is followed by more of the same.
  std::size_t TrailingPilot(std::size_t from, std::size_t end, double zeroSum, double oneSum) const {
    // Long enough that a run of equal bits inside data is not taken for
    // one (and that its last PILOT_PROBE pulses exist).
    const std::size_t minimum =
        std::max(static_cast<std::size_t>(m_settings.minPilotPulses), 2 * PILOT_PROBE);
    if (end < from + minimum || end + 2 > m_pulses.size()) return end;
    double mean = 0.0;
    for (std::size_t p = end - PILOT_PROBE; p < end; ++p) mean += m_pulses[p];
    mean /= static_cast<double>(PILOT_PROBE);
    const double lo = m_settings.minSyncRatio * mean, hi = m_settings.maxSyncRatio * mean;
    if (m_pulses[end] < lo || m_pulses[end] > hi || m_pulses[end + 1] < lo || m_pulses[end + 1] > hi)
      return end;
    std::size_t start = end;
    while (start > from && Within(m_pulses[start - 1], mean, PILOT_MATCH)) --start;
    if (end - start >= minimum) return start;
    if (end - start < static_cast<std::size_t>(m_settings.minPilotPulses)) return end;
    const DataRead after = ReadData(end + 2, mean, true);
    const bool other = !Within(after.zeroSum, zeroSum, m_settings.pairTolerance) &&
                       !Within(after.oneSum, oneSum, m_settings.pairTolerance);
    return other && after.bits.size() >= static_cast<std::size_t>(m_settings.minDataBits) ? start : end;
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
    // Edges that exist: a last bit ended by silence has no closing edge.
    const std::size_t edges = std::min(2 * bits.size(), m_pulses.size() - data);
    const double* times = m_times.data() + m_base + data;
    const auto add = [&](std::size_t e) {
      const double y = times[e] - origin;
      s1 += 1; sa += a; sb += b; saa += a * a; sbb += b * b; sab += a * b;
      sy += y; say += a * y; sby += b * y;
    };
    add(0);
    // Edges 2p + 1 and 2p + 2 close the halves of bit p: the bit is read
    // once for both. (Both counts step, one by 0: no branch on the bit.)
    for (std::size_t p = 0; 2 * p + 1 <= edges; ++p) {
      const double one = bits[p] ? 1.0 : 0.0;
      b += one;
      a += 1.0 - one;
      add(2 * p + 1);
      if (2 * p + 2 > edges) break;
      b += one;
      a += 1.0 - one;
      add(2 * p + 2);
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
    const double span = EdgeAt(data + edges) - origin;
    const double pulses = static_cast<double>(edges);
    *zero = haveZero && !haveOne ? span / pulses : zero0;
    *one = haveOne && !haveZero ? span / pulses : one0;
    if (haveZero && haveOne) {
      *zero = zero0;
      *one = one0;
    }
  }

  // Bits read from pulse `data` on, as pairs.
  struct DataRead {
    std::vector<bool> bits;
    std::size_t end = 0;      // the pulse after the last pair read
    std::size_t learnt = 0;   // pairs looked at while learning
    std::size_t classes = 0;  // pair sums seen: 1 or 2
    double zeroSum = 0.0, oneSum = 0.0;
    // Where the pairing last restarted after a flip of the signal's
    // polarity (an edge added or lost), and the bits read before it.
    std::size_t pairedFrom = 0;
    std::size_t bitsBefore = 0;
  };

  // Learns the two pair sums online -- the first pair starts a class; a
  // pair near a class joins it (moving its mean); the first pair that fits
  // neither but lies MIN_BIT_RATIO to MAX_BIT_RATIO times off the first
  // class starts the second; anything else ends the learning (the data
  // has ended) -- then reads every pair to the nearer sum, within
  // tolerance, until one fits neither. With one sum only, `pilotMean`
  // (0: none) tells zeros (short beside the pilot) from ones.
  DataRead ReadData(std::size_t data, double pilotMean, bool needBoth = false) const {
    DataRead r;
    const std::size_t n = m_pulses.size();
    double classMean[2] = {0.0, 0.0};
    std::size_t classCount[2] = {0, 0};
    for (std::size_t k = data; k + 1 < n && r.learnt < MAX_LEARNING_PAIRS; k += 2, ++r.learnt) {
      const double a = m_pulses[k];
      const double b = m_pulses[k + 1];
      if (!FitsPair(a, b)) break;
      const double sum = a + b;
      int joined = -1;
      for (std::size_t c = 0; c < r.classes; ++c)
        if (Within(sum, classMean[c], m_settings.pairTolerance)) joined = static_cast<int>(c);
      if (joined < 0 && r.classes == 0) {
        joined = 0;
        r.classes = 1;
      } else if (joined < 0 && r.classes == 1) {
        const double ratio = sum > classMean[0] ? sum / classMean[0] : classMean[0] / sum;
        if (ratio < MIN_BIT_RATIO || ratio > MAX_BIT_RATIO) break;
        joined = 1;
        r.classes = 2;
      } else if (joined < 0) {
        break;
      }
      const auto c = static_cast<std::size_t>(joined);
      classMean[c] += (sum - classMean[c]) / static_cast<double>(++classCount[c]);
    }
    r.end = data;
    if (r.classes == 0 || (needBoth && r.classes < 2)) return r;
    if (r.classes == 2) {
      r.zeroSum = std::min(classMean[0], classMean[1]);
      r.oneSum = std::max(classMean[0], classMean[1]);
    } else if (pilotMean > 0.0 && classMean[0] / 2.0 < 0.6 * pilotMean) {
      // All bits alike: zeros when their pulses are short beside the pilot.
      r.zeroSum = classMean[0];
      r.oneSum = 2.0 * classMean[0];
    } else {
      r.oneSum = classMean[0];
      r.zeroSum = classMean[0] / 2.0;
    }
    double zero = r.zeroSum, one = r.oneSum;
    // The bit of the pair at `k`, or -1 when it fits neither sum.
    auto pairBit = [&](std::size_t k) {
      if (k + 1 >= n || !FitsPair(m_pulses[k], m_pulses[k + 1])) return -1;
      const double sum = m_pulses[k] + m_pulses[k + 1];
      const bool isOne = std::fabs(sum - one) < std::fabs(sum - zero);
      const double bitSum = isOne ? one : zero;
      // Each half near half the bit, too: a pulse and a half are no bit.
      const bool halves = Within(2.0 * m_pulses[k], bitSum, HALF_TOLERANCE) &&
                          Within(2.0 * m_pulses[k + 1], bitSum, HALF_TOLERANCE);
      return halves && Within(sum, bitSum, m_settings.pairTolerance) ? int{isOne} : -1;
    };
    // The pairs from `k` on all fit, POLARITY_CHECK of them.
    auto pairsFit = [&](std::size_t k) {
      for (std::size_t p = 0; p < POLARITY_CHECK; ++p)
        if (pairBit(k + 2 * p) < 0) return false;
      return true;
    };
    r.pairedFrom = data;
    std::size_t k = data;
    std::size_t flips = 0;
    // Pairs in a row off their bit's length the same way by more than half
    // SHIFT_DEVIATION (`streak`, their relative deviations summing to
    // `streakSum`), from pulse `shiftFrom` (bit `shiftBits`) on; and pairs
    // in a row off by more than SHIFT_DEVIATION (`tail`), from pulse
    // `tailFrom` (bit `tailBits`) on, the farthest off by `tailFar`.
    std::size_t streak = 0, shiftFrom = k, shiftBits = 0;
    std::size_t tail = 0, tailFrom = k, tailBits = 0;
    double tailFar = 0.0;
    double streakSum = 0.0;
    for (;;) {
      const int bit = pairBit(k);
      if (bit >= 0) {
        double& mean = bit ? one : zero;
        const double sum = m_pulses[k] + m_pulses[k + 1];
        const double off = sum / mean - 1.0;
        if (std::fabs(off) <= SHIFT_DEVIATION / 2.0 || (streak > 0 && (off > 0.0) != (streakSum > 0.0))) {
          streak = 0;
          streakSum = 0.0;
        }
        if (std::fabs(off) > SHIFT_DEVIATION / 2.0) {
          if (streak++ == 0) {
            shiftFrom = k;
            shiftBits = r.bits.size();
          }
          streakSum += off;
        }
        if (std::fabs(off) <= SHIFT_DEVIATION) {
          tail = 0;
        } else if (tail++ == 0) {
          tailFrom = k;
          tailBits = r.bits.size();
          tailFar = std::fabs(off);
        } else {
          tailFar = std::max(tailFar, std::fabs(off));
        }
        if (streak >= SHIFT_STREAK && std::fabs(streakSum) > SHIFT_DEVIATION * static_cast<double>(streak)) {
          // The loader went on at other bit lengths: the data ends where
          // they start (what follows is read as data of its own). A
          // sample's jitter moves pairs by turns up and down; drift is
          // slower.
          r.bits.resize(shiftBits);
          k = shiftFrom;
          break;
        }
        // Drift is followed; pairs off by more (a sample's jitter, or the
        // loader going on at other lengths) leave the length as it was.
        if (tail == 0) mean += (sum - mean) * CLASS_FOLLOW;
        r.bits.push_back(bit != 0);
        k += 2;
        continue;
      }
      const std::size_t shiftedTail = tail;
      tail = streak = 0;
      streakSum = 0.0;
      // The polarity flipped inside the data (a loader's trick): a bit's
      // two halves merged into one pulse, or an edge added, shifts the
      // pairing by a pulse; the data runs on after it in the same bits.
      if (r.bits.size() < POLARITY_CHECK || flips == MAX_POLARITY_FLIPS || k + 1 >= n ||
          !pairsFit(k + 1)) {
        // The last pairs read were all off their bits' lengths and the
        // signal goes on: the loader went on at other bit lengths there
        // (its like bits passed for this data's), so the data ends where
        // they start. (A block's last bits bent before a pause are not
        // followed by more pulses.)
        if ((shiftedTail >= SHIFT_TAIL || (shiftedTail > 0 && tailFar > SHIFT_LONE)) && k + SHIFT_STREAK < n) {
          r.bits.resize(tailBits);
          k = tailFrom;
        }
        break;
      }
      const double merged = m_pulses[k];
      const bool isOne = std::fabs(merged - one) < std::fabs(merged - zero);
      if (Within(merged, isOne ? one : zero, m_settings.pairTolerance)) r.bits.push_back(isOne);
      ++k;
      ++flips;
      r.pairedFrom = k;
      r.bitsBefore = r.bits.size();
    }
    // The last bit's second half ended by silence (a pause, no edge): its
    // first half alone tells it.
    if (k + 1 == n && !r.bits.empty()) {
      const double a = 2.0 * m_pulses[k];
      const bool isOne = std::fabs(a - one) < std::fabs(a - zero);
      if (Within(a, isOne ? one : zero, m_settings.pairTolerance)) {
        r.bits.push_back(isOne);
        k = n;
      }
    }
    r.end = k;
    return r;
  }

  // Fills `block` with the bits of `read` whose data starts at pulse
  // `data` and whose first part (pilot, or the data itself) at `first`.
  // `lead` (0 to 2): pulses before `data` that carry a first bit of
  // `read` (a lone one: the bit's second half).
  // `lostFirst`: the first bit of `read` left no edge at all (both its
  // pulses lost before `data`).
  void MakeBlock(const DataRead& read, std::size_t first, std::size_t data, TapeBlock* block,
                 std::size_t lead = 0, bool lostFirst = false) const {
    const std::vector<bool>& bits = read.bits;
    block->bytes.assign((bits.size() + 7) / 8, 0);
    // Eight bits at a time, first bit highest (the bits walked in order,
    // not indexed one by one).
    unsigned byte = 0;
    std::size_t count = 0;
    for (const bool bit : bits) {
      byte = (byte << 1) | static_cast<unsigned>(bit);
      if (++count % 8 == 0) {
        block->bytes[count / 8 - 1] = static_cast<std::uint8_t>(byte);
        byte = 0;
      }
    }
    if (count % 8 != 0) block->bytes[count / 8] = static_cast<std::uint8_t>(byte << (8 - count % 8));
    block->usedBits = static_cast<std::uint8_t>(bits.size() % 8 == 0 ? 8 : bits.size() % 8);
    // The bit lengths fit over the pairs since the last flip of polarity
    // (if any), whose edges count two a bit.
    const std::size_t pairedFrom = read.bitsBefore > 0 ? read.pairedFrom : data;
    const std::size_t skipped = read.bitsBefore > 0 ? read.bitsBefore : (lead > 0 || lostFirst ? 1 : 0);
    // (A copy only where bits are skipped.)
    std::vector<bool> tail;
    if (skipped > 0) tail.assign(bits.begin() + static_cast<std::ptrdiff_t>(skipped), bits.end());
    const std::vector<bool>& paired = skipped > 0 ? tail : bits;
    FitBitLengths(pairedFrom, paired, read.zeroSum / 2.0, read.oneSum / 2.0, &block->timing.zero,
                  &block->timing.one);
    MeasureBitHalves(m_pulses.data() + pairedFrom, m_pulses.size() - pairedFrom, paired, m_settings.jitterTstates,
                     block->timing);
    double dataStart = EdgeAt(data - lead);
    if (lead == 1) dataStart -= bits[0] ? block->timing.one : block->timing.zero;
    if (lostFirst) dataStart -= 2.0 * (bits[0] ? block->timing.one : block->timing.zero);
    block->startSeconds = lead == 1 || lostFirst ? Seconds(dataStart) : Seconds(EdgeAt(first));
    block->dataSeconds = Seconds(dataStart);
    block->endSeconds = Seconds(EdgeAt(std::min(pairedFrom + 2 * paired.size(), m_pulses.size())));
    // Each byte's first edge, for the images (pairs from the data's start only).
    for (std::size_t b = 0; skipped == 0 && b < paired.size() && pairedFrom + 2 * b < m_pulses.size(); b += 8)
      block->byteSeconds.push_back(Seconds(EdgeAt(pairedFrom + 2 * b)));
  }

  // Data read from pulse `data` that runs straight into the next block's
  // pilot reads the pilot as bits of one kind: `read` ends where that
  // pilot starts. Returns the pulse after the data.
  std::size_t EndAtPilot(DataRead& read, std::size_t data) const {
    std::size_t k = read.end;
    const std::size_t pilotStart = TrailingPilot(data, k, read.zeroSum, read.oneSum);
    if (pilotStart < k) {
      const std::size_t from = std::max(read.pairedFrom, data);
      read.bits.resize(read.bitsBefore + (pilotStart - std::min(pilotStart, from)) / 2);
      k = std::min(from + 2 * (read.bits.size() - read.bitsBefore), m_pulses.size());
    }
    return k;
  }

  // After a pilot, pulse `sync` and the data paired from the pulse after
  // it: true where that is a sync of one pulse rather than what the data
  // from pulse `other` on makes of it (from sync + 3: a click before a
  // sync of two; from sync + 2: a sync of two), by what each reading
  // gives: the other stands where it verifies; the one-pulse sync's where
  // it verifies, or where it reads the same bits and one more before them,
  // which makes whole bytes.
  bool OneSyncReadsBetter(std::size_t sync, double pilotMean, std::size_t other) const {
    DataRead one = ReadData(sync + 1, pilotMean);
    DataRead two = ReadData(other, pilotMean);
    EndAtPilot(one, sync + 1);
    EndAtPilot(two, other);
    if (VerifiesFrom(two.bits, 0)) return false;
    if (VerifiesFrom(one.bits, 0)) return true;
    return other == sync + 3 && one.bits.size() == two.bits.size() + 1 && one.bits.size() % 8 == 0 &&
           std::equal(two.bits.begin(), two.bits.end(), one.bits.begin() + 1);
  }

  // How unlike the halves of the pairs from pulse `data` on are, on
  // average (paired a pulse off, every change of bit makes a pair of a
  // long and a short pulse).
  double Imbalance(std::size_t data) const {
    constexpr std::size_t SYNC_PROBE_PAIRS = 64;
    const std::size_t n = m_pulses.size();
    double total = 0.0;
    std::size_t k = data;
    for (; k + 1 < n && k < data + 2 * SYNC_PROBE_PAIRS; k += 2)
      total += std::fabs(m_pulses[k] - m_pulses[k + 1]) / (m_pulses[k] + m_pulses[k + 1]);
    return total / static_cast<double>(std::max<std::size_t>(1, (k - data) / 2));
  }

  // A sync a band limit swallowed: syncs far shorter than the pilot (a
  // fast loader's, through a deck that cuts the highs) do not swing the
  // signal back, and the pilot's last pulse, both syncs and nothing else
  // play as one pulse `merged`, as long as a pilot pulse and a sync pair.
  // The data is paired from the pulse after it. Taken only after a long
  // pilot, where the data pairs there in phase (not a pulse later), at
  // bit lengths unlike the pilot's, and where no pilotless reading of the
  // same pulses reaches as far (a run of like bits inside data, ended by
  // the first half of a longer bit, looks the same).
  bool TryMergedSync(std::size_t pilot, std::size_t merged, double pilotMean, TapeBlock* block,
                     std::size_t* end) const {
    const std::size_t n = m_pulses.size();
    const std::size_t data = merged + 1;
    if (merged - pilot < 2 * PILOT_PROBE || data + 2 * static_cast<std::size_t>(m_settings.minDataBits) > n)
      return false;
    const double syncs = m_pulses[merged] - pilotMean;
    if (syncs < 2.0 * m_settings.minSyncRatio * pilotMean || syncs > 2.0 * m_settings.maxSyncRatio * pilotMean)
      return false;
    if (!(Imbalance(data) < Imbalance(data + 1))) return false;
    DataRead read = ReadData(data, pilotMean, true);
    auto bitLike = [&](double sum) { return Within(pilotMean, sum / 2.0, m_settings.toneTolerance); };
    if (read.classes < 2 || bitLike(read.zeroSum) || bitLike(read.oneSum)) return false;
    const std::size_t k = EndAtPilot(read, data);
    if (read.bits.size() < static_cast<std::size_t>(m_settings.minDataBits)) return false;
    for (std::size_t from = pilot; from < pilot + 2; ++from)
      if (ReadData(from, 0.0, true).end >= k) return false;
    MakeBlock(read, pilot, data, block);
    m_blockPilot = pilot;
    BlockTiming& t = block->timing;
    double pilotTotal = 0.0;
    for (std::size_t p = pilot; p < merged; ++p) pilotTotal += m_pulses[p];
    // The merged pulse holds the pilot's last pulse and the two syncs,
    // which share what is left of it.
    t.pilot = pilotTotal / static_cast<double>(merged - pilot);
    t.pilotPulses = static_cast<std::int32_t>(merged - pilot + 1);
    t.sync1 = t.sync2 = (m_pulses[merged] - t.pilot) / 2.0;
    block->romTiming = IsRomTiming(t, m_settings);
    *end = k;
    return true;
  }

  // Where a pilot block's data starts: its first pulse paired (`data`),
  // the pulses before it that carry its first bit's second half (`lead`,
  // 0 or 1), where the pilot ends and the syncs measured from there.
  struct EarlierStart {
    std::size_t data, lead, pilotEnd;
    double sync1, sync2;
  };

  // Syncs far shorter than the pilot, through a deck that cuts the highs,
  // blur into the first bits after them: the syncs merge with each other
  // and with the first bit's first half (edges lost in pairs, so the
  // pairing keeps its phase), and the pulses left of the first bits read
  // as the sync. The reading from `start->data` then starts a bit or two
  // late, ending short of whole bytes. The data is tried from up to
  // MAX_EARLIER_PULSES pulses before it, in the same phase: pairs at the
  // reading's lengths, and before them a first bit's lone second half
  // (its first merged into the syncs' pulse), after one or two pulses off
  // the pilot's length that hold syncs of a plausible length. Only the
  // bit count that makes whole bytes up to the same end is tried (at most
  // two readings: with or without a lone half), and a reading is taken
  // where it verifies and no other does; `read` (which does not verify)
  // then gets the bits in front and `start` the new start and syncs.
  bool StartEarlier(std::size_t pilot, double pilotMean, DataRead& read, EarlierStart* start) const {
    constexpr std::size_t MAX_EARLIER_PULSES = 4;
    constexpr double FIRST_BIT_TOLERANCE = 0.4;
    const std::size_t data = start->data;
    std::vector<bool> chosen;
    EarlierStart found{};
    std::size_t verifying = 0;
    for (std::size_t e = 1; e <= MAX_EARLIER_PULSES; ++e) {
      const std::size_t lone = e % 2;
      const std::size_t added = e / 2 + lone;
      if ((read.bits.size() + added) % 8 != 0) continue;
      if (data < pilot + static_cast<std::size_t>(m_settings.minPilotPulses) + e + 1) break;
      const std::size_t paired = data - 2 * (e / 2);
      const std::size_t first = paired - lone;
      std::vector<bool> bits;
      if (lone > 0) {
        const double a = 2.0 * m_pulses[first];
        const bool isOne = std::fabs(a - read.oneSum) < std::fabs(a - read.zeroSum);
        if (!Within(a, isOne ? read.oneSum : read.zeroSum, FIRST_BIT_TOLERANCE)) continue;
        bits.push_back(isOne);
      }
      int bit = 0;
      std::size_t p = paired;
      for (; p < data && (bit = PairAt(p, read)) >= 0; p += 2) bits.push_back(bit != 0);
      if (p < data) continue;
      // The syncs: the pulses before the data off the pilot's length.
      std::size_t syncFrom = first;
      while (syncFrom + 2 > first && !Within(m_pulses[syncFrom - 1], pilotMean, m_settings.toneTolerance))
        --syncFrom;
      if (syncFrom == first) continue;
      const double half = lone > 0 ? (bits[0] ? read.oneSum : read.zeroSum) / 2.0 : 0.0;
      const double syncs = EdgeAt(first) - EdgeAt(syncFrom) - half;
      if (syncs < 2.0 * m_settings.minSyncRatio * pilotMean || syncs > 2.0 * m_settings.maxSyncRatio * pilotMean)
        continue;
      bits.insert(bits.end(), read.bits.begin(), read.bits.end());
      if (!VerifiesFrom(bits, 0)) continue;
      ++verifying;
      chosen = std::move(bits);
      const bool two = first - syncFrom == 2;
      found = {paired, lone, syncFrom, two ? m_pulses[syncFrom] : syncs / 2.0,
               two ? m_pulses[syncFrom + 1] - half : syncs / 2.0};
    }
    if (verifying != 1) return false;
    const std::size_t added = chosen.size() - read.bits.size();
    if (read.bitsBefore > 0) read.bitsBefore += added;
    read.bits = std::move(chosen);
    *start = found;
    return true;
  }

  // A block whose pilot is pulses [pilot, sync) with mean `pilotMean`:
  // two sync pulses (or one, the data paired from the pulse after it),
  // then data pairs until one does not fit.
  bool TryBlock(std::size_t pilot, std::size_t sync, double pilotMean, TapeBlock* block,
                std::size_t* end) const {
    const std::size_t n = m_pulses.size();
    if (sync + 2 + 2 * static_cast<std::size_t>(m_settings.minDataBits) > n) return false;
    const double lo = m_settings.minSyncRatio * pilotMean;
    const double hi = m_settings.maxSyncRatio * pilotMean;
    auto syncLike = [&](std::size_t k) { return m_pulses[k] >= lo && m_pulses[k] <= hi; };
    if (!syncLike(sync) || !syncLike(sync + 1)) return false;
    // A step of a stepped pilot: the "sync" starts a tone of its own near
    // the pilot's length (the next step, tried as a pilot from there), not
    // data. (Syncs are at most half the pilot on loaders' tapes.)
    constexpr double MIN_STEP_RATIO = 0.5;
    double stepMean = 0.0;
    if (m_pulses[sync] > MIN_STEP_RATIO * pilotMean &&
        NearEqualRun(sync, &stepMean) - sync >= static_cast<std::size_t>(m_settings.minTonePulses))
      return false;
    // A click just before the sync (a clicking pilot's last click) looks
    // like a sync pulse too. Where the pairs a pulse later are much better
    // matched halves than those from here (paired a pulse off, every change
    // of bit makes a pair of a long and a short pulse), that pulse is the
    // pilot's, and the sync the two after it.
    auto imbalance = [&](std::size_t data) { return Imbalance(data); };
    // A sync of one pulse pairs the same way: the data starts at the pulse
    // after it. The click's reading (the first pair a sync) stands unless
    // the one-pulse sync's reading has the one bit more that makes whole
    // bytes, or verifies where the click's does not.
    bool oneSync = false;
    if (sync + 3 < n && 2.0 * imbalance(sync + 3) < imbalance(sync + 2)) {
      oneSync = OneSyncReadsBetter(sync, pilotMean, syncLike(sync + 2) ? sync + 3 : sync + 2);
      if (!oneSync) ++sync;
    }
    const double sync1 = m_pulses[sync];
    const double sync2 = oneSync ? 0.0 : m_pulses[sync + 1];
    const std::size_t data = oneSync ? sync + 1 : sync + 2;
    // The pilot going on after the "sync": that was a click inside the
    // pilot (a clicking pilot), not a sync; the pilot is tried again after
    // it. Fewer pulses than a tone may be the pilot's last ones after a
    // click (which a band limit widens into a pair too unlike the pilot to
    // bridge) or the first bits of data whose ones are as long as the
    // pilot's pulses: the block they lead to stands for them where it
    // verifies and the reading from here does not.
    double onMean = 0.0;
    const std::size_t onEnd = NearEqualRun(data, &onMean);
    bool laterVerifies = false;
    if (std::fabs(onMean - pilotMean) <= m_settings.toneTolerance * pilotMean + m_settings.jitterTstates) {
      if (onEnd - data >= static_cast<std::size_t>(m_settings.minTonePulses)) return false;
      TapeBlock later;
      std::size_t laterEnd = 0;
      laterVerifies = onEnd - data >= static_cast<std::size_t>(m_settings.minPilotPulses) &&
                      TryBlock(data, onEnd, onMean, &later, &laterEnd) && BlockVerifies(later.bytes);
    }
    DataRead read = ReadData(data, pilotMean);
    if (read.learnt < static_cast<std::size_t>(m_settings.minDataBits)) return false;
    // Straight after data, a short run as long as a bit's pulses is more
    // data (a byte of like bits), not a pilot.
    auto bitLike = [&](double sum) { return Within(pilotMean, sum / 2.0, m_settings.toneTolerance); };
    if (StraightAfterData(pilot) && sync - pilot < 2 * PILOT_PROBE && (bitLike(read.zeroSum) || bitLike(read.oneSum)))
      return false;
    // So is a short run as long as the ones' pulses whose "sync" is a
    // zero bit's two halves, anywhere: data that starts with like bits
    // (a flag 0xFF) after a pause, read from its first pulse.
    auto zeroHalf = [&](double pulse) { return Within(2.0 * pulse, read.zeroSum, m_settings.pairTolerance); };
    if (sync - pilot < 2 * PILOT_PROBE && bitLike(read.oneSum) && zeroHalf(sync1) && zeroHalf(sync2)) return false;
    const std::size_t k = EndAtPilot(read, data);
    if (read.bits.size() < static_cast<std::size_t>(m_settings.minDataBits)) return false;
    // Clicks the pilot's run bridged (pulses off its length, past its first
    // minPilotPulses): the pilot up to the last click is a tone of its own,
    // played pulse by pulse around its clicks; the block's pilot is what
    // follows (the mean of a pilot with its clicks puts the image's edges
    // out of step with the recording's).
    const double off = m_settings.toneTolerance * pilotMean + m_settings.jitterTstates;
    std::size_t from = pilot;
    for (std::size_t p = sync; p > pilot + static_cast<std::size_t>(m_settings.minPilotPulses); --p) {
      if (std::fabs(m_pulses[p - 1] - pilotMean) > off) {
        if (p < sync) from = p;
        break;
      }
    }
    pilot = from;
    // Data the reading joined late (syncs a band limit merged with the
    // first bits): read from where it starts.
    EarlierStart earlier{data, 0, sync, sync1, sync2};
    if (!VerifiesFrom(read.bits, 0)) StartEarlier(pilot, pilotMean, read, &earlier);
    MakeBlock(read, pilot, earlier.data, block, earlier.lead);
    block->startSeconds = Seconds(EdgeAt(pilot));
    if (laterVerifies && !BlockVerifies(block->bytes)) return false;
    m_blockPilot = pilot;
    BlockTiming& t = block->timing;
    double pilotTotal = 0.0;
    for (std::size_t p = pilot; p < earlier.pilotEnd; ++p) pilotTotal += m_pulses[p];
    t.pilot = pilotTotal / static_cast<double>(earlier.pilotEnd - pilot);
    t.pilotPulses = static_cast<std::int32_t>(earlier.pilotEnd - pilot);
    t.sync1 = earlier.sync1;
    t.sync2 = earlier.sync2;
    block->romTiming = IsRomTiming(t, m_settings);
    *end = k;
    return true;
  }

  // A clicking pilot whose last click comes a few pulses before the sync
  // (too few after it for NearEqualRun to bridge): the pilot [pilot, sync)
  // with mean `pilotMean` runs on over the click at `sync` and the pulses
  // back on its mean after it, to a sync and data.
  bool TryPastClick(std::size_t pilot, std::size_t sync, double pilotMean, TapeBlock* block,
                    std::size_t* end) const {
    constexpr std::size_t MAX_AFTER_CLICK = 8;
    const std::size_t n = m_pulses.size();
    std::size_t k = sync + 1;
    while (k < n && k <= sync + MAX_AFTER_CLICK &&
           std::fabs(m_pulses[k] - pilotMean) <= m_settings.toneTolerance * pilotMean + m_settings.jitterTstates)
      ++k;
    return k > sync + 1 && k < n && TryBlock(pilot, k, pilotMean, block, end);
  }

  // True when `bits` are a clicking pilot's: after a run of one bit (the
  // pilot before its clicks), a pattern of 2 to MAX_CLICK_PERIOD bits
  // repeated to the end, at least three times over at least half of them
  // (the pilot's pulses read as bits of one kind, a click as the other).
  // Its bytes repeat, bar the tone's, and verify as often as not. (The
  // pilot after the clicks is cut off by TrailingPilot.)
  static bool ClickPattern(const std::vector<bool>& bits) {
    constexpr std::size_t MAX_CLICK_PERIOD = 64;
    const std::size_t n = bits.size();
    std::size_t head = 0;
    while (head < n && bits[head] == bits[0]) ++head;
    // The pattern may start inside the run before it.
    const std::size_t from = head > 0 ? head - 1 : 0;
    for (std::size_t period = 2; period <= MAX_CLICK_PERIOD && 3 * period <= n - from; ++period) {
      std::size_t k = from + period;
      while (k < n && bits[k] == bits[k - period]) ++k;
      if (k == n && 2 * (n - from) >= n) return true;
    }
    return false;
  }

  // True when bits[from...] make whole bytes that verify.
  static bool VerifiesFrom(const std::vector<bool>& bits, std::size_t from) {
    if ((bits.size() - from) % 8 != 0) return false;
    std::vector<std::uint8_t> bytes((bits.size() - from) / 8, 0);
    for (std::size_t b = from; b < bits.size(); ++b)
      if (bits[b]) bytes[(b - from) / 8] |= static_cast<std::uint8_t>(0x80u >> ((b - from) % 8));
    return BlockVerifies(bytes);
  }

  // The bit of the pair at pulse `k` at the pair sums of `read`; -1 when
  // it fits neither.
  int PairAt(std::size_t k, const DataRead& read) const {
    if (k + 1 >= m_pulses.size() || !FitsPair(m_pulses[k], m_pulses[k + 1])) return -1;
    const double sum = m_pulses[k] + m_pulses[k + 1];
    const bool isOne = std::fabs(sum - read.oneSum) < std::fabs(sum - read.zeroSum);
    const double bit = isOne ? read.oneSum : read.zeroSum;
    const bool fits = Within(2.0 * m_pulses[k], bit, HALF_TOLERANCE) &&
                      Within(2.0 * m_pulses[k + 1], bit, HALF_TOLERANCE) &&
                      Within(sum, bit, m_settings.pairTolerance);
    return fits ? int{isOne} : -1;
  }

  // Data whose first bits a dropout cut off (an edge or two lost in a
  // short pulse: the pairing breaks a bit or two on): `read`, from pulse
  // `at`, gets the bits read at its lengths from `floor` (or the pulse
  // after it, the first bit's lone half at `floor`) up to a few pulses
  // before `at`, and the bits those pulses hold: of each count and kind
  // whose lengths sum to theirs, the one that makes whole bytes with the
  // rest and verifies, or the only one that makes whole bytes. `first`:
  // the first pulse of the data; `half`: 1 when that pulse is a lone half.
  bool JoinAcrossDropout(std::size_t floor, std::size_t at, DataRead& read, std::size_t* first,
                         std::size_t* half) const {
    constexpr std::size_t MAX_DROPOUT_PULSES = 3;
    constexpr std::size_t MAX_DROPOUT_BITS = 3;
    constexpr double FIRST_BIT_TOLERANCE = 0.4;
    for (std::size_t from = floor; from < floor + 2 && from < at; ++from) {
      std::vector<bool> before;
      if (from > floor) {
        const double a = 2.0 * m_pulses[floor];
        const bool isOne = std::fabs(a - read.oneSum) < std::fabs(a - read.zeroSum);
        if (!Within(a, isOne ? read.oneSum : read.zeroSum, FIRST_BIT_TOLERANCE)) continue;
        before.push_back(isOne);
      }
      std::size_t k = from;
      for (int bit = 0; k + 1 < at && (bit = PairAt(k, read)) >= 0; k += 2) before.push_back(bit != 0);
      if (k == from || k >= at || at - k > MAX_DROPOUT_PULSES) continue;
      double gap = 0.0;
      for (std::size_t p = k; p < at; ++p) gap += m_pulses[p];
      std::vector<bool> chosen;
      std::size_t fitting = 0, verifying = 0;
      for (std::size_t count = 1; count <= MAX_DROPOUT_BITS; ++count) {
        if ((before.size() + count + read.bits.size()) % 8 != 0) continue;
        for (unsigned mask = 0; mask < (1u << count); ++mask) {
          double length = 0.0;
          for (std::size_t b = 0; b < count; ++b) length += (mask >> b) & 1 ? read.oneSum : read.zeroSum;
          if (std::fabs(gap - length) > m_settings.pairTolerance * read.zeroSum) continue;
          std::vector<bool> bits = before;
          for (std::size_t b = 0; b < count; ++b) bits.push_back(((mask >> b) & 1) != 0);
          bits.insert(bits.end(), read.bits.begin(), read.bits.end());
          ++fitting;
          const bool verifies = VerifiesFrom(bits, 0);
          verifying += verifies;
          if (verifies || chosen.empty()) chosen = std::move(bits);
        }
      }
      if (verifying > 1 || (verifying == 0 && fitting != 1)) continue;
      const std::size_t added = chosen.size() - read.bits.size();
      if (read.bitsBefore == 0) read.pairedFrom = at;
      read.bitsBefore += added;
      read.bits = std::move(chosen);
      *first = floor;
      *half = from - floor;
      return true;
    }
    return false;
  }

  // Data with no pilot before it, starting at pulse `at` or the next:
  // both kinds of bit, at least minPureDataBits.
  // A first bit that the tape path bent out of shape (the first pulse out
  // of silence, behind a click) is taken from the pair before, back to
  // `floor`, when it lies within FIRST_BIT_TOLERANCE of a bit.
  bool TryPureData(std::size_t at, std::size_t floor, TapeBlock* block, std::size_t* start,
                   std::size_t* end) const {
    constexpr double FIRST_BIT_TOLERANCE = 0.4;
    constexpr std::size_t LEAD_IN_PULSES = 4;
    DataRead best;
    std::size_t bestAt = at;
    for (std::size_t data = at; data < at + 2 && data + 1 < m_pulses.size(); ++data) {
      DataRead read = ReadData(data, 0.0, true);
      if (read.bits.size() > best.bits.size()) {
        best = std::move(read);
        bestAt = data;
      }
    }
    if (bestAt > at || best.bits.size() < static_cast<std::size_t>(m_settings.minPureDataBits))
      return false;  // (a better start at the next pulse is tried from there)
    // A pilot a pulse or few on, after pulses a tape path bent coming out
    // of silence, whose pairs passed for bits: the block it leads to is
    // read from there. A pilot is long, or unlike the bits after it (a
    // run of like bits is as long as their pulses).
    for (std::size_t p = at + 1; p < at + LEAD_IN_PULSES && p < m_pulses.size(); ++p) {
      double mean = 0.0;
      const std::size_t run = NearEqualRun(p, &mean) - p;
      if (run >= 2 * PILOT_PROBE) return false;
      TapeBlock led;
      std::size_t ledEnd = 0;
      if (run >= static_cast<std::size_t>(m_settings.minPilotPulses) && TryBlock(p, p + run, mean, &led, &ledEnd) &&
          !Within(mean, led.timing.one, m_settings.toneTolerance) &&
          !Within(mean, led.timing.zero, m_settings.toneTolerance))
        return false;
    }
    // A tone with a few glitches reads as one kind of bit and a few of the
    // other: data has a fair share of both.
    constexpr double MIN_SHARE = 0.1;
    const auto ones = static_cast<double>(std::count(best.bits.begin(), best.bits.end(), true));
    const double share = ones / static_cast<double>(best.bits.size());
    if (share < MIN_SHARE || share > 1.0 - MIN_SHARE) return false;
    // Read on into a pilot: the data ends where the pilot starts.
    const std::size_t pilotStart = TrailingPilot(bestAt, best.end, best.zeroSum, best.oneSum);
    if (pilotStart < best.end) {
      const std::size_t from = std::max(best.pairedFrom, bestAt);
      best.bits.resize(best.bitsBefore + (pilotStart - std::min(pilotStart, from)) / 2);
      best.end = std::min(from + 2 * (best.bits.size() - best.bitsBefore), m_pulses.size());
    }
    if (best.bits.size() < static_cast<std::size_t>(m_settings.minPureDataBits)) return false;
    if (ClickPattern(best.bits)) {
      m_clicksEnd = best.end;
      return false;
    }
    std::size_t first = 0, half = 0;
    if (JoinAcrossDropout(floor, bestAt, best, &first, &half)) {
      MakeBlock(best, first, first + half, block, half);
      *start = first;
      block->romTiming = false;
      *end = best.end;
      return true;
    }
    // The first bit: a pair before, or a lone half (its first edge lost in
    // the silence before it).
    std::size_t lead = 0;
    for (std::size_t pulses = 2; pulses >= 1 && lead == 0; --pulses) {
      if (bestAt < floor + pulses) continue;
      double sum = 0.0;
      for (std::size_t p = bestAt - pulses; p < bestAt; ++p) sum += m_pulses[p];
      sum *= 2.0 / static_cast<double>(pulses);
      const bool isOne = std::fabs(sum - best.oneSum) < std::fabs(sum - best.zeroSum);
      if (Within(sum, isOne ? best.oneSum : best.zeroSum, FIRST_BIT_TOLERANCE)) {
        best.bits.insert(best.bits.begin(), isOne);
        lead = pulses;
      }
    }
    // One bit over whole bytes, which verify without the first: that
    // "bit" was a sync pair (after a pilot of a few pulses, too short for
    // one), not data.
    if (best.bits.size() % 8 == 1 && VerifiesFrom(best.bits, 1)) {
      best.bits.erase(best.bits.begin());
      if (lead > 0) {
        lead = 0;
      } else {
        bestAt += 2;
        if (best.bitsBefore > 0) --best.bitsBefore;
      }
    }
    // One bit short of whole bytes, which verify with a first bit before
    // them: that bit's edges were lost (a tape path swallows the first
    // pulses out of silence). (Were the rest misread, a chance checksum is
    // as likely as for any reading; were it not, only the right bit
    // verifies.)
    bool lostFirst = false;
    for (const bool bit : {true, false}) {
      if (lead > 0 || lostFirst || best.bits.size() % 8 != 7) break;
      std::vector<bool> whole(best.bits);
      whole.insert(whole.begin(), bit);
      if (!VerifiesFrom(whole, 0)) continue;
      best.bits = std::move(whole);
      if (best.bitsBefore > 0) ++best.bitsBefore;
      lostFirst = true;
    }
    MakeBlock(best, bestAt - lead, bestAt, block, lead, lostFirst);
    *start = bestAt - lead;
    block->romTiming = false;
    *end = best.end;
    return true;
  }

  const std::vector<double>& m_times;
  const std::vector<bool>& m_rising;
  std::size_t m_base;
  const SegmenterSettings& m_settings;
  std::vector<TapePart>& m_out;
  std::vector<double> m_pulses;
  // The pulse where the last block's data ended.
  std::size_t m_dataEnd = SIZE_MAX;
  // Where the pilot of the block TryBlock read last starts (after the
  // clicks of the run it was tried from).
  mutable std::size_t m_blockPilot = 0;
  // Where the last clicking pilot's pattern that TryPureData read ends.
  mutable std::size_t m_clicksEnd = 0;
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
  for (std::size_t k = 0; k < count;) {
    if (!m_times.empty() && (edges[k].tstates - m_times.back() > m_settings.pauseTstates ||
                             m_times.size() >= m_maxRunEdges))
      Flush();
    // The edges up to the next pause (or the run's limit) go in at once.
    const std::size_t held = m_times.size();
    std::size_t end = k + 1;
    while (end < count && !(edges[end].tstates - edges[end - 1].tstates > m_settings.pauseTstates) &&
           held + (end - k) < m_maxRunEdges)
      ++end;
    // (Grown as one at a time grows them: memory stays as it was.)
    for (std::size_t j = k; j < end; ++j) m_times.push_back(edges[j].tstates);
    m_rising.resize(held + (end - k));
    auto rising = m_rising.begin() + static_cast<std::ptrdiff_t>(held);
    for (std::size_t j = k; j < end; ++j, ++rising) *rising = edges[j].rising;
    k = end;
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
  const std::vector<std::pair<std::size_t, double>> dropped = RemoveSpikes();
  std::vector<TapePart> parts;
  RunSegmenter(m_times, m_rising, 0, m_times.size() - 1, m_settings, parts).Run();
  m_rising.clear();
  if (m_keep) {
    // The run as fed again, the dropped edges back in their places (from
    // the end on: no kept edge moves back over one not yet moved).
    std::size_t kept = m_times.size();
    m_times.resize(kept + dropped.size());
    std::size_t spike = dropped.size();
    // (Edges before the first dropped one never moved.)
    const std::size_t unmoved = dropped.empty() ? m_times.size() : dropped.front().first;
    for (std::size_t k = m_times.size(); k-- > unmoved;)
      m_times[k] = spike > 0 && dropped[spike - 1].first == k ? dropped[--spike].second : m_times[--kept];
    std::vector<double> run;
    run.swap(m_times);
    m_keep(std::move(run));
  } else {
    m_times.clear();
  }
  for (TapePart& part : parts) m_emit(std::move(part));
}

std::vector<std::pair<std::size_t, double>> CPulseSegmenter::RemoveSpikes() {
  // A spike of noise across the trigger's band inside a pulse splits it
  // into three: the pulse's start, a pulse shorter than any loader's (under
  // SPIKE_SHARE of hissPulseTstates: 40 us), and the rest. Where such a short pulse has a pulse
  // SPIKE_NEIGHBOUR times longer on either side, its two edges go: the
  // pulse is whole again, the pulses after it keep their polarity, and the
  // time is unchanged. A sync as short (120 T beside a 250 T pilot) has
  // no such neighbour, or is the second of a pair after its pilot (beside
  // bits four times as long). Hiss (short pulses in a row, with no long one
  // beside them) stays for the segmenter's hiss rule.
  constexpr double SPIKE_SHARE = 0.8;
  constexpr double SPIKE_NEIGHBOUR = 4.0;
  const double spike = SPIKE_SHARE * m_settings.hissPulseTstates;
  std::vector<std::pair<std::size_t, double>> dropped;
  const std::size_t n = m_times.size();
  // Up to the first short pulse every edge stays where it is.
  std::size_t k = 1;
  while (k + 2 < n && !(m_times[k + 1] - m_times[k] < spike)) ++k;
  std::size_t out = std::min(k, n);
  for (k = out; k < n; ++k) {
    // Edges k and k + 1 bound a short pulse; the pulses beside it end at
    // out - 1 (already kept) and start at k + 1.
    if (out >= 1 && k + 2 < n && m_times[k + 1] - m_times[k] < spike) {
      const double before = m_times[k] - m_times[out - 1];
      const double after = m_times[k + 2] - m_times[k + 1];
      const double pulse = m_times[k + 1] - m_times[k];
      // The second of two alike short pulses after a short pulse (a sync
      // pair after its pilot) is no spike. (A spike inside a long pulse has
      // the pulse's start before it, or, the second of two, the start and
      // the first already merged.)
      const bool pair = out >= 2 && before < spike && std::fabs(before - pulse) <= 0.25 * std::max(before, pulse) &&
                        m_times[out - 1] - m_times[out - 2] < SPIKE_NEIGHBOUR * pulse;
      if (!pair && (before > SPIKE_NEIGHBOUR * pulse || after > SPIKE_NEIGHBOUR * pulse)) {
        dropped.emplace_back(k, m_times[k]);
        dropped.emplace_back(k + 1, m_times[k + 1]);
        ++k;  // both edges dropped
        continue;
      }
    }
    if (out != k) {
      m_times[out] = m_times[k];
      m_rising[out] = m_rising[k];
    }
    ++out;
  }
  m_times.resize(out);
  m_rising.resize(out);
  return dropped;
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
