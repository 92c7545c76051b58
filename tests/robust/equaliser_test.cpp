// The equalising retry: a block no reader verifies through a tape path
// that smears or band-limits its edges comes back once its pilot (then
// its own first reading) teaches an equaliser; a block read plainly is
// not touched.
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "robust/equaliser.h"
#include "robust/robust_decoder.h"
#include "robust/tape_synth.h"

namespace tapedecoder {
namespace {

using testing_support::DataBlock;
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

struct PathCase {
  const char* name;
  std::vector<double> allpassHz;
  double lowpassHz;
  double highpassHz;
  double gain;
  double noise;
  double wowDepth;
};

TEST(Equaliser, Probe) {
  const PathCase cases[] = {
      {"all-pass", {800.0, 2000.0, 4000.0}, 0.0, 0.0, 0.5, 0.0, 0.0},
      {"all-pass noisy", {800.0, 2000.0, 4000.0}, 0.0, 0.0, 0.5, 0.15, 0.0},
      {"all-pass twice", {800.0, 800.0, 2000.0, 4000.0}, 0.0, 0.0, 0.5, 0.0, 0.0},
      {"low-pass 1000", {}, 1000.0, 0.0, 0.5, 0.0, 0.0},
      {"low-pass 800", {}, 800.0, 0.0, 0.5, 0.0, 0.0},
      {"low-pass 600", {}, 600.0, 0.0, 0.5, 0.0, 0.0},
      {"tape-heavy 0.5", {}, 5000.0, 200.0, 0.125, 0.5, 0.03},
  };
  for (const PathCase& c : cases) {
    for (std::uint32_t seed : {1u, 2u, 3u, 4u}) {
      const std::vector<TapeBytes> tape{RomHeader("alpha", 700), DataBlock(700, seed), DataBlock(300, seed + 10)};
      TapePath path;
      path.allpassHz = c.allpassHz;
      path.lowpassHz = c.lowpassHz;
      path.highpassHz = c.highpassHz;
      path.gain = c.gain;
      path.noise = c.noise;
      path.wowDepth = c.wowDepth;
      path.wowHz = 0.5;
      const std::vector<float> samples = RenderTape(tape, path, seed);
      for (bool eq : {false, true}) {
        const std::vector<TapeBlock> got = Decode(samples, path.rate, eq);
        std::printf("%s seed %u eq %d:", c.name, seed, eq);
        for (std::size_t i = 0; i < got.size(); ++i) {
          bool real = std::find(tape.begin(), tape.end(), got[i].bytes) != tape.end();
          std::printf(" %zu%s", got[i].bytes.size(), real ? "=" : ChecksumGood(got[i].bytes) ? "PHANTOM" : "x");
        }
        std::printf("\n");
      }
    }
  }
}

}  // namespace
}  // namespace tapedecoder
