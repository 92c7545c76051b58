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

// A loader's symbols (`block.timing.symbolPulses`): the item's `zero` and
// `one` set to the symbols' whole lengths, each rounded up or down,
// whichever pair makes the data span nearest the measured one (as
// RoundBitLengths).
void RoundSymbols(const TapeBlock& block, ImageItem& item) {
  const BlockTiming& t = block.timing;
  if (t.symbolPulses <= 0) return;
  const double target = DataSpan(block, t.zero, t.one);
  double best = 1e300;
  for (double zero : {std::floor(2.0 * t.zero), std::ceil(2.0 * t.zero)}) {
    for (double one : {std::floor(2.0 * t.one), std::ceil(2.0 * t.one)}) {
      const double error = std::fabs(DataSpan(block, zero / 2.0, one / 2.0) - target);
      if (error < best) {
        best = error;
        item.zero = WholeTstates(zero);
        item.one = WholeTstates(one);
      }
    }
  }
  item.symbolPulses = static_cast<std::uint32_t>(std::min(t.symbolPulses, MAX_SYMBOL_PULSES));
}

// Drift from the measured timing that a block's pilot or data may gather
// in whole T-states before it is split (T-states): 30 us.
constexpr double MAX_PIECE_DRIFT_TSTATES = 105.0;

// Where the recording's bytes of `block` start, in T-states from its
// first byte, when every byte's start was measured and they run forward at
// no more than 10 % off `zero` and `one`; else empty (not measured, or a
// block put together from several readings).
std::vector<double> ByteStarts(const TapeBlock& block, std::uint64_t bits, double zero, double one) {
  const std::vector<double>& seconds = block.byteSeconds;
  const std::uint64_t byteCount = (bits + 7) / 8;
  if (seconds.size() != byteCount || byteCount < 2) return {};
  std::vector<double> starts(byteCount);
  double model = 0.0;
  for (std::uint64_t k = 0; k < byteCount; ++k) {
    starts[k] = (seconds[k] - seconds[0]) * TSTATES_PER_SECOND;
    if (k > 0 && !(starts[k] > starts[k - 1])) return {};  // NaN too
    const int ones = __builtin_popcount(block.bytes[k]);
    model += 2.0 * ((8 - ones) * zero + ones * one);
  }
  const double last = model - 2.0 * ((8 - __builtin_popcount(block.bytes.back())) * zero +
                                     __builtin_popcount(block.bytes.back()) * one);
  if (!(std::fabs(starts.back() - last) <= 0.10 * last)) return {};
  return starts;
}

// Plays the data of `item` at the recording's pace: in pieces of whole
// bytes, each at the pair of whole-T lengths around the measured `zero`
// and `one` that runs longest before the replay's byte starts leave
// +-MAX_PIECE_DRIFT_TSTATES of the recording's (`starts`). One piece is
// left as the item's own lengths.
// A loader's symbols are split alike, `zero` and `one` then being whole
// symbols.
void SplitData(ImageItem& item, const std::vector<double>& starts, double zero, double one) {
  const std::vector<std::uint8_t>& bytes = item.block->bytes;
  const std::uint64_t byteCount = starts.size();
  const double perBit = item.symbolPulses > 0 ? 1.0 : 2.0;
  auto span = [&](std::uint64_t k, double z, double o) {
    const int ones = __builtin_popcount(bytes[k]);
    return perBit * ((8 - ones) * z + ones * o);
  };
  std::vector<DataPiece> pieces;
  double written = 0.0;  // the replay's start of byte k, T-states from the first
  for (std::uint64_t k = 0; k < byteCount;) {
    std::uint64_t bestRun = 0;
    double bestZ = 0.0, bestO = 0.0, bestMiss = HUGE_VAL;
    for (double dz : {0.0, -1.0, 1.0}) {
      for (double dO : {0.0, -1.0, 1.0}) {
        const double z = std::max(1.0, std::round(zero) + dz), o = std::max(1.0, std::round(one) + dO);
        double at = written;
        std::uint64_t run = 0;
        // The last byte ends the block: nothing after it to keep in step.
        while (k + run < byteCount) {
          const double next = at + span(k + run, z, o);
          if (k + run + 1 < byteCount && std::fabs(next - starts[k + run + 1]) > MAX_PIECE_DRIFT_TSTATES) break;
          at = next;
          ++run;
        }
        // A byte no pair keeps in step: the pair that ends it nearest.
        const double miss = k + 1 < byteCount ? std::fabs(written + span(k, z, o) - starts[k + 1]) : 0.0;
        if (run > bestRun || (bestRun == 0 && run == 0 && miss < bestMiss)) {
          bestRun = run, bestZ = z, bestO = o, bestMiss = miss;
        }
      }
    }
    bestRun = std::max<std::uint64_t>(bestRun, 1);
    for (std::uint64_t b = 0; b < bestRun; ++b) written += span(k + b, bestZ, bestO);
    DataPiece piece;
    piece.firstBit = k * 8;
    piece.bits = std::min<std::uint64_t>((k + bestRun) * 8, item.bits) - piece.firstBit;
    piece.zero = WholeTstates(bestZ);
    piece.one = WholeTstates(bestO);
    pieces.push_back(piece);
    k += bestRun;
  }
  if (pieces.size() > 1) {
    item.pieces = std::move(pieces);
  } else if (!pieces.empty()) {
    item.zero = pieces[0].zero;
    item.one = pieces[0].one;
  }
}

