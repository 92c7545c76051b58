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
  // Half the hysteresis band as a fraction of the envelope: the signal
  // must pass centre +- hysteresis * amplitude.
  double hysteresis = 0.3;
  // Amplitude (full scale 1.0) below which no edge is taken, so that
  // digital silence and faint hiss give none.
  double floor = 0.01;
  // Time constants, in seconds, with which the amplitude relaxes once the
  // signal stops reaching it: while the signal is active (an edge within
  // the last 20 ms, or swings both ways beyond a third of the band in the
  // last 20 ms: a quieter block than the one before), to follow it; and
  // otherwise (a pause), slowly, so that the hysteresis stays above tape
  // hiss through pauses of many seconds.
  double envelopeDecaySeconds = 0.5;
  double pauseDecaySeconds = 10.0;
  // Weight with which each edge moves the centre towards the midpoint of
  // the two pulses' extremes around it.
  double centreWeight = 0.05;
};

// Finds edges with a Schmitt trigger around the signal's centre.
//
// DC removal: the centre starts at 0 (audio is zero-centred) and follows
// the midpoint between the extremes of each pulse and the one before, one
// small step per edge, so it never moves while the signal holds still (a
// held level in a pause leaves it alone) and an edge's spike in a
// high-passed recording does not drag it. The amplitude envelope is the
// distance of the signal from the centre, with instant attack and slow
// release; the hysteresis scales with it, and below the floor nothing
// fires. On a high-passed (differentiated) recording the spikes at the
// edges alternate in sign around the centre and decay back into the band,
// so the trigger still alternates. An edge's time is where the signal
// crossed the trigger's threshold, interpolated between the samples; both
// thresholds lie the same distance from the centre, so a symmetric signal
// gives every edge the same delay and the pulse lengths none. (The centre
// crossing would be earlier, but on a high-passed signal the decay after
// each spike crosses the centre too, a few samples before the next edge.)
// The first swing out of a level held from the very first sample sets the
// state without an edge; a swing out of silence is an edge.
//
// Limits: samples must be roughly zero-centred at the start: a signal
// whose two levels both lie beyond the band on one side of 0 (unsigned
// samples read as if signed) gives no edges, so the centre never moves. A
// block under about a third of the level of the one before it is missed
// for up to 0.4 s.
//
// Streaming: Feed any number of blocks, then Finish. Edges are appended
// as they are found.
class EdgeExtractor {
 public:
  // REQUIRES: sampleRate > 0.
  explicit EdgeExtractor(double sampleRate, EdgeSettings settings = EdgeSettings());

  // Consumes `count` samples (full scale -1..1). REQUIRES: samples
  // non-null when count > 0.
  void Feed(const float* samples, std::size_t count);
  // Ends the stream. Feed and Finish are ignored afterwards.
  void Finish();

  // The edges found so far, in time order.
  const std::vector<Edge>& Edges() const { return m_edges; }
  // Moves the edges out, leaving the list empty (the stream continues).
  std::vector<Edge> TakeEdges();
  // Appends the edges to `out` and empties the list, which keeps its room
  // (an empty `out` and the list trade buffers instead: no copy).
  void AppendEdges(std::vector<Edge>& out);
  // The length of the samples consumed, in T-states.
  double DurationTstates() const;

 private:
  // A swing through the band at sample `index` (`now` and `before`
  // relative to the centre): the edge, if it is one, and the centre's step.
  void Crossing(double x, double now, double before, double band, bool rising, long long index);
  // Samples i.. up to `end`, all numbers, the first of them at `index`,
  // with the envelope relaxing by `keep` (by `edgeKeep` after an edge):
  // the edges they give, taken in place; returns `end`, with the running
  // values moved on.
  std::size_t EdgeRun(const float* samples, std::size_t i, std::size_t end, long long index, double keep,
                      double edgeKeep, double& centre, double& amplitude, double& windowHigh, double& windowLow,
                      double& extreme, double& previous, bool& state, long long& lastEdge);
  // Samples i.. up to `end` in state HIGH (known) with the envelope
  // relaxing by `keep`, up to the first that would fire; returns where it
  // stopped, with the running values moved on. Samples that are no number
  // read as 0.
  template <bool HIGH>
  std::size_t QuietRun(const float* samples, std::size_t i, std::size_t end, double keep, double centre,
                       double& amplitude, double& windowHigh, double& windowLow, double& extreme,
                       double& previous) const;

  double m_rate;
  EdgeSettings m_settings;
  double m_release;       // per-sample fraction the amplitude relaxes by
  double m_pauseRelease;  // the same in pauses
  long long m_activeSamples;  // samples after an edge that count as active
  long long m_lastEdge = -1;  // sample index of the last edge
  // Swings of the signal (relative to the centre) in the current window,
  // and whether the last window's went both ways beyond a third of the band.
  double m_windowHigh = 0.0;
  double m_windowLow = 0.0;
  long long m_windowEnd = 0;
  bool m_swinging = false;
  double m_centre = 0.0;
  double m_amplitude = 0.0;
  double m_extreme = 0.0;          // of the pulse since the last edge
  double m_previousExtreme = 0.0;  // of the pulse before it
  bool m_haveExtreme = false;
  double m_previous = 0.0;
  bool m_state = false;       // trigger output: true above the band
  bool m_stateKnown = false;  // false until the first swing through the band
  long long m_index = 0;
  bool m_finished = false;
  std::vector<Edge> m_edges;
};

}  // namespace tapedecoder

#endif  // TAPEDECODER_TAPEFILE_EDGE_EXTRACTOR_H_
