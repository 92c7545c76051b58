// Reads a recording the way the robust decoder does and prints what it
// cost: samples delivered, speed against real time, and the process's peak
// memory. Usage: tapedecoder-input-bench FILE [left|right|mix|auto]
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "audio/sample_input.h"

using namespace tapedecoder;

int main(int argc, char** argv) {
  if (argc < 2 || argc > 3) {
    std::fprintf(stderr, "usage: %s FILE [left|right|mix|auto]\n", argv[0]);
    return 2;
  }
  const std::string mode = argc == 3 ? argv[2] : "auto";
  Failure error;
  const auto input = CSampleInput::Open(argv[1], error);
  if (!input) {
    std::fprintf(stderr, "cannot open %s: failure %d, errno %d, %s\n", argv[1], static_cast<int>(error.kind),
                 error.osError, error.libraryMessage.c_str());
    return 1;
  }
  const InputInfo& info = input->Info();
  std::vector<ChannelChoice> choices = AutomaticChoices(info.channels);
  if (mode == "left") choices = {ChannelChoice::LEFT};
  if (mode == "right") choices = {ChannelChoice::RIGHT};
  if (mode == "mix") choices = {ChannelChoice::MIX};
  input->Select(choices);
  const auto start = std::chrono::steady_clock::now();
  std::vector<std::vector<float>> out;
  std::uint64_t samples = 0;
  while (const std::size_t n = input->Read(out, 65536)) samples += n;
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  const double recorded = static_cast<double>(samples) / input->OutputRate();
  std::printf("%s: %s %d Hz, %d channels, %s; %zu streams at %.0f Hz\n", argv[1],
              info.kind == InputKind::CSW ? "CSW" : info.container.c_str(), info.rate, info.channels,
              info.kind == InputKind::CSW ? "pulses" : info.encoding.c_str(), choices.size(), input->OutputRate());
  std::printf("samples per stream %llu (%.1f s recorded), read in %.2f s (%.0f x real time)\n",
              static_cast<unsigned long long>(samples), recorded, seconds, seconds > 0 ? recorded / seconds : 0.0);
  std::printf("peak RSS %.1f MiB; failed: %s\n", usage.ru_maxrss / 1024.0, input->Failed() ? "yes" : "no");
  return input->Failed() ? 1 : 0;
}
