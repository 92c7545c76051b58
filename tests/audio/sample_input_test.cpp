// Opening recordings for the robust decoder from disk: the formats, rates
// and channel counts real tools write, CSW files from a tape converter, and
// the files that must be refused with the right typed outcome.
#include <gtest/gtest.h>
#include <sndfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <memory>
#include <string>
#include <vector>

#include "audio/csw_bytes.h"
#include "audio/csw_reader.h"
#include "audio/read_ahead.h"
#include "audio/sample_input.h"
#include "tape/tape_block.h"
#include "test_support.h"

namespace {

using namespace tapedecoder;
using testing_support::Bytes;
using testing_support::HaveTool;
using testing_support::InChild;
using testing_support::ReadFile;
using testing_support::RunCommand;
using testing_support::ScratchDir;
using testing_support::ShellQuote;
using testing_support::WriteFile;

constexpr double PI = 3.14159265358979323846;
constexpr double SECONDS = 0.5;

// Channel 0: a 1 kHz tone of amplitude 0.5; channel 1: the same inverted at
// 0.4; channel 2: a 500 Hz tone of 0.3.
double Reference(int channel, double t) {
  if (channel == 1) return -0.4 * std::sin(2 * PI * 1000 * t);
  if (channel == 2) return 0.3 * std::sin(2 * PI * 500 * t);
  return 0.5 * std::sin(2 * PI * 1000 * t);
}

// Writes the reference signal through the sound library; false on failure.
bool WriteReference(const std::string& path, int format, int rate, int channels) {
  SF_INFO info{};
  info.samplerate = rate;
  info.channels = channels;
  info.format = format;
  SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
  if (file == nullptr) return false;
  std::vector<float> frames;
  const int count = static_cast<int>(rate * SECONDS);
  for (int f = 0; f < count; ++f)
    for (int c = 0; c < channels; ++c) frames.push_back(static_cast<float>(Reference(c, double(f) / rate)));
  const bool ok = sf_writef_float(file, frames.data(), count) == count;
  return sf_close(file) == 0 && ok;
}

struct Streams {
  std::vector<std::vector<float>> data;
  std::size_t calls = 0;
};

Streams ReadAll(CSampleInput& input, const std::vector<ChannelChoice>& choices) {
  Streams s;
  s.data.resize(choices.size());
  EXPECT_TRUE(input.Select(choices));
  std::vector<std::vector<float>> out;
  while (const std::size_t n = input.Read(out, 10000)) {
    for (std::size_t i = 0; i < out.size(); ++i) {
      EXPECT_EQ(out[i].size(), n);
      s.data[i].insert(s.data[i].end(), out[i].begin(), out[i].end());
    }
    ++s.calls;
  }
  return s;
}

// The frequency of a tone from its rising zero crossings in the middle half.
double Frequency(const std::vector<float>& v, double rate) {
  std::size_t first = 0;
  std::size_t last = 0;
  int n = 0;
  for (std::size_t i = v.size() / 4 + 1; i < 3 * v.size() / 4; ++i) {
    if (v[i - 1] < 0 && v[i] >= 0) {
      if (n++ == 0) first = i;
      last = i;
    }
  }
  return n < 2 ? 0.0 : (n - 1) * rate / double(last - first);
}

double MiddleRms(const std::vector<float>& v) {
  double sum = 0.0;
  for (std::size_t i = v.size() / 4; i < 3 * v.size() / 4; ++i) sum += double(v[i]) * v[i];
  return std::sqrt(sum / double(v.size() / 2));
}

class SampleInputTest : public ::testing::Test {
 protected:
  std::string PathOf(const std::string& name) const { return (m_dir / name).string(); }
  ScratchDir m_dir;
};

TEST_F(SampleInputTest, SoundFilesOfEveryFormatRateAndChannelCountRead) {
  ASSERT_TRUE(HaveTool("sox")) << "the test command installs sox";
  struct Row {
    const char* name;
    const char* sox;  // options for the output file; nullptr: the sound library writes it
    int format;       // for the sound library: the reference's format
    int rate;
    int channels;
    double tolerance;  // per sample; < 0 for lossy formats
    unsigned up;
  } rows[] = {
      {"u8.wav", "-t wavpcm -b 8 -e unsigned-integer", 0, 44100, 2, 1.0 / 120, 1},
      {"s16.wav", "-t wavpcm -b 16", 0, 48000, 1, 1.0 / 30000, 1},
      {"s24.wav", "-t wavpcm -b 24", 0, 96000, 2, 1e-6, 1},
      {"s32.wav", "-t wavpcm -b 32 -e signed-integer", 0, 192000, 1, 1e-6, 1},
      {"f32.wav", "-t wavpcm -b 32 -e floating-point", 0, 44100, 2, 1e-7, 1},
      {"extensible.wav", "-t wav -b 24", 0, 48000, 3, 1e-6, 1},
      {"s16.flac", "-b 16", 0, 22050, 2, 1.0 / 30000, 2},
      {"s16.aiff", "-b 16", 0, 11025, 1, 1.0 / 30000, 4},
      {"s16_8k.wav", "-t wavpcm -b 16", 0, 8000, 1, 1.0 / 30000, 5},
      {"s16_3ch.flac", "-b 16", 0, 44100, 3, 1.0 / 30000, 1},
      {"tone.ogg", "", 0, 44100, 2, -1, 1},
      {"tone.mp3", "", 0, 48000, 2, -1, 1},
      {"tone.rf64", nullptr, SF_FORMAT_RF64 | SF_FORMAT_PCM_16, 48000, 2, 1.0 / 30000, 1},
  };
  for (const Row& row : rows) {
    const std::string path = PathOf(row.name);
    if (row.sox == nullptr) {
      ASSERT_TRUE(WriteReference(path, row.format, row.rate, row.channels)) << row.name;
    } else {
      const std::string reference = PathOf("reference.wav");
      ASSERT_TRUE(WriteReference(reference, SF_FORMAT_WAV | SF_FORMAT_FLOAT, row.rate, row.channels));
      ASSERT_EQ(RunCommand("sox -D " + ShellQuote(reference) + " " + row.sox + " " + ShellQuote(path) +
                           " 2>/dev/null"), 0) << row.name;
    }
    if (std::string(row.name) == "extensible.wav") {
      const Bytes bytes = ReadFile(path);
      ASSERT_GT(bytes.size(), 22u);
      ASSERT_EQ(bytes[20] | bytes[21] << 8, 0xFFFE) << "sox wrote no WAVE_FORMAT_EXTENSIBLE";
    }
    Failure error;
    const auto input = CSampleInput::Open(path, error);
    ASSERT_TRUE(input) << row.name << ": failure " << int(error.kind) << " " << error.libraryMessage;
    const InputInfo& info = input->Info();
    EXPECT_EQ(info.kind, InputKind::AUDIO);
    EXPECT_EQ(info.rate, row.rate) << row.name;
    EXPECT_EQ(info.channels, row.channels) << row.name;
    EXPECT_EQ(input->Upsampling(), row.up) << row.name;
    EXPECT_DOUBLE_EQ(input->OutputRate(), double(row.rate) * row.up) << row.name;

    const Streams s = ReadAll(*input, {ChannelChoice::LEFT, ChannelChoice::RIGHT, ChannelChoice::MIX});
    EXPECT_FALSE(input->Failed()) << row.name;
    const std::size_t frames = static_cast<std::size_t>(row.rate * SECONDS);
    const std::vector<float>& left = s.data[0];
    const std::vector<float>& right = s.data[1];
    if (row.tolerance < 0) {
      EXPECT_NEAR(double(left.size()), double(frames), 0.06 * frames) << row.name;
    } else {
      EXPECT_NEAR(double(left.size()), double(frames * row.up), 2.0) << row.name;
      EXPECT_EQ(input->Progress().done, frames) << row.name;
      EXPECT_EQ(input->Progress().total, frames) << row.name;
    }
    EXPECT_NEAR(Frequency(left, input->OutputRate()), 1000.0, 2.0) << row.name;
    if (row.tolerance >= 0) {
      const int rightChannel = row.channels > 1 ? 1 : 0;
      double worstLeft = 0.0;
      double worstRight = 0.0;
      for (std::size_t f = 100; f + 100 < frames; ++f) {
        const double t = double(f) / row.rate;
        worstLeft = std::max(worstLeft, std::fabs(left[f * row.up] - Reference(0, t)));
        worstRight = std::max(worstRight, std::fabs(right[f * row.up] - Reference(rightChannel, t)));
      }
      // Raised rates keep every original sample within the filter's ripple.
      const double allowed = row.up > 1 ? 0.01 : row.tolerance;
      EXPECT_LE(worstLeft, allowed) << row.name;
      EXPECT_LE(worstRight, allowed) << row.name;
    }
    // The inverted channel adds to the mix instead of cancelling it.
    if (row.channels >= 2) {
      EXPECT_GT(MiddleRms(s.data[2]), 0.2) << row.name;
    }
  }
}

// Reading ahead on a thread hands out the chunks plain reads give, in
// order, and the end again after it; so does reading on demand.
TEST_F(SampleInputTest, ReadingAheadGivesThePlainReadsChunks) {
  const struct {
    int rate, channels;
    std::vector<ChannelChoice> choices;
  } cases[] = {{44100, 1, {ChannelChoice::LEFT}},
               {22050, 2, {ChannelChoice::MIX, ChannelChoice::LEFT, ChannelChoice::RIGHT}}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.channels);
    const std::string path = PathOf("ahead.wav");
    ASSERT_TRUE(WriteReference(path, SF_FORMAT_WAV | SF_FORMAT_PCM_16, c.rate, c.channels));
    Failure error;
    std::unique_ptr<CSampleInput> plain = CSampleInput::Open(path, error);
    ASSERT_TRUE(plain);
    const Streams expected = ReadAll(*plain, c.choices);
    // In the caller's thread, on a thread of its own, and switched to one
    // after two chunks.
    for (int threadFrom : {-1, 0, 2}) {
      std::unique_ptr<CSampleInput> input = CSampleInput::Open(path, error);
      ASSERT_TRUE(input && input->Select(c.choices));
      CReadAhead reader(*input, 10000, threadFrom == 0);
      Streams got;
      got.data.resize(c.choices.size());
      for (const SampleChunk* chunk = &reader.Next(); chunk->count > 0; chunk = &reader.Next()) {
        for (std::size_t i = 0; i < got.data.size(); ++i)
          got.data[i].insert(got.data[i].end(), chunk->streams[i].begin(), chunk->streams[i].begin() + chunk->count);
        if (static_cast<int>(++got.calls) == threadFrom) reader.Thread();
      }
      EXPECT_EQ(reader.Next().count, 0u);
      EXPECT_EQ(got.calls, expected.calls);
      EXPECT_EQ(got.data, expected.data);
    }
  }
}