// The data of a measured block at its recording's pace where its bytes'
// starts were measured; otherwise at one pair of lengths.
void LayData(const TapeBlock& block, ImageItem& item) {
  const BlockTiming& t = block.timing;
  const std::vector<double> starts = ByteStarts(block, item.bits, t.zero, t.one);
  const double perBit = item.symbolPulses > 0 ? 2.0 : 1.0;  // symbols: whole lengths
  if (!starts.empty()) SplitData(item, starts, perBit * t.zero, perBit * t.one);
}

// Splits the pilot of `item` (`pilotCount` pulses of mean `mean`) into
// runs of the whole-T lengths below and above it, so that its edges drift
// at most MAX_PIECE_DRIFT_TSTATES from the mean's, when one length does
// not keep them there.
void SplitPilot(ImageItem& item, std::uint32_t count, double mean) {
  const double low = std::floor(mean), high = low + 1.0;
  const double below = mean - low;  // each low pulse loses this, each high gains 1 - below
  if (std::fabs(mean - std::round(mean)) * count <= MAX_PIECE_DRIFT_TSTATES) return;
  std::vector<PulseRun> runs;
  double error = 0.0;
  std::uint32_t left = count;
  bool useLow = true;
  while (left > 0) {
    const double step = useLow ? below : 1.0 - below;
    const double room = useLow ? error + MAX_PIECE_DRIFT_TSTATES : MAX_PIECE_DRIFT_TSTATES - error;
    const auto fit = static_cast<std::uint32_t>(std::max(1.0, std::floor(room / step)));
    const std::uint32_t count = std::min(left, fit);
    runs.push_back({count, WholeTstates(useLow ? low : high)});
    error += (useLow ? -below : 1.0 - below) * count;
    left -= count;
    useLow = !useLow;
  }
  item.pilotRuns = std::move(runs);
}

// A ROM-timed block from a tape that ran fast or slow: the ROM's structure
// (pilot count by flag unless measured) at the measured speed.
ImageItem MeasuredRomItem(const TapeBlock& block, bool followDrift) {
  const BlockTiming& t = block.timing;
  ImageItem item = RomItem(block);
  item.kind = ImageKind::TURBO;
  const double speed = DataSpan(block, t.zero, t.one) / DataSpan(block, ROM_ZERO_PULSE, ROM_ONE_PULSE);
  item.pilot = WholeTstates(t.pilot > 0.0 ? t.pilot : ROM_PILOT_PULSE * speed);
  item.sync1 = WholeTstates(ROM_SYNC1_PULSE * speed);
  item.sync2 = WholeTstates(ROM_SYNC2_PULSE * speed);
  if (t.pilotPulses > 0) item.pilotCount = static_cast<std::uint32_t>(t.pilotPulses);
  RoundBitLengths(block, item);
  if (followDrift) {
    SplitPilot(item, item.pilotCount, t.pilot > 0.0 ? t.pilot : ROM_PILOT_PULSE * speed);
    LayData(block, item);
  }
  return item;
}

// A pulse of a tone this far off its mean or more is no pulse of the tone
// (a click the segmenter bridged); the tone's even and odd pulses whose
// means lie further apart than twice MAX_PIECE_DRIFT_TSTATES alternate
// (a clicking pilot), so that one length would put every other edge off.
constexpr double TONE_OFF_SHARE = 0.15;

