// Merging takes of one tape end to end: the tape is rendered into several
// takes, each damaged its own way (dropouts, a block lost, a false block),
// offset and run at its own speed, written as WAV files, then merged.
#include "convert/merge_run.h"

#include <gtest/gtest.h>
#include <sndfile.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "robust/tape_synth.h"
#include "test_support.h"

namespace tapedecoder {
namespace {

using testing_support::DataBlock;
using testing_support::RomHeader;
using testing_support::ScratchDir;
using testing_support::TapeBytes;

constexpr double RATE = 44100.0;
constexpr double LEAD_SECONDS = 0.3;   // silence before the first block
constexpr double PAUSE_SECONDS = 1.0;  // and after each block
// Pilot pulses: fewer than the ROM writes, to keep the recordings short.
constexpr int HEADER_PILOT = 2400;
constexpr int DATA_PILOT = 1200;

std::vector<TapeBytes> Tape() {
  return {RomHeader("takes", 500), DataBlock(500, 21), RomHeader("more", 240), DataBlock(240, 22),
          DataBlock(320, 23)};
}

// T-states of the block's pilot and sync, and of its first `bytes` bytes.
int PilotPulses(const TapeBytes& b) { return b[0] < 128 ? HEADER_PILOT : DATA_PILOT; }
double PilotTstates(const TapeBytes& b) { return PilotPulses(b) * 2168.0 + 667 + 735; }
double BytesTstates(const TapeBytes& b, std::size_t bytes) {
  double t = 0.0;
  for (std::size_t i = 0; i < bytes && i < b.size(); ++i) {
    for (int bit = 7; bit >= 0; --bit) t += (b[i] >> bit & 1) ? 2 * 1710.0 : 2 * 855.0;
  }
  return t;
}

// Seconds on the tape (nominal speed) from the start to byte `byte` of block
// `block`; byte -1 is the block's first pilot edge.
double TapeSeconds(const std::vector<TapeBytes>& tape, std::size_t block, int byte) {
  double t = LEAD_SECONDS;
  for (std::size_t k = 0; k < block; ++k) {
    t += (PilotTstates(tape[k]) + BytesTstates(tape[k], tape[k].size())) / TSTATES_PER_SECOND + PAUSE_SECONDS;
  }
  if (byte < 0) return t;
  return t + (PilotTstates(tape[block]) + BytesTstates(tape[block], static_cast<std::size_t>(byte))) /
                 TSTATES_PER_SECOND;
}

// A stretch of one block where the signal drops to `gain`.
struct Dropout {
  std::size_t block;
  int fromByte;    // -1: from the first pilot edge
  double bytes;    // how many bytes' time (nominal bytes of the block)
  double gain = 0.0;
};

struct Take {
  double leadSeconds = 0.0;  // extra silence before the tape
  double speed = 1.0;
  double highpassHz = 0.0;
  std::vector<Dropout> dropouts;
  // A short pilot and a few bytes in the pause after this block (-2: just
  // before the first block; -1: none).
  int falseBlockAfter = -1;
  std::uint32_t seed = 1;
};

// A false start: a short pilot, a sync and three bytes that do not verify.
void SpliceFalseBlock(std::vector<float>& samples, double at, double speed) {
  std::vector<double> pulses(200, 2168.0);
  pulses.push_back(667);
  pulses.push_back(735);
  for (std::uint8_t b : {0x5Au, 0x13u, 0x77u}) {
    for (int bit = 7; bit >= 0; --bit) {
      double t = (b >> bit & 1) ? 1710.0 : 855.0;
      pulses.push_back(t);
      pulses.push_back(t);
    }
  }
  double t = at;
  float level = 0.5f;
  for (double p : pulses) {
    double end = t + p / TSTATES_PER_SECOND / speed;
    for (auto k = static_cast<std::size_t>(t * RATE); k < static_cast<std::size_t>(end * RATE) && k < samples.size(); ++k) {
      samples[k] = level;
    }
    level = -level;
    t = end;
  }
}

// The tape as a square wave at RATE, each sample the mean level over its
// interval, through a first-order high-pass when asked.
std::vector<float> Render(const std::vector<TapeBytes>& tape, double speed, double highpassHz) {
  std::vector<std::pair<double, int>> pulses;  // T-states, level (0 = silence)
  int level = 1;
  auto pulse = [&](double t) {
    pulses.emplace_back(t, level);
    level = -level;
  };
  pulses.emplace_back(LEAD_SECONDS * TSTATES_PER_SECOND, 0);
  for (const TapeBytes& b : tape) {
    for (int i = 0; i < PilotPulses(b); ++i) pulse(2168);
    pulse(667);
    pulse(735);
    for (std::uint8_t v : b) {
      for (int bit = 7; bit >= 0; --bit) {
        double t = (v >> bit & 1) ? 1710 : 855;
        pulse(t);
        pulse(t);
      }
    }
    pulses.emplace_back(PAUSE_SECONDS * TSTATES_PER_SECOND, 0);
  }
  double total = 0.0;
  for (const auto& p : pulses) total += p.first;
  std::vector<double> x(static_cast<std::size_t>(total / TSTATES_PER_SECOND / speed * RATE) + 2, 0.0);
  double t = 0.0;
  for (const auto& [length, lv] : pulses) {
    double a = t / TSTATES_PER_SECOND / speed * RATE;
    t += length;
    double b = t / TSTATES_PER_SECOND / speed * RATE;
    if (lv == 0) continue;
    for (auto k = static_cast<std::size_t>(a); static_cast<double>(k) < b; ++k) {
      double from = std::max(a, static_cast<double>(k));
      double to = std::min(b, static_cast<double>(k + 1));
      x[k] += lv * (to - from);
    }
  }
  std::vector<float> out(x.size());
  const double rc = highpassHz > 0.0 ? 1.0 / (2.0 * 3.14159265358979 * highpassHz) : 0.0;
  const double alpha = rc / (rc + 1.0 / RATE);
  double prevX = 0.0;
  double prevY = 0.0;
  for (std::size_t k = 0; k < x.size(); ++k) {
    double y = x[k];
    if (highpassHz > 0.0) {
      y = alpha * (prevY + x[k] - prevX);
      prevX = x[k];
      prevY = y;
    }
    out[k] = static_cast<float>(0.5 * y);
  }
  return out;
}

std::string WriteTake(const ScratchDir& dir, const std::vector<TapeBytes>& tape, const Take& take, int index) {
  std::vector<float> samples = Render(tape, take.speed, take.highpassHz);
  for (const Dropout& d : take.dropouts) {
    double from = TapeSeconds(tape, d.block, d.fromByte) / take.speed;
    double bytes = BytesTstates(tape[d.block], static_cast<std::size_t>(std::max(d.fromByte, 0)) +
                                                   static_cast<std::size_t>(std::ceil(d.bytes))) -
                   BytesTstates(tape[d.block], static_cast<std::size_t>(std::max(d.fromByte, 0)));
    double seconds = d.fromByte < 0 ? (PilotTstates(tape[d.block]) + BytesTstates(tape[d.block], tape[d.block].size())) /
                                          TSTATES_PER_SECOND
                                    : bytes * (d.bytes / std::ceil(d.bytes)) / TSTATES_PER_SECOND;
    auto a = static_cast<std::size_t>(from * RATE);
    auto b = std::min(samples.size(), static_cast<std::size_t>((from + seconds / take.speed) * RATE));
    for (std::size_t k = a; k < b; ++k) samples[k] *= static_cast<float>(d.gain);
  }
  if (take.falseBlockAfter == -2) SpliceFalseBlock(samples, 0.01, take.speed);
  if (take.falseBlockAfter >= 0) {
    auto next = static_cast<std::size_t>(take.falseBlockAfter) + 1;
    SpliceFalseBlock(samples, (TapeSeconds(tape, next, -1) - 0.6 * PAUSE_SECONDS) / take.speed, take.speed);
  }
  // Leading silence, and a little hiss everywhere.
  samples.insert(samples.begin(), static_cast<std::size_t>(take.leadSeconds * RATE), 0.0f);
  std::uint32_t state = take.seed * 2654435761u + 1;
  for (float& v : samples) {
    state = state * 1664525u + 1013904223u;
    v += 0.01f * (static_cast<float>(state >> 8) / 16777216.0f - 0.5f);
  }
  std::string name = (dir / ("take" + std::to_string(index) + ".wav")).string();
  SF_INFO info{};
  info.samplerate = static_cast<int>(RATE);
  info.channels = 1;
  info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
  SNDFILE* file = sf_open(name.c_str(), SFM_WRITE, &info);
  if (file) {
    sf_write_float(file, samples.data(), static_cast<sf_count_t>(samples.size()));
    sf_close(file);
  }
  return name;
}

testing_support::Bytes TapImage(const std::vector<TapeBytes>& tape) {
  testing_support::Bytes out;
  for (const TapeBytes& b : tape) {
    testing_support::PutLe16(out, static_cast<std::uint16_t>(b.size()));
    out.insert(out.end(), b.begin(), b.end());
  }
  return out;
}

struct Case {
  const char* name;
  std::vector<Take> takes;
  std::vector<int> badBlocks;  // 1-based blocks the merge must report bad; the rest exact
  int voted;                   // blocks that must be voted
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

class MergeRun : public ::testing::TestWithParam<Case> {};

TEST_P(MergeRun, TakesMergeIntoTheTapeAndBadBlocksAreNamed) {
  const Case& c = GetParam();
  const std::vector<TapeBytes> tape = Tape();
  ScratchDir dir;
  std::vector<std::string> files;
  for (std::size_t i = 0; i < c.takes.size(); ++i) files.push_back(WriteTake(dir, tape, c.takes[i], static_cast<int>(i)));

  const std::string title = (dir / "merged").string();
  MergeReport report = RunMergeConversion(files, title, {});
  ASSERT_TRUE(report.Written());
  int voted = 0;
  for (const MergedBlockSummary& b : report.blocks) {
    bool expectBad = std::find(c.badBlocks.begin(), c.badBlocks.end(), b.number) != c.badBlocks.end();
    EXPECT_EQ(b.good, !expectBad) << "block " << b.number;
    ASSERT_EQ(b.takeStarts.size(), c.takes.size());
    voted += b.voted;
    if (!b.voted) {
      EXPECT_GE(b.take, 0);
    }
  }
  EXPECT_EQ(voted, c.voted);
  testing_support::Bytes image = testing_support::ReadFile(title + ".tap");
  if (c.badBlocks.empty()) {
    EXPECT_EQ(image, TapImage(tape));
  } else {
    EXPECT_EQ(report.badBlocks, static_cast<int>(c.badBlocks.size()));
    for (int bad : c.badBlocks) {
      // Still located in every take.
      for (const auto& start : report.blocks[static_cast<std::size_t>(bad - 1)].takeStarts) EXPECT_TRUE(start.has_value());
    }
  }
}

Take T(double lead, double speed, std::vector<Dropout> d, std::uint32_t seed, int falseAfter = -1,
       double highpassHz = 0.0) {
  Take t;
  t.highpassHz = highpassHz;
  t.leadSeconds = lead;
  t.speed = speed;
  t.dropouts = std::move(d);
  t.seed = seed;
  t.falseBlockAfter = falseAfter;
  return t;
}

INSTANTIATE_TEST_SUITE_P(
    Takes, MergeRun,
    ::testing::Values(
        Case{"DropoutOverADifferentBlockInEachTake",
             {T(0.2, 1.0, {{1, 100, 40}}, 1), T(1.3, 1.012, {{3, 60, 40}}, 2, -1, 500), T(0.7, 0.99, {{4, 10, 60}}, 3)},
             {}, 0},
        Case{"FalseBlockInOneTakeAndABlockMissingInAnother",
             {T(0.5, 1.0, {}, 4, 1), T(0.1, 1.01, {{3, -1, 0}}, 5, -1, 800), T(0.9, 0.992, {}, 6)},
             {}, 0},
        Case{"FalseStartBeforeTheFirstBlock",
             {T(0.2, 1.0, {}, 18), T(1.0, 1.01, {}, 19, -2), T(0.5, 0.992, {{1, 20, 30}}, 20)},
             {}, 0},
        // Dropouts this short are mended within each take: no vote is needed.
        Case{"SameBlockDamagedAtDifferentBytesInEachTake",
             {T(0.2, 1.0, {{1, 50, 0.6}}, 7), T(0.6, 1.008, {{1, 210, 0.6}}, 8, -1, 500), T(1.1, 0.994, {{1, 400, 0.6}}, 9)},
             {}, 0},
        Case{"LongDropoutsInOneBlockAtDifferentBytes",
             {T(0.2, 1.0, {{1, 50, 6}}, 15), T(0.6, 1.008, {{1, 210, 6}}, 16, -1, 700), T(1.1, 0.994, {{1, 400, 6}}, 17)},
             {}, 1},
        Case{"TwoTakesDamagedAtDifferentBytes",
             {T(0.2, 1.0, {{3, 30, 0.6}}, 10), T(0.6, 1.006, {{3, 150, 0.6}}, 11)},
             {}, 0},
        Case{"SameBytesDamagedInEveryTake",
             {T(0.2, 1.0, {{1, 120, 2}}, 12), T(0.6, 1.008, {{1, 120, 2}}, 13), T(1.1, 0.994, {{1, 120, 2}}, 14)},
             {2}, 0}),
    [](const ::testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

TEST(MergeRunFailures, ATakeThatCannotBeOpenedFailsTheRunByName) {
  ScratchDir dir;
  const std::string good = WriteTake(dir, {RomHeader("one", 10)}, Take{}, 0);
  const std::string title = (dir / "merged").string();
  struct Row {
    std::vector<std::string> takes;
    FailureKind failure;
    int failedTake;
  };
  const std::vector<Row> failures = {
      {{good, (dir / "missing.wav").string()}, FailureKind::CANNOT_OPEN, 1},
      {{}, FailureKind::NO_TAKES, -1},
      {{good, title + ".tap"}, FailureKind::OUTPUT_IS_INPUT, -1},
  };
  for (const Row& f : failures) {
    if (f.failure == FailureKind::OUTPUT_IS_INPUT) testing_support::WriteFile(title + ".tap", {1, 2, 3});
    MergeReport report = RunMergeConversion(f.takes, title, {});
    EXPECT_EQ(report.failure.kind, f.failure);
    EXPECT_EQ(report.failedTake, f.failedTake);
    EXPECT_TRUE(report.outputs.empty());
    EXPECT_FALSE(std::filesystem::exists(title + ".txt"));
  }
  EXPECT_EQ(testing_support::ReadFile(title + ".tap"), (testing_support::Bytes{1, 2, 3}));
}

}  // namespace
}  // namespace tapedecoder
