// Restoring the bits a dropout took: a fill is given only where exactly
// one fits the checksum, the block's length and the gap's duration.
#include "robust/gap_mender.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace tapedecoder {
namespace robust {
namespace {

// A block of `bytes` pseudo-random bytes and its checksum, one bit an entry.
std::vector<std::uint8_t> BlockBits(int bytes, std::uint32_t seed) {
  std::vector<std::uint8_t> block;
  std::uint8_t x = 0;
  for (int i = 0; i < bytes; ++i) {
    seed = seed * 1103515245u + 12345u;
    block.push_back(static_cast<std::uint8_t>(seed >> 16));
    x ^= block.back();
  }
  block.push_back(x);
  std::vector<std::uint8_t> bits;
  for (std::uint8_t b : block)
    for (int k = 7; k >= 0; --k) bits.push_back(static_cast<std::uint8_t>((b >> k) & 1));
  return bits;
}

struct GapCase {
  const char* name;
  std::size_t at;
  std::size_t lost;
  bool lengthKnown;
  double durationError;  // zero-bit periods added to the gap's duration
  int fits;              // 1: restored exactly; else more than one or none
};

TEST(GapMender, RestoresOnlyWhereOneFillFits) {
  const GapCase cases[] = {
      {"one bit, length known", 100, 1, true, 0.0, 1},
      {"eight bits, length known", 333, 8, true, 0.1, 1},
      {"five bits, whole bytes only", 40, 5, false, -0.1, 1},
      {"at the end: the checksum's own bits", 8 * 60 + 3, 5, true, 0.0, 1},
      {"duration far off", 200, 6, true, 3.0, 0},
  };
  for (const GapCase& c : cases) {
    const std::vector<std::uint8_t> bits = BlockBits(60, 9);
    std::vector<std::uint8_t> known(bits.begin(), bits.begin() + static_cast<std::ptrdiff_t>(c.at));
    known.insert(known.end(), bits.begin() + static_cast<std::ptrdiff_t>(c.at + c.lost), bits.end());
    double zeros = c.durationError;
    for (std::size_t i = c.at; i < c.at + c.lost; ++i) zeros += 1.0 + bits[i];
    GapFill fill = FillGap(known, c.at, zeros, c.lengthKnown ? bits.size() : 0);
    EXPECT_EQ(fill.fits, c.fits) << c.name;
    if (c.fits == 1) {
      EXPECT_EQ(fill.values, std::vector<std::uint8_t>(bits.begin() + static_cast<std::ptrdiff_t>(c.at),
                                                       bits.begin() + static_cast<std::ptrdiff_t>(c.at + c.lost)))
          << c.name;
    }
  }
}

// Twelve lost bits: four columns hold two unknowns each. Where the
// duration cannot tell the fills apart, none is given.
TEST(GapMender, AmbiguousGapIsNotFilled) {
  std::vector<std::uint8_t> bits = BlockBits(60, 4);
  // Columns 0-3 of the lost run hold 1,0 in one place and 0,1 in the
  // other: swapping them keeps parity and duration.
  const std::size_t at = 160;
  for (std::size_t k = 0; k < 4; ++k) {
    bits[at + k] = 1;
    bits[at + 8 + k] = 0;
  }
  std::uint8_t column[8] = {};
  for (std::size_t i = 0; i + 8 < bits.size(); ++i) column[i % 8] ^= bits[i];
  for (std::size_t c = 0; c < 8; ++c) bits[bits.size() - 8 + c] = column[c];
  std::vector<std::uint8_t> known;
  for (std::size_t i = 0; i < bits.size(); ++i)
    if (i < at || i >= at + 12) known.push_back(bits[i]);
  double zeros = 0.0;
  for (std::size_t i = at; i < at + 12; ++i) zeros += 1.0 + bits[i];
  EXPECT_EQ(FillGap(known, at, zeros, bits.size()).fits, 2);
}

// Several gaps in one block share the column parities; where two lost
// bits share a column, the bits the signal still shows at a gap's ends
// decide, and a hint that contradicts every fill leaves none.
struct GapsCase {
  const char* name;
  std::vector<std::size_t> at;  // each gap's first lost bit
  std::vector<std::size_t> lost;
  bool hints;     // each gap's first and last bit given as heard
  bool wrongHint;  // the first gap's first bit given inverted
  int fits;
  std::size_t cut = 0;  // bits the block lacks besides its gaps'
};

TEST(GapMender, SeveralGapsShareTheChecksum) {
  // Nine lost bits from p on, where bits p and p + 8 differ, have two
  // fills of the same duration.
  const std::vector<std::uint8_t> bits = BlockBits(60, 4);
  std::size_t p = 120;
  while (bits[p] == bits[p + 8]) ++p;
  // A long block read across a dropout every so often: far more lost bits
  // than the columns restore, and more choices of lengths than are tried.
  std::vector<std::size_t> often;
  for (std::size_t i = 1; i <= 40; ++i) often.push_back(10 * i);
  const GapsCase cases[] = {
      {"forty gaps: too many to try", often, std::vector<std::size_t>(40, 2), false, false, 2},
      {"forty gaps in a block cut short: none fits", often, std::vector<std::size_t>(40, 2), false, false, 0, 64},
      {"two gaps, their ends heard", {40, 200}, {3, 4}, true, false, 1},
      {"nine bits: two share a column", {p}, {9}, false, false, 2},
      {"nine bits, their ends heard", {p}, {9}, true, false, 1},
      {"a hint that fits no fill", {40, 200}, {3, 4}, true, true, 0},
  };
  for (const GapsCase& c : cases) {
    std::vector<std::uint8_t> known;
    std::vector<Gap> gaps;
    std::vector<std::uint8_t> lostBits;
    std::size_t from = 0;
    for (std::size_t g = 0; g < c.at.size(); ++g) {
      known.insert(known.end(), bits.begin() + static_cast<std::ptrdiff_t>(from), bits.begin() + static_cast<std::ptrdiff_t>(c.at[g]));
      Gap gap;
      gap.before = known.size();
      for (std::size_t i = c.at[g]; i < c.at[g] + c.lost[g]; ++i) {
        gap.zeros += 1.0 + bits[i];
        lostBits.push_back(bits[i]);
      }
      if (c.hints) {
        gap.first = bits[c.at[g]] ^ (c.wrongHint && g == 0 ? 1 : 0);
        gap.last = bits[c.at[g] + c.lost[g] - 1];
      }
      gaps.push_back(gap);
      from = c.at[g] + c.lost[g];
    }
    known.insert(known.end(), bits.begin() + static_cast<std::ptrdiff_t>(from), bits.end() - static_cast<std::ptrdiff_t>(c.cut));
    GapsFill fill = FillGaps(known, gaps, bits.size());
    EXPECT_EQ(fill.fits, c.fits) << c.name;
    if (c.fits == 1) {
      EXPECT_EQ(fill.values, lostBits) << c.name;
    }
  }
}

}  // namespace
}  // namespace robust
}  // namespace tapedecoder
