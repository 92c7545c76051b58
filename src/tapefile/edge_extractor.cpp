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
// number for an infinity or NaN), four at a time.
bool AllFinite(const float* samples, std::size_t count) {
  std::size_t i = 0;
  bool finite = true;
#if TAPEDECODER_HAVE_SSE2
  __m128 all = _mm_castsi128_ps(_mm_set1_epi32(-1));
  for (; i + 4 <= count; i += 4) {
    const __m128 v = _mm_loadu_ps(samples + i);
    all = _mm_and_ps(all, _mm_cmpeq_ps(_mm_sub_ps(v, v), _mm_setzero_ps()));
  }
  finite = _mm_movemask_ps(all) == 0xF;
#endif
  for (; i < count; ++i) finite = finite && samples[i] - samples[i] == 0.0f;
  return finite;
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
  // registers; the rare edge goes through the members (Crossing).
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
    // fire. It computes exactly what the full step below does.
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
        i = state ? QuietRun<true, true>(samples, i, end, keep, centre, amplitude, windowHigh, windowLow, extreme, previous)
                  : QuietRun<false, true>(samples, i, end, keep, centre, amplitude, windowHigh, windowLow, extreme, previous);
      } else {
        i = state ? QuietRun<true, false>(samples, i, end, keep, centre, amplitude, windowHigh, windowLow, extreme, previous)
                  : QuietRun<false, false>(samples, i, end, keep, centre, amplitude, windowHigh, windowLow, extreme, previous);
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

template <bool HIGH, bool FINITE>
inline TAPEDECODER_INTO_CLONE std::size_t EdgeExtractor::QuietRun(const float* samples, std::size_t i, std::size_t end, double keep,
                                    double centre, double& amplitude, double& windowHigh, double& windowLow,
                                    double& extreme, double& previous) const {
  const double hysteresis = m_settings.hysteresis, floor = m_settings.floor;
  double amp = amplitude, high = windowHigh, low = windowLow, ext = extreme;
  const std::size_t from = i;
  // The run's largest and smallest sample (finite samples): beside the
  // envelope's chain of a multiply and a maximum per sample, on which the
  // loop waits, they cost next to nothing. Of a +0 and a -0 either may
  // stay: the sign of a zero extreme reaches no edge (the centre it moves
  // starts at +0, and a sum with +0 is +0).
  float top = -std::numeric_limits<float>::infinity(), bottom = std::numeric_limits<float>::infinity();
  for (; i < end; ++i) {
    const float sample = samples[i];
    const double x = FINITE ? sample : Finite(sample);
    const double now = x - centre;
    const double next = Max(std::fabs(now), amp * keep);
    // The one crossing that fires from this state: down from high, up from low.
    const double away = HIGH ? -now : now;
    if (away > hysteresis * next && next >= floor) break;
    amp = next;
    if (FINITE) {
      top = top < sample ? sample : top;
      bottom = sample < bottom ? sample : bottom;
    } else {
      high = Max(high, now);
      low = Min(low, now);
      ext = HIGH ? Max(ext, x) : Min(ext, x);
    }
  }
  if (FINITE && i > from) {
    // The run's swings and extreme from its largest and smallest sample:
    // x - centre rounds monotonically, so the largest x gives the largest
    // difference.
    high = Max(high, static_cast<double>(top) - centre);
    low = Min(low, static_cast<double>(bottom) - centre);
    ext = HIGH ? Max(ext, static_cast<double>(top)) : Min(ext, static_cast<double>(bottom));
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
