// The timing the readers of ROM-timed blocks work from: the ratios the ROM's
// pulse lengths fix, and every tolerance the readers allow around them,
// each with the reason for its value. The robust method's box trackers,
// its edge reader and pilot search, and the segmenter of the tape images
// all read them here. Ratios are in pilot half-periods (p) or zero-bit
// half-periods (u, z = 2u the zero bit's period) unless said otherwise.
#ifndef TAPEDECODER_TAPE_READER_TIMING_H_
#define TAPEDECODER_TAPE_READER_TIMING_H_

#include <limits>

#include "tape/tape_block.h"

namespace tapedecoder {

// Fixed by the ROM's pulse lengths.
inline constexpr double ZERO_OVER_PILOT = ROM_ZERO_PULSE / ROM_PILOT_PULSE;    // 0.394
inline constexpr double SYNC1_OVER_PILOT = ROM_SYNC1_PULSE / ROM_PILOT_PULSE;  // 0.308
inline constexpr double SYNC2_OVER_PILOT = ROM_SYNC2_PULSE / ROM_PILOT_PULSE;  // 0.339
inline constexpr double ONE_OVER_ZERO = ROM_ONE_PULSE / ROM_ZERO_PULSE;        // 2

// Where a sync is accepted, in pilot half-periods: each of its two pulses
// and their sum (nominally 0.308 + 0.339 = 0.647).
struct SyncWindow {
  double minPulse;
  double maxPulse;
  double minPair = 0.0;
  double maxPair = std::numeric_limits<double>::infinity();

