// The block readers of the robust method. A session starts them all on the
// same pilot tone; each reads one block its own way and reports a
// candidate:
// - CBoxTracker: phase-locked on step-matched box-filter edges of the
//   prefix sums; decides each bit by integrating over its whole period and
//   follows the timing with a second-order loop. Reads differentiated,
//   high-passed, band-limited and noisy signals.
// - CPulseTracker: reads the hysteresis trigger's edges; decides each bit on
//   the sum of its two half-waves relative to the measured pilot, so unequal
//   half-waves, drift and speed do not matter.
// Both calibrate on the pilot (period and half-wave asymmetry) and cut a
// block at an announced length when that prefix verifies.
#ifndef TAPEDECODER_ROBUST_ROBUST_TRACKERS_H_
#define TAPEDECODER_ROBUST_ROBUST_TRACKERS_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "robust/gap_mender.h"
#include "robust/robust_signal.h"
#include "tape/reader_timing.h"
#include "tape/tape_block.h"

namespace tapedecoder {
namespace robust {

// Where a session starts: the pilot run the coarse search found.
struct PilotStart {
  double firstEdge = 0.0;  // samples
  double lastEdge = 0.0;   // samples
  int lastLevel = 1;       // the level after lastEdge
  double period = 0.0;     // half-period, samples
  std::size_t lastEdgeIndex = 0;  // into the session's edge list
  // The length the block must have to end early, 0 when none is known
  // (the block after a verified header: its announced length + 2).
  std::size_t announced = 0;
  // No block grows beyond this many bytes (the longest a tape image holds):
  // a tone read as bits for hours costs no more memory than a block.
  std::size_t maxBytes = 65535;
};

// Per bit, its confidence and start, in 6 bytes: four readers hold a long
// block's bits at once in each decoder. Confidences in [0, 4] are kept to
// 2^-14 (truncated, so a threshold at a multiple of that is kept exactly);
// starts to 1/64 sample from the first start of their chunk of bits. Grows
// by fixed chunks: no reallocation, no slack beyond one chunk.
class BitRecord {
 public:
  BitRecord() = default;
  BitRecord(const BitRecord& other);
  BitRecord(BitRecord&&) = default;
  BitRecord& operator=(const BitRecord& other);
  BitRecord& operator=(BitRecord&&) = default;
  void Add(float confidence, double start);
  std::size_t Size() const { return m_size; }
  float Confidence(std::size_t i) const;
  double Start(std::size_t i) const;
  void SetConfidence(std::size_t i, float confidence);
  // Keeps the first `count` entries.
  void Truncate(std::size_t count);

 private:
  static constexpr std::size_t CHUNK_BITS = 4096;
  struct Chunk {
    double base;  // the first start, samples
    std::uint32_t offsets[CHUNK_BITS];
    std::uint16_t confidence[CHUNK_BITS];
  };
  // Opens the chunk of bit m_size (a multiple of CHUNK_BITS) at `start`.
  void StartChunk(double start);

