// FLAC files read by libFLAC directly must give, sample for sample and bit
// for bit, what the sound library's own reading gives: whole files in reads
// of every size, seeks, and files damaged, cut short or declaring fewer
// frames than they hold.
#include <gtest/gtest.h>
#include <sndfile.h>

#include <cmath>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "audio/sample_source.h"
#include "test_support.h"

namespace {

using namespace tapedecoder;
using testing_support::Bytes;
using testing_support::ReadFile;
using testing_support::ScratchDir;
using testing_support::WriteFile;

// A tape-like square wave with noise, at `level` of full scale; each
// channel shifted and scaled a little.
std::vector<float> Signal(std::size_t frames, int channels, double level, unsigned seed) {
  std::mt19937 random(seed);
  std::normal_distribution<double> hiss(0.0, 0.02);
  std::vector<float> out;
  for (std::size_t f = 0; f < frames; ++f)
    for (int c = 0; c < channels; ++c) {
      const double square = ((f + 7 * c) / (20 + f / 5000 % 7)) % 2 ? 1.0 : -1.0;
      out.push_back(static_cast<float>(std::max(-1.0, std::min(0.999, level * (square * (1.0 - 0.1 * c)) + hiss(random)))));
    }
  return out;
}

bool WriteFlac(const std::string& path, int encoding, int channels, int rate, const std::vector<float>& frames) {
  SF_INFO info{};
  info.samplerate = rate;
  info.channels = channels;
  info.format = SF_FORMAT_FLAC | encoding;
  SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
  if (file == nullptr) return false;
  const sf_count_t count = static_cast<sf_count_t>(frames.size() / channels);
  const bool ok = sf_writef_float(file, frames.data(), count) == count;
  return sf_close(file) == 0 && ok;
}

// What the sound library reads: every frame as normalised floats, up to
// `from` frames skipped by a seek first.
std::vector<float> LibraryRead(const std::string& path, std::uint64_t from, std::size_t most) {
  SF_INFO info{};
  SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
  if (file == nullptr) return {};
  sf_command(file, SFC_SET_NORM_FLOAT, nullptr, SF_TRUE);
  std::vector<float> out;
  if (from == 0 || sf_seek(file, static_cast<sf_count_t>(from), SEEK_SET) >= 0) {
    std::vector<float> buffer(4096 * info.channels);
    while (out.size() < most * info.channels) {
      const sf_count_t got = sf_readf_float(file, buffer.data(), 4096);
      if (got <= 0) break;
      out.insert(out.end(), buffer.begin(), buffer.begin() + got * info.channels);
    }
  }
  sf_close(file);
  if (out.size() > most * info.channels) out.resize(most * info.channels);
  return out;
}

// Ours, in reads of uneven sizes.
std::vector<float> SourceRead(CSampleSource& source, std::size_t most) {
  const std::size_t channels = static_cast<std::size_t>(source.Info().channels);
  const std::size_t sizes[] = {1, 4095, 4097, 333, 65536, 7};
  std::vector<float> out, buffer(65536 * channels);
  for (int k = 0; out.size() < most * channels; ++k) {
    const std::size_t got = source.Read(buffer.data(), sizes[k % 6]);
    if (got == 0) break;
    out.insert(out.end(), buffer.begin(), buffer.begin() + got * channels);
  }
  if (out.size() > most * channels) out.resize(most * channels);
  return out;
}

bool SameBits(const std::vector<float>& a, const std::vector<float>& b) {
  // No memcmp on empty lists: their data() may be null.
  return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(float)) == 0);
}

