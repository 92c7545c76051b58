// What the workbench reads off a decoded tape for its pictures and lists:
// the stretches to colour, the points worth a look, where a block broke,
// the length its header announced, and the lengths of its pulses.
#ifndef TAPEDECODER_WORKBENCH_TAPE_ANALYSIS_H_
#define TAPEDECODER_WORKBENCH_TAPE_ANALYSIS_H_

#include <cstddef>
#include <optional>
#include <vector>

#include "tape/tape_block.h"
#include "workbench/wave_store.h"

namespace tapedecoder {

// A bit the decoder read with less than this confidence (1 is a typical
// clean bit) is weak.
constexpr float kWeakConfidence = 0.35f;
// Silence between blocks at least this long is drawn as a pause, seconds.
constexpr double kShortestPause = 0.2;

enum class SpanKind { TONE, GOOD, BAD, PAUSE };

// A stretch of the recording, seconds; `block` is the index of its block
// in the list, -1 for a pause.
struct TapeSpan {
  double start = 0.0;
  double end = 0.0;
  SpanKind kind = SpanKind::PAUSE;
  int block = -1;
};

// Per block: its pilot tone (start to the first bit) and its data (good
// or bad by the checksum); and every silence of kShortestPause or more
// between them, and before the first and after the last within
// `recordingSeconds`. Blocks without times (the classic method's) give
// nothing.
std::vector<TapeSpan> TapeSpans(const std::vector<TapeBlock>& blocks, double recordingSeconds);

// A run of weak bits: the first bit's index and how many in a row.
struct WeakRun {
  std::size_t firstBit = 0;
  std::size_t bits = 0;
};

// Every run of weak bits of the block, in order.
std::vector<WeakRun> WeakRuns(const TapeBlock& block);

enum class SuspectKind { WEAK_BITS, DROPOUT, CUT_SHORT };

// A point worth a look: where it starts (seconds), its block (index),
// what it is, and how many bits it covers (WEAK_BITS), how long it lasts
// (DROPOUT) or how many bytes are missing (CUT_SHORT).
struct Suspect {
  double seconds = 0.0;
  int block = 0;
  SuspectKind kind = SuspectKind::WEAK_BITS;
  std::size_t count = 0;  // weak bits, or bytes missing
  double length = 0.0;    // seconds
};

// The runs of weak bits of every block; the dropouts in its data: the
// stretches of 2 ms or more where the wave's swing falls below a quarter of
// the block's typical swing (from `store`, when given); and where a block
// ends short of the length its header announced. In time order.
std::vector<Suspect> FindSuspects(const std::vector<TapeBlock>& blocks, const WaveStore* store);

// The bytes the block should hold when the block before it is a verified
// ROM header and this one is no header: the header's length plus the flag
// and the checksum.
std::optional<std::size_t> AnnouncedLength(const std::vector<TapeBlock>& blocks, std::size_t index);

// The lengths of the half-waves in a stretch, from the crossings of the
// wave through its middle (with a little hysteresis), in T-states at the
// nominal clock, binned.
struct PulseHistogram {
  static constexpr double kBinTstates = 25.0;
  static constexpr int kBins = 120;  // 0 .. 3000 T-states
  std::vector<int> high = std::vector<int>(kBins);  // half-waves above the middle
  std::vector<int> low = std::vector<int>(kBins);   // and below it
  int pulses = 0;
  double meanHigh = 0.0;  // of the half-waves of bit length (not pilot), T-states
  double meanLow = 0.0;
};
PulseHistogram PulseLengths(const WaveStore& store, double fromSeconds, double toSeconds);

}  // namespace tapedecoder

#endif  // TAPEDECODER_WORKBENCH_TAPE_ANALYSIS_H_