  std::vector<std::unique_ptr<Chunk>> m_chunks;
  std::size_t m_size = 0;
};

// One reader's block. Times are in samples.
struct DropoutReading;

struct Candidate {
  bool found = false;
  std::vector<std::uint8_t> bytes;
  std::uint8_t usedBits = 8;
  BitRecord bits;  // per bit: confidence and start
  double start = 0.0;
  double data = 0.0;
  double end = 0.0;
  double pilot = 0.0;  // half-period
  double sync1 = 0.0;
  double sync2 = 0.0;
  double zero = 0.0;   // zero-bit half-period
  // A one bit's half-period where it was measured apart from the zero's
  // (a loader's block behind a ROM-like pilot); 0: twice the zero's.
  double one = 0.0;
  int pilotPulses = 0;
  bool cut = false;    // ended at an announced length
  bool syncUnseen = false;  // dated from where the pilot broke off (TrackerTuning::breakSync)
  // Bits read past the last whole byte kept (the first in bit 0), up to 8,
  // weak ones too (the last bit before a pause has no closing edge):
  // where the reading slipped, the block's last bits.
  std::uint32_t after = 0;
  std::uint8_t afterBits = 0;
  // Bits restored across a dropout from the checksum: how many, from which
  // bit on; and dropouts read across that could not be mended.
  int mendedBits = 0;
  std::size_t mendedAt = 0;
  int mendedGaps = 0;  // dropouts mended (0 when only weak bits were flipped)
  int unmendedGaps = 0;
  // Where the checksum left more than one way to fill the dropouts: what
  // a guess at them needs (GuessDropouts), and the guess once made. The
  // reading itself stays as read, not verifying; a guess stands only for a
  // block nothing else reads, and is made only then.
  std::shared_ptr<const DropoutReading> dropouts;
  std::shared_ptr<Candidate> guess;
  bool guessed = false;  // this is such a guess
};

// A bit as read: its value, the reader's confidence in it and its start.
struct ReadBit {
  int bit;
  float confidence;
  double start;
};

// A reading across dropouts, kept for a guess: the bits read up to the
// last good one, the gaps and where each starts (samples), the block's
// length in bits (0: whole bytes), the reader's bit lengths (a zero's
// half in samples, a one over a zero), where its last good bit ended, and
// whether its data's start is known to the bit (else whole bytes are kept).
struct DropoutReading {
  std::vector<ReadBit> bits;
  std::vector<Gap> gaps;
  std::vector<double> gapStarts;
  std::size_t total = 0;
  double u = 0.0, ratio = 2.0;
  double lastGoodEnd = 0.0;
  bool measured = false;
  std::size_t weak = 0;  // bits read weak outside the gaps, taken as read
};

// The reading `read` with its dropouts filled the likeliest way, where that
// stands out from every other fill (robust::GuessStands); null otherwise
// or where it has no DropoutReading. Made once and kept in read.guess.
std::shared_ptr<Candidate> GuessDropouts(Candidate& read);

// A reading that does not verify though no dropout broke it (a lossy
// codec's smear): where its least sure bits read a one for two zeros or
// two zeros for a one, every bit after is a bit off. The likeliest way to
// read those bits that verifies at the `announced` length (robust::
// GuessGaps over them as gaps of their own durations), where it stands
// out from every other (GuessStands); null otherwise. Kept in read.guess,
// its mendedGaps 0 and mendedBits the slips it undid.
std::shared_ptr<Candidate> GuessSlips(Candidate& read, std::size_t announced);

// The reader options every reader honours (from RobustOptions).
struct TrackerTuning {
  double boxFactor = 0.4;  // data box length over the zero half-period (box trackers)
  int stopBits = 24;       // consecutive weak bits that end a block
  bool mendDropouts = false;  // skip dropouts and mend them (box trackers)
  // A sync whose first pulse comes out short because a band limit moved
  // the pilot's last edge early is measured from the pilot's grid (box
  // trackers). Off where the signal is equalised: the smear is undone, and
  // the grid would only date a sync noise made.
  bool syncFromGrid = true;
  // Where a steep low-pass has left no trace of the sync, where the pilot
  // breaks off (box trackers): the data this many half-periods after the
  // grid point it broke on (the ROM's sync lasts 0.647), or, negative, as
  // many after the pilot edge before it. A sync seen as it is then ends
  // the reading. 0: the sync is looked for as it is.
  double breakSync = 0.0;
};

// Bits in order, packed into bytes as they come.
class BitCollector {
 public:
  void Add(int bit, float confidence, double start);
  std::size_t Bits() const { return m_record.Size(); }
  // Keeps the first `bits` bits.
  void Truncate(std::size_t bits);
  // Inverts bit i.
  void Flip(std::size_t i);
  // True when the first `bytes` bytes (whole) xor to zero.
  bool PrefixVerifies(std::size_t bytes) const;
  std::uint8_t Byte(std::size_t i) const { return m_bytes[i]; }
  int Bit(std::size_t i) const { return BitAt(m_bytes, i); }
  double StartOf(std::size_t i) const { return m_record.Start(i); }
  float ConfidenceOf(std::size_t i) const { return m_record.Confidence(i); }
  void SetConfidence(std::size_t i, float confidence) { m_record.SetConfidence(i, confidence); }
  // Moves the bits into the candidate.
  void Into(Candidate& out);

 private:
  std::vector<std::uint8_t> m_bytes;
  BitRecord m_record;
  std::vector<std::uint8_t> m_xor;  // running xor after each whole byte
};

// Decides whether the block should end at `bytes` whole bytes: at the
// announced length, or at 19 bytes for a ROM header (flag 0, type <= 3),
// when that prefix verifies.
bool CutHere(const BitCollector& bits, std::size_t bytes, std::size_t announced);

class CBoxTracker {
 public:
  // `sums` must outlive the tracker. With a `leader` (which must outlive
  // it too), the tracker waits until the leader has found a sync, then
  // locks onto the pilot a few dozen periods before it and reads from there
  // on its own: retries cost little pilot tracking, yet each finds its own
  // sync. When the leader finds none, neither does the follower.
  CBoxTracker(const PrefixRing& sums, const PilotStart& start, const TrackerTuning& tuning,
              const CBoxTracker* leader = nullptr);
  // A tracker on a block whose timing is already measured (a loader's
  // block the pulse segmenter found): it reads the data from the edge
  // nearest `dataEdge` (samples) with zero-bit half-period `zero` and
  // one-bit half-period `one` (samples; any ratio from 1.4 to 4), and
  // follows them as it reads. No pilot or sync is looked for.
  CBoxTracker(const PrefixRing& sums, double dataEdge, double zero, double one, const TrackerTuning& tuning,
              std::size_t maxBytes);
  // Reads as far as the samples allow; with `final`, the recording has
  // ended. Returns true once the tracker is done.
  bool Advance(bool final);
  // One step of Advance(): a pilot edge, a bit, or a change of stage.
  // Returns false when none could be taken (samples are needed, or done).
  // Several trackers stepped in turn read exactly as each advanced alone,
  // and their work overlaps in the processor.
  bool Step(bool final);
  bool Done() const { return m_stage == Stage::DONE; }
  Candidate& Result() { return m_result; }

