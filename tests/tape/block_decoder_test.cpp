// Decoding square-wave pulse trains into blocks.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <string>

#include "audio/wave_source.h"
#include "convert/conversion_run.h"
#include "tape/block_decoder.h"
#include "tape/fail_allocations.h"
#include "tape/pulse_train.h"
#include "test_support.h"

using namespace tapedecoder;

namespace {

using testing_support::Bytes;
using testing_support::FastSettings;
using testing_support::FastTimings;
using testing_support::PulseTrain;
using testing_support::ReadFile;
using testing_support::ScratchDir;

DecodeSettings ManualSettings() {
  DecodeSettings settings;
  settings.levelMode = LEVEL_MANUAL;
  settings.manualLevel = 127;
  return settings;
}

// A block's bytes with its checksum appended.
Bytes WithChecksum(Bytes bytes) {
  std::uint8_t checksum = 0;
  for (std::uint8_t value : bytes) checksum ^= value;
  bytes.push_back(checksum);
  return bytes;
}

// The tape record of one block.
Bytes Record(const Bytes& bytes) {
  return Bytes{static_cast<std::uint8_t>(bytes.size()),
               static_cast<std::uint8_t>(bytes.size() >> 8)} +
         bytes;
}

class BlockDecoderTest : public ::testing::Test {
 protected:
  // Decodes a WAV image as a conversion does and reads the outputs back.
  bool Decode(const Bytes& wave, const DecodeSettings& settings) {
    CWaveSource source;
    EXPECT_TRUE(source.OpenMemory(wave.data(), wave.size()));
    source.SetStep(0.2);
    const bool ok = (m_report = DecodeToFiles((m_dir / "out").string(), source, settings)).Written();
    m_tap = ReadFile(m_dir / "out.tap");
    const Bytes txt = ReadFile(m_dir / "out.txt");
    m_txt.assign(txt.begin(), txt.end());
    return ok;
  }
  bool Decode(const PulseTrain& train, const DecodeSettings& settings = ManualSettings()) {
    return Decode(train.Wave(), settings);
  }
  // How many times a listing piece occurs.
  int Count(const std::string& piece) const {
    int count = 0;
    for (std::size_t at = m_txt.find(piece); at != std::string::npos;
         at = m_txt.find(piece, at + 1))
      ++count;
    return count;
  }

