// What a decoder yields: the blocks found on a tape, and the stretches that
// are no recognised block, with where they lie in the recording and what
// was measured of them. Sinks (the tape image, the listing, the TZX/PZX
// writers, the CLI's report) consume these values; nothing writes while it
// decodes.
#ifndef TAPEDECODER_TAPE_TAPE_BLOCK_H_
#define TAPEDECODER_TAPE_TAPE_BLOCK_H_

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace tapedecoder {

// Tape timings are counted in T-states of the machine's 3.5 MHz clock.
constexpr double TSTATES_PER_SECOND = 3500000.0;

// The ROM loader's pulse lengths, in T-states.
constexpr double ROM_PILOT_PULSE = 2168.0;
constexpr double ROM_SYNC1_PULSE = 667.0;
constexpr double ROM_SYNC2_PULSE = 735.0;
constexpr double ROM_ZERO_PULSE = 855.0;
constexpr double ROM_ONE_PULSE = 1710.0;
// Pilot pulses the ROM saver writes before a header (flag < 128) and
// before any other block.
constexpr int ROM_HEADER_PILOT_PULSES = 8063;
constexpr int ROM_DATA_PILOT_PULSES = 3223;

// The most pulses a loader's bit is read in (see BlockTiming::symbolPulses).
constexpr int MAX_SYMBOL_PULSES = 4;

// What was measured of one block, in T-states at the nominal clock (so a
// tape running 2 % fast measures 2 % short). Zero where not measured.
struct BlockTiming {
  double pilot = 0.0;     // one pilot pulse (half a period)
  double sync1 = 0.0;     // first sync pulse
  double sync2 = 0.0;     // second sync pulse; 0 after a pilot: the sync is one pulse
  double zero = 0.0;      // one pulse of a 0 bit
  double one = 0.0;       // one pulse of a 1 bit
  std::int32_t pilotPulses = 0;
  // A loader whose bits are not two equal pulses (halves that differ, or
  // symbols of 3 or 4 pulses): the pulses of a 0 and of a 1 as measured,
  // `symbolPulses` of each; 0 when every bit is two pulses of `zero` or
  // `one`. `zero` and `one` are then half of each symbol's length.
  std::int32_t symbolPulses = 0;
  double zeroSymbol[MAX_SYMBOL_PULSES] = {};
  double oneSymbol[MAX_SYMBOL_PULSES] = {};
};

// A bit's pulses in `timing` (a 1's when `one`), rounded to whole
// T-states: its one pulse, or the symbol's pulses joined by '+' ("400+600").
std::string BitPulsesText(const BlockTiming& timing, bool one);

// How a block's bytes came to be.
enum class BlockOrigin : std::uint8_t {
  DECODED,        // read straight from the recording
  RETRIED,        // read again with another detector or other thresholds
  SYNC_REPAIRED,  // no sync was seen; the bit alignment is assumed
  VOTED,          // voted bit by bit across several takes
  MENDED,         // bits a dropout took restored from the checksum
};

// One block: the bytes between a sync and the end of the data.
struct TapeBlock {
  std::vector<std::uint8_t> bytes;
  std::uint8_t usedBits = 8;  // bits of the last byte that were recorded, 1..8
  double startSeconds = 0.0;  // the first pilot edge in the recording
  double dataSeconds = 0.0;   // the end of the sync, where the first bit starts
  double endSeconds = 0.0;    // the last edge of the block
  BlockTiming timing;
  bool romTiming = true;      // pilot, sync and bits in the ROM's ratios
  BlockOrigin origin = BlockOrigin::DECODED;
  int take = 0;               // which recording it came from, when merging
  int stream = -1;            // which decoded stream of the recording gave it, -1 unknown
  // Per bit, most significant first: the decoder's confidence in the bit,
  // 0 (a guess) upwards, 1 being a typical clean bit. Empty when the
  // decoder does not measure it.
  std::vector<float> bitConfidence;
  // Per bit: its start in the recording, in seconds. Empty when not kept.
  std::vector<double> bitSeconds;
  // Per byte of data: the start of its first bit in the recording, in
  // seconds; kept for the tape images (a long block played in step with a
  // drifting tape). Empty when not measured.
  std::vector<double> byteSeconds;
  // Bits a dropout took, restored from the checksum (origin MENDED): how
  // many, and the first of them (bit index, most significant first). The
  // checksum then verifies by construction: it checks nothing more.
  int mendedBits = 0;
  std::size_t mendedAt = 0;
  int mendedGaps = 0;  // the dropouts they were lost in
  // Restored instead from another recording of the same block on the tape
  // (the block saved twice), read where this one lost them.
  bool mendedFromCopy = false;
  // Dropouts read across whose bits could not be restored for certain
  // (left out: the block does not verify).
  int unmendedGaps = 0;
  // MENDED where the checksum fitted more than one fill: the likeliest
  // was kept. The checksum then holds by construction and proves nothing:
  // the block does not count as good.
  bool mendGuessed = false;
};

// True when the exclusive OR of every byte but the last equals the last (a
// one-byte block holding 0 is good; an empty block is not).
bool ChecksumGood(const std::vector<std::uint8_t>& bytes);

// True when `bytes` cannot be a saved block whatever its checksum says:
// fewer than 2 bytes (no flag and checksum), one byte repeated, or one
// pattern of 2 to 8 bytes repeated at least three times over the whole
// block, or over half of it and then bytes of a tone (00 or FF) to the
// end, or bits that repeat every 3 to 16 bits over the whole block, three
// times at least -- what a tone or a clicking pilot read as bits gives (a
// tone read as zeros is a "header" of 19 zero bytes that verifies).
bool RepeatsOrTooShort(const std::vector<std::uint8_t>& bytes);

// Bit `index` of `bytes` as the tape carries them: each byte's top bit first.
inline int BitAt(const std::vector<std::uint8_t>& bytes, std::size_t index) {
  return (bytes[index / 8] >> (7 - index % 8)) & 1;
}

// ChecksumGood and not RepeatsOrTooShort: a block that verifies.
bool BlockVerifies(const std::vector<std::uint8_t>& bytes);

// The verdict a block's line and listing give: its checksum holds and it
// was read to within its last bit of whole bytes. The checksum covers whole
// bytes only, so a reading that stopped bits short of them (`usedBits`
// under 7) passes it by chance alone; the last bit may fall into silence.
// A block whose mending was a guess (mendGuessed) is not good either.
bool ChecksumGood(const TapeBlock& block);

// The block's bytes verify, and not by a guess made to fit (mendGuessed).
inline bool GoodBytes(const TapeBlock& block) { return !block.mendGuessed && ChecksumGood(block.bytes); }

// The checksum seen per bit column: of `bits` (one per entry, 0 or 1, most
// significant first) from `from` to `to`, the exclusive OR of each column,
// bit c of the result holding column c (the bit c places after a byte's
// first), the bit at `from` counted in column 0. In a block that verifies
// every column xors to 0, so a single unknown bit in a column is the
// column's parity without it.
std::uint8_t ColumnParity(const std::vector<std::uint8_t>& bits, std::size_t from, std::size_t to);

// The fields of a ROM header block: 19 bytes, flag 0x00, then the type
// (0 program, 1 number array, 2 character array, 3 bytes), a name of 10
// characters, the length of the data block that follows and two
// parameters, little-endian, then the checksum.
struct RomHeader {
  std::uint8_t type = 0;
  std::string name;  // the 10 bytes as recorded, trailing spaces included
  std::uint16_t length = 0;
  std::uint16_t param1 = 0;
  std::uint16_t param2 = 0;
};

// The header's fields when `bytes` is a ROM header whose checksum verifies.
std::optional<RomHeader> ParseRomHeader(const std::vector<std::uint8_t>& bytes);

// What a stretch of pulses looks like, so that a tape image can keep it in
// the fitting kind of record.
enum class StretchKind : std::uint8_t {
  RAW,       // irregular pulses, not otherwise classified
  TONE,      // a run of near-equal pulses (no sync and data follow it)
  SEQUENCE,  // a short irregular run, e.g. the pulses a loader checks
};

// A stretch of the recording that is no recognised block, kept as the
// lengths of its pulses so that playing it back reproduces its edges.
struct PulseStretch {
  double startSeconds = 0.0;       // the first edge
  bool firstPulseHigh = true;      // the level during the first pulse
  std::vector<double> pulses;      // T-states from each edge to the next
  StretchKind kind = StretchKind::RAW;
};

// One part of a decoded tape, in recording order. Silence between parts is
// the gap between one part's end and the next one's start.
using TapePart = std::variant<TapeBlock, PulseStretch>;

}  // namespace tapedecoder

#endif  // TAPEDECODER_TAPE_TAPE_BLOCK_H_
