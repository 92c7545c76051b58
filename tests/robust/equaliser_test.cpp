// The equalising retry: a block no reader verifies through a tape path
// that smears or band-limits its edges comes back once its pilot (then
// its own first reading, or the verified block after it) teaches an
// equaliser; a block read plainly is not touched.
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "robust/equaliser.h"
#include "robust/robust_decoder.h"
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

std::vector<TapeBlock> Decode(const std::vector<float>& samples, double rate, bool equalise) {
  std::vector<TapeBlock> blocks;
  RobustOptions options;
  options.equalise = equalise;
  CRobustDecoder decoder(rate, [&](TapeBlock&& b) { blocks.push_back(std::move(b)); }, options);
  decoder.SetRereader([&samples](std::int64_t first, float* out, std::size_t max) {
    const std::size_t from = std::min(samples.size(), static_cast<std::size_t>(first));
    const std::size_t n = std::min(max, samples.size() - from);
    std::copy_n(samples.data() + from, n, out);
    return n;
  });
  for (std::size_t at = 0; at < samples.size(); at += 65536)
    decoder.Feed(samples.data() + at, std::min<std::size_t>(65536, samples.size() - at));
  decoder.Finish();
  return blocks;
}

// A tape path that smears or band-limits the edges, and the blocks (of a
// header, its data and a headerless block) that must come back exactly
// with the equaliser: not all of them do without it.
struct PathCase {
  const char* name;
  std::vector<double> allpassHz;
  double lowpassHz;
  double noise;
  std::uint32_t seed;
  std::vector<std::size_t> exact;
  int lowpassSections = 1;
};

TEST(Equaliser, SmearedAndBandLimitedBlocksComeBack) {
  const PathCase cases[] = {
      {"all-pass 800/2000/4000 Hz", {800.0, 2000.0, 4000.0}, 0.0, 0.0, 4, {0, 1, 2}},
      {"all-pass, noise 0.15", {800.0, 2000.0, 4000.0}, 0.0, 0.15, 2, {0, 1, 2}},
      {"all-pass 800 Hz twice, 2000, 4000", {800.0, 800.0, 2000.0, 4000.0}, 0.0, 0.0, 2, {0, 2}},
      {"low-pass 1000 Hz", {}, 1000.0, 0.0, 4, {0, 1, 2}},
      {"low-pass 600 Hz", {}, 600.0, 0.0, 3, {0, 1}},
      {"low-pass 1000 Hz, two sections", {}, 1000.0, 0.0, 4, {0, 1}, 2},
      // The data block fails through every fit of its own; the block after
      // it, once it verified, teaches one that reads it.
      {"low-pass 1000 Hz, two sections, taught by the next block", {}, 1000.0, 0.0, 1, {0, 1, 2}, 2},
  };
  for (const PathCase& c : cases) {
    const std::vector<TapeBytes> tape{RomHeader("alpha", 700), DataBlock(700, c.seed), DataBlock(300, c.seed + 10)};
    TapePath path;
    path.allpassHz = c.allpassHz;
    path.lowpassHz = c.lowpassHz;
    path.lowpassSections = c.lowpassSections;
    path.noise = c.noise;
    const std::vector<float> samples = RenderTape(tape, path, c.seed);
    const auto exact = [&](const std::vector<TapeBlock>& got, std::size_t i) {
      return std::any_of(got.begin(), got.end(), [&](const TapeBlock& b) { return b.bytes == tape[i]; });
    };
    const std::vector<TapeBlock> plain = Decode(samples, path.rate, false);
    EXPECT_FALSE(std::all_of(c.exact.begin(), c.exact.end(), [&](std::size_t i) { return exact(plain, i); })) << c.name;
    const std::vector<TapeBlock> got = Decode(samples, path.rate, true);
    for (std::size_t i : c.exact) EXPECT_TRUE(exact(got, i)) << c.name << ", block " << i;
    for (const TapeBlock& b : got) {
      const bool real = std::find(tape.begin(), tape.end(), b.bytes) != tape.end();
      EXPECT_TRUE(real || !ChecksumGood(b.bytes)) << c.name << ": " << b.bytes.size() << " bytes verify, wrong";
      if (real && b.origin == BlockOrigin::DECODED) continue;
      EXPECT_TRUE(!real || b.origin == BlockOrigin::RETRIED) << c.name << ": an equalised block reads as retried";
    }
  }
}

