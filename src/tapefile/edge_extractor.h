// Edges of a tape signal: the moments where the recorded level changes,
// found in a stream of mono samples at any rate.
#ifndef TAPEDECODER_TAPEFILE_EDGE_EXTRACTOR_H_
#define TAPEDECODER_TAPEFILE_EDGE_EXTRACTOR_H_

#include <cstddef>
#include <vector>

namespace tapedecoder {

// One level change: its time from the first sample, in T-states of the
// 3.5 MHz clock, and its direction.
struct Edge {
  double tstates = 0.0;
  bool rising = true;
};

struct EdgeSettings {
  // Half the hysteresis band as a fraction of the envelope's half
  // peak-to-peak amplitude: the signal must pass centre +- this much.
  double hysteresis = 0.3;
  // Amplitude (half peak-to-peak, full scale 1.0) below which no edge is
  // taken, so that digital silence and faint hiss give none.
  double floor = 0.01;
  // Time constant, in seconds, with which the envelope's peaks relax
  // towards the signal once the signal stops reaching them.
  double envelopeDecaySeconds = 0.3;
};

// Finds edges with a Schmitt trigger around the middle of the signal's
// envelope. The envelope follows the highest and lowest recent sample
// (instant attack, slow release), which removes any DC offset; its middle
// is the trigger's centre and its half-width scales the hysteresis. A held
// level (a pause) lets the envelope close in, so no edge fires, yet the
// next swing restores it at once. On a high-passed (differentiated)
// recording the spikes at each edge alternate in sign, so the trigger
// still alternates. An edge's time is where the signal crossed the centre
// just before the trigger fired, interpolated between the samples (or
// the threshold crossing when the centre crossing lies too far back).
//
// Streaming: Feed any number of blocks, then Finish. Edges are appended
// as they are found.
class EdgeExtractor {
 public:
  // REQUIRES: sampleRate > 0.
  explicit EdgeExtractor(double sampleRate, EdgeSettings settings = EdgeSettings());

  // Consumes `count` samples (full scale -1..1). REQUIRES: Finish not yet
  // called; samples non-null when count > 0.
  void Feed(const float* samples, std::size_t count);
  // Ends the stream. Feed and Finish are ignored afterwards.
  void Finish();

  // The edges found so far, in time order.
  const std::vector<Edge>& Edges() const { return m_edges; }
  // Moves the edges out, leaving the list empty (the stream continues).
  std::vector<Edge> TakeEdges();
  // The length of the samples consumed, in T-states.
  double DurationTstates() const;

 private:
  void Sample(double x);

  double m_rate;
  EdgeSettings m_settings;
  double m_release;  // per-sample fraction the peaks relax by
  double m_high = 0.0;
  double m_low = 0.0;
  double m_previous = 0.0;
  double m_previousCentre = 0.0;
  bool m_state = false;       // trigger output: true above the band
  bool m_stateKnown = false;  // false until the first swing through the band
  double m_centreCrossing = -1.0;  // sample position of the last centre crossing
  bool m_centreCrossingRising = false;
  long long m_index = 0;
  bool m_finished = false;
  std::vector<Edge> m_edges;
};

}  // namespace tapedecoder

#endif  // TAPEDECODER_TAPEFILE_EDGE_EXTRACTOR_H_
