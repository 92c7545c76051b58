// Tapes saved by loaders in their own timings -- turbo blocks with short
// and long pilots, bits of any two lengths, unequal halves or three
// pulses, data with no pilot, clicking pilots, blocks straight on,
// polarity flipping inside a block, bits running on past a header's
// length -- converted with TZX
// output, clean and through a tape-like path: every block that verifies
// comes back in the .tap, no other block verifies, the TZX keeps each in
// its kind of record and lasts as long as the recording, and the TZX
// played again decodes the same.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "convert/robust_run.h"
#include "robust/tape_synth.h"
#include "tapefile/tzx_builder.h"
#include "test_support.h"

namespace {

using testing_support::Bytes;
using testing_support::LoaderBlock;
using testing_support::LsTape;
using testing_support::ReadFile;
using testing_support::RunCommand;
using testing_support::ScratchDir;
using testing_support::ShellQuote;
using testing_support::TapePath;
using namespace tapedecoder;

Bytes WithChecksum(Bytes bytes) {
  std::uint8_t x = 0;
  for (std::uint8_t b : bytes) x ^= b;
  bytes.push_back(x);
  return bytes;
}

LoaderBlock Rom(const Bytes& bytes) {
  LoaderBlock b;
  b.bytes = bytes;
  b.pilotPulses = bytes[0] < 128 ? 8063 : 3223;
  return b;
}

LoaderBlock Turbo(const Bytes& bytes, double pilot, int pulses, double sync1, double sync2,
                  double zero, double one) {
  LoaderBlock b;
  b.bytes = bytes;
  b.pilot = pilot;
  b.pilotPulses = pulses;
  b.sync1 = sync1;
  b.sync2 = sync2;
  b.zero[0] = b.zero[1] = zero;
  b.one[0] = b.one[1] = one;
  return b;
}

// A data block whose first `cut` bytes verify on their own (what a header
// announced) and which runs on to `length` bytes that verify as a whole.
Bytes RunningOn(int cut, int length) {
  Bytes first = testing_support::DataBlock(cut - 2, 7);
  Bytes rest = testing_support::DataBlock(length - cut - 2, 8);
  first.insert(first.end(), rest.begin(), rest.end() - 1);
  return WithChecksum(first);
}

// The .tap's blocks.
std::vector<Bytes> TapBlocks(const Bytes& tap) {
  std::vector<Bytes> blocks;
  for (std::size_t at = 0; at + 2 <= tap.size();) {
    const std::size_t length = tap[at] | (tap[at + 1] << 8);
    blocks.emplace_back(tap.begin() + static_cast<long>(at + 2),
                        tap.begin() + static_cast<long>(std::min(tap.size(), at + 2 + length)));
    at += 2 + length;
  }
  return blocks;
}

std::string Lengths(const std::vector<Bytes>& blocks) {
  std::string text = "{";
  for (const Bytes& b : blocks) {
    char head[32];
    std::snprintf(head, sizeof head, " %zu (%02x %02x ... %02x)", b.size(), b[0], b.size() > 1 ? b[1] : 0,
                  b.back());
    text += head;
  }
  return text + " }";
}

std::string Report(const RobustReport& report) {
  std::string text;
  for (const BlockSummary& b : report.blocks) {
    char line[200];
    std::snprintf(line, sizeof line, "  %.3f s %zu bytes %s%s %s pilot %.0f x %d bits %.0f/%.0f\n",
                  b.startSeconds, b.length, b.good ? "good" : "bad",
                  b.origin == BlockOrigin::MENDED ? " (mended)" : "", b.romTiming ? "ROM" : "other",
                  b.timing.pilot, b.timing.pilotPulses, b.timing.zero, b.timing.one);
    text += line;
  }
  return text;
}

struct LoaderCase {
  const char* name;
  double rate;
  std::vector<LoaderBlock> blocks;
  std::vector<int> tzxIds;  // the data records the TZX holds, in order
  bool degradedToo;         // also read through the tape-like path
  double lowpassHz = 0.0;   // that path's band limit (0: a fifth of the rate)
  double highpassHz = 200.0;
  double speed = 1.0;
};

std::vector<LoaderCase> Cases() {
  const Bytes header = testing_support::RomHeader("LOADER", 40);
  const Bytes loader = testing_support::DataBlock(40, 1);
  const Bytes game = testing_support::DataBlock(600, 2);
  const Bytes more = testing_support::DataBlock(300, 3);
  Bytes pilotless = testing_support::DataBlock(400, 4);
  pilotless[0] = 0x55;
  pilotless = WithChecksum(Bytes(pilotless.begin(), pilotless.end() - 1));

  LoaderBlock odd = Turbo(game, 1800, 1000, 500, 600, 0, 0);
  odd.zero[0] = 280, odd.zero[1] = 520, odd.one[0] = 560, odd.one[1] = 1040;
  LoaderBlock noPilot = Turbo(pilotless, 0, 0, 0, 0, 500, 1100);
  LoaderBlock threePulses = Turbo(game, 2168, 800, 667, 735, 0, 0);
  threePulses.bitPulses = 3;
  threePulses.zero[0] = threePulses.zero[1] = 350, threePulses.zero[2] = 700;
  threePulses.one[0] = threePulses.one[1] = 700, threePulses.one[2] = 350;
  LoaderBlock threeNoPilot = threePulses;
  threeNoPilot.bytes = more;
  threeNoPilot.pilotPulses = 0;
  LoaderBlock clicking = Turbo(game, 2168, 1620, 667, 735, 600, 1200);
  clicking.clickEvery = 50;
  clicking.click = 350;
  LoaderBlock first = Turbo(game, 1000, 800, 300, 400, 350, 700);
  first.pauseSeconds = 0.0;
  LoaderBlock lastBits = Turbo(more, 1500, 600, 400, 500, 450, 900);
  lastBits.usedBits = 3;
  const Bytes announcing = testing_support::RomHeader("GAME", 157);
  LoaderBlock flipping = Turbo(game, 1800, 1000, 500, 600, 400, 800);
  flipping.mergedBit = 1203;
  // A stepped pilot: 2168 T, then a step of 1800 T (rendered as one-bits
  // of 1800 T, the step's last "bit" the 600 T sync), then the data with
  // no pilot of its own, running straight into the next block's pilot.
  Bytes steps(40, 0xFF);
  steps.back() = 0xFE;
  LoaderBlock stepped = Turbo(steps, 2168, 1500, 1800, 1800, 600, 1800);
  stepped.pauseSeconds = 0.0;
  LoaderBlock afterSteps = Turbo(game, 0, 0, 0, 0, 500, 1200);
  afterSteps.pauseSeconds = 0.0;
  // A clicking pilot whose last click falls right before the sync, and one
  // whose last click falls five pulses before it.
  LoaderBlock clickBeforeSync = Turbo(game, 2168, 1600, 667, 735, 600, 1200);
  clickBeforeSync.clickEvery = 20;
  clickBeforeSync.click = 500;
  LoaderBlock clickNearSync = clickBeforeSync;
  clickNearSync.bytes = more;
  clickNearSync.pilotPulses = 1605;
  // A pilot broken by pairs of short clicks (rendered as blocks of 2168 T
  // one-bits after a "sync" of two clicks): the pilot going on past a
  // click is a tone, not a block of 0xFF bytes.
  std::vector<LoaderBlock> clickPairs;
  for (int k = 0; k < 6; ++k) {
    LoaderBlock c = Turbo(Bytes(5, 0xFF), 2168, k == 0 ? 64 : 1, 300, 300, 1084, 2168);
    c.pauseSeconds = 0.0;
    clickPairs.push_back(c);
  }
  clickPairs.push_back(Turbo(game, 2168, 1000, 667, 735, 600, 1200));
  // A pilot in steps 13 % and 15 % apart (rendered as one-bits of each
  // step's length), the last step the block's own.
  auto step = [](double length, int bytes) {
    LoaderBlock s = Turbo(Bytes(static_cast<std::size_t>(bytes), 0xFF), length, 2, length, length,
                          length / 2, length);
    s.pauseSeconds = 0.0;
    return s;
  };
  // Data whose bits go on faster with no pause and no pilot.
  LoaderBlock faster = Turbo(game, 2168, 1000, 667, 735, 560, 1120);
  faster.pauseSeconds = 0.0;
  // The same after a block in the ROM's ratios at 155 % (which a ROM
  // block reader follows on into the faster bits).
  LoaderBlock romRatios = Turbo(game, 1399, 1000, 430, 474, 552, 1104);
  romRatios.pauseSeconds = 0.0;

  // Data going on 17 % faster, which a tape path's noise brings near the
  // first data's lengths now and then.
  LoaderBlock slower = Turbo(game, 1800, 1000, 500, 560, 400, 800);
  slower.pauseSeconds = 0.0;
  // A header's block whose bits go straight on at a loader's lengths.
  LoaderBlock announced = Rom(testing_support::DataBlock(155, 9));
  announced.pauseSeconds = 0.0;

  // A first byte of zeros, whose short pulses a band limit blurs with the
  // syncs.
  Bytes zeroFlag(game);
  zeroFlag[0] = 0x00;
  zeroFlag = WithChecksum(Bytes(zeroFlag.begin(), zeroFlag.end() - 1));

  return {
      {"a sync of one pulse as long as a zero bit's", 44100, {Turbo(game, 2168, 1200, 570, 0, 570, 1140)},
       {0x14}, true},
      {"pilot 1000 T, syncs 140/160 that a 4 kHz band limit merges into its last pulse", 44100,
       {Turbo(game, 1000, 1000, 140, 160, 420, 840)}, {0x11}, true, 4000.0},
      {"pilot 620 T, its sync as short as the zero bits, bits 260/520", 44100,
       {Turbo(game, 620, 400, 200, 200, 260, 520)}, {0x11}, true},
      {"pilot 620 T, syncs 200/200 and a zero flag that a slow worn deck's 5.2 kHz band limit blurs, bits 260/520",
       44100, {Turbo(zeroFlag, 620, 400, 200, 200, 260, 520)}, {0x11}, true, 5200.0, 300.0, 0.96},
      {"a pilot of six pulses before the sync", 44100, {Turbo(game, 2000, 6, 600, 650, 550, 1100)}, {0x14},
       true},
      {"data going on 17 % faster", 44100, {slower, Turbo(more, 0, 0, 0, 0, 330, 660)}, {0x11, 0x14}, true},
      {"a header's block going on at other bit lengths", 44100,
       {Rom(announcing), announced, Turbo(more, 0, 0, 0, 0, 500, 1000)}, {0x10, 0x10, 0x14}, true},
      {"turbo 1800 T pilot, syncs 500/600, bits 400/800", 44100,
       {Rom(header), Rom(loader), Turbo(game, 1800, 3000, 500, 600, 400, 800)}, {0x10, 0x10, 0x11}, true},
      {"short pilots of 256 pulses at 363 T, bits 180/360, two blocks", 96000,
       {Turbo(game, 363, 256, 200, 300, 180, 360), Turbo(more, 363, 256, 200, 300, 180, 360)},
       {0x11, 0x11}, true},
      {"5000 T pilot, bits 1000/2500", 44100, {Turbo(more, 5000, 200, 1500, 1500, 1000, 2500)}, {0x11}, true},
      {"250 T pilot, bits 300/900 (three to one)", 96000, {Turbo(game, 250, 400, 120, 160, 300, 900)},
       {0x11}, true},
      {"bits with unequal halves", 44100, {odd}, {0x19}, true},
      {"bits of three pulses", 44100, {threePulses}, {0x19}, true},
      {"bits of three pulses with no pilot after a ROM block", 44100, {Rom(loader), threeNoPilot}, {0x10, 0x19},
       false},
      {"data with no pilot after a ROM block", 44100, {Rom(loader), noPilot}, {0x10, 0x14}, true},
      {"clicking pilot", 44100, {clicking}, {0x11}, true},
      {"a block straight on into the next one's pilot", 44100,
       {first, Turbo(more, 1000, 800, 300, 400, 350, 700)}, {0x11, 0x11}, true},
      {"3 bits of the last byte used", 44100, {lastBits}, {0x11}, false},
      {"the polarity flipping inside a block", 44100, {flipping}, {0x11}, true},
      {"bits running on past a header's length", 44100, {Rom(announcing), Rom(RunningOn(157, 700))},
       {0x10, 0x10}, true},
      {"a stepped pilot, its data straight into the next block", 44100,
       {stepped, afterSteps, Turbo(more, 2168, 800, 667, 735, 570, 1140)}, {0x11, 0x11}, true},
      {"clicks just before the sync", 44100, {clickBeforeSync, clickNearSync}, {0x11, 0x11}, true},
      {"a pilot broken by pairs of clicks", 44100, clickPairs, {0x11}, true},
      {"a pilot in steps", 44100,
       {step(2168, 61), step(1900, 19), step(1650, 19), Turbo(game, 1400, 100, 420, 480, 560, 1120)},
       {0x11}, true},
      {"data going on at other bit lengths", 44100, {faster, Turbo(more, 0, 0, 0, 0, 420, 840)},
       {0x11, 0x14}, true},
      {"data going on faster after a block in the ROM's ratios", 44100,
       {romRatios, Turbo(more, 0, 0, 0, 0, 420, 840)}, {0x11, 0x14}, false},
  };
}

struct Converted {
  RobustReport report;
  std::vector<Bytes> tap;
  std::vector<int> tzxIds;
  int records = 0;
  double tzxSeconds = 0.0;
};

Converted Convert(const std::string& recording, const std::string& title) {
  Converted out;
  RobustRunOptions options;
  options.formats.Add("tzx");  // beside the default .tap
  out.report = RunRobustConversion(recording, title, options);
  out.tap = TapBlocks(ReadFile(title + ".tap"));
  LsTape tape;
  if (!tape.Read(ReadFile(title + ".tzx"))) return out;
  for (libspectrum_tape_block* block : tape.Blocks()) {
    const int id = libspectrum_tape_block_type(block);
    ++out.records;
    if (id == 0x10 || id == 0x11 || id == 0x14 || id == 0x19) out.tzxIds.push_back(id);
  }
  out.tzxSeconds = testing_support::Play(tape).total / TSTATES_PER_SECOND;
  return out;
}

// The case's blocks that verify: what the .tap holds.
std::vector<Bytes> Verified(const LoaderCase& c) {
  std::vector<Bytes> verified;
  for (const LoaderBlock& b : c.blocks)
    if (b.usedBits == 8 && BlockVerifies(b.bytes)) verified.push_back(b.bytes);
  return verified;
}

void Check(const LoaderCase& c, const Converted& got, double recordingSeconds, bool exactRecords) {
  ASSERT_TRUE(got.report.Written());
  // Every block that verifies, and nothing else, in the .tap.
  const std::vector<Bytes> verified = Verified(c);
  EXPECT_TRUE(got.tap == verified) << Lengths(got.tap) << " against " << Lengths(verified) << "\n"
                                   << Report(got.report);
  int good = 0;
  for (const BlockSummary& block : got.report.blocks) good += block.good;
  EXPECT_EQ(good, static_cast<int>(verified.size()));
  // Each verified block with a pilot gives its pilot's length, within 5 %
  // (a clicking pilot's mean counts its clicks), on a clean recording.
  for (const LoaderBlock& b : c.blocks) {
    if (!exactRecords) break;
    for (const BlockSummary& block : got.report.blocks) {
      if (b.pilotPulses > 0 && block.timing.pilotPulses > 0 && block.good && !block.romTiming &&
          block.length == b.bytes.size()) {
        EXPECT_NEAR(block.timing.pilot, b.pilot, 0.05 * b.pilot) << b.bytes.size() << " bytes";
      }
    }
  }
  // A block that cannot verify is there as data of its length.
  for (const LoaderBlock& b : c.blocks) {
    if (b.usedBits == 8) continue;
    bool found = false;
    for (const BlockSummary& block : got.report.blocks) found = found || block.length == b.bytes.size();
    EXPECT_TRUE(found) << b.bytes.size() << " bytes";
  }
  if (exactRecords) {
    EXPECT_EQ(got.tzxIds, c.tzxIds);
  }
  // Hiss in the pauses is silence: a handful of records per block at most,
  // and two for each click of a clicking pilot (the tone before it, the
  // click), as a hand-made image has them, or for a sync of one pulse
  // (the pilot, the sync and the data each a record).
  int clicks = 0;
  for (const LoaderBlock& b : c.blocks)
    clicks += (b.clickEvery > 0 ? b.pilotPulses / b.clickEvery : 0) + (b.pilotPulses > 0 && b.sync2 <= 0.0);
  EXPECT_LE(got.records, 4 * static_cast<int>(c.blocks.size()) + 6 + 2 * clicks);
  EXPECT_NEAR(got.tzxSeconds, recordingSeconds, 0.01 * recordingSeconds);
}

TEST(LoaderTapes, EveryBlockComesBackInItsRecordCleanAndThroughATapePath) {
  ScratchDir dir;
  const bool tape2wav = RunCommand("command -v tape2wav >/dev/null") == 0;
  for (const LoaderCase& c : Cases()) {
    for (const bool degraded : {false, true}) {
      if (degraded && !c.degradedToo) continue;
      SCOPED_TRACE(std::string(c.name) + (degraded ? ", degraded" : ", clean"));
      TapePath path;
      path.rate = c.rate;
      if (degraded) {
        path.highpassHz = c.highpassHz;
        path.lowpassHz = c.lowpassHz > 0.0 ? c.lowpassHz : c.rate / 5.0;
        path.speed = c.speed;
        path.noise = 0.04;
        path.jitter = 2e-6;
        path.invert = true;
      }
      const std::vector<float> samples = RenderLoaderTape(c.blocks, path, 5);
      const std::string wav = (dir / "tape.wav").string();
      ASSERT_TRUE(testing_support::WriteWav(wav, samples, static_cast<int>(c.rate)));
      const Converted got = Convert(wav, (dir / "tape").string());
      Check(c, got, static_cast<double>(samples.size()) / c.rate, !degraded);
      if (degraded || !tape2wav) continue;
      // Our image played by another tool decodes to the same blocks.
      const std::string played = (dir / "played.wav").string();
      ASSERT_EQ(RunCommand("tape2wav -r " + std::to_string(static_cast<int>(c.rate)) + " " +
                           ShellQuote((dir / "tape.tzx").string()) + " " + ShellQuote(played)), 0);
      const Converted again = Convert(played, (dir / "again").string());
      EXPECT_TRUE(again.tap == got.tap) << Lengths(again.tap) << " against " << Lengths(got.tap);
      EXPECT_EQ(again.tzxIds, got.tzxIds);
    }
  }
}

// The default run writes the .tap alone: it keeps the loader's blocks
// that verify as the run with images does.
TEST(LoaderTapes, TheTapAloneKeepsEveryBlockThatVerifies) {
  ScratchDir dir;
  for (const LoaderCase& c : Cases()) {
    SCOPED_TRACE(c.name);
    TapePath path;
    path.rate = c.rate;
    const std::vector<float> samples = RenderLoaderTape(c.blocks, path, 5);
    const std::string wav = (dir / "tape.wav").string();
    ASSERT_TRUE(testing_support::WriteWav(wav, samples, static_cast<int>(c.rate)));
    const std::string title = (dir / "tape").string();
    ASSERT_TRUE(RunRobustConversion(wav, title, RobustRunOptions()).Written());
    const std::vector<Bytes> verified = Verified(c);
    const std::vector<Bytes> tap = TapBlocks(ReadFile(title + ".tap"));
    EXPECT_TRUE(tap == verified) << Lengths(tap) << " against " << Lengths(verified);
  }
}

// Pulses in a pattern of two three-pulse shapes taking turns (what a
// clicking tone gives) are no data: no block of such symbols, and none
// that verifies, clean or through a tape-like path.
TEST(LoaderTapes, AClickPatternInThreePulseShapesStaysPulses) {
  ScratchDir dir;
  LoaderBlock pattern = Turbo(Bytes(40, 0x55), 2168, 800, 667, 735, 0, 0);
  pattern.bitPulses = 3;
  pattern.zero[0] = pattern.zero[1] = 350, pattern.zero[2] = 700;
  pattern.one[0] = pattern.one[1] = 700, pattern.one[2] = 350;
  for (const bool degraded : {false, true}) {
    SCOPED_TRACE(degraded ? "degraded" : "clean");
    TapePath path;
    if (degraded) path.noise = 0.04, path.jitter = 2e-6, path.lowpassHz = 8820.0;
    const std::vector<float> samples = RenderLoaderTape({pattern}, path, 5);
    const std::string wav = (dir / "pattern.wav").string();
    ASSERT_TRUE(testing_support::WriteWav(wav, samples, static_cast<int>(path.rate)));
    const Converted got = Convert(wav, (dir / "pattern").string());
    for (const BlockSummary& block : got.report.blocks) {
      EXPECT_FALSE(block.good) << Report(got.report);
      EXPECT_NE(block.timing.symbolPulses, 3) << Report(got.report);
    }
  }
}

TEST(LoaderTapes, ToneAndClickPatternsReadAsBitsAreNoBlocks) {
  struct Pattern {
    const char* name;
    Bytes bytes;
    bool repeats;
  };
  const Pattern patterns[] = {
      {"one zero byte", {0x00}, true},
      {"nineteen zero bytes", Bytes(19, 0x00), true},
      {"a 3-byte click pattern", {0x24, 0x92, 0x49, 0x24, 0x92, 0x49, 0x24, 0x92, 0x49, 0x24}, true},
      {"a 3-bit click pattern, twice its 3 bytes", {0xDB, 0x6D, 0xB6, 0xDB, 0x6D, 0xB6}, true},
      {"a 5-bit pattern broken by its last byte", WithChecksum({0xE7, 0x39, 0xCE, 0x73, 0x9C}), false},
      {"a click pattern read on into the pilot after it", [] {
         Bytes b(20, 0xEE);
         b.insert(b.end(), 4, 0xFF);
         return b;
       }(), true},
      {"a ROM header", testing_support::RomHeader("GAME", 157), false},
      {"one zero byte of data", {0xFF, 0x00, 0xFF}, false},
      {"zeros with a flag and checksum", WithChecksum({0xFF, 0, 0, 0, 0, 0, 0, 0, 0}), false},
  };
  for (const Pattern& p : patterns) EXPECT_EQ(RepeatsOrTooShort(p.bytes), p.repeats) << p.name;
}

}  // namespace