// A block whose readers all break off early -- through a steep low-pass
// (two sections at 1 kHz) a sync is found late, in the data, and runs of
// zero bits (a number's bytes in a BASIC line) are far weaker than the
// ones around them -- is read again through the equaliser to its
// announced end, not only as far as the readers had come.
TEST(Equaliser, AnAnnouncedBlockIsReadToItsEnd) {
  for (const std::uint32_t seed : {3u, 4u}) {
    TapeBytes data = DataBlock(450, seed);
    const std::uint8_t number[] = {0x0E, 0x00, 0x00, 0x01, 0x00, 0x00};
    for (std::size_t at = 40; at + sizeof number + 1 < data.size(); at += 37)
      std::copy(number, number + sizeof number, data.begin() + static_cast<std::ptrdiff_t>(at));
    data.back() = 0;
    for (std::size_t i = 0; i + 1 < data.size(); ++i) data.back() ^= data[i];
    const std::vector<TapeBytes> tape{RomHeader("alpha", 66), DataBlock(66, seed + 1), RomHeader("beta", 450), data};
    TapePath path;
    path.lowpassHz = 1000.0;
    path.lowpassSections = 2;
    path.wholeSamples = true;
    const std::vector<TapeBlock> got = Decode(RenderTape(tape, path, seed), path.rate, true);
    ASSERT_EQ(got.size(), tape.size()) << "seed " << seed;
    for (std::size_t i = 0; i < tape.size(); ++i) EXPECT_EQ(got[i].bytes, tape[i]) << "seed " << seed << ", block " << i;
  }
}

// A loader's block behind a pilot of the ROM's or its own, its bits
// shorter, through an all-pass chain after two ROM blocks that taught the
// equaliser: read by the crossings of the equalised signal at the bit
// lengths measured there, and kept with them. At 450/900 T what smear is
// left moves the crossing inside a bit past the split between the two
// lengths, and the last bit's second half runs on into the pause; a first
// reading may find the sync late, in the data.
TEST(Equaliser, ALoadersBlockIsReadAtItsOwnBits) {
  const struct {
    std::uint32_t seed;
    int dataBytes, turboBytes;
    double pilot;
    int pulses;
    double zero, one;
  } cases[] = {
      {2, 300, 1500, 2168.0, 3000, 540.0, 1080.0},
      {5, 300, 1500, 2168.0, 3000, 540.0, 1080.0},
      {1, 26, 200, 1500.0, 256, 450.0, 900.0},   // a bit's halves unlike
      {1, 300, 200, 1500.0, 256, 450.0, 900.0},  // the last bit
      {4, 300, 100, 1500.0, 256, 450.0, 900.0},  // the sync found late
  };
  for (const auto& k : cases) {
    LoaderBlock header, data, turbo;
    header.bytes = RomHeader("alpha", k.dataBytes);
    header.pilotPulses = 8063;
    data.bytes = DataBlock(k.dataBytes, k.seed);
    data.pilotPulses = 3223;
    turbo.bytes = DataBlock(k.turboBytes, k.seed + 1);
    turbo.pilot = k.pilot;
    turbo.pilotPulses = k.pulses;
    turbo.zero[0] = turbo.zero[1] = k.zero;
    turbo.one[0] = turbo.one[1] = k.one;
    TapePath path;
    path.allpassHz = {800.0, 2000.0, 4000.0};
    const std::vector<float> samples = RenderLoaderTape({header, data, turbo}, path, k.seed);
    for (const bool equalise : {false, true}) {
      SCOPED_TRACE(testing::Message() << "seed " << k.seed << ", bits " << k.zero << ", " << k.turboBytes
                                      << " bytes" << (equalise ? ", equalised" : ""));
      const std::vector<TapeBlock> got = Decode(samples, path.rate, equalise);
      const auto read = std::find_if(got.begin(), got.end(), [&](const TapeBlock& b) { return b.bytes == turbo.bytes; });
      ASSERT_EQ(read != got.end(), equalise);
      if (!equalise) continue;
      EXPECT_FALSE(read->romTiming);
      EXPECT_NEAR(read->timing.zero, k.zero, 0.08 * k.zero);
      EXPECT_NEAR(read->timing.one, k.one, 0.05 * k.one);
    }
  }
}

