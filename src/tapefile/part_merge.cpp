#include "tapefile/part_merge.h"

#include <algorithm>
#include <cmath>
#include <iterator>
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

}  // namespace

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

CPartMerger::CPartMerger(PartOut parts, BlockOut blocks)
    : m_parts(std::move(parts)), m_blocks(std::move(blocks)) {}

void CPartMerger::Robust(TapeBlock&& block) {
  // The per-bit measurements serve the merge of takes, not the outputs:
  // 12 bytes a bit, let go while the block waits.
  std::vector<float>().swap(block.bitConfidence);
  std::vector<double>().swap(block.bitSeconds);
  m_robust.push_back(std::move(block));
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

  // The listing: every robust block, and the segmenter's blocks that
  // survive the merge and overlap no robust block, in order of start
  // (robust first among equal starts).
  std::vector<TapeBlock> verified;
  for (const TapeBlock& block : robust)
    if (ChecksumGood(block.bytes)) verified.push_back(block);
  std::vector<TapePart> parts = MergeRobustBlocks(verified, found);
  verified.clear();
  std::vector<std::pair<const TapeBlock*, bool>> listed;
  for (const TapeBlock& block : robust) listed.emplace_back(&block, true);
  for (const TapePart& part : found) {
    const auto* block = std::get_if<TapeBlock>(&part);
    if (block == nullptr || block->bytes.empty()) continue;
    bool known = false;
    for (const TapeBlock& other : robust) {
      const bool strict = other.startSeconds < block->endSeconds && block->startSeconds < other.endSeconds;
      const bool touching = ChecksumGood(other.bytes) &&
                            std::min(other.startSeconds, other.endSeconds) <= block->endSeconds &&
                            block->startSeconds <= std::max(other.startSeconds, other.endSeconds);
      known = known || strict || touching;
    }
    if (!known) listed.emplace_back(block, false);
  }
  std::stable_sort(listed.begin(), listed.end(), [](const auto& a, const auto& b) {
    return a.first->startSeconds < b.first->startSeconds;
  });
  for (const auto& [block, decoded] : listed) m_blocks(*block, decoded);
  for (TapePart& part : parts) m_parts(std::move(part));
}

}  // namespace tapedecoder
