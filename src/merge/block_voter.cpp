#include "merge/block_voter.h"

#include <algorithm>
#include <cstdint>
#include <limits>

#include "tape/tape_block.h"

namespace tapedecoder {

namespace {

// One copy's bits, most significant first, with the weight of each.
struct Bits {
  std::vector<std::uint8_t> value;
  std::vector<float> weight;
};

// The most one bit weighs in a vote: one loud bit must not outvote two
// clean ones.
constexpr float MAX_WEIGHT = 2.0f;
// A vote is settled when the winning weight is at least this many times
// the losing one (two clean bits against one settle it) ...
constexpr double SURE_RATIO = 1.8;
// ... and at least this much (a clean bit weighs about 1).
constexpr double SURE_WEIGHT = 0.35;
// Bits either way of the diagonal the alignment searches: the slips one
// dropout can cause. Long blocks get a narrower band so that the trace
// stays below about MAX_TRACE_CELLS bytes.
constexpr int MAX_BAND = 64;
constexpr int MIN_BAND = 16;
constexpr double MAX_TRACE_CELLS = 8.0e6;
// A decoder's guesses: bits it weighs below this.
constexpr float WEAK = 0.5f;
// Guesses in a row that make a dropout, and the bits either side of it
// that count for RELOCK_WEIGHT of their weight.
constexpr std::size_t DROPOUT_RUN = 8;
constexpr std::size_t RELOCK_BITS = 8;
constexpr float RELOCK_WEIGHT = 0.25f;

Bits BitsOf(const TapeBlock& block) {
  Bits bits;
  if (block.bytes.empty()) return bits;
  const std::size_t used = std::clamp<std::size_t>(block.usedBits, 1, 8);
  const std::size_t count = (block.bytes.size() - 1) * 8 + used;
  bits.value.reserve(count);
  bits.weight.reserve(count);
  for (std::size_t i = 0; i < count; ++i) {
    bits.value.push_back(static_cast<std::uint8_t>(BitAt(block.bytes, i)));
    float c = block.bitConfidence.empty() ? 1.0f
              : i < block.bitConfidence.size() ? block.bitConfidence[i]
                                               : 0.0f;
    bits.weight.push_back(std::clamp(c, 0.0f, MAX_WEIGHT));
  }
  // Around a dropout (a run of guesses) the reader loses and regains its
  // lock: the bits on either side weigh little however sure it was.
  std::vector<float> weight = bits.weight;
  std::size_t run = 0;
  for (std::size_t i = 0; i <= count; ++i) {
    if (i < count && bits.weight[i] < WEAK) {
      ++run;
      continue;
    }
    if (run >= DROPOUT_RUN) {
      const std::size_t from = i - run >= RELOCK_BITS ? i - run - RELOCK_BITS : 0;
      const std::size_t to = std::min(count, i + RELOCK_BITS);
      for (std::size_t k = from; k < to; ++k) weight[k] = std::min(weight[k], bits.weight[k] * RELOCK_WEIGHT);
    }
    run = 0;
  }
  bits.weight = std::move(weight);
  return bits;
}

double Clean(float w) { return std::min(static_cast<double>(w), 1.0); }

// What a pair of bits tells the alignment: guesses (a decoder's weak bits,
// below 0.5) next to nothing, so that a slip is placed inside the stretch
// of guesses rather than where guesses happen to agree.
double Evidence(float w) { return w >= WEAK ? Clean(w) + 0.05 : 0.02; }

// How one copy's bits lie against the reference's.
struct Alignment {
  std::vector<int> at;                   // per reference bit: the copy's bit, -1 none
  std::vector<double> deleted;           // per reference bit: weight of "no bit here", 0 none
  std::vector<std::vector<int>> before;  // per reference bit (and one past): copy bits inserted before it
  std::size_t coveredUntil = 0;          // reference bits below this are covered by the copy
};

enum Move : std::uint8_t { DIAGONAL, DELETE, INSERT, ORIGIN };

// Banded global alignment with free ends: matching bits score their
// weight, disagreeing ones lose it, and a slip costs least where the copy
// or the reference is unsure -- so a take that lost or gained bits in a
// dropout is lined up again right after it.
Alignment Align(const Bits& ref, const Bits& copy) {
  const int n = static_cast<int>(ref.value.size());
  const int m = static_cast<int>(copy.value.size());
  int band = MAX_BAND;
  if (n > 0) band = std::clamp(static_cast<int>(MAX_TRACE_CELLS / (2.0 * n)), MIN_BAND, MAX_BAND);
  const int width = 2 * band + 1;
  const double NONE = -std::numeric_limits<double>::infinity();
  std::vector<double> prev(static_cast<std::size_t>(width), NONE);
  std::vector<double> row(static_cast<std::size_t>(width), NONE);
  std::vector<std::uint8_t> trace(static_cast<std::size_t>(n + 1) * static_cast<std::size_t>(width), ORIGIN);
  auto cell = [&](int i, int d) { return static_cast<std::size_t>(i) * static_cast<std::size_t>(width) +
                                         static_cast<std::size_t>(d + band); };
  auto gapCost = [](float w) { return 0.2 + 0.5 * Clean(w); };
  double bestScore = NONE;
  int bestI = 0;
  int bestJ = 0;
  for (int i = 0; i <= n; ++i) {
    std::fill(row.begin(), row.end(), NONE);
    for (int d = -band; d <= band; ++d) {
      const int j = i + d;
      if (j < 0 || j > m) continue;
      double best = NONE;
      std::uint8_t move = ORIGIN;
      if (i == 0 && j == 0) best = 0.0;
      if (i > 0 && j > 0 && prev[static_cast<std::size_t>(d + band)] > NONE) {
        double w = Evidence(std::min(ref.weight[static_cast<std::size_t>(i - 1)],
                                     copy.weight[static_cast<std::size_t>(j - 1)]));
        bool same = ref.value[static_cast<std::size_t>(i - 1)] == copy.value[static_cast<std::size_t>(j - 1)];
        double s = prev[static_cast<std::size_t>(d + band)] + (same ? w : -w);
        if (s > best) {
          best = s;
          move = DIAGONAL;
        }
      }
      if (i > 0 && d + 1 <= band && prev[static_cast<std::size_t>(d + 1 + band)] > NONE) {
        double s = prev[static_cast<std::size_t>(d + 1 + band)] - gapCost(ref.weight[static_cast<std::size_t>(i - 1)]);
        if (s > best) {
          best = s;
          move = DELETE;
        }
      }
      if (j > 0 && d - 1 >= -band && row[static_cast<std::size_t>(d - 1 + band)] > NONE) {
        double s = row[static_cast<std::size_t>(d - 1 + band)] - gapCost(copy.weight[static_cast<std::size_t>(j - 1)]);
        if (s > best) {
          best = s;
          move = INSERT;
        }
      }
      row[static_cast<std::size_t>(d + band)] = best;
      trace[cell(i, d)] = move;
      // Free ends: the copy may stop early or run on past the block.
      if ((i == n || j == m) && best > bestScore) {
        bestScore = best;
        bestI = i;
        bestJ = j;
      }
    }
    std::swap(prev, row);
  }

  Alignment a;
  a.at.assign(static_cast<std::size_t>(n), -1);
  a.deleted.assign(static_cast<std::size_t>(n), 0.0);
  a.before.assign(static_cast<std::size_t>(n) + 1, {});
  a.coveredUntil = static_cast<std::size_t>(bestI);
  int i = bestI;
  int j = bestJ;
  auto weightAt = [&](int k) { return k >= 0 && k < m ? Clean(copy.weight[static_cast<std::size_t>(k)]) : 0.0; };
  while (i > 0 || j > 0) {
    std::uint8_t move = trace[cell(i, j - i)];
    if (move == DIAGONAL) {
      a.at[static_cast<std::size_t>(i - 1)] = j - 1;
      --i;
      --j;
    } else if (move == DELETE) {
      // The copy holds no bit here: as sure of that as of its neighbours.
      a.deleted[static_cast<std::size_t>(i - 1)] = 0.5 * (weightAt(j - 1) + weightAt(j));
      --i;
    } else if (move == INSERT) {
      a.before[static_cast<std::size_t>(i)].push_back(j - 1);
      --j;
    } else {
      break;
    }
  }
  for (auto& inserted : a.before) std::reverse(inserted.begin(), inserted.end());
  // A copy running on past the reference's end: the reference may have
  // been cut short after a slip, so its tail is kept for the vote.
  if (bestI == n) {
    for (int k = bestJ; k < m; ++k) a.before[static_cast<std::size_t>(n)].push_back(k);
    a.coveredUntil = static_cast<std::size_t>(n) + 1;
  }
  return a;
}

struct Tally {
  double one = 0.0;
  double zero = 0.0;
  void Add(std::uint8_t bit, double w) { (bit ? one : zero) += w; }
  std::uint8_t Winner(std::uint8_t tie) const { return one > zero ? 1 : zero > one ? 0 : tie; }
  bool Sure() const {
    double hi = std::max(one, zero);
    double lo = std::min(one, zero);
    return hi >= SURE_RATIO * lo && hi >= SURE_WEIGHT;
  }
  double Margin() const { return std::max(one, zero) - std::min(one, zero); }
};

}  // namespace

VoteOutcome VoteBlock(const std::vector<const TapeBlock*>& copies, std::size_t expectedBytes) {
  VoteOutcome outcome;
  std::vector<Bits> bits;
  for (const TapeBlock* c : copies) bits.push_back(BitsOf(*c));

  // The reference: a copy of the expected length if there is one, the one
  // with the most clean bits among those.
  int ref = -1;
  double refScore = -1.0;
  bool refFits = false;
  for (std::size_t k = 0; k < bits.size(); ++k) {
    if (bits[k].value.empty()) continue;
    bool fits = expectedBytes != 0 && bits[k].value.size() == expectedBytes * 8;
    double score = 0.0;
    for (float w : bits[k].weight) score += Clean(w);
    if (ref < 0 || (fits && !refFits) || (fits == refFits && score > refScore)) {
      ref = static_cast<int>(k);
      refScore = score;
      refFits = fits;
    }
  }
  if (ref < 0) return outcome;
  outcome.reference = ref;
  const Bits& r = bits[static_cast<std::size_t>(ref)];
  const std::size_t n = r.value.size();

  std::vector<Alignment> alignments(bits.size());
  for (std::size_t k = 0; k < bits.size(); ++k) {
    if (static_cast<int>(k) == ref || bits[k].value.empty()) continue;
    alignments[k] = Align(r, bits[k]);
  }

  std::vector<std::uint8_t> result;
  std::vector<float> margins;
  std::vector<double> seconds;
  std::vector<bool> sure;
  int droppedInDoubt = 0;
  const TapeBlock& refBlock = *copies[static_cast<std::size_t>(ref)];
  auto refSeconds = [&](std::size_t i) { return i < refBlock.bitSeconds.size() ? refBlock.bitSeconds[i] : 0.0; };
  for (std::size_t i = 0; i <= n; ++i) {
    // Bits some copies hold before reference bit i and the reference lacks.
    double insertWeight = 0.0;
    double keepWeight = i > 0 && i < n ? 0.5 * (Clean(r.weight[i - 1]) + Clean(r.weight[i])) : 0.0;
    std::size_t longest = 0;
    int donor = -1;
    double donorWeight = 0.0;
    for (std::size_t k = 0; k < bits.size(); ++k) {
      if (static_cast<int>(k) == ref || bits[k].value.empty() || i == 0 || i >= n || i >= alignments[k].coveredUntil) continue;
      const std::vector<int>& ins = alignments[k].before[i];
      if (ins.empty()) {
        if (alignments[k].at[i - 1] >= 0 && alignments[k].at[i] >= 0) {
          keepWeight += 0.5 * (Clean(bits[k].weight[static_cast<std::size_t>(alignments[k].at[i - 1])]) +
                               Clean(bits[k].weight[static_cast<std::size_t>(alignments[k].at[i])]));
        }
        continue;
      }
      double w = 0.0;
      for (int b : ins) w += Clean(bits[k].weight[static_cast<std::size_t>(b)]);
      w /= static_cast<double>(ins.size());
      insertWeight += w;
      if (w > donorWeight) {
        donorWeight = w;
        donor = static_cast<int>(k);
        longest = ins.size();
      }
    }
    if (i < n && donor >= 0 && insertWeight > keepWeight) {
      for (std::size_t b = 0; b < longest; ++b) {
        Tally tally;
        for (std::size_t k = 0; k < bits.size(); ++k) {
          if (static_cast<int>(k) == ref || bits[k].value.empty() || i >= alignments[k].coveredUntil) continue;
          const std::vector<int>& ins = alignments[k].before[i];
          if (ins.size() != longest) continue;
          auto at = static_cast<std::size_t>(ins[b]);
          tally.Add(bits[k].value[at], Clean(bits[k].weight[at]));
        }
        auto at = static_cast<std::size_t>(alignments[static_cast<std::size_t>(donor)].before[i][b]);
        result.push_back(tally.Winner(bits[static_cast<std::size_t>(donor)].value[at]));
        margins.push_back(static_cast<float>(tally.Margin()));
        seconds.push_back(refSeconds(i > 0 ? i - 1 : 0));
        sure.push_back(tally.Sure() && insertWeight >= SURE_RATIO * keepWeight);
      }
      outcome.changedBits += static_cast<int>(longest);
    }
    if (i == n) {
      // Past the reference's end: bits the copies running on agree on
      // clearly, up to the expected length.
      for (std::size_t b = 0; expectedBytes == 0 || result.size() < expectedBytes * 8; ++b) {
        Tally tally;
        bool any = false;
        for (std::size_t k = 0; k < bits.size(); ++k) {
          if (static_cast<int>(k) == ref || bits[k].value.empty() || alignments[k].coveredUntil <= n) continue;
          const std::vector<int>& tail = alignments[k].before[n];
          if (b >= tail.size()) continue;
          auto at = static_cast<std::size_t>(tail[b]);
          tally.Add(bits[k].value[at], bits[k].weight[at]);
          any = true;
        }
        if (!any || !tally.Sure()) break;
        result.push_back(tally.Winner(0));
        margins.push_back(static_cast<float>(tally.Margin()));
        seconds.push_back(refSeconds(n > 0 ? n - 1 : 0));
        sure.push_back(true);
        ++outcome.changedBits;
      }
      break;
    }

    // Reference bit i: kept unless the takes say it is not there, then voted.
    Tally tally;
    tally.Add(r.value[i], r.weight[i]);
    double present = Clean(r.weight[i]);
    double absent = 0.0;
    for (std::size_t k = 0; k < bits.size(); ++k) {
      if (static_cast<int>(k) == ref || bits[k].value.empty() || i >= alignments[k].coveredUntil) continue;
      int at = alignments[k].at[i];
      if (at >= 0) {
        float w = bits[k].weight[static_cast<std::size_t>(at)];
        tally.Add(bits[k].value[static_cast<std::size_t>(at)], w);
        present += Clean(w);
      } else {
        absent += alignments[k].deleted[i];
      }
    }
    if (absent > present) {
      ++outcome.changedBits;
      if (absent < SURE_RATIO * present) ++droppedInDoubt;
      continue;
    }
    std::uint8_t bit = tally.Winner(r.value[i]);
    if (bit != r.value[i]) ++outcome.changedBits;
    result.push_back(bit);
    margins.push_back(static_cast<float>(tally.Margin()));
    seconds.push_back(refSeconds(i));
    sure.push_back(tally.Sure());
  }

  // Doubt per bit column: two doubtful bits in one column could both be
  // wrong and still pass the checksum; a dropped bit in doubt shifts every
  // column after it.
  std::vector<int> doubtful(8, 0);
  for (std::size_t s = 0; s < sure.size(); ++s) {
    if (sure[s]) continue;
    ++outcome.unsureBits;
    ++doubtful[s % 8];
  }
  outcome.unsureBits += droppedInDoubt;
  // The last bits of a block are the ones a decoder most often loses (the
  // last edge runs into silence). When only bits of the checksum byte are
  // missing and the length is known, they follow from the other bytes;
  // their columns are then unchecked, so no bit in them may be in doubt.
  std::vector<bool> unchecked(8, false);
  const std::size_t want = expectedBytes * 8;
  if (expectedBytes > 1 && result.size() < want && result.size() + 8 > want) {
    const std::uint8_t x = ColumnParity(result, 0, result.size());
    for (std::size_t b = result.size(); b < want; ++b) {
      result.push_back(static_cast<std::uint8_t>((x >> (b % 8)) & 1));
      margins.push_back(0.0f);
      seconds.push_back(0.0);
      sure.push_back(true);
      unchecked[b % 8] = true;
      ++outcome.changedBits;
    }
  }
  bool uncheckedInDoubt = false;
  for (std::size_t s = 0; s < sure.size(); ++s) uncheckedInDoubt = uncheckedInDoubt || (!sure[s] && unchecked[s % 8]);
  outcome.block = refBlock;
  outcome.block.origin = BlockOrigin::VOTED;
  outcome.block.usedBits = 8;
  outcome.block.bitConfidence = std::move(margins);
  outcome.block.bitSeconds = std::move(seconds);
  outcome.block.bytes.assign((result.size() + 7) / 8, 0);
  for (std::size_t b = 0; b < result.size(); ++b) {
    outcome.block.bytes[b / 8] = static_cast<std::uint8_t>(outcome.block.bytes[b / 8] | (result[b] << (7 - b % 8)));
  }
  if (result.size() % 8 != 0) outcome.block.usedBits = static_cast<std::uint8_t>(result.size() % 8);
  const bool lengthFits = result.size() % 8 == 0 && (expectedBytes == 0 || result.size() == expectedBytes * 8);
  const bool settled = droppedInDoubt == 0 && !uncheckedInDoubt && *std::max_element(doubtful.begin(), doubtful.end()) <= 1;
  outcome.accepted = lengthFits && settled && ChecksumGood(outcome.block.bytes);
  return outcome;
}

}  // namespace tapedecoder
