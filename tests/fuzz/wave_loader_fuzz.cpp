// Feeds arbitrary bytes to the WAV loader as a file on disk, then reads the
// loaded recording the way a conversion does. The same bytes opened from
// memory must load identically.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "audio/wave_source.h"

using namespace tapedecoder;

namespace {

std::string ScratchFile() {
  const char* folder = std::getenv("TMPDIR");
  return std::string(folder ? folder : "/tmp") + "/wave_loader_fuzz." +
         std::to_string(getpid()) + ".wav";
}

void Check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const std::string path = ScratchFile();
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) return 0;
  const bool written = std::fwrite(data, 1, size, file) == size;
  if (std::fclose(file) != 0 || !written) return 0;

  CWaveSource fromFile;
  CWaveSource fromMemory;
  const bool opened = fromFile.Open(path);
  Check(opened == fromMemory.OpenMemory(data, size));
  Check(fromFile.LastError() == fromMemory.LastError());
  Check(fromFile.Data() == fromMemory.Data());
  if (!opened) {
    Check(fromFile.FrameCount() == 0 && fromFile.IsAtEnd());
    return 0;
  }
  Check(fromFile.Data().size() <= size);
  Check(fromFile.Channels() == 1 || fromFile.Channels() == 2);
  Check(fromFile.FrameCount() == fromFile.Data().size() / fromFile.Channels());

  // Walk the whole recording at a fifth of a frame, with the last byte of
  // the input choosing the channels and a window size for the level.
  const std::uint8_t knob = size > 0 ? data[size - 1] : 0;
  fromFile.SetChannels(knob & 1, (knob >> 1) & 1);
  fromFile.SetStep(0.2);
  const std::uint32_t window = 1u + (knob >> 2) * 37u;
  std::uint8_t value = 0;
  std::uint64_t reads = 0;
  while (fromFile.ReadSample(value)) {
    if (reads++ % 97 == 0) fromFile.GetAutoLevel(window);
    fromFile.Advance();
  }
  Check(reads <= 5ull * fromFile.FrameCount() + 1);
  fromFile.GetAutoLevel(window);
  return 0;
}
