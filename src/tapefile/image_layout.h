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

struct ImageItem {
  ImageKind kind = ImageKind::PULSES;
  const TapeBlock* block = nullptr;      // ROM and TURBO; owned by the caller
  const PulseStretch* stretch = nullptr; // TONE and PULSES; owned by the caller
  // Pulse lengths in whole T-states (blocks and tones).
  std::uint32_t pilot = 0, sync1 = 0, sync2 = 0, zero = 0, one = 0;
  std::uint32_t pilotCount = 0;  // pilot pulses, or the tone's pulses
  std::uint64_t bits = 0;        // data bits played (blocks)
  // Silence before the item, in T-states, a whole multiple of the pause
  // quantum; zero when the part follows the previous one without a pause.
  std::uint64_t pauseBefore = 0;
};

// The longest pause the layout gives (10 hours, in T-states): beyond any
// recording, and a bound on the records a pause splits into.
constexpr std::uint64_t MAX_PAUSE_TSTATES = 36000ull * 3500000ull;

struct ImageLayout {
  std::vector<ImageItem> items;
  std::uint64_t pauseAfter = 0;  // silence after the last item, T-states
};

// Lays `parts` out. Blocks are placed so that their data starts where it
// started in the recording; other parts so that their first edge does.
// A gap of more than 2 ms in the recording becomes a pause of at least one
// quantum (each pause ends in an edge on playback); pauses are rounded to
// whole quanta (TZX: 3500 T-states = 1 ms; PZX: 1) while the image's clock
// follows the recording's, so rounding never accumulates. Blocks without
// bytes are left out. The parts must stay alive while the layout is used.
ImageLayout LayOutParts(const std::vector<TapePart>& parts, double recordingSeconds,
                        std::uint64_t pauseQuantum);

// A standard-speed item of `block` (ROM timings, pilot count by flag),
// whatever its measured timings. REQUIRES: block.bytes not empty.
ImageItem RomItem(const TapeBlock& block);

// The T-states an item plays, pause excluded.
std::uint64_t ItemDuration(const ImageItem& item);

// The data bit `index` (most significant first) of a block's bytes.
bool BitAt(const std::vector<std::uint8_t>& bytes, std::uint64_t index);

}  // namespace tapedecoder

#endif  // TAPEDECODER_TAPEFILE_IMAGE_LAYOUT_H_
