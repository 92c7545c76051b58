// Restoring the bits dropouts took: a fill is given only where exactly
// one fits the checksum, the block's length, each gap's duration and
// where its silence lay.
#include "robust/gap_mender.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
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

// Bits p and p + 8 of a block differ from `from` on: nine lost bits from
// p have two fills of the same duration (the two swapped).
std::size_t Swappable(const std::vector<std::uint8_t>& bits, std::size_t from) {
  while (bits[from] == bits[from + 8]) ++from;
  return from;
}

// The bits read of `bits` where dropouts took `lost[g]` bits from each
// `at[g]` (and `cut` more at the end): into `known`, the lost ones into
// `lostBits`; each gap's duration in zero-bit periods.
std::vector<Gap> Damage(const std::vector<std::uint8_t>& bits, const std::vector<std::size_t>& at,
                        const std::vector<std::size_t>& lost, std::vector<std::uint8_t>& known,
                        std::vector<std::uint8_t>& lostBits, std::size_t cut = 0) {
  std::vector<Gap> gaps;
  std::size_t from = 0;
  for (std::size_t g = 0; g < at.size(); ++g) {
    known.insert(known.end(), bits.begin() + static_cast<std::ptrdiff_t>(from), bits.begin() + static_cast<std::ptrdiff_t>(at[g]));
    Gap gap;
    gap.before = known.size();
    for (std::size_t i = at[g]; i < at[g] + lost[g]; ++i) {
      gap.zeros += 1.0 + bits[i];
      lostBits.push_back(bits[i]);
    }
    gaps.push_back(gap);
    from = at[g] + lost[g];
  }
  known.insert(known.end(), bits.begin() + static_cast<std::ptrdiff_t>(from), bits.end() - static_cast<std::ptrdiff_t>(cut));
  return gaps;
}

struct GapsCase {
  const char* name;
  std::vector<std::size_t> at;  // each gap's first lost bit
  std::vector<std::size_t> lost;
  int fits;
  bool silence = false;    // each gap's silence as tight as its bits' inner edges
  bool lengthKnown = true;
  double durationError = 0.0;  // zero-bit periods added to the first gap's duration
  double quietFrom = 0.0;      // else where the first gap's silence starts
  std::size_t cut = 0;         // bits the block lacks besides its gaps'
};

TEST(GapMender, RestoresOnlyWhereOneFillFits) {
  const std::vector<std::uint8_t> bits = BlockBits(60, 4);
  const std::size_t p = Swappable(bits, 120);
  // A long block read across a dropout every so often: far more lost bits
  // than the columns restore.
  std::vector<std::size_t> often;
  for (std::size_t i = 1; i <= 40; ++i) often.push_back(10 * i);
  // Many one-bit gaps: more choices of lengths than could be tried one by
  // one. A one or two zeros last as long; the block's length, or else
  // where each silence lay, tells them apart.
  std::vector<std::size_t> many;
  for (std::size_t i = 1; i <= 45; ++i) many.push_back(10 * i + 3);
  const GapsCase cases[] = {
      {"one bit", {100}, {1}, 1},
      {"eight bits", {333}, {8}, 1, false, true, 0.1},
      {"five bits, whole bytes only", {40}, {5}, 1, false, false, -0.1},
      {"at the end: the checksum's own bits", {8 * 60 + 3}, {5}, 1},
      {"duration far off", {200}, {6}, 0, false, true, 3.0},
      {"nine bits: two share a column", {p}, {9}, 2},
      {"nine bits, their silence heard", {p}, {9}, 1, true},
      {"a silence no fill fits", {40, 200}, {3, 4}, 0, false, true, 0.0, 1.6},
      {"forty gaps: too many fills", often, std::vector<std::size_t>(40, 2), 2},
      {"forty gaps in a block cut short: none fits", often, std::vector<std::size_t>(40, 2), 0, false, true, 0.0, 0.0, 64},
      {"forty-five one-bit gaps", many, std::vector<std::size_t>(45, 1), 1},
      {"forty-five one-bit gaps, whole bytes only", many, std::vector<std::size_t>(45, 1), 2, false, false},
      {"forty-five one-bit gaps, whole bytes, their silence heard", many, std::vector<std::size_t>(45, 1), 1, true, false},
  };
  for (const GapsCase& c : cases) {
    std::vector<std::uint8_t> known, lostBits;
    std::vector<Gap> gaps = Damage(bits, c.at, c.lost, known, lostBits, c.cut);
    for (std::size_t g = 0; c.silence && g < gaps.size(); ++g) {
      gaps[g].quietFrom = 0.5 * (1.0 + bits[c.at[g]]);
      gaps[g].quietTo = gaps[g].zeros - 0.5 * (1.0 + bits[c.at[g] + c.lost[g] - 1]);
    }
    gaps[0].zeros += c.durationError;
    if (c.quietFrom > 0.0) gaps[0].quietFrom = c.quietFrom;
    GapsFill fill = FillGaps(known, gaps, c.lengthKnown ? bits.size() : 0);
    EXPECT_EQ(fill.fits, c.fits) << c.name;
    if (c.fits == 1) {
      EXPECT_EQ(fill.values, lostBits) << c.name;
    } else {
      EXPECT_TRUE(fill.values.empty()) << c.name;
    }
  }
}

