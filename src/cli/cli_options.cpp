#include "cli/cli_options.h"

#include <CLI/CLI.hpp>

#include <charconv>

#include "front/settings_fields.h"

namespace tapedecoder {

namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// A usage error that names the option; CLI11 prints it with the hint.
[[noreturn]] void BadValue(const std::string& option, const std::string& text,
                           const std::string& expected) {
  throw CLI::ValidationError(option, "'" + text + "' is not " + expected);
}

void ApplyRange(const std::string& option, const std::string& text, float& minimum,
                float& maximum) {
  const auto range = ParseRange(text);
  if (!range) BadValue(option, text, "a range MIN:MAX of two non-negative numbers");
  minimum = range->first;
  maximum = range->second;
}

std::int32_t RequireInteger(const std::string& option, const std::string& text) {
  const auto value = ParseInteger(text);
  if (!value) BadValue(option, text, "a whole number");
  return *value;
}

}  // namespace

std::optional<float> ParseBound(const std::string& text) {
  std::size_t i = 0;
  while (i < text.size() && IsDigit(text[i])) ++i;
  const std::size_t wholeDigits = i;
  std::size_t fractionDigits = 0;
  if (i < text.size() && text[i] == '.') {
    ++i;
    while (i < text.size() && IsDigit(text[i])) ++i, ++fractionDigits;
  }
  if (i != text.size() || wholeDigits + fractionDigits == 0) return std::nullopt;
  // The same reading as the dialog's fields.
  return BoundFromText(text);
}

std::optional<std::pair<float, float>> ParseRange(const std::string& text) {
  const std::size_t colon = text.find(':');
  if (colon == std::string::npos) return std::nullopt;
  const auto minimum = ParseBound(text.substr(0, colon));
  const auto maximum = ParseBound(text.substr(colon + 1));
  if (!minimum || !maximum) return std::nullopt;
  return std::make_pair(*minimum, *maximum);
}

std::optional<std::int32_t> ParseInteger(const std::string& text) {
  const char* first = text.data();
  const char* last = text.data() + text.size();
  if (first != last && *first == '+') ++first;  // from_chars takes only '-'
  if (first == last || (*first == '-' && first + 1 == last)) return std::nullopt;
  std::int32_t value = 0;
  const auto [end, error] = std::from_chars(first, last, value);
  if (error != std::errc() || end != last) return std::nullopt;
  return value;
}

