#include "convert/merge_run.h"

#include <algorithm>
#include <filesystem>
#include <memory>
#include <new>

#include "merge/tape_merger.h"
#include "robust/robust_decoder.h"
#include "tape/tape_output.h"

namespace tapedecoder {

namespace {

// Weak bits in a row that end a block in the second reading of the takes,
// made when some block verifies in no take: it reads on through a dropout
// of up to about a tenth of a second rather than stopping after 24, so that
// the bits after it are there to vote (the reader's loop keeps counting
// bits by time through the gap, and the voter lines the takes up again
// after it). The first reading keeps the decoder's own ends: reading on
// would also run a block on into noise after it.
constexpr int BRIDGE_BITS = 200;

// Decodes one take with the decoder's `tuning`, collecting its blocks.
bool DecodeTake(const std::string& fileName, const MergeRunOptions& options, int take,
                const RobustOptions& tuning, std::vector<TapeBlock>& blocks, RobustReport& report) {
  RobustRunOptions run;
  run.channels = options.channels;
  run.decoder = tuning;
  if (options.progress)
    run.progress = [&options, take](const InputProgress& progress) { options.progress(take, progress); };
  return DecodeRecording(fileName, run, [&blocks](TapeBlock&& block) {
    blocks.push_back(std::move(block));
  }, report);
}

}  // namespace

MergeReport RunMergeConversion(const std::vector<std::string>& takes, const std::string& title,
                               const MergeRunOptions& options) {
  MergeReport report;
  try {
    const std::string tapPath = OutputPath(title, "tap");
    const std::string txtPath = OutputPath(title, "txt");
    if (takes.empty()) {
      report.failure.kind = FailureKind::NO_TAKES;
      return report;
    }
    // Outputs never replace a take.
    for (const std::string& take : takes) {
      for (const std::string& output : {tapPath, txtPath}) {
        std::error_code error;
        if (std::filesystem::equivalent(take, output, error)) {
          report.failure = Failure(FailureKind::OUTPUT_IS_INPUT, output);
          return report;
        }
      }
    }

    std::vector<std::vector<TapeBlock>> blocks(takes.size());
    for (std::size_t t = 0; t < takes.size(); ++t) {
      report.takes.emplace_back();
      RobustReport& decoded = report.takes.back();
      if (!DecodeTake(takes[t], options, static_cast<int>(t), RobustOptions{}, blocks[t], decoded)) {
        report.failure = decoded.failure;
        report.failedTake = static_cast<int>(t);
        return report;
      }
    }

    std::vector<double> seconds;
    for (const RobustReport& take : report.takes) seconds.push_back(take.seconds);
    std::vector<MergedBlock> merged = MergeTakes(blocks, seconds);
    const bool allGood = std::all_of(merged.begin(), merged.end(), [](const MergedBlock& m) { return m.good; });
    if (!allGood && takes.size() >= 2) {
      // Blocks no take gives whole: read the takes again on through their
      // dropouts, for the vote.
      std::vector<std::vector<TapeBlock>> bridged(takes.size());
      RobustOptions tuning;
      tuning.stopBits = BRIDGE_BITS;
      for (std::size_t t = 0; t < takes.size(); ++t) {
        RobustReport again;
        if (!DecodeTake(takes[t], options, static_cast<int>(t), tuning, bridged[t], again)) bridged[t].clear();
      }
      merged = MergeTakes(blocks, seconds, bridged);
    }
    blocks.clear();

    COutputSet outputs;
    const int tap = outputs.Add(tapPath);
    const int txt = tap < 0 ? -1 : outputs.Add(txtPath);
    if (txt < 0) {
      report.failure = outputs.Error();
      return report;
    }
    CTapImageWriter image(outputs, tap);
    CListingWriter listing(outputs, txt);
    for (const MergedBlock& m : merged) {
      image.Take(m.block);
      listing.Take(m.block);
      MergedBlockSummary summary;
      summary.number = static_cast<int>(report.blocks.size()) + 1;
      summary.length = m.block.bytes.size();
      summary.flag = m.block.bytes.empty() ? 0 : m.block.bytes[0];
      summary.good = m.good;
      summary.voted = m.voted;
      summary.take = m.voted ? -1 : m.block.take;
      summary.header = ParseRomHeader(m.block.bytes);
      summary.takeStarts = m.takeStarts;
      (summary.good ? report.goodBlocks : report.badBlocks)++;
      report.votedBlocks += summary.voted;
      report.blocks.push_back(std::move(summary));
    }
    if (!outputs.Commit()) {
      report.failure = outputs.Error();
      return report;
    }
    report.outputs = {tapPath, txtPath};
    return report;
  } catch (const std::bad_alloc&) {
    report.failure = Failure();
    report.failure.kind = FailureKind::NO_MEMORY;
    return report;
  }
}

}  // namespace tapedecoder
