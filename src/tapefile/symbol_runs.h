// Loaders' bits that are not two equal pulses: pairs whose halves differ,
// and symbols of three or four pulses in two shapes. The segmenter reads
// pairs; this reads the rest from what it leaves as pulses, so that the
// images keep such data as data.
#ifndef TAPEDECODER_TAPEFILE_SYMBOL_RUNS_H_
#define TAPEDECODER_TAPEFILE_SYMBOL_RUNS_H_

#include <cstddef>
#include <vector>

#include "tape/tape_block.h"
#include "tapefile/edge_extractor.h"

namespace tapedecoder {

// The bits of a pair block (`bits`, read two pulses a bit from
// `pulses[0]` on, `count` pulses there): where the two halves of either
// kind of bit differ by more than a tenth of the bit and by more than
// twice `jitter` (T-states: whole samples make a short bit's halves
// differ by one) over the whole block, sets `timing`'s symbols to two
// pulses of each kind, each kind's bit as long as `timing.zero` /
// `timing.one` say and split as measured.
// Otherwise leaves `timing` as it is.
void MeasureBitHalves(const double* pulses, std::size_t count, const std::vector<bool>& bits, double jitter,
                      BlockTiming& timing);

// The symbols of `pulses` from `from` on, `k` (2 to 4) pulses each, while
// every symbol fits one of two shapes (each pulse within a fifth of the
// shape's mean plus `jitter` T-states); the shorter shape is a 0 bit.
// With `silenceAfter`, a last symbol short of its last pulse (which ends
// in silence, with no edge) counts where its other pulses fit one shape.
struct SymbolRun {
  std::vector<bool> bits;
  std::size_t k = 0;
  std::size_t pulses = 0;               // the pulses read
  double zero[MAX_SYMBOL_PULSES] = {};  // the shapes' mean pulses
  double one[MAX_SYMBOL_PULSES] = {};
  std::size_t zeros = 0, ones = 0;
};
SymbolRun ReadSymbols(const std::vector<double>& pulses, std::size_t from, std::size_t k, double jitter,
                      bool silenceAfter);

// The segmenter's parts read again for data in symbols, as they come, with
// the edges they came from. Each pulse stretch that holds such data --
// after a pilot (a tone part that runs straight into it, or near-equal
// pulses opening it) and two sync pulses, or with neither -- becomes a
// block of that data, its symbols' pulses as measured (pulses after the
// data stay a stretch); where the data runs on through the parts after
// the stretch, or where a block in other timings than the ROM's does not
// verify (the segmenter read a loader's symbols as pairs for a while), it
// is read from the edges up to the next pause, and replaces the parts it
// covers where that reading verifies. Data is at least 64 symbols of both
// shapes in a clean split, symbols of 2 pulses only where their halves
// differ (equal pairs are the segmenter's to read) and only as a block that
// verifies, and not what a tone or a repeating click pattern reads as
// (RepeatsOrTooShort).
// The edges come from the segmenter: the runs it has segmented since the
// last Read (KeepRuns), then the run it holds, so that no edge is held
// twice.
class CSymbolReader {
 public:
  // `pending`: the times of the run the segmenter holds, read after the
  // runs kept (edges after every edge of theirs).
  CSymbolReader(double jitter, double pauseTstates, const std::vector<double>& pending)
      : m_jitter(jitter), m_pause(pauseTstates), m_pending(pending) {}
  // The times (T-states) of a run the segmenter is done with, after every
  // run kept before.
  void Keep(std::vector<double>&& run) { m_runs.push_back(std::move(run)); }
  // Parts in recording order, each whole run between pauses at once,
  // their runs kept; the runs kept go.
  void Read(std::vector<TapePart>& parts);

 private:
  // Reads data in symbols from part `n`'s first edge (at `startSeconds`) on
  // to the next pause (`tone`: the tone before it may be its pilot) into
  // `out`; where it verifies, the parts it covers are taken (`n` set to the
  // last) and true is returned.
  bool ReadOn(double startSeconds, bool tone, std::size_t& n, std::vector<TapePart>& parts,
              std::vector<TapePart>& out) const;

  double m_jitter;
  double m_pause;
  const std::vector<double>& m_pending;
  std::vector<std::vector<double>> m_runs;
};

}  // namespace tapedecoder

#endif  // TAPEDECODER_TAPEFILE_SYMBOL_RUNS_H_
