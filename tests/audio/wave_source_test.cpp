#include "audio/wave_source.h"

#include <gtest/gtest.h>

#include <cmath>

#include "test_support.h"

using namespace tapedecoder;

namespace {

using testing_support::Bytes;
using testing_support::Chunk;
using testing_support::ChunkWithSize;
using testing_support::RiffWave;
using testing_support::SimpleWave;
using testing_support::WaveFormat;

class WaveSourceTest : public ::testing::Test {
 protected:
  bool Load(const Bytes& file) { return m_source.OpenMemory(file.data(), file.size()); }
  void LoadSamples(const Bytes& samples, std::uint16_t channels = 1) {
    ASSERT_TRUE(Load(SimpleWave(samples, channels)));
  }
  // The value read at `position`, reached from 0.0 by one step of that size.
  int ReadAt(double position) {
    m_source.Rewind();
    if (position > 0.0) {
      const double step = m_source.GetStep();
      m_source.SetStep(position);
      m_source.Advance();
      m_source.SetStep(step);
    }
    std::uint8_t value = 0;
    return m_source.ReadSample(value) ? value : -1;
  }
  void ExpectEmpty() {
    EXPECT_EQ(m_source.FrameCount(), 0u);
    EXPECT_TRUE(m_source.Data().empty());
    EXPECT_TRUE(m_source.IsAtEnd());
    EXPECT_EQ(m_source.Position(), 0.0);
  }

