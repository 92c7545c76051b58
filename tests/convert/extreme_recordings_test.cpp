// Long and degenerate recordings convert to completion without running out
// of memory or time.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <filesystem>

#include "convert/conversion_run.h"
#include "front/dialog_messages.h"
#include "tape/pulse_train.h"
#include "test_support.h"

using namespace tapedecoder;

namespace {

using namespace testing_support;
namespace fs = std::filesystem;

class ExtremeRecordingsTest : public ::testing::Test {
 protected:
  UserMessage Convert(const Bytes& wave, const DecodeSettings& settings) {
    WriteFile(m_dir / "tape.wav", wave);
    return ConversionMessage(m_report = RunConversion(settings, (m_dir / "tape.wav").string(), (m_dir / "tape").string()));
  }
  Bytes Tap() const { return ReadFile(m_dir / "tape.tap"); }
  ScratchDir m_dir;
  ConversionReport m_report;
};

TEST_F(ExtremeRecordingsTest, TwoHourRecordingConverts) {
  // A sparse file: a header, then two hours of zero samples.
  const std::uint32_t frames = 2u * 3600u * 44100u;
  Bytes header = SimpleWave({});
  header[40] = static_cast<std::uint8_t>(frames);
  header[41] = static_cast<std::uint8_t>(frames >> 8);
  header[42] = static_cast<std::uint8_t>(frames >> 16);
  header[43] = static_cast<std::uint8_t>(frames >> 24);
  WriteFile(m_dir / "long.wav", header);
  ASSERT_EQ(truncate((m_dir / "long.wav").c_str(), static_cast<off_t>(header.size() + frames)), 0);
  DecodeSettings settings;
  settings.autoPoints = 44100;
  const UserMessage message = ConversionMessage(m_report = RunConversion(settings, (m_dir / "long.wav").string(),
                                            (m_dir / "long").string()));
  EXPECT_EQ(message.text, MESSAGE_COMPLETE);
  EXPECT_EQ(m_report.blocks, 0);
  EXPECT_EQ(fs::file_size(m_dir / "long.tap"), 0u);
}

TEST_F(ExtremeRecordingsTest, DegenerateSignalsGiveEmptyOutputs) {
  DecodeSettings automatic;
  DecodeSettings manual;
  manual.levelMode = LEVEL_MANUAL;
  struct Row {
    const char* name;
    Bytes samples;
    DecodeSettings settings;
  } rows[] = {
      {"constant silence, automatic", Bytes(44100 * 5, 128), automatic},
      {"constant silence above the level", Bytes(44100 * 5, 200), manual},
      {"endless pilot tone", PulseTrain().Pilot(20000).Samples(), automatic},
      {"endless pilot tone, manual", PulseTrain().Pilot(20000).Samples(), manual},
      {"no samples", Bytes(), automatic},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(Convert(SimpleWave(row.samples), row.settings).text, MESSAGE_COMPLETE) << row.name;
    EXPECT_EQ(m_report.blocks, 0) << row.name;
    EXPECT_TRUE(Tap().empty()) << row.name;
    EXPECT_TRUE(ReadFile(m_dir / "tape.txt").empty()) << row.name;
  }
}

TEST_F(ExtremeRecordingsTest, WindowLongerThanTheRecordingUsesTheWholeRecording) {
  const Bytes block = {0x00, 0x11, 0x22, 0x33};
  PulseTrain train;
  train.Silence(100).Block(block).Silence(300);
  for (std::int32_t window : {train.Samples().size() + 1, std::size_t{10000000}, std::size_t{2147483647}}) {
    DecodeSettings settings;
    settings.autoPoints = static_cast<std::int32_t>(window);
    EXPECT_EQ(Convert(train.Wave(), settings).text, MESSAGE_COMPLETE);
    EXPECT_EQ(Tap(), Bytes({4, 0}) + block) << window;
  }
}

TEST_F(ExtremeRecordingsTest, SeventyThousandByteBlockDecodesIntoTwoRecords) {
  Bytes block(70000);
  for (std::size_t i = 0; i < block.size(); ++i) block[i] = static_cast<std::uint8_t>(i * 7 + i / 256);
  PulseTrain train(FastTimings());
  train.Silence(100).Block(block, 120).Silence(300);
  ASSERT_EQ(Convert(train.Wave(), FastSettings()).text, MESSAGE_COMPLETE);
  const Bytes tap = Tap();
  ASSERT_EQ(tap.size(), 2 + 65535 + 2 + 4465u);
  EXPECT_EQ(tap[0], 0xFF);
  EXPECT_EQ(tap[1], 0xFF);
  EXPECT_EQ(tap[2 + 65535], 4465 & 0xFF);
  EXPECT_EQ(tap[2 + 65535 + 1], 4465 >> 8);
  Bytes joined(tap.begin() + 2, tap.begin() + 2 + 65535);
  joined.insert(joined.end(), tap.begin() + 2 + 65535 + 2, tap.end());
  EXPECT_EQ(joined, block);
  EXPECT_EQ(m_report.blocks, 1);
}

}  // namespace
