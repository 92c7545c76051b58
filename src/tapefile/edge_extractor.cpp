#include "tapefile/edge_extractor.h"

#include <algorithm>
#include <cmath>
#include <utility>

#include "tape/tape_block.h"

namespace tapedecoder {

namespace {
// The signal counts as active this long after an edge.
constexpr double ACTIVE_SECONDS = 0.02;

// Comparisons rather than std::fmax / std::fmin, which are library calls
// here; the samples are finite.
inline double Max(double a, double b) { return a < b ? b : a; }
inline double Min(double a, double b) { return b < a ? b : a; }
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

// Inlined into Feed's loop: a call per sample costs a fifth of the work.
__attribute__((always_inline)) inline void EdgeExtractor::Sample(double x) {
  const double now = x - m_centre;
  const bool active =
      m_swinging || (m_lastEdge >= 0 && m_index - m_lastEdge <= m_activeSamples);
  m_amplitude = Max(std::fabs(now), m_amplitude * (1.0 - (active ? m_release : m_pauseRelease)));
  const double band = m_settings.hysteresis * m_amplitude;
  m_windowHigh = Max(m_windowHigh, now);
  m_windowLow = Min(m_windowLow, now);
  if (m_index >= m_windowEnd) {
    const double swing = band / 3.0;
    m_swinging = m_amplitude >= m_settings.floor && m_windowHigh > swing && m_windowLow < -swing;
    m_windowHigh = m_windowLow = 0.0;
    m_windowEnd = m_index + std::max<long long>(1, m_activeSamples);
  }
  const double position = static_cast<double>(m_index);

  const double before = m_previous - m_centre;

  if (m_amplitude >= m_settings.floor) {
    const bool above = now > band;
    const bool below = now < -band;
    if ((above && (!m_stateKnown || !m_state)) || (below && (!m_stateKnown || m_state))) {
      const bool rising = above;
      // The first swing is an edge unless the level was there from the
      // first sample on.
      if (m_stateKnown || m_index > 0) {
        // The threshold crossing, interpolated between the previous sample
        // and this one. Both directions cross their threshold at the same
        // distance from the centre, so pulse lengths carry no offset.
        const double threshold = rising ? band : -band;
        const double span = now - before;
        const double fraction = span != 0.0 ? (threshold - before) / span : 1.0;
        const double at = position - 1.0 + Min(1.0, Max(0.0, fraction));
        m_edges.push_back(Edge{at * TSTATES_PER_SECOND / m_rate, rising});
        m_lastEdge = m_index;
        // DC removal: one step towards the midpoint of the last two pulses.
        if (m_haveExtreme) {
          const double mid = 0.5 * (m_extreme + m_previousExtreme);
          m_centre += m_settings.centreWeight * (mid - m_centre);
        }
        m_previousExtreme = m_extreme;
        m_haveExtreme = m_stateKnown;
      }
      m_extreme = x;
      m_state = rising;
      m_stateKnown = true;
    }
  }
  if (m_stateKnown) m_extreme = m_state ? Max(m_extreme, x) : Min(m_extreme, x);
  m_previous = x;
  ++m_index;
}

void EdgeExtractor::Feed(const float* samples, std::size_t count) {
  if (m_finished) return;
  for (std::size_t i = 0; i < count; ++i) {
    // A sample that is no number reads as the middle level.
    const float x = samples[i];
    Sample(std::isfinite(x) ? x : 0.0f);
  }
}

void EdgeExtractor::Finish() { m_finished = true; }

std::vector<Edge> EdgeExtractor::TakeEdges() {
  std::vector<Edge> out;
  out.swap(m_edges);
  return out;
}

double EdgeExtractor::DurationTstates() const {
  return static_cast<double>(m_index) * TSTATES_PER_SECOND / m_rate;
}

}  // namespace tapedecoder