  CWaveSource m_source;
};

TEST_F(WaveSourceTest, NewSourceIsEmptyWithUnitStep) {
  ExpectEmpty();
  EXPECT_EQ(m_source.GetStep(), 1.0);
  std::uint8_t value = 0;
  EXPECT_FALSE(m_source.ReadSample(value));
}

TEST_F(WaveSourceTest, MonoReadsInterpolateAndTruncate) {
  LoadSamples({100, 200});
  EXPECT_EQ(m_source.FrameCount(), 2u);
  EXPECT_EQ(ReadAt(0.0), 100);
  EXPECT_EQ(ReadAt(0.5), 150);
  EXPECT_EQ(ReadAt(1.0), 200);
  EXPECT_EQ(ReadAt(1.5), 200);  // the last frame reads as itself
  EXPECT_EQ(ReadAt(2.0), -1);

  LoadSamples({10, 11});
  EXPECT_EQ(ReadAt(0.6), 10);  // 10.6 truncated, not rounded
  LoadSamples({200, 100});
  EXPECT_EQ(ReadAt(0.5), 150);
  EXPECT_EQ(ReadAt(0.3), 170);
}

TEST_F(WaveSourceTest, CursorIsARunningSumOfSteps) {
  LoadSamples({0, 100, 200});
  ASSERT_TRUE(m_source.SetStep(0.2));
  for (int i = 0; i < 10; ++i) m_source.Advance();
  EXPECT_EQ(m_source.Position(), 1.9999999999999998);
  std::uint8_t value = 0;
  ASSERT_TRUE(m_source.ReadSample(value));
  EXPECT_EQ(value, 199);  // not 200: the cursor lies just before frame 2
}

TEST_F(WaveSourceTest, FifteenthAdvanceOfAFifthLeavesThreeFrames) {
  LoadSamples({1, 2, 3});
  m_source.SetStep(0.2);
  for (int i = 1; i <= 14; ++i) EXPECT_TRUE(m_source.Advance()) << i;
  EXPECT_FALSE(m_source.Advance());
  EXPECT_EQ(m_source.Position(), 3.0000000000000004);
  EXPECT_TRUE(m_source.IsAtEnd());
  EXPECT_FALSE(m_source.Advance());  // the cursor keeps moving
  m_source.Rewind();
  EXPECT_FALSE(m_source.IsAtEnd());
  std::uint8_t value = 0;
  ASSERT_TRUE(m_source.ReadSample(value));
  EXPECT_EQ(value, 1);
}

TEST_F(WaveSourceTest, StereoMixesTheSelectedChannels) {
  // Frames (L 100, R 50) and (L 200, R 51), read at 0.5.
  const Bytes frames = {100, 50, 200, 51};
  struct Row {
    std::uint8_t left, right;
    int expected;
  } rows[] = {{1, 1, 100}, {1, 0, 150}, {0, 1, 50}, {0, 0, 0},
              // Only the value 1 selects a channel.
              {2, 1, 50}};
  for (const Row& row : rows) {
    m_source.SetChannels(row.left, row.right);
    LoadSamples(frames, 2);
    EXPECT_EQ(m_source.FrameCount(), 2u);
    EXPECT_EQ(ReadAt(0.5), row.expected) << int(row.left) << int(row.right);
  }
}

TEST_F(WaveSourceTest, StereoInverseChannelsCancelToAConstant) {
  Bytes frames;
  for (int v : {0, 40, 215, 255, 128, 3}) {
    frames.push_back(static_cast<std::uint8_t>(v));
    frames.push_back(static_cast<std::uint8_t>(255 - v));
  }
  LoadSamples(frames, 2);
  m_source.SetStep(0.2);
  std::uint8_t value = 0;
  do {
    ASSERT_TRUE(m_source.ReadSample(value));
    EXPECT_EQ(value, 127);
  } while (m_source.Advance());
  m_source.SetChannels(0, 1);
  m_source.Rewind();
  ASSERT_TRUE(m_source.ReadSample(value));
  EXPECT_EQ(value, 255);
}

TEST_F(WaveSourceTest, MonoIgnoresChannelFlags) {
  m_source.SetChannels(0, 0);
  LoadSamples({100, 200});
  EXPECT_EQ(ReadAt(0.5), 150);
}

TEST_F(WaveSourceTest, OddStereoDataDropsTheLoneByte) {
  LoadSamples({1, 2, 3, 4, 5}, 2);
  EXPECT_EQ(m_source.FrameCount(), 2u);
  EXPECT_EQ(ReadAt(2.0), -1);
}

// The step used to be checked before it was replaced, so a zero step was
// stored and every later step refused.
TEST_F(WaveSourceTest, SetStepRefusesAStepThatIsNotPositive) {
  EXPECT_TRUE(m_source.SetStep(0.2));
  for (double step : {0.0, -0.5, std::nan("")}) {
    EXPECT_FALSE(m_source.SetStep(step)) << step;
    EXPECT_EQ(m_source.GetStep(), 0.2) << step;
  }
  EXPECT_TRUE(m_source.SetStep(1.0));
}

TEST_F(WaveSourceTest, ReleaseEmptiesButKeepsStepAndFlags) {
  LoadSamples({1, 2, 3, 4}, 2);
  m_source.SetStep(0.2);
  m_source.SetChannels(1, 0);
  m_source.Advance();
  m_source.Release();
  ExpectEmpty();
  EXPECT_EQ(m_source.GetStep(), 0.2);
  EXPECT_EQ(m_source.Channels(), 2u);
  LoadSamples({10, 20, 30, 40}, 2);
  EXPECT_EQ(ReadAt(0.0), 10);  // still left only
}

TEST_F(WaveSourceTest, AcceptsTheLayoutsRealFilesUse) {
  WaveFormat mono;
  const Bytes data = Chunk("data", {7, 8, 9});
  Bytes extended = mono.Build();
  extended.insert(extended.end(), {0, 0});  // cbSize of an 18-byte format
  Bytes list = Chunk("LIST", {'I', 'N', 'F', 'O', 'x'});  // odd, padded
  struct Row {
    const char* name;
    Bytes file;
  } rows[] = {
      {"16-byte format then data", RiffWave(Chunk("fmt ", mono.Build()) + data)},
      {"18-byte format", RiffWave(Chunk("fmt ", extended) + data)},
      {"LIST between format and data",
       RiffWave(Chunk("fmt ", mono.Build()) + list + data)},
      {"chunk before the format", RiffWave(Chunk("junk", {1}) + Chunk("fmt ", mono.Build()) + data)},
      {"trailing chunk after data",
       RiffWave(Chunk("fmt ", mono.Build()) + data + Chunk("id3 ", {1, 2}))},
      {"chunk before RIFF", Chunk("JUNK", {1, 2, 3}) + RiffWave(Chunk("fmt ", mono.Build()) + data)},
  };
  for (const Row& row : rows) {
    EXPECT_TRUE(Load(row.file)) << row.name << ": " << int(m_source.LastError());
    EXPECT_EQ(m_source.FrameCount(), 3u) << row.name;
    EXPECT_EQ(m_source.Data(), (Bytes{7, 8, 9})) << row.name;
  }
}

TEST_F(WaveSourceTest, RejectsWhatIsNotAnEightBit44100PcmRecording) {
  WaveFormat good;
  auto with = [&](auto change) {
    WaveFormat format = good;
    change(format);
    return RiffWave(Chunk("fmt ", format.Build()) + Chunk("data", {1, 2, 3, 4}));
  };
  Bytes wrongForm = SimpleWave({1, 2});
  wrongForm[8] = 'A';
  Bytes dataFirst = RiffWave(Chunk("data", {1, 2}) + Chunk("fmt ", good.Build()) +
                             Chunk("LIST", {1, 2}));
  Bytes shortFormat = RiffWave(ChunkWithSize("fmt ", 16, {1, 0, 1, 0, 0x44, 0xAC}));
  struct Row {
    const char* name;
    Bytes file;
    FailureKind error;
  } rows[] = {
      {"empty", {}, FailureKind::WAVE_NO_RIFF_WAVE},
      {"only RIFF", {'R', 'I', 'F', 'F'}, FailureKind::WAVE_NO_RIFF_WAVE},
      {"text", {'h', 'e', 'l', 'l', 'o', ' ', 'w', 'o', 'r', 'l', 'd', '\n'}, FailureKind::WAVE_NO_RIFF_WAVE},
      {"form type not WAVE", wrongForm, FailureKind::WAVE_NO_RIFF_WAVE},
      {"no format", RiffWave(Chunk("data", {1, 2})), FailureKind::WAVE_NO_FORMAT},
      {"data before format", dataFirst, FailureKind::WAVE_NO_DATA},
      {"format cut short", shortFormat, FailureKind::WAVE_SHORT_FORMAT},
      {"no data", RiffWave(Chunk("fmt ", good.Build()) + Chunk("LIST", {1, 2})), FailureKind::WAVE_NO_DATA},
      {"float", with([](WaveFormat& f) { f.tag = 3; }), FailureKind::WAVE_NOT_PCM},
      {"extensible", with([](WaveFormat& f) { f.tag = 0xFFFE; }), FailureKind::WAVE_NOT_PCM},
      {"48000 Hz", with([](WaveFormat& f) { f.rate = 48000; }), FailureKind::WAVE_BAD_RATE},
      {"22050 Hz", with([](WaveFormat& f) { f.rate = 22050; }), FailureKind::WAVE_BAD_RATE},
      {"16-bit mono", with([](WaveFormat& f) { f.blockAlign = 2; f.bits = 16; }), FailureKind::WAVE_BAD_BLOCK_ALIGN},
      {"16-bit stereo", with([](WaveFormat& f) { f.channels = 2; f.blockAlign = 4; }), FailureKind::WAVE_BAD_BLOCK_ALIGN},
      {"0 channels", with([](WaveFormat& f) { f.channels = 0; f.blockAlign = 0; }), FailureKind::WAVE_BAD_CHANNELS},
      {"3 channels", with([](WaveFormat& f) { f.channels = 3; f.blockAlign = 3; }), FailureKind::WAVE_BAD_CHANNELS},
      {"8 channels", with([](WaveFormat& f) { f.channels = 8; f.blockAlign = 8; }), FailureKind::WAVE_BAD_CHANNELS},
  };
  for (const Row& row : rows) {
    ASSERT_TRUE(Load(SimpleWave({5, 6, 7}))) << row.name;
    EXPECT_FALSE(Load(row.file)) << row.name;
    EXPECT_EQ(m_source.LastError(), row.error) << row.name;
    ExpectEmpty();
  }
}

// Declared sizes that the file does not back must not be read, allocated or
// followed out of the file.
TEST_F(WaveSourceTest, SizesPastTheEndAreBoundedByTheFile) {
  const Bytes format = Chunk("fmt ", WaveFormat().Build());
  // A data chunk declaring 4 GB on a tiny file: only the present bytes load.
  Bytes huge = RiffWave(format + ChunkWithSize("data", 0xFFFFFFFF, {1, 2, 3}));
  ASSERT_TRUE(Load(huge));
  EXPECT_EQ(m_source.FrameCount(), 3u);
  EXPECT_EQ(m_source.Data(), (Bytes{1, 2, 3}));

  // A truncated stereo recording keeps its whole frames.
  WaveFormat stereo;
  stereo.channels = 2;
  stereo.blockAlign = 2;
  ASSERT_TRUE(Load(RiffWave(Chunk("fmt ", stereo.Build()) +
                            ChunkWithSize("data", 1000, {1, 2, 3, 4, 5}))));
  EXPECT_EQ(m_source.FrameCount(), 2u);

  // A chunk before the format that claims to run past the RIFF chunk.
  EXPECT_FALSE(Load(RiffWave(ChunkWithSize("junk", 0xFFFFFFF0, {1, 2}) + format)));
  EXPECT_EQ(m_source.LastError(), FailureKind::WAVE_NO_FORMAT);

  // A format chunk whose declared size reaches past the file.
  Bytes longFormat =
      RiffWave(ChunkWithSize("fmt ", 0x7FFFFFFF, WaveFormat().Build() + Bytes{0, 0}));
  EXPECT_FALSE(Load(longFormat));
  EXPECT_EQ(m_source.LastError(), FailureKind::WAVE_FORMAT_END);

  // A RIFF size larger than the file.
  Bytes riff = SimpleWave({9, 9});
  riff[4] = riff[5] = riff[6] = riff[7] = 0xFF;
  ASSERT_TRUE(Load(riff));
  EXPECT_EQ(m_source.FrameCount(), 2u);
}

TEST_F(WaveSourceTest, OddChunksAreSkippedWithTheirPadByte) {
  const Bytes format = Chunk("fmt ", WaveFormat().Build());
  // Padded odd chunk: the data chunk follows the pad byte.
  ASSERT_TRUE(Load(RiffWave(format + Chunk("odd ", {1, 2, 3}, true) + Chunk("data", {4}))));
  EXPECT_EQ(m_source.FrameCount(), 1u);
  // Without the pad byte the walk lands one byte late and misses "data".
  EXPECT_FALSE(Load(RiffWave(format + Chunk("odd ", {1, 2, 3}, false) + Chunk("data", {4}))));
  EXPECT_EQ(m_source.LastError(), FailureKind::WAVE_NO_DATA);
}

TEST_F(WaveSourceTest, OnlyTheFirstDataChunkLoads) {
  const Bytes format = Chunk("fmt ", WaveFormat().Build());
  ASSERT_TRUE(Load(RiffWave(format + Chunk("data", {1, 2}) + Chunk("data", {3, 4, 5}))));
  EXPECT_EQ(m_source.Data(), (Bytes{1, 2}));
}

TEST_F(WaveSourceTest, EmptyDataChunkLoadsZeroFrames) {
  ASSERT_TRUE(Load(SimpleWave({})));
  EXPECT_EQ(m_source.FrameCount(), 0u);
  EXPECT_TRUE(m_source.IsAtEnd());
}

}  // namespace

namespace {

// A file image whose reads come up short from a given offset on, as when a
// recording is truncated by another program while it is being read.
class ShrinkingReader : public CWaveSource::Reader {
 public:
  ShrinkingReader(Bytes bytes, std::uint64_t cut) : m_bytes(std::move(bytes)), m_cut(cut) {}
  std::uint64_t Size() const override { return m_bytes.size(); }
  std::size_t ReadAt(std::uint64_t offset, std::uint8_t* out, std::size_t count) override {
    const std::uint64_t end = std::min<std::uint64_t>(offset + count, m_cut);
    if (offset >= end) return 0;
    std::copy(m_bytes.begin() + offset, m_bytes.begin() + end, out);
    return static_cast<std::size_t>(end - offset);
  }

 private:
  Bytes m_bytes;
  std::uint64_t m_cut;
};

TEST(WaveSourceReaderTest, FileThatShrinksWhileReadKeepsWhatWasRead) {
  ShrinkingReader reader(SimpleWave(Bytes(100, 5), 2), 44 + 11);
  CWaveSource source;
  ASSERT_TRUE(source.OpenReader(reader));
  EXPECT_EQ(source.Data().size(), 11u);
  EXPECT_EQ(source.FrameCount(), 5u);
}

}  // namespace
