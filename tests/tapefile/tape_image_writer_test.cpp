// The writers' encodings at their limits, read back through libspectrum:
// long pulses and counts, pauses, classic blocks, the header text.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "tzx_builder.h"
#include "audio/byte_source.h"
#include "audio/csw_reader.h"
#include "tapefile/tape_image.h"

namespace {

using testing_support::LsTape;
using namespace tapedecoder;

PulseStretch Stretch(double startSeconds, std::vector<double> pulses, StretchKind kind) {
  PulseStretch stretch;
  stretch.startSeconds = startSeconds;
  stretch.pulses = std::move(pulses);
  stretch.kind = kind;
  return stretch;
}

// Every edge of the parts: each part's first edge, then one per pulse.
std::vector<double> PartEdges(const std::vector<TapePart>& parts) {
  std::vector<double> edges;
  for (const TapePart& part : parts) {
    const auto& stretch = std::get<PulseStretch>(part);
    double t = stretch.startSeconds * TSTATES_PER_SECOND;
    if (edges.empty() || std::fabs(edges.back() - t) > 0.5) edges.push_back(t);
    for (double p : stretch.pulses) edges.push_back(t += p);
  }
  return edges;
}

TEST(TapeImageWriters, PulsesCountsAndPausesBeyondOneRecordPlayBackExactly) {
  // A tone too long for one record of either format, pulses too long for
  // a 16-bit field, one of 5 T-states, then 2 s of silence and a pulse.
  const double toneEnd = 0.1 + 70000.0 * 3000.0 / TSTATES_PER_SECOND;
  const std::vector<double> odd = {40000, 100, 70000, 5, 2500};
  double oddEnd = toneEnd;
  for (double p : odd) oddEnd += p / TSTATES_PER_SECOND;
  const std::vector<TapePart> parts = {
      Stretch(0.1, std::vector<double>(70000, 3000.0), StretchKind::TONE),
      Stretch(toneEnd, odd, StretchKind::SEQUENCE),
      Stretch(oddEnd + 2.0, {1234}, StretchKind::SEQUENCE),
  };
  const double seconds = oddEnd + 2.0 + 1234.0 / TSTATES_PER_SECOND;
  const std::vector<double> expected = PartEdges(parts);
  const ImageInfo info{"tapedecoder 1.0.0", "x.wav"};
  for (const bool pzx : {false, true}) {
    SCOPED_TRACE(pzx ? "PZX" : "TZX");
    const ImageResult image = pzx ? WritePzx(parts, seconds, info) : WriteTzx(parts, seconds, info);
    LsTape back;
    ASSERT_TRUE(back.Read(image.bytes));
    const testing_support::Played played = testing_support::Play(back);
    ASSERT_EQ(played.edges.size(), expected.size());
    double worst = 0.0;
    for (std::size_t k = 0; k < expected.size(); ++k)
      worst = std::max(worst, std::fabs(played.edges[k] - expected[k]));
    EXPECT_LE(worst, 1.0);
  }
}

TEST(TapeImageWriters, APausesRestOfAMillisecondGoesIntoTheFirstPulseAfterIt) {
  // A pulse sequence, then, after a gap of 1.2 s and 1234.6 T-states, a
  // part whose every edge but the first (the pause's end) plays within a
  // T-state of the recording's in TZX as well, whose pauses are whole ms.
  TapeBlock turbo;
  turbo.bytes = {0xFF, 0x5A, 0xC3, 0x99};
  turbo.romTiming = false;
  turbo.timing = {1800, 500, 600, 400, 800, 300};
  TapeBlock oneSync = turbo;
  oneSync.timing.sync2 = 0.0;
  struct Case {
    const char* name;
    TapePart part;
  };
  const double start = 0.2 + 1.2 + 1234.6 / TSTATES_PER_SECOND;
  const Case cases[] = {
      {"tone", Stretch(start, std::vector<double>(200, 2000.0), StretchKind::TONE)},
      {"pulse sequence", Stretch(start, {3000, 700, 1500, 2600, 500}, StretchKind::SEQUENCE)},
      {"turbo block", turbo},
      {"turbo block with a sync of one pulse", oneSync},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<double> pulses;
    TapePart part = c.part;
    if (auto* block = std::get_if<TapeBlock>(&part)) {
      const BlockTiming& t = block->timing;
      pulses.assign(static_cast<std::size_t>(t.pilotPulses), t.pilot);
      pulses.push_back(t.sync1);
      if (t.sync2 > 0.0) pulses.push_back(t.sync2);
      block->startSeconds = start;
      block->dataSeconds = start + (t.pilotPulses * t.pilot + t.sync1 + t.sync2) / TSTATES_PER_SECOND;
      for (std::size_t b = 0; b < block->bytes.size() * 8; ++b)
        pulses.insert(pulses.end(), 2, (block->bytes[b / 8] >> (7 - b % 8)) & 1 ? t.one : t.zero);
      double end = start;
      for (double p : pulses) end += p / TSTATES_PER_SECOND;
      block->endSeconds = end;
    } else {
      pulses = std::get<PulseStretch>(part).pulses;
    }
    const std::vector<TapePart> parts = {Stretch(0.1, {900, 1100, 1300}, StretchKind::SEQUENCE), part};
    std::vector<double> expected = PartEdges({parts[0], Stretch(start, pulses, StretchKind::SEQUENCE)});
    const ImageResult image = WriteTzx(parts, expected.back() / TSTATES_PER_SECOND + 0.5, ImageInfo{"t", ""});
    LsTape back;
    ASSERT_TRUE(back.Read(image.bytes));
    const testing_support::Played played = testing_support::Play(back);
    ASSERT_GE(played.edges.size(), expected.size());
    const std::size_t first = expected.size() - pulses.size();  // the part's second edge
    double worst = 0.0;
    for (std::size_t k = first; k < expected.size(); ++k)
      worst = std::max(worst, std::fabs(played.edges[k] - expected[k]));
    EXPECT_LE(worst, 1.0);
    EXPECT_LE(std::fabs(played.edges[first - 1] - expected[first - 1]), 1750.0);
  }
}

TEST(TapeImageWriters, ClassicBlocksAreStandardSpeedWithOneSecondPauses) {
  TapeBlock header, data, empty;
  header.bytes = {0x00, 0x03, 'n', 'a', 'm', 'e', ' ', ' ', ' ', ' ', ' ', ' ', 0x10, 0x00, 0x00, 0x80, 0x00, 0x80, 0x16};
  data.bytes = {0xFF, 0xAA, 0x55};
  data.timing.pilot = 1800;  // timings, if any, are ignored
  // Header: 8063 pilot pulses; data: 3223; each with syncs, bits, 1 s pause.
  auto duration = [](const TapeBlock& b, double pilots) {
    double t = pilots * 2168 + 667 + 735 + 3500000;
    for (std::size_t k = 0; k < b.bytes.size() * 8; ++k)
      t += (b.bytes[k / 8] >> (7 - k % 8) & 1) ? 3420 : 1710;
    return t;
  };
  const double total = duration(header, 8063) + duration(data, 3223);
  const ImageInfo info{"tapedecoder 1.0.0", ""};
  for (const bool pzx : {false, true}) {
    SCOPED_TRACE(pzx ? "PZX" : "TZX");
    const ImageResult image = pzx ? WritePzxBlocks({header, empty, data}, info)
                                  : WriteTzxBlocks({header, empty, data}, info);
    LsTape back;
    ASSERT_TRUE(back.Read(image.bytes));
    EXPECT_NEAR(testing_support::Play(back).total, total, 1.0);
    if (pzx) continue;
    const auto blocks = back.Blocks();
    ASSERT_EQ(blocks.size(), 3u);
    EXPECT_EQ(libspectrum_tape_block_type(blocks[0]), LIBSPECTRUM_TAPE_BLOCK_ARCHIVE_INFO);
    EXPECT_EQ(std::string(libspectrum_tape_block_texts(blocks[0], 0)), "Created by tapedecoder 1.0.0");
    for (std::size_t k = 1; k < 3; ++k) {
      const TapeBlock& source = k == 1 ? header : data;
      EXPECT_EQ(libspectrum_tape_block_type(blocks[k]), LIBSPECTRUM_TAPE_BLOCK_ROM);
      EXPECT_EQ(libspectrum_tape_block_pause(blocks[k]), 1000u);
      const libspectrum_byte* bytes = libspectrum_tape_block_data(blocks[k]);
      EXPECT_EQ(std::vector<std::uint8_t>(bytes, bytes + libspectrum_tape_block_data_length(blocks[k])),
                source.bytes);
    }
  }
}

TEST(TapeImageWriters, HeaderTextIsCutAtACharacterBoundary) {
  std::string name;
  for (int k = 0; k < 200; ++k) name += "\xD0\x96";  // Cyrillic Zhe, 2 bytes
  const ImageInfo info{"tapedecoder 1.0.0", name};
  const ImageResult image = WriteTzx({}, 1.0, info);
  LsTape back;
  ASSERT_TRUE(back.Read(image.bytes));
  const std::string text = libspectrum_tape_block_texts(back.Blocks().at(0), 0);
  EXPECT_LE(text.size(), 255u);
  EXPECT_EQ(text.rfind("Created by tapedecoder 1.0.0 from \xD0\x96", 0), 0u);
  EXPECT_EQ(text.compare(text.size() - 2, 2, "\xD0\x96"), 0);
}

TEST(TapeImageWriters, NonsenseMeasurementsStillGiveReadableImages) {
  TapeBlock noBytes;
  TapeBlock odd;
  odd.bytes = {0x01};
  odd.usedBits = 0;
  odd.romTiming = false;
  odd.timing = {1e12, -5, NAN, 400, 800, -3};
  const double inf = INFINITY;
  const std::vector<TapePart> parts = {
      noBytes,
      odd,
      Stretch(1.0, {NAN, -7, 0, 1e300}, StretchKind::SEQUENCE),
      Stretch(NAN, {}, StretchKind::TONE),
      Stretch(2.0, {inf, 5}, StretchKind::RAW),
  };
  for (const bool pzx : {false, true}) {
    SCOPED_TRACE(pzx ? "PZX" : "TZX");
    const ImageInfo info{"tapedecoder 1.0.0", "x.wav"};
    const ImageResult image = pzx ? WritePzx(parts, 1e9, info) : WriteTzx(parts, 1e9, info);
    LsTape back;
    EXPECT_TRUE(back.Read(image.bytes));
  }
}

TEST(TapeImageWriters, ABlockTooLongForAStandardSpeedRecordIsATurboRecordAtRomTiming) {
  TapeBlock block;
  block.bytes.assign(70000, 0xA5);
  const ImageResult image = WriteTzxBlocks({block}, ImageInfo{"tapedecoder 1.0.0", ""});
  LsTape back;
  ASSERT_TRUE(back.Read(image.bytes));
  const std::vector<libspectrum_tape_block*> blocks = back.Blocks();
  ASSERT_EQ(blocks.size(), 2u);  // the archive info, the block
  EXPECT_EQ(libspectrum_tape_block_type(blocks[1]), LIBSPECTRUM_TAPE_BLOCK_TURBO);
  EXPECT_EQ(libspectrum_tape_block_data_length(blocks[1]), 70000u);
  EXPECT_EQ(libspectrum_tape_block_pilot_length(blocks[1]), 2168u);
  EXPECT_EQ(libspectrum_tape_block_bit1_length(blocks[1]), 1710u);
  EXPECT_EQ(libspectrum_tape_block_pause(blocks[1]), 1000u);
}

TEST(TapeImageWriters, CswPlaysThePartsWithEveryEdgeOnItsNearestSample) {
  // At 35 kHz a sample is 100 T-states. Each row: one stretch starting at
  // `start` samples with `pulses` (T-states), in a recording `end` samples
  // long; the file's pulses in samples. A gap of 2 ms (70 samples) or more
  // is a pause, which ends in an edge.
  struct Row {
    const char* name;
    double start;
    std::vector<double> pulses;
    double end;
    bool firstHigh;
    std::vector<std::uint32_t> expected;
  } rows[] = {
      {"edges on samples", 1000, {500, 2500}, 1200, false, {1000, 5, 25, 170}},
      {"edges between samples", 1000.4, {540, 1020}, 1200, false, {1000, 6, 10, 184}},
      {"two edges on one sample cancel", 1000, {1000, 20, 1000}, 1200, false, {1000, 20, 180}},
      {"an edge on the first sample sets the level", 0, {30, 800}, 8.3, true, {8}},
      {"pulses beyond a byte", 1000, {30000}, 100000, false, {1000, 300, 98700}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    CMemorySink sink;
    TapeContext context;
    context.info = ImageInfo{"tapedecoder 1.0.0", "x.wav"};
    context.timed = true;
    context.sampleRate = 35000.0;
    std::unique_ptr<TapeWriter> writer = MakeCswWriter(sink, context);
    writer->Part(Stretch(row.start / 35000.0, row.pulses, StretchKind::SEQUENCE));
    ASSERT_TRUE(writer->Finish(row.end / 35000.0));
    CMemoryByteSource source(sink.Bytes().data(), sink.Bytes().size());
    CCswReader reader(source);
    ASSERT_TRUE(reader.Open());
    EXPECT_EQ(reader.Header().major, 2);
    EXPECT_EQ(reader.Header().compression, 2);
    EXPECT_EQ(reader.Header().rate, 35000u);
    EXPECT_EQ(reader.Header().firstHigh, row.firstHigh);
    EXPECT_EQ(reader.Header().declaredPulses, row.expected.size());
    std::vector<std::uint32_t> pulses;
    for (CswPulse pulse; reader.Next(pulse);) pulses.push_back(pulse.samples);
    EXPECT_EQ(pulses, row.expected);
  }
}

}  // namespace

// A data block recorded at `speed` (1.04: 4 % fast), its replay against
// the recording: ROM-timed blocks stay standard-speed records only while
// the tape ran near the ROM's speed; otherwise they keep the measured
// lengths. The PZX image's every pilot and data edge lies within 50 us of
// the recording's (whole T-states drift further over thousands of pulses:
// the pilot and data are split); the TZX image keeps one turbo record,
// its data span within half a T-state a pulse.
TEST(TapeImageWriters, BlocksFromAFastOrSlowTapePlayInStepWithTheRecording) {
  struct Case {
    double speed;
    bool rom;
    std::uint8_t flag;
    int expectedType;
  };
  const Case cases[] = {
      {1.00, true, 0xFF, LIBSPECTRUM_TAPE_BLOCK_ROM},
      {0.95, true, 0xFF, LIBSPECTRUM_TAPE_BLOCK_TURBO},  // 3223 pilot pulses of 2282.1 T
      {1.04, true, 0xFF, LIBSPECTRUM_TAPE_BLOCK_TURBO},
      {0.97, true, 0x00, LIBSPECTRUM_TAPE_BLOCK_TURBO},  // 8063 of 2235.05 T
      {1.03, false, 0xFF, LIBSPECTRUM_TAPE_BLOCK_TURBO},  // a turbo loader's block
  };
  constexpr double MAX_EDGE_ERROR = 175.0;  // 50 us
  for (const Case& c : cases) {
    SCOPED_TRACE(c.speed);
    TapeBlock block;
    block.bytes.assign(6914, 0);
    for (std::size_t k = 0; k < block.bytes.size(); ++k) block.bytes[k] = static_cast<std::uint8_t>(k * 37 + 11);
    block.bytes[0] = c.flag;
    std::uint8_t sum = 0;
    for (std::size_t k = 0; k + 1 < block.bytes.size(); ++k) sum ^= block.bytes[k];
    block.bytes.back() = sum;
    const double scale = c.rom ? 1.0 : 0.4;  // turbo pulses: 342/684 T at speed 1
    const int pilots = c.flag ? 3223 : 8063;
    block.romTiming = c.rom;
    block.timing = {2168 / c.speed, 667 / c.speed, 735 / c.speed, 855 * scale / c.speed,
                    1710 * scale / c.speed, pilots};
    std::vector<double> data{0.0};  // the data's edges from its first, T-states
    for (std::uint64_t b = 0; b < block.bytes.size() * 8; ++b) {
      const double pulse = (block.bytes[b / 8] >> (7 - b % 8)) & 1 ? block.timing.one : block.timing.zero;
      data.push_back(data.back() + pulse);
      data.push_back(data.back() + pulse);
    }
    const double lead = pilots * block.timing.pilot + block.timing.sync1 + block.timing.sync2;
    block.startSeconds = 0.5;
    block.dataSeconds = 0.5 + lead / TSTATES_PER_SECOND;
    block.endSeconds = block.dataSeconds + data.back() / TSTATES_PER_SECOND;
    for (std::size_t k = 0; k < block.bytes.size(); ++k)
      block.byteSeconds.push_back(block.dataSeconds + data[16 * k] / TSTATES_PER_SECOND);
    const double seconds = block.endSeconds + 1.0;
    for (const bool pzx : {false, true}) {
      SCOPED_TRACE(pzx ? "PZX" : "TZX");
      const ImageResult image = pzx ? WritePzx({block}, seconds, ImageInfo{"t", ""})
                                    : WriteTzx({block}, seconds, ImageInfo{"t", ""});
      LsTape back;
      ASSERT_TRUE(back.Read(image.bytes));
      if (!pzx) {
        // (after the pause, the pilot's first pulse may come in a record of its own)
        const auto blocks = back.Blocks();
        const std::size_t at = libspectrum_tape_block_type(blocks[2]) == LIBSPECTRUM_TAPE_BLOCK_PULSES ? 3 : 2;
        EXPECT_EQ(libspectrum_tape_block_type(blocks[at]), c.expectedType);
      }
      const testing_support::Played played = testing_support::Play(back);
      // The data's last edge is the last but the pause's; the pilot's
      // first lies `pilots` + 2 pulses before the data's first.
      ASSERT_GT(played.edges.size(), data.size() + pilots + 2);
      const std::size_t first = played.edges.size() - 1 - data.size();
      double worst = 0.0;
      for (std::size_t k = 0; k < data.size(); ++k)
        worst = std::max(worst, std::fabs(played.edges[first + k] - played.edges[first] - data[k]));
      if (!pzx) {
        EXPECT_NEAR(played.edges[first + data.size() - 1] - played.edges[first], data.back(),
                    static_cast<double>(data.size()) / 2);
      }
      if (pzx && (!c.rom || c.speed != 1.00)) {
        EXPECT_LE(worst, MAX_EDGE_ERROR);
        EXPECT_NEAR(played.edges[first] - played.edges[first - pilots - 2], lead, MAX_EDGE_ERROR);
      }
      EXPECT_NEAR(played.total / TSTATES_PER_SECOND, seconds, 0.01 * seconds);
    }
  }
}

namespace {

TEST(TapeImageWriters, TonesWithClicksOrAlternatingPulsesPlayEdgeByEdge) {
  // A tone's clicks (bridged by the segmenter) and a pilot whose pulses
  // alternate in length play where the recording's edges were, not at the
  // tone's mean; a plain tone stays one record.
  struct Case {
    const char* name;
    std::vector<double> pulses;
    std::size_t maxRecords;  // TZX records the tone takes
  };
  std::vector<double> clicks, alternating, plain;
  for (int k = 0; k < 20; ++k) {
    clicks.insert(clicks.end(), 63, 2168.4);  // a whole T-state a run would drift
    clicks.push_back(250.0);
  }
  for (int k = 0; k < 600; ++k) alternating.push_back(k % 2 ? 2386.0 : 1950.0);
  for (int k = 0; k < 600; ++k) plain.push_back(2166.0 + 2.0 * (k % 3));
  const Case cases[] = {{"clicks", clicks, 40}, {"alternating", alternating, 3}, {"plain", plain, 1}};
  constexpr double MAX_EDGE_ERROR = 175.0;  // 50 us
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::vector<TapePart> parts = {Stretch(0.1, c.pulses, StretchKind::TONE)};
    double seconds = 0.6;
    for (double p : c.pulses) seconds += p / TSTATES_PER_SECOND;
    const std::vector<double> expected = PartEdges(parts);
    for (const bool pzx : {false, true}) {
      SCOPED_TRACE(pzx ? "PZX" : "TZX");
      const ImageResult image = pzx ? WritePzx(parts, seconds, ImageInfo{"t", ""})
                                    : WriteTzx(parts, seconds, ImageInfo{"t", ""});
      LsTape back;
      ASSERT_TRUE(back.Read(image.bytes));
      const testing_support::Played played = testing_support::Play(back);
      ASSERT_GE(played.edges.size(), expected.size());
      double worst = 0.0;
      for (std::size_t k = 0; k < expected.size(); ++k)
        worst = std::max(worst, std::fabs(played.edges[k] - played.edges[0] - (expected[k] - expected[0])));
      EXPECT_LE(worst, MAX_EDGE_ERROR);
      if (!pzx) {
        // Archive info, the pause before, the tone, the pause after.
        EXPECT_LE(back.Blocks().size(), c.maxRecords + 3);
      }
    }
  }
}

}  // namespace
