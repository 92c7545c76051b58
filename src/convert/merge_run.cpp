#include "convert/merge_run.h"

#include <filesystem>
#include <memory>
#include <new>

#include "merge/tape_merger.h"
#include "tape/tape_output.h"

namespace tapedecoder {

MergeReport RunMergeConversion(const std::vector<std::string>& takes, const std::string& title,
                               const MergeRunOptions& options) {
  MergeReport report;
  try {
    const std::string tapPath = OutputPath(title, "tap");
    const std::string txtPath = OutputPath(title, "txt");
    if (takes.empty()) return report;
    // Outputs never replace a take.
    for (const std::string& take : takes) {
      for (const std::string& output : {tapPath, txtPath}) {
        std::error_code error;
        if (std::filesystem::equivalent(take, output, error)) {
          report.status = ConversionStatus::CANNOT_WRITE;
          report.output = OutputFailure{OutputFailure::IS_INPUT, output, 0};
          return report;
        }
      }
    }

    std::vector<std::vector<TapeBlock>> blocks(takes.size());
    for (std::size_t t = 0; t < takes.size(); ++t) {
      RobustRunOptions decoding;
      decoding.channels = options.channels;
      if (options.progress) {
        const int take = static_cast<int>(t);
        decoding.progress = [&options, take](const InputProgress& p) { options.progress(take, p); };
      }
      report.takes.emplace_back();
      RobustReport& decoded = report.takes.back();
      if (!DecodeRecording(takes[t], decoding,
                           [&](TapeBlock&& block) { blocks[t].push_back(std::move(block)); }, decoded)) {
        report.status = decoded.status;
        report.failedTake = static_cast<int>(t);
        return report;
      }
    }

    std::vector<MergedBlock> merged = MergeTakes(blocks);
    blocks.clear();

    COutputSet outputs;
    const int tap = outputs.Add(tapPath);
    const int txt = tap < 0 ? -1 : outputs.Add(txtPath);
    if (txt < 0) {
      report.status = ConversionStatus::CANNOT_WRITE;
      report.output = outputs.Failure();
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
      report.status = ConversionStatus::CANNOT_WRITE;
      report.output = outputs.Failure();
      return report;
    }
    report.outputs = {tapPath, txtPath};
    report.status = ConversionStatus::COMPLETE;
    return report;
  } catch (const std::bad_alloc&) {
    report.status = ConversionStatus::NO_MEMORY;
    return report;
  }
}

}  // namespace tapedecoder
