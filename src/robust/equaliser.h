// A last retry for a ROM-timed block that no reader verifies: the tape
// path (all-pass phase smear, a strong low-pass, a band limit) is learnt
// from the block itself and undone before the block is read again.
//
// A pilot is a known signal: a two-level square wave at a steady period.
// A linear FIR equaliser (taps across about ±1 ms, ridge-regularised least
// squares, pulled towards a plain gain where the training says nothing) is
// fitted to map 128 of its half-waves, taken where the pilot search found
// the tone, onto that wave. A box tracker then reads the block again
// through it from there on: pilot, sync, data. A reading that does not
// verify still has most bits right, and teaches the next fit together
// with the pilot (decision-directed: its sync and first second of bits as
// the wave they stand for); so does the block's first reading, on a line
// of its own (where the pilot's equaliser misplaces the sync, the first
// reading often has it right). Two rounds after the pilot's; where none
// verifies, two more from the pilot's reading and the first, with a
// lighter ridge that lets the fit lift a band a steep low-pass all but
// removed (the zero bits', the sync's). A reading is kept only when it
// verifies, as every reader's is, with no dropout left unmended (its
// checksum could hold by chance), and at the length a header announced,
// where one did.
//
// A loader's block (its bits not the ROM's lengths for its pilot)
// verifies in none of these passes: where they all fail, the bits after
// the sync are measured on the signal through the fit that last gave a
// block (or one taught by the last block read plainly) and read by its
// crossings at those lengths, and the block is kept with them.
//
// Work: only for a block that fails, up to nine passes over its stretch
// read again from the recording (about 45 taps a sample at 44.1 kHz).
// Memory: the training stretches (80 ms of pilot, a second of data), a
// ring of sums as large as the decoder's, and one reading's bits; nothing
// grows with the recording.
#ifndef TAPEDECODER_ROBUST_EQUALISER_H_
#define TAPEDECODER_ROBUST_EQUALISER_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "robust/robust_signal.h"
#include "robust/robust_trackers.h"

namespace tapedecoder {
namespace robust {

// Writes the stream's samples from index `first` on to `out`, up to `max`;
// returns how many (fewer only at the end or on a failure).
using SampleReader = std::function<std::size_t(std::int64_t first, float* out, std::size_t max)>;

// Least-squares FIR taps `stride` samples apart, centred (taps 2·half+1):
// y[n] = sum_j taps[j] · x[n + (j - half)·stride].
struct Equaliser {
  std::vector<double> taps;
  int half = 0;
  int stride = 1;
};

// The two-level wave a reading stands for, over samples [from, from +
// size): ±1 per half-wave, 0 where the reading says nothing. The last
// `pilotHalves` pilot half-waves before the sync are included.
std::vector<float> SquareTarget(const Candidate& reading, std::int64_t from, std::size_t size, int pilotHalves);

// Samples from index 0 and the wave they should have been.
struct TrainingStretch {
  const std::vector<float>* x;
  const std::vector<float>* target;
};

// Fits an equaliser mapping the stretches' samples onto their targets,
// over the samples where the target is not 0 and the taps stay inside
// the stretch. `ridge` is relative to the signal's power. Returns no taps
// when the stretches are too short or hold no signal.
Equaliser FitEqualiser(const std::vector<TrainingStretch>& stretches, int half, int stride, double ridge);

class CBlockEqualiser {
 public:
  // `rate`: samples a second; `ringCapacity`: the decoder's ring (a power
  // of two), so that a reading here looks back as far as the decoder's.
  CBlockEqualiser(double rate, std::size_t ringCapacity);
  ~CBlockEqualiser();

  // Reads the block of a session (`session`: where the pilot search
  // found it; `first`: its first reading, which does not verify) again
  // through equalisers learnt from its pilot, then also from the sync and
  // bits each equalised reading found, from the stream as `read` gives it,
  // up to sample `available`. True, with Result() the reading, when one
  // verifies.
  bool Read(const SampleReader& read, std::int64_t available, const PilotStart& session, const Candidate& first,
            const TrackerTuning& tuning);
  // Reads a block that failed (as Read) once more, through equalisers
  // taught by its pilot and by `teacher`, a block read nearby on the same
  // tape path that verified (a header is too short to teach one itself:
  // the block after it can, once read). True, with Result(), when one
  // verifies.
  bool ReadTaught(const SampleReader& read, std::int64_t available, const PilotStart& session,
                  const Candidate& first, const TrackerTuning& tuning, const Candidate& teacher);
  // Keeps the start of `verified`, a block read plainly, to teach the
  // equaliser of a loader's block later (ReadMeasured) where none has
  // been needed yet.
  void Remember(const Candidate& verified);
  Candidate& Result() { return m_result; }
  // True when Read's last call verified nothing, but a reading held every
  // bit, with no dropout, up to the last sample it was given: the block
  // runs on past them, and may verify once more of it is at hand.
  // Its data start and zero-bit half-period (samples).
  bool RanOut() const { return m_ranOut; }
  double RanOutData() const { return m_ranOutData; }
  double RanOutZero() const { return m_ranOutZero; }