namespace {

// A worn tape: a high-pass, a band limit, wow, and hiss loud enough that
// its spikes cross the trigger's band inside pulses. Every turbo block
// verifies as the ROM header before it does.
TEST(LoaderTapes, TurboBlocksVerifyThroughAWornTapePath) {
  struct WornCase {
    const char* name;
    double rate;
    LoaderBlock block;
  };
  const Bytes game = testing_support::DataBlock(600, 12);
  LoaderBlock unequal = Turbo(game, 1800, 1000, 500, 600, 0, 0);
  unequal.zero[0] = 330, unequal.zero[1] = 470, unequal.one[0] = 700, unequal.one[1] = 900;
  Bytes pilotless = testing_support::DataBlock(400, 14);
  pilotless[0] = 0x55;
  pilotless = WithChecksum(Bytes(pilotless.begin(), pilotless.end() - 1));
  const WornCase cases[] = {
      {"pilot 1800 T, bits 400/800", 44100, Turbo(game, 1800, 3000, 500, 600, 400, 800)},
      {"ROM pilot, bits 540/1080", 44100, Turbo(game, 2168, 3000, 667, 735, 540, 1080)},
      {"pilot 250 T, bits 300/900", 96000, Turbo(game, 250, 400, 120, 160, 300, 900)},
      {"pilot 5000 T, bits 1000/2500", 44100, Turbo(game, 5000, 300, 1500, 1500, 1000, 2500)},
      {"unequal halves", 44100, unequal},
      {"no pilot", 44100, Turbo(pilotless, 0, 0, 0, 0, 500, 1100)},
  };
  ScratchDir dir;
  for (const WornCase& c : cases) {
    SCOPED_TRACE(c.name);
    TapePath path;
    path.rate = c.rate;
    path.highpassHz = 700.0;
    path.lowpassHz = 10000.0;
    path.noise = 0.15;
    path.wowDepth = 0.01;
    path.wowHz = 4.0;
    const std::vector<LoaderBlock> blocks = {Rom(testing_support::RomHeader("LOADER", 40)), c.block};
    const std::vector<float> samples = RenderLoaderTape(blocks, path, 9);
    const std::string wav = (dir / "worn.wav").string();
    ASSERT_TRUE(testing_support::WriteWav(wav, samples, static_cast<int>(c.rate)));
    const Converted got = Convert(wav, (dir / "worn").string());
    const std::vector<Bytes> want = {blocks[0].bytes, c.block.bytes};
    EXPECT_TRUE(got.tap == want) << Lengths(got.tap) << "\n" << Report(got.report);
  }
}

// Hiss that breaks the segmenter's edges all through a turbo block (lost
// without the re-read): read again by the box trackers at its measured
// timing, the block verifies, in two takes of the hiss.
TEST(LoaderTapes, ATurboBlockLostInHissIsReadAgainAtItsTiming) {
  const Bytes game = testing_support::DataBlock(600, 12);
  const std::vector<LoaderBlock> blocks = {Rom(testing_support::RomHeader("LOADER", 40)),
                                           Turbo(game, 2168, 2000, 667, 735, 540, 1080)};
  ScratchDir dir;
  for (const unsigned seed : {3u, 21u}) {
    SCOPED_TRACE(seed);
    TapePath path;
    path.noise = 0.4;
    const std::vector<float> samples = RenderLoaderTape(blocks, path, seed);
    const std::string wav = (dir / "hiss.wav").string();
    ASSERT_TRUE(testing_support::WriteWav(wav, samples, 44100));
    const std::vector<Bytes> want = {blocks[0].bytes, game};
    const Converted got = Convert(wav, (dir / "hiss").string());
    EXPECT_TRUE(got.tap == want) << Lengths(got.tap) << "\n" << Report(got.report);
  }
}

// A dropout to silence inside a turbo block: read across by the box
// trackers at the block's timing and its bits restored from the checksum,
// the block's end in the pause after it fixing their count. The block
// verifies, reported as mended (a dropout shorter than the trackers'
// look back is read through as it is).
TEST(LoaderTapes, ADropoutInATurboBlockIsMendedFromTheChecksum) {
  const Bytes game = testing_support::DataBlock(600, 12);
  const std::vector<LoaderBlock> blocks = {Rom(testing_support::RomHeader("LOADER", 40)),
                                           Turbo(game, 2168, 2000, 667, 735, 540, 1080)};
  // The turbo block's data runs from about 7.9 s to 9.0 s.
  const struct {
    double at, seconds;
    bool mended;
  } cases[] = {{8.2, 0.0005, false}, {8.5, 0.001, true}, {8.8, 0.001, true}};
  ScratchDir dir;
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.seconds * 1000 << " ms at " << c.at << " s");
    TapePath path;
    path.dropFirst = c.at;
    path.dropSeconds = c.seconds;
    path.dropEvery = 100.0;
    path.dropGain = 0.0;
    path.noise = 0.02;
    const std::string wav = (dir / "dropout.wav").string();
    ASSERT_TRUE(testing_support::WriteWav(wav, RenderLoaderTape(blocks, path, 4), 44100));
    const Converted got = Convert(wav, (dir / "dropout").string());
    const std::vector<Bytes> want = {blocks[0].bytes, game};
    EXPECT_TRUE(got.tap == want) << Lengths(got.tap) << "\n" << Report(got.report);
    EXPECT_EQ(c.mended, std::any_of(got.report.blocks.begin(), got.report.blocks.end(), [](const BlockSummary& b) {
      return b.length == 602 && b.origin == BlockOrigin::MENDED && b.mendedGaps == 1;
    })) << Report(got.report);
  }
}

}  // namespace

