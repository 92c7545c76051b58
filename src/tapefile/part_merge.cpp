#include "tapefile/part_merge.h"

#include <algorithm>
#include <cmath>
#include <utility>

#include "tapefile/pulse_segmenter.h"

namespace tapedecoder {

namespace {

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

// Where the segmenter read on past the end of a robust block -- its data
// starting with the same bits, at the same place -- the bits ran on (a
// loader reading more than a header announced): the block is the longer
// one, with the robust block's bytes for the part both read.
void RunOn(TapeBlock& robust, const std::vector<TapePart>& parts) {
  constexpr double SAME_START_SECONDS = 0.002;
  constexpr double MIN_AGREEMENT = 0.9;
  for (const TapePart& part : parts) {
    const auto* block = std::get_if<TapeBlock>(&part);
    if (!block || block->bytes.size() <= robust.bytes.size() ||
        std::fabs(block->dataSeconds - robust.dataSeconds) > SAME_START_SECONDS)
      continue;
    std::size_t same = 0;
    for (std::size_t k = 0; k < robust.bytes.size(); ++k) same += block->bytes[k] == robust.bytes[k];
    if (same < MIN_AGREEMENT * static_cast<double>(robust.bytes.size())) continue;
    TapeBlock longer = *block;
    std::copy(robust.bytes.begin(), robust.bytes.end(), longer.bytes.begin());
    longer.origin = robust.origin;
    robust = std::move(longer);
    return;
  }
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
  return false;
}

void RunOnBlocks(std::vector<TapeBlock>& robust, const std::vector<TapePart>& parts) {
  for (TapeBlock& block : robust) RunOn(block, parts);
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
    } else if (!Overlaps(spans, PartStartSeconds(part), PartEndSeconds(part))) {
      merged.push_back(part);
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

PartTally TallyParts(const std::vector<TapePart>& parts, double recordingSeconds) {
  constexpr double MIN_PAUSE_SECONDS = 0.002;
  PartTally tally;
  double end = 0.0;
  for (const TapePart& part : parts) {
    if (const auto* block = std::get_if<TapeBlock>(&part)) {
      if (block->bytes.empty()) continue;
      (block->romTiming ? tally.romBlocks
                        : block->timing.pilot > 0.0 ? tally.turboBlocks : tally.pureData)++;
    } else {
      (std::get<PulseStretch>(part).kind == StretchKind::TONE ? tally.tones : tally.pulseStretches)++;
    }
    if (PartStartSeconds(part) - end > MIN_PAUSE_SECONDS) ++tally.pauses;
    end = std::max(end, PartEndSeconds(part));
  }
  if (recordingSeconds - end > MIN_PAUSE_SECONDS) ++tally.pauses;
  return tally;
}

}  // namespace tapedecoder