// One pulse of `length` T-states as a run of its own, rounded so that the
// runs' end keeps nearest the recording's (`lag`, as below).
void AppendPulse(double length, std::vector<PulseRun>& runs, double& lag) {
  const std::uint32_t whole = WholeTstates(length + lag);
  runs.push_back({1, whole});
  lag += length - whole;
}

// The runs of `pulses` (`count` pulses from `from`, near their mean)
// appended to `runs`: the pulses as they are where they alternate, else
// one run whose whole-T length ends it nearest the recording's end of it
// (`lag`: the recording's time, T-states, less the runs' so far, carried
// from run to run so that rounding does not add up along the tone).
void AppendToneRun(const std::vector<double>& pulses, std::size_t from, std::size_t count,
                   std::vector<PulseRun>& runs, double& lag) {
  double sum[2] = {0.0, 0.0};
  for (std::size_t k = 0; k < count; ++k) sum[k % 2] += pulses[from + k];
  const double half[2] = {std::ceil(count / 2.0), std::floor(count / 2.0)};
  if (count >= 4 && std::fabs(sum[0] / half[0] - sum[1] / half[1]) > 2.0 * MAX_PIECE_DRIFT_TSTATES) {
    for (std::size_t k = 0; k < count; ++k) AppendPulse(pulses[from + k], runs, lag);
    return;
  }
  const std::uint32_t length = WholeTstates((sum[0] + sum[1] + lag) / static_cast<double>(count));
  runs.push_back({static_cast<std::uint32_t>(count), length});
  lag += sum[0] + sum[1] - static_cast<double>(count) * length;
}

// A tone that one length plays out of step with the recording: in runs
// around the pulses off its mean (each played as it is), each run at its
// own mean, or its pulses as they are where they alternate. Leaves `item`
// as it is when every pulse is near the mean and none alternate.
void ToneRuns(const std::vector<double>& pulses, ImageItem& item) {
  const double mean = static_cast<double>(item.pilot);
  std::vector<PulseRun> runs;
  double lag = 0.0;
  std::size_t from = 0;
  for (std::size_t k = 0; k <= pulses.size(); ++k) {
    if (k < pulses.size() && std::fabs(pulses[k] - mean) <= TONE_OFF_SHARE * mean) continue;
    if (k > from) AppendToneRun(pulses, from, k - from, runs, lag);
    if (k < pulses.size()) AppendPulse(pulses[k], runs, lag);
    from = k + 1;
  }
  if (runs.size() > 1) item.pilotRuns = std::move(runs);
}

ImageItem ItemFor(const TapePart& part, bool keepMeasured, bool followDrift) {
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
      RoundSymbols(*block, item);
      if (followDrift) LayData(*block, item);
    } else if (!measured || (block->romTiming && used == 8 && !keepMeasured &&
                             !RomTimingDrifts(*block))) {
      item = RomItem(*block);
    } else if (block->romTiming && used == 8) {
      item = MeasuredRomItem(*block, followDrift);
    } else {
      item.kind = ImageKind::TURBO;
      item.pilot = WholeTstates(t.pilot);
      item.sync1 = WholeTstates(t.sync1);
      item.sync2 = t.sync2 > 0.0 ? WholeTstates(t.sync2) : 0;  // 0: a sync of one pulse
      RoundBitLengths(*block, item);
      item.pilotCount = t.pilotPulses > 0 ? static_cast<std::uint32_t>(t.pilotPulses)
                                          : (block->bytes[0] & 0x80 ? ROM_DATA_PILOT_PULSES
                                                                    : ROM_HEADER_PILOT_PULSES);
      item.bits = (bytes - 1) * 8 + used;
      RoundSymbols(*block, item);
      if (followDrift) {
        SplitPilot(item, item.pilotCount, t.pilot);
        LayData(*block, item);
      }
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
    ToneRuns(stretch.pulses, item);
    if (followDrift && item.pilotRuns.empty())
      SplitPilot(item, item.pilotCount, total / static_cast<double>(stretch.pulses.size()));
  } else {
    item.kind = ImageKind::PULSES;
  }
  return item;
}

// Where, in T-states of the recording, the image should start the item.
double WantedStart(const ImageItem& item, const TapePart& part) {
  if (item.block && item.block->dataSeconds > 0.0) {
    double lead = static_cast<double>(item.sync1) + item.sync2;
    if (item.kind != ImageKind::DATA)
      for (const PulseRun& run : PilotRunsOf(item)) lead += static_cast<double>(run.count) * run.length;
    return item.block->dataSeconds * TSTATES_PER_SECOND - lead;
  }
  return PartStartSeconds(part) * TSTATES_PER_SECOND;
}

