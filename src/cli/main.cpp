// tapedecoder-cli: converts cassette recordings to .tap and .txt without the
// dialog, one conversion per recording.
#include <malloc.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include "cli/cli_options.h"
#include "cli/messages.h"
#include "cli/outcome.h"
#include "cli/parallel_runs.h"
#include "convert/conversion_run.h"
#include "convert/merge_run.h"
#include "convert/robust_run.h"
#include "convert/run_report.h"
#include "io/output_set.h"

using namespace tapedecoder;

namespace {

namespace fs = std::filesystem;

// A block of the run stayed bad: the run ends with the hint that another
// take can mend it (once, however many there were).
std::atomic<bool> g_badBlockSeen{false};

// Why a classic recording was not converted, with what to do about it.
std::string FailureText(const ConversionReport& report) {
  const Failure& failure = report.failure;
  // Memory that ran out before the recording was loaded held its samples.
  if (failure.kind == FailureKind::NO_MEMORY && !report.Opened())
    return "not enough memory for the samples";
  std::string text = DescribeFailure(failure);
  if (failure.Class() != FailureClass::INPUT) return text;
  const std::string hint = ClassicRefusalHint(failure);
  return hint.empty() ? text : text + "; " + hint;
}

std::string Summary(const std::string& recording, int good, int bad,
                    const std::vector<std::string>& outputs) {
  const int blocks = good + bad;
  std::string text = recording + ": " + std::to_string(blocks) + " block" +
                     (blocks == 1 ? "" : "s") + " (" + std::to_string(good) + " good, " +
                     std::to_string(bad) + " bad) ->";
  for (std::size_t i = 0; i < outputs.size(); ++i) text += (i == 0 ? " " : ", ") + outputs[i];
  return text;
}

bool IsEmptyFile(const std::string& path) {
  std::error_code error;
  return fs::is_regular_file(path, error) && fs::file_size(path, error) == 0 && !error;
}

void SayNothingFound(const std::string& recording) {
  Err() << recording << ": " << NothingFoundText() << '\n';
}

// What one run prints and, with --report, logs: the block lines (each
// flagged bad or not), the warnings and the summary.
struct RunLines {
  std::vector<std::pair<std::string, bool>> blocks;
  std::vector<std::string> warnings;  // without the "recording: " before them
  std::string summary;