// A screen's block (runs of zero bytes and solid ink between arbitrary
// ones) through an all-pass chain, with hiss: the readers break off
// seconds in and measure its bits short, and the equaliser reads it whole
// though it outlasts the ring of sums the session waits in.
TEST(Equaliser, ALongBlockIsReadPastTheRing) {
  TapeBytes screen = DataBlock(7000, 5);
  std::uint32_t state = 3;
  for (std::size_t i = 1; i + 1 < screen.size(); ++i) {
    state = state * 1664525u + 1013904223u;
    const std::uint32_t r = (state >> 8) % 10;
    if (r < 4) screen[i] = 0x00;
    else if (r < 5) screen[i] = 0xFF;
  }
  screen.back() = 0;
  for (std::size_t i = 0; i + 1 < screen.size(); ++i) screen.back() ^= screen[i];
  const std::vector<TapeBytes> tape{RomHeader("screen", 7000), screen, RomHeader("code", 1000), DataBlock(1000, 6)};
  TapePath path;
  path.allpassHz = {800.0, 2000.0, 4000.0};
  path.noise = 0.15;
  const std::vector<TapeBlock> got = Decode(RenderTape(tape, path, 5), path.rate, true);
  ASSERT_EQ(got.size(), tape.size());
  for (std::size_t i = 0; i < tape.size(); ++i) EXPECT_TRUE(got[i].bytes == tape[i]) << "block " << i;
}

// A long block is read again as its samples come, each reading cut short
// where they end: one whose bytes verify by chance there (here the first
// 200 bytes xor to zero) is not the block its header announced.
TEST(Equaliser, AReadingCutShortIsNotTheAnnouncedBlock) {
  TapeBytes data = DataBlock(400, 7);
  const std::size_t cut = 200;
  data[cut - 1] = 0;
  for (std::size_t i = 0; i + 1 < cut; ++i) data[cut - 1] ^= data[i];
  data.back() = 0;
  for (std::size_t i = 0; i + 1 < data.size(); ++i) data.back() ^= data[i];
  TapePath path;
  const std::vector<float> samples = RenderTape({data}, path, 1);
  // T-states to samples; the tape starts with 0.3 s of silence and 3223
  // pilot pulses.
  const double toSamples = path.rate / 3500000.0, pilotFrom = 0.3 * 3500000.0;
  double at = pilotFrom + 3223 * 2168.0 + 667.0 + 735.0;
  for (std::size_t i = 0; i < cut; ++i)
    for (int bit = 7; bit >= 0; --bit) at += (data[i] >> bit) & 1 ? 3420.0 : 1710.0;
  robust::PilotStart session;
  session.period = 2168.0 * toSamples;
  session.firstEdge = pilotFrom * toSamples;
  session.lastEdge = (pilotFrom + 200 * 2168.0) * toSamples;
  session.announced = data.size();
  robust::CBlockEqualiser equaliser(path.rate, 131072);
  const auto read = [&samples](std::int64_t first, float* out, std::size_t max) {
    const std::size_t from = std::min(samples.size(), static_cast<std::size_t>(first));
    const std::size_t n = std::min(max, samples.size() - from);
    std::copy_n(samples.data() + from, n, out);
    return n;
  };
  // Half a byte into the bytes after the cut.
  const auto available = static_cast<std::int64_t>((at + 4 * 1710.0) * toSamples);
  EXPECT_FALSE(equaliser.Read(read, available, session, robust::Candidate(), robust::TrackerTuning()));
  EXPECT_TRUE(equaliser.RanOut());
  ASSERT_TRUE(equaliser.Read(read, static_cast<std::int64_t>(samples.size()), session, robust::Candidate(),
                             robust::TrackerTuning()));
  EXPECT_EQ(equaliser.Result().bytes, data);
}

// The fit itself: a square wave through a short smearing filter (and a
// delay of two samples) is mapped back onto the square wave.
TEST(Equaliser, FitUndoesAKnownFilter) {
  std::vector<float> target(4000), x(4000, 0.0f);
  for (std::size_t i = 0; i < target.size(); ++i) target[i] = (i / 11 + i / 37) % 2 ? 1.0f : -1.0f;
  const float h[] = {0.2f, 0.6f, 1.0f, -0.4f, 0.15f};
  for (std::size_t i = 4; i < x.size(); ++i)
    for (int k = 0; k < 5; ++k) x[i] += h[k] * target[i - static_cast<std::size_t>(k)];
  std::vector<float> taught = target;
  std::fill(taught.begin(), taught.begin() + 64, 0.0f);
  const robust::Equaliser eq = robust::FitEqualiser({{&x, &taught}}, 24, 1, 1e-6);
  ASSERT_EQ(eq.taps.size(), 49u);
  double err = 0.0;
  for (std::size_t i = 100; i < 3900; ++i) {
    double y = 0.0;
    for (int j = 0; j < 49; ++j) y += eq.taps[static_cast<std::size_t>(j)] * x[i - 24 + static_cast<std::size_t>(j)];
    err += (y - target[i]) * (y - target[i]);
  }
  EXPECT_LT(err / 3800.0, 0.01);
}

}  // namespace
}  // namespace tapedecoder