// Puts `rest` T-states (what rounding the pause before `item` to whole
// quanta left over; negative where the pause came out longer than the
// gap) into the item's first pulse, so that its later edges fall where the
// recording's did. A first pulse that would shrink below a T-state takes a
// quantum from the pause instead; one beyond a pulse record's 65535 T, or
// an item whose first pulse no record can change (ROM, DATA), keeps it.
void TakeUpPauseRest(ImageItem& item, double rest, std::uint64_t quantum) {
  constexpr double MAX_PULSE = 65535.0;
  double shift = std::round(rest);
  if (shift == 0.0) return;
  std::vector<PulseRun> runs;
  double first = 0.0;
  if (item.kind == ImageKind::TURBO || item.kind == ImageKind::TONE) {
    runs = PilotRunsOf(item);
    if (runs.empty() || runs[0].count == 0) return;
    first = runs[0].length;
  } else if (item.kind == ImageKind::PULSES && !item.stretch->pulses.empty()) {
    first = WholeTstates(item.stretch->pulses[0]);
  } else {
    return;
  }
  if (first + shift < 1.0 && item.pauseBefore > quantum) {
    item.pauseBefore -= quantum;
    shift += static_cast<double>(quantum);
  }
  if (first + shift < 1.0 || first + shift > MAX_PULSE) return;
  if (item.kind == ImageKind::PULSES) {
    item.firstPulseShift = static_cast<std::int32_t>(shift);
    return;
  }
  // The first pulse as a run of its own, the run it came from one shorter.
  const PulseRun head{1, static_cast<std::uint32_t>(first + shift)};
  if (--runs[0].count == 0) {
    runs[0] = head;
  } else {
    runs.insert(runs.begin(), head);
  }
  item.pilotRuns = std::move(runs);
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

void SymbolPulses(const ImageItem& item, bool one, std::uint32_t length, std::uint32_t* out) {
  const BlockTiming& t = item.block->timing;
  const double* measured = one ? t.oneSymbol : t.zeroSymbol;
  const std::uint32_t k = std::min<std::uint32_t>(item.symbolPulses, MAX_SYMBOL_PULSES);
  double whole = 0.0;
  for (std::uint32_t i = 0; i < k; ++i) whole += measured[i];
  const double scale = whole > 0.0 ? length / whole : 0.0;
  double at = 0.0, done = 0.0;
  for (std::uint32_t i = 0; i < k; ++i) {
    at += measured[i] * scale;
    const double end = std::max(std::round(at), done + 1.0);
    out[i] = WholeTstates(end - done);
    done = end;
  }
}

std::vector<DataPiece> PiecesOf(const ImageItem& item) {
  if (!item.pieces.empty()) return item.pieces;
  return {DataPiece{0, item.bits, item.zero, item.one}};
}

std::vector<PulseRun> PilotRunsOf(const ImageItem& item) {
  if (!item.pilotRuns.empty()) return item.pilotRuns;
  return {PulseRun{item.pilotCount, item.pilot}};
}

std::uint64_t ItemDuration(const ImageItem& item) {
  switch (item.kind) {
    case ImageKind::ROM:
    case ImageKind::TURBO:
    case ImageKind::DATA: {
      std::uint64_t total = 0;
      ForEachPulse(item, [&](std::uint32_t length) { total += length; });
      return total;
    }
    case ImageKind::TONE: {
      std::uint64_t total = 0;
      for (const PulseRun& run : PilotRunsOf(item)) total += static_cast<std::uint64_t>(run.count) * run.length;
      return total;
    }
    case ImageKind::PULSES: {
      std::uint64_t total = 0;
      for (std::size_t k = 0; k < item.stretch->pulses.size(); ++k) total += PulseAt(item, k);
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
  item = ItemFor(part, m_keepMeasured, m_followDrift);
  const double start = PartStartSeconds(part) * TSTATES_PER_SECOND;
  if (start - m_recordingEnd > MIN_PAUSE_TSTATES) {
    const double gap = WantedStart(item, part) - m_clock;
    item.pauseBefore = Quantise(gap, m_quantum);
    // (NaN and a gap beyond the longest pause keep their rounding)
    if (std::fabs(gap - static_cast<double>(item.pauseBefore)) < static_cast<double>(m_quantum))
      TakeUpPauseRest(item, gap - static_cast<double>(item.pauseBefore), m_quantum);
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