 private:
  enum class Stage { ACQUIRE, LOCATE, PILOT, DATA, DONE };
  bool Available(double until, bool final);
  // The spacing of Strongest()'s grid for box length `len`.
  static double GridStep(double len);
  double Strongest(double from, double to, int polarity, double len, double& value) const;
  double Refine(double t, int polarity, double len) const;
  // Moves an edge found on a spike's trailing flank (`level`, strength
  // `value` at box length `len`) to the edge that leads the spike.
  void LeadingEdge(double& t, int& level, double& value, double len) const;
  void PushInterval(double interval, int level);
  int TrySync(double& ta, double& tb);  // 1 sync, 0 none, -1 needs samples
  // The pilot goes on after the edge the sync followed: most of the next
  // edges are found where the pilot puts them (`behind`: its strength).
  // Followed from edge `from`, after which the level is `level`.
  bool PilotRunsOn(double behind, double len, double from, int level) const;
  // Starts the data at `tb` after a sync from m_edge (level m_level) over
  // `ta`; `amp`: the strength of an edge.
  void BeginData(double ta, double tb, double amp);
  // The pilot's next edge, due at `centre`, was found at `t` or not: 1
  // where the data starts after it (TrackerTuning::breakSync), 0 where
  // not, -1 where samples are needed first.
  int BreakSync(bool found, double t, double centre, double len, bool final);
  // The mean strength (as the pilot's grid points measure it) of the edges
  // of the bits read from a sync's end `tb` up to `until` (samples).
  double DataStrength(double tb, double until) const;
  bool StepPilot(bool final);
  bool StepBit(bool final);
  // How many of the first bits (|m| in m_firstMs) are the end of the sync
  // (0-2): `am`, the eighth bit's |m|, completes the level they are
  // measured against.
  std::size_t SyncRemnantBits(double am) const;
  // Drops them from the seven bits read; returns how many.
  std::size_t DropSyncRemnant(double am);
  // Counts the first weak bit after the last good one where only its
  // closing edge, a step into silence, made it weak. True when it counts.
  bool KeepIntoSilence();
  // Dropouts: a gap's entry and return, and the bits at its ends read by
  // their middle edges (forward from a bit's start b, or back from its
  // end); the edge of `polarity` strongest near t and its strength (1 = a
  // clean edge); the signal's middle level over the last good bits; where
  // the signal leaves its level after an edge or before one (samples).
  void EnterGap();
  bool StepGap(bool final);
  void Return(double edge);
  std::size_t ReadOn(double& b, double& heard, int& level);
  bool MiddleEdge(double b, double direction, int& bit, double& middle) const;
  double EdgeNear(double t, int polarity, double& strength) const;
  double MidLevel() const;
  bool Silent(double a, double b) const;
  bool Heard(std::int64_t i, int level) const;
  double QuietAfter(double edge, int level) const;
  double QuietBefore(double edge, int level) const;
  std::size_t FindFill(GapsFill& fill, std::uint32_t& flips, std::vector<std::size_t>& weak, std::size_t& total);
  void ApplyFill(const GapsFill& fill, std::uint32_t flips, const std::vector<std::size_t>& weak);
  void EndData();
  bool Follow();
  bool Locate(bool final);

