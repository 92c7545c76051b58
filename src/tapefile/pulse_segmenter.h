// Splits a recording's edges into the parts of a tape: data blocks at any
// timing, pure tones, short pulse sequences, raw pulses, and the pauses
// between them, so that a tape image can keep everything on the tape.
#ifndef TAPEDECODER_TAPEFILE_PULSE_SEGMENTER_H_
#define TAPEDECODER_TAPEFILE_PULSE_SEGMENTER_H_

#include <cstddef>
#include <functional>
#include <utility>
#include <vector>

#include "tape/reader_timing.h"
#include "tape/tape_block.h"
#include "tapefile/edge_extractor.h"

namespace tapedecoder {

struct SegmenterSettings {
  // A gap between edges longer than this (T-states) is a pause.
  double pauseTstates = 35000.0;  // 10 ms
  // Near-equal pulses: each within this fraction of the run's mean, plus
  // jitterTstates (the edges' own uncertainty, about a sample: pulses of a
  // few samples quantise by far more than a fixed fraction).
  double toneTolerance = 0.12;
  double jitterTstates = 0.0;
  // Pilot tones have at least this many pulses; pure tones at least
  // minTonePulses (fewer are part of a pulse sequence).
  int minPilotPulses = 16;
  int minTonePulses = 32;
  // A sync pulse lies within these fractions of the pilot pulse.
  double minSyncRatio = READER_TIMING.sync.segmenter.minPulse;
  double maxSyncRatio = READER_TIMING.sync.segmenter.maxPulse;
  // A data pair's sum lies within this fraction of its bit's mean.
  double pairTolerance = 0.25;
  // Fewer data bits than this make no block; data without a pilot needs
  // minPureDataBits and both kinds of bit.
  int minDataBits = 8;
  int minPureDataBits = 64;
  // Irregular runs up to this many pulses are pulse sequences; longer
  // ones are raw stretches.
  int maxSequencePulses = 256;
  // An irregular stretch whose pulses are mostly shorter than this
  // (T-states; 50 us, above what a tape loader reads) is hiss: it becomes
  // silence, not pulses.
  double hissPulseTstates = 175.0;
  // ROM timing: the pilot gives the tape's speed, which must lie within
  // maxSpeedError of nominal; the bit pulses, scaled by it, within
  // romBitTolerance of 855/1710 and the syncs within romSyncTolerance of
  // 667/735 (syncs are the most distorted pulses on real tapes).
  double maxSpeedError = 0.10;
  double romBitTolerance = 0.05;
  double romSyncTolerance = 0.20;
};

// Splits `edges` (time order, T-states from the start of the recording)
// into parts in recording order. Every pulse between two edges lands in
// exactly one part, or is a pause, or is hiss or noise (irregular pulses
// mostly shorter than hissPulseTstates, or seldom like their neighbours),
// which is silence too; consecutive parts with no pause between them
// share the edge where one ends and the next begins (a lone edge between
// two pauses is a RAW stretch without pulses).
// Blocks: a pilot (minPilotPulses or more near-equal pulses, a lone glitch
// bridged), two sync pulses, then pairs of two lengths until a pair fits
// neither, or until the next block's pilot starts. The two lengths are
// learnt from the run itself (any ratio from 1.4 to 4; a pair's halves
// may differ); the data reads on through a flip of polarity (one pulse
// more or less) where the pairs fit on both sides. Data with no pilot
// before it (at least minPureDataBits with both kinds of bit) is a block
// without pilot and sync (timing.pilot 0). They carry their bytes, the
// used bits of the last byte, start/data/end times and timings in T-states: the pilot's
// mean and count, each sync as measured, and the bit pulses fitted to
// every data edge's time (least squares, so the fitted lengths keep the
// block's edges in step). romTiming is IsRomTiming of those.
// Tones, sequences and raw stretches are PulseStretch values of the
// matching kind. Silence before the first edge, between parts and after
// the last edge is the gap between the parts' times (and the recording's
// start and end).
std::vector<TapePart> SegmentEdges(const std::vector<Edge>& edges,
                                   SegmenterSettings settings = SegmenterSettings());

// SegmentEdges as a stream: edges go in as they are found, parts come out
// run by run (a run being the edges between two pauses), so that memory
// holds one run, not the recording. A run longer than maxRunEdges (noise
// that never pauses) is segmented in pieces of that many edges; otherwise
// the parts are SegmentEdges' for the same edges.
class CPulseSegmenter {
 public:
  using Emit = std::function<void(TapePart&&)>;
  // More edges than a block of 65535 bytes at any timing has, pilot
  // included (16 a byte).
  static constexpr std::size_t DEFAULT_MAX_RUN_EDGES = 1100000;

  explicit CPulseSegmenter(Emit emit, SegmenterSettings settings = SegmenterSettings(),
                           std::size_t maxRunEdges = DEFAULT_MAX_RUN_EDGES);
  // Edges in time order, after every edge fed before.
  void Feed(const Edge* edges, std::size_t count);
  // No edge comes before `tstates` any more: a run that a pause ends by
  // then is segmented.
  void Advance(double tstates);
  // Segments what is left.
  void Finish();
  // The earliest start, in seconds, of a part not yet emitted, or of any
  // later one: the first edge held, else `nowSeconds`.
  double PendingFrom(double nowSeconds) const;
  // Each run's edges' times as fed (spikes and all), handed on once the
  // run's parts are emitted, instead of dropped.
  void KeepRuns(std::function<void(std::vector<double>&&)> keep) { m_keep = std::move(keep); }
  // The times of the run so far, as fed.
  const std::vector<double>& PendingTimes() const { return m_times; }

 private:
  void Flush();
  // Drops the two edges of each noise spike inside a pulse; returns the
  // edges dropped: their positions in the run as fed, and times.
  std::vector<std::pair<std::size_t, double>> RemoveSpikes();

  Emit m_emit;
  SegmenterSettings m_settings;
  std::size_t m_maxRunEdges;
  std::function<void(std::vector<double>&&)> m_keep;
  // The run so far (no pause inside): its edges' times and directions.
  std::vector<double> m_times;
  std::vector<bool> m_rising;
};

// Where a part begins and ends in the recording, in seconds: a block's
// first and last edge; a stretch's first edge and the end of its last
// pulse.
double PartStartSeconds(const TapePart& part);
double PartEndSeconds(const TapePart& part);

// True when the timing lies within the tolerances of the ROM loader's
// after correcting for the tape speed measured from the pilot (false
// without a pilot).
bool IsRomTiming(const BlockTiming& timing, const SegmenterSettings& settings = SegmenterSettings());

}  // namespace tapedecoder

#endif  // TAPEDECODER_TAPEFILE_PULSE_SEGMENTER_H_
