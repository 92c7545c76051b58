// Writes the seed corpus of the fuzz targets: small recordings that load,
// and damaged ones that stop at each check of the loader.
#include <cmath>
#include <filesystem>
#include <iostream>
#include <string>

#include "tape/pulse_train.h"
#include "test_support.h"

using namespace tapedecoder;

using namespace testing_support;

namespace {

// A short tape-like signal: square waves of a few pulse lengths.
Bytes Signal(std::size_t frames) {
  Bytes out;
  const int halfPeriods[] = {27, 27, 27, 8, 10, 11, 22, 11, 22};
  std::size_t k = 0;
  bool high = true;
  while (out.size() < frames) {
    const int half = halfPeriods[k++ % (sizeof halfPeriods / sizeof halfPeriods[0])];
    for (int i = 0; i < half && out.size() < frames; ++i) out.push_back(high ? 215 : 40);
    high = !high;
  }
  return out;
}

Bytes Stereo(const Bytes& mono) {
  Bytes out;
  for (std::uint8_t v : mono) {
    out.push_back(v);
    out.push_back(static_cast<std::uint8_t>(255 - v / 2));
  }
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::cerr << "usage: make_fuzz_seeds FOLDER\n";
    return 2;
  }
  const std::filesystem::path dir = argv[1];
  std::filesystem::create_directories(dir);
  const Bytes signal = Signal(600);
  WaveFormat mono;
  WaveFormat stereo;
  stereo.channels = 2;
  stereo.blockAlign = 2;
  WaveFormat wide = mono;
  wide.blockAlign = 2;
  wide.bits = 16;
  WaveFormat rate = mono;
  rate.rate = 48000;
  const Bytes fmt = Chunk("fmt ", mono.Build());

  const std::pair<const char*, Bytes> seeds[] = {
      {"mono.wav", SimpleWave(signal)},
      {"stereo.wav", SimpleWave(Stereo(signal), 2)},
      {"list.wav", RiffWave(fmt + Chunk("LIST", {'I', 'N', 'F', 'O', 'a'}) + Chunk("data", signal))},
      {"junk_first.wav", Chunk("JUNK", {1, 2, 3}) + SimpleWave(signal)},
      {"sixteen_bit.wav", RiffWave(Chunk("fmt ", wide.Build()) + Chunk("data", signal))},
      {"rate.wav", RiffWave(Chunk("fmt ", rate.Build()) + Chunk("data", signal))},
      {"huge_data.wav", RiffWave(fmt + ChunkWithSize("data", 0xFFFFFFFF, signal))},
      {"no_pad.wav", RiffWave(fmt + Chunk("odd ", {1}, false) + Chunk("data", signal))},
      {"empty_data.wav", SimpleWave({})},
      {"short.wav", SimpleWave({128, 200, 40})},
  };
  // The WAV loader takes the files as they are; a conversion reads its
  // settings from 12 bytes before them.
  const Bytes defaults = {22, 128, 114, 68, 111, 39, 1, 127, 199, 0, 0, 3};
  const Bytes manual = {22, 128, 114, 68, 111, 39, 0, 127, 199, 0, 0, 1};
  std::filesystem::create_directories(dir / "wave_loader_fuzz");
  std::filesystem::create_directories(dir / "conversion_fuzz");
  for (const auto& [name, bytes] : seeds) {
    WriteFile(dir / "wave_loader_fuzz" / name, bytes);
    WriteFile(dir / "conversion_fuzz" / name, defaults + bytes);
  }
  // Recordings that hold a block, so that decoding itself is explored.
  PulseTrain train;
  train.Silence(50).Block({0x00, 0x42, 0x42}, 102).Silence(120);
  const Bytes tape = train.Wave();
  PulseTrain fast(FastTimings());
  fast.Silence(20).Block({0xFF, 1, 2, 3, 4, 5, 6, 7, 0xFB}, 102).Silence(120);
  WriteFile(dir / "wave_loader_fuzz" / "block.wav", tape);
  WriteFile(dir / "conversion_fuzz" / "block.wav", defaults + tape);
  WriteFile(dir / "conversion_fuzz" / "block_manual.wav", manual + tape);
  const Bytes fastRanges = {10, 30, 32, 38, 41, 19, 0, 127, 199, 0, 0, 3};
  WriteFile(dir / "conversion_fuzz" / "fast_block.wav", fastRanges + fast.Wave());
  return 0;
}