// Where several fills fit, the likeliest by the block's own bytes: a
// block of few values (text, fills) comes back whole, even a fill whose
// every byte lies between gaps; random bytes at least keep the checksum
// and the length; gaps closer than a byte are not guessed.
struct GuessCase {
  const char* name;
  const char* text;  // the block's bytes: this repeated, else pseudo-random
  std::vector<std::size_t> at, lost;
  bool ok;
  bool exact;
  char head = 0, tail = 0;  // where not 0, the first and last EDGE bytes this value
};
constexpr std::size_t EDGE = 40;

TEST(GapMender, GuessesTheLikeliestFillWhereSeveralFit) {
  // A dropout every 300 bits (a fifth of a second at the ROM's speed).
  std::vector<std::size_t> often, spread;
  std::vector<std::size_t> shifted;  // each in the fill after the random bytes
  for (std::size_t i = 1; i <= 15; ++i) often.push_back(300 * i + 7), shifted.push_back(300 * i + 27);
  for (std::size_t i = 1; i <= 4; ++i) spread.push_back(1000 * i + 3);
  const char* line = "10 PRINT \"HELLO\": GO TO 10\r";
  const GuessCase cases[] = {
      {"text, fifteen gaps of two bits", line, often, std::vector<std::size_t>(15, 2), true, true},
      {"text, four gaps of five bits", line, spread, std::vector<std::size_t>(4, 5), true, true},
      {"random, four gaps of nine bits", nullptr, spread, std::vector<std::size_t>(4, 9), true, false},
      {"text, gaps closer than a byte", line, {1000, 1012}, {9, 9}, false, false},
      {"a fill seen only off its bytes' places", "\xA5", shifted, std::vector<std::size_t>(15, 2), true, true, '\x5A', '\x3C'},
  };
  for (const GuessCase& c : cases) {
    std::vector<std::uint8_t> bits = BlockBits(600, 9);
    if (c.text) {
      std::vector<std::uint8_t> bytes;
      std::uint8_t x = 0;
      const std::size_t n = std::strlen(c.text);
      for (std::size_t i = 0; i < 600; ++i) {
        const char head = i < EDGE ? c.head : 0, tail = i >= 600 - EDGE ? c.tail : 0;
        bytes.push_back(static_cast<std::uint8_t>(head != 0 ? head : tail != 0 ? tail : c.text[i % n]));
        x ^= bytes.back();
      }
      bytes.push_back(x);
      bits.clear();
      for (std::uint8_t b : bytes)
        for (int k = 7; k >= 0; --k) bits.push_back(static_cast<std::uint8_t>((b >> k) & 1));
    }
    std::vector<std::uint8_t> known, lostBits;
    const std::vector<Gap> gaps = Damage(bits, c.at, c.lost, known, lostBits);
    ASSERT_EQ(FillGaps(known, gaps, bits.size()).fits, 2) << c.name;
    const GapsGuess guess = GuessGaps(known, gaps, bits.size());
    ASSERT_EQ(guess.ok, c.ok) << c.name;
    if (!c.ok) continue;
    // The block as guessed: its length, and every column even.
    std::vector<std::uint8_t> block;
    for (std::size_t g = 0, i = 0, v = 0; g <= gaps.size(); ++g) {
      const std::size_t to = g < gaps.size() ? gaps[g].before : known.size();
      block.insert(block.end(), known.begin() + static_cast<std::ptrdiff_t>(i), known.begin() + static_cast<std::ptrdiff_t>(to));
      i = to;
      if (g == gaps.size()) break;
      block.insert(block.end(), guess.values.begin() + static_cast<std::ptrdiff_t>(v),
                   guess.values.begin() + static_cast<std::ptrdiff_t>(v + guess.lengths[g]));
      v += guess.lengths[g];
    }
    ASSERT_EQ(block.size(), bits.size()) << c.name;
    std::uint8_t parity = 0;
    for (std::size_t i = 0; i < block.size(); ++i) parity ^= static_cast<std::uint8_t>(block[i] << (i % 8));
    EXPECT_EQ(parity, 0) << c.name;
    // Only the guess in a block of few values stands out from the rest.
    EXPECT_EQ(GuessStands(guess, gaps.size()), c.exact) << c.name << ": margin " << guess.margin;
    if (c.exact) {
      EXPECT_EQ(guess.values, lostBits) << c.name;
    }
  }
}