  // Prints them: warnings to standard error; with `quiet` only the lines
  // of bad blocks on standard output.
  void Print(const std::string& warningPrefix, bool quiet) const {
    for (const std::string& warning : warnings) Err() << warningPrefix << warning << '\n';
    for (const auto& [line, bad] : blocks)
      if (!quiet || bad) Out() << line << '\n';
    if (!quiet && !summary.empty()) Out() << summary << '\n';
  }
  // The log file: every line as printed, in UTF-8 with LF.
  std::string Log(const std::string& warningPrefix) const {
    std::string text;
    for (const std::string& warning : warnings) text += warningPrefix + warning + '\n';
    for (const auto& block : blocks) text += block.first + '\n';
    return text + summary + '\n';
  }
};

std::string ReadStoppedWarning(const RobustReport& report, const char* after) {
  return "warning: reading stopped at " + ClockText(report.seconds) + ": " +
         DescribeFailure(report.readStop) + "; " + after;
}

// Adds TITLE.json and TITLE.log to the output set.
bool AddReport(COutputSet& outputs, const std::string& title, const std::string& json,
               const std::string& log) {
  const int jsonIndex = outputs.Add(OutputPath(title, "json"));
  if (jsonIndex < 0) return false;
  outputs.Write(jsonIndex, json.data(), json.size());
  const int logIndex = outputs.Add(OutputPath(title, "log"));
  if (logIndex < 0) return false;
  outputs.Write(logIndex, log.data(), log.size());
  return !outputs.Failed();
}

std::vector<std::string> WithReport(std::vector<std::string> outputs, const std::string& title,
                                    bool report) {
  if (report) {
    outputs.push_back(OutputPath(title, "json"));
    outputs.push_back(OutputPath(title, "log"));
  }
  return outputs;
}

Outcome ConvertClassic(const CliOptions& options, const std::string& recording,
                       const std::string& title) {
  if (IsEmptyFile(recording)) {
    Err() << recording << ": not converted: " << EmptyRecordingText() << '\n';
    return Outcome::NOT_CONVERTED;
  }
  const ConversionReport report =
      RunConversion(options.settings, recording, title, options.formats, false);
  if (report.failure.kind == FailureKind::NOTHING_FOUND) {
    SayNothingFound(recording);
  } else if (!report.Written()) {
    Err() << recording << ": not converted: " << FailureText(report) << '\n';
  } else if (!options.quiet || report.badBlocks > 0) {
    // The classic method prints no block lines: quiet, the summary is the
    // line that tells of bad blocks.
    Out() << Summary(recording, report.goodBlocks, report.badBlocks, report.outputs) << '\n';
  }
  return OutcomeOf(report.failure, report.badBlocks, false);
}

// A progress line on a terminal, shown once a run takes longer than a
// second and cleared when it ends.
class ProgressLine {
 public:
  ProgressLine(const std::string& recording, bool enabled)
      : m_recording(recording), m_enabled(enabled && !HoldingLines() && isatty(STDERR_FILENO) == 1),
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

// The lines of a robust run, its outputs being `outputs`.
RunLines RobustLines(const std::string& recording, const RobustReport& report,
                     const std::vector<std::string>& outputs) {
  RunLines lines;
  if (report.readStop)
    lines.warnings.push_back(ReadStoppedWarning(report, "the outputs hold what came before"));
  for (const BlockSummary& block : report.blocks)
    lines.blocks.emplace_back(recording + ": " + DescribeBlock(block) + ExplainBadBlock(block),
                              !block.good);
  if (report.structured) lines.blocks.emplace_back(recording + ": " + DescribeTally(report.tally), false);
  lines.summary = Summary(recording, report.goodBlocks, report.badBlocks, outputs);
  return lines;
}

Outcome ConvertRobust(const CliOptions& options, const std::string& recording,
                      const std::string& title) {
  if (IsEmptyFile(recording)) {
    Err() << recording << ": not converted: " << EmptyRecordingText() << '\n';
    return Outcome::NOT_CONVERTED;
  }
  RobustReport report;
  {
    ProgressLine progress(recording, !options.quiet);
    RobustRunOptions run;
    run.channels = options.channels;
    run.formats = options.formats;
    run.measureShares = options.report;
    run.threads = options.jobs != 1;
    run.cores = SpareCores();
    run.progress = [&progress](const InputProgress& p) { progress.Update(p); };
    if (options.report) {
      run.beforeCommit = [&](COutputSet& outputs, const RobustReport& r) {
        const RunLines lines = RobustLines(recording, r, WithReport(r.outputs, title, true));
        return AddReport(outputs, title,
                         RobustReportJson(title, recording, r, lines.warnings),
                         lines.Log(recording + ": "));
      };
    }
    report = RunRobustConversion(recording, title, run);
  }
  if (report.failure.kind == FailureKind::NOTHING_FOUND) {
    if (report.readStop)
      Err() << recording << ": " << ReadStoppedWarning(report, "nothing came before") << '\n';
    SayNothingFound(recording);
  } else if (!report.Written()) {
    Err() << recording << ": not converted: " << DescribeFailure(report.failure) << '\n';
  } else {
    RobustLines(recording, report, WithReport(report.outputs, title, options.report))
        .Print(recording + ": ", options.quiet);
  }
  g_badBlockSeen = g_badBlockSeen || (report.Written() && report.badBlocks > 0);
  return OutcomeOf(report.failure, report.badBlocks, bool(report.readStop));
}

// The lines of a merge of `takes` into `title`, its outputs being `outputs`.
RunLines MergeLines(const std::vector<std::string>& takes, const std::string& title,
                    const MergeReport& report, const std::vector<std::string>& outputs) {
  RunLines lines;
  for (std::size_t t = 0; t < report.takes.size() && t < takes.size(); ++t)
    if (report.takes[t].readStop)
      lines.warnings.push_back(takes[t] + ": " +
                               ReadStoppedWarning(report.takes[t], "the merge uses what came before"));
  for (const MergedBlockSummary& block : report.blocks) {
    const int take = block.voted || block.take < 0 ? 0 : block.take + 1;
    lines.blocks.emplace_back(
        title + ": " + DescribeMergedBlock(block) + ExplainBadBlock(block.detail, take), !block.good);
  }
  const int blocks = report.goodBlocks + report.badBlocks;
  lines.summary = title + ": " + std::to_string(blocks) + " block" + (blocks == 1 ? "" : "s") +
                  " (" + std::to_string(report.goodBlocks) + " good, " +
                  std::to_string(report.badBlocks) + " bad, " + std::to_string(report.votedBlocks) +
                  " voted) from " + TakesText(report.takes.size()) + " ->";
  for (std::size_t i = 0; i < outputs.size(); ++i) lines.summary += (i == 0 ? " " : ", ") + outputs[i];
  return lines;
}

// The output title of a run: the recording's name, or --name, in -o or
// beside the recording.
std::string TitleFor(const CliOptions& options, const std::string& recording) {
  if (options.name.empty()) return OutputTitle(recording, options.outputDir);
  return OutputTitle(options.name + ".tap", options.outputDir.empty()
                                                ? fs::path(recording).parent_path().string()
                                                : options.outputDir);
}

Outcome ConvertTakes(const CliOptions& options) {
  const std::vector<std::string>& takes = options.recordings;
  const std::string title = TitleFor(options, takes.front());
  for (std::size_t t = 1; t < takes.size(); ++t) {
    for (std::size_t u = 0; u < t; ++u) {
      std::error_code error;
      if (fs::equivalent(takes[u], takes[t], error)) {
        Err() << SameTakeTwiceText(takes[u], takes[t]) << '\n';
        break;
      }
    }
  }
  MergeReport report;
  {
    ProgressLine progress(takes.front(), !options.quiet);
    MergeRunOptions run;
    run.channels = options.channels;
    run.formats = options.formats;
    run.allowDifferentTapes = options.force;
    run.progress = [&progress](int, const InputProgress& p) { progress.Update(p); };
    if (options.report) {
      run.beforeCommit = [&](COutputSet& outputs, const MergeReport& r) {
        const RunLines lines = MergeLines(takes, title, r, WithReport(r.outputs, title, true));
        std::vector<std::vector<std::string>> warnings(r.takes.size());
        for (std::size_t t = 0; t < r.takes.size(); ++t)
          if (r.takes[t].readStop)
            warnings[t].push_back(ReadStoppedWarning(r.takes[t], "the merge uses what came before"));
        return AddReport(outputs, title, MergeReportJson(title, takes, r, warnings), lines.Log(""));
      };
    }
    report = RunMergeConversion(takes, title, run);
  }
  if (report.Written()) {
    MergeLines(takes, title, report, WithReport(report.outputs, title, options.report))
        .Print("", options.quiet);
  } else {
    for (std::size_t t = 0; t < report.takes.size(); ++t)
      if (report.takes[t].readStop)
        Err() << takes[t] << ": "
                  << ReadStoppedWarning(report.takes[t], "the merge uses what came before") << '\n';
    if (report.failure.kind == FailureKind::TAKES_DIFFER) {
      Err() << "tapedecoder-cli: "
                << DifferentTapesText(takes[static_cast<std::size_t>(report.differentTakes[0])],
                                      takes[static_cast<std::size_t>(report.differentTakes[1])])
                << '\n';
    } else if (report.failure.kind == FailureKind::NOTHING_FOUND) {
      SayNothingFound(title);
    } else {
      std::string why = DescribeFailure(report.failure);
      std::string which = title;
      if (report.failedTake >= 0) {
        which = takes[static_cast<std::size_t>(report.failedTake)];
        if (report.failure.kind != FailureKind::NO_MEMORY && IsEmptyFile(which)) why = EmptyRecordingText();
      }
      Err() << which << ": not merged: " << why << '\n';
    }
  }
  bool stopped = false;
  for (const RobustReport& take : report.takes) stopped = stopped || take.readStop;
  g_badBlockSeen = g_badBlockSeen || (report.Written() && report.badBlocks > 0);
  return OutcomeOf(report.failure, report.badBlocks, stopped);
}

// Refuses, before anything is decoded, what would lose a result or is
// surely a slip: a recording argument that names no file but a tape image,
// and two recordings that would write the same outputs. Returns the usage
// error, empty when the run may go on.
std::string CheckRun(const CliOptions& options) {
  for (std::size_t i = 1; i < options.recordings.size(); ++i) {
    const std::string& argument = options.recordings[i];
    std::string extension = fs::path(argument).extension().string();
    for (char& c : extension) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    std::error_code error;
    if (!fs::exists(argument, error) && (extension == ".tap" || extension == ".tzx" || extension == ".pzx"))
      return LooksLikeOutputText(argument);
  }
  if (options.merge) return "";
  std::vector<std::pair<std::string, std::string>> seen;  // the listing's path, the recording
  for (const std::string& recording : options.recordings) {
    const std::string title = TitleFor(options, recording);
    const std::string key = fs::absolute(OutputPath(title, "txt")).lexically_normal().string();
    for (const auto& [other, first] : seen) {
      if (other == key) {
        // The first output the two would both write.
        const char* image = "txt";
        for (const OutputFormat& format : AllFormats())
          if (!format.always && options.formats.Writes(format)) {
            image = format.extension;
            break;
          }
        return SameOutputsText(first, recording, OutputPath(title, image));
      }
    }
    seen.emplace_back(key, recording);
  }
  return "";
}

}  // namespace

int main(int argc, char** argv) {
  // A decode allocates and frees buffers of megabytes (a block's bits and
  // edges) over and over: kept in the heap rather than handed back to the
  // system and asked for again, their pages are not zeroed and mapped anew
  // each time, which costs about a tenth of a fast run. What is kept is
  // bounded by these two sizes, whatever the recording's length.
  mallopt(M_MMAP_THRESHOLD, 32 << 20);
  mallopt(M_TRIM_THRESHOLD, 64 << 20);
  // An interrupted run leaves no temporaries and the earlier outputs whole.
  InstallInterruptCleanup();
  CliOptions options;
  if (const auto status = ParseCommandLine(argc, argv, options, Out(), Err()))
    return *status;
  if (options.method == Method::CLASSIC) {
    if (const SettingsProblem problem = CheckSettings(options.settings)) {
      Err() << "tapedecoder-cli: " << DescribeSettingsProblem(problem) << '\n';
      return EXIT_USAGE;
    }
  }
  if (const std::string problem = CheckRun(options); !problem.empty()) {
    Err() << "tapedecoder-cli: " << problem << '\n';
    return EXIT_USAGE;
  }
  // A missing output folder is made (one level: a mistyped path deeper
  // down still fails rather than growing a tree).
  std::error_code error;
  if (!options.outputDir.empty() && !fs::exists(options.outputDir, error))
    fs::create_directory(options.outputDir, error);

  std::vector<Outcome> outcomes;
  if (options.merge) {
    outcomes.push_back(ConvertTakes(options));
  } else {
    // Every recording is tried, whatever happened to the ones before it;
    // several at once, printed as one after the other.
    const int jobs = options.jobs > 0 ? options.jobs
                                      : static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
    const std::vector<int> results = RunInOrder(options.recordings.size(), jobs, [&](std::size_t i) {
      const std::string& recording = options.recordings[i];
      const std::string title = TitleFor(options, recording);
      return static_cast<int>(options.method == Method::CLASSIC ? ConvertClassic(options, recording, title)
                                                                : ConvertRobust(options, recording, title));
    });
    for (int result : results) outcomes.push_back(static_cast<Outcome>(result));
  }
  if (!options.quiet && g_badBlockSeen) Out() << MergeHint(options.merge) << '\n';
  return ExitStatus(outcomes);
}
