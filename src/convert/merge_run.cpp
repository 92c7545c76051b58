#include "convert/merge_run.h"

#include <algorithm>
#include <filesystem>
#include <memory>
#include <new>

#include "merge/tape_merger.h"
#include "robust/block_chooser.h"
#include "robust/robust_decoder.h"
#include "tape/tape_output.h"

namespace tapedecoder {

namespace {

// Samples per stream read at a time.
constexpr std::size_t CHUNK_SAMPLES = 1 << 16;
// Weak bits in a row that end a block in the second reading of the takes,
// made when some block verifies in no take: it reads on through a dropout
// of up to about a tenth of a second rather than stopping after 24, so that
// the bits after it are there to vote (the reader's loop keeps counting
// bits by time through the gap, and the voter lines the takes up again
// after it). The first reading keeps the decoder's own ends: reading on
// would also run a block on into noise after it.
constexpr int BRIDGE_BITS = 200;

// The streams decoded for `mode`, the mix first (as the robust run does).
std::vector<ChannelChoice> StreamsFor(ChannelMode mode, int channels) {
  switch (mode) {
    case ChannelMode::AUTO: {
      std::vector<ChannelChoice> choices;
      for (ChannelChoice c : AutomaticChoices(channels)) {
        if (c == ChannelChoice::MIX) choices.push_back(c);
      }
      for (ChannelChoice c : AutomaticChoices(channels)) {
        if (c != ChannelChoice::MIX) choices.push_back(c);
      }
      return choices;
    }
    case ChannelMode::MIX: return {channels > 1 ? ChannelChoice::MIX : ChannelChoice::LEFT};
    case ChannelMode::LEFT: return {ChannelChoice::LEFT};
    case ChannelMode::RIGHT: return {ChannelChoice::RIGHT};
  }
  return {ChannelChoice::LEFT};
}

BlockSummary Summarise(const TapeBlock& block, int number) {
  BlockSummary summary;
  summary.number = number;
  summary.startSeconds = block.startSeconds;
  summary.endSeconds = block.endSeconds;
  summary.length = block.bytes.size();
  summary.flag = block.bytes.empty() ? 0 : block.bytes[0];
  summary.good = ChecksumGood(block.bytes);
  summary.header = ParseRomHeader(block.bytes);
  if (block.timing.pilot > 0.0) summary.speed = ROM_PILOT_PULSE / block.timing.pilot;
  summary.origin = block.origin;
  return summary;
}

// Decodes one take like DecodeRecording, with the decoder's `tuning`.
bool DecodeTake(const std::string& fileName, const MergeRunOptions& options, int take,
                const RobustOptions& tuning, std::vector<TapeBlock>& blocks, RobustReport& report) {
  std::unique_ptr<CSampleInput> input = CSampleInput::Open(fileName, report.input);
  if (!input) {
    report.status = report.input.failure == InputFailure::NO_MEMORY ? ConversionStatus::NO_MEMORY
                                                                    : ConversionStatus::CANNOT_OPEN;
    return false;
  }
  report.info = input->Info();
  const std::vector<ChannelChoice> streams = StreamsFor(options.channels, report.info.channels);
  if (!input->Select(streams)) {
    report.status = ConversionStatus::NO_MEMORY;
    return false;
  }
  CBlockChooser chooser(static_cast<int>(streams.size()), [&](TapeBlock&& block) {
    if (block.bytes.empty()) return;
    report.blocks.push_back(Summarise(block, static_cast<int>(report.blocks.size()) + 1));
    (report.blocks.back().good ? report.goodBlocks : report.badBlocks)++;
    blocks.push_back(std::move(block));
  });
  const double rate = input->OutputRate();
  std::vector<std::unique_ptr<CRobustDecoder>> decoders;
  for (std::size_t i = 0; i < streams.size(); ++i) {
    const int stream = static_cast<int>(i);
    decoders.push_back(std::make_unique<CRobustDecoder>(
        rate, [&chooser, stream](TapeBlock&& block) { chooser.Add(stream, std::move(block)); }, tuning));
  }
  std::vector<std::vector<float>> chunk;
  std::uint64_t fed = 0;
  for (;;) {
    const std::size_t count = input->Read(chunk, CHUNK_SAMPLES);
    if (count == 0) break;
    for (std::size_t i = 0; i < decoders.size(); ++i) decoders[i]->Feed(chunk[i].data(), count);
    fed += count;
    chooser.Advance(static_cast<double>(fed) / rate);
    if (options.progress) options.progress(take, input->Progress());
  }
  for (auto& decoder : decoders) decoder->Finish();
  chooser.Finish();
  report.seconds = static_cast<double>(fed) / rate;
  if (input->Failed()) {
    if (input->Error().failure == InputFailure::NO_MEMORY) {
      report.status = ConversionStatus::NO_MEMORY;
      return false;
    }
    report.input = input->Error();
    report.readStopped = true;
  }
  return true;
}

}  // namespace

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
      report.takes.emplace_back();
      RobustReport& decoded = report.takes.back();
      if (!DecodeTake(takes[t], options, static_cast<int>(t), RobustOptions{}, blocks[t], decoded)) {
        report.status = decoded.status;
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
