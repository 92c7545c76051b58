// Measuring runs of the signal in read steps.
#include <gtest/gtest.h>

#include "audio/wave_source.h"
#include "tape/edge_timer.h"
#include "test_support.h"

using namespace tapedecoder;

namespace {

using testing_support::Bytes;
using testing_support::SimpleWave;

class EdgeTimerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_settings.levelMode = LEVEL_MANUAL;
    m_settings.manualLevel = 127;
  }
  // Loads mono samples and prepares the source as a conversion does.
  void Load(const Bytes& samples) {
    const Bytes wave = SimpleWave(samples);
    ASSERT_TRUE(m_source.OpenMemory(wave.data(), wave.size()));
    m_source.SetStep(0.2);
  }
  std::int32_t Measure() { return MeasurePulse(m_settings, m_source, m_state); }

  DecodeSettings m_settings;
  CWaveSource m_source;
  std::uint8_t m_state = 0;
};

// `samples` samples of one value.
Bytes Level(std::size_t samples, std::uint8_t value) { return Bytes(samples, value); }

TEST_F(EdgeTimerTest, SquareWaveHalfOfHSamplesMeasuresFiveHMinusOne) {
  struct Row {
    std::uint8_t low, high;
    std::size_t h;
  } rows[] = {{40, 215, 1},  {40, 215, 2},  {40, 215, 10},
              {40, 215, 27}, {40, 215, 99}, {0, 255, 8},
              {0, 255, 21}};
  for (const Row& row : rows) {
    // Low lead-in, then a high half, a low half and a high half again.
    Load(Level(5, row.low) + Level(row.h, row.high) + Level(row.h, row.low) +
         Level(row.h, row.high) + Level(5, row.low));
    m_state = 0;
    Measure();  // the lead-in, ended by the rise
    ASSERT_EQ(m_state, 1);
    const std::int32_t expected = static_cast<std::int32_t>(5 * row.h - 1);
    EXPECT_EQ(Measure(), expected) << "high, h=" << row.h;
    EXPECT_EQ(m_state, 0);
    EXPECT_EQ(Measure(), expected) << "low, h=" << row.h;
    EXPECT_EQ(Measure(), expected) << "high again, h=" << row.h;
  }
}

TEST_F(EdgeTimerTest, SideOfTheFirstSamplesDecidesResult) {
  struct Row {
    const char* what;
    std::uint8_t sample;
    std::int32_t level;
    std::uint8_t stateBefore;
    std::int32_t result;
    std::uint8_t stateAfter;
  } rows[] = {
      {"other side at once", 200, 127, 0, 0, 1},
      {"equal to the level is low", 127, 127, 1, 0, 0},
      {"one above the level is high", 128, 127, 0, 0, 1},
      {"level 0: 1 is high", 1, 0, 0, 0, 1},
      {"level 0: 0 is low", 0, 0, 0, -1, 0},
      {"level 255: 255 is low", 255, 255, 0, -1, 0},
  };
  for (const Row& row : rows) {
    Load(Level(200, row.sample));
    m_settings.manualLevel = row.level;
    m_state = row.stateBefore;
    EXPECT_EQ(Measure(), row.result) << row.what;
    EXPECT_EQ(m_state, row.stateAfter) << row.what;
  }
}

TEST_F(EdgeTimerTest, NoChangeGivesUpAfterFiveHundredSteps) {
  Load(Level(300, 255));
  m_settings.manualLevel = 255;
  EXPECT_EQ(Measure(), -1);
  EXPECT_EQ(m_state, 0);
  EXPECT_NEAR(m_source.Position(), 100.0, 1e-9);  // 500 steps of 0.2
}

TEST_F(EdgeTimerTest, EndOfDataEndsTheMeasurementEarly) {
  Load(Level(30, 10));
  EXPECT_EQ(Measure(), -1);
  EXPECT_TRUE(m_source.IsAtEnd());
  EXPECT_LT(m_source.Position(), 31.0);
  // Past the last frame no step is taken and the state stays.
  m_state = 1;
  const double before = m_source.Position();
  EXPECT_EQ(Measure(), -1);
  EXPECT_EQ(m_source.Position(), before);
  EXPECT_EQ(m_state, 1);
}

TEST_F(EdgeTimerTest, RunsAroundTheLimit) {
  // A high run of h samples lasts 5h steps between its two changes.
  struct Row {
    std::size_t h;
    std::int32_t first;   // the measurement of the run
    std::int32_t second;  // the next one
  } rows[] = {
      {99, 494, 49},   // 495 steps
      {100, 499, 49},  // exactly 500 steps: the largest measurable run
      {101, -1, 4},    // 505 steps: the limit, then the rest counts from 0
      {140, -1, 199},  // 700 steps: the change shows at the 200th step
  };
  for (const Row& row : rows) {
    Load(Level(3, 0) + Level(row.h, 255) + Level(10, 0) + Level(10, 255));
    m_state = 0;
    Measure();
    ASSERT_EQ(m_state, 1);
    EXPECT_EQ(Measure(), row.first) << "h=" << row.h;
    EXPECT_EQ(Measure(), row.second) << "h=" << row.h;
  }
}

TEST_F(EdgeTimerTest, AutomaticLevelIsTakenAtTheCursorOfEachCall) {
  // 20 frames of 0, 20 of 200, then 120, with a window of 40 frames. The
  // first window (frames 0-39) gives level 100; the second starts at frame
  // 19 and takes in the 120s (level 128), so the drop to 120 ends the
  // second run. The first call's level would find no fall there.
  const Bytes samples = Level(20, 0) + Level(20, 200) + Level(60, 120);
  m_settings.levelMode = LEVEL_AUTO;
  m_settings.autoPoints = 40;
  Load(samples);
  EXPECT_EQ(Measure(), 98);  // the first read above 100 is at frame 19.6
  EXPECT_EQ(m_state, 1);
  EXPECT_EQ(Measure(), 101);  // from 19.8 to the first read of 120, at 40.0
  EXPECT_EQ(m_state, 0);

  m_settings.levelMode = LEVEL_MANUAL;
  m_settings.manualLevel = 100;
  Load(samples);
  m_state = 0;
  EXPECT_EQ(Measure(), 98);
  EXPECT_EQ(Measure(), -1);
}

}  // namespace
