// Whole decodings with the jumping cursor and the sliding level must write
// exactly the files that step-by-step measurement and a fresh pass over
// every window write.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "audio/reference_level.h"
#include "convert/conversion_run.h"
#include "tape/block_decoder.h"
#include "tape/edge_timer.h"
#include "tape/pulse_train.h"
#include "test_support.h"

using namespace tapedecoder;

namespace {

using namespace testing_support;

std::int32_t ReferenceMeasure(const DecodeSettings& settings, CWaveSource& source,
                              std::uint8_t& levelState) {
  std::uint8_t level = static_cast<std::uint8_t>(settings.manualLevel);
  if (settings.levelMode == LEVEL_AUTO)
    level = reference::AutoLevel(source, static_cast<std::uint32_t>(settings.autoPoints),
                                 settings.useLeft, settings.useRight);
  return reference::ScanForSideChange(source, level, levelState,
                                      MeasureStepLimit(source.GetStep()));
}

// A few blocks of random bytes with pauses, then distorted: scaled about
// the middle, shifted, with noise.
Bytes TapeSamples(std::mt19937& random, double gain, int offset, int noise) {
  PulseTrain train;
  train.Silence(300);
  for (int block = 0; block < 3; ++block) {
    Bytes bytes(5 + random() % 40);
    for (auto& b : bytes) b = static_cast<std::uint8_t>(random());
    train.Block(bytes, 102 + static_cast<int>(random() % 20)).Silence(200 + random() % 300);
  }
  Bytes samples = train.Samples(random() % 2 == 0);
  std::uniform_int_distribution<int> spread(-noise, noise);
  for (auto& v : samples) {
    const double shaped = 128 + (v - 128) * gain + offset + spread(random);
    v = static_cast<std::uint8_t>(std::clamp(shaped, 0.0, 255.0));
  }
  return samples;
}

struct Outputs {
  Bytes tap, txt;
  ConversionReport report;
};

Outputs Decode(const ScratchDir& dir, const Bytes& wave, const DecodeSettings& settings,
               PulseMeasure measure, const char* title) {
  CWaveSource source;
  source.SetChannels(settings.useLeft, settings.useRight);
  EXPECT_TRUE(source.OpenMemory(wave.data(), wave.size()));
  source.Rewind();
  source.SetStep(0.2);
  Outputs out;
  const std::string path = (dir / title).string();
  EXPECT_TRUE((out.report = DecodeToFiles(path, source, settings, measure)).Written());
  out.tap = ReadFile(path + ".tap");
  out.txt = ReadFile(path + ".txt");
  return out;
}

TEST(DecodeEquivalenceTest, FastMeasurementWritesTheSameFilesAsStepByStep) {
  ScratchDir dir;
  std::mt19937 random(20261208);
  int decodedBlocks = 0;
  for (int round = 0; round < 24; ++round) {
    const double gain = round % 4 == 0 ? 0.25 : 1.0;
    const int offset = round % 3 == 1 ? (round % 2 ? 20 : -20) : 0;
    const int noise = (round % 5) * 6;
    const Bytes left = TapeSamples(random, gain, offset, noise);
    const bool stereo = round % 2 == 1;
    Bytes samples = left;
    if (stereo) {
      // The right channel: silence, noise or a copy, by round.
      samples.clear();
      for (std::size_t i = 0; i < left.size(); ++i) {
        samples.push_back(left[i]);
        const int kind = round % 6;
        samples.push_back(kind == 1 ? 128 : kind == 3 ? static_cast<std::uint8_t>(random()) : left[i]);
      }
    }
    const std::uint32_t frames = static_cast<std::uint32_t>(left.size());
    const Bytes wave = SimpleWave(samples, stereo ? 2 : 1);

    DecodeSettings settings;
    settings.useLeft = round % 7 != 3;
    settings.useRight = round % 5 != 2;
    if (round % 3 == 0) {
      settings.levelMode = LEVEL_MANUAL;
      settings.manualLevel = 110 + static_cast<int>(random() % 40);
    } else {
      const std::int32_t windows[] = {1, 7, 200, 1000, static_cast<std::int32_t>(frames - 3),
                                      static_cast<std::int32_t>(frames + 5), 44100};
      settings.autoPoints = windows[round % 7];
    }
    const Outputs fast = Decode(dir, wave, settings, &MeasurePulse, "fast");
    const Outputs slow = Decode(dir, wave, settings, &ReferenceMeasure, "slow");
    ASSERT_EQ(fast.tap, slow.tap) << "round " << round;
    ASSERT_EQ(fast.txt, slow.txt) << "round " << round;
    decodedBlocks += fast.report.blocks;
  }
  // The recordings are not all noise: most of their blocks decode.
  EXPECT_GT(decodedBlocks, 24);
}

}  // namespace
