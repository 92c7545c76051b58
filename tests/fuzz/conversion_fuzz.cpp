// Runs a whole conversion of arbitrary bytes as a recording, with settings
// taken from the first bytes, into a scratch folder. The outcome must be one
// of the run's messages, and a completed run must leave a tape image that
// parses into records and a listing with one verdict per record.
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "convert/conversion_run.h"
#include "front/dialog_messages.h"
#include "tape/decode_settings.h"

using namespace tapedecoder;

namespace {

namespace fs = std::filesystem;

constexpr std::size_t kSettingsBytes = 12;

void Check(bool condition) {
  if (!condition) std::abort();
}

std::vector<std::uint8_t> Slurp(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Settings from 12 bytes: three ranges (each a minimum and a width, in read
// steps), the mode, the level, a window and the channels.
DecodeSettings SettingsFrom(const std::uint8_t* b) {
  DecodeSettings s;
  s.zeroMin = b[0] / 2.0f;
  s.zeroMax = s.zeroMin + b[1] / 2.0f;
  s.oneMin = b[2] / 1.5f;
  s.oneMax = s.oneMin + b[3] / 2.0f;
  s.pilotMin = b[4];
  s.pilotMax = s.pilotMin + b[5];
  s.levelMode = (b[6] & 1) ? LEVEL_AUTO : LEVEL_MANUAL;
  s.manualLevel = b[7];
  s.autoPoints = 1 + (b[8] | (b[9] << 8) | ((b[10] & 0x0F) << 16));
  s.useLeft = (b[11] & 1) != 0;
  s.useRight = (b[11] & 2) != 0;
  return s;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < kSettingsBytes) return 0;
  static const fs::path folder = [] {
    const char* tmp = std::getenv("TMPDIR");
    fs::path path = fs::path(tmp ? tmp : "/tmp") / ("conversion_fuzz." + std::to_string(getpid()));
    fs::create_directories(path);
    return path;
  }();
  const DecodeSettings settings = SettingsFrom(data);
  if (ValidateSettings(settings)) return 0;  // the front ends stop such settings

  const fs::path wav = folder / "in.wav";
  {
    std::ofstream out(wav, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data + kSettingsBytes),
              static_cast<std::streamsize>(size - kSettingsBytes));
    if (!out) return 0;
  }
  const fs::path title = folder / "out";
  fs::remove(title.string() + ".tap");
  fs::remove(title.string() + ".txt");

  ConversionReport report;
  const UserMessage message = ConversionMessage(report = RunConversion(settings, wav.string(), title.string()));
  if (message.text == MESSAGE_CANNOT_OPEN) {
    Check(!fs::exists(title.string() + ".tap") && !fs::exists(title.string() + ".txt"));
    return 0;
  }
  Check(message.text == MESSAGE_COMPLETE && message.caption == CAPTION_MESSAGE);
  Check(report.blocks == report.goodBlocks + report.badBlocks);

  // The tape image is whole records; the listing has a verdict per block.
  const std::vector<std::uint8_t> tap = Slurp(title.string() + ".tap");
  std::size_t at = 0;
  int records = 0;
  while (at < tap.size()) {
    Check(at + 2 <= tap.size());
    at += 2 + (tap[at] | (tap[at + 1] << 8));
    ++records;
  }
  Check(at == tap.size());
  Check(records >= report.blocks);
  const std::vector<std::uint8_t> txt = Slurp(title.string() + ".txt");
  const std::string listing(txt.begin(), txt.end());
  int verdicts = 0;
  for (std::size_t p = listing.find("\r\n\xCE\xF8\xE8\xE1"); p != std::string::npos;
       p = listing.find("\r\n\xCE\xF8\xE8\xE1", p + 1))
    ++verdicts;  // "Ошиб" in Windows-1251 begins both verdicts
  Check(verdicts == report.blocks);
  return 0;
}
