#include <gtest/gtest.h>

#include "audio/wave_source.h"
#include "test_support.h"

using namespace tapedecoder;

namespace {

using testing_support::Bytes;
using testing_support::SimpleWave;

class AutoLevelTest : public ::testing::Test {
 protected:
  void Load(const Bytes& samples, std::uint16_t channels = 1) {
    const Bytes file = SimpleWave(samples, channels);
    ASSERT_TRUE(m_source.OpenMemory(file.data(), file.size()));
  }
  // Places the cursor at `position` frames.
  void MoveTo(double position) {
    m_source.Rewind();
    m_source.SetStep(position);
    m_source.Advance();
  }
  CWaveSource m_source;
};

TEST_F(AutoLevelTest, LevelIsHalfwayBetweenMeanAndMiddle) {
  Load({100, 150, 200});
  EXPECT_EQ(m_source.GetAutoLevel(3), 150);
  Load({0, 0, 0, 255});
  EXPECT_EQ(m_source.GetAutoLevel(4), 95);  // mean 63, middle 127
  Load(Bytes(50, 128));
  EXPECT_EQ(m_source.GetAutoLevel(10), 128);  // silence never rises above it
}

TEST_F(AutoLevelTest, EmptySourceGives63) {
  EXPECT_EQ(m_source.GetAutoLevel(200), 63);
  Load({});
  EXPECT_EQ(m_source.GetAutoLevel(1), 63);
}

TEST_F(AutoLevelTest, WindowIsPlacedAtTheCursorAndKeptInsideTheData) {
  // Ten frames whose values name them, with one frame raised to 255: the
  // level rises exactly when that frame is in the window.
  auto levelWithPeakAt = [&](int peak, double cursor, std::uint32_t count) {
    Bytes samples(10, 100);
    samples[peak] = 255;
    Load(samples);
    MoveTo(cursor);
    return m_source.GetAutoLevel(count);
  };
  const int flat = 100;
  // Cursor 8.6, count 4: frames 6-9.
  EXPECT_NE(levelWithPeakAt(6, 8.6, 4), flat);
  EXPECT_NE(levelWithPeakAt(9, 8.6, 4), flat);
  EXPECT_EQ(levelWithPeakAt(5, 8.6, 4), flat);
  // Cursor 2.3, count 4: frames 2-5.
  EXPECT_NE(levelWithPeakAt(2, 2.3, 4), flat);
  EXPECT_NE(levelWithPeakAt(5, 2.3, 4), flat);
  EXPECT_EQ(levelWithPeakAt(1, 2.3, 4), flat);
  EXPECT_EQ(levelWithPeakAt(6, 2.3, 4), flat);
  // A window ending exactly at the last frame is moved back by nothing but
  // stays there: cursor 6.0, count 4 is frames 6-9.
  EXPECT_EQ(levelWithPeakAt(5, 6.0, 4), flat);
  // Cursor at or past the end: the last count frames.
  EXPECT_NE(levelWithPeakAt(7, 10.0, 3), flat);
  EXPECT_EQ(levelWithPeakAt(6, 1e12, 3), flat);
  EXPECT_NE(levelWithPeakAt(9, 1e12, 3), flat);
}

TEST_F(AutoLevelTest, WindowLongerThanTheDataIsTheWholeData) {
  Load({100, 150, 200});
  MoveTo(2.5);
  EXPECT_EQ(m_source.GetAutoLevel(200), 150);
  EXPECT_EQ(m_source.GetAutoLevel(0xFFFFFFFFu), 150);
}

TEST_F(AutoLevelTest, StereoUsesIntegerAveragesOfRawFrames) {
  Load({1, 2}, 2);
  EXPECT_EQ(m_source.GetAutoLevel(1), 1);  // (1 + 2) div 2
  m_source.SetChannels(0, 1);
  EXPECT_EQ(m_source.GetAutoLevel(1), 2);
  m_source.SetChannels(0, 0);
  Load({200, 100, 50, 70}, 2);
  EXPECT_EQ(m_source.GetAutoLevel(2), 0);
}

TEST_F(AutoLevelTest, ReadsRawSamplesAndLeavesTheCursor) {
  Load({0, 200, 0, 200});
  MoveTo(0.5);  // an interpolated read here would give 100
  EXPECT_EQ(m_source.GetAutoLevel(1), 0);
  EXPECT_EQ(m_source.GetAutoLevel(1), 0);
  EXPECT_EQ(m_source.Position(), 0.5);
}

TEST_F(AutoLevelTest, LongWindowsSumWithoutOverflow) {
  // 17 million frames of 255 overflow a 32-bit sum; the level stays 255.
  Load(Bytes(17000000, 255));
  EXPECT_EQ(m_source.GetAutoLevel(17000000), 255);
}

}  // namespace