// Asked to drop the channels, a coherent mix comes out alone and as it
// was; a mix that is not coherent keeps them. Straight and raised rates.
TEST_F(SampleInputTest, ChannelsDroppedOnlyBesideACoherentMix) {
  const std::vector<ChannelChoice> choices = {ChannelChoice::MIX, ChannelChoice::LEFT, ChannelChoice::RIGHT};
  const struct {
    int rate, channels;
    bool alone;
  } cases[] = {{44100, 2, true}, {22050, 2, true}, {44100, 3, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.rate << " Hz, " << c.channels << " channels");
    const std::string path = PathOf("drop.wav");
    ASSERT_TRUE(WriteReference(path, SF_FORMAT_WAV | SF_FORMAT_PCM_16, c.rate, c.channels));
    Failure error;
    std::unique_ptr<CSampleInput> plain = CSampleInput::Open(path, error);
    ASSERT_TRUE(plain);
    const Streams expected = ReadAll(*plain, choices);
    std::unique_ptr<CSampleInput> input = CSampleInput::Open(path, error);
    ASSERT_TRUE(input && input->Select(choices) && input->DropChannelsWhenCoherent());
    std::vector<std::vector<float>> out, mix;
    while (const std::size_t n = input->Read(out, 10000)) {
      mix.push_back(out[0]);
      ASSERT_EQ(out[0].size(), n);
      EXPECT_EQ(out[1].size(), c.alone ? 0 : n);
      EXPECT_EQ(out[2].size(), c.alone ? 0 : n);
    }
    EXPECT_EQ(input->MixAlone(), c.alone);
    std::vector<float> joined;
    for (const std::vector<float>& m : mix) joined.insert(joined.end(), m.begin(), m.end());
    EXPECT_EQ(joined, expected.data[0]);
  }
}

