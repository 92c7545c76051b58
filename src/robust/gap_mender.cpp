#include "robust/gap_mender.h"

#include <algorithm>
#include <cmath>

#include "tape/tape_block.h"

namespace tapedecoder {
namespace robust {

namespace {

// How far a fill's duration (zeros + 2 x ones) may lie from the gap's, in
// zero-bit periods: the two edge estimates that bound the gap, and a few
// per cent of speed change (wow) across it.
double DurationTolerance(double zeros) { return 0.3 + 0.03 * zeros; }

}  // namespace

GapFill FillGap(const std::vector<std::uint8_t>& known, std::size_t before, double zeros, std::size_t total) {
  GapFill result;
  const std::size_t have = known.size();
  if (before > have || zeros <= 0.0) return result;
  const double tolerance = DurationTolerance(zeros);
  std::size_t lo = 1;
  std::size_t hi = MAX_GAP_BITS;
  if (total != 0) {
    if (total <= have) return result;
    lo = hi = total - have;
  }
  // Column parities of the bits before the gap (their columns are fixed)
  // and after it (shifted by the gap's length).
  const std::uint8_t head = ColumnParity(known, 0, before);
  const std::uint8_t tail = ColumnParity(known, before, have);
  std::vector<std::uint8_t> fill;
  for (std::size_t k = lo; k <= hi && k <= MAX_GAP_BITS; ++k) {
    if ((have + k) % 8 != 0) continue;
    const double ones = zeros - static_cast<double>(k);
    if (ones < -tolerance || ones > static_cast<double>(k) + tolerance) continue;
    // Bit j after the gap sits in column (before + k + j) % 8.
    const unsigned shift = static_cast<unsigned>((before + k) % 8);
    const std::uint8_t shifted = static_cast<std::uint8_t>(((tail << shift) | (tail >> ((8 - shift) % 8))) & 0xFF);
    const std::uint8_t parity = static_cast<std::uint8_t>(head ^ shifted);
    // The first 8 lost bits follow from their columns; those beyond are
    // tried both ways.
    const std::size_t free = k > 8 ? k - 8 : 0;
    for (std::uint32_t guess = 0; guess < (1u << free); ++guess) {
      fill.assign(k, 0);
      std::uint8_t columns = parity;
      for (std::size_t f = 0; f < free; ++f) {
        fill[8 + f] = static_cast<std::uint8_t>((guess >> f) & 1u);
        columns ^= static_cast<std::uint8_t>(fill[8 + f] << ((before + 8 + f) % 8));
      }
      int count = 0;
      for (std::size_t b = 0; b < k; ++b) {
        if (b < 8) fill[b] = static_cast<std::uint8_t>((columns >> ((before + b) % 8)) & 1u);
        count += fill[b];
      }
      if (std::fabs(static_cast<double>(k + count) - zeros) > tolerance) continue;
      if (++result.fits == 1) result.values = fill;
      if (result.fits > 1) {
        result.values.clear();
        return result;
      }
    }
  }
  return result;
}

namespace {

// Fills tried for one choice of gap lengths, at most: 2^12 per choice.
constexpr std::size_t MAX_FREE_BITS = 12;
// Choices of gap lengths tried, at most: a long block read across many
// dropouts would otherwise try every product of their lengths.
constexpr double MAX_LENGTH_CHOICES = 1024.0;

// Counts the fills for gaps of `lengths` bits (stops at 2).
void TryLengths(const std::vector<std::uint8_t>& known, const std::vector<Gap>& gaps,
                const std::vector<std::size_t>& lengths, GapsFill& result) {
  // Known bits' column parity at their places in the whole block.
  std::uint8_t parity = 0;
  std::vector<std::size_t> unknown;  // block positions of the lost bits
  std::size_t g = 0;
  std::size_t shift = 0;
  for (std::size_t i = 0; i <= known.size(); ++i) {
    while (g < gaps.size() && gaps[g].before == i) {
      for (std::size_t k = 0; k < lengths[g]; ++k) unknown.push_back(i + shift + k);
      shift += lengths[g];
      ++g;
    }
    if (i < known.size()) parity ^= static_cast<std::uint8_t>((known[i] & 1u) << ((i + shift) % 8));
  }
  // Per column, all its unknowns but the last are free; the last follows.
  std::vector<std::size_t> free;
  int lastOf[8] = {-1, -1, -1, -1, -1, -1, -1, -1};
  for (std::size_t u = 0; u < unknown.size(); ++u) {
    int& last = lastOf[unknown[u] % 8];
    if (last >= 0) free.push_back(static_cast<std::size_t>(last));
    last = static_cast<int>(u);
  }
  for (int c = 0; c < 8; ++c)
    if (lastOf[c] < 0 && ((parity >> c) & 1u)) return;  // a column with no unknown fails
  if (free.size() > MAX_FREE_BITS) {
    result.fits = 2;
    return;
  }
  std::vector<std::uint8_t> fill(unknown.size());
  for (std::uint32_t guess = 0; guess < (1u << free.size()); ++guess) {
    std::fill(fill.begin(), fill.end(), 0);
    std::uint8_t columns = parity;
    for (std::size_t f = 0; f < free.size(); ++f) {
      fill[free[f]] = static_cast<std::uint8_t>((guess >> f) & 1u);
      columns ^= static_cast<std::uint8_t>(fill[free[f]] << (unknown[free[f]] % 8));
    }
    for (int c = 0; c < 8; ++c)
      if (lastOf[c] >= 0) fill[static_cast<std::size_t>(lastOf[c])] = static_cast<std::uint8_t>((columns >> c) & 1u);
    bool fits = true;
    std::size_t at = 0;
    for (std::size_t j = 0; j < gaps.size() && fits; ++j) {
      double units = 0.0;
      for (std::size_t k = 0; k < lengths[j]; ++k) units += 1.0 + fill[at + k];
      fits = std::fabs(units - gaps[j].zeros) <= DurationTolerance(gaps[j].zeros) &&
             (gaps[j].first < 0 || fill[at] == gaps[j].first) &&
             (gaps[j].last < 0 || fill[at + lengths[j] - 1] == gaps[j].last);
      at += lengths[j];
    }
    if (!fits) continue;
    if (++result.fits == 1) {
      result.values = fill;
      result.lengths = lengths;
    } else {
      return;
    }
  }
}

}  // namespace

GapsFill FillGaps(const std::vector<std::uint8_t>& known, const std::vector<Gap>& gaps, std::size_t total) {
  GapsFill result;
  if (gaps.empty()) return result;
  // Each gap holds between half its duration (all ones) and all of it
  // (all zeros) in bits.
  std::vector<std::size_t> lo(gaps.size());
  std::vector<std::size_t> hi(gaps.size());
  for (std::size_t j = 0; j < gaps.size(); ++j) {
    const double tolerance = DurationTolerance(gaps[j].zeros);
    if (gaps[j].before > known.size() || (j > 0 && gaps[j].before < gaps[j - 1].before) || gaps[j].zeros <= 0.0)
      return result;
    lo[j] = static_cast<std::size_t>(std::max(1.0, std::ceil((gaps[j].zeros - tolerance) / 2.0)));
    hi[j] = static_cast<std::size_t>(std::max(0.0, std::floor(gaps[j].zeros + tolerance)));
    if (hi[j] > MAX_GAP_BITS || hi[j] < lo[j]) return result;
  }
  // No choice of lengths gives the block its length: none fits. Beyond 8
  // lost bits each one more is free to take either value: past
  // MAX_FREE_BITS of them, or past so many choices of lengths, too many
  // fills fit to tell.
  double choices = 1.0;
  std::size_t least = 0;
  std::size_t most = 0;
  for (std::size_t j = 0; j < gaps.size(); ++j)
    choices *= static_cast<double>(hi[j] - lo[j] + 1), least += lo[j], most += hi[j];
  if (total != 0 && (total < known.size() + least || total > known.size() + most)) return result;
  if (least > 8 + MAX_FREE_BITS || choices > MAX_LENGTH_CHOICES) {
    result.fits = 2;
    return result;
  }
  std::vector<std::size_t> lengths(lo);
  for (;;) {
    std::size_t sum = known.size();
    for (std::size_t k : lengths) sum += k;
    if (sum % 8 == 0 && (total == 0 || sum == total)) TryLengths(known, gaps, lengths, result);
    if (result.fits > 1) {
      result.values.clear();
      result.lengths.clear();
      return result;
    }
    std::size_t j = 0;
    while (j < gaps.size() && lengths[j] == hi[j]) lengths[j] = lo[j], ++j;
    if (j == gaps.size()) break;
    ++lengths[j];
  }
  return result;
}

}  // namespace robust
}  // namespace tapedecoder