// Excerpts of recordings through Ogg Vorbis round trips, where a reader
// stopped inside a block with bytes that verify by chance, once in 256:
// - quality 0: a 60-byte block at 143 % of the ROM's speed whose first
//   four bytes verify; the codec broke one reader's edges after them, the
//   others read on through the block (too damaged to verify: listed bad);
// - quality -1: a 5-byte block at 210 %, read whole by one reader and
//   as four other bytes, which verify too, by another.
TEST(LoaderTapes, AReadingThatStopsShortInsideABlockIsNoBlock) {
  const struct {
    const char* file;
    Bytes chance;  // the short reading
  } cases[] = {
      {"stopped_short.flac", {0xFF, 0x27, 0xCC, 0x14}},
      {"shorter_reading.flac", {0x05, 0x70, 0x88, 0xFD}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file);
    ScratchDir dir;
    const Converted got =
        Convert(std::string(TAPEDECODER_SOURCE_DIR) + "/tests/convert/recordings/" + c.file, (dir / "short").string());
    ASSERT_FALSE(got.report.failure) << Report(got.report);
    EXPECT_TRUE(std::find(got.tap.begin(), got.tap.end(), c.chance) == got.tap.end())
        << Lengths(got.tap) << "\n" << Report(got.report);
  }
}