std::optional<int> ParseCommandLine(int argc, const char* const* argv, CliOptions& options,
                                    std::ostream& out, std::ostream& err) {
  CLI::App app(
      "Converts recordings of ZX Spectrum cassettes into TITLE.tap tape images and\n"
      "TITLE.txt hex listings (Windows-1251, CR LF) with a checksum verdict for every\n"
      "block, and prints one line per block.\n"
      "\n"
      "Methods:\n"
      "  robust   (default) real tape audio in any format the sound library reads\n"
      "           (WAV 8-32 bit and float, RF64, FLAC, Ogg, MP3, AIFF; 8-192 kHz; any\n"
      "           number of channels) and CSW pulse files: differentiated, noisy,\n"
      "           drifting, 0.5x-2x speed.\n"
      "  classic  uncompressed 8-bit PCM WAV at 44100 Hz, mono or stereo, decoded by\n"
      "           fixed pulse ranges (in read steps of 1/5 sample) and a threshold,\n"
      "           exactly as the dialog does.",
      "tapedecoder-cli");
  app.set_version_flag("--version", std::string("tapedecoder-cli ") + TAPEDECODER_VERSION,
                       "Print the version and exit");
  app.get_formatter()->column_width(34);

  const DecodeSettings defaults;
  auto range = [](float minimum, float maximum) {
    return "(default " + NumberText(minimum) + ":" + NumberText(maximum) + ")";
  };
  std::string method = "robust";
  std::string zero, one, pilot, level, points;
  std::string channels;
  std::string formats = "tap";
  app.add_option("--format", formats,
                 "comma list of the images to write besides\n"
                 "TITLE.txt: tap (default), tzx, pzx, csw. With\n"
                 "the robust method TZX/PZX keep the whole tape:\n"
                 "measured timings and pauses, turbo blocks,\n"
                 "tones and pulse sequences, and CSW the signal's\n"
                 "every edge at the recording's rate; with the\n"
                 "classic method and --merge they hold the blocks\n"
                 "as standard-speed blocks with a pause of 1000 ms\n"
                 "after each")
      ->type_name(OutputFormats::AllNames());
  app.add_option("--method", method, "decoding method (default robust)")
      ->type_name("robust|classic");
  app.add_option("--zero", zero, "classic: zero-bit pulse range in read steps\n" +
                                     range(defaults.zeroMin, defaults.zeroMax))
      ->type_name("MIN:MAX");
  app.add_option("--one", one, "classic: one-bit pulse range " +
                                   range(defaults.oneMin, defaults.oneMax))
      ->type_name("MIN:MAX");
  app.add_option("--pilot", pilot, "classic: pilot pulse range " +
                                       range(defaults.pilotMin, defaults.pilotMax))
      ->type_name("MIN:MAX");
  app.add_option("--level", level, "classic: manual threshold 0-255\n(selects the manual level)")
      ->type_name("N");
  app.add_option("--auto", points,
                 "classic: automatic threshold over a window of\nN frames (the default mode, N = " +
                     NumberText(defaults.autoPoints) + ")")
      ->type_name("N");
  app.add_option("--channels", channels,
                 "channels to decode. robust: auto (default: the\n"
                 "mix, and each channel where a block of the mix\n"
                 "fails; the best reading of every block kept),\n"
                 "both (the mix), left, right.\n"
                 "classic: both (default), left, right, none")
      ->type_name("auto|both|left|right|none");
  app.add_option("-o,--output-dir", options.outputDir,
                 "write the outputs there, made when missing\n(default: beside each recording)")
      ->type_name("DIR");
  app.add_flag("--merge", options.merge,
               "the recordings are takes of one tape: decode\n"
               "each (robust method) and write one set of\n"
               "outputs with the best copy of every block, a\n"
               "block no take gives whole voted bit by bit")
  ;
  app.add_option("--name", options.name,
                 "the outputs' title, with --merge or one\n"
                 "recording (default: the first recording's name)")
      ->type_name("TITLE");
  app.add_flag("--force", options.force,
               "--merge: merge takes even when they share no\n"
               "verified block (they look like different tapes)");
  app.add_flag("--report", options.report,
               "also write TITLE.json (the run, every recording\n"
               "and every block, machine-readable) and TITLE.log\n"
               "(the block lines, UTF-8)");
  std::string jobs;
  app.add_option("-j,--jobs", jobs,
                 "convert N recordings at once (default: one per\n"
                 "core); 1 also decodes each in one thread. The\n"
                 "lines and outputs are the same either way")
      ->type_name("N");
  app.add_flag("-q,--quiet", options.quiet,
               "print only errors, warnings and the lines of\nbad blocks");
  app.add_option("recordings", options.recordings, "the recordings to convert")
      ->type_name("RECORDING")
      ->required();

  const auto code = [](int status) { return std::to_string(status); };
  app.footer("Exit status: " + code(EXIT_ALL_GOOD) + " every block good; " + code(EXIT_DAMAGED) +
             " written, but some block bad or cut short;\n" + code(EXIT_NOTHING_FOUND) +
             " no block found, nothing written; " + code(EXIT_NOT_CONVERTED) +
             " a recording not read or not written;\n" + code(EXIT_USAGE) +
             " a usage error, nothing written. Of several recordings the worst\ncounts, in "
             "the order " + code(EXIT_NOT_CONVERTED) + ", " + code(EXIT_NOTHING_FOUND) + ", " +
             code(EXIT_DAMAGED) + ", " + code(EXIT_ALL_GOOD) + ".");
  try {
    app.parse(argc, argv);
    options.formats = OutputFormats::None();
    // Any case, spaces around the names: "TZX", "tap, tzx".
    std::string list;
    for (char c : formats)
      if (c != ' ' && c != '\t') list += static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    for (std::size_t at = 0; at <= list.size();) {
      std::size_t comma = list.find(',', at);
      if (comma == std::string::npos) comma = list.size();
      if (!options.formats.Add(list.substr(at, comma - at)))
        BadValue("--format", formats, "a comma list of " + OutputFormats::AllNames());
      at = comma + 1;
    }
    if (method == "robust") options.method = Method::ROBUST;
    else if (method == "classic") options.method = Method::CLASSIC;
    else BadValue("--method", method, "robust or classic");

    if (app.count("--jobs")) {
      options.jobs = RequireInteger("--jobs", jobs);
      if (options.jobs < 1) BadValue("--jobs", jobs, "a whole number of 1 or more");
    }
    if (!options.merge && app.count("--name") && options.recordings.size() != 1)
      throw CLI::ValidationError("--name", "names the outputs of one recording or of --merge");
    if (options.merge && options.recordings.size() < 2)
      throw CLI::ValidationError("--merge", "needs two or more takes of the tape; one take is "
                                            "converted without --merge");
    if (!options.merge && options.force)
      throw CLI::ValidationError("--force", "is an option of --merge");
    if (options.report && options.method == Method::CLASSIC)
      throw CLI::ValidationError("--report", "reports runs of the robust method only");
    if (options.merge && options.method == Method::CLASSIC)
      throw CLI::ValidationError("--merge", "decodes with the robust method only");
    if (options.name.find('/') != std::string::npos)
      throw CLI::ValidationError("--name", "is a title, not a path; use -o for the folder");
    if (options.method == Method::ROBUST) {
      for (const char* option : {"--zero", "--one", "--pilot", "--level", "--auto"}) {
        if (app.count(option))
          throw CLI::ValidationError(option, "is an option of --method classic");
      }
      if (channels.empty() || channels == "auto") options.channels = ChannelMode::AUTO;
      else if (channels == "both") options.channels = ChannelMode::MIX;
      else if (channels == "left") options.channels = ChannelMode::LEFT;
      else if (channels == "right") options.channels = ChannelMode::RIGHT;
      else BadValue("--channels", channels, "one of auto, both, left, right");
      return std::nullopt;
    }

    DecodeSettings& settings = options.settings;
    if (app.count("--zero")) ApplyRange("--zero", zero, settings.zeroMin, settings.zeroMax);
    if (app.count("--one")) ApplyRange("--one", one, settings.oneMin, settings.oneMax);
    if (app.count("--pilot")) ApplyRange("--pilot", pilot, settings.pilotMin, settings.pilotMax);
    if (app.count("--level") && app.count("--auto"))
      throw CLI::ValidationError("--level", "--level and --auto choose different modes; give one");
    if (app.count("--level")) {
      settings.levelMode = LEVEL_MANUAL;
      settings.manualLevel = RequireInteger("--level", level);
    }
    if (app.count("--auto")) {
      settings.levelMode = LEVEL_AUTO;
      settings.autoPoints = RequireInteger("--auto", points);
    }
    if (channels.empty()) channels = "both";
    if (channels != "both" && channels != "left" && channels != "right" && channels != "none")
      BadValue("--channels", channels, "one of both, left, right, none with --method classic");
    settings.useLeft = channels == "both" || channels == "left";
    settings.useRight = channels == "both" || channels == "right";
  } catch (const CLI::ParseError& error) {
    const int status = app.exit(error, out, err);
    return status == static_cast<int>(CLI::ExitCodes::Success) ? 0 : EXIT_USAGE;
  }
  return std::nullopt;
}

}  // namespace tapedecoder
