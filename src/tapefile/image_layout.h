// How the tape image writers lay parts out in time: which record each part
// becomes, the pulse lengths it plays, and the pause before it, so that the
// image's edges fall where the recording's did. Shared by the TZX and PZX
// writers; not meant for other callers.
#ifndef TAPEDECODER_TAPEFILE_IMAGE_LAYOUT_H_
#define TAPEDECODER_TAPEFILE_IMAGE_LAYOUT_H_

#include <cstdint>
#include <vector>

#include "tape/tape_block.h"

namespace tapedecoder {

enum class ImageKind : std::uint8_t {
  ROM,    // standard-speed block: ROM timings, pilot count by flag
  TURBO,  // data block with measured timings
  DATA,   // data block without pilot and sync: measured bit lengths
  TONE,   // `count` pulses of `pilot`
  PULSES  // the stretch's pulses, each rounded to a T-state
};

// A stretch of a block's data played at bit lengths of its own: a long
// block whose measured lengths lie between whole T-states is played in
// pieces, each rounded the other way when the drift grows, so that the
// edges stay in step with the recording's (see CPartLayout).
struct DataPiece {
  std::uint64_t firstBit = 0;  // a multiple of 8: each piece starts a byte
  std::uint64_t bits = 0;
  std::uint32_t zero = 0, one = 0;
};

// `count` pulses of `length` T-states.
struct PulseRun {
  std::uint32_t count = 0;
  std::uint32_t length = 0;
};

struct ImageItem {
  ImageKind kind = ImageKind::PULSES;
  const TapeBlock* block = nullptr;      // ROM and TURBO; owned by the caller
  const PulseStretch* stretch = nullptr; // TONE and PULSES; owned by the caller
  // Pulse lengths in whole T-states (blocks and tones); `sync2` 0 where
  // the sync is one pulse (TURBO).
  std::uint32_t pilot = 0, sync1 = 0, sync2 = 0, zero = 0, one = 0;
  std::uint32_t pilotCount = 0;  // pilot pulses, or the tone's pulses
  std::uint64_t bits = 0;        // data bits played (blocks)
  // TURBO and DATA: the data in pieces (in order, covering every bit), or
  // empty when `zero` and `one` play the whole of it.
  std::vector<DataPiece> pieces;
  // TURBO: the pilot in runs of whole-T lengths that together keep the
  // measured mean, or empty when `pilotCount` pulses of `pilot` do. TONE:
  // the tone in runs around the clicks in it (each click a run of one) or
  // pulse by pulse where its pulses alternate in length, or empty when
  // `pilotCount` pulses of `pilot` play it in step with the recording.
  std::vector<PulseRun> pilotRuns;
  // TURBO and DATA of a loader's symbols (BlockTiming::symbolPulses): the
  // pulses each bit plays; `zero` and `one`, the item's and its pieces',
  // are then the whole length of a 0's and a 1's symbol (SymbolPulses
  // splits them). 0 where each bit is two pulses of `zero` or `one`.
  std::uint32_t symbolPulses = 0;
  // Silence before the item, in T-states, a whole multiple of the pause
  // quantum; zero when the part follows the previous one without a pause.
  std::uint64_t pauseBefore = 0;
  // PULSES: T-states added to the first pulse (what rounding the pause
  // before it to whole quanta left over; TURBO and TONE items take it in
  // their first pilot run instead).
  std::int32_t firstPulseShift = 0;
};

// The longest pause the layout gives (10 hours, in T-states): beyond any
// recording, and a bound on the records a pause splits into.
constexpr std::uint64_t MAX_PAUSE_TSTATES = 36000ull * 3500000ull;

// Lays parts out one at a time, in recording order.
// With `followDrift`, a block with measured timings (TURBO, DATA) plays in
// step with the recording: where one length for all its pilot pulses would
// drift from the measured mean by more than 30 us, the pilot is split into
// runs of the two whole-T lengths around the mean; where the bytes' starts
// were measured (TapeBlock::byteSeconds), the data is split into pieces of
// whole bytes, each at the pair of whole-T lengths that keeps the replay's
// byte starts within 30 us of the recording's longest. Without it, one
// pilot length and one pair of bit lengths play the whole block (the
// record structure a hand-made image has; a long block on a drifting tape
// then drifts by up to a few milliseconds). Blocks are placed so
// that their data starts where it started in the recording; other parts so
// that their first edge does.
// A gap of more than 2 ms in the recording becomes a pause of at least one
// quantum (each pause ends in an edge on playback); pauses are rounded to
// whole quanta (TZX: 3500 T-states = 1 ms; PZX: 1) while the image's clock
// follows the recording's, so rounding never accumulates. What the rounding
// leaves over (up to half a millisecond in TZX) goes into the item's first
// pulse -- a pilot's or tone's first pulse, a pulse sequence's first -- so
// that only the edge ending the pause is off and every later edge of the
// item falls where the recording's did; a standard-speed record and pure
// data, whose first pulse a record cannot change, are moved whole. Blocks
// without bytes are left out.
// A ROM-timed block becomes a standard-speed item unless `keepMeasured`
// asks for its measured timings (which keep a fast or slow tape's blocks
// as long as they were). Untimed parts (blocks without measured times)
// become standard-speed items with a pause of 1000 ms after each.
class CPartLayout {
 public:
  CPartLayout(bool timed, std::uint64_t pauseQuantum, bool keepMeasured = false, bool followDrift = false)
      : m_timed(timed), m_quantum(pauseQuantum), m_keepMeasured(keepMeasured), m_followDrift(followDrift) {}
  // The item of `part`; false for a part that gives none (a block without
  // bytes; a stretch of an untimed tape). The item points into `part`.
  bool Next(const TapePart& part, ImageItem& item);
  // The silence after the last item, for a recording `recordingSeconds`
  // long (untimed: the last block's 1000 ms).
  std::uint64_t PauseAfter(double recordingSeconds) const;

