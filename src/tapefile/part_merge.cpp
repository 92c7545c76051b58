#include "tapefile/part_merge.h"

#include <algorithm>
#include <cmath>
#include <iterator>
#include <utility>

#include "tapefile/pulse_segmenter.h"

namespace tapedecoder {

namespace {

// The share of a block's bytes two readings of it hold alike where one
// stands for the other.
constexpr double MIN_AGREEMENT = 0.9;

struct Span {
  double start;
  double end;
};

// True when [start, end] overlaps a span; `spans` sorted by start, with
// ends ascending as well (the decoder's blocks do not nest).
bool Overlaps(const std::vector<Span>& spans, double start, double end) {
  auto it = std::lower_bound(spans.begin(), spans.end(), start,
                             [](const Span& s, double t) { return s.end < t; });
  return it != spans.end() && it->start <= end;
}

void KeepOutside(const PulseStretch& stretch, const std::vector<Span>& spans,
                 std::vector<TapePart>& out) {
  PulseStretch piece;
  bool open = false;
  double t = stretch.startSeconds;
  for (std::size_t k = 0; k < stretch.pulses.size(); ++k) {
    const double end = t + stretch.pulses[k] / TSTATES_PER_SECOND;
    if (Overlaps(spans, t, end)) {
      if (open) out.emplace_back(std::move(piece));
      piece = PulseStretch();
      open = false;
    } else {
      if (!open) {
        piece.startSeconds = t;
        piece.firstPulseHigh = stretch.firstPulseHigh == (k % 2 == 0);
        piece.kind = stretch.kind;
        open = true;
      }
      piece.pulses.push_back(stretch.pulses[k]);
    }
    t = end;
  }
  if (open) out.emplace_back(std::move(piece));
}

// True when `timing` lies clearly off the ROM's: a pilot, or either bit
// length, more than 15 % away. Worn tapes bend ROM blocks by 5-7 %
// (stretched tape, a slow motor); a loader's timings differ by far more.
bool ClearlyOffRom(const BlockTiming& timing) {
  constexpr double MAX_BEND = 0.15;
  auto off = [](double measured, double rom) {
    return measured > 0.0 && std::fabs(measured / rom - 1.0) > MAX_BEND;
  };
  return off(timing.pilot, ROM_PILOT_PULSE) || off(timing.zero, ROM_ZERO_PULSE) ||
         off(timing.one, ROM_ONE_PULSE);
}

// True when pilotless data `parts[k]` is a piece of a longer run the
// segmenter's edges broke up (a damaged turbo block): on each side of it,
// over nothing but pulses and no pause, lies more pilotless data at its bit
// lengths that does not verify. One such piece in 256 verifies by chance;
// a block that is one runs from a pause, a pilot or a block that verifies.
bool PieceOfBrokenRun(const std::vector<TapePart>& parts, std::size_t k) {
  constexpr double MAX_GAP_SECONDS = 0.02;
  constexpr double MAX_REACH_SECONDS = 0.25;
  constexpr double BIT_TOLERANCE = 0.1;
  const TapeBlock& piece = std::get<TapeBlock>(parts[k]);
  if (piece.timing.pilot > 0.0 || piece.timing.zero <= 0.0) return false;
  const auto alike = [](double a, double b) { return std::fabs(a / b - 1.0) <= BIT_TOLERANCE; };
  const auto brokenBeside = [&](bool before) {
    double edge = before ? PartStartSeconds(parts[k]) : PartEndSeconds(parts[k]);
    const double from = edge;
    for (std::size_t j = k; before ? j-- > 0 : ++j < parts.size();) {
      const TapePart& part = parts[j];
      const double gap = before ? edge - PartEndSeconds(part) : PartStartSeconds(part) - edge;
      if (gap > MAX_GAP_SECONDS) return false;
      if (const TapeBlock* block = std::get_if<TapeBlock>(&part))
        return block->timing.pilot <= 0.0 && !BlockVerifies(block->bytes) &&
               alike(block->timing.zero, piece.timing.zero) && alike(block->timing.one, piece.timing.one);
      edge = before ? PartStartSeconds(part) : PartEndSeconds(part);
      if (std::fabs(edge - from) > MAX_REACH_SECONDS) return false;
    }
    return false;
  };
  return brokenBeside(true) && brokenBeside(false);
}

// A reading of a stretch where the robust decoder read a ROM block (its
// readers find only syncs in the ROM's ratios), with a pilot and bit
// lengths near the ROM's, is that ROM block: a sync the segmenter's plain
// edges misread (a high-pass bends the short sync pulses) does not make it
// a loader's. It keeps the robust block's sync.
void KeepRomTiming(TapeBlock& reading, const TapeBlock& robust) {
  if (!robust.romTiming || reading.romTiming || reading.timing.pilot <= 0.0 || ClearlyOffRom(reading.timing))
    return;
  reading.romTiming = true;
  reading.timing.sync1 = robust.timing.sync1;
  reading.timing.sync2 = robust.timing.sync2;
}

// Where the segmenter read on past the end of a robust block -- its data
// starting with the same bits, at the same place -- the bits ran on (a
// loader reading more than a header announced): the block is the longer
// one, with the robust block's bytes for the part both read. A few bytes
// more that do not verify are no run-on: the edges a filtered block's end
// rings with read as a stray byte, and taking it would turn a block that
// verifies into one that does not. A ROM block stays one.
void RunOn(TapeBlock& robust, const std::vector<TapePart>& parts) {
  constexpr double SAME_START_SECONDS = 0.002;
  constexpr std::size_t MIN_UNVERIFIED_RUN_ON = 8;  // bytes
  for (const TapePart& part : parts) {
    const auto* block = std::get_if<TapeBlock>(&part);
    if (!block || block->bytes.size() <= robust.bytes.size() ||
        std::fabs(block->dataSeconds - robust.dataSeconds) > SAME_START_SECONDS)
      continue;
    if (block->bytes.size() < robust.bytes.size() + MIN_UNVERIFIED_RUN_ON && !BlockVerifies(block->bytes))
      continue;
    std::size_t same = 0;
    for (std::size_t k = 0; k < robust.bytes.size(); ++k) same += block->bytes[k] == robust.bytes[k];
    if (same < MIN_AGREEMENT * static_cast<double>(robust.bytes.size())) continue;
    TapeBlock longer = *block;
    std::copy(robust.bytes.begin(), robust.bytes.end(), longer.bytes.begin());
    longer.origin = robust.origin;
    KeepRomTiming(longer, robust);
    robust = std::move(longer);
    return;
  }
}

// True when a pulse of `t` T-states lies within 15 % of a bit's pulse of
// `timing` (a run of like bits reads as a short pilot or a tone).
bool NearBitPulse(double t, const BlockTiming& timing) {
  constexpr double MAX_BEND = 0.15;
  auto near = [t](double bit) { return bit > 0.0 && std::fabs(t / bit - 1.0) <= MAX_BEND; };
  return near(timing.zero) || near(timing.one);
}

// True when the segmenter's `reading` stands in the listing for `robust`,
// a block that does not verify, over the same stretch: a reading that
// verifies (at any timing: the data read whole), or a block with a pilot
// in clearly other timings (a loader's block the robust decoder misread
// in the ROM's ratios). A worn ROM block the segmenter measures a little
// off, or reads in pieces after a dropout, stays the ROM block. So does a
// long block the segmenter reads in pieces where noise broke its bits: a
// piece that starts inside the robust block's data stands for it only
// when it verifies and is most of it, or has a pilot of its own (a run of
// like bits in the data reads as a short "pilot" at a bit's length; a run
// of ascending bytes verifies by its pattern).
bool ReadsBetter(const TapeBlock& reading, const TapeBlock& robust) {
  constexpr double SAME_DATA_SECONDS = 0.005;
  const bool ownPilot = reading.timing.pilot > 0.0 && !NearBitPulse(reading.timing.pilot, robust.timing);
  const double robustData = std::max(robust.startSeconds, robust.dataSeconds);
  if (reading.startSeconds > robustData + SAME_DATA_SECONDS)
    return BlockVerifies(reading.bytes) && (ownPilot || 2 * reading.bytes.size() >= robust.bytes.size());
  // Data with no pilot from before the robust block's data: its pilot and
  // sync read as bits, the data after them shifted (a phase smear blurs
  // the pilot), which may verify by chance.
  if (reading.timing.pilot <= 0.0 && reading.dataSeconds < robustData - SAME_DATA_SECONDS) return false;
  // A "pilot" of a few pulses where the robust block's pilot ends, at the
  // ROM's bit lengths: the segmenter lost the sync in a smear and took the
  // pilot's last pulses and the sync's for a sync of its own guessing. Its
  // bits may be a place out of step, and a block that starts with a flag
  // and zeros (a blank screen's rows) verifies so all the same. It stands
  // for the block only where it reads most of the robust block's bytes.
  constexpr std::int32_t MIN_OWN_PILOT_PULSES = 16;
  if (reading.timing.pilot > 0.0 && reading.timing.pilotPulses < MIN_OWN_PILOT_PULSES &&
      robust.timing.pilotPulses >= MIN_OWN_PILOT_PULSES && !ClearlyOffRom(reading.timing)) {
    std::size_t same = 0;
    const std::size_t both = std::min(reading.bytes.size(), robust.bytes.size());
    for (std::size_t k = 0; k < both; ++k) same += reading.bytes[k] == robust.bytes[k];
    if (same < MIN_AGREEMENT * static_cast<double>(robust.bytes.size())) return false;
  }
  // A reading at other timings that fails too stands for the block only
  // where it reads through at least half of its data: one that breaks off
  // early (a band limit swallowed the zeros' edges, so pairs of them read
  // as one long bit) explains less than the reading it would replace.
  constexpr double MIN_SHARE_READ = 0.5;
  return BlockVerifies(reading.bytes) ||
         (reading.timing.pilot > 0.0 && ClearlyOffRom(reading.timing) &&
          reading.endSeconds >= robustData + MIN_SHARE_READ * (robust.endSeconds - robustData));
}

}  // namespace

bool ReadAtOtherBitLengths(const TapeBlock& robust, const std::vector<TapePart>& parts) {
  constexpr double MAX_DIFFERENCE = 0.2;
  constexpr double SAME_DATA_SECONDS = 0.005;
  for (const TapePart& part : parts) {
    const auto* block = std::get_if<TapeBlock>(&part);
    if (!block || block->timing.zero <= 0.0 || robust.timing.zero <= 0.0) continue;
    if (block->startSeconds >= robust.endSeconds || robust.startSeconds >= block->endSeconds) continue;
    if (block->bytes.size() < robust.bytes.size() ||
        std::fabs(block->dataSeconds - robust.dataSeconds) > SAME_DATA_SECONDS)
      continue;
    if (std::fabs(robust.timing.zero - block->timing.zero) > MAX_DIFFERENCE * block->timing.zero)
      return true;
  }
  // The robust decoder read on where the loader went on at other bit
  // lengths: the segmenter's block ends there, verifying, and the next one
  // starts straight after it.
  for (std::size_t k = 0; k + 1 < parts.size(); ++k) {
    const auto* block = std::get_if<TapeBlock>(&parts[k]);
    const auto* next = std::get_if<TapeBlock>(&parts[k + 1]);
    if (!block || !next || block->bytes.size() >= robust.bytes.size() || next->timing.pilot > 0.0 ||
        std::fabs(block->dataSeconds - robust.dataSeconds) > SAME_DATA_SECONDS ||
        std::fabs(next->dataSeconds - block->endSeconds) > SAME_DATA_SECONDS)
      continue;
    if (BlockVerifies(block->bytes) &&
        std::fabs(next->timing.zero - block->timing.zero) > MAX_DIFFERENCE * block->timing.zero)
      return true;
  }
  return false;
}

bool ReadFurtherThere(const TapeBlock& robust, const std::vector<TapePart>& parts) {
  constexpr double SAME_START_SECONDS = 0.010;
  constexpr double END_SLACK_SECONDS = 0.002;
  for (const TapePart& part : parts) {
    const auto* block = std::get_if<TapeBlock>(&part);
    if (!block || block->timing.pilot <= 0.0 || block->bytes.size() <= robust.bytes.size() ||
        std::fabs(block->startSeconds - robust.startSeconds) > SAME_START_SECONDS ||
        block->endSeconds < robust.endSeconds - END_SLACK_SECONDS)
      continue;
    if (BlockVerifies(block->bytes) && !std::equal(robust.bytes.begin(), robust.bytes.end(), block->bytes.begin()))
      return true;
  }
  return false;
}

void RunOnBlocks(std::vector<TapeBlock>& robust, const std::vector<TapePart>& parts) {
  for (TapeBlock& block : robust) RunOn(block, parts);
}

void TakeMeasuredBitLengths(std::vector<TapeBlock>& robust, const std::vector<TapePart>& parts) {
  constexpr double SAME_DATA_SECONDS = 0.002;
  for (TapeBlock& block : robust) {
    for (const TapePart& part : parts) {
      const auto* reading = std::get_if<TapeBlock>(&part);
      if (!reading || reading->bytes != block.bytes || reading->usedBits != block.usedBits ||
          !(std::fabs(reading->dataSeconds - block.dataSeconds) <= SAME_DATA_SECONDS) ||
          !(reading->timing.zero > 0.0 && reading->timing.one > 0.0))
        continue;
      if (block.romTiming) {
        // Read in the ROM's ratios, but a loader's: its bits in unequal
        // halves, its timing other than the ROM's. It takes the segmenter's
        // timing whole.
        if (reading->romTiming || reading->timing.symbolPulses == 0) break;
        block.timing = reading->timing;
        block.romTiming = false;
        block.byteSeconds = reading->byteSeconds;
        break;
      }
      block.timing.zero = reading->timing.zero;
      block.timing.one = reading->timing.one;
      block.timing.symbolPulses = reading->timing.symbolPulses;
      std::copy(std::begin(reading->timing.zeroSymbol), std::end(reading->timing.zeroSymbol),
                std::begin(block.timing.zeroSymbol));
      std::copy(std::begin(reading->timing.oneSymbol), std::end(reading->timing.oneSymbol),
                std::begin(block.timing.oneSymbol));
      block.byteSeconds = reading->byteSeconds;
      break;
    }
  }
}

std::vector<TapePart> MergeRobustBlocks(const std::vector<TapeBlock>& robust,
                                        const std::vector<TapePart>& parts) {
  std::vector<Span> spans;
  for (const TapeBlock& block : robust) {
    // A block without finite times covers nothing (it is still kept).
    if (!std::isfinite(block.startSeconds) || !std::isfinite(block.endSeconds)) continue;
    spans.push_back({std::min(block.startSeconds, block.endSeconds),
                     std::max(block.startSeconds, block.endSeconds)});
  }
  std::sort(spans.begin(), spans.end(), [](const Span& a, const Span& b) { return a.start < b.start; });
  // Make the ends ascending, so one search finds any overlap.
  for (std::size_t k = 1; k < spans.size(); ++k) spans[k].end = std::max(spans[k].end, spans[k - 1].end);

  std::vector<TapePart> merged;
  for (const TapeBlock& block : robust) merged.emplace_back(block);
  for (const TapePart& part : parts) {
    const auto* stretch = std::get_if<PulseStretch>(&part);
    if (stretch && stretch->kind != StretchKind::TONE) {
      KeepOutside(*stretch, spans, merged);
    } else {
      // A robust block's end may lie a little past its last edge (the last
      // bit's expected end): a block or tone straight after it, with no
      // pause between, touches it by that much and is still kept.
      constexpr double EDGE_SLACK_SECONDS = 0.005;
      const double start = PartStartSeconds(part), end = PartEndSeconds(part);
      const double slack = std::min(EDGE_SLACK_SECONDS, 0.25 * (end - start));
      if (!Overlaps(spans, start + slack, end - slack)) merged.push_back(part);
    }
  }
  // Recording order; robust blocks first among equal starts. (An index
  // sort: stable_sort's scratch buffer is no better and allocates.)
  // A start that is no number goes last.
  std::vector<std::size_t> order(merged.size());
  std::vector<double> starts(merged.size());
  for (std::size_t k = 0; k < order.size(); ++k) {
    order[k] = k;
    const double start = PartStartSeconds(merged[k]);
    starts[k] = std::isnan(start) ? HUGE_VAL : start;
  }
  std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
    return starts[a] < starts[b] || (starts[a] == starts[b] && a < b);
  });
  std::vector<TapePart> sorted;
  sorted.reserve(merged.size());
  for (std::size_t k : order) sorted.push_back(std::move(merged[k]));
  return sorted;
}

