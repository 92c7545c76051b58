// The command line of tapedecoder-cli: options, strict number parsing and
// the settings they give.
#ifndef TAPEDECODER_CLI_CLI_OPTIONS_H_
#define TAPEDECODER_CLI_CLI_OPTIONS_H_

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "convert/robust_run.h"
#include "tape/decode_settings.h"

namespace tapedecoder {

// Exit statuses of the program (see ExitStatus in cli/outcome.h for which
// one a run of several recordings ends with).
constexpr int EXIT_ALL_GOOD = 0;       // every recording written, every block good
constexpr int EXIT_NOT_CONVERTED = 1;  // a recording could not be read, or its outputs not written
constexpr int EXIT_USAGE = 2;          // a usage error or settings that fail checks; nothing written
constexpr int EXIT_DAMAGED = 3;        // written, but some block bad or cut short, or reading stopped
constexpr int EXIT_NOTHING_FOUND = 4;  // a recording in which no block was found; nothing written for it

// The decoding method.
enum class Method : std::uint8_t {
  ROBUST,   // any audio format; real tapes
  CLASSIC,  // 8-bit 44.1 kHz WAV, fixed pulse ranges and a threshold
};

struct CliOptions {
  Method method = Method::ROBUST;
  DecodeSettings settings;          // classic: not yet validated
  ChannelMode channels = ChannelMode::AUTO;  // robust
  OutputFormats formats;            // the images besides the listing
  std::vector<std::string> recordings;
  std::string outputDir;            // empty: beside each recording
  bool merge = false;               // the recordings are takes of one tape
  std::string name;                 // the output title (--merge or one recording), empty: the recording's
  bool quiet = false;
  bool report = false;              // also write TITLE.json and TITLE.log
  bool force = false;               // --merge: merge takes that share no verified block
  // Recordings converted at once; 0: as many as the machine has cores. 1
  // also decodes each recording in one thread.
  int jobs = 0;
};

// Parses the command line into `options`. Returns nothing when the program
// goes on to convert; otherwise the exit status: 0 after --help or
// --version (printed to `out`), EXIT_USAGE after a usage error (printed to
// `err`, naming the option).
std::optional<int> ParseCommandLine(int argc, const char* const* argv, CliOptions& options,
                                    std::ostream& out, std::ostream& err);

// Strict readers of option values; each whole text must be the number.
// A pulse bound: decimal digits with an optional fraction ("75", "75.5").
std::optional<float> ParseBound(const std::string& text);
// A range "MIN:MAX" of two bounds.
std::optional<std::pair<float, float>> ParseRange(const std::string& text);
// A signed decimal integer that fits 32 bits.
std::optional<std::int32_t> ParseInteger(const std::string& text);

}  // namespace tapedecoder

#endif  // TAPEDECODER_CLI_CLI_OPTIONS_H_
