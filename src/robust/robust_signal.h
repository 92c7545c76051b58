// The per-sample front end of the robust method: exact prefix sums of the
// recording (for box integrals at real-valued positions), and a hysteresis
// trigger set relative to the signal's own envelope, whose edges carry
// crossing times interpolated between samples. Everything here is O(1) per
// sample and O(ring) in memory.
#ifndef TAPEDECODER_ROBUST_ROBUST_SIGNAL_H_
#define TAPEDECODER_ROBUST_ROBUST_SIGNAL_H_

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "audio/sample_source.h"

namespace tapedecoder {
namespace robust {

// Samples are quantised to 2^-24 of full scale before summing, so the sums
// are exact integers: the same on every machine and free of drift however
// long the recording or its DC offset. Inputs beyond the sample sources'
// SAMPLE_LIMIT are clipped as the sources clip them, which keeps two hours
// at 192 kHz inside int64.
constexpr double SAMPLE_SCALE = 16777216.0;

// C[i], the sum of the first i samples, for the newest `capacity` values of i.
class PrefixRing {
 public:
  // REQUIRES: capacity is a power of two >= 2.
  explicit PrefixRing(std::size_t capacity);
  PrefixRing(const PrefixRing&) = delete;
  PrefixRing& operator=(const PrefixRing&) = delete;

  // Starts over at sample `first` (>= 0) of the same recording: C[first]
  // reads as 0 and nothing before it is held. Box integrals are differences
  // of sums, so they come out exactly as from a ring fed from the first
  // sample. Takes the full capacity at once.
  void Restart(std::int64_t first);

  void Push(float sample) { Push(&sample, 1); }
  void Push(const float* samples, std::size_t count);
  // Samples pushed so far; C[Count()] is the newest sum.
  std::int64_t Count() const { return m_count; }
  // The oldest index still held.
  std::int64_t Oldest() const;
  // True when box integrals over [a, b] can be evaluated.
  bool Holds(double a, double b) const;
  // The integral of the zero-order-hold signal over [a, b], in full-scale
  // units times samples. REQUIRES: Holds(a, b).
  double Box(double a, double b) const;
  // The step-matched edge filter box(t, t+len) - box(t-len, t): for a step
  // of height 2A at t it peaks at 2A·len. REQUIRES: Holds(t-len, t+len).
  // Inline: the readers evaluate it a dozen times a bit.
  double Edge(double t, double len) const;
  // box(t, t+len) - box(t+len, t+2·len): the difference of two adjacent
  // boxes. REQUIRES: Holds(t, t+2·len).
  double Step(double t, double len) const;
  // The raw sums, REQUIRES: Oldest() <= i <= Count().
  std::int64_t At(std::int64_t i) const { return m_sums[static_cast<std::size_t>(i) & m_mask]; }
  // The ring itself, for loops over many sums: entry i & IndexMask() holds
  // C[i]. Both change while the ring grows to its capacity (it starts
  // small, so that a short recording costs no more than it needs).
  const std::int64_t* Data() const { return m_sums.data(); }
  std::size_t IndexMask() const { return m_mask; }
  // The capacity less one: how far Oldest() trails Count() once full.
  std::size_t Mask() const { return m_window; }

 private:
  // Grows the ring until it holds index `last` unwrapped, or is full.
  void Reserve(std::int64_t last);