namespace {

// Gaps over this are pauses (the layout's rule).
constexpr double MIN_PAUSE_SECONDS = 0.002;

}  // namespace

void CPartTally::Add(const TapePart& part) {
  if (const auto* block = std::get_if<TapeBlock>(&part)) {
    if (block->bytes.empty()) return;
    (block->romTiming ? m_tally.romBlocks
                      : block->timing.pilot > 0.0 ? m_tally.turboBlocks : m_tally.pureData)++;
  } else {
    (std::get<PulseStretch>(part).kind == StretchKind::TONE ? m_tally.tones : m_tally.pulseStretches)++;
  }
  if (PartStartSeconds(part) - m_end > MIN_PAUSE_SECONDS) ++m_tally.pauses;
  m_end = std::max(m_end, PartEndSeconds(part));
}

PartTally CPartTally::Finish(double recordingSeconds) const {
  PartTally tally = m_tally;
  if (recordingSeconds - m_end > MIN_PAUSE_SECONDS) ++tally.pauses;
  return tally;
}

PartTally TallyParts(const std::vector<TapePart>& parts, double recordingSeconds) {
  CPartTally tally;
  for (const TapePart& part : parts) tally.Add(part);
  return tally.Finish(recordingSeconds);
}

CPartMerger::CPartMerger(PartOut parts, BlockOut blocks)
    : m_parts(std::move(parts)), m_blocks(std::move(blocks)) {}