  ScratchDir m_dir;
  ConversionReport m_report;
  Bytes m_tap;
  std::string m_txt;
};

const std::string kStartLine = "-----\xCD\xE0\xF7\xE0\xEB\xEE";  // "-----Начало"
const std::string kGood = "\r\n\xCE\xF8\xE8\xE1\xEE\xEA \xED\xE5\xF2.\r\n";

TEST(ClassifyPulseTest, RangesIncludeBothEndsAndLaterRangesWin) {
  DecodeSettings overlapping;
  overlapping.zeroMin = 11;
  overlapping.zeroMax = 100;
  overlapping.oneMin = 76;
  overlapping.oneMax = 120;
  overlapping.pilotMin = 100;
  overlapping.pilotMax = 150;
  struct Row {
    const DecodeSettings settings;
    std::int32_t length;
    PulseClass expected;
  } rows[] = {
      {DecodeSettings(), -1, PULSE_NONE},   {DecodeSettings(), 10, PULSE_NONE},
      {DecodeSettings(), 11, PULSE_ZERO},   {DecodeSettings(), 75, PULSE_ZERO},
      {DecodeSettings(), 76, PULSE_ONE},    {DecodeSettings(), 110, PULSE_ONE},
      {DecodeSettings(), 111, PULSE_PILOT}, {DecodeSettings(), 150, PULSE_PILOT},
      {DecodeSettings(), 151, PULSE_NONE},  {overlapping, 90, PULSE_ZERO},
      {overlapping, 100, PULSE_ZERO},       {overlapping, 101, PULSE_ONE},
      {overlapping, 120, PULSE_ONE},        {overlapping, 121, PULSE_PILOT},
  };
  for (const Row& row : rows)
    EXPECT_EQ(ClassifyPulse(row.settings, row.length), row.expected) << row.length;
}

TEST(ClassifyPulseTest, FractionalBoundsCompareAsNumbers) {
  DecodeSettings settings;
  settings.zeroMin = 10.5f;
  settings.zeroMax = 11.5f;
  EXPECT_EQ(ClassifyPulse(settings, 10), PULSE_NONE);
  EXPECT_EQ(ClassifyPulse(settings, 11), PULSE_ZERO);
  EXPECT_EQ(ClassifyPulse(settings, 12), PULSE_NONE);
}

TEST_F(BlockDecoderTest, PhaseRules) {
  const int none = 31;  // measures 154: in no default range
  struct Row {
    const char* what;
    std::function<void(PulseTrain&)> build;
    Bytes tap;
  } rows[] = {
      {"101 pilot pulses count 100: the sync is ignored",
       [](PulseTrain& t) { t.Pilot(101).Sync().Bits({0, 1, 0, 0, 1, 1, 0, 1}); },
       {}},
      {"102 pilot pulses count 101: the sync starts a block; bits arrive MSB first",
       [](PulseTrain& t) { t.Pilot(102).Sync().Bits({0, 1, 0, 0, 1, 1, 0, 1}); },
       Record({0x4D})},
      {"a one pulse and a pulse in no range leave the pilot count alone",
       [&](PulseTrain& t) {
         t.Pilot(60).Bit(1).Pulses(none, none).Pilot(42).Sync().Byte(0x4D);
       },
       Record({0x4D})},
      {"a zero pulse before the count exceeds 100 is ignored, not a reset",
       [](PulseTrain& t) { t.Pilot(50).Bit(0).Pilot(52).Sync().Byte(0x4D); },
       Record({0x4D})},
      {"a pulse in no range adds no bit in the data",
       [&](PulseTrain& t) {
         t.Pilot(102).Sync().Bits({0, 1, 0}).Pulses(none, none).Bits({0, 1, 1, 0, 1});
       },
       Record({0x4D})},
      {"a pilot pulse in the data is a 1 bit",
       [](PulseTrain& t) { t.Pilot(102).Sync().Bits({0}).Pilot(1).Bits({0, 0, 1, 1, 0, 1}); },
       Record({0x4D})},
      {"a block cut after 7 bits writes nothing",
       [](PulseTrain& t) { t.Pilot(102).Sync().Bits({0, 1, 0, 0, 1, 1, 0}).Silence(200); },
       {}},
      {"after a block end the next block needs a new pilot tone",
       [](PulseTrain& t) {
         t.Block({0x4D}).Silence(200).Pilot(50).Sync().Byte(0x12).Silence(200);
       },
       Record({0x4D})},
      {"two blocks apart by less than a pause merge: pilot pulses become 1 bits",
       [](PulseTrain& t) { t.Pilot(102).Sync().Byte(0x4D).Silence(50).Block({0x4D}, 102); },
       // 0x4D, 96 ones, then 6 ones, the sync's 0 and 0x4D's first bit;
       // the last 7 bits are dropped.
       Record(Bytes{0x4D} + Bytes(12, 0xFF) + Bytes{0xFC})},
      {"a last high run that runs into a high pause is lost with its byte",
       [](PulseTrain& t) {
         t.Pilot(102).Sync().Byte(0x4D).Bits({0, 0, 0, 1, 0, 0, 1});
         t.Pulses(t.Timings().zero, 0).Silence(200, true);
       },
       Record({0x4D})},
      {"a low run in range is never classified",
       [](PulseTrain& t) {
         t.Silence(100);
         for (int i = 0; i < 120; ++i) t.Pulses(1, t.Timings().pilot);
         t.Pulses(1, t.Timings().sync).Pulses(1, t.Timings().zero, 8);
       },
       {}},
  };
  for (const Row& row : rows) {
    PulseTrain train;
    train.Silence(100);
    row.build(train);
    EXPECT_TRUE(Decode(train)) << row.what;
    EXPECT_EQ(m_tap, row.tap) << row.what;
  }
}

TEST_F(BlockDecoderTest, BlockCutAfterSevenBitsListsOnlyItsStart) {
  PulseTrain train;
  train.Silence(100).Pilot(102).Sync().Bits({1, 1, 1, 1, 1, 1, 1}).Silence(200);
  ASSERT_TRUE(Decode(train));
  EXPECT_EQ(m_txt,
            "\r\n-----\xCD\xE0\xF7\xE0\xEB\xEE \xF4\xE0\xE9\xEB\xE0 "
            "(\xF1\xE8\xED\xF5\xF0\xEE\xF1\xE8\xE3\xED\xE0\xEB)-----\r\n");
  EXPECT_TRUE(m_tap.empty());
}

TEST_F(BlockDecoderTest, OverlappingRangesMakeAOnePulseAZero) {
  DecodeSettings settings = ManualSettings();
  settings.zeroMax = 105;  // takes in the one pulses (104)
  PulseTrain train;
  train.Silence(100).Block({0xFF, 0x0F}).Silence(200);
  ASSERT_TRUE(Decode(train, settings));
  EXPECT_EQ(m_tap, Record({0x00, 0x00}));
}

TEST_F(BlockDecoderTest, HeaderBlockDecodesInEveryLevelModeAndInverted) {
  const Bytes header = WithChecksum({0x00, 0x00, 'H', 'E', 'L', 'L', 'O', ' ', ' ', ' ',
                                     ' ', ' ', 0x1B, 0x00, 0x0A, 0x00, 0x1B, 0x00});
  ASSERT_EQ(header.size(), 19u);
  std::string entries;
  for (std::uint8_t value : header) {
    char entry[4];
    std::snprintf(entry, sizeof entry, "%02x ", value);
    entries += entry;
  }
  const std::string listing =
      "\r\n-----\xCD\xE0\xF7\xE0\xEB\xEE \xF4\xE0\xE9\xEB\xE0 "
      "(\xF1\xE8\xED\xF5\xF0\xEE\xF1\xE8\xE3\xED\xE0\xEB)-----\r\n" +
      entries + "\r\n\xCA\xEE\xED\xE5\xF6 \xF4\xE0\xE9\xEB\xE0. \xD1\xF7\xE8\xF2\xE0\xED\xEE:19" +
      " \xE1\xE0\xE9\xF2(\xE0).\r\n" + kGood;

  DecodeSettings automatic;  // the defaults: automatic, 200 frames
  struct Row {
    const char* what;
    DecodeSettings settings;
    bool inverted;
  } rows[] = {{"manual", ManualSettings(), false},
              {"automatic", automatic, false},
              {"manual, inverted", ManualSettings(), true},
              {"automatic, inverted", automatic, true}};
  PulseTrain train;
  train.Silence(2000).Block(header, 4031).Silence(2000);
  for (const Row& row : rows) {
    ASSERT_TRUE(Decode(train.Wave(row.inverted), row.settings)) << row.what;
    EXPECT_EQ(m_tap, Record(header)) << row.what;
    EXPECT_EQ(m_txt, listing) << row.what;
    EXPECT_EQ(m_report.blocks, 1) << row.what;
    EXPECT_EQ(m_report.goodBlocks, 1) << row.what;
  }
}

TEST_F(BlockDecoderTest, BlockOneByteOverTheGrowthStepGrowsTheBufferTwice) {
  Bytes block(16385);
  for (std::size_t i = 0; i < block.size(); ++i)
    block[i] = static_cast<std::uint8_t>(i * 7 + i / 251);
  PulseTrain train(FastTimings());
  train.Silence(100).Block(block).Silence(200);
  ASSERT_TRUE(Decode(train, FastSettings()));
  EXPECT_EQ(m_report.largestBuffer, 32768u);
  EXPECT_TRUE(m_tap == Record(block));
  EXPECT_EQ(Count("\r\n\xCA\xEE\xED\xE5\xF6 \xF4\xE0\xE9\xEB\xE0. \xD1\xF7\xE8\xF2\xE0\xED\xEE:16385 "), 1);
}

TEST_F(BlockDecoderTest, BlocksAreCountedByVerdict) {
  PulseTrain train;
  train.Silence(100)
      .Block(WithChecksum({0x00, 0x01}))
      .Silence(200)
      .Block({0xFF, 0x01, 0x02})  // bad checksum
      .Silence(200)
      .Block(WithChecksum({0xFF}));  // the last block ends with the data
  ASSERT_TRUE(Decode(train));
  EXPECT_EQ(m_tap, Record({0x00, 0x01, 0x01}) + Record({0xFF, 0x01, 0x02}) + Record({0xFF, 0xFF}));
  EXPECT_EQ(m_report.blocks, 3);
  EXPECT_EQ(m_report.goodBlocks, 2);
  EXPECT_EQ(m_report.badBlocks, 1);
  EXPECT_EQ(Count(kStartLine), 3);
  EXPECT_EQ(Count(kGood), 2);
}

TEST_F(BlockDecoderTest, RecordingWithoutSyncGivesTwoEmptyFiles) {
  for (const Bytes& samples : {Bytes(), Bytes(5000, 128), PulseTrain().Pilot(300).Samples()}) {
    ASSERT_TRUE(Decode(testing_support::SimpleWave(samples), ManualSettings()));
    EXPECT_TRUE(m_tap.empty());
    EXPECT_TRUE(m_txt.empty());
    EXPECT_TRUE(std::filesystem::exists(m_dir / "out.tap"));
    EXPECT_TRUE(std::filesystem::exists(m_dir / "out.txt"));
  }
}

TEST_F(BlockDecoderTest, OutputsThatCannotBeCreatedStopBeforeDecoding) {
  const Bytes wave = PulseTrain().Silence(10).Block({0x4D}).Wave();
  CWaveSource source;
  ASSERT_TRUE(source.OpenMemory(wave.data(), wave.size()));
  source.SetStep(0.2);
  EXPECT_FALSE((m_report = DecodeToFiles((m_dir / "no" / "out").string(), source, ManualSettings())).Written());
  EXPECT_EQ(m_report.failure.Class(), FailureClass::OUTPUT);
  EXPECT_EQ(source.Position(), 0.0);
}

// A block buffer that cannot grow ends the decoding with an error instead
// of a crash, and leaves an earlier pair of outputs as it was.
TEST_F(BlockDecoderTest, BlockBufferThatCannotGrowIsReportedAsAnError) {
  PulseTrain train(FastTimings());
  train.Silence(100).Block(Bytes(16385, 0x00));
  const Bytes wave = train.Wave();
  CWaveSource source;
  ASSERT_TRUE(source.OpenMemory(wave.data(), wave.size()));
  source.SetStep(0.2);
  testing_support::WriteFile(m_dir / "out.tap", {1});
  testing_support::WriteFile(m_dir / "out.txt", {2});
  {
    // The first 16 KiB buffer is granted, the second growth is refused.
    testing_support::FailAllocationsFrom fail(32768);
    EXPECT_FALSE((m_report = DecodeToFiles((m_dir / "out").string(), source, FastSettings())).Written());
  }
  EXPECT_EQ(m_report.failure.kind, FailureKind::NO_MEMORY);
  EXPECT_EQ(ReadFile(m_dir / "out.tap"), Bytes({1}));
  EXPECT_EQ(ReadFile(m_dir / "out.txt"), Bytes({2}));
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(m_dir.Path()),
                          std::filesystem::directory_iterator()),
            2);

  // With memory to spare the same recording decodes.
  source.Rewind();
  EXPECT_TRUE((m_report = DecodeToFiles((m_dir / "out").string(), source, FastSettings())).Written());
  EXPECT_EQ(ReadFile(m_dir / "out.tap").size(), 16387u);
}

}  // namespace
