// The robust decoder reading through damage on one take: dropouts to
// silence, all-pass phase smear, strong band limits, and all of a worn
// tape's faults at once.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "robust/robust_decoder.h"
#include "robust/robust_trackers.h"
#include "robust/tape_synth.h"

namespace tapedecoder {
namespace {

using testing_support::DataBlock;
using testing_support::LoaderBlock;
using testing_support::RenderLoaderTape;
using testing_support::RenderTape;
using testing_support::RomHeader;
using testing_support::TapeBytes;
using testing_support::TapePath;

std::vector<TapeBlock> Decode(const std::vector<float>& samples, double rate, const RobustOptions& options = {},
                               bool reread = false) {
  std::vector<TapeBlock> blocks;
  CRobustDecoder decoder(rate, [&](TapeBlock&& b) { blocks.push_back(std::move(b)); }, options);
  if (reread) decoder.SetRereader([&samples](std::int64_t first, float* out, std::size_t max) {
    const std::size_t from = std::min(samples.size(), static_cast<std::size_t>(first));
    const std::size_t n = std::min(max, samples.size() - from);
    std::copy_n(samples.data() + from, n, out);
    return n;
  });
  decoder.Feed(samples.data(), samples.size());
  decoder.Finish();
  return blocks;
}

// One dropout to silence, `ms` long, at `at` seconds: in a header, in the
// data after it, or in a block with no header (its length follows from
// the pause). Without mending the damaged block does not come back; with
// it every block does, the damaged one as mended and saying where -- or,
// where more than one fill fits, it is kept as read and says so. A block
// saved twice is mended from its copy instead, also where the copy has a
// header of its own between (the program saved twice), the copy before
// the damaged block or after it, read again or not; but
// never from other data of the same length saved that way. A block mended
// from its checksum whose copy right after it or before it verifies and
// differs from it is not kept as verified.
// GUESSED: more than one fill fits the checksum; the likeliest is kept and
// the block is marked as a guess, never as good.
enum class Expect { MENDED, EXACT, UNMENDED, GUESSED };
enum class Twice { NO, NEXT, WITH_HEADER, WITH_HEADER_STREAMED, OTHER_DATA, NEXT_DIFFERS };

struct DropoutCase {
  const char* name;
  bool headerless;
  double ms;
  double at;
  std::size_t damaged;  // the block the dropout falls in
  Expect expect;
  // Pulses of whole samples, as tools write them: the edge that closed the
  // last bit before the gap is whole, yet no return from it.
  bool wholeSamples = false;
  double every = 100.0;  // seconds between dropouts
  int gaps = 1;          // the dropouts in the damaged block
  Twice twice = Twice::NO;  // how the data block is saved again after it
  bool text = false;        // the data block holds a line of text over and over
};

TEST(RobustDamage, DropoutsAreMendedFromTheChecksum) {
  const DropoutCase cases[] = {
      {"0.5 ms headerless", true, 0.5, 2.35, 0, Expect::EXACT},
      {"1 ms early in data", false, 1.0, 8.65, 1, Expect::MENDED},
      {"1 ms headerless", true, 1.0, 2.35, 0, Expect::MENDED},
      {"2 ms in a header", false, 2.0, 5.325, 0, Expect::MENDED},
      {"2 ms late in data", false, 2.0, 9.90, 1, Expect::MENDED},
      {"2 ms headerless", true, 2.0, 2.65, 0, Expect::MENDED},
      {"5 ms in data", false, 5.0, 9.15, 1, Expect::MENDED},
      {"5 ms headerless", true, 5.0, 2.85, 0, Expect::MENDED},
      // Over eight bits lost, and more than one fill fits: the likeliest by
      // the block's bytes, marked as a guess.
      {"7 ms ambiguous", false, 7.0, 8.90, 1, Expect::GUESSED},
      {"7 ms ambiguous, in text", false, 7.0, 8.90, 1, Expect::GUESSED, false, 100.0, 1, Twice::NO, true},
      {"1 ms in data, whole samples", false, 1.0, 8.6508, 1, Expect::MENDED, true},
      {"2 ms in data, whole samples", false, 2.0, 8.6508, 1, Expect::MENDED, true},
      // Several in one block share the checksum: the bits each edge of a
      // silence still shows are read, and what is left is few enough.
      {"2 ms, three headerless", true, 2.0, 2.35, 0, Expect::MENDED, false, 0.55, 3},
      // Saved twice, the other copy's dropout 0.24 s further into its data:
      // each copy's lost bits are read in the other.
      {"7 ms in a block saved twice", false, 7.0, 8.90, 1, Expect::MENDED, false, 5.0, 1, Twice::NEXT},
      {"7 ms in the first of header and data saved twice", false, 7.0, 8.90, 1, Expect::MENDED, false, 100.0, 1,
       Twice::WITH_HEADER},
      {"7 ms in the second of header and data saved twice", false, 7.0, 19.70, 3, Expect::MENDED, false, 100.0, 1,
       Twice::WITH_HEADER},
      {"7 ms in the first of header and data saved twice, not read again", false, 7.0, 8.90, 1, Expect::MENDED, false,
       100.0, 1, Twice::WITH_HEADER_STREAMED},
      {"7 ms, other data of its length saved after", false, 7.0, 8.90, 1, Expect::GUESSED, false, 100.0, 1,
       Twice::OTHER_DATA},
      {"2 ms late in data, its copy after it differs there", false, 2.0, 9.90, 1, Expect::UNMENDED, false, 100.0, 1,
       Twice::NEXT_DIFFERS},
      {"2 ms late in data, its copy before it differs there", false, 2.0, 14.6645, 2, Expect::UNMENDED, false, 100.0,
       1, Twice::NEXT_DIFFERS},
  };
  for (const DropoutCase& c : cases) {
    std::vector<TapeBytes> tape =
        c.headerless ? std::vector<TapeBytes>{DataBlock(200, 6)} : std::vector<TapeBytes>{RomHeader("alpha", 300), DataBlock(300, 1)};
    if (c.text) {
      const char line[] = "10 PRINT \"HELLO\": GO TO 10\r";
      TapeBytes& data = tape.back();
      data.back() = 0;
      for (std::size_t i = 1; i + 1 < data.size(); ++i)
        data[i] = static_cast<std::uint8_t>(line[i % (sizeof line - 1)]);
      for (std::size_t i = 0; i + 1 < data.size(); ++i) data.back() ^= data[i];
    }
    if (c.twice == Twice::NEXT || c.twice == Twice::NEXT_DIFFERS) tape.push_back(tape.back());
    if (c.twice == Twice::NEXT_DIFFERS) {
      // A bit the dropout in the first takes (bit 2065), the checksum kept.
      tape.back()[258] ^= 0x40;
      tape.back().back() ^= 0x40;
    }
    if (c.twice != Twice::NO && c.twice != Twice::NEXT && c.twice != Twice::NEXT_DIFFERS) {
      tape.push_back(RomHeader("beta", 300));
      tape.push_back(c.twice == Twice::OTHER_DATA ? DataBlock(300, 2) : tape[1]);
    }
    TapePath path;
    path.dropEvery = c.every;
    path.dropSeconds = c.ms / 1000.0;
    path.dropGain = 0.0;
    path.dropFirst = c.at;
    path.wholeSamples = c.wholeSamples;
    const std::vector<float> samples = RenderTape(tape, path, 7);
    RobustOptions off;
    off.mendDropouts = false;
    const bool twice = c.twice != Twice::NO;
    const bool reread = twice && c.twice != Twice::WITH_HEADER_STREAMED && c.twice != Twice::NEXT_DIFFERS;
    std::vector<TapeBlock> got = Decode(samples, path.rate, off, reread);
    EXPECT_FALSE(got.size() > c.damaged && got[c.damaged].bytes == tape[c.damaged]) << c.name << ": read without mending";
    got = Decode(samples, path.rate, {}, reread);
    ASSERT_EQ(got.size(), tape.size()) << c.name;
    for (std::size_t i = 0; i < tape.size(); ++i) {
      const TapeBlock& b = got[i];
      if (i != c.damaged || c.expect == Expect::EXACT) {
        EXPECT_EQ(b.bytes, tape[i]) << c.name << ", block " << i;
        EXPECT_EQ(b.unmendedGaps, 0) << c.name << ", block " << i;
      } else if (c.expect == Expect::MENDED) {
        EXPECT_EQ(b.bytes, tape[i]) << c.name;
        EXPECT_EQ(b.origin, BlockOrigin::MENDED) << c.name;
        ASSERT_GT(b.mendedBits, 0) << c.name;
        EXPECT_EQ(b.mendedGaps, c.gaps) << c.name;
        EXPECT_EQ(b.mendedFromCopy, twice) << c.name;
        EXPECT_NEAR(b.bitSeconds[b.mendedAt], c.at, 0.002) << c.name;
      } else if (c.expect == Expect::GUESSED) {
        EXPECT_EQ(b.bytes, tape[i]) << c.name;
        EXPECT_EQ(b.origin, BlockOrigin::MENDED) << c.name;
        EXPECT_TRUE(b.mendGuessed) << c.name;
        EXPECT_EQ(b.unmendedGaps, 0) << c.name;
        EXPECT_FALSE(ChecksumGood(b)) << c.name;
        EXPECT_FALSE(GoodBytes(b)) << c.name;
      } else {
        EXPECT_NE(b.origin, BlockOrigin::MENDED) << c.name;
        EXPECT_GT(b.unmendedGaps, 0) << c.name;
        EXPECT_FALSE(ChecksumGood(b.bytes)) << c.name;
      }
    }
  }
}

// Short dropouts (0.5 ms) every few tenths of a second through a long
// block: some are read across as gaps, others leave weak bits that read
// right, more than can be tried both ways. Taken as read, they leave the
// gaps' fill to the block's length alone, and the checksum tests that one
// reading: the block comes back mended, and none verifies wrong.
struct ShortDropCase {
  double every;  // seconds between dropouts
  std::uint32_t seed;
};

TEST(RobustDamage, ManyWeakBitsLeaveTheFillToTheLength) {
  const ShortDropCase cases[] = {{0.2, 3}, {0.3, 1}, {0.45, 2}};
  for (const ShortDropCase& c : cases) {
    const std::vector<TapeBytes> tape{RomHeader("alpha", 2000), DataBlock(2000, c.seed)};
    TapePath path;
    path.dropEvery = c.every;
    path.dropSeconds = 0.0005;
    path.dropGain = 0.0;
    path.dropFirst = 8.6;
    const std::vector<TapeBlock> got = Decode(RenderTape(tape, path, c.seed), path.rate);
    ASSERT_EQ(got.size(), tape.size()) << "every " << c.every;
    EXPECT_EQ(got[1].bytes, tape[1]) << "every " << c.every;
    EXPECT_EQ(got[1].origin, BlockOrigin::MENDED) << "every " << c.every;
    for (const TapeBlock& b : got) {
      const bool real = std::find(tape.begin(), tape.end(), b.bytes) != tape.end();
      EXPECT_TRUE(real || !ChecksumGood(b.bytes)) << "every " << c.every << ": " << b.bytes.size() << " bytes verify, wrong";
    }
  }
}

// An all-pass chain (800, 2000, 4000 Hz, Q 1) smears the sync so that
// its end reads as a first zero bit and the block one bit late; at an
// announced length that verifies half the time. A block read through it
// is exact, and none verifies with the wrong bytes.
TEST(RobustDamage, AllPassSmearDoesNotShiftTheBlock) {
  const std::uint32_t seeds[] = {1, 3, 5};
  for (std::uint32_t seed : seeds) {
    const std::vector<TapeBytes> tape{RomHeader("alpha", 1500), DataBlock(1500, seed), DataBlock(800, seed + 10)};
    TapePath path;
    path.allpassHz = {800.0, 2000.0, 4000.0};
    const std::vector<TapeBlock> got = Decode(RenderTape(tape, path, seed), path.rate);
    ASSERT_EQ(got.size(), tape.size()) << "seed " << seed;
    for (std::size_t i = 0; i < tape.size(); ++i) EXPECT_EQ(got[i].bytes, tape[i]) << "seed " << seed << ", block " << i;
  }
}

// A sync found early -- smeared by an all-pass chain, or made by noise at
// the pilot's end -- leaves its rest as one or two first bits; read as
// data they put the block a bit or two late, and a header's leading zeros
// (or an announced length) let that verify. The block named comes back
// exactly, and nothing verifies with the wrong bytes.
struct ShiftCase {
  const char* name;
  double rate;
  bool heavy;  // the worn-tape mix, else the all-pass chain
  double noise;
  std::uint32_t seed;
  std::size_t exact;  // blocks from the first that must come back exactly
};

TEST(RobustDamage, AnEarlySyncDoesNotShiftTheBlock) {
  const ShiftCase cases[] = {
      {"all-pass 44.1 kHz", 44100.0, false, 0.1, 2, 1},
      {"all-pass 48 kHz", 48000.0, false, 0.1, 3, 1},
      {"tape-heavy, a weak first bit", 44100.0, true, 0.3, 8, 3},
  };
  for (const ShiftCase& c : cases) {
    const std::vector<TapeBytes> tape{RomHeader("alpha", 1500), DataBlock(1500, c.seed), DataBlock(800, c.seed + 10)};
    TapePath path;
    path.rate = c.rate;
    path.noise = c.noise;
    if (c.heavy) {
      path.highpassHz = 200.0;
      path.lowpassHz = 5000.0;
      path.gain = 0.125;
      path.wowDepth = 0.03;
      path.wowHz = 0.5;
    } else {
      path.allpassHz = {800.0, 2000.0, 4000.0};
    }
    const std::vector<TapeBlock> got = Decode(RenderTape(tape, path, c.seed), path.rate);
    ASSERT_GE(got.size(), c.exact) << c.name;
    for (std::size_t i = 0; i < c.exact; ++i) EXPECT_EQ(got[i].bytes, tape[i]) << c.name << ", block " << i;
    for (const TapeBlock& b : got) {
      const bool real = std::find(tape.begin(), tape.end(), b.bytes) != tape.end();
      EXPECT_TRUE(real || !ChecksumGood(b.bytes)) << c.name << ": " << b.bytes.size() << " bytes verify, wrong";
    }
  }
}

// Noise and wow make a false sync deep in a pilot; read on as bits, the
// rest of the pilot and the block after it verify by chance at the
// announced length (or at the pause). Followed edge by edge, the pilot
// shows it goes on: the sync is noise, and the real block comes back.
// Nor does a block that no header announced, running straight on into
// the next block's pilot, read that pilot as ones (and the next block
// with it, a checksum that passes by chance).
struct ToneCase {
  const char* name;
  bool bandPass;  // 200 Hz-5 kHz with 3 % wow at 4 Hz, else a 1 kHz high-pass
  std::uint32_t seed;
  std::size_t block;  // the block whose pilot gave a false sync
  bool straightOn = false;  // two data blocks, no header, no pause, no noise
};

TEST(RobustDamage, APilotReadOnAsBitsIsNoBlock) {
  const ToneCase cases[] = {
      {"band-pass and wow, a header's pilot", true, 25, 2},
      {"high-pass, a data block's pilot", false, 7, 3},
      {"a block straight on into the next's pilot", false, 3, 0, true},
  };
  for (const ToneCase& c : cases) {
    std::vector<TapeBytes> tape{RomHeader("alpha", 1000), DataBlock(1000, c.seed), RomHeader("beta", 300),
                                DataBlock(300, c.seed + 5)};
    TapePath path;
    path.noise = 0.4;
    path.highpassHz = c.bandPass ? 200.0 : 1000.0;
    path.lowpassHz = c.bandPass ? 5000.0 : 0.0;
    path.wowDepth = c.bandPass ? 0.03 : 0.0;
    path.wowHz = 4.0;
    if (c.straightOn) {
      tape = {DataBlock(600, c.seed), DataBlock(400, c.seed + 5)};
      path = TapePath{};
      path.pauseSeconds = 0.0;
    }
    const std::vector<TapeBlock> got = Decode(RenderTape(tape, path, c.seed), path.rate);
    EXPECT_TRUE(std::any_of(got.begin(), got.end(), [&](const TapeBlock& b) { return b.bytes == tape[c.block]; }))
        << c.name;
    for (const TapeBlock& b : got) {
      const bool real = std::find(tape.begin(), tape.end(), b.bytes) != tape.end();
      EXPECT_TRUE(real || !ChecksumGood(b.bytes)) << c.name << ": " << b.bytes.size() << " bytes verify, wrong";
    }
  }
}

// A pilot, a sync and a flag of zeros, then clicks in a repeating
// pattern of three pulses (bits of unequal halves, read by their sums):
// bytes that repeat every three verify at every third byte, far more
// often than by chance. No such block stands as good; the real one after
// it comes back.
TEST(RobustDamage, ARepeatingClickPatternIsNoBlock) {
  const struct {
    const char* name;
    double pattern[3];
    int repeats;
  } cases[] = {
      {"2168, 1710, 855 T", {2168.0, 1710.0, 855.0}, 54},
      {"855, 2168, 855 T", {855.0, 2168.0, 855.0}, 115},
  };
  for (const auto& c : cases) {
    LoaderBlock flag;
    flag.bytes = {0x00};
    flag.pilotPulses = 1000;
    flag.pauseSeconds = 0.0;
    LoaderBlock clicks;
    clicks.bytes.assign(static_cast<std::size_t>(c.repeats + 7) / 8, 0x00);
    clicks.usedBits = c.repeats % 8 == 0 ? 8 : c.repeats % 8;
    clicks.bitPulses = 3;
    std::copy(c.pattern, c.pattern + 3, clicks.zero);
    clicks.pauseSeconds = 0.3;
    LoaderBlock real;
    real.bytes = DataBlock(150, 9);
    real.pilotPulses = 1500;
    const TapePath path;
    const std::vector<TapeBlock> got = Decode(RenderLoaderTape({flag, clicks, real}, path, 9), path.rate);
    EXPECT_TRUE(std::any_of(got.begin(), got.end(), [&](const TapeBlock& b) { return b.bytes == real.bytes; }))
        << c.name;
    for (const TapeBlock& b : got) {
      EXPECT_TRUE(b.bytes == real.bytes || !ChecksumGood(b.bytes)) << c.name << ": " << b.bytes.size() << " bytes verify";
    }
  }
}

// A reading whose checksum fails where a lossy codec made it slip (a one
// read as two zeros, two zeros as a one) at some of its least sure bits:
// the slips are undone where one way to read them stands out, the
// checksum and the block's own bytes telling which. More slips than a
// guess may undo are left as read.
TEST(RobustDamage, SlipsAtTheLeastSureBitsAreUndone) {
  const std::string line = "10 PRINT \"HELLO\": GO TO 10: REM a BASIC line that repeats ";
  const struct {
    const char* name;
    bool text;
    std::vector<std::size_t> slips;  // bits where a one was read as two zeros
    bool undone;
  } cases[] = {
      {"text, two slips", true, {1203, 2411}, true},
      {"text, three slips", true, {801, 1605, 2899}, true},
      {"text, five slips", true, {401, 1003, 1605, 2207, 2899}, false},
      {"random bytes, two slips", false, {1203, 2411}, true},
      {"random bytes, four slips", false, {401, 1203, 2411, 2899}, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TapeBytes block = DataBlock(451, 7);
    for (std::size_t i = 1; c.text && i + 1 < block.size(); ++i)
      block[i] = static_cast<std::uint8_t>(line[i % line.size()]);
    block.back() = 0;
    for (std::size_t i = 0; i + 1 < block.size(); ++i) block.back() ^= block[i];
    // The reading: each slip on a one (the nearest from its place on), the
    // block's length in bits kept; the slips and a few other bits unsure.
    std::vector<int> bits;
    for (std::size_t i = 0; i < 8 * block.size(); ++i) bits.push_back((block[i / 8] >> (7 - i % 8)) & 1);
    std::vector<std::size_t> unsure = {97, 1507, 2050, 3100};
    for (std::size_t k = 0; k < c.slips.size(); ++k) {
      std::size_t at = c.slips[k] + k;  // the slips before it each added a bit
      while (bits[at] != 1) ++at;
      bits[at] = 0;
      bits.insert(bits.begin() + static_cast<std::ptrdiff_t>(at), 0);
      unsure.push_back(at);
    }
    robust::Candidate read;
    for (std::size_t i = 8 * block.size(); i < bits.size(); ++i)
      read.after |= static_cast<std::uint32_t>(bits[i]) << read.afterBits++;  // read on past the block's length
    bits.resize(8 * block.size());
    read.found = true;
    read.cut = true;
    read.zero = 11.0;
    read.pilot = 27.5;
    read.bytes.assign(block.size(), 0);
    double t = 1000.0;
    for (std::size_t i = 0; i < bits.size(); ++i) {
      read.bytes[i / 8] = static_cast<std::uint8_t>(read.bytes[i / 8] | (bits[i] << (7 - i % 8)));
      const bool weak = std::find(unsure.begin(), unsure.end(), i) != unsure.end();
      read.bits.Add(weak ? 0.1f : 0.9f, t);
      t += bits[i] ? 44.0 : 22.0;
    }
    read.end = t;
    ASSERT_FALSE(ChecksumGood(read.bytes));
    const std::shared_ptr<robust::Candidate> guess = robust::GuessSlips(read, block.size());
    EXPECT_EQ(guess != nullptr, c.undone);
    if (guess) {
      EXPECT_EQ(guess->bytes, block);
      EXPECT_TRUE(guess->guessed);
      EXPECT_EQ(guess->mendedBits, static_cast<int>(c.slips.size()));
      EXPECT_EQ(guess->mendedGaps, 0);
    }
  }
}

}  // namespace
}  // namespace tapedecoder