void RealignLateBlock(TapeBlock& block, bool lateSync) {
  // The ROM saves the block a header announces with flag 0xFF. Read one
  // bit late (a deck's phase smear delays the sync's edges until the
  // first bit passes for its end), it comes as flag 0xFE with every bit a
  // place early -- and half such readings still verify. Read a bit
  // earlier (a 1 first, the bit read past the end dropped), it is the
  // block when that verifies. Where the block's second byte starts with a
  // 1 the late reading keeps flag 0xFF, and both verify whenever the bit
  // read past the end is a 1: only a sync whose pulses show that it ended
  // on a one's first pulse (`lateSync`) then tells that a bit was lost.
  std::vector<std::uint8_t>& bytes = block.bytes;
  if (bytes.empty() || block.usedBits != 8 || !(bytes[0] == 0xFE || (lateSync && bytes[0] == 0xFF))) return;
  std::vector<std::uint8_t> earlier(bytes.size());
  std::uint8_t carry = 0x80;
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    earlier[i] = static_cast<std::uint8_t>(carry | (bytes[i] >> 1));
    carry = static_cast<std::uint8_t>(bytes[i] << 7);
  }
  if (!ChecksumGood(earlier)) return;
  bytes = std::move(earlier);
  block.origin = BlockOrigin::SYNC_REPAIRED;
  // The first bit, a 1, starts two pulses of a one earlier.
  const double bit = 2.0 * block.timing.one / TSTATES_PER_SECOND;
  block.dataSeconds -= bit;
  for (double& at : block.byteSeconds) at -= bit;
}

