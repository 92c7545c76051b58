// tapedecoder-cli: converts cassette recordings to .tap and .txt without the
// dialog, one conversion per recording.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

#include "cli/cli_options.h"
#include "cli/messages.h"
#include "convert/conversion_run.h"
#include "convert/merge_run.h"
#include "convert/robust_run.h"
#include "io/output_set.h"

using namespace tapedecoder;

namespace {

std::string Summary(const std::string& recording, int good, int bad,
                    const std::vector<std::string>& outputs) {
  const int blocks = good + bad;
  std::string text = recording + ": " + std::to_string(blocks) + " block" +
                     (blocks == 1 ? "" : "s") + " (" + std::to_string(good) + " good, " +
                     std::to_string(bad) + " bad) ->";
  for (std::size_t i = 0; i < outputs.size(); ++i) text += (i == 0 ? " " : ", ") + outputs[i];
  return text;
}

bool ConvertClassic(const CliOptions& options, const std::string& recording,
                    const std::string& title) {
  const ConversionReport report =
      RunConversion(options.settings, recording, title, options.formats);
  if (!report.Written()) {
    std::cerr << recording << ": not converted: " << DescribeFailure(report.failure) << '\n';
    return false;
  }
  if (!options.quiet)
    std::cout << Summary(recording, report.goodBlocks, report.badBlocks, report.outputs) << '\n';
  return true;
}

// A progress line on a terminal, shown once a run takes longer than a
// second and cleared when it ends.
class ProgressLine {
 public:
  ProgressLine(const std::string& recording, bool enabled)
      : m_recording(recording), m_enabled(enabled && isatty(STDERR_FILENO) == 1),
        m_start(std::chrono::steady_clock::now()) {}
  ~ProgressLine() {
    if (m_shown) std::fputs("\r\033[K", stderr);
  }
  void Update(const InputProgress& progress) {
    if (!m_enabled) return;
    const auto now = std::chrono::steady_clock::now();
    if (now - m_start < std::chrono::seconds(1) ||
        (m_shown && now - m_last < std::chrono::milliseconds(200)))
      return;
    m_last = now;
    m_shown = true;
    if (progress.total > 0) {
      std::fprintf(stderr, "\r\033[K%s: %3.0f %%", m_recording.c_str(),
                   100.0 * static_cast<double>(progress.done) / static_cast<double>(progress.total));
    } else {
      std::fprintf(stderr, "\r\033[K%s: reading", m_recording.c_str());
    }
    std::fflush(stderr);
  }

 private:
  std::string m_recording;
  bool m_enabled;
  bool m_shown = false;
  std::chrono::steady_clock::time_point m_start;
  std::chrono::steady_clock::time_point m_last;
};

bool ConvertRobust(const CliOptions& options, const std::string& recording,
                   const std::string& title) {
  RobustReport report;
  {
    ProgressLine progress(recording, !options.quiet);
    RobustRunOptions run;
    run.channels = options.channels;
    run.formats = options.formats;
    run.progress = [&progress](const InputProgress& p) { progress.Update(p); };
    report = RunRobustConversion(recording, title, run);
  }
  if (!report.Written()) {
    std::cerr << recording << ": not converted: " << DescribeFailure(report.failure) << '\n';
    return false;
  }
  if (report.readStop) {
    std::cerr << recording << ": warning: reading stopped at " << ClockText(report.readStop.seconds)
              << ": " << DescribeFailure(report.readStop) << "; the outputs hold what came before\n";
  }
  if (!options.quiet) {
    for (const BlockSummary& block : report.blocks)
      std::cout << recording << ": " << DescribeBlock(block) << '\n';
    std::cout << Summary(recording, report.goodBlocks, report.badBlocks, report.outputs) << '\n';
  }
  return true;
}

bool ConvertTakes(const CliOptions& options) {
  const std::string& first = options.recordings.front();
  std::string title = OutputTitle(first, options.outputDir);
  if (!options.name.empty())
    title = OutputTitle(options.name + ".tap", options.outputDir.empty()
                                                   ? std::filesystem::path(first).parent_path().string()
                                                   : options.outputDir);
  MergeReport report;
  {
    ProgressLine progress(first, !options.quiet);
    MergeRunOptions run;
    run.channels = options.channels;
    run.progress = [&progress](int, const InputProgress& p) { progress.Update(p); };
    report = RunMergeConversion(options.recordings, title, run);
  }
  for (std::size_t t = 0; t < report.takes.size(); ++t) {
    const Failure& stop = report.takes[t].readStop;
    if (stop)
      std::cerr << options.recordings[t] << ": warning: reading stopped at " << ClockText(stop.seconds)
                << ": " << DescribeFailure(stop) << "; the merge uses what came before\n";
  }
  if (!report.Written()) {
    const std::string which = report.failedTake >= 0
                                  ? options.recordings[static_cast<std::size_t>(report.failedTake)]
                                  : title;
    std::cerr << which << ": not merged: " << DescribeFailure(report.failure) << '\n';
    return false;
  }
  if (!options.quiet) {
    for (const MergedBlockSummary& block : report.blocks)
      std::cout << title << ": " << DescribeMergedBlock(block) << '\n';
    const int blocks = report.goodBlocks + report.badBlocks;
    std::cout << title << ": " << blocks << " block" << (blocks == 1 ? "" : "s") << " ("
              << report.goodBlocks << " good, " << report.badBlocks << " bad, "
              << report.votedBlocks << " voted) from " << report.takes.size() << " takes ->";
    for (std::size_t i = 0; i < report.outputs.size(); ++i)
      std::cout << (i == 0 ? " " : ", ") << report.outputs[i];
    std::cout << '\n';
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  // An interrupted run leaves no temporaries and the earlier outputs whole.
  InstallInterruptCleanup();
  CliOptions options;
  if (const auto status = ParseCommandLine(argc, argv, options, std::cout, std::cerr))
    return *status;
  if (options.method == Method::CLASSIC) {
    if (const SettingsProblem problem = CheckSettings(options.settings)) {
      std::cerr << "tapedecoder-cli: " << DescribeSettingsProblem(problem) << '\n';
      return EXIT_USAGE;
    }
  }

  if (options.merge) return ConvertTakes(options) ? EXIT_ALL_CONVERTED : EXIT_SOME_FAILED;

  // Every recording is tried, whatever happened to the ones before it.
  int status = EXIT_ALL_CONVERTED;
  for (const std::string& recording : options.recordings) {
    const std::string title = OutputTitle(recording, options.outputDir);
    const bool converted = options.method == Method::CLASSIC
                               ? ConvertClassic(options, recording, title)
                               : ConvertRobust(options, recording, title);
    if (!converted) status = EXIT_SOME_FAILED;
  }
  return status;
}