// Two readings of one block saved twice, each lost bits in its dropouts
// (and both a few at the end): merged where each gap's bits are read in
// the other copy, never where both lost them or the copies differ.
struct TwinCase {
  const char* name;
  std::size_t atA, lostA, atB, lostB;
  std::size_t cut;           // bits at the end neither read
  std::size_t differs = 0;   // a bit copy B has flipped (0: none)
  bool ok = true;
};

GappedBits Reading(const std::vector<std::uint8_t>& bits, std::size_t at, std::size_t lost, std::size_t cut) {
  GappedBits r;
  r.bits.assign(bits.begin(), bits.begin() + static_cast<std::ptrdiff_t>(at));
  Gap gap;
  gap.before = at;
  for (std::size_t i = at; i < at + lost; ++i) gap.zeros += 1.0 + bits[i];
  r.gaps.push_back(gap);
  r.bits.insert(r.bits.end(), bits.begin() + static_cast<std::ptrdiff_t>(at + lost),
                bits.end() - static_cast<std::ptrdiff_t>(cut));
  return r;
}

TEST(GapMender, CopiesFillEachOther) {
  const std::vector<std::uint8_t> bits = BlockBits(60, 9);
  const TwinCase cases[] = {
      {"lost in other places", 100, 12, 300, 9, 0},
      {"the last byte's bits from the checksum", 100, 12, 300, 9, 3},
      {"lost in the same place", 200, 7, 203, 7, 0, 0, false},
      {"copies that differ", 100, 12, 300, 9, 0, 250, false},
  };
  for (const TwinCase& c : cases) {
    std::vector<std::uint8_t> other = bits;
    if (c.differs) other[c.differs] ^= 1u;
    const TwinMerge merge = MergeTwins(Reading(bits, c.atA, c.lostA, c.cut), Reading(other, c.atB, c.lostB, c.cut), bits.size());
    EXPECT_EQ(merge.ok, c.ok) << c.name;
    if (c.ok) {
      EXPECT_EQ(merge.bits, bits) << c.name;
      EXPECT_EQ(merge.parityBits, c.cut) << c.name;
    }
  }
}

// A reading of a block whose copy verified, with slips (a one read as two
// zeros, or two zeros as a one) or run on into the pause: read as the
// copy only where each slip is clear of the next and the rest alike.
struct SlipCase {
  const char* name;
  std::vector<std::size_t> slips;  // where a one reads as 00, or a 00 as a one
  std::size_t extra;               // bits read past the end
  std::size_t flip;                // a bit read otherwise (0: none)
  bool ok;
};

TEST(GapMender, ASlippedReadingIsItsCopy) {
  const std::vector<std::uint8_t> copy = BlockBits(60, 5);
  // The first one after `from`, and the first two zeros after it.
  const auto one = [&](std::size_t from) {
    while (copy[from] != 1) ++from;
    return from;
  };
  const auto zeros = [&](std::size_t from) {
    while (copy[from] != 0 || copy[from + 1] != 0) ++from;
    return from;
  };
  const SlipCase cases[] = {
      {"a one as two zeros, two zeros as a one", {one(100), zeros(300)}, 0, 0, true},
      {"run on a byte into the pause", {}, 8, 0, true},
      {"two slips too close to tell", {one(100), zeros(one(100) + 10)}, 0, 0, false},
      {"more slips than allowed", {one(100), zeros(200), one(300)}, 0, 0, false},
      {"a bit read otherwise", {one(100)}, 0, 200, false},
  };
  for (const SlipCase& c : cases) {
    std::vector<std::uint8_t> reading;
    for (std::size_t i = 0; i < copy.size(); ++i) {
      const bool slip = std::find(c.slips.begin(), c.slips.end(), i) != c.slips.end();
      if (slip && copy[i] == 1) {
        reading.insert(reading.end(), {0, 0});
      } else if (slip) {
        reading.push_back(1);
        ++i;
      } else {
        reading.push_back(static_cast<std::uint8_t>(copy[i] ^ (c.flip != 0 && i == c.flip)));
      }
    }
    reading.resize(reading.size() + c.extra, 1);
    std::vector<std::ptrdiff_t> own;
    std::size_t slips = 0;
    EXPECT_EQ(ReadAsCopy(copy, reading, 2, own, slips), c.ok) << c.name;
    if (c.ok) {
      EXPECT_EQ(slips, c.slips.size()) << c.name;
    }
  }
}