void CPartMerger::RealignLateBlocks(std::vector<TapeBlock>& robust, std::vector<TapePart>& found) {
  // The ROM headers that verify, by their ends: the robust decoder's, and
  // the segmenter's where the robust decoder read none (the segmenter's may
  // be read a bit late itself, and verify by chance).
  std::vector<Announced> headers;
  if (m_lastHeader.length > 0) headers.push_back(m_lastHeader);
  auto announce = [&headers](const TapeBlock& block) {
    const auto header = ParseRomHeader(block.bytes);
    if (header) headers.push_back({block.endSeconds, static_cast<std::size_t>(header->length) + 2});
    return header.has_value();
  };
  std::vector<const TapeBlock*> robustHeaders;
  std::vector<TapeBlock*> blocks;
  for (TapeBlock& block : robust) {
    if (announce(block)) robustHeaders.push_back(&block);
    blocks.push_back(&block);
  }
  for (TapePart& part : found) {
    TapeBlock* block = std::get_if<TapeBlock>(&part);
    if (block == nullptr) continue;
    blocks.push_back(block);
    const bool robustToo = std::any_of(robustHeaders.begin(), robustHeaders.end(), [block](const TapeBlock* r) {
      return r->startSeconds < block->endSeconds && block->startSeconds < r->endSeconds;
    });
    if (!robustToo) announce(*block);
  }
  std::sort(headers.begin(), headers.end(), [](const Announced& a, const Announced& b) { return a.end < b.end; });
  // The data block follows its header within a pause and a pilot.
  constexpr double MAX_HEADER_TO_DATA_SECONDS = 10.0;
  for (TapeBlock* block : blocks) {
    const auto after = std::upper_bound(headers.begin(), headers.end(), block->startSeconds,
                                        [](double start, const Announced& h) { return start < h.end; });
    const bool announced = after != headers.begin() &&
                           block->startSeconds - std::prev(after)->end <= MAX_HEADER_TO_DATA_SECONDS &&
                           block->bytes.size() == std::prev(after)->length;
    // Without a header: a sync whose second pulse is a one's, and well
    // over a ROM sync's 735 T (a loader's ones may last as long as that),
    // read where the sync ended a bit late.
    const double sync2 = block->timing.sync2, one = block->timing.one;
    const bool lateSync = block->timing.pilot > 0.0 && one > 0.0 && sync2 > 1.25 * ROM_SYNC2_PULSE &&
                          std::fabs(sync2 / one - 1.0) <= 0.15;
    // With flag 0xFF, only where the pair read as the sync looks like a
    // sync's last pulse and a one's first: its first pulse the shorter
    // (a loader's sync may be two pulses as long as a one's).
    const bool lostOne = lateSync && block->timing.sync1 < 0.85 * sync2;
    if (announced || lateSync) RealignLateBlock(*block, lostOne);
  }
  if (!headers.empty()) m_lastHeader = headers.back();
}

