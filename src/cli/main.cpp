// tapedecoder-cli: converts cassette recordings to .tap and .txt without the
// dialog, one conversion per recording.
#include <iostream>
#include <string>

#include "cli/cli_options.h"
#include "cli/messages.h"
#include "convert/conversion_run.h"

using namespace tapedecoder;

namespace {

// Why a recording was not converted.
std::string FailureText(const ConversionReport& report) {
  switch (report.status) {
    case ConversionStatus::CANNOT_OPEN: return DescribeWaveError(report.waveError);
    case ConversionStatus::CANNOT_WRITE: return DescribeOutputFailure(report.output);
    case ConversionStatus::NO_MEMORY: return "not enough memory";
    case ConversionStatus::COMPLETE: break;
  }
  return "no error";
}

}  // namespace

int main(int argc, char** argv) {
  CliOptions options;
  if (const auto status = ParseCommandLine(argc, argv, options, std::cout, std::cerr))
    return *status;
  if (const SettingsProblem problem = CheckSettings(options.settings)) {
    std::cerr << "tapedecoder-cli: " << DescribeSettingsProblem(problem) << '\n';
    return EXIT_USAGE;
  }

  // Every recording is tried, whatever happened to the ones before it.
  int status = EXIT_ALL_CONVERTED;
  for (const std::string& recording : options.recordings) {
    const std::string title = OutputTitle(recording, options.outputDir);
    const ConversionReport report = RunConversion(options.settings, recording, title);
    if (report.Written()) {
      if (!options.quiet) {
        std::cout << recording << ": " << report.blocks << " block"
                  << (report.blocks == 1 ? "" : "s") << " (" << report.goodBlocks
                  << " good, " << report.badBlocks << " bad) -> " << report.tapPath << ", "
                  << report.txtPath << '\n';
      }
    } else {
      std::cerr << recording << ": not converted: " << FailureText(report) << '\n';
      status = EXIT_SOME_FAILED;
    }
  }
  return status;
}