// Two readings part by a slip only where one reads the other a bit on
// from where they differ; a bit misread, or a reading gone astray, is none.
TEST(GapMender, ReadingsPartBySlip) {
  const std::vector<std::uint8_t> a = BlockBits(40, 9);
  std::size_t at = 100;
  while (a[at] != 1) ++at;
  struct {
    const char* name;
    std::vector<std::uint8_t> b;
    int shift;
  } cases[] = {{"a one read as two zeros", a, 1}, {"a bit misread", a, 0}, {"astray", a, 0}};
  cases[0].b[at] = 0;
  cases[0].b.insert(cases[0].b.begin() + static_cast<std::ptrdiff_t>(at), 0);
  cases[1].b[at] ^= 1;
  const std::vector<std::uint8_t> other = BlockBits(40, 10);
  std::copy(other.begin() + static_cast<std::ptrdiff_t>(at), other.end(), cases[2].b.begin() + static_cast<std::ptrdiff_t>(at));
  cases[2].b[at] = static_cast<std::uint8_t>(a[at] ^ 1);
  for (const auto& c : cases) {
    const SlipApart apart = PartBySlip(a, c.b, a.size());
    EXPECT_EQ(apart.shift, c.shift) << c.name;
    EXPECT_EQ(apart.at, c.shift != 0 ? static_cast<std::ptrdiff_t>(at) : -1) << c.name;
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
  Gap gap;
  gap.before = at;
  for (std::size_t i = at; i < at + 12; ++i) gap.zeros += 1.0 + bits[i];
  EXPECT_EQ(FillGaps(known, {gap}, bits.size()).fits, 2);
}

// Loaders' ones need not last twice a zero: a gap's duration counts them
// at their own length.
TEST(GapMender, OnesOfAnotherLength) {
  const std::vector<std::uint8_t> bits = BlockBits(40, 11);
  const std::size_t at = 90;
  std::vector<std::uint8_t> known(bits.begin(), bits.begin() + at);
  known.insert(known.end(), bits.begin() + at + 6, bits.end());
  Gap gap;
  gap.before = at;
  for (std::size_t i = at; i < at + 6; ++i) gap.zeros += bits[i] ? 2.5 : 1.0;
  const GapsFill fill = FillGaps(known, {gap}, bits.size(), 2.5);
  ASSERT_EQ(fill.fits, 1);
  EXPECT_EQ(fill.values, std::vector<std::uint8_t>(bits.begin() + at, bits.begin() + at + 6));
}

// A block of bytes repeating every 16 (flag, data, checksum) keeps its
// checksum where read a bit out of step between two weak bits: a reading
// of it that verifies proves nothing there. Other data, or one weak bit,
// leaves no such twin.
TEST(GapMender, SlipsTheChecksumDoesNotSee) {
  std::vector<std::uint8_t> repeating{0xff};
  for (int i = 0; i < 64 * 16; ++i) repeating.push_back(static_cast<std::uint8_t>((i % 16) * 0x11));
  repeating.push_back(0xff);
  std::vector<std::uint8_t> other;
  const std::vector<std::uint8_t> bits = BlockBits(1025, 5);
  for (std::size_t i = 0; i < bits.size(); ++i) {
    if (i % 8 == 0) other.push_back(0);
    other.back() = static_cast<std::uint8_t>(other.back() | (bits[i] << (7 - i % 8)));
  }
  struct {
    const char* name;
    const std::vector<std::uint8_t>& bytes;
    std::vector<std::size_t> weak;
    bool twin;
  } cases[] = {{"repeating, two zeros and a one weak", repeating, {11, 275}, true},
               {"other data", other, {11, 275}, false},
               {"one weak bit", repeating, {11}, false}};
  for (const auto& c : cases) EXPECT_EQ(SlipPairAlsoVerifies(c.bytes, c.weak), c.twin) << c.name;
}

}  // namespace
}  // namespace robust
}  // namespace tapedecoder
