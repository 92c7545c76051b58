#include "tapefile/image_layout.h"

#include <algorithm>
#include <cmath>

#include "tapefile/pulse_segmenter.h"

namespace tapedecoder {

namespace {

// A gap in the recording longer than this (T-states) is a pause.
constexpr double MIN_PAUSE_TSTATES = 7000.0;  // 2 ms

// Untimed tapes: the silence after each block.
constexpr std::uint64_t UNTIMED_PAUSE_TSTATES = 1000ull * 3500ull;

// Drift the replay of a ROM-timed block's data may gather before the block
// is written with its measured timings instead (T-states): 30 us, so that
// with the pause before it (rounded to 0.5 ms in TZX, placed by the data's
// start) its edges stay within 50 us of the recording's.
constexpr double MAX_ROM_DRIFT_TSTATES = 105.0;

// The data of `block` at pulse lengths `zero` and `one`, T-states.
double DataSpan(const TapeBlock& block, double zero, double one) {
  std::uint64_t ones = 0;
  for (std::uint8_t byte : block.bytes) ones += static_cast<std::uint64_t>(__builtin_popcount(byte));
  const std::uint64_t bits = static_cast<std::uint64_t>(block.bytes.size()) * 8;
  return 2.0 * (static_cast<double>(bits - ones) * zero + static_cast<double>(ones) * one);
}

// Speed error below which a ROM-timed block stays a standard-speed record
// whatever its drift: a recording made at 44.1 kHz from an image lengthens
// every pulse to whole samples (2.1 % for the ROM's bits), and such a
// recording's blocks are ROM blocks.
constexpr double ROM_SPEED_TOLERANCE = 0.025;

// True when the tape ran fast or slow enough that the block's data, played
// at the ROM's timings, ends more than MAX_ROM_DRIFT_TSTATES from where it
// ended in the recording, and by more than ROM_SPEED_TOLERANCE.
bool RomTimingDrifts(const TapeBlock& block) {
  const BlockTiming& t = block.timing;
  const double measured = DataSpan(block, t.zero, t.one);
  const double nominal = DataSpan(block, ROM_ZERO_PULSE, ROM_ONE_PULSE);
  return std::fabs(measured - nominal) > MAX_ROM_DRIFT_TSTATES &&
         std::fabs(measured / nominal - 1.0) > ROM_SPEED_TOLERANCE;
}

// Sets `item`'s bit lengths to the block's measured ones, each rounded up
// or down, whichever pair makes the whole data span nearest the measured
// one, so that whole T-states do not add up to a drift over thousands of
// bits.
void RoundBitLengths(const TapeBlock& block, ImageItem& item) {
  const BlockTiming& t = block.timing;
  const double target = DataSpan(block, t.zero, t.one);
  double best = 1e300;
  for (double zero : {std::floor(t.zero), std::ceil(t.zero)}) {
    for (double one : {std::floor(t.one), std::ceil(t.one)}) {
      const double error = std::fabs(DataSpan(block, zero, one) - target);
      if (error < best) {
        best = error;
        item.zero = WholeTstates(zero);
        item.one = WholeTstates(one);
      }
    }
  }
}

// A ROM-timed block from a tape that ran fast or slow: the ROM's structure
// (pilot count by flag unless measured) at the measured speed.
ImageItem MeasuredRomItem(const TapeBlock& block) {
  const BlockTiming& t = block.timing;
  ImageItem item = RomItem(block);
  item.kind = ImageKind::TURBO;
  const double speed = DataSpan(block, t.zero, t.one) / DataSpan(block, ROM_ZERO_PULSE, ROM_ONE_PULSE);
  item.pilot = WholeTstates(t.pilot > 0.0 ? t.pilot : ROM_PILOT_PULSE * speed);
  item.sync1 = WholeTstates(ROM_SYNC1_PULSE * speed);
  item.sync2 = WholeTstates(ROM_SYNC2_PULSE * speed);
  if (t.pilotPulses > 0) item.pilotCount = static_cast<std::uint32_t>(t.pilotPulses);
  RoundBitLengths(block, item);
  return item;
}

ImageItem ItemFor(const TapePart& part, bool keepMeasured) {
  ImageItem item;
  if (const auto* block = std::get_if<TapeBlock>(&part)) {
    item.block = block;
    const BlockTiming& t = block->timing;
    const bool measured = t.pilot > 0.0 && t.zero > 0.0 && t.one > 0.0;
    const std::uint64_t bytes = block->bytes.size();
    const unsigned used = block->usedBits >= 1 && block->usedBits <= 8 ? block->usedBits : 8;
    if (t.pilot <= 0.0 && t.zero > 0.0 && t.one > 0.0 && !block->romTiming) {
      item.kind = ImageKind::DATA;
      item.zero = WholeTstates(t.zero);
      item.one = WholeTstates(t.one);
      item.bits = (bytes - 1) * 8 + used;
    } else if (!measured || (block->romTiming && used == 8 && !keepMeasured &&
                             !RomTimingDrifts(*block))) {
      item = RomItem(*block);
    } else if (block->romTiming && used == 8) {
      item = MeasuredRomItem(*block);
    } else {
      item.kind = ImageKind::TURBO;
      item.pilot = WholeTstates(t.pilot);
      item.sync1 = WholeTstates(t.sync1);
      item.sync2 = WholeTstates(t.sync2);
      RoundBitLengths(*block, item);
      item.pilotCount = t.pilotPulses > 0 ? static_cast<std::uint32_t>(t.pilotPulses)
                                          : (block->bytes[0] & 0x80 ? ROM_DATA_PILOT_PULSES
                                                                    : ROM_HEADER_PILOT_PULSES);
      item.bits = (bytes - 1) * 8 + used;
    }
    return item;
  }
  const auto& stretch = std::get<PulseStretch>(part);
  item.stretch = &stretch;
  if (stretch.kind == StretchKind::TONE && !stretch.pulses.empty()) {
    double total = 0.0;
    for (double p : stretch.pulses) total += p;
    item.kind = ImageKind::TONE;
    item.pilot = WholeTstates(total / static_cast<double>(stretch.pulses.size()));
    item.pilotCount = static_cast<std::uint32_t>(stretch.pulses.size());
  } else {
    item.kind = ImageKind::PULSES;
  }
  return item;
}

// Where, in T-states of the recording, the image should start the item.
double WantedStart(const ImageItem& item, const TapePart& part) {
  if (item.block && item.block->dataSeconds > 0.0) {
    const double lead = static_cast<double>(item.pilotCount) * item.pilot + item.sync1 + item.sync2;
    return item.block->dataSeconds * TSTATES_PER_SECOND - lead;
  }
  return PartStartSeconds(part) * TSTATES_PER_SECOND;
}

std::uint64_t Quantise(double tstates, std::uint64_t quantum) {
  const double q = static_cast<double>(quantum);
  // NaN and anything below half a quantum give one quantum.
  const double count = std::min(std::max(1.0, std::round(tstates / q)),
                                std::floor(static_cast<double>(MAX_PAUSE_TSTATES) / q));
  return static_cast<std::uint64_t>(count) * quantum;
}

}  // namespace

std::uint32_t WholeTstates(double tstates) {
  const double rounded = std::round(tstates);
  if (!(rounded >= 1.0)) return 1;  // NaN too
  if (rounded > 4294967295.0) return 4294967295u;
  return static_cast<std::uint32_t>(rounded);
}

ImageItem RomItem(const TapeBlock& block) {
  ImageItem item;
  item.block = &block;
  item.kind = ImageKind::ROM;
  item.pilot = static_cast<std::uint32_t>(ROM_PILOT_PULSE);
  item.sync1 = static_cast<std::uint32_t>(ROM_SYNC1_PULSE);
  item.sync2 = static_cast<std::uint32_t>(ROM_SYNC2_PULSE);
  item.zero = static_cast<std::uint32_t>(ROM_ZERO_PULSE);
  item.one = static_cast<std::uint32_t>(ROM_ONE_PULSE);
  item.pilotCount = block.bytes[0] & 0x80 ? ROM_DATA_PILOT_PULSES : ROM_HEADER_PILOT_PULSES;
  item.bits = static_cast<std::uint64_t>(block.bytes.size()) * 8;
  return item;
}

bool BitAt(const std::vector<std::uint8_t>& bytes, std::uint64_t index) {
  return (bytes[index / 8] >> (7 - index % 8)) & 1u;
}

std::uint64_t ItemDuration(const ImageItem& item) {
  switch (item.kind) {
    case ImageKind::ROM:
    case ImageKind::TURBO:
    case ImageKind::DATA: {
      std::uint64_t total = static_cast<std::uint64_t>(item.pilotCount) * item.pilot +
                            item.sync1 + item.sync2;
      for (std::uint64_t b = 0; b < item.bits; ++b)
        total += 2ull * (BitAt(item.block->bytes, b) ? item.one : item.zero);
      return total;
    }
    case ImageKind::TONE:
      return static_cast<std::uint64_t>(item.pilotCount) * item.pilot;
    case ImageKind::PULSES: {
      std::uint64_t total = 0;
      for (double p : item.stretch->pulses) total += WholeTstates(p);
      return total;
    }
  }
  return 0;
}

bool CPartLayout::Next(const TapePart& part, ImageItem& item) {
  const auto* block = std::get_if<TapeBlock>(&part);
  if (block && block->bytes.empty()) return false;
  if (!m_timed) {
    if (!block) return false;
    item = RomItem(*block);
    item.pauseBefore = m_any ? UNTIMED_PAUSE_TSTATES : 0;
    m_any = true;
    return true;
  }
  item = ItemFor(part, m_keepMeasured);
  const double start = PartStartSeconds(part) * TSTATES_PER_SECOND;
  if (start - m_recordingEnd > MIN_PAUSE_TSTATES) {
    item.pauseBefore = Quantise(WantedStart(item, part) - m_clock, m_quantum);
  }
  m_clock += static_cast<double>(item.pauseBefore) + static_cast<double>(ItemDuration(item));
  m_recordingEnd = std::max(m_recordingEnd, PartEndSeconds(part) * TSTATES_PER_SECOND);
  m_any = true;
  return true;
}

std::uint64_t CPartLayout::PauseAfter(double recordingSeconds) const {
  if (!m_timed) return m_any ? UNTIMED_PAUSE_TSTATES : 0;
  const double end = recordingSeconds * TSTATES_PER_SECOND;
  return end - m_recordingEnd > MIN_PAUSE_TSTATES ? Quantise(end - m_clock, m_quantum) : 0;
}

}  // namespace tapedecoder
