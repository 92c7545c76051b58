#include "tapefile/image_layout.h"

#include <algorithm>
#include <cmath>

#include "tapefile/pulse_segmenter.h"

namespace tapedecoder {

namespace {

// A gap in the recording longer than this (T-states) is a pause.
constexpr double MIN_PAUSE_TSTATES = 7000.0;  // 2 ms

std::uint32_t Whole(double tstates) {
  const double rounded = std::round(tstates);
  if (!(rounded >= 1.0)) return 1;  // NaN too
  if (rounded > 4294967295.0) return 4294967295u;
  return static_cast<std::uint32_t>(rounded);
}

ImageItem ItemFor(const TapePart& part) {
  ImageItem item;
  if (const auto* block = std::get_if<TapeBlock>(&part)) {
    item.block = block;
    const BlockTiming& t = block->timing;
    const bool measured = t.pilot > 0.0 && t.zero > 0.0 && t.one > 0.0;
    const std::uint64_t bytes = block->bytes.size();
    const unsigned used = block->usedBits >= 1 && block->usedBits <= 8 ? block->usedBits : 8;
    if (t.pilot <= 0.0 && t.zero > 0.0 && t.one > 0.0 && !block->romTiming) {
      item.kind = ImageKind::DATA;
      item.zero = Whole(t.zero);
      item.one = Whole(t.one);
      item.bits = (bytes - 1) * 8 + used;
    } else if (!measured || (block->romTiming && used == 8)) {
      item = RomItem(*block);
    } else {
      item.kind = ImageKind::TURBO;
      item.pilot = Whole(t.pilot);
      item.sync1 = Whole(t.sync1);
      item.sync2 = Whole(t.sync2);
      item.zero = Whole(t.zero);
      item.one = Whole(t.one);
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
    item.pilot = Whole(total / static_cast<double>(stretch.pulses.size()));
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
      for (double p : item.stretch->pulses) total += Whole(p);
      return total;
    }
  }
  return 0;
}

ImageLayout LayOutParts(const std::vector<TapePart>& parts, double recordingSeconds,
                        std::uint64_t pauseQuantum) {
  ImageLayout layout;
  double clock = 0.0;         // the image's time, T-states
  double recordingEnd = 0.0;  // the previous part's end in the recording
  for (const TapePart& part : parts) {
    if (const auto* block = std::get_if<TapeBlock>(&part); block && block->bytes.empty())
      continue;
    ImageItem item = ItemFor(part);
    const double start = PartStartSeconds(part) * TSTATES_PER_SECOND;
    if (start - recordingEnd > MIN_PAUSE_TSTATES) {
      item.pauseBefore = Quantise(WantedStart(item, part) - clock, pauseQuantum);
    }
    clock += static_cast<double>(item.pauseBefore) + static_cast<double>(ItemDuration(item));
    recordingEnd = std::max(recordingEnd, PartEndSeconds(part) * TSTATES_PER_SECOND);
    layout.items.push_back(item);
  }
  const double end = recordingSeconds * TSTATES_PER_SECOND;
  if (end - recordingEnd > MIN_PAUSE_TSTATES)
    layout.pauseAfter = Quantise(end - clock, pauseQuantum);
  return layout;
}

}  // namespace tapedecoder
