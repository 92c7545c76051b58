#include "robust/gap_mender.h"

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

}  // namespace robust
}  // namespace tapedecoder
