#include "cli/messages.h"

#include <cmath>
#include <cstdio>
#include <cstring>

namespace tapedecoder {

namespace {

// What failed with a recording, before the system's or the library's detail.
std::string InputText(const Failure& failure) {
  switch (failure.kind) {
    case FailureKind::CANNOT_OPEN: return "the file cannot be opened";
    case FailureKind::NOT_A_FILE: return "not a regular file";
    case FailureKind::NO_TAKES: return "no takes";
    case FailureKind::WAVE_NO_RIFF_WAVE: return "not a WAV file (no RIFF WAVE chunk)";
    case FailureKind::WAVE_NO_FORMAT: return "no format chunk";
    case FailureKind::WAVE_SHORT_FORMAT: return "the format chunk is truncated";
    case FailureKind::WAVE_NOT_PCM: return "not uncompressed PCM";
    case FailureKind::WAVE_FORMAT_END: return "the format chunk runs past the end of the file";
    case FailureKind::WAVE_NO_DATA: return "no data chunk after the format chunk";
    case FailureKind::WAVE_BAD_RATE: return "the sample rate is not 44100 Hz";
    case FailureKind::WAVE_BAD_BLOCK_ALIGN: return "the samples are not 8-bit";
    case FailureKind::WAVE_BAD_CHANNELS: return "neither mono nor stereo";
    case FailureKind::UNKNOWN_FORMAT: return "not a sound file or CSW file this program reads";
    case FailureKind::MALFORMED_AUDIO: return "the sound file is damaged";
    case FailureKind::UNSUPPORTED_ENCODING: return "the sound file's encoding is not supported";
    case FailureKind::BAD_RATE:
      return "the sample rate " + std::to_string(failure.value) + " Hz is outside 8000-192000 Hz";
    case FailureKind::BAD_CHANNELS: return "the sound file has no channels";
    case FailureKind::CSW_NO_SIGNATURE: return "no CSW signature";
    case FailureKind::CSW_TRUNCATED_HEADER: return "the CSW header is cut short";
    case FailureKind::CSW_BAD_VERSION: return "a CSW version other than 1 or 2";
    case FailureKind::CSW_ZERO_RATE: return "a CSW sample rate of 0";
    case FailureKind::CSW_BAD_COMPRESSION: return "an unknown CSW compression";
    case FailureKind::CSW_ZERO_PULSE: return "a CSW pulse of no length";
    case FailureKind::CSW_PULSE_TOO_LONG: return "a CSW pulse longer than an hour";
    case FailureKind::CSW_BAD_ZLIB: return "the CSW data is no valid zlib stream";
    case FailureKind::CSW_TRUNCATED_DATA: return "the CSW data is cut short";
    case FailureKind::READ_ERROR: return "reading failed";
    case FailureKind::ENDS_EARLY:
      return "the sound data ends before the length its header declares (damaged or cut short)";
    default: return "the recording cannot be read";
  }
}

// What failed with an output, with its name.
std::string OutputText(const Failure& failure) {
  switch (failure.kind) {
    case FailureKind::OUTPUT_IS_INPUT: return failure.path + " is the recording itself";
    case FailureKind::OUTPUT_PROTECTED:
    case FailureKind::OUTPUT_CANNOT_REPLACE: return "cannot replace " + failure.path;
    case FailureKind::OUTPUT_CANNOT_CREATE: return "cannot create " + failure.path;
    default: return "cannot write " + failure.path;  // a write failed, or an image could not be made
  }
}

}  // namespace

std::string DescribeFailure(const Failure& failure) {
  std::string text;
  switch (failure.Class()) {
    case FailureClass::NONE: return "no error";
    case FailureClass::MEMORY: return "not enough memory";
    case FailureClass::OUTPUT:
      text = OutputText(failure);
      if (failure.kind != FailureKind::OUTPUT_IS_INPUT && failure.osError != 0)
        text += std::string(": ") + std::strerror(failure.osError);
      return text;
    case FailureClass::INPUT: text = InputText(failure); break;
    case FailureClass::TAPE:
      if (failure.kind == FailureKind::NOTHING_FOUND) return NothingFoundText();
      return failure.kind == FailureKind::TAKES_DIFFER ? "the takes look like different tapes"
                                                       : "stopped";
  }
  if (failure.osError != 0) text += std::string(": ") + std::strerror(failure.osError);
  else if (!failure.libraryMessage.empty()) text += " (" + failure.libraryMessage + ")";
  return text;
}

std::string ClockText(double seconds) {
  if (!(seconds >= 0.0)) seconds = 0.0;
  const long long millis = std::llround(seconds * 1000.0);
  char text[48];
  std::snprintf(text, sizeof text, "%lld:%02lld.%03lld", millis / 60000, millis / 1000 % 60,
                millis % 1000);
  return text;
}

namespace {

// What a block is: a header with its type and name, or data with its flag.
std::string BlockKind(const std::optional<RomHeader>& header, std::uint8_t flag, bool romTiming) {
  static const char* const kTypes[] = {"program", "number array", "character array", "bytes"};
  if (header) {
    std::string name;
    for (char c : header->name) name += (c >= 0x20 && c < 0x7F) ? c : '?';
    while (!name.empty() && name.back() == ' ') name.pop_back();
    const std::uint8_t type = header->type;
    return std::string("header ") + (type < 4 ? kTypes[type] : "of type " + std::to_string(type)) +
           " \"" + name + "\"";
  }
  char text[16];
  std::snprintf(text, sizeof text, "%02x", flag);
  return std::string(romTiming ? "data" : "turbo data") + ", flag " + text;
}

}  // namespace

std::string DescribeMergedBlock(const MergedBlockSummary& block) {
  char line[512];
  std::snprintf(line, sizeof line, "%3d  %-36s %6zu bytes  %s", block.number,
                BlockKind(block.header, block.flag, true).c_str(), block.length,
                block.good ? "ok" : "BAD checksum");
  std::string text = line;
  if (block.voted) return text + "  voted across the takes";
  if (block.good) return text + "  from take " + std::to_string(block.take + 1);
  text += "  at";
  for (std::size_t t = 0; t < block.takeStarts.size(); ++t) {
    text += (t == 0 ? " take " : ", take ") + std::to_string(t + 1) + " ";
    text += block.takeStarts[t] ? ClockText(*block.takeStarts[t]) : "(none)";
  }
  return text;
}

std::string DescribeBlock(const BlockSummary& block) {
  const std::string what = BlockKind(block.header, block.flag, block.romTiming);
  // A turbo loader may check its data another way than the ROM's XOR.
  std::string verdict = block.good             ? "ok"
                        : block.mendGuessed    ? "unsure"
                        : block.romTiming      ? "BAD checksum"
                                               : "no XOR checksum";
  if (block.origin == BlockOrigin::RETRIED) verdict += " (read again)";
  if (block.origin == BlockOrigin::SYNC_REPAIRED) verdict += " (no sync seen; bit alignment assumed)";
  if (block.origin == BlockOrigin::VOTED) verdict += " (voted)";
  if (block.mendGuessed && block.mendedGaps == 0) {
    // No dropout: the reading slipped (a one read as two zeros, or two
    // zeros as a one), and the slips were undone.
    verdict += " (guessed: " + std::to_string(block.mendedBits) + (block.mendedBits > 1 ? " slips" : " slip") +
               " from byte " + std::to_string(block.mendedAt / 8) + " undone, the likeliest reading the checksum allows)";
  } else if (block.origin == BlockOrigin::MENDED && block.mendedGaps == 0) {
    // Read as its copy where the reading slipped: no dropout lost the bits.
    verdict += " (mended: " + std::to_string(block.mendedBits) + " bits from byte " +
               std::to_string(block.mendedAt / 8) +
               " restored from the block's copy on the tape, where the reading slipped)";
  } else if (block.mendGuessed) {
    const std::string lost =
        block.mendedGaps > 1 ? std::to_string(block.mendedGaps) + " dropouts from byte " : "a dropout at byte ";
    verdict += " (guessed: " + std::to_string(block.mendedBits) + " bits lost in " + lost +
               std::to_string(block.mendedAt / 8) + ", the likeliest of the fills the checksum allows)";
  } else if (block.origin == BlockOrigin::MENDED) {
    const std::string lost =
        block.mendedGaps > 1 ? std::to_string(block.mendedGaps) + " dropouts from byte " : "a dropout at byte ";
    verdict += " (mended: " + std::to_string(block.mendedBits) + " bits lost in " + lost +
               std::to_string(block.mendedAt / 8) +
               (block.mendedFromCopy ? " restored from the block's copy on the tape)" : " restored from the checksum)");
  }
  if (block.unmendedGaps > 0) verdict += " (" + std::to_string(block.unmendedGaps) + " dropout(s) not mended)";
  char line[512];
  std::snprintf(line, sizeof line, "%3d  %s  %-36s %6zu bytes  %s", block.number,
                ClockText(block.startSeconds).c_str(), what.c_str(), block.length,
                verdict.c_str());
  std::string text = line;
  if (!block.romTiming) {
    const BlockTiming& t = block.timing;
    char timing[200];
    auto bit = [&t](bool one) {
      if (t.symbolPulses > 0) return BitPulsesText(t, one);
      char text[32];
      std::snprintf(text, sizeof text, "%.0f", one ? t.one : t.zero);
      return std::string(text);
    };
    const std::string zero = bit(false), one = bit(true);
    if (t.pilot <= 0.0) {
      std::snprintf(timing, sizeof timing, "  no pilot, bits %s/%s T", zero.c_str(), one.c_str());
    } else {
      char sync[48];  // a sync of one pulse has no second
      if (t.sync2 > 0.0) {
        std::snprintf(sync, sizeof sync, "%.0f/%.0f", t.sync1, t.sync2);
      } else {
        std::snprintf(sync, sizeof sync, "%.0f", t.sync1);
      }
      std::snprintf(timing, sizeof timing, "  pilot %.0f T x %d, sync %s T, bits %s/%s T", t.pilot,
                    t.pilotPulses, sync, zero.c_str(), one.c_str());
    }
    return text + timing;
  }
  if (block.speed > 0.0) {
    char speed[32];
    std::snprintf(speed, sizeof speed, "  speed %.1f %%", block.speed * 100.0);
    text += speed;
  }
  return text;
}

std::string DescribeTally(const PartTally& tally) {
  auto count = [](int n, const char* one, const char* many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
  };
  return "tape: " + count(tally.romBlocks, "ROM block", "ROM blocks") + ", " +
         count(tally.turboBlocks, "turbo block", "turbo blocks") + ", " +
         count(tally.pureData, "pure data block", "pure data blocks") + ", " +
         count(tally.tones, "tone", "tones") + ", " +
         count(tally.pulseStretches, "pulse sequence", "pulse sequences") + ", " +
         count(tally.pauses, "pause", "pauses");
}

const char* DescribeSettingsProblem(SettingsProblem problem) {
  switch (problem) {
    case SETTINGS_OK: return "the settings are acceptable";
    case SETTINGS_ZERO_RANGE: return "--zero: the minimum is above the maximum";
    case SETTINGS_ONE_RANGE: return "--one: the minimum is above the maximum";
    case SETTINGS_PILOT_RANGE: return "--pilot: the minimum is above the maximum";
    case SETTINGS_LEVEL: return "--level: the level must be from 0 to 255";
    case SETTINGS_POINTS: return "--auto: the window must be at least 1 frame";
  }
  return "the settings are not acceptable";
}

// What went wrong, and what to do: the explanations of bad blocks, the
// refusals before decoding and the hints.

std::string ExplainBadBlock(const BlockSummary& block, int take) {
  if (block.good) return "";
  std::string text;
  if (block.announced && *block.announced != block.length)
    text += "; header announced " + std::to_string(*block.announced) + " bytes, " +
            std::to_string(block.length) + " came";
  const std::string where = take > 0 ? " in take " + std::to_string(take) : "";
  if (block.brokeSeconds) text += "; the signal breaks at " + ClockText(*block.brokeSeconds) + where;
  if (block.cut == BlockCut::RECORDING_END) text += "; cut short by the end of the recording";
  if (block.cut == BlockCut::READ_STOPPED) text += "; cut short where reading stopped";
  return text;
}

const char* MergeHint(bool merging) {
  if (merging)
    return "hint: another take can mend a block still bad: record the tape again (another "
           "deck, volume or head azimuth helps) and add it to the takes of --merge";
  return "hint: another playback of the tape can mend a bad block: record it again (another "
         "deck, volume or head azimuth helps) and run --merge with both takes";
}

const char* ClassicRefusalHint(const Failure& failure) {
  switch (failure.kind) {
    case FailureKind::WAVE_NO_RIFF_WAVE:
    case FailureKind::WAVE_NOT_PCM:
    case FailureKind::WAVE_BAD_RATE:
    case FailureKind::WAVE_BAD_BLOCK_ALIGN:
    case FailureKind::WAVE_BAD_CHANNELS:
      return "--method classic reads only 8-bit 44100 Hz WAV; leave it out: the robust method "
             "(the default) reads any WAV, FLAC, Ogg, MP3, AIFF and CSW";
    default: return "";
  }
}

const char* NothingFoundText() {
  return "no block found: nothing written, earlier outputs are as they were (a silent "
         "recording, or the wrong input of the sound card?)";
}

const char* EmptyRecordingText() {
  return "the file is empty (0 bytes): the recording program saved no sound; record again and "
         "check that the file is complete";
}

std::string LooksLikeOutputText(const std::string& argument) {
  return argument + " does not exist and looks like an output name: use --format and -o "
                    "(e.g. --format tap,tzx -o DIR); the outputs are named after the recording "
                    "or --name";
}

std::string SameOutputsText(const std::string& first, const std::string& second,
                            const std::string& output) {
  return first + " and " + second + " would both write " + output +
         "; nothing was converted: convert them one at a time with --name TITLE, or into "
         "different folders with -o DIR";
}

std::string SameTakeTwiceText(const std::string& first, const std::string& second) {
  return "warning: " + second + " is the same file as " + first +
         "; a second copy of one take adds nothing to the merge";
}

std::string DifferentTapesText(const std::string& first, const std::string& second) {
  return first + " and " + second +
         " share no block that verifies: they look like different tapes; nothing was merged "
         "(--force merges them all the same)";
}

std::string TakesText(std::size_t takes) {
  return std::to_string(takes) + (takes == 1 ? " take" : " takes");
}

}  // namespace tapedecoder
