// A stereo recording with --channels auto: a coherent mix is decoded alone,
// and where one channel's damage spoils the mix's block the clean channel
// is read again there, so that every block still verifies.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "convert/robust_run.h"
#include "robust/tape_synth.h"
#include "test_support.h"

namespace tapedecoder {
namespace {

using testing_support::Bytes;
using testing_support::ScratchDir;

struct Burst {
  int channel;  // 0 left, 1 right
  double from, to;  // seconds
};

// Three blocks, quiet (a tenth of full scale) on both channels, with loud
// noise over each burst: the mix there is more noise than tape.
std::string WriteStereo(const ScratchDir& dir, const std::vector<Burst>& bursts) {
  testing_support::TapePath path;
  path.gain = 0.1;
  const std::vector<float> samples = RenderTape(
      {testing_support::RomHeader("stereo", 600), testing_support::DataBlock(600, 5),
       testing_support::DataBlock(600, 6)},
      path, 1);
  Bytes bytes;
  std::mt19937 noise(7);
  for (std::size_t i = 0; i < samples.size(); ++i) {
    const double t = static_cast<double>(i) / path.rate;
    for (int c = 0; c < 2; ++c) {
      long value = std::lround(128.0 + 127.0 * samples[i]);
      for (const Burst& b : bursts)
        if (b.channel == c && t >= b.from && t < b.to) value = static_cast<long>(noise() % 256);
      bytes.push_back(static_cast<std::uint8_t>(value));
    }
  }
  const std::string name = (dir / "stereo.wav").string();
  testing_support::WriteFile(name, testing_support::SimpleWave(bytes, 2));
  return name;
}

TEST(ChannelRetry, ADamagedChannelsBlockIsReadFromTheOtherChannel) {
  // The blocks lie at about 0-6.7 s (header), 7.7-12.3 s and 13.3-17.9 s.
  struct Case {
    const char* what;
    std::vector<Burst> bursts;
    std::vector<int> streams;  // per block: 0 the mix, 1 left, 2 right
  } cases[] = {
      {"clean", {}, {0, 0, 0}},
      {"left spoilt in the second block, right in the third",
       {{0, 9.0, 10.0}, {1, 15.0, 16.0}},
       {0, 2, 1}},
  };
  ScratchDir dir;
  for (const Case& c : cases) {
    const std::string name = WriteStereo(dir, c.bursts);
    for (bool threads : {false, true}) {
      SCOPED_TRACE(std::string(c.what) + (threads ? ", threads" : ""));
      RobustRunOptions options;
      options.threads = threads;
      RobustReport report;
      ASSERT_TRUE(DecodeRecording(name, options, [](TapeBlock&&) {}, report));
      ASSERT_EQ(report.blocks.size(), c.streams.size());
      for (std::size_t i = 0; i < report.blocks.size(); ++i) {
        EXPECT_TRUE(report.blocks[i].good) << i;
        EXPECT_EQ(report.blocks[i].stream, c.streams[i]) << i;
      }
    }
  }
}

}  // namespace
}  // namespace tapedecoder