TEST_F(SampleInputTest, SeekingReadsOnAsAPlainReadFromThere) {
  const struct {
    int rate, channels;
    std::vector<ChannelChoice> choices;
    std::size_t at;  // the sample sought, at the output rate
    float tolerance;  // raised rates restart their filter there
  } cases[] = {{44100, 1, {ChannelChoice::LEFT}, 12345, 0.0f},
               {48000, 2, {ChannelChoice::LEFT, ChannelChoice::RIGHT}, 20001, 0.0f},
               {22050, 2, {ChannelChoice::RIGHT, ChannelChoice::LEFT}, 10000, 0.01f}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.rate);
    const std::string path = PathOf("seek.wav");
    ASSERT_TRUE(WriteReference(path, SF_FORMAT_WAV | SF_FORMAT_PCM_16, c.rate, c.channels));
    Failure error;
    std::unique_ptr<CSampleInput> plain = CSampleInput::Open(path, error);
    ASSERT_TRUE(plain);
    const Streams expected = ReadAll(*plain, c.choices);
    std::unique_ptr<CSampleInput> input = CSampleInput::Open(path, error);
    ASSERT_TRUE(input);
    EXPECT_FALSE(input->Seek(0));  // nothing selected yet
    ASSERT_TRUE(input->Select(c.choices));
    if (input->Upsampling() > 1) {
      EXPECT_FALSE(input->Seek(c.at + 1));  // between the file's frames
    }
    ASSERT_TRUE(input->Seek(c.at));
    std::vector<std::vector<float>> out;
    ASSERT_GT(input->Read(out, 4000), 3000u);
    const std::size_t settle = c.tolerance > 0 ? 200 : 0;
    for (std::size_t i = 0; i < c.choices.size(); ++i)
      for (std::size_t k = settle; k < 3000; ++k)
        ASSERT_NEAR(out[i][k], expected.data[i][c.at + k], c.tolerance) << "stream " << i << " sample " << k;
  }
}