void CPartMerger::Robust(TapeBlock&& block) {
  // The robust decoder reads any block in the ROM's ratios, at any speed. A
  // block whose pilot runs more than 10 % off the ROM's is a loader's block
  // in the ROM's ratios (or a tape played far off speed): the images keep
  // its measured timings, so that they play as long as the recording.
  constexpr double MAX_SPEED_ERROR = 0.10;
  if (block.timing.pilot > 0.0 && std::fabs(block.timing.pilot / ROM_PILOT_PULSE - 1.0) > MAX_SPEED_ERROR)
    block.romTiming = false;
  // The per-bit measurements serve the merge of takes, not the outputs:
  // 12 bytes a bit, let go while the block waits.
  std::vector<float>().swap(block.bitConfidence);
  for (std::size_t b = 0; b < block.bitSeconds.size(); b += 8) block.byteSeconds.push_back(block.bitSeconds[b]);
  std::vector<double>().swap(block.bitSeconds);
  // In order of start: a block read again from the segmenter's timing
  // comes once the pause after it has come, maybe after a later one.
  const auto at = std::upper_bound(m_robust.begin(), m_robust.end(), block.startSeconds,
                                   [](double start, const TapeBlock& b) { return start < b.startSeconds; });
  m_robust.insert(at, std::move(block));
}

