#include "tapefile/edge_extractor.h"

#include <cmath>
#include <utility>

#include "tape/tape_block.h"

namespace tapedecoder {

namespace {
// How far back, in samples, a centre crossing may lie and still time the
// edge that the trigger confirms.
constexpr double MAX_CENTRE_LAG_SAMPLES = 3.0;
}  // namespace

EdgeExtractor::EdgeExtractor(double sampleRate, EdgeSettings settings)
    : m_rate(sampleRate), m_settings(settings) {
  const double decaySamples = settings.envelopeDecaySeconds * sampleRate;
  m_release = decaySamples > 1.0 ? 1.0 / decaySamples : 1.0;
}

void EdgeExtractor::Feed(const float* samples, std::size_t count) {
  if (m_finished) return;
  for (std::size_t i = 0; i < count; ++i) Sample(samples[i]);
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

void EdgeExtractor::Sample(double x) {
  if (m_index == 0) {
    m_high = m_low = m_previous = m_previousCentre = x;
  }
  // Envelope: instant attack, slow release towards the signal.
  m_high = x > m_high ? x : m_high - (m_high - x) * m_release;
  m_low = x < m_low ? x : m_low + (x - m_low) * m_release;
  const double centre = 0.5 * (m_high + m_low);
  const double amplitude = 0.5 * (m_high - m_low);
  const double band = m_settings.hysteresis * amplitude;
  const double position = static_cast<double>(m_index);

  // Where the signal crossed the centre between the previous sample and
  // this one (both measured against the centre of their own time).
  const double before = m_previous - m_previousCentre;
  const double now = x - centre;
  if (m_index > 0 && ((before < 0.0 && now >= 0.0) || (before > 0.0 && now <= 0.0))) {
    const double fraction = before / (before - now);
    m_centreCrossing = position - 1.0 + fraction;
    m_centreCrossingRising = now > before;
  }

  if (amplitude >= m_settings.floor && m_index > 0) {
    const bool above = now > band;
    const bool below = now < -band;
    if ((above && (!m_stateKnown || !m_state)) || (below && (!m_stateKnown || m_state))) {
      const bool rising = above;
      // The first swing is an edge only when the sample before it lay on
      // the other side of the band (a held level, then the swing).
      const double last = m_previous - centre;
      const bool changed =
          m_stateKnown || (rising ? last < -band : last > band);
      if (changed) {
        double at;
        if (m_centreCrossing >= 0.0 && m_centreCrossingRising == rising &&
            position - m_centreCrossing <= MAX_CENTRE_LAG_SAMPLES) {
          at = m_centreCrossing;
        } else {
          // The threshold crossing between the previous sample and this one.
          const double threshold = rising ? band : -band;
          const double span = now - before;
          const double fraction = span != 0.0 ? (threshold - before) / span : 1.0;
          at = position - 1.0 + std::fmin(1.0, std::fmax(0.0, fraction));
        }
        m_edges.push_back(Edge{at * TSTATES_PER_SECOND / m_rate, rising});
      }
      m_state = rising;
      m_stateKnown = true;
    }
  }
  m_previous = x;
  m_previousCentre = centre;
  ++m_index;
}

}  // namespace tapedecoder
