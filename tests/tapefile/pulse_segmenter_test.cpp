// Splitting edges into blocks, tones, sequences, raw stretches and pauses;
// keeping the robust decoder's blocks where they overlap.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <string>
#include <vector>

#include "tapefile/part_merge.h"
#include "tapefile/pulse_segmenter.h"

namespace {

using namespace tapedecoder;

// Edges built from pulse lengths (T-states); a pause is a long gap.
class Tape {
 public:
  Tape& Pulses(double length, int count) {
    for (int k = 0; k < count; ++k) Pulse(length);
    return *this;
  }
  Tape& Pulse(double length) {
    m_edges.push_back(Edge{m_t, m_edges.size() % 2 == 0});
    m_t += length;
    return *this;
  }
  Tape& Pause(double seconds) { return Pulse(seconds * TSTATES_PER_SECOND); }
  // A block of `bits` bits of `bytes` with the given timings.
  Tape& Block(const std::vector<std::uint8_t>& bytes, std::size_t bits, const BlockTiming& t) {
    if (t.pilot > 0) Pulses(t.pilot, t.pilotPulses).Pulse(t.sync1).Pulse(t.sync2);  // else no pilot, no sync
    for (std::size_t b = 0; b < bits; ++b) {
      const bool one = (bytes[b / 8] >> (7 - b % 8)) & 1;
      Pulses(one ? t.one : t.zero, 2);
    }
    return *this;
  }
  // Ends with a last edge and `seconds` of silence after it.
  std::vector<Edge> Edges(double seconds = 0.0) {
    m_edges.push_back(Edge{m_t, m_edges.size() % 2 == 0});
    m_end = m_t + seconds * TSTATES_PER_SECOND;
    return m_edges;
  }
  double EndSeconds() const { return m_end / TSTATES_PER_SECOND; }

