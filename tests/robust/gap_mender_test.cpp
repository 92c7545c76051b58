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

}  // namespace
}  // namespace robust
}  // namespace tapedecoder