  // The ring, and after it a copy of its first entry: C[i] and C[i + 1]
  // lie side by side wherever i falls.
  std::vector<std::int64_t> m_sums;
  std::size_t m_mask;    // m_sums.size() - 2
  std::size_t m_window;  // the capacity less one
  std::int64_t m_count = 0;
  std::int64_t m_total = 0;  // C[m_count]
  std::int64_t m_first = 0;  // the oldest index ever held
};

// floor(v) as an integer, for |v| < 2^62: the truncation, one lower for
// negative fractions. std::floor costs a call or a long sequence on the
// baseline instruction set; this is the same value.
inline std::int64_t FloorIndex(double v) {
  std::int64_t i = static_cast<std::int64_t>(v);
  return i - (v < static_cast<double>(i) ? 1 : 0);
}

// floor(v) both as an integer and as a double, for |v| < 2^62, from one
// truncation. The readers' positions are never negative, so the
// correction is a branch that is never taken: the sums are read as soon
// as the truncation is known, while the test runs beside.
inline std::int64_t FloorBoth(double v, double& value) {
  std::int64_t i = static_cast<std::int64_t>(v);
  value = static_cast<double>(i);
  if (__builtin_expect(v < value, 0)) {
    --i;
    value -= 1.0;
  }
  return i;
}

inline double PrefixRing::Edge(double t, double len) const {
  // C(t+len) - 2·C(t) + C(t-len), the whole-sample part in exact integers.
  const double lo = t - len;
  const double hi = t + len;
  double f1, f2, f3;
  const std::int64_t i1 = FloorBoth(lo, f1);
  const std::int64_t i2 = FloorBoth(t, f2);
  const std::int64_t i3 = FloorBoth(hi, f3);
  const std::int64_t* sums = m_sums.data();
  const std::size_t mask = m_mask;
  // C[i] and C[i + 1], the latter from the copy past the end where i is last.
  auto at = [&](std::int64_t i) { return sums + (static_cast<std::size_t>(i) & mask); };
  const std::int64_t* p1 = at(i1);
  const std::int64_t* p2 = at(i2);
  const std::int64_t* p3 = at(i3);
  std::int64_t c1 = p1[0];
  std::int64_t c2 = p2[0];
  std::int64_t c3 = p3[0];
  double whole = static_cast<double>((c3 - c2) - (c2 - c1));
  double parts = (hi - f3) * static_cast<double>(p3[1] - c3) -
                 2.0 * (t - f2) * static_cast<double>(p2[1] - c2) +
                 (lo - f1) * static_cast<double>(p1[1] - c1);
  return (whole + parts) / SAMPLE_SCALE;
}

// Inline for the same reason: once a bit.
inline double PrefixRing::Step(double t, double len) const { return -Edge(t + len, len); }

// One transition found by the trigger: its time in samples, and the level
// it goes to (+1 up, -1 down).
struct TriggerEdge {
  double time;
  int level;
};

// Smoothing (a centred box), DC removal (a centred 5 ms moving mean), an
// envelope that runs 3 ms ahead of the trigger, and a Schmitt trigger at
// ±hysteresis·envelope. On the mean envelope an edge is dated at the last
// zero crossing before the threshold was passed, interpolated between
// samples, so the hysteresis delays nothing; on the peak envelope it is
// dated where the threshold is passed, interpolated likewise. Lags the
// prefix sums by about 6 ms.
class SchmittFrontEnd {
 public:
  // Which envelope the hysteresis follows.
  enum class Envelope {
    MEAN,  // mean of |y| over about 3 ms: follows every pulse, even weak ones
    PEAK,  // peaks of |y| decaying over 10 ms: spiky (differentiated) signals
           // set it by their spikes, not by the noise between them
  };
  // `smoothSeconds`: the smoothing box. Holds a few thousand values of its
  // own, whatever the rate.
  SchmittFrontEnd(double sampleRate, double hysteresis, double smoothSeconds, Envelope envelope);
  SchmittFrontEnd(const SchmittFrontEnd&) = delete;
  SchmittFrontEnd& operator=(const SchmittFrontEnd&) = delete;

  // Processes every sample whose windows `sums` now covers, appending the
  // edges found. `sums` must be the ring the samples went to.
  void Advance(const PrefixRing& sums, std::vector<TriggerEdge>& edges);
  // The first sample not yet examined by the trigger.
  std::int64_t Position() const { return m_next; }
  // Moves the trigger on to sample `from` without examining what lies
  // before it, and forgets its envelope and level: they settle again
  // within a few milliseconds of signal. Nothing when from <= Position().
  // REQUIRES: the sums still hold from - Reach() - 1 when Advance() runs.
  void Restart(std::int64_t from);
  // Starts over at sample `from` as Restart() does, but also where the
  // trigger has already looked past it: its edges from there on then come
  // out as from a trigger started there, whatever it examined before.
  // REQUIRES: as Restart().
  void Reset(std::int64_t from);
  // How far the windows reach either side of a sample.
  std::int64_t Reach() const { return std::max(m_smoothHalf, m_dcHalf) + 1; }

 private:
  // Computes y up to (not including) valueEnd.
  void ComputeValues(const PrefixRing& sums, std::int64_t valueEnd);
  // Runs the trigger over the values computed.
  void Trigger(std::vector<TriggerEdge>& edges);
  template <bool MEAN>
  void RunTrigger(std::vector<TriggerEdge>& edges);

  int m_smoothHalf;
  int m_dcHalf;
  int m_envHalf;
  double m_hysteresis;
  Envelope m_envelope;
  double m_peakDecay;
  double m_envRate;
  double m_env = 0.0;
  std::vector<float> m_values;        // smoothed DC-free signal y
  std::size_t m_mask;
  std::int64_t m_nextValue;  // next index of y to compute
  std::int64_t m_next;       // next index the trigger examines
  int m_level = 0;
  double m_lastUp = -1.0;
  double m_lastDown = -1.0;
  double m_lastEdge = -1.0;
};

}  // namespace robust
}  // namespace tapedecoder

#endif  // TAPEDECODER_ROBUST_ROBUST_SIGNAL_H_