TEST_F(SampleInputTest, FilesThatAreNoRecordingAreRefusedWithTheirReason) {
  ASSERT_TRUE(HaveTool("sox"));
  const std::string fifo = PathOf("fifo.wav");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  std::filesystem::create_directory(m_dir / "folder.wav");
  WriteFile(m_dir / "text.wav", Bytes{'h', 'e', 'l', 'l', 'o', '\n'});
  WriteFile(m_dir / "empty.wav", Bytes{});
  ASSERT_EQ(RunCommand("sox -n -r 4000 -b 16 " + ShellQuote(PathOf("slow.wav")) + " synth 0.1 sine 500"), 0);
  ASSERT_EQ(RunCommand("sox -n -r 384000 -b 16 " + ShellQuote(PathOf("fast.wav")) + " synth 0.1 sine 500"), 0);
  const Bytes good = ReadFile(m_dir / "slow.wav");
  WriteFile(m_dir / "cut.wav", Bytes(good.begin(), good.begin() + 30));
  testing_support::WaveFormat none;
  none.channels = 0;
  WriteFile(m_dir / "none.wav", testing_support::RiffWave(testing_support::Chunk("fmt ", none.Build()) +
                                                          testing_support::Chunk("data", Bytes(100, 0))));
  // A CSW file is known by its signature, whatever it is called.
  WriteFile(m_dir / "zero_rate.wav", testing_support::CswV1(0, false, {10, 10}));
  struct Row {
    std::string path;
    FailureKind failure;
    int osError;
  } rows[] = {
      {PathOf("missing.wav"), FailureKind::CANNOT_OPEN, ENOENT},
      {PathOf("folder.wav"), FailureKind::NOT_A_FILE, EISDIR},
      {fifo, FailureKind::NOT_A_FILE, 0},
      {"/dev/null", FailureKind::NOT_A_FILE, 0},
      {PathOf("text.wav"), FailureKind::UNKNOWN_FORMAT, 0},
      {PathOf("empty.wav"), FailureKind::UNKNOWN_FORMAT, 0},
      {PathOf("slow.wav"), FailureKind::BAD_RATE, 0},
      {PathOf("fast.wav"), FailureKind::BAD_RATE, 0},
      {PathOf("cut.wav"), FailureKind::MALFORMED_AUDIO, 0},
      {PathOf("none.wav"), FailureKind::MALFORMED_AUDIO, 0},
      {PathOf("zero_rate.wav"), FailureKind::CSW_ZERO_RATE, 0},
  };
  for (const Row& row : rows) {
    // In a child with an alarm, so that a file that blocks fails the test
    // instead of hanging it.
    const int status = InChild([&] {
      alarm(10);
      Failure error;
      const auto input = CSampleInput::Open(row.path, error);
      if (input) return 10;
      if (error.kind != row.failure) return 20 + static_cast<int>(error.kind);
      if (error.osError != row.osError) return 40;
      if (error.path != row.path) return 41;
      return 0;
    });
    EXPECT_EQ(status, 0) << row.path;
  }
  Failure error;
  EXPECT_FALSE(CSampleInput::Open(PathOf("slow.wav"), error));
  EXPECT_EQ(error.value, 4000);
}

