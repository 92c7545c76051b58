#include "merge/tape_merger.h"

#include <algorithm>
#include <cmath>
#include <cstddef>

#include "merge/block_voter.h"
#include "merge/take_aligner.h"

namespace tapedecoder {

namespace {

// Pilot pulses below which a block is no ROM-saved block (the ROM writes
// 3223 or 8063).
constexpr int FULL_PILOT_PULSES = 1000;
// Two readings of one take whose data starts this close are one block.
constexpr double SAME_START_SECONDS = 0.02;

bool Verifies(const TapeBlock& block) { return block.usedBits == 8 && ChecksumGood(block.bytes); }

// How clearly a copy was read: the lowest decile of its bit confidences,
// then their mean. Copies without confidences count as clean.
struct Margin {
  double decile = 1.0;
  double mean = 1.0;
  bool operator>(const Margin& o) const { return decile != o.decile ? decile > o.decile : mean > o.mean; }
};

Margin MarginOf(const TapeBlock& block) {
  Margin m;
  if (block.bitConfidence.empty()) return m;
  std::vector<float> c = block.bitConfidence;
  auto tenth = c.begin() + static_cast<std::ptrdiff_t>(c.size() / 10);
  std::nth_element(c.begin(), tenth, c.end());
  m.decile = *tenth;
  double sum = 0.0;
  for (float v : block.bitConfidence) sum += v;
  m.mean = sum / static_cast<double>(block.bitConfidence.size());
  return m;
}

struct Copy {
  int take;
  const TapeBlock* block;
};

// The verified copy to keep; REQUIRES: at least one copy verifies.
Copy ChooseVerified(const std::vector<Copy>& copies, std::size_t expected) {
  std::vector<Copy> good;
  for (const Copy& c : copies) {
    if (Verifies(*c.block)) good.push_back(c);
  }
  const Copy* best = nullptr;
  int bestAgree = 0;
  Margin bestMargin;
  for (const Copy& c : good) {
    int agree = 0;
    for (const Copy& o : good) agree += o.block->bytes == c.block->bytes;
    Margin margin = MarginOf(*c.block);
    bool fits = expected == 0 || c.block->bytes.size() == expected;
    bool bestFits = best && (expected == 0 || best->block->bytes.size() == expected);
    bool better = !best || (fits && !bestFits) ||
                  (fits == bestFits && (agree > bestAgree || (agree == bestAgree && margin > bestMargin)));
    if (better) {
      best = &c;
      bestAgree = agree;
      bestMargin = margin;
    }
  }
  return *best;
}

// The copy to keep when nothing verifies: of the expected length, then the
// clearest, then the longest. REQUIRES: copies not empty.
Copy ChooseBad(const std::vector<Copy>& copies, std::size_t expected) {
  const Copy* best = &copies.front();
  for (const Copy& c : copies) {
    bool fits = expected != 0 && c.block->bytes.size() == expected;
    bool bestFits = expected != 0 && best->block->bytes.size() == expected;
    if (fits != bestFits) {
      if (fits) best = &c;
      continue;
    }
    Margin m = MarginOf(*c.block);
    Margin bm = MarginOf(*best->block);
    if (m > bm || (!(bm > m) && c.block->bytes.size() > best->block->bytes.size())) best = &c;
  }
  return *best;
}

// False when the block is better left out: a minority of the takes that
// cover it hold it, or half of them, and no copy looks like a real block.
bool Keep(const AlignedBlock& aligned, const std::vector<Copy>& copies) {
  int covering = 0;
  for (bool c : aligned.covered) covering += c;
  const int present = static_cast<int>(copies.size());
  if (2 * present > covering) return true;
  bool verifies = false;
  bool fullPilot = false;
  for (const Copy& c : copies) {
    verifies = verifies || Verifies(*c.block);
    fullPilot = fullPilot || c.block->timing.pilotPulses >= FULL_PILOT_PULSES;
  }
  if (2 * present == covering) return verifies || fullPilot;
  return verifies && fullPilot;
}

// The take's reading on through dropouts of the same block, when it holds
// more bytes than `copy`; else `copy`.
const TapeBlock* BridgedOr(const Copy& copy, const std::vector<std::vector<TapeBlock>>& bridged) {
  if (copy.take < 0 || static_cast<std::size_t>(copy.take) >= bridged.size()) return copy.block;
  for (const TapeBlock& b : bridged[static_cast<std::size_t>(copy.take)]) {
    if (std::fabs(b.dataSeconds - copy.block->dataSeconds) < SAME_START_SECONDS &&
        b.bytes.size() > copy.block->bytes.size()) {
      return &b;
    }
  }
  return copy.block;
}

}  // namespace

std::vector<MergedBlock> MergeTakes(const std::vector<std::vector<TapeBlock>>& takes,
                                    const std::vector<double>& takeSeconds,
                                    const std::vector<std::vector<TapeBlock>>& bridged) {
  std::vector<MergedBlock> merged;
  std::size_t expected = 0;  // the length a verified header announced for the next block
  for (const AlignedBlock& aligned : AlignTakes(takes, takeSeconds)) {
    std::vector<Copy> copies;
    MergedBlock out;
    out.takeStarts.assign(takes.size(), std::nullopt);
    for (std::size_t t = 0; t < takes.size(); ++t) {
      if (aligned.copies[t] < 0) continue;
      const TapeBlock& b = takes[t][static_cast<std::size_t>(aligned.copies[t])];
      out.takeStarts[t] = b.startSeconds;
      if (!b.bytes.empty()) copies.push_back({static_cast<int>(t), &b});
    }
    if (copies.empty() || !Keep(aligned, copies)) continue;

    bool anyGood = std::any_of(copies.begin(), copies.end(), [](const Copy& c) { return Verifies(*c.block); });
    if (anyGood) {
      Copy c = ChooseVerified(copies, expected);
      out.block = *c.block;
      out.block.take = c.take;
    } else {
      VoteOutcome vote;
      if (copies.size() >= 2) {
        std::vector<const TapeBlock*> blocks;
        for (const Copy& c : copies) blocks.push_back(BridgedOr(c, bridged));
        vote = VoteBlock(blocks, expected);
      }
      if (vote.accepted) {
        out.block = std::move(vote.block);
        out.block.take = copies[static_cast<std::size_t>(vote.reference)].take;
        out.voted = true;
      } else {
        // The longer readings through dropouts compete too: a copy of the
        // announced length shows the user more of the block.
        std::vector<Copy> candidates = copies;
        for (const Copy& copy : copies) {
          const TapeBlock* longer = BridgedOr(copy, bridged);
          if (longer != copy.block) candidates.push_back({copy.take, longer});
        }
        Copy c = ChooseBad(candidates, expected);
        out.block = *c.block;
        out.block.take = c.take;
      }
    }
    out.good = Verifies(out.block);
    std::optional<RomHeader> header = out.good ? ParseRomHeader(out.block.bytes) : std::nullopt;
    expected = header ? static_cast<std::size_t>(header->length) + 2 : 0;
    merged.push_back(std::move(out));
  }
  return merged;
}

}  // namespace tapedecoder