TEST(FlacSourceTest, ReadsWhatTheSoundLibraryReads) {
  ScratchDir dir;
  const std::string clean = (dir / "clean.flac").string();
  struct Row {
    const char* name;
    int encoding, channels, rate;
    std::size_t frames;
    double level;
    // Damage to the written file: a byte flipped at this fraction of it,
    // cut to this fraction or to this many bytes, or the declared length
    // patched to this many frames (0: none).
    double flipAt, cutTo;
    std::size_t cutBytes;
    std::uint64_t declare;
    FailureKind ends;
  } rows[] = {
      {"16-bit mono", SF_FORMAT_PCM_16, 1, 44100, 100000, 0.5, 0, 0, 0, 0, FailureKind::NONE},
      {"16-bit stereo", SF_FORMAT_PCM_16, 2, 48000, 60000, 0.9, 0, 0, 0, 0, FailureKind::NONE},
      {"24-bit stereo", SF_FORMAT_PCM_24, 2, 96000, 70001, 0.3, 0, 0, 0, 0, FailureKind::NONE},
      {"8-bit mono", SF_FORMAT_PCM_S8, 1, 22050, 30000, 0.7, 0, 0, 0, 0, FailureKind::NONE},
      {"24-bit, 3 channels", SF_FORMAT_PCM_24, 3, 44100, 20000, 0.6, 0, 0, 0, 0, FailureKind::NONE},
      {"full-scale 16-bit", SF_FORMAT_PCM_16, 1, 44100, 9000, 1.2, 0, 0, 0, 0, FailureKind::NONE},
      {"a byte flipped", SF_FORMAT_PCM_16, 1, 44100, 100000, 0.5, 0.5, 0, 0, 0, FailureKind::ENDS_EARLY},
      {"cut short", SF_FORMAT_PCM_16, 2, 44100, 100000, 0.5, 0, 0.6, 0, 0, FailureKind::ENDS_EARLY},
      {"cut inside the headers", SF_FORMAT_PCM_16, 1, 44100, 100000, 0.5, 0, 0, 60, 0, FailureKind::NONE},
      // The sound library says "lost sync" here; a stream cut short either way.
      {"cut inside the first block", SF_FORMAT_PCM_16, 1, 44100, 100000, 0.5, 0, 0, 100, 0, FailureKind::ENDS_EARLY},
      {"declares fewer frames", SF_FORMAT_PCM_16, 1, 44100, 100000, 0.5, 0, 0, 0, 54321, FailureKind::NONE},
      {"declares more frames", SF_FORMAT_PCM_16, 1, 44100, 100000, 0.5, 0, 0, 0, 900000, FailureKind::ENDS_EARLY},
      // Long enough for a helper thread to share the decoding.
      {"long 16-bit mono", SF_FORMAT_PCM_16, 1, 44100, 1500000, 0.5, 0, 0, 0, 0, FailureKind::NONE},
      {"long 24-bit stereo", SF_FORMAT_PCM_24, 2, 48000, 700001, 0.4, 0, 0, 0, 0, FailureKind::NONE},
      {"long, a byte flipped late", SF_FORMAT_PCM_16, 1, 44100, 1500000, 0.5, 0.8, 0, 0, 0, FailureKind::ENDS_EARLY},
      {"long, cut short", SF_FORMAT_PCM_16, 2, 44100, 700000, 0.5, 0, 0.7, 0, 0, FailureKind::ENDS_EARLY},
      {"long, declares fewer frames", SF_FORMAT_PCM_16, 1, 44100, 1500000, 0.5, 0, 0, 0, 1234567, FailureKind::NONE},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    ASSERT_TRUE(WriteFlac(clean, row.encoding, row.channels, row.rate,
                          Signal(row.frames, row.channels, row.level, row.channels)));
    Bytes bytes = ReadFile(clean);
    ASSERT_EQ(std::memcmp(bytes.data(), "fLaC", 4), 0);
    if (row.flipAt > 0) bytes[static_cast<std::size_t>(bytes.size() * row.flipAt)] ^= 0x5A;
    if (row.cutTo > 0) bytes.resize(static_cast<std::size_t>(bytes.size() * row.cutTo));
    if (row.cutBytes > 0) bytes.resize(row.cutBytes);
    if (row.declare > 0) {  // STREAMINFO's 36-bit count of frames, after 8 + 13 bytes
      bytes[21] = static_cast<std::uint8_t>((bytes[21] & 0xF0) | (row.declare >> 32));
      for (int i = 0; i < 4; ++i) bytes[22 + i] = static_cast<std::uint8_t>(row.declare >> (24 - 8 * i));
    }
    const std::string path = (dir / "test.flac").string();
    WriteFile(path, bytes);

    const std::vector<float> expected = LibraryRead(path, 0, SIZE_MAX);
    Failure error;
    const std::unique_ptr<CSampleSource> source = OpenSampleSource(path, error);
    if (row.cutBytes == 60) {  // headers the library refuses: refused here too
      EXPECT_FALSE(source);
      continue;
    }
    ASSERT_TRUE(source) << int(error.kind);
    EXPECT_EQ(source->Info().format, SF_FORMAT_FLAC | row.encoding);
    EXPECT_EQ(source->Info().encoding.empty(), false);
    EXPECT_TRUE(SameBits(SourceRead(*source, SIZE_MAX), expected));
    EXPECT_EQ(source->Error().kind, row.ends);
    EXPECT_EQ(source->Progress().done * row.channels, expected.size());
    // And with the decoding shared with a helper thread.
    const std::unique_ptr<CSampleSource> shared = OpenSampleSource(path, error);
    ASSERT_TRUE(shared);
    shared->AllowHelperThread();
    EXPECT_TRUE(SameBits(SourceRead(*shared, SIZE_MAX), expected));
    EXPECT_EQ(shared->Error().kind, row.ends);

    // Seeks: to the start, across a block's edge, into the middle, near the end.
    const std::uint64_t frames = expected.size() / row.channels;
    if (frames == 0) continue;
    for (std::uint64_t at : {std::uint64_t{0}, std::uint64_t{4095}, std::uint64_t{4097}, frames / 2, frames - 3}) {
      const std::unique_ptr<CSampleSource> seeker = OpenSampleSource(path, error);
      ASSERT_TRUE(seeker && seeker->Seek(at)) << at;
      EXPECT_TRUE(SameBits(SourceRead(*seeker, 10000), LibraryRead(path, at, 10000))) << at;
    }
  }
}

}  // namespace