TEST_F(SampleInputTest, DamagedFloatSamplesReadAsSilenceOrAtTheLimit) {
  SF_INFO info{};
  info.samplerate = 44100;
  info.channels = 1;
  info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
  const std::string path = PathOf("damaged_float.wav");
  SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
  ASSERT_NE(file, nullptr);
  // Damage inside the runs the samples are checked in, and in the tail.
  std::vector<float> samples(150, 0.25f);
  std::vector<float> expected = samples;
  const struct {
    std::size_t at;
    float stored, read;
  } damage[] = {{3, NAN, 0.0f}, {70, 1e30f, 16.0f}, {71, 2.0f, 2.0f}, {140, -INFINITY, -16.0f}};
  for (const auto& d : damage) {
    samples[d.at] = d.stored;
    expected[d.at] = d.read;
  }
  ASSERT_EQ(sf_writef_float(file, samples.data(), 150), 150);
  sf_close(file);
  Failure error;
  const auto input = CSampleInput::Open(path, error);
  ASSERT_TRUE(input);
  const Streams s = ReadAll(*input, {ChannelChoice::LEFT});
  // Loud samples stay as they are (no normalising); absurd ones are bounded.
  EXPECT_EQ(s.data[0], expected);
}

// The bytes of one tape block: flag, data, checksum.
Bytes TapeBlockBytes() {
  Bytes block = {0x00, 3, 'h', 'e', 'l', 'l', 'o', ' ', ' ', ' ', ' ', ' ', 10, 0, 0, 0x80, 10, 0};
  std::uint8_t sum = 0;
  for (std::uint8_t b : block) sum ^= b;
  block.push_back(sum);
  return block;
}

TEST_F(SampleInputTest, CswFromATapeConverterHoldsTheBlockInItsPulses) {
  ASSERT_TRUE(HaveTool("tapeconv")) << "the test command installs fuse-emulator-utils";
  const Bytes block = TapeBlockBytes();
  Bytes tap;
  testing_support::PutLe16(tap, static_cast<std::uint16_t>(block.size()));
  WriteFile(m_dir / "tape.tap", tap + block);
  // The converter writes version 2, Z-RLE.
  ASSERT_EQ(RunCommand("tapeconv " + ShellQuote(PathOf("tape.tap")) + " " + ShellQuote(PathOf("tape.csw")) +
                       " >/dev/null 2>&1"), 0);

  Failure error;
  const auto file = CCswFile::Open(PathOf("tape.csw"), error);
  ASSERT_TRUE(file);
  CCswReader& reader = file->Reader();
  EXPECT_EQ(reader.Header().major, 2);
  EXPECT_EQ(reader.Header().compression, 2);
  const double perTstate = reader.Header().rate / TSTATES_PER_SECOND;
  const auto near = [&](std::uint32_t samples, double tstates) {
    return std::fabs(samples - tstates * perTstate) <= 1.0;
  };
  std::vector<std::uint32_t> pulses;
  CswPulse pulse;
  while (reader.Next(pulse)) pulses.push_back(pulse.samples);
  EXPECT_EQ(reader.Failure(), FailureKind::NONE);
  // (The converter's declared count is that of its RLE bytes, not pulses.)

  // Pilot, two sync pulses, then two pulses per bit, most significant first.
  std::size_t i = 0;
  while (i < pulses.size() && near(pulses[i], ROM_PILOT_PULSE)) ++i;
  EXPECT_NEAR(double(i), ROM_HEADER_PILOT_PULSES, 2);
  ASSERT_LT(i + 2, pulses.size());
  EXPECT_TRUE(near(pulses[i], ROM_SYNC1_PULSE) && near(pulses[i + 1], ROM_SYNC2_PULSE));
  i += 2;
  Bytes decoded;
  for (std::size_t bit = 0; bit < block.size() * 8 && i + 1 < pulses.size(); ++bit, i += 2) {
    if (bit % 8 == 0) decoded.push_back(0);
    const bool one = near(pulses[i], ROM_ONE_PULSE) && near(pulses[i + 1], ROM_ONE_PULSE);
    EXPECT_TRUE(one || (near(pulses[i], ROM_ZERO_PULSE) && near(pulses[i + 1], ROM_ZERO_PULSE))) << bit;
    decoded.back() = static_cast<std::uint8_t>(decoded.back() | (one ? 0x80 >> (bit % 8) : 0));
  }
  EXPECT_EQ(decoded, block);

  // The same file as a sample stream: one level change per pulse edge.
  const auto input = CSampleInput::Open(PathOf("tape.csw"), error);
  ASSERT_TRUE(input);
  EXPECT_EQ(input->Info().kind, InputKind::CSW);
  const Streams s = ReadAll(*input, AutomaticChoices(input->Info().channels));
  ASSERT_EQ(s.data.size(), 1u);
  std::uint64_t total = 0;
  for (std::uint32_t p : pulses) total += p;
  EXPECT_EQ(s.data[0].size(), total);
  std::size_t edges = 0;
  for (std::size_t k = 1; k < s.data[0].size(); ++k) edges += s.data[0][k] != s.data[0][k - 1] ? 1 : 0;
  EXPECT_EQ(edges + 1, pulses.size());
  EXPECT_EQ(input->Progress().done, input->Progress().total);
}