 private:
  std::vector<Edge> m_edges;
  double m_t = 0.1 * TSTATES_PER_SECOND;
  double m_end = 0.0;
};

const BlockTiming ROM = {ROM_PILOT_PULSE, ROM_SYNC1_PULSE, ROM_SYNC2_PULSE,
                         ROM_ZERO_PULSE,  ROM_ONE_PULSE,   1000};
const BlockTiming TURBO = {1800, 500, 600, 400, 800, 900};
const std::vector<std::uint8_t> BYTES = {0xFF, 0x12, 0xA5, 0x00, 0x3C, 0x81};

BlockTiming Scaled(BlockTiming t, double speed) {
  for (double* v : {&t.pilot, &t.sync1, &t.sync2, &t.zero, &t.one}) *v *= speed;
  return t;
}

// 'B' ROM block, 'T' other block, 't' tone, 's' sequence, 'r' raw.
std::string Kinds(const std::vector<TapePart>& parts) {
  std::string out;
  for (const TapePart& part : parts) {
    if (const auto* block = std::get_if<TapeBlock>(&part)) {
      out += block->romTiming ? 'B' : 'T';
    } else {
      const StretchKind kind = std::get<PulseStretch>(part).kind;
      out += kind == StretchKind::TONE ? 't' : kind == StretchKind::SEQUENCE ? 's' : 'r';
    }
  }
  return out;
}

std::vector<double> Irregular(int count) {
  std::vector<double> out;
  for (int k = 0; k < count; ++k) out.push_back(500.0 + (k * 7919 % 13) * 250.0);
  return out;
}

struct SegmentCase {
  const char* name;
  std::function<void(Tape&)> build;
  const char* kinds;
};

TEST(PulseSegmenter, EachStretchOfTheTapeBecomesItsKindOfPart) {
  const SegmentCase cases[] = {
      {"ROM block", [](Tape& t) { t.Block(BYTES, 48, ROM); }, "B"},
      {"ROM block on a tape 4 % fast", [](Tape& t) { t.Block(BYTES, 48, Scaled(ROM, 0.96)); }, "B"},
      {"ROM block on a tape 4 % slow", [](Tape& t) { t.Block(BYTES, 48, Scaled(ROM, 1.04)); }, "B"},
      {"ROM pilot with bits 10 % long", [](Tape& t) {
         BlockTiming odd = ROM;
         odd.zero *= 1.1;
         odd.one *= 1.1;
         t.Block(BYTES, 48, odd);
       }, "T"},
      {"turbo block", [](Tape& t) { t.Block(BYTES, 45, TURBO); }, "T"},
      {"250 T pilot, a short sync beside long bits", [](Tape& t) {
         t.Block(BYTES, 48, BlockTiming{250, 132, 139, 300, 900, 400});
       }, "T"},
      {"a fast pilot behind two pulses bent coming out of silence", [](Tape& t) {
         t.Pulse(800).Pulse(520).Block(BYTES, 48, BlockTiming{632, 250, 230, 260, 520, 400});
       }, "sT"},
      {"blocks, tone and sequence back to back", [](Tape& t) {
         t.Block(BYTES, 48, ROM).Block(BYTES, 48, TURBO).Pulses(1200, 300);
         for (double p : Irregular(11)) t.Pulse(p);
       }, "BTts"},
      {"pilot without a sync is a tone", [](Tape& t) { t.Pulses(2168, 400).Pause(0.5).Pulses(3000, 40); }, "tt"},
      {"short and long irregular runs", [](Tape& t) {
         for (double p : Irregular(20)) t.Pulse(p);
         t.Pause(1.0);
         for (double p : Irregular(1000)) t.Pulse(p);
       }, "sr"},
      {"pauses of 0.5, 1 and 3 s", [](Tape& t) {
         t.Pause(0.5).Block(BYTES, 48, ROM).Pause(1.0).Block(BYTES, 48, TURBO).Pause(3.0).Pulses(2000, 100);
       }, "rBTt"},  // the lone first edge, then the pause
  };
  for (const SegmentCase& c : cases) {
    SCOPED_TRACE(c.name);
    Tape tape;
    c.build(tape);
    const std::vector<Edge> edges = tape.Edges(0.25);
    const std::vector<TapePart> parts = SegmentEdges(edges);
    EXPECT_EQ(Kinds(parts), c.kinds);
    // Nothing is lost: parts plus the silence between them fill the tape.
    double played = 0.0;
    for (const TapePart& part : parts) played += PartEndSeconds(part) - PartStartSeconds(part);
    double silence = PartStartSeconds(parts.front()) + (tape.EndSeconds() - PartEndSeconds(parts.back()));
    for (std::size_t k = 1; k < parts.size(); ++k)
      silence += PartStartSeconds(parts[k]) - PartEndSeconds(parts[k - 1]);
    EXPECT_NEAR(played + silence, tape.EndSeconds(), 1e-9);
    EXPECT_NEAR(PartEndSeconds(parts.back()), edges.back().tstates / TSTATES_PER_SECOND, 1e-9);
  }
}

TEST(PulseSegmenter, BlocksKeepTheirBytesUsedBitsAndTimings) {
  struct Timed {
    const char* name;
    BlockTiming timing;
    std::size_t bits;
    std::vector<std::uint8_t> bytes;
  };
  const Timed cases[] = {
      {"ROM 4 % slow", Scaled(ROM, 1.04), 48, BYTES},
      {"turbo", TURBO, 45, BYTES},
      {"turbo, 1 bit in the last byte", TURBO, 41, BYTES},
      {"ROM, only ones", ROM, 32, {0xFF, 0xFF, 0xFF, 0xFF}},
      {"turbo, only zeros", TURBO, 32, {0, 0, 0, 0}},
      {"no pilot, flag 0xFF first", BlockTiming{0, 0, 0, 600, 1200, 0}, 72,
       {0xFF, 0x12, 0xA5, 0x00, 0x3C, 0x81, 0x5A, 0x33, 0x0F}},
  };
  for (const Timed& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::uint8_t> bytes = c.bytes;
    bytes.resize((c.bits + 7) / 8);
    if (c.bits % 8) bytes.back() &= static_cast<std::uint8_t>(0xFF << (8 - c.bits % 8));
    Tape tape;
    tape.Block(bytes, c.bits, c.timing);
    const std::vector<TapePart> parts = SegmentEdges(tape.Edges());
    ASSERT_EQ(parts.size(), 1u);
    const auto& block = std::get<TapeBlock>(parts[0]);
    EXPECT_EQ(block.bytes, bytes);
    EXPECT_EQ(block.usedBits, c.bits % 8 ? c.bits % 8 : 8);
    EXPECT_EQ(block.timing.pilotPulses, c.timing.pilotPulses);
    for (auto field : {&BlockTiming::pilot, &BlockTiming::sync1, &BlockTiming::sync2})
      EXPECT_NEAR(block.timing.*field, c.timing.*field, 1e-6);
    // The length of a kind that occurs is measured; of the other, guessed.
    const bool ones = std::any_of(bytes.begin(), bytes.end(), [](auto b) { return b != 0; });
    const bool zeros = std::any_of(bytes.begin(), bytes.end(), [](auto b) { return b != 0xFF; });
    if (zeros) {
      EXPECT_NEAR(block.timing.zero, c.timing.zero, 1e-6);
    }
    if (ones) {
      EXPECT_NEAR(block.timing.one, c.timing.one, 1e-6);
    }
    EXPECT_EQ(block.romTiming, c.timing.pilot > 2000);
    const double lead = c.timing.pilot * c.timing.pilotPulses + c.timing.sync1 + c.timing.sync2;
    EXPECT_NEAR(block.dataSeconds - block.startSeconds, lead / TSTATES_PER_SECOND, 1e-9);
  }
}

TEST(PulseSegmenter, BlocksBesideOtherPulsesComeBackAloneAndWhole) {
  // The bytes of every block, in order.
  struct Case {
    const char* name;
    std::function<void(Tape&)> build;
    std::vector<std::vector<std::uint8_t>> blocks;
  };
  const std::vector<std::uint8_t> pilotless = {0xFF, 0x12, 0xA5, 0x00, 0x3C, 0x81, 0x5A, 0x33, 0x0F};
  const std::vector<std::uint8_t> dropped = {0xFF, 0x12, 0xA5, 0x00, 0x3C, 0x81, 0x5A, 0x33, 0x0F, 0x77, 0x42, 0xA6};
  const Case cases[] = {
      {"a long pulse after a slow ROM block, near a one's half, then data at other lengths",
       [&](Tape& t) {
         t.Block(BYTES, 48, Scaled(ROM, 1.02)).Pulse(1430).Block(pilotless, 72, BlockTiming{0, 0, 0, 612, 1224, 0});
       },
       {BYTES, pilotless}},
      {"a pilot clicking every six pulses into a short pilot: its pattern is no data",
       [&](Tape& t) {
         for (int k = 0; k < 40; ++k) t.Pulses(2168, 6).Pulses(1084, 2);
         t.Pulses(2168, 64).Block(BYTES, 48, BlockTiming{2168, 667, 735, 570, 1140, 0});
       },
       {BYTES}},
      {"pilotless data out of silence, a dropout two bits on merging three pulses",
       [&](Tape& t) {
         t.Pulse(1200);  // the first bit's first edge lost
         for (int b = 1; b < 8 * static_cast<int>(dropped.size()); ++b) {
           const bool one = (dropped[b / 8] >> (7 - b % 8)) & 1;
           if (b == 9) t.Pulse(1800);  // bit 9 and half of bit 10 (zeros)
           if (b < 9 || b > 10) t.Pulses(one ? 1200 : 600, 2);
           if (b == 10) t.Pulse(600);
         }
       },
       {dropped}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Tape tape;
    c.build(tape);
    std::vector<std::vector<std::uint8_t>> blocks;
    for (const TapePart& part : SegmentEdges(tape.Edges(0.25)))
      if (const auto* block = std::get_if<TapeBlock>(&part)) blocks.push_back(block->bytes);
    EXPECT_EQ(blocks, c.blocks);
  }
}

TEST(PulseSegmenter, PilotlessDataWhoseFirstBitSilenceSwallowedIsWhole) {
  // A tape path loses the first pulses out of silence: data read one bit
  // short of whole bytes gets the first bit that makes it verify.
  for (const std::uint8_t flag : {0xFF, 0x00}) {
    SCOPED_TRACE(static_cast<int>(flag));
    std::vector<std::uint8_t> bytes = {flag, 0x12, 0xA5, 0x00, 0x3C, 0x81, 0x5A, 0x33, 0};
    for (std::size_t k = 0; k + 1 < bytes.size(); ++k) bytes.back() ^= bytes[k];
    Tape tape;
    for (std::size_t b = 1; b < 8 * bytes.size(); ++b) tape.Pulses((bytes[b / 8] >> (7 - b % 8)) & 1 ? 1200 : 600, 2);
    const std::vector<TapePart> parts = SegmentEdges(tape.Edges(0.25));
    ASSERT_EQ(Kinds(parts), "T");
    EXPECT_EQ(std::get<TapeBlock>(parts[0]).bytes, bytes);
  }
}

TEST(PulseSegmenter, APilotClickingUpToItsSyncKeepsTheBlock) {
  // Clicks in a pilot, each widened by a band limit into a short pulse
  // and a shortened pilot pulse, or lone (bridged inside the pilot); fewer
  // pilot pulses after the last click than a tone has. The pilot's pulses
  // are not read as bits, and the block's pilot is the pulses after the
  // last click (its mean without them).
  struct Case {
    const char* name;
    double click, after;  // the click's two pulses, T (after 0: one)
    int left;             // pilot pulses after the last click
  };
  const BlockTiming data = {2168, 667, 735, 560, 1120, 0};
  const std::vector<std::uint8_t> bytes = {0xFF, 0x12, 0xA5, 0x00, 0x3C, 0x74};  // verifies
  for (const Case& c : {Case{"widened clicks, 30 pulses left", 560, 1820, 30},
                        Case{"widened clicks, 20 pulses left", 480, 1800, 20},
                        Case{"lone clicks, 30 pulses left", 250, 0, 30}}) {
    SCOPED_TRACE(c.name);
    Tape tape;
    for (int k = 0; k < 20; ++k) {
      tape.Pulses(2168, 63).Pulse(c.click);
      if (c.after > 0) tape.Pulse(c.after);
    }
    tape.Pulses(2168, c.left).Block(bytes, 48, data);
    const std::vector<TapePart> parts = SegmentEdges(tape.Edges(0.25));
    int blocks = 0;
    for (const TapePart& part : parts) {
      const auto* block = std::get_if<TapeBlock>(&part);
      if (block == nullptr) continue;
      ++blocks;
      EXPECT_EQ(block->bytes, bytes);
      EXPECT_EQ(block->timing.pilotPulses, c.left);
      EXPECT_NEAR(block->timing.pilot, 2168, 1e-6);
    }
    EXPECT_EQ(blocks, 1) << Kinds(parts);
  }
}

TEST(PartMerge, RobustBlocksReplaceWhatOverlapsThemAndStretchesSplitAroundThem) {
  // Segmenter: a tone, a noisy stretch over a ROM block, a turbo block.
  Tape tape;
  tape.Pulses(3000, 50);
  for (double p : Irregular(3000)) tape.Pulse(p);
  tape.Pause(0.5).Block(BYTES, 48, TURBO);
  const std::vector<TapePart> parts = SegmentEdges(tape.Edges());
  ASSERT_EQ(Kinds(parts), "trT");
  const auto& noisy = std::get<PulseStretch>(parts[1]);
  // The robust decoder found a block inside the noisy stretch.
  TapeBlock robust;
  robust.bytes = BYTES;
  robust.startSeconds = noisy.startSeconds + 0.2;
  robust.endSeconds = noisy.startSeconds + 0.5;
  // ... and one over the turbo block.
  TapeBlock second = robust;
  second.startSeconds = std::get<TapeBlock>(parts[2]).startSeconds + 0.01;
  second.endSeconds = std::get<TapeBlock>(parts[2]).endSeconds;
  const std::vector<TapePart> merged = MergeRobustBlocks({robust, second}, parts);
  ASSERT_EQ(Kinds(merged), "trBrB");
  const auto& before = std::get<PulseStretch>(merged[1]);
  const auto& after = std::get<PulseStretch>(merged[3]);
  EXPECT_LE(PartEndSeconds(merged[1]), robust.startSeconds);
  EXPECT_GE(after.startSeconds, robust.endSeconds);
  EXPECT_LT(after.startSeconds - robust.endSeconds, 0.001);
  EXPECT_EQ(before.startSeconds, noisy.startSeconds);
  // The level of a split-off piece follows the original's alternation.
  const std::size_t skipped = noisy.pulses.size() - before.pulses.size() - after.pulses.size();
  EXPECT_EQ(after.firstPulseHigh, noisy.firstPulseHigh == ((before.pulses.size() + skipped) % 2 == 0));
}

TEST(PartMerge, RunOnTakesLongerReadingsOnlyWhenTheyAreData) {
  // A ROM block that verifies at its announced length, and the segmenter's
  // reading from the same data start with `more` bytes after it: a stray
  // byte a filtered block's end rings with is no run-on; a long run-on, or
  // one that verifies whole, is. A sync the segmenter misread keeps the
  // block a ROM block.
  struct Case {
    const char* name;
    std::size_t more;
    bool verifiesWhole;
    double sync1;  // the segmenter's, T
    std::size_t length;
    bool romTiming;
  };
  const std::vector<std::uint8_t> data = {0xFF, 0x12, 0xA5, 0x00, 0x3C, 0x81, 0x00};
  std::vector<std::uint8_t> robustBytes = data;
  robustBytes.back() = 0xFF ^ 0x12 ^ 0xA5 ^ 0x3C ^ 0x81;
  for (const Case& c : {Case{"stray byte", 1, false, 1656, 7, true},
                        Case{"verifying byte", 1, true, 1656, 8, true},
                        Case{"long run-on", 41, false, ROM_SYNC1_PULSE, 48, true},
                        Case{"long run-on, bad sync", 41, false, 1656, 48, true}}) {
    SCOPED_TRACE(c.name);
    TapeBlock robust;
    robust.bytes = robustBytes;
    robust.dataSeconds = 1.0;
    robust.timing = ROM;
    TapeBlock read = robust;
    read.timing.sync1 = c.sync1;
    read.romTiming = c.sync1 == ROM_SYNC1_PULSE;
    read.bytes.resize(robustBytes.size() + c.more, 0x5A);
    if (c.verifiesWhole) read.bytes.back() = 0x00;
    read.dataSeconds += 0.001;
    std::vector<TapeBlock> blocks = {robust};
    RunOnBlocks(blocks, {TapePart(read)});
    EXPECT_EQ(blocks[0].bytes.size(), c.length);
    EXPECT_EQ(blocks[0].romTiming, c.romTiming);
    EXPECT_EQ(blocks[0].timing.sync1, ROM_SYNC1_PULSE);
  }
}

TEST(PartMerge, ALoadersBlockReadInTheRomsRatiosTakesTheFittedBitLengths) {
  // The robust decoder reads a loader's block at 450/900 T in the ROM's
  // ratios; the segmenter fits 476/913 T (a player's whole samples) to the
  // same bytes' edges. The fitted lengths and byte starts play the block
  // in step; a ROM block, or another reading, keeps the decoder's.
  struct Case {
    const char* name;
    bool romTiming;
    std::uint8_t lastByte;  // the segmenter's
    double zero;
  };
  const std::uint8_t check = 0xFF ^ 0x12 ^ 0xA5 ^ 0x00 ^ 0x3C ^ 0x81;
  for (const Case& c : {Case{"a loader's block", false, check, 476},
                        Case{"a ROM block", true, check, 450},
                        Case{"other bytes", false, 0x00, 450}}) {
    SCOPED_TRACE(c.name);
    TapeBlock robust;
    robust.bytes = {0xFF, 0x12, 0xA5, 0x00, 0x3C, 0x81, check};
    robust.dataSeconds = 1.0;
    robust.romTiming = c.romTiming;
    robust.timing = Scaled(ROM, 450 / ROM_ZERO_PULSE);
    TapeBlock read = robust;
    read.bytes.back() = c.lastByte;
    read.timing.zero = 476;
    read.timing.one = 913;
    read.byteSeconds = {1.0, 1.01};
    read.dataSeconds += 0.0005;
    std::vector<TapeBlock> blocks = {robust};
    TakeMeasuredBitLengths(blocks, {TapePart(read)});
    EXPECT_DOUBLE_EQ(blocks[0].timing.zero, c.zero);
    EXPECT_EQ(blocks[0].byteSeconds.size(), c.zero == 476 ? 2u : 0u);
  }
}

TEST(PartMerge, AReadingOverABadRomBlockKeepsRomTimingUnlessClearlyOff) {
  // The segmenter reads a block whole where the robust decoder's ROM
  // reading failed: the listing and the images take its reading, a ROM
  // block still when only its sync is off (a high-pass bends the sync's
  // short pulses), a loader's block when its bits are.
  struct Case {
    const char* name;
    BlockTiming timing;
    bool romTiming;
  };
  BlockTiming bentSync = ROM;
  bentSync.sync1 = 995;
  const std::vector<std::uint8_t> good = {0xFF, 0x12, 0xA5, 0x00, 0x3C, 0x81, 0xF5};
  for (const Case& c : {Case{"bent sync", bentSync, true}, Case{"loader", TURBO, false}}) {
    SCOPED_TRACE(c.name);
    Tape tape;
    tape.Block(good, 56, c.timing);
    std::vector<TapePart> found = SegmentEdges(tape.Edges(1.0));
    ASSERT_EQ(Kinds(found), "T");
    ASSERT_FALSE(std::get<TapeBlock>(found[0]).romTiming);
    TapeBlock bad;
    bad.bytes = {0xFF, 0x12, 0xA5};
    bad.timing = ROM;
    bad.startSeconds = PartStartSeconds(found[0]) + 0.01;
    bad.endSeconds = PartEndSeconds(found[0]);
    std::vector<bool> listed;
    std::vector<TapePart> parts;
    CPartMerger merger([&parts](TapePart&& part) { parts.push_back(std::move(part)); },
                       [&listed](const TapeBlock& block, bool) { listed.push_back(block.romTiming); });
    merger.Robust(std::move(bad));
    merger.Found(std::move(found[0]));
    merger.Finish();
    EXPECT_EQ(listed, std::vector<bool>{c.romTiming});
    EXPECT_EQ(Kinds(parts), c.romTiming ? "B" : "T");
  }
}

TEST(PartMerge, PiecesOfABrokenBlocksDataDoNotStandForIt) {
  // Noise breaks a long ROM block's bits; the segmenter reads the data in
  // pieces. A piece verifying by its bytes' pattern (ascending bytes xor to
  // 0), behind a run of ones read as a short pilot, or from its pilot read
  // as data (a phase smear blurs the pilot), is the block's; a
  // block with a pilot of its own, or a reading of the block from its
  // start, reads better.
  std::vector<std::uint8_t> ramp;
  for (int i = 4; i < 20; ++i) ramp.push_back(static_cast<std::uint8_t>((i % 16) << 4));
  BlockTiming onesRun = ROM;
  onesRun.pilot = 1760;
  std::vector<std::uint8_t> whole(200, 0x5A);
  whole[0] = 0xFF;
  whole.back() = 0xFF ^ 0x5A;  // 198 x 0x5A xor to 0
  struct Case {
    const char* name;
    std::vector<std::uint8_t> bytes;
    double start;
    double seconds;
    BlockTiming timing;
    std::size_t listed;  // the length of the one block listed
  };
  BlockTiming pilotless = ROM;
  pilotless.pilot = 0;
  const std::vector<std::uint8_t> brokenOff = {0x01, 0x70};
  // The block a place out of step after its flag: zeros shifted stay
  // zeros, and the checksum still verifies.
  std::vector<std::uint8_t> slipped(120, 0xB4);
  slipped[0] = 0xFF, slipped[1] = slipped[2] = 0x00, slipped.back() = 0xFF;
  BlockTiming stub = ROM;
  stub.pilotPulses = 1;
  const Case cases[] = {
      {"a stub of a pilot before bits out of step", slipped, 4.99, 5.0, stub, 200},
      {"a piece verifying by its pattern", ramp, 6.0, 0.3, pilotless, 200},
      {"a piece behind a run of ones", ramp, 7.0, 0.3, onesRun, 200},
      {"a block with a pilot of its own", ramp, 7.0, 0.3, ROM, 16},
      {"the block read whole from its start", whole, 0.0, 10.0, ROM, 200},
      {"its pilot read as pilotless data", ramp, 2.0, 0.3, pilotless, 200},
      {"a reading at other bit lengths breaking off early", brokenOff, 0.0, 5.5, TURBO, 200},
      {"a reading at other bit lengths through the block", brokenOff, 0.0, 10.0, TURBO, 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TapeBlock broken;
    broken.bytes = whole;
    broken.bytes[100] ^= 0x01;
    broken.timing = ROM;
    broken.startSeconds = 0.0;
    broken.dataSeconds = 5.0;
    broken.endSeconds = 10.0;
    TapeBlock piece;
    piece.bytes = c.bytes;
    piece.timing = c.timing;
    piece.romTiming = false;
    piece.startSeconds = c.start;
    piece.dataSeconds = c.start + (c.timing.pilot > 0.0 ? 0.2 : 0.0);
    piece.endSeconds = c.start + c.seconds;
    std::vector<std::size_t> listed;
    CPartMerger merger([](TapePart&&) {},
                       [&listed](const TapeBlock& block, bool) { listed.push_back(block.bytes.size()); });
    merger.Robust(std::move(broken));
    merger.Found(std::move(piece));
    merger.Finish();
    EXPECT_EQ(listed, std::vector<std::size_t>{c.listed});
  }
}

TEST(PartMerge, ADataBlockReadABitLateIsRealigned) {
  // A phase smear delays a sync's edges until the first bit passes for
  // its end: the data block comes one bit late, flag 0xFE, and may still
  // verify. After the header that announces it, or behind a sync whose
  // second pulse is a one's, it is read a bit earlier.
  std::vector<std::uint8_t> header = {0x00, 0x03, 'b', 'l', 'o', 'c', 'k', ' ', ' ', ' ', ' ', ' ', 4, 0, 0, 0, 0, 0};
  std::uint8_t x = 0;
  for (std::uint8_t b : header) x ^= b;
  header.push_back(x);
  const std::vector<std::uint8_t> data = {0xFF, 0x0A, 0x0D, 0x33, 0x32, 0xF9};  // verifies
  const std::vector<std::uint8_t> dataFF = {0xFF, 0x8A, 0x0D, 0x33, 0x32, 0x79};  // late, still flag 0xFF
  const auto lateOf = [](const std::vector<std::uint8_t>& bytes) {
    std::vector<std::uint8_t> late;  // each bit a place early, a 1 read past the end
    for (std::size_t i = 0; i < bytes.size(); ++i)
      late.push_back(static_cast<std::uint8_t>(bytes[i] << 1 | (i + 1 < bytes.size() ? bytes[i + 1] >> 7 : 1)));
    return late;
  };
  const std::vector<std::uint8_t> late = lateOf(data), lateFF = lateOf(dataFF);
  std::vector<std::uint8_t> lateBad = late;
  lateBad[2] ^= 0x10;
  BlockTiming lateSync = ROM;
  lateSync.sync1 = 1259;
  lateSync.sync2 = 1766;
  BlockTiming syncOfOnes = lateSync;
  syncOfOnes.sync1 = 1766;
  struct Case {
    const char* name;
    bool withHeader;
    std::vector<std::uint8_t> read;
    BlockTiming timing;
    std::vector<std::uint8_t> listed;
  };
  const Case cases[] = {
      {"after its header", true, late, ROM, data},
      {"behind a late sync", false, late, lateSync, data},
      {"no header, a ROM sync", false, late, ROM, late},
      {"flag 0xFF behind a late sync", false, lateFF, lateSync, dataFF},
      {"flag 0xFF behind a sync of two ones' pulses", false, lateFF, syncOfOnes, lateFF},
      {"flag 0xFF after its header, a ROM sync", true, lateFF, ROM, lateFF},
      {"a bit earlier does not verify", true, lateBad, ROM, lateBad},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::vector<std::uint8_t>> listed;
    CPartMerger merger([](TapePart&&) {},
                       [&listed](const TapeBlock& block, bool) { listed.push_back(block.bytes); });
    TapeBlock h;
    h.bytes = header;
    h.timing = ROM;
    h.startSeconds = 0.0;
    h.dataSeconds = 2.0;
    h.endSeconds = 2.5;
    if (c.withHeader) merger.Robust(std::move(h));
    TapeBlock d;
    d.bytes = c.read;
    d.timing = c.timing;
    d.startSeconds = 3.5;
    d.dataSeconds = 5.5;
    d.endSeconds = 5.6;
    merger.Robust(std::move(d));
    merger.Finish();
    ASSERT_FALSE(listed.empty());
    EXPECT_EQ(listed.back(), c.listed);
  }
}

// Parts and their times, to compare a stream's result with the whole one's.
std::string Described(const std::vector<TapePart>& parts) {
  std::string out = Kinds(parts);
  for (const TapePart& part : parts)
    out += " " + std::to_string(PartStartSeconds(part)) + "-" + std::to_string(PartEndSeconds(part));
  return out;
}

TEST(StreamingSegmenter, PiecesOfAnySizeGiveTheWholeRecordingsParts) {
  Tape tape;
  tape.Pulses(3000, 50);
  for (double p : Irregular(3000)) tape.Pulse(p);
  // (a spike of noise in the last tone)
  tape.Pause(0.5).Block(BYTES, 48, TURBO).Pause(0.02).Block(BYTES, 48, ROM);
  tape.Pulses(2000, 40).Pulse(60).Pulses(2000, 40);
  const std::vector<Edge> edges = tape.Edges(1.0);
  const std::string whole = Described(SegmentEdges(edges));
  std::vector<double> fed;
  for (const Edge& edge : edges) fed.push_back(edge.tstates);
  for (const std::size_t piece : {std::size_t{1}, std::size_t{7}, std::size_t{1000}}) {
    SCOPED_TRACE(piece);
    std::vector<TapePart> parts;
    CPulseSegmenter segmenter([&parts](TapePart&& part) { parts.push_back(std::move(part)); });
    // The runs handed on are the edges as fed, the spike's included.
    std::vector<double> kept;
    segmenter.KeepRuns([&kept](std::vector<double>&& run) { kept.insert(kept.end(), run.begin(), run.end()); });
    for (std::size_t at = 0; at < edges.size(); at += piece) {
      const std::size_t count = std::min(piece, edges.size() - at);
      segmenter.Feed(edges.data() + at, count);
      if (at + count < edges.size()) segmenter.Advance(edges[at + count].tstates - 1.0);
    }
    segmenter.Finish();
    EXPECT_EQ(Described(parts), whole);
    EXPECT_EQ(kept, fed);
  }
}

TEST(PartMerge, AReadingShortOfItsLastBytesBitsIsNoGoodBlock) {
  // Whole bytes xor to the last one, played in part: a block whose last
  // bit silence swallowed is the block; one more bits short is a reading
  // out of step (a chance checksum), not in the .tap.
  const struct {
    std::uint8_t used;
    bool inTap;
  } cases[] = {{8, true}, {7, true}, {6, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.used));
    TapeBlock block;
    block.bytes = {0xFF, 0x10, 0x33, 0xDC};
    block.usedBits = c.used;
    block.timing = TURBO;
    block.startSeconds = 1.0, block.dataSeconds = 1.1, block.endSeconds = 1.2;
    std::string listed;
    CPartMerger merger([](TapePart&&) {}, [&listed](const TapeBlock&, bool inTap) { listed += inTap ? 'T' : '-'; });
    merger.Found(TapePart(block));
    merger.Finish();
    EXPECT_EQ(listed, c.inTap ? "T" : "-");
  }
}

TEST(PartMerge, APieceOfABrokenRunThatVerifiesByChanceIsNoBlock) {
  // Pilotless data between two pieces of a run the edges broke up (a
  // glitch pulse between them) verifies one time in 256; a block runs from
  // a pause or from a block that verifies, or at bit lengths of its own.
  BlockTiming pure = TURBO;
  pure.pilot = 0.0, pure.pilotPulses = 0, pure.sync1 = pure.sync2 = 0.0;
  const struct {
    const char* name;
    double gapBefore;     // silence before the middle piece's glitch
    bool nextVerifies;    // the piece after it verifies too
    double nextSpeed;     // the piece after it at bit lengths this much longer
    const char* listed;   // the middle piece: in the .tap ("T") or not listed
  } cases[] = {
      {"broken on both sides", 0.0, false, 1.0, ""},
      {"after a pause", 0.5, false, 1.0, "T"},
      {"running on into a block that verifies", 0.0, true, 1.0, "TT"},
      {"running on into data of other bit lengths", 0.0, false, 1.3, "T"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto piece = [&pure](double start, std::vector<std::uint8_t> bytes, double speed) {
      TapeBlock block;
      block.bytes = std::move(bytes);
      block.timing = Scaled(pure, speed);
      block.timing.pilot = 0.0;
      block.romTiming = false;
      block.startSeconds = block.dataSeconds = start;
      block.endSeconds = start + 0.1;
      return TapePart(block);
    };
    PulseStretch glitch;
    glitch.startSeconds = 1.1 + c.gapBefore;
    glitch.pulses = {2056.0};
    const double middle = PartEndSeconds(TapePart(glitch));
    std::string listed;
    CPartMerger merger([](TapePart&&) {}, [&listed](const TapeBlock&, bool inTap) { listed += inTap ? 'T' : '-'; });
    merger.Found(piece(1.0, {0x12, 0x34, 0x56, 0x01}, 1.0));
    merger.Found(TapePart(glitch));
    merger.Found(piece(middle, {0xFF, 0x10, 0x33, 0xDC}, 1.0));
    merger.Found(piece(middle + 0.1, {0x01, 0x02, c.nextVerifies ? std::uint8_t{0x03} : std::uint8_t{0x07}}, c.nextSpeed));
    merger.Finish();
    EXPECT_EQ(listed, c.listed);
  }
}

TEST(PartMerge, ARobustReadingThatStopsInsideABlockReadWholeGivesWay) {
  // The robust decoder read a block at its pilot with bytes that verify
  // by chance (its reader stopped inside it); the segmenter read the block
  // from the same pilot at its measured timing.
  const std::vector<std::uint8_t> robustBytes = {0x34, 0x90, 0xA4};
  const struct {
    const char* name;
    std::vector<std::uint8_t> segmented;
    double startOffset;  // of the segmenter's block from the robust one's
    bool segmenterListed;
  } cases[] = {
      {"read whole, with other bytes", {0x00, 0x11, 0x22, 0x33, 0x00}, 0.0, true},
      {"read whole, with other bytes, from a pilot a few pulses on", {0x00, 0x11, 0x22, 0x33, 0x00}, 0.004, true},
      {"as long, with other bytes (read a bit late)", {0x00, 0x11, 0x11}, 0.0, false},
      {"longer, but failing its checksum", {0x00, 0x11, 0x22, 0x33, 0x01}, 0.0, false},
      {"another block, after the robust one's pilot", {0x00, 0x11, 0x22, 0x33, 0x00}, 0.05, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TapeBlock robust;
    robust.bytes = robustBytes;
    robust.timing = ROM;
    robust.startSeconds = 1.0;
    robust.dataSeconds = 1.2;
    robust.endSeconds = 1.25;
    TapeBlock segmented = robust;
    segmented.bytes = c.segmented;
    segmented.timing = Scaled(ROM, 1.1);  // the robust block's bit lengths, measured a little off
    segmented.romTiming = false;
    segmented.startSeconds += c.startOffset;
    segmented.endSeconds = 1.27;
    std::vector<std::vector<std::uint8_t>> listed;
    CPartMerger merger([](TapePart&&) {}, [&listed](const TapeBlock& b, bool) { listed.push_back(b.bytes); });
    merger.Robust(TapeBlock(robust));
    merger.Found(TapePart(segmented));
    merger.Finish();
    ASSERT_FALSE(listed.empty());
    EXPECT_EQ(listed.front(), c.segmenterListed ? c.segmented : robustBytes);
  }
}

// Two readings that verify with other bytes over mostly the same stretch
// (a repeating pattern keeps the checksum of a reading that merged faint
// bits) are one block: the one with more bytes stays. Blocks that only
// touch are two.
TEST(PartMerge, TwoReadingsOfOneStretchAreOneBlock) {
  const std::vector<std::uint8_t> longer = {0xFF, 0x00, 0x11, 0x22, 0x33, 0xFF};
  const std::vector<std::uint8_t> shorter = {0xFF, 0x01, 0x23, 0xDD};
  const struct {
    const char* name;
    double secondStart, secondEnd;
    std::size_t listed;
  } cases[] = {
      {"the same stretch", 1.0, 2.0, 1},
      {"most of it", 1.3, 2.0, 1},
      {"straight on after it", 1.95, 3.0, 2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TapeBlock first;
    first.bytes = shorter;
    first.timing = ROM;
    first.startSeconds = 1.0;
    first.dataSeconds = 1.5;
    first.endSeconds = 2.0;
    TapeBlock second = first;
    second.bytes = longer;
    second.origin = BlockOrigin::RETRIED;
    second.startSeconds = c.secondStart;
    second.dataSeconds = c.secondStart + 0.1;
    second.endSeconds = c.secondEnd;
    std::vector<std::vector<std::uint8_t>> listed;
    CPartMerger merger([](TapePart&&) {}, [&listed](const TapeBlock& b, bool) { listed.push_back(b.bytes); });
    merger.Robust(std::move(first));
    merger.Robust(std::move(second));
    merger.Finish();
    ASSERT_EQ(listed.size(), c.listed);
    EXPECT_EQ(listed.back(), longer);
  }
}

TEST(StreamingMerge, SettlingAfterEveryPartGivesTheWholeMergeAndListing) {
  Tape tape;
  tape.Pulses(3000, 50);
  for (double p : Irregular(3000)) tape.Pulse(p);
  tape.Pause(0.5).Block(BYTES, 48, TURBO).Pause(0.5).Block(BYTES, 48, TURBO);
  std::vector<TapePart> found = SegmentEdges(tape.Edges(1.0));
  ASSERT_EQ(Kinds(found), "trTT");
  // A good robust block inside the noise, a bad one over the first turbo
  // block: the bad reading gives way to the block the segmenter read in
  // other timings, so the listing shows the good block and both turbo
  // blocks (whose bytes do not verify: not in the .tap).
  TapeBlock good;
  good.bytes = {0x12, 0x34, 0x26};
  good.startSeconds = PartStartSeconds(found[1]) + 0.2;
  good.endSeconds = good.startSeconds + 0.3;
  TapeBlock bad = good;
  bad.bytes = {0x12, 0x34, 0x27};
  bad.startSeconds = PartStartSeconds(found[2]) + 0.01;
  bad.endSeconds = PartEndSeconds(found[2]);
  const std::string whole = Described(MergeRobustBlocks({good}, found));
  const std::vector<TapeBlock> robust = {good, bad};
  for (const double lag : {0.0, 0.3, 100.0}) {
    SCOPED_TRACE(lag);
    std::vector<TapePart> parts;
    std::string listed;
    CPartMerger merger([&parts](TapePart&& part) { parts.push_back(std::move(part)); },
                       [&listed](const TapeBlock& block, bool inTap) {
                         listed += inTap ? (ChecksumGood(block.bytes) ? 'g' : 'b') : 'T';
                       });
    // The robust blocks arrive `lag` seconds after the segmenter's parts.
    std::size_t next = 0;
    for (std::size_t k = 0; k < found.size(); ++k) {
      const double now = PartEndSeconds(found[k]);
      while (next < robust.size() && robust[next].endSeconds + lag <= now) merger.Robust(TapeBlock(robust[next++]));
      merger.Found(TapePart(found[k]));
      const double robustFrom = next < robust.size() ? std::min(robust[next].startSeconds, now - lag) : now - lag;
      merger.Settle(robustFrom, k + 1 < found.size() ? PartStartSeconds(found[k + 1]) : now);
    }
    while (next < robust.size()) merger.Robust(TapeBlock(robust[next++]));
    // The window moves: with little lag, parts leave before the end.
    EXPECT_EQ(parts.empty(), lag > 1.0);
    merger.Finish();
    EXPECT_EQ(Described(parts), whole);
    EXPECT_EQ(listed, "gTT");
  }
}

}  // namespace