void CPartMerger::Found(TapePart&& part) { m_found.push_back(std::move(part)); }

void CPartMerger::Settle(double robustFrom, double foundFrom) {
  const double settled = std::min(robustFrom, foundFrom);
  // Walk both lists in order of start; the last place where everything
  // before ends before the next item starts, and that item starts no later
  // than `settled`, is a cut: nothing later can reach back over it.
  std::size_t r = 0, f = 0;
  std::size_t cutR = 0, cutF = 0;
  double reach = -HUGE_VAL;
  for (;;) {
    const bool haveR = r < m_robust.size(), haveF = f < m_found.size();
    if (!haveR && !haveF) {
      if (reach < settled) cutR = r, cutF = f;
      break;
    }
    const double startR = haveR ? m_robust[r].startSeconds : HUGE_VAL;
    const double startF = haveF ? PartStartSeconds(m_found[f]) : HUGE_VAL;
    const bool takeR = startR <= startF;
    const double start = takeR ? startR : startF;
    if (!(start <= settled)) break;  // NaN too
    if (reach < start) cutR = r, cutF = f;
    const double end = takeR ? std::max(startR, m_robust[r].endSeconds) : PartEndSeconds(m_found[f]);
    reach = std::max(reach, end);
    (takeR ? r : f)++;
  }
  if (cutR > 0 || cutF > 0) Emit(cutR, cutF);
}

