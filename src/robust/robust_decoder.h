// The robust decoding method: reads ROM-timed blocks from real cassette
// captures -- differentiated or band-limited by the tape path, noisy,
// quiet, clipped, DC-shifted, lossy-compressed, at 0.5x-2x speed with
// drift and flutter, with unequal half-waves -- at any rate from 40 kHz to
// 192 kHz. It streams: memory does not grow with the recording.
//
// How: the samples go into exact prefix sums and two hysteresis triggers
// set relative to the signal's own envelope (a fine one on the mean, for
// reading pulses; a coarse one on the peaks, for finding pilots in noise).
// A coarse search over the trigger's edges finds pilot tones. On each,
// several readers start side by side: a phase-locked box-filter tracker,
// a reader of the fine trigger's edges, and two more box trackers with
// other box lengths that lock on the pilot shortly before the first one's
// sync. Each calibrates on the pilot (period, half-wave asymmetry) and
// reads one block. The block kept is the first, in that fixed order, that
// verifies (origin RETRIED when it is not the first reader's); failing
// that, the first reader's that has bytes. A reading mended from the
// checksum verifies by construction: it is not kept where two other
// readers part from it by the same slip (a one read as two zeros, or
// back), for it slipped there and its fill is wrong. Where readings
// verify with other bytes and one of them would verify as well with a
// pair of slips undone at its weakest bits (data that repeats every few
// bytes keeps its checksum when read a bit out of step), none is kept;
// nor is an equalised reading that would. A block ends at a
// pause found against the block's own level, after a run of weak bits,
// or -- when a verified header announced its length, or a ROM header's 19
// bytes verify -- exactly there, so that a loader running straight into other
// data is cut where the ROM's loader stops, and what follows is searched
// afresh.
//
// Memory: a ring of at least 2.5 s of prefix sums (8 bytes a sample), the
// triggers' edges over the same window, a few thousand trigger values, and
// the bits of the readers' blocks (6 bytes a bit per reader, four readers);
// nothing grows with the recording. At 96 kHz that is 2 MiB plus 24 bytes
// a bit of the longest block: a 48 KB block costs 9.5 MiB while read.
//
// Work: the pilot search's trigger rests while a block is read, and the
// fine trigger while no edge reader reads; the pilot search's starts again
// shortly before it is needed, with its envelope settled by then, and the
// fine one afresh before each pilot, so that its edges depend on that
// stretch alone. Where the recording can be read again (SetRereader), the
// retry box trackers read a block only when neither the first box tracker
// nor the edge reader verifies it, and the edge reader (while the first
// box tracker verified the block before) only when the first box tracker
// does not: they then read its stretch again from the recording, through
// a second ring of sums, in the pieces the live samples came in, and go
// on with the live samples from where those have come to. Their blocks
// are the same as when they read side by side. A block that no reader
// verifies is read there once more through an equaliser learnt from its
// own pilot and reading (robust/equaliser: phase smear, strong low-pass);
// its fits are many chances for a checksum to pass, so where a header
// announced the block's length, only a reading of that length is kept.
// Where it still fails, it waits for the next block (a few seconds at
// most; without a way to read again, only a block a header announced):
// one that verifies teaches the equaliser that reads it again (a header
// is too short to teach one, its data block is not); a copy of it (a
// block saved twice, one after the other, or with a header of its own
// between) gives what it lost in dropouts, or undoes its slips
// (robust/gap_mender), and so does a copy that verified before it.
#ifndef TAPEDECODER_ROBUST_ROBUST_DECODER_H_
#define TAPEDECODER_ROBUST_ROBUST_DECODER_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>

#include "tape/tape_block.h"

namespace tapedecoder {

// Tunables; the defaults suit every recording, nobody needs to set them.
struct RobustOptions {
  // Schmitt trigger hysteresis, as a fraction of the envelope.
  double hysteresis = 0.3;
  // Data box length over the zero-bit half-period, first reader.
  double boxFactor = 0.4;
  // Further box readers, tried when the first does not verify (0 = none).
  double retryBoxFactors[2] = {0.6, 0.25};
  // Also read each block from the trigger's edges.
  bool pulseReader = true;
  // Also read each block with the box trackers.
  bool boxReader = true;
  // Weak bits in a row that end a block. Above 24 a block also reads on
  // through stretches at the level of a pause (dropouts), which then end
  // it only by this count.
  int stopBits = 24;
  // The longest block, in bytes; what follows is searched afresh.
  std::size_t maxBlockBytes = 65535;
  // Box trackers read across dropouts to silence and restore their bits
  // from the checksum where only one fill fits (origin MENDED); a block no
  // reader verifies takes the likeliest fill, or its reading with slips
  // undone, where one stands out (a guess, origin MENDED).
  bool mendDropouts = true;
  // A block no reader verifies is read once more through an equaliser
  // learnt from its pilot and its first reading (robust/equaliser), where
  // the recording can be read again (SetRereader).
  bool equalise = true;
};

class CRobustDecoder {
 public:
  using BlockCallback = std::function<void(TapeBlock&&)>;

  // REQUIRES: 40000 <= sampleRate <= 192000 (other rates are clamped into
  // that range for sizing; timing follows sampleRate); onBlock callable.
  // onBlock receives every block of at least one byte, good or bad, in
  // recording order, from inside Feed() and Finish().
  CRobustDecoder(double sampleRate, BlockCallback onBlock, const RobustOptions& options = {});
  ~CRobustDecoder();
  CRobustDecoder(const CRobustDecoder&) = delete;
  CRobustDecoder& operator=(const CRobustDecoder&) = delete;

  // Adds samples of any gain (full scale about ±1; non-finite values read
  // as 0). Blocks that end within them may be delivered now or later.
  void Feed(const float* mono, std::size_t count);
  // The recording has ended: delivers what is left. Feeding afterwards is
  // ignored.
  void Finish();
  // Reads the stream again: writes the samples from index `first` on (as
  // Feed was given them) to `out`, up to `max`, and returns how many; fewer
  // only at the end or on a failure.
  using Rereader = std::function<std::size_t(std::int64_t first, float* out, std::size_t max)>;
  // Lets the retry readers wait until a block needs them (see above).
  // Before the first Feed. A re-read that falls short leaves that block's
  // retries unread.
  void SetRereader(Rereader reread);

  // No block delivered from now on starts before this (seconds): the pilot
  // being read, else the oldest signal a pilot search can still start on.
  double PendingFrom() const;

 private:
  class Impl;
  std::unique_ptr<Impl> m_impl;
};

}  // namespace tapedecoder

#endif  // TAPEDECODER_ROBUST_ROBUST_DECODER_H_