 private:
  bool m_timed;
  std::uint64_t m_quantum;
  bool m_keepMeasured;
  bool m_followDrift;
  double m_clock = 0.0;         // the image's time, T-states
  double m_recordingEnd = 0.0;  // the previous part's end in the recording
  bool m_any = false;           // an item was laid out
};

// A standard-speed item of `block` (ROM timings, pilot count by flag),
// whatever its measured timings. REQUIRES: block.bytes not empty.
ImageItem RomItem(const TapeBlock& block);

// Calls `pulse(tstates)` for every pulse `item` plays, in order.
template <typename F>
void ForEachPulse(const ImageItem& item, F&& pulse);

// The T-states an item plays, pause excluded.
std::uint64_t ItemDuration(const ImageItem& item);

// A pulse length rounded to whole T-states, at least 1 (NaN too) and at
// most 2^32 - 1.
std::uint32_t WholeTstates(double tstates);

// Pulse `k` of a PULSES item in whole T-states (the first with its shift).
inline std::uint32_t PulseAt(const ImageItem& item, std::size_t k) {
  const std::uint32_t whole = WholeTstates(item.stretch->pulses[k]);
  return k == 0 ? static_cast<std::uint32_t>(static_cast<std::int64_t>(whole) + item.firstPulseShift) : whole;
}

// The pulses of a symbol of `item` (a 1's when `one`) `length` T-states
// long: the block's measured pulses scaled to that length, each rounded
// where it ends (at least 1), into `out` (item.symbolPulses of them).
void SymbolPulses(const ImageItem& item, bool one, std::uint32_t length, std::uint32_t* out);

// The data's pieces: `item.pieces`, or one piece of every bit at `zero`
// and `one`.
std::vector<DataPiece> PiecesOf(const ImageItem& item);
// The pilot's runs: `item.pilotRuns`, or `pilotCount` pulses of `pilot`.
std::vector<PulseRun> PilotRunsOf(const ImageItem& item);

template <typename F>
void ForEachPulse(const ImageItem& item, F&& pulse) {
  switch (item.kind) {
    case ImageKind::ROM:
    case ImageKind::TURBO:
      for (const PulseRun& run : PilotRunsOf(item))
        for (std::uint32_t k = 0; k < run.count; ++k) pulse(run.length);
      pulse(item.sync1);
      if (item.sync2 > 0) pulse(item.sync2);
      [[fallthrough]];
    case ImageKind::DATA:  // the bits alone
      for (const DataPiece& piece : PiecesOf(item)) {
        if (item.symbolPulses > 0) {
          std::uint32_t symbols[2][MAX_SYMBOL_PULSES];
          SymbolPulses(item, false, piece.zero, symbols[0]);
          SymbolPulses(item, true, piece.one, symbols[1]);
          for (std::uint64_t b = piece.firstBit; b < piece.firstBit + piece.bits; ++b) {
            const std::uint32_t* symbol = symbols[BitAt(item.block->bytes, b) ? 1 : 0];
            for (std::uint32_t k = 0; k < item.symbolPulses; ++k) pulse(symbol[k]);
          }
          continue;
        }
        for (std::uint64_t b = piece.firstBit; b < piece.firstBit + piece.bits; ++b) {
          const std::uint32_t length = BitAt(item.block->bytes, b) ? piece.one : piece.zero;
          pulse(length);
          pulse(length);
        }
      }
      return;
    case ImageKind::TONE:
      for (const PulseRun& run : PilotRunsOf(item))
        for (std::uint32_t k = 0; k < run.count; ++k) pulse(run.length);
      return;
    case ImageKind::PULSES:
      for (std::size_t k = 0; k < item.stretch->pulses.size(); ++k) pulse(PulseAt(item, k));
      return;
  }
}

}  // namespace tapedecoder

#endif  // TAPEDECODER_TAPEFILE_IMAGE_LAYOUT_H_
