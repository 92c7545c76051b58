// The robust decoder on synthesised cassette recordings: one table of tapes
// and what the tape path did to them, each stating which blocks must come
// back exactly.
#include "robust/robust_decoder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <string>
#include <vector>

#include "robust/tape_synth.h"

namespace tapedecoder {
namespace {

using testing_support::DataBlock;
using testing_support::RenderTape;
using testing_support::RomHeader;
using testing_support::TapeBytes;
using testing_support::TapePath;

// With `reread`, the edge reader and the retry box trackers read a block
// again from `samples` only where the first box tracker fails it.
std::vector<TapeBlock> Decode(const std::vector<float>& samples, double rate,
                              const RobustOptions& options = {}, bool reread = false) {
  std::vector<TapeBlock> blocks;
  CRobustDecoder decoder(rate, [&](TapeBlock&& b) { blocks.push_back(std::move(b)); }, options);
  if (reread)
    decoder.SetRereader([&samples](std::int64_t first, float* out, std::size_t max) {
      const std::size_t from = std::min(samples.size(), static_cast<std::size_t>(first));
      const std::size_t n = std::min(max, samples.size() - from);
      std::copy_n(samples.data() + from, n, out);
      return n;
    });
  // Uneven chunks: block boundaries must not depend on how samples arrive.
  // Re-reading, chunks as large as a file's reader gives: a re-read stops
  // where the samples pushed so far end, not where the call's do.
  std::size_t at = 0;
  std::size_t chunk = reread ? 65536 : 1000;
  while (at < samples.size()) {
    std::size_t n = std::min(chunk, samples.size() - at);
    decoder.Feed(samples.data() + at, n);
    at += n;
    if (!reread) chunk = chunk * 7 % 5003 + 1;
  }
  decoder.Finish();
  return blocks;
}

std::vector<TapeBytes> TapeA() { return {RomHeader("alpha", 300), DataBlock(300, 1)}; }
std::vector<TapeBytes> TapeLong() { return {RomHeader("long", 24000), DataBlock(24000, 4)}; }
std::vector<TapeBytes> TapeB() { return {RomHeader("beta", 700), DataBlock(700, 2), DataBlock(40, 3)}; }
std::vector<TapeBytes> TapeC() { return {RomHeader("x", 500), DataBlock(500, 500), RomHeader("y", 257), DataBlock(257, 3)}; }

struct Case {
  const char* name;
  std::vector<TapeBytes> (*tape)();
  TapePath path;
  std::vector<int> exact;  // blocks that must come back exactly; empty = all
  // The last block runs straight on into another loader's bits, whose
  // zeros have pulses this long (T-states; ones twice that); 0 = none.
  double trailer = 0.0;
  bool edgeReaderOnly = false;  // read with the trigger's edges alone
};

// 2500 bits of another loader straight after the last ROM block.
std::vector<double> Trailer(double zero) {
  std::vector<double> pulses;
  std::uint32_t x = 12345;
  while (pulses.size() < 5000) {
    x = x * 1103515245u + 12345u;
    double t = (x >> 16) & 1 ? 2 * zero : zero;
    pulses.push_back(t);
    pulses.push_back(t);
  }
  return pulses;
}

void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

TapePath Path(void (*edit)(TapePath&)) {
  TapePath p;
  edit(p);
  return p;
}

const std::vector<Case>& Cases() {
  static const std::vector<Case> cases = {
      {"Clean", TapeA, Path([](TapePath&) {}), {}},
      {"HighPass500", TapeA, Path([](TapePath& p) { p.highpassHz = 500; }), {}},
      {"HighPass1000Noisy", TapeB, Path([](TapePath& p) { p.highpassHz = 1000; p.noise = 0.1; }), {}},
      {"HighPass2000", TapeA, Path([](TapePath& p) { p.highpassHz = 2000; }), {}},
      {"LowPass3000", TapeB, Path([](TapePath& p) { p.lowpassHz = 3000; }), {}},
      {"LowPass1200", TapeB, Path([](TapePath& p) { p.lowpassHz = 1200; }), {}},
      {"LowPass1500", TapeA, Path([](TapePath& p) { p.lowpassHz = 1500; }), {}},
      {"NoiseModerate", TapeA, Path([](TapePath& p) { p.noise = 0.3; }), {}},
      {"NoiseHeavy", TapeB, Path([](TapePath& p) { p.noise = 0.5; }), {}},
      {"HighPass1000NoiseHeavy", TapeB, Path([](TapePath& p) { p.highpassHz = 1000; p.noise = 0.3; }), {}},
      {"Dropouts", TapeB, Path([](TapePath& p) { p.dropEvery = 0.4; p.dropSeconds = 0.004; p.dropGain = 0.1; }), {}},
      {"JitterWowDrift", TapeB, Path([](TapePath& p) {
         p.jitter = 8e-6; p.wowDepth = 0.01; p.wowHz = 4; p.drift = 0.002; p.speed = 1.02; }), {}},
      {"Flutter", TapeA, Path([](TapePath& p) { p.wowDepth = 0.03; p.wowHz = 15; }), {}},
      {"HalfSpeed", TapeA, Path([](TapePath& p) { p.speed = 0.5; }), {}},
      {"DoubleSpeed", TapeA, Path([](TapePath& p) { p.speed = 2.0; p.highpassHz = 800; }), {}},
      {"UnequalHalfWaves", TapeB, Path([](TapePath& p) { p.asymmetry = 100e-6; }), {}},
      {"UnequalHalfWavesLow", TapeA, Path([](TapePath& p) { p.asymmetry = -100e-6; p.lowpassHz = 4000; }), {}},
      {"DcOffsetQuiet", TapeA, Path([](TapePath& p) { p.dc = 0.3; p.gain = 0.02; p.noise = 0.05; }), {}},
      {"Clipped", TapeB, Path([](TapePath& p) { p.highpassHz = 700; p.gain = 3.0; p.clip = 1.0; }), {}},
      {"Quiet30dB", TapeA, Path([](TapePath& p) { p.gain = 0.0158; p.noise = 0.1; p.highpassHz = 1000; }), {}},
      {"Rate48kInverted", TapeB, Path([](TapePath& p) { p.rate = 48000; p.invert = true; p.highpassHz = 600; }), {}},
      {"Rate96k8Bit", TapeA, Path([](TapePath& p) { p.rate = 96000; p.noise = 0.02; p.pauseSeconds = 0.0; }), {}},
      {"Rate192k", TapeA, Path([](TapePath& p) { p.rate = 192000; p.lowpassHz = 6000; }), {}},
      {"Mp3RoundTrip", TapeA, Path([](TapePath& p) { p.soxCodec = "mp3"; p.highpassHz = 500; }), {}},
      // MP3 at 32 kbit/s smears the sync: data edges after it reach the
      // pilot's grid (the pilot must explain them better than data does),
      // and the pilot's last edge moves early (the grid dates it).
      {"Mp3At32kNoisy", TapeB, Path([](TapePath& p) {
         p.soxCodec = "mp3"; p.soxOptions = "-C 32"; p.highpassHz = 300; p.noise = 0.05; }), {}},
      {"Mp3At32kLastPilotEdgeEarly", TapeC, Path([](TapePath& p) {
         p.soxCodec = "mp3"; p.soxOptions = "-C 32"; p.highpassHz = 300; }), {}},
      {"LongBlockHighPassNoisy", TapeLong, Path([](TapePath& p) { p.highpassHz = 1000; p.noise = 0.15; }), {}},
      {"RomLoaderIntoTurboData", TapeA, Path([](TapePath& p) { p.pauseSeconds = 0.0; p.highpassHz = 800; }), {}, 500},
      // Bits at the ROM's own timing go on past the block: only the
      // header's announced length ends it.
      {"RomLoaderIntoRomTimedData", TapeA, Path([](TapePath& p) { p.pauseSeconds = 0.0; p.lowpassHz = 3000; }), {}, 855},
      {"EdgeReaderAloneDoubleSpeed40k", TapeB, Path([](TapePath& p) {
         p.rate = 40000; p.speed = 2.0; p.jitter = 5e-6; p.asymmetry = 40e-6; }), {}, 0, true},
      // Edges 20 us astray and half-waves 120 us apart: a half-wave alone
      // leaves half the margin of a whole period, and not enough.
      {"EdgeReaderAloneJitterUnequalHalves", TapeB, Path([](TapePath& p) {
         p.asymmetry = 60e-6; p.jitter = 20e-6; }), {}, 0, true},
      // Noise at 0.4-0.6 of the wave makes sync-like pairs inside the pilot
      // a few pulses before the sync: a sync counts only where the pilot
      // stops right after it.
      {"NoiseVeryHeavy", TapeB, Path([](TapePath& p) { p.noise = 0.6; }), {}},
      {"HighPass1000NoiseVeryHeavy", TapeB, Path([](TapePath& p) { p.highpassHz = 1000; p.noise = 0.4; }), {}},
      {"HeaderStraightIntoData", TapeB, Path([](TapePath& p) { p.pauseSeconds = 0.0; p.lowpassHz = 4000; }), {}},
  };
  return cases;
}

class RobustTapes : public ::testing::TestWithParam<Case> {};

// Every required block comes back exactly, in order; and nothing that
// verifies is anything but a block of the tape.
void ExpectBlocks(const std::vector<TapeBytes>& tape, const std::vector<TapeBlock>& got,
                  const std::vector<int>& exact) {
  std::vector<int> required = exact;
  if (required.empty()) {
    for (std::size_t i = 0; i < tape.size(); ++i) required.push_back(static_cast<int>(i));
  }
  std::size_t from = 0;
  for (int index : required) {
    bool found = false;
    for (std::size_t k = from; k < got.size() && !found; ++k) {
      if (got[k].bytes == tape[index] && got[k].usedBits == 8) {
        found = true;
        from = k + 1;
      }
    }
    EXPECT_TRUE(found) << "block " << index << " (" << tape[index].size() << " bytes) not exact";
  }
  for (const TapeBlock& b : got) {
    if (!ChecksumGood(b.bytes)) continue;
    bool real = false;
    for (const TapeBytes& t : tape) real = real || t == b.bytes;
    EXPECT_TRUE(real) << "a verifying block of " << b.bytes.size() << " bytes is not on the tape";
  }
}

TEST_P(RobustTapes, RequiredBlocksComeBackExactly) {
  const Case& c = GetParam();
  std::vector<TapeBytes> tape = c.tape();
  std::vector<float> samples =
      RenderTape(tape, c.path, 7, c.trailer > 0.0 ? Trailer(c.trailer) : std::vector<double>{});
  if (samples.empty()) GTEST_SKIP() << "sox could not make the recording";
  RobustOptions options;
  options.boxReader = !c.edgeReaderOnly;
  std::vector<TapeBlock> got = Decode(samples, c.path.rate, options);
  ExpectBlocks(tape, got, c.exact);
  // Readers read again only where needed give the same blocks to the bit.
  std::vector<TapeBlock> reread = Decode(samples, c.path.rate, options, true);
  ASSERT_EQ(reread.size(), got.size());
  for (std::size_t i = 0; i < got.size(); ++i) {
    EXPECT_EQ(reread[i].bytes, got[i].bytes) << "block " << i;
    EXPECT_EQ(reread[i].origin, got[i].origin) << "block " << i;
    EXPECT_EQ(reread[i].endSeconds, got[i].endSeconds) << "block " << i;
    EXPECT_EQ(reread[i].bitConfidence, got[i].bitConfidence) << "block " << i;
    EXPECT_EQ(reread[i].bitSeconds, got[i].bitSeconds) << "block " << i;
  }
  if (std::getenv("ROBUST_TEST_VERBOSE")) {
    for (const TapeBlock& b : got) {
      std::printf("  %s %zu bytes %s origin %d start %.3f data %.3f end %.3f pilot %.0f zero %.0f pulses %d\n",
                  c.name, b.bytes.size(), ChecksumGood(b.bytes) ? "ok " : "BAD", static_cast<int>(b.origin),
                  b.startSeconds, b.dataSeconds, b.endSeconds, b.timing.pilot, b.timing.zero,
                  b.timing.pilotPulses);
    }
  }
}

// The same recording fed whole, in single samples and in uneven chunks
// gives the same blocks to the last bit and confidence.
TEST(RobustDecoder, OutputDoesNotDependOnHowSamplesArrive) {
  TapePath path;
  path.highpassHz = 1000;
  path.noise = 0.2;
  std::vector<float> samples = RenderTape(TapeA(), path, 3);
  std::vector<TapeBlock> chunked = Decode(samples, path.rate);
  std::vector<TapeBlock> single;
  CRobustDecoder decoder(path.rate, [&](TapeBlock&& b) { single.push_back(std::move(b)); });
  for (float s : samples) decoder.Feed(&s, 1);
  decoder.Finish();
  ASSERT_EQ(chunked.size(), single.size());
  ASSERT_FALSE(chunked.empty());
  for (std::size_t i = 0; i < chunked.size(); ++i) {
    EXPECT_EQ(chunked[i].bytes, single[i].bytes);
    EXPECT_EQ(chunked[i].bitConfidence, single[i].bitConfidence);
    EXPECT_EQ(chunked[i].bitSeconds, single[i].bitSeconds);
    EXPECT_EQ(chunked[i].endSeconds, single[i].endSeconds);
  }
}

// A high-pass of second order near the pilot's frequency overshoots every
// edge into a flank as strong as the edge: the first box tracker still
// finds each sync, not the data's flanks or the pilot's, and reads the
// blocks itself, so the other readers need not.
// On edges that fall on whole samples (as tools write them) the spike's
// trailing flank may be the stronger at the box's length where the reader
// first locks (seed 8), and a last bit's closing step into silence reads
// weak (seeds 3-8): both are read.
TEST(RobustDecoder, FirstReaderReadsAPilotOvershotByASecondOrderHighPass) {
  const struct {
    unsigned seed;
    bool wholeSamples;
    double noise;
  } cases[] = {{11, false, 0.02}, {3, true, 0.02}, {5, true, 0.02}, {7, true, 0.02}, {8, true, 0.045}, {8, true, 0.0}};
  for (const auto& c : cases) {
    TapePath path;
    path.highpassHz = 800;
    path.highpassSecondOrder = true;
    path.lowpassHz = 6000;
    path.noise = c.noise;
    path.wholeSamples = c.wholeSamples;
    const std::vector<TapeBytes> tape = TapeB();
    const std::vector<TapeBlock> got = Decode(RenderTape(tape, path, c.seed), path.rate);
    SCOPED_TRACE(c.seed);
    ExpectBlocks(tape, got, {});
    for (const TapeBlock& b : got) EXPECT_EQ(b.origin, BlockOrigin::DECODED) << b.bytes.size() << " bytes";
  }
}

// What a block reports of itself: times in order and where the tape put
// them, timings measured at the tape's speed, one confidence per bit.
TEST(RobustDecoder, BlocksReportTheirTimingAndPerBitConfidence) {
  TapePath path;
  path.speed = 1.25;
  std::vector<TapeBytes> tape = TapeA();
  std::vector<TapeBlock> got = Decode(RenderTape(tape, path, 5), path.rate);
  ASSERT_EQ(got.size(), 2u);
  for (const TapeBlock& b : got) {
    EXPECT_EQ(b.origin, BlockOrigin::DECODED);
    EXPECT_NEAR(b.timing.pilot, 2168 / 1.25, 5.0);
    EXPECT_NEAR(b.timing.zero, 855 / 1.25, 15.0);
    EXPECT_NEAR(b.timing.sync1 + b.timing.sync2, (667 + 735) / 1.25, 20.0);
    EXPECT_NEAR(b.timing.pilotPulses, b.bytes[0] == 0 ? 8063 : 3223, 40);
    EXPECT_LT(b.startSeconds, b.dataSeconds);
    EXPECT_LT(b.dataSeconds, b.endSeconds);
    ASSERT_EQ(b.bitConfidence.size(), b.bytes.size() * 8);
    ASSERT_EQ(b.bitSeconds.size(), b.bytes.size() * 8);
    EXPECT_DOUBLE_EQ(b.bitSeconds.front(), b.dataSeconds);
    // Clean bits are sure; the last one is followed by the pause, which
    // takes half its evidence away.
    EXPECT_GT(*std::min_element(b.bitConfidence.begin(), b.bitConfidence.end() - 1), 0.7f);
    EXPECT_GT(b.bitConfidence.back(), 0.3f);
  }
  // The tape starts with 0.3 s of silence and pauses a second between the
  // blocks, both played 1.25 times as fast.
  EXPECT_NEAR(got[0].startSeconds, 0.3 / 1.25, 0.002);
  EXPECT_NEAR(got[1].startSeconds - got[0].endSeconds, 1.0 / 1.25, 0.002);
}

// A block longer than a tape image can hold is cut there (here, at a
// lower limit), and the next block is still found.
TEST(RobustDecoder, BlocksEndAtTheLongestLength) {
  std::vector<TapeBytes> tape = TapeB();
  RobustOptions options;
  options.maxBlockBytes = 100;
  std::vector<TapeBlock> got = Decode(RenderTape(tape, TapePath{}, 7), 44100.0, options);
  ASSERT_EQ(got.size(), 3u);
  EXPECT_EQ(got[0].bytes, tape[0]);
  EXPECT_EQ(got[1].bytes, TapeBytes(tape[1].begin(), tape[1].begin() + 100));
  EXPECT_EQ(got[2].bytes, tape[2]);
}

// Every reader honours the reader options. A headerless block runs
// straight on into more ROM-timed bits, with a stretch of weak bits in
// them: for the box trackers a -20 dB dip they coast through, for the edge
// reader three bits no reader can decide (pulses halfway between a zero's
// and a one's). By default each reads on through them to the pause; asked
// to stop after two weak bits it ends there; no block grows beyond the
// longest length.
struct OptionCase {
  const char* name;
  bool box;
  void (*edit)(RobustOptions&);
  std::size_t minBytes;  // beyond the block's own
  std::size_t maxBytes;
};

TEST(RobustDecoder, EveryReaderHonoursTheReaderOptions) {
  const TapeBytes block = DataBlock(40, 5);
  const std::vector<double> more = Trailer(855);
  TapePath dip;
  dip.dropEvery = 2.7;
  dip.dropSeconds = 0.003;
  dip.dropGain = 0.1;
  std::vector<double> undecided(6, 1282.5);
  undecided.insert(undecided.end(), more.begin(), more.end());
  const std::vector<float> dipped = RenderTape({block}, dip, 11, more);
  const std::vector<float> weak = RenderTape({block}, TapePath{}, 11, undecided);
  const OptionCase cases[] = {
      {"box defaults", true, [](RobustOptions&) {}, 300, 400},
      {"box stopBits", true, [](RobustOptions& o) { o.stopBits = 2; }, 0, 40},
      {"box maxBlockBytes", true, [](RobustOptions& o) { o.maxBlockBytes = 30; }, 0, 0},
      {"edge defaults", false, [](RobustOptions&) {}, 300, 400},
      {"edge stopBits", false, [](RobustOptions& o) { o.stopBits = 2; }, 0, 1},
      {"edge maxBlockBytes", false, [](RobustOptions& o) { o.maxBlockBytes = 30; }, 0, 0},
  };
  for (const OptionCase& c : cases) {
    RobustOptions options;
    options.boxReader = c.box;
    options.pulseReader = !c.box;
    c.edit(options);
    std::vector<TapeBlock> got = Decode(c.box ? dipped : weak, 44100.0, options);
    ASSERT_FALSE(got.empty()) << c.name;
    const std::size_t length = std::min(options.maxBlockBytes, block.size());
    EXPECT_GE(got[0].bytes.size(), length + c.minBytes) << c.name;
    EXPECT_LE(got[0].bytes.size(), length + c.maxBytes) << c.name;
  }
}

// The edge reader dates each bit where the wave crosses zero between two
// samples, not at the sample after: at 40 kHz a sample is 25 us.
TEST(RobustDecoder, EdgeReaderDatesBitsBetweenSamples) {
  TapePath path;
  path.rate = 40000;
  std::vector<TapeBytes> tape = TapeA();
  RobustOptions options;
  options.boxReader = false;
  std::vector<TapeBlock> got = Decode(RenderTape(tape, path, 9), path.rate, options);
  ASSERT_FALSE(got.empty());
  ASSERT_EQ(got[0].bytes, tape[0]);
  // The header's first bit starts after 0.3 s of silence, the pilot and the sync.
  double t = 0.3 + (8063 * 2168.0 + 667 + 735) / TSTATES_PER_SECOND;
  double worst = 0.0;
  for (std::size_t i = 0; i < got[0].bitSeconds.size(); ++i) {
    worst = std::max(worst, std::fabs(got[0].bitSeconds[i] - t) * path.rate);
    t += ((tape[0][i / 8] >> (7 - i % 8)) & 1 ? 2 * 1710.0 : 2 * 855.0) / TSTATES_PER_SECOND;
  }
  EXPECT_LT(worst, 0.2) << "samples";
}

// A re-read that falls short (the file changed or failed) leaves that
// block's edge reader and retries unread: the blocks are those of the first
// box tracker alone, nothing half read, each delivered as soon as without
// the others.
TEST(RobustDecoder, AFailedRereadLeavesTheRetriesOut) {
  TapePath path;
  path.lowpassHz = 1200;  // the last block is read by a retry alone
  const std::vector<float> samples = RenderTape(TapeB(), path, 7);
  RobustOptions firstOnly;
  firstOnly.retryBoxFactors[0] = firstOnly.retryBoxFactors[1] = 0.0;
  firstOnly.pulseReader = false;
  const auto decode = [&](const RobustOptions& options, bool failingReread, std::size_t& beforeEnd) {
    std::vector<TapeBlock> blocks;
    CRobustDecoder decoder(path.rate, [&](TapeBlock&& b) { blocks.push_back(std::move(b)); }, options);
    if (failingReread) decoder.SetRereader([](std::int64_t, float*, std::size_t max) { return max / 2; });
    decoder.Feed(samples.data(), samples.size());
    beforeEnd = blocks.size();
    decoder.Finish();
    return blocks;
  };
  std::size_t expectedBeforeEnd = 0, gotBeforeEnd = 0;
  const std::vector<TapeBlock> expected = decode(firstOnly, false, expectedBeforeEnd);
  const std::vector<TapeBlock> got = decode(RobustOptions{}, true, gotBeforeEnd);
  ASSERT_FALSE(expected.empty());
  EXPECT_EQ(gotBeforeEnd, expectedBeforeEnd);
  ASSERT_EQ(got.size(), expected.size());
  for (std::size_t i = 0; i < got.size(); ++i) {
    EXPECT_EQ(got[i].bytes, expected[i].bytes) << "block " << i;
    EXPECT_EQ(got[i].bitSeconds, expected[i].bitSeconds) << "block " << i;
  }
}

INSTANTIATE_TEST_SUITE_P(Degradations, RobustTapes, ::testing::ValuesIn(Cases()),
                         [](const ::testing::TestParamInfo<Case>& info) { return info.param.name; });

}  // namespace
}  // namespace tapedecoder