TEST_F(SampleInputTest, DamageInsideACswFileEndsTheStreamWithItsFault) {
  std::vector<std::uint32_t> pulses(3000, 20);
  Bytes rle = testing_support::CswRle(pulses) + Bytes{0, 0, 0, 0, 0};
  WriteFile(m_dir / "damaged.csw", testing_support::CswV2(22050, 2, true, testing_support::Deflate(rle)));
  Failure error;
  const auto input = CSampleInput::Open(PathOf("damaged.csw"), error);
  ASSERT_TRUE(input);
  EXPECT_DOUBLE_EQ(input->OutputRate(), 44100.0);
  const Streams s = ReadAll(*input, {ChannelChoice::MIX, ChannelChoice::LEFT});
  EXPECT_EQ(s.data[0].size(), 3000u * 20u * 2u);
  EXPECT_EQ(s.data[0], s.data[1]);
  EXPECT_TRUE(input->Failed());
  EXPECT_EQ(input->Error().kind, FailureKind::CSW_ZERO_PULSE);
}

}  // namespace

namespace {

// A file and the same bytes in memory read alike at every offset and length,
// the end and beyond it included.
TEST(ByteSourceTest, FileAndMemoryReadAlike) {
  ScratchDir dir;
  Bytes bytes(1000);
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<std::uint8_t>(i * 7);
  WriteFile(dir / "bytes.bin", bytes);
  Failure error;
  const auto file = CFileByteSource::Open((dir / "bytes.bin").string(), error);
  ASSERT_TRUE(file);
  CMemoryByteSource memory(bytes.data(), bytes.size());
  EXPECT_EQ(file->Size(), 1000u);
  EXPECT_EQ(memory.Size(), 1000u);
  const struct {
    std::uint64_t offset;
    std::size_t count;
    std::size_t got;
  } rows[] = {{0, 23, 23}, {990, 10, 10}, {995, 10, 5}, {1000, 1, 0}, {5000, 4, 0}, {0, 2000, 1000}};
  for (const auto& row : rows) {
    Bytes a(row.count, 0xEE);
    Bytes b(row.count, 0xEE);
    EXPECT_EQ(file->ReadAt(row.offset, a.data(), a.size()), row.got) << row.offset;
    EXPECT_EQ(memory.ReadAt(row.offset, b.data(), b.size()), row.got) << row.offset;
    EXPECT_EQ(a, b) << row.offset;
  }
  EXPECT_EQ(file->OsError(), 0);
  EXPECT_EQ(CMemoryByteSource(nullptr, 10).Size(), 0u);
}

}  // namespace
