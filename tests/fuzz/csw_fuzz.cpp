// Parses arbitrary bytes as a CSW pulse file from memory, twice: as pulses
// and as the rendered square wave. Both views must agree on the outcome and
// on the pulses (their count, their lengths summed, one edge per pulse),
// every pulse must be within the reader's bounds, and the levels alternate.
#include <cstdint>
#include <cstdlib>

#include "audio/csw_reader.h"

namespace {

using namespace tapedecoder;

// Work beyond these is not compared, so that a small input that inflates to
// long pauses stays quick.
constexpr std::uint64_t SAMPLE_BUDGET = std::uint64_t{1} << 24;
constexpr std::uint64_t PULSE_BUDGET = std::uint64_t{1} << 22;

void Check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  CMemoryByteSource pulseBytes(data, size);
  CCswReader pulses(pulseBytes);
  CMemoryByteSource sampleBytes(data, size);
  CCswReader rendered(sampleBytes);
  const bool opened = pulses.Open();
  Check(opened == rendered.Open());
  Check(pulses.Failure() == rendered.Failure());
  if (!opened) {
    Check(pulses.Failure() != FailureKind::NONE);
    return 0;
  }
  const CswHeader& header = pulses.Header();
  Check(header.rate > 0 && (header.compression == 1 || header.compression == 2));

  CCswSamples samples(rendered);
  Check(samples.OutputRate() >= 40000.0 && samples.OutputRate() <= 192000.0);
  const std::uint64_t up = samples.Upsampling();
  const std::uint64_t down = samples.Downsampling();
  Check(up == 1 || down == 1);

  std::uint64_t count = 0;
  std::uint64_t total = 0;
  CswPulse pulse;
  bool complete = true;
  while (pulses.Next(pulse)) {
    Check(pulse.samples >= 1);
    Check(pulse.samples <= std::uint64_t{header.rate} * CSW_MAX_PULSE_SECONDS);
    Check(pulse.high == (header.firstHigh != (count % 2 == 1)));
    ++count;
    total += pulse.samples;
    if (count > PULSE_BUDGET || total * up > SAMPLE_BUDGET) {
      complete = false;
      break;
    }
  }
  Check(count == pulses.PulsesRead());
  if (!complete) return 0;

  static float buffer[4096];
  std::uint64_t made = 0;
  std::uint64_t edges = 0;
  float last = 0.0f;
  while (const std::size_t n = samples.Read(buffer, sizeof buffer / sizeof buffer[0])) {
    for (std::size_t i = 0; i < n; ++i) {
      Check(buffer[i] >= -0.5f && buffer[i] <= 0.5f);
      if (made + i > 0 && buffer[i] != last) ++edges;
      last = buffer[i];
    }
    made += n;
    Check(made <= SAMPLE_BUDGET + 1);
  }
  Check(rendered.Failure() == pulses.Failure());
  Check(rendered.PulsesRead() == count);
  if (down == 1) {
    Check(made == total * up);
    Check(count == 0 ? edges == 0 : edges + 1 == count);
  } else {
    Check(made == (total + down - 1) / down);
  }
  return 0;
}
