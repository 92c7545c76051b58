// Feeds arbitrary bytes as 16-bit samples, at a rate and with options taken
// from the first bytes, through the robust decoder. Nothing may crash, and
// every block must be consistent: in recording order, times ordered, one
// confidence and one start per bit, at least one byte.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "robust/robust_decoder.h"

namespace {

constexpr std::size_t OPTION_BYTES = 6;

void Check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < OPTION_BYTES) return 0;
  const double rate = 40000.0 + (data[0] | (data[1] << 8)) * 152000.0 / 65535.0;
  tapedecoder::RobustOptions options;
  options.hysteresis = 0.05 + data[2] / 255.0;
  options.boxFactor = 0.1 + data[3] / 320.0;
  options.pulseReader = (data[4] & 1) != 0;
  options.boxReader = (data[4] & 2) != 0 || !options.pulseReader;
  options.stopBits = 1 + data[5] % 48;
  // Samples: each 16-bit value, repeated so that short inputs still hold
  // pulses of plausible lengths.
  std::vector<float> samples;
  const int repeat = 1 + (data[4] >> 4);
  for (std::size_t i = OPTION_BYTES; i + 1 < size; i += 2) {
    std::int16_t v = static_cast<std::int16_t>(data[i] | (data[i + 1] << 8));
    for (int k = 0; k < repeat; ++k) samples.push_back(v / 32768.0f);
  }
  double lastEnd = -1.0;
  tapedecoder::CRobustDecoder decoder(rate, [&](tapedecoder::TapeBlock&& b) {
    Check(!b.bytes.empty());
    Check(b.usedBits >= 1 && b.usedBits <= 8);
    std::size_t bits = (b.bytes.size() - 1) * 8 + b.usedBits;
    Check(b.bitConfidence.size() == bits);
    Check(b.bitSeconds.size() == bits);
    Check(b.startSeconds <= b.dataSeconds && b.dataSeconds <= b.endSeconds);
    Check(b.startSeconds >= lastEnd);
    for (std::size_t i = 0; i < bits; ++i) {
      Check(b.bitConfidence[i] >= 0.0f);
      Check(i == 0 || b.bitSeconds[i] >= b.bitSeconds[i - 1]);
    }
    lastEnd = b.endSeconds;
  }, options);
  std::size_t at = 0;
  while (at < samples.size()) {
    std::size_t n = std::min<std::size_t>(samples.size() - at, 1 + (at * 31) % 4096);
    decoder.Feed(samples.data() + at, n);
    at += n;
  }
  decoder.Finish();
  return 0;
}