void CPartMerger::Finish() { Emit(m_robust.size(), m_found.size()); }

void CPartMerger::Emit(std::size_t robustCount, std::size_t foundCount) {
  std::vector<TapeBlock> robust(std::make_move_iterator(m_robust.begin()),
                                std::make_move_iterator(m_robust.begin() + static_cast<std::ptrdiff_t>(robustCount)));
  m_robust.erase(m_robust.begin(), m_robust.begin() + static_cast<std::ptrdiff_t>(robustCount));
  std::vector<TapePart> found(std::make_move_iterator(m_found.begin()),
                              std::make_move_iterator(m_found.begin() + static_cast<std::ptrdiff_t>(foundCount)));
  m_found.erase(m_found.begin(), m_found.begin() + static_cast<std::ptrdiff_t>(foundCount));
  RealignLateBlocks(robust, found);

  // The image: the robust blocks that verify at the bit lengths the
  // segmenter measures there (read on where its block runs on), and the
  // segmenter's parts elsewhere.
  // (A robust block the segmenter read otherwise verifies by chance.)
  const auto readOtherwise = [](const TapeBlock& block, const std::vector<TapePart>& segmented) {
    return ReadAtOtherBitLengths(block, segmented) || ReadFurtherThere(block, segmented);
  };
  std::vector<TapeBlock> verified;
  for (const TapeBlock& block : robust)
    if (GoodBytes(block) && !readOtherwise(block, found)) verified.push_back(block);
  // The same block read twice (by the decoder's retries and again from
  // the segmenter's timing) is one block: the reading at measured bit
  // lengths stays. Two readings with other bytes over mostly the same
  // stretch are one block too (a tape holds one at a time), one of them
  // verifying by chance: the one that read more bytes there stays (the
  // other merged bits it could not tell apart).
  for (std::size_t i = 0; i < verified.size(); ++i)
    for (std::size_t j = verified.size(); j-- > i + 1;) {
      TapeBlock& a = verified[i];
      const TapeBlock& b = verified[j];
      const double shared = std::min(a.endSeconds, b.endSeconds) - std::max(a.startSeconds, b.startSeconds);
      if (!(shared > 0.0)) continue;
      if (a.bytes == b.bytes) {
        if (a.romTiming && !b.romTiming) a = b;
      } else if (shared > 0.5 * std::min(a.endSeconds - a.startSeconds, b.endSeconds - b.startSeconds)) {
        if (b.bytes.size() > a.bytes.size()) a = b;
      } else {
        continue;
      }
      verified.erase(verified.begin() + static_cast<std::ptrdiff_t>(j));
    }
  RunOnBlocks(verified, found);
  TakeMeasuredBitLengths(verified, found);
  std::vector<TapePart> parts = MergeRobustBlocks(verified, found);
  verified.clear();

  // The listing and the .tap: every block of the image, and the robust
  // blocks that do not verify where the segmenter read no better (nothing
  // that verifies, and no other timing, in its place). Pieces of pilotless
  // data that do not verify, shorter than MIN_LISTED_FRAGMENT, are what a
  // noisy stretch reads as (scores of them for one damaged turbo block):
  // the images keep them; the listing and the .tap do not.
  constexpr std::size_t MIN_LISTED_FRAGMENT = 64;
  struct Listed {
    TapeBlock* block;
    bool robustBad;
  };
  std::vector<Listed> listed;
  for (std::size_t k = 0; k < parts.size(); ++k) {
    TapeBlock* block = std::get_if<TapeBlock>(&parts[k]);
    if (block == nullptr || RepeatsOrTooShort(block->bytes)) continue;
    if (BlockVerifies(block->bytes) && PieceOfBrokenRun(parts, k)) continue;
    // Pilotless data that does not verify at bit lengths near the ROM's is
    // the rest of a ROM block after a dropout (the robust decoder lists
    // that block), not a block of its own.
    if (block->timing.pilot <= 0.0 && !block->romTiming && !BlockVerifies(block->bytes) &&
        (block->bytes.size() < MIN_LISTED_FRAGMENT || !ClearlyOffRom(block->timing)))
      continue;
    listed.push_back({block, false});
  }
  auto overlaps = [](const TapeBlock& a, const TapeBlock& b) {
    return a.startSeconds < b.endSeconds && b.startSeconds < a.endSeconds;
  };
  for (TapeBlock& block : robust) {
    if (GoodBytes(block) && !readOtherwise(block, parts)) continue;
    bool better = false;
    for (const Listed& l : listed) {
      if (!overlaps(block, *l.block) || !ReadsBetter(*l.block, block)) continue;
      better = true;
      KeepRomTiming(*l.block, block);
    }
    // What else the segmenter read inside the block's span (the rest of it
    // after a dropout, a bent stretch) is the block, not another one; where
    // a better reading takes the block's place, the short pieces of data
    // with no pilot that would not stand for it stay the block's (what a
    // noisy stretch breaks into, one now and then verifying by chance).
    const auto piece = [&block](const TapeBlock& b) {
      return b.timing.pilot <= 0.0 && b.bytes.size() < MIN_LISTED_FRAGMENT && !ReadsBetter(b, block);
    };
    listed.erase(std::remove_if(listed.begin(), listed.end(),
                                [&](const Listed& l) { return overlaps(block, *l.block) && (!better || piece(*l.block)); }),
                 listed.end());
    if (better) continue;
    listed.push_back({&block, true});
  }
  std::stable_sort(listed.begin(), listed.end(), [](const Listed& a, const Listed& b) {
    return a.block->startSeconds < b.block->startSeconds;
  });
  // The .tap keeps every block that verifies, whatever its timing, and the
  // ROM-timed readings that do not (as without images).
  // (A last byte played in part holds no checksum: such a block verifies
  // only where no more than its last bit is missing, its edges lost in the
  // silence after it.)
  for (const Listed& l : listed)
    m_blocks(*l.block, l.robustBad || (l.block->usedBits >= 7 && BlockVerifies(l.block->bytes)));
  for (TapePart& part : parts) m_parts(std::move(part));
}

}  // namespace tapedecoder