 private:
  // Reads samples [from, to) and the taps' reach on both sides into `x`
  // (index 0 is sample `first`).
  bool Load(const SampleReader& read, std::int64_t available, double from, double to, std::vector<float>& x,
            std::int64_t& first) const;
  // Loads the session's pilot (m_pilotX, its target) and the pilot start
  // an equalised reading starts from.
  bool Prepare(const SampleReader& read, std::int64_t available, const PilotStart& session, const Candidate& first,
               PilotStart& start);
  // Moves `c` into m_result, its pilot dated as the session's, when it
  // verifies; one that verifies unsure of many bits is held instead
  // (m_doubtful, read through `eq`), where it is the surest so far.
  bool Keep(Candidate& c, const PilotStart& session, const Candidate& first, const Equaliser& eq);
  // Where no reading verified surely: the held one as the result.
  bool KeepDoubtful();
  // Sets `target` over the pilot in [from, to) of m_pilotX to the square
  // wave in phase with its fundamental (period near `period`, found:
  // m_pilotPeriod); `edge` is one of its edges. False when the stretch is
  // not held.
  bool PilotTarget(double from, double to, double period, std::vector<float>& target, double& edge);
  // Read's passes with one tuning; `unseen` is set where a reading dated
  // its sync from the pilot's break.
  bool ReadAll(const SampleReader& read, std::int64_t available, const PilotStart& session, const Candidate& first,
               const PilotStart& start, const TrackerTuning& readTuning, bool& unseen);
  // Where the equalised signal shows data whose bits are not the ROM's
  // lengths for its pilot (a loader's block), reads it at the bit lengths
  // measured there. True, with m_result, when that verifies.
  bool ReadMeasured(const SampleReader& read, std::int64_t available, const PilotStart& session,
                    const Candidate& first);
  // ReadMeasured through one fit.
  bool ReadMeasuredThrough(const SampleReader& read, std::int64_t available, const PilotStart& session,
                           const Candidate& first, const Equaliser& eq);
  // Reads a loader's block from `dataEdge` on by the crossings of the
  // signal through `eq` (counted once it is `h` past them): each bit two
  // half-waves alike, a one where they are longer than the mean of `zero`
  // and `one` (half-periods, samples), up to the pause after it or a bit
  // of two unlike halves (where their sum tells neither bit).
  Candidate ReadCrossings(const SampleReader& read, std::int64_t available, const Equaliser& eq, double dataEdge,
                          double zero, double one, double h, std::size_t maxBytes);
  // One reading of the block through `eq`, by a box tracker from `start`.
  Candidate ReadThrough(const SampleReader& read, std::int64_t available, const Equaliser& eq,
                        const PilotStart& start, const TrackerTuning& tuning);

  double m_rate;
  int m_half;
  int m_stride;
  std::size_t m_ringCapacity;
  std::unique_ptr<PrefixRing> m_sums;
  // The training stretches: the pilot, and the sync and first second of
  // data of a reading; their samples and targets.
  std::vector<float> m_pilotX, m_pilotTarget, m_dataX, m_dataTarget;
  std::int64_t m_pilotFrom = 0;
  double m_pilotPeriod = 0.0;  // the pilot's half-period, samples
  std::vector<float> m_raw;    // a pass's samples, with the taps' reach on both sides
  Equaliser m_lastGood;        // the equaliser that last gave a block (none yet: no taps)
  Candidate m_teacher;         // the start of the last block read plainly (Remember)
  std::vector<float> m_out;
  Candidate m_result;
  Candidate m_doubtful;
  double m_doubtfulShare = 1.0;
  Equaliser m_doubtfulFit;
  bool m_ranOut = false;
  double m_ranOutData = 0.0, m_ranOutZero = 0.0;
};

}  // namespace robust
}  // namespace tapedecoder

#endif  // TAPEDECODER_ROBUST_EQUALISER_H_
