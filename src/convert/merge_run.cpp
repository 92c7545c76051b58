#include "convert/merge_run.h"

#include <algorithm>
#include <filesystem>
#include <memory>

#include "merge/tape_merger.h"
#include "robust/robust_decoder.h"
#include "convert/tape_files.h"

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

// True when `other` is a copy of the verified block `verified`, however
// damaged: the same bytes, or the same first 32 (the damage of a take
// usually comes later in a block), or nine in ten bytes the same. Blocks
// of different tapes agree in a byte by chance only; headers of the same
// type share their flag, type and trailing spaces, too few for either.
bool SameBlock(const TapeBlock& verified, const TapeBlock& other) {
  if (other.bytes == verified.bytes) return true;
  const std::size_t n = std::min(verified.bytes.size(), other.bytes.size());
  if (n < 8) return false;
  const std::size_t prefix = std::min<std::size_t>(32, n);
  if (std::equal(verified.bytes.begin(), verified.bytes.begin() + static_cast<std::ptrdiff_t>(prefix),
                 other.bytes.begin()))
    return true;
  std::size_t same = 0;
  for (std::size_t i = 0; i < n; ++i) same += verified.bytes[i] == other.bytes[i];
  return same * 10 >= n * 9;
}

// True when a block that verifies in take `a` has a copy, good or bad, in
// take `b`, or the other way round.
bool ShareBlock(const std::vector<TapeBlock>& a, const std::vector<TapeBlock>& b) {
  for (const auto* from : {&a, &b}) {
    const std::vector<TapeBlock>& to = from == &a ? b : a;
    for (const TapeBlock& block : *from) {
      if (!GoodBytes(block)) continue;
      for (const TapeBlock& other : to)
        if (SameBlock(block, other)) return true;
    }
  }
  return false;
}

// Finds two takes that share no block, directly or through other takes,
// among the takes that verify any block at all (a take that verifies
// nothing cannot be told apart, and may still help the vote). Returns false
// when all are linked.
bool FindDifferentTakes(const std::vector<std::vector<TapeBlock>>& blocks, int (&different)[2]) {
  const std::size_t takes = blocks.size();
  std::vector<bool> judged(takes, false);
  for (std::size_t t = 0; t < takes; ++t)
    for (const TapeBlock& block : blocks[t]) judged[t] = judged[t] || GoodBytes(block);
  // Grow the group of the first judged take; any judged take left outside
  // it is another tape.
  std::vector<bool> linked(takes, false);
  std::size_t first = 0;
  while (first < takes && !judged[first]) ++first;
  if (first == takes) return false;
  linked[first] = true;
  for (bool grew = true; grew;) {
    grew = false;
    for (std::size_t u = 0; u < takes; ++u) {
      if (linked[u] || !judged[u]) continue;
      for (std::size_t v = 0; v < takes && !linked[u]; ++v)
        if (linked[v] && ShareBlock(blocks[v], blocks[u])) linked[u] = grew = true;
    }
  }
  for (std::size_t t = 0; t < takes; ++t) {
    if (judged[t] && !linked[t]) {
      different[0] = static_cast<int>(first);
      different[1] = static_cast<int>(t);
      return true;
    }
  }
  return false;
}

}  // namespace

void SummariseMerged(const std::vector<MergedBlock>& merged, MergeReport& report) {
  for (const MergedBlock& m : merged) {
    MergedBlockSummary summary;
    summary.number = static_cast<int>(report.blocks.size()) + 1;
    summary.length = m.block.bytes.size();
    summary.flag = m.block.bytes.empty() ? 0 : m.block.bytes[0];
    summary.good = m.good;
    summary.voted = m.voted;
    summary.take = m.voted ? -1 : m.block.take;
    summary.header = ParseRomHeader(m.block.bytes);
    summary.takeStarts = m.takeStarts;
    summary.detail = SummariseBlock(m.block, summary.number);
    (summary.good ? report.goodBlocks : report.badBlocks)++;
    report.votedBlocks += summary.voted;
    report.blocks.push_back(std::move(summary));
  }
  std::vector<BlockSummary> details;
  for (const MergedBlockSummary& block : report.blocks) details.push_back(block.detail);
  ExplainBlocks(details, 0.0, false);  // only what headers announce: the takes end apart
  for (std::size_t i = 0; i < details.size(); ++i) {
    report.blocks[i].detail.announced = details[i].announced;
    report.blocks[i].detail.brokeSeconds = details[i].brokeSeconds;
    report.blocks[i].detail.cut = BlockCut::NONE;
  }
}

MergeReport RunMergeConversion(const std::vector<std::string>& takes, const std::string& title,
                               const MergeRunOptions& options) {
  MergeReport report;
  if (takes.empty()) {
    report.failure.kind = FailureKind::NO_TAKES;
    return report;
  }
  static_cast<RunReport&>(report) = WriteTape({title, options.formats, takes}, [&](CTapeFeed& feed) {
    std::vector<std::vector<TapeBlock>> blocks(takes.size());
    for (std::size_t t = 0; t < takes.size(); ++t) {
      report.takes.emplace_back();
      RobustReport& decoded = report.takes.back();
      if (!DecodeTake(takes[t], options, static_cast<int>(t), RobustOptions{}, blocks[t], decoded)) {
        report.failedTake = static_cast<int>(t);
        return decoded.failure;
      }
    }

    if (!options.allowDifferentTapes && FindDifferentTakes(blocks, report.differentTakes))
      return Failure(FailureKind::TAKES_DIFFER, std::string());

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
    if (merged.empty() && !options.writeEmpty) return Failure(FailureKind::NOTHING_FOUND, title);

    // The merged blocks have no one timeline: the images play them at ROM
    // timing, at the takes' rate when they share one.
    TapeContext context;
    context.info = ImageInfo{ToolName(), std::filesystem::path(takes.front()).filename().string()};
    context.sampleRate = report.takes.front().info.rate;
    for (const RobustReport& take : report.takes)
      if (take.info.rate != report.takes.front().info.rate) context.sampleRate = 0.0;
    if (!feed.Start(context)) return feed.Error();
    const bool parts = feed.Needs(TapeNeeds::PARTS);
    for (const MergedBlock& m : merged) {
      feed.Block(m.block);
      if (parts) feed.Part(TapePart(m.block));
    }
    SummariseMerged(merged, report);
    feed.ReportBeforeCommit(report, options.beforeCommit);
    return Failure();
  });
  return report;
}

}  // namespace tapedecoder