  const PrefixRing& m_sums;
  const CBoxTracker* m_leader;
  double m_syncEdge = -1.0;  // the pilot edge the sync followed
  bool m_shortSync = false;  // the sync's pulses sum to under SYNC.shortPair
  bool m_syncChecked = false;  // the first bits were checked for the sync's rest
  PilotStart m_start;
  TrackerTuning m_tuning;
  Stage m_stage = Stage::ACQUIRE;
  // Pilot.
  double m_edge = 0.0;
  int m_level = 1;
  double m_period;
  double m_amp = 0.0;
  int m_edges = 0;
  int m_misses = 0;
  double m_intervals[64] = {};
  int m_intervalLevels[64] = {};
  int m_intervalCount = 0;
  double m_asym = 0.0;  // high half-waves last P + asym, low ones P - asym
  double m_edgeTimes[16] = {};  // the last pilot edges found, a ring
  int m_edgeCount = 0;
  int m_solidRun = 0;
  double m_lastSolid = -1.0;
  // Data.
  double m_t = 0.0;
  double m_u = 0.0;
  double m_u0 = 0.0;
  double m_len = 0.0;
  // A one bit's half-period over a zero bit's: the ROM's 2, or what the
  // segmenter measured for a loader's block.
  double m_ratio = ONE_OVER_ZERO;
  // The timing is measured already: the loop's steady gains from the
  // first bit on.
  bool m_measured = false;
  double m_scale = 0.0;  // D, the typical |m|
  int m_polarity = 1;    // X
  int m_weak = 0;
  std::size_t m_lastGood = 0;
  bool m_anyGood = false;
  double m_lastGoodEnd = 0.0;
  double m_firstMs[8] = {};
  double m_bitLevel[2] = {};  // the block's |m| for zeros and ones, from good bits only
  double m_recent[READER_TIMING.lock.pauseBits] = {};  // the last bits' |m|, a ring
  double m_recentSum = 0.0;
  double m_lastQ = 0.0;  // the last bit's closing-edge strength
  double m_weakQ = 0.0;  // the same of the first weak bit after the last good one
  std::vector<std::size_t> m_weakAt;  // weak bits kept before good ones (a few)
  std::size_t m_weakKept = 0;         // how many there were
  // Dropouts: where the signal collapses within a block, the tracker looks
  // for where it returns (the first edge to the bits' level starts a bit)
  // and keeps the gap's place and duration for mending.
  bool m_inGap = false;
  double m_enterStart = 0.0;   // the end of the last bit known before the collapse
  double m_quietFrom = 0.0;    // where the signal fell silent, samples
  double m_gapMid = 0.0;       // the signal's middle level there
  bool m_gapSilent = true;     // the collapse is a silence (else its ends are not read)
  double m_returnedAt = -1e300;  // where the signal last came back from a silence (samples)
  std::size_t m_enterBit = 0;  // bits before it
  std::vector<Gap> m_gaps;     // dropouts read across: place and duration
  std::vector<double> m_gapStarts;  // their starts, samples
  int m_absorbed = 0;          // weak bits after the last return that joined its gap
  bool m_returned = false;   // no good bit yet since the last gap
  bool m_cleanEnd = false;   // the block ended in a collapse right after a good bit
  BitCollector m_bits;
  Candidate m_result;
};

class CPulseTracker {
 public:
  // `edges` must outlive the tracker; indices into it stay valid.
  CPulseTracker(const std::vector<TriggerEdge>& edges, const PilotStart& start, const TrackerTuning& tuning);
  // Reads the edges there are. `now` is where the trigger has looked so
  // far (samples). Returns true once done.
  bool Advance(double now, bool final);
  bool Done() const { return m_stage == Stage::DONE; }
  std::size_t NextIndex() const { return m_index; }
  Candidate& Result() { return m_result; }
  // Lets the caller drop the first `count` edges of the list.
  void Rebase(std::size_t count) { m_index -= count; }

 private:
  enum class Stage { PILOT, DATA, DONE };
  void EndData();

  const std::vector<TriggerEdge>& m_edges;
  PilotStart m_start;
  TrackerTuning m_tuning;
  Stage m_stage = Stage::PILOT;
  std::size_t m_index;  // the next edge to read
  double m_last;        // the last edge read
  int m_lastLevel;
  double m_period;
  double m_halves[64] = {};
  int m_halfLevels[64] = {};
  int m_halfCount = 0;
  double m_asym = 0.0;
  int m_pilotHalves = 0;
  double m_pendingSync = -1.0;  // a first sync half waiting for its second
  double m_pendingStart = 0.0;
  // Data.
  double m_zeroPeriod = 0.0;  // full period of a zero bit
  double m_firstHalf = -1.0;  // start of the current bit, -1 between bits
  std::size_t m_unequal = 0;  // bits whose halves differ (LockTiming::unequalHalves)
  double m_bitStart = 0.0;
  int m_weak = 0;
  BitCollector m_bits;
  Candidate m_result;
};

}  // namespace robust
}  // namespace tapedecoder

#endif  // TAPEDECODER_ROBUST_ROBUST_TRACKERS_H_