  // True when pulses `first` and `second` fit, for pilot half-period `p`.
  constexpr bool Fits(double first, double second, double p) const {
    return first >= minPulse * p && first <= maxPulse * p && second >= minPulse * p && second <= maxPulse * p &&
           first + second >= minPair * p && first + second <= maxPair * p;
  }
};

struct PilotTiming {
  // Half-waves in a row that make a pilot tone: a third of the shortest
  // ROM pilot's at double speed, and more than any run of data bits.
  int run = 96;
  // Speeds the pilot search accepts: the 0.5x-2x the readers promise with
  // a margin for wow.
  double minSpeed = 0.45;
  double maxSpeed = 2.2;
  // A pilot half-wave lies within this of the one of the same level two
  // before (the search) or of the calibrated period (the edge reader):
  // wider than flutter, narrower than a sync.
  double steadiness = 0.25;
  // A half-wave and the one before differ less than this factor (the
  // search): a sync or a dropout breaks the pair, unequal half-waves do not.
  double pairing = 2.0;
  // A box tracker's first pilot edge with an opposite step this close
  // before it (from `spikeMin` to `spikeMax` half-periods), at least
  // `spikeLevel` of its strength, is a spike's trailing flank: the step
  // before it is the edge. A plain pilot has no step within half a period
  // of an edge; a spike lasts under a third of one.
  double spikeMin = 0.1;
  double spikeMax = 0.45;
  double spikeLevel = 0.7;
  // Pilot edges the box tracker misses in a row before it lets the pilot
  // go: it coasts through a dropout of some 15 ms at normal speed.
  int misses = 24;
  // How far the box tracker looks for the next pilot edge, while it
  // settles (first `settleEdges` edges) and once it is locked.
  double settleReach = 0.3;
  double lockedReach = 0.2;
  int settleEdges = 32;
  // A pilot edge counts when its strength passes this part of the pilot's
  // running strength: a dropout's edges do not, a quiet tape's do.
  double edgeLevel = 0.3;
  // The running strength follows each edge by this much.
  double strengthFollow = 0.3;
  // An interval further than this from the search's period is a missed or
  // an extra edge, not the tape: it does not measure the period.
  double intervalGate = 0.4;
  // The tracked period stays within this of the search's: the tape's speed
  // does not change more within one pilot.
  double periodHold = 0.15;
  // A pilot edge is beyond doubt when stronger than this part of the
  // running strength and within `solidTiming` of its period; `solidRun`
  // such edges in a row mark where a follower may start.
  double solidLevel = 0.5;
  double solidTiming = 0.08;
  int solidRun = 32;
  // A follower locks on this many half-periods before the leader's sync.
  double followLead = 80.0;
  // Half-waves the edge reader calibrates on before it trusts the period,
  // and pilot half-waves before it looks for a sync.
  int calibrateHalves = 8;
  int halvesBeforeSync = 16;
  // The edge reader ends a pilot after this many half-periods without an edge.
  double silenceEnd = 4.0;
};

struct SyncTiming {
  // Accepted syncs. The box tracker's edges are refined and corrected for
  // the half-wave asymmetry, so its window is the tightest; the edge
  // reader's edges carry the trigger's scatter and it has no asymmetry on
  // its second pulse; the segmenter reads every loader's timing, turbo
  // included, and bounds each pulse alone.
  SyncWindow box{0.18, 0.5, 0.45, 0.85};
  SyncWindow edges{0.15, 0.55, 0.45, 0.9};
  SyncWindow segmenter{0.12, 0.85};
  // The box tracker looks for each sync edge this far after the edge
  // before: the box window's bounds widened by the refinement's reach.
  double searchFrom = 0.14;
  double searchTo = 0.55;
  // A sync found whose two pulses sum to less than this (nominally 0.647)
  // ended early: phase smear lags the pilot's edges behind the sync's, and
  // the rest of the second pulse reads as a first zero bit. Clean, band-
  // limited and unequal syncs sum to 0.6 or more; smeared ones to 0.47.
  double shortPair = 0.52;
  // The sync's box: short enough that its two edges, 0.3 p apart, do not
  // blur into one.
  double boxLength = 0.12;
  // The pilot edges the box tracker has found before it looks for a sync.
  int pilotEdges = 16;
  // A sync edge is stronger than this part of the pilot edge before it;
  // the coarse look, whose grid misses the peak, settles for `coarseLevel`.
  double edgeLevel = 0.5;
  double coarseLevel = 0.3;
  // The pilot's strength behind a sync, measured on this many grid points
  // (half-periods), anchored on the mean of `anchorEdges` recent edges.
  int behind = 12;
  int anchorEdges = 8;
  // Ahead of a sync the pilot must stop: of `ahead` grid points, more than
  // `aheadPoints` reaching `aheadLevel` of its strength, or a mean over
  // `aheadMean` of it, means the pilot goes on and this was noise ...
  int ahead = 32;
  double aheadLevel = 0.5;
  int aheadPoints = 19;
  double aheadMean = 0.6;
  // ... and the first `nextPoints` of them stay below `nextLevel` of it: a
  // sync noise made a few pulses early has the pilot right after it.
  int nextPoints = 4;
  double nextLevel = 0.5;
  // ... unless the bits read from the sync's end meet edges this many
  // times as strong as those points, on average, and at least `dataLevel`
  // of the pilot's strength.
  double dataOverPilot = 1.25;
  double dataLevel = 0.9;
  // ... and followed edge by edge (each searched within `followReach`
  // half-periods of where the last one found puts it), the pilot goes on
  // where `followFound` of the next `followEdges` edges are found.
  int followEdges = 30;
  double followReach = 0.15;
  int followFound = 24;
  // Samples the look needs around the pilot edge, in half-periods: the
  // grid behind with room for the anchor, and the grid ahead.
  double holdBehind = 14.0;
  double holdAhead = 34.0;
};

struct LockTiming {
  // The box tracker follows a bit's closing edge when its strength passes
  // this (1 = a clean edge); below it, it coasts through a dropout.
  double trackLevel = 0.15;
  // A bit is good when its edge passes this and its confidence passes
  // `goodConfidence`; a run of weak bits ends a block.
  double goodEdge = 0.4;
  double goodConfidence = 0.5;
  // A first data bit below this part of the median |m| of the seven after
  // it is weak: after a sync of ROM length a weak zero is the rest of the
  // sync cut short, after a short sync (SyncTiming::shortPair) a weak bit
  // of any value is noise in the sync.
  double syncRemnant = 0.45;
  // Loop gains of the bit timing (phase, period) over the first
  // `settleBits` bits, and after: fast to settle, then steady.
  int settleBits = 16;
  double settlePhaseGain = 1.0;
  double settlePeriodGain = 0.3;
  double phaseGain = 0.7;
  double periodGain = 0.1;
  // How fast the edge strength, the bit scale and the per-kind bit levels
  // follow the block.
  double strengthFollow = 0.1;
  double scaleFollow = 0.05;
  double levelFollow = 0.02;
  // The bit period stays within these factors of the pilot's: beyond, the
  // lock is lost.
  double minPeriod = 0.5;
  double maxPeriod = 2.0;
  // A pause: `pauseBits` bits whose mean level is below `pauseLevel` of
  // the block's own; the data ends at the last bit still at `pauseEnd`.
  int pauseBits = 24;
  double pauseLevel = 0.3;
  double pauseEnd = 0.5;
  // The edge reader: a half-wave over `gapEnd` z is a gap that ends the
  // block; a bit's two half-waves sum to between `minSum` and `maxSum` z,
  // and a bit is weak below `weakConfidence`.
  double gapEnd = 1.5;
  double minSum = 0.55;
  double maxSum = 2.7;
  // ... and below `pilotPair` of two pilot pulses: a ROM one is 0.79 of
  // them, so a pair that long is the next block's pilot (or a clicking
  // pilot's), which the zero period would otherwise follow and read on
  // through as ones.
  double pilotPair = 0.96;
  // A ROM bit's two half-waves are alike: where more than `unequalShare`
  // of a reading's bits have halves apart by over `unequalHalves` of their
  // sum (the pilot's asymmetry taken out), the edge reader read a pattern
  // of clicks or a loader's pulses, whose checksum, repeating, passes far
  // more often than by chance: it is no block.
  double unequalHalves = 0.25;
  double unequalShare = 0.25;
  double weakConfidence = 0.3;
  // How fast the edge reader's zero period follows the bits.
  double periodFollow = 0.05;
  // The edge reader ends a block after this many z without an edge.
  double silenceEnd = 2.0;
};

struct ConfidenceTiming {
  // Per-bit confidence is clipped here so that one loud bit cannot outvote
  // several quiet ones when takes are merged.
  double cap = 4.0;
  // A block's last bit, decided on its first half-wave alone, is never
  // surer than a typical clean bit.
  double lastBitCap = 1.0;
  // Levels above this many times the running level count as this much:
  // one spike does not drag the level.
  double spikeCap = 2.0;
};

struct DropoutTiming {
  // The signal has collapsed when a bit's closing edge and its decision
  // both fall below this part of the block's: far below a -20 dB dip,
  // which the box tracker coasts through.
  double collapse = 0.05;
  // It has returned at the first edge to the bits' level stronger than
  // this part of the block's edges: a step out of silence has half the
  // strength of one between the levels.
  double returnLevel = 0.7;
  // A collapse longer than this many zero-bit periods is the pause after
  // the block (12 ms at normal speed, 6 ms at double).
  double maxZeros = 24.0;
  // The last bit before a collapse whose closing edge was seen counts as
  // good from this confidence on: only its last third fell silent.
  double lastBitConfidence = 0.25;
  // Weak bits right after a dropout's return join the gap, up to this
  // many: the wave settles within a bit or two.
  int absorbBits = 4;
  // Weak bits kept elsewhere in a block with dropouts are tried both ways
  // when mending, up to this many (2^n tries); more leave it unmended.
  std::size_t weakBits = 4;
  // At a gap's ends bits are read by their middle edges (stronger than
  // `returnLevel`; a one only where no edge passes `flatEdge` at a zero's
  // middle), up to `walkBits` on each side.
  double flatEdge = 0.3;
  std::size_t walkBits = 8;
  // The signal is heard where it lies this part of the bits' level off
  // the middle (the mean over the last `midBits` bits) on the side it
  // should: where a gap's silence starts and ends.
  double heardLevel = 0.7;
  std::size_t midBits = 16;
  // A collapse is a silence where the signal's mean distance from the
  // middle level over the bit falls below this part of the good bits'
  // before it; only then are the bits at its ends read by their edges.
  double silentLevel = 0.1;
};

struct ReaderTiming {
  PilotTiming pilot;
  SyncTiming sync;
  LockTiming lock;
  ConfidenceTiming confidence;
  DropoutTiming dropout;
};

inline constexpr ReaderTiming READER_TIMING{};

}  // namespace tapedecoder

#endif  // TAPEDECODER_TAPE_READER_TIMING_H_
