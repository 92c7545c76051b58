// tapedecoder-cli: converts cassette recordings to .tap and .txt without the
// dialog, one RunConversion per recording.
#include <iostream>
#include <string>

#include "cli/cli_options.h"
#include "convert/conversion_run.h"
#include "convert/decode_settings.h"

using namespace tapedecoder;

int main(int argc, char** argv) {
  CliOptions options;
  if (const auto status = ParseCommandLine(argc, argv, options, std::cout, std::cerr))
    return *status;
  if (const auto problem = ValidateSettings(options.settings)) {
    std::cerr << problem->text << '\n';
    return EXIT_USAGE;
  }

  // Every recording is tried, whatever happened to the ones before it.
  int status = EXIT_ALL_CONVERTED;
  for (const std::string& recording : options.recordings) {
    const std::string title = OutputTitle(recording, options.outputDir);
    ConversionReport report;
    const UserMessage message = RunConversion(options.settings, recording, title, &report);
    if (report.written) {
      if (!options.quiet) {
        std::cout << recording << ": " << message.text << '\n'
                  << recording << ": " << report.blocks << " block"
                  << (report.blocks == 1 ? "" : "s") << " (" << report.goodBlocks
                  << " good, " << report.badBlocks << " bad) -> " << report.tapPath << ", "
                  << report.txtPath << '\n';
      }
    } else {
      std::cerr << recording << ": " << message.text << '\n'
                << recording << ": not converted (" << report.detail << ")\n";
      status = EXIT_SOME_FAILED;
    }
  }
  return status;
}
