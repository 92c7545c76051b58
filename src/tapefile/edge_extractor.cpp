#include "tapefile/edge_extractor.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

#include "base/vector_clones.h"
#include "tape/tape_block.h"

namespace tapedecoder {

namespace {
// The signal counts as active this long after an edge.
constexpr double ACTIVE_SECONDS = 0.02;

// Comparisons rather than std::fmax / std::fmin, which are library calls
// here; the samples are finite.
inline double Max(double a, double b) { return a < b ? b : a; }
inline double Min(double a, double b) { return b < a ? b : a; }
// v itself when finite, else 0: v - v is 0 exactly for a finite v and not
// a number otherwise (cheaper than the library's test).
inline double Finite(float v) { return v - v == 0.0f ? v : 0.0f; }

// True when every sample is a finite number (v - v is 0 then, and not a
// number for an infinity or NaN): runs of a fixed count, which the
// compiler turns into vector instructions, and the rest one by one.
inline TAPEDECODER_INTO_CLONE bool AllFinite(const float* samples, std::size_t count) {
  constexpr std::size_t RUN = 64;
  std::size_t i = 0;
  for (; i + RUN <= count; i += RUN) {
    int finite = 1;
    for (std::size_t k = 0; k < RUN; ++k) finite &= samples[i + k] - samples[i + k] == 0.0f ? 1 : 0;
    if (finite == 0) return false;
  }
  for (; i < count; ++i)
    if (!(samples[i] - samples[i] == 0.0f)) return false;
  return true;
}

}  // namespace

EdgeExtractor::EdgeExtractor(double sampleRate, EdgeSettings settings)
    : m_rate(sampleRate), m_settings(settings) {
  auto perSample = [sampleRate](double seconds) {
    const double samples = seconds * sampleRate;
    return samples > 1.0 ? 1.0 / samples : 1.0;
  };
  m_release = perSample(settings.envelopeDecaySeconds);
  m_pauseRelease = perSample(settings.pauseDecaySeconds);
  m_activeSamples = static_cast<long long>(ACTIVE_SECONDS * sampleRate);
}

TAPEDECODER_AVX2_CLONE void EdgeExtractor::Feed(const float* samples, std::size_t count) {
  if (m_finished) return;
  // The per-sample state lives in locals, which the loop keeps in
  // registers; the rare edge goes through the members (Crossing), except
  // in the runs of numbers (EdgeRun), which take theirs in place.
  double centre = m_centre, amplitude = m_amplitude;
  double windowHigh = m_windowHigh, windowLow = m_windowLow;
  double extreme = m_extreme, previous = m_previous;
  long long index = m_index, windowEnd = m_windowEnd, lastEdge = m_lastEdge;
  bool swinging = m_swinging, state = m_state, stateKnown = m_stateKnown;
  const double hysteresis = m_settings.hysteresis, floor = m_settings.floor;
  const double release = m_release, pauseRelease = m_pauseRelease;
  const long long activeSamples = m_activeSamples;
  // Samples that are all numbers (as the sample sources deliver them) take
  // the quiet runs' leaner loop.
  const bool finite = AllFinite(samples, count);
  for (std::size_t i = 0; i < count; ++i) {
    // Most samples change nothing but the envelope, the window's swings and
    // the pulse's extreme: runs of them, over which whether the signal is
    // active cannot change (no window ends, no edge's activity runs out),
    // go through a lean loop that stops before the first sample that would
    // fire (or, numbers all, takes the edges on the way itself). It
    // computes exactly what the full step below does.
    if (stateKnown) {
      std::size_t end = count;
      const auto limit = [&](long long at) {
        if (at - index < static_cast<long long>(end - i)) end = i + static_cast<std::size_t>(std::max(0LL, at - index));
      };
      limit(windowEnd);
      const bool byEdge = lastEdge >= 0 && index - lastEdge <= activeSamples;
      if (!swinging && byEdge) limit(lastEdge + activeSamples + 1);
      const double keep = 1.0 - (swinging || byEdge ? release : pauseRelease);
      const std::size_t from = i;
      if (finite) {
        // After an edge the signal is active (and stays so up to the
        // window's end, which comes first).
        const double edgeKeep = 1.0 - (swinging || activeSamples >= 1 ? release : pauseRelease);
        i = EdgeRun(samples, i, end, index, keep, edgeKeep, centre, amplitude, windowHigh, windowLow, extreme,
                    previous, state, lastEdge);
      } else {
        i = state ? QuietRun<true>(samples, i, end, keep, centre, amplitude, windowHigh, windowLow, extreme, previous)
                  : QuietRun<false>(samples, i, end, keep, centre, amplitude, windowHigh, windowLow, extreme, previous);
      }
      index += static_cast<long long>(i - from);
      if (i == count) break;
    }
    // A sample that is no number reads as the middle level.
    const double x = Finite(samples[i]);
    const double now = x - centre;
    const bool active = swinging || (lastEdge >= 0 && index - lastEdge <= activeSamples);
    amplitude = Max(std::fabs(now), amplitude * (1.0 - (active ? release : pauseRelease)));
    const double band = hysteresis * amplitude;
    windowHigh = Max(windowHigh, now);
    windowLow = Min(windowLow, now);
    if (index >= windowEnd) {
      const double swing = band / 3.0;
      swinging = amplitude >= floor && windowHigh > swing && windowLow < -swing;
      windowHigh = windowLow = 0.0;
      windowEnd = index + std::max<long long>(1, activeSamples);
    }
    if (amplitude >= floor) {
      const bool above = now > band;
      const bool below = now < -band;
      if ((above && (!stateKnown || !state)) || (below && (!stateKnown || state))) {
        m_centre = centre;
        m_extreme = extreme;
        m_stateKnown = stateKnown;
        Crossing(x, now, previous - centre, band, above, index);
        centre = m_centre;
        extreme = m_extreme;
        lastEdge = m_lastEdge;
        state = above;
        stateKnown = true;
      }
    }
    if (stateKnown) extreme = state ? Max(extreme, x) : Min(extreme, x);
    previous = x;
    ++index;
  }
  m_centre = centre;
  m_amplitude = amplitude;
  m_windowHigh = windowHigh;
  m_windowLow = windowLow;
  m_extreme = extreme;
  m_previous = previous;
  m_index = index;
  m_windowEnd = windowEnd;
  m_lastEdge = lastEdge;
  m_swinging = swinging;
  m_state = state;
  m_stateKnown = stateKnown;
}

inline TAPEDECODER_INTO_CLONE std::size_t EdgeExtractor::EdgeRun(
    const float* samples, std::size_t i, std::size_t end, long long index, double keep, double edgeKeep,
    double& centre, double& amplitude, double& windowHigh, double& windowLow, double& extreme, double& previous,
    bool& state, long long& lastEdge) {
  const double hysteresis = m_settings.hysteresis, floor = m_settings.floor;
  const double weight = m_settings.centreWeight;
  double amp = amplitude, high = windowHigh, low = windowLow, ext = extreme, before = previous, c = centre;
  double previousExtreme = m_previousExtreme;
  bool haveExtreme = m_haveExtreme, up = state;  // the trigger above the band
  // The direction away from the state's level: the one crossing that
  // fires from it is down from high, up from low.
  double away = up ? -1.0 : 1.0;
  const long long first = index - static_cast<long long>(i);  // the index of samples[0]
  // The largest and smallest sample since the run or the last edge: beside
  // the envelope's chain of a multiply and a maximum per sample, on which
  // the loop waits, they cost next to nothing. Of a +0 and a -0 either may
  // stay: the sign of a zero extreme reaches no edge (the centre it moves
  // starts at +0, and a sum with +0 is +0).
  constexpr float NONE = std::numeric_limits<float>::infinity();
  float top = -NONE, bottom = NONE;
  // The swings and the pulse's extreme from the largest and smallest
  // sample: x - centre rounds monotonically, so the largest x gives the
  // largest difference.
  const auto fold = [&] {
    if (top == -NONE) return;  // no sample since
    high = Max(high, static_cast<double>(top) - c);
    low = Min(low, static_cast<double>(bottom) - c);
    ext = up ? Max(ext, static_cast<double>(top)) : Min(ext, static_cast<double>(bottom));
  };
  const std::size_t from = i;
  for (; i < end; ++i) {
    const float sample = samples[i];
    const double x = sample;
    const double now = x - c;
    const double next = Max(std::fabs(now), amp * keep);
    amp = next;
    const double band = hysteresis * next;
    if (away * now > band && next >= floor) {
      // An edge: what the full step and Crossing do, in place.
      fold();
      high = Max(high, now);
      low = Min(low, now);
      const double was = i > from ? static_cast<double>(samples[i - 1]) : before;
      const double last = was - c;
      const bool rising = !up;
      const double threshold = rising ? band : -band;
      const double span = now - last;
      const double fraction = span != 0.0 ? (threshold - last) / span : 1.0;
      const long long at = first + static_cast<long long>(i);
      const double time = static_cast<double>(at) - 1.0 + Min(1.0, Max(0.0, fraction));
      // (Field by field: an edge built whole and copied in stalls the
      // store of the next one.)
      Edge& edge = m_edges.emplace_back();
      edge.tstates = time * TSTATES_PER_SECOND / m_rate;
      edge.rising = rising;
      lastEdge = at;
      if (haveExtreme) {
        const double mid = 0.5 * (ext + previousExtreme);
        c += weight * (mid - c);
      }
      previousExtreme = ext;
      haveExtreme = true;
      ext = x;
      up = rising;
      away = -away;
      keep = edgeKeep;
      top = -NONE;
      bottom = NONE;
      continue;
    }
    top = top < sample ? sample : top;
    bottom = sample < bottom ? sample : bottom;
  }
  fold();
  if (i > from) before = samples[i - 1];
  amplitude = amp;
  windowHigh = high;
  windowLow = low;
  extreme = ext;
  previous = before;
  centre = c;
  state = up;
  m_previousExtreme = previousExtreme;
  m_haveExtreme = haveExtreme;
  return i;
}

template <bool HIGH>
inline TAPEDECODER_INTO_CLONE std::size_t EdgeExtractor::QuietRun(const float* samples, std::size_t i, std::size_t end, double keep,
                                    double centre, double& amplitude, double& windowHigh, double& windowLow,
                                    double& extreme, double& previous) const {
  const double hysteresis = m_settings.hysteresis, floor = m_settings.floor;
  double amp = amplitude, high = windowHigh, low = windowLow, ext = extreme;
  const std::size_t from = i;
  for (; i < end; ++i) {
    const double x = Finite(samples[i]);
    const double now = x - centre;
    const double next = Max(std::fabs(now), amp * keep);
    // The one crossing that fires from this state: down from high, up from low.
    const double away = HIGH ? -now : now;
    if (away > hysteresis * next && next >= floor) break;
    amp = next;
    high = Max(high, now);
    low = Min(low, now);
    ext = HIGH ? Max(ext, x) : Min(ext, x);
  }
  if (i > from) previous = Finite(samples[i - 1]);
  amplitude = amp;
  windowHigh = high;
  windowLow = low;
  extreme = ext;
  return i;
}

void EdgeExtractor::Crossing(double x, double now, double before, double band, bool rising,
                             long long index) {
  // The first swing is an edge unless the level was there from the first
  // sample on.
  if (m_stateKnown || index > 0) {
    // The threshold crossing, interpolated between the previous sample and
    // this one. Both directions cross their threshold at the same distance
    // from the centre, so pulse lengths carry no offset.
    const double threshold = rising ? band : -band;
    const double span = now - before;
    const double fraction = span != 0.0 ? (threshold - before) / span : 1.0;
    const double at = static_cast<double>(index) - 1.0 + Min(1.0, Max(0.0, fraction));
    m_edges.push_back(Edge{at * TSTATES_PER_SECOND / m_rate, rising});
    m_lastEdge = index;
    // DC removal: one step towards the midpoint of the last two pulses.
    if (m_haveExtreme) {
      const double mid = 0.5 * (m_extreme + m_previousExtreme);
      m_centre += m_settings.centreWeight * (mid - m_centre);
    }
    m_previousExtreme = m_extreme;
    m_haveExtreme = m_stateKnown;
  }
  m_extreme = x;
}

void EdgeExtractor::Finish() { m_finished = true; }

std::vector<Edge> EdgeExtractor::TakeEdges() {
  std::vector<Edge> out;
  out.swap(m_edges);
  return out;
}

void EdgeExtractor::AppendEdges(std::vector<Edge>& out) {
  if (out.empty())
    out.swap(m_edges);
  else
    out.insert(out.end(), m_edges.begin(), m_edges.end());
  m_edges.clear();
}

double EdgeExtractor::DurationTstates() const {
  return static_cast<double>(m_index) * TSTATES_PER_SECOND / m_rate;
}

}  // namespace tapedecoder
