#include "convert/robust_run.h"

#include <algorithm>
#include <filesystem>
#include <memory>
#include <new>

#include "robust/block_chooser.h"
#include "robust/robust_decoder.h"
#include "tape/tape_output.h"
#include "tapefile/edge_extractor.h"
#include "tapefile/part_merge.h"
#include "tapefile/pulse_segmenter.h"
#include "convert/tape_files.h"

namespace tapedecoder {

namespace {

// Samples per stream read at a time: large enough to keep the per-call
// cost small, small enough to keep memory flat.
constexpr std::size_t kChunkSamples = 1 << 16;

std::vector<ChannelChoice> StreamsFor(ChannelMode mode, int channels) {
  switch (mode) {
    case ChannelMode::AUTO: {
      // The mix first: where the streams read a stretch equally well, the
      // mix is kept.
      std::vector<ChannelChoice> choices = AutomaticChoices(channels);
      std::stable_partition(choices.begin(), choices.end(),
                            [](ChannelChoice c) { return c == ChannelChoice::MIX; });
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
  summary.romTiming = block.romTiming;
  summary.timing = block.timing;
  return summary;
}

}  // namespace

bool DecodeRecording(const std::string& fileName, const RobustRunOptions& options,
                     const std::function<void(TapeBlock&&)>& onBlock, RobustReport& report) {
  std::unique_ptr<CSampleInput> input = CSampleInput::Open(fileName, report.input);
  if (!input) {
    report.status = report.input.failure == InputFailure::NO_MEMORY ? ConversionStatus::NO_MEMORY
                                                                    : ConversionStatus::CANNOT_OPEN;
    return false;
  }
  report.info = input->Info();
  report.sampleRate = input->OutputRate();
  if (options.beforeDecoding && !options.beforeDecoding(report)) return false;

  const std::vector<ChannelChoice> streams = StreamsFor(options.channels, report.info.channels);
  if (!input->Select(streams)) {
    report.status = ConversionStatus::NO_MEMORY;
    return false;
  }
  CBlockChooser chooser(static_cast<int>(streams.size()), [&](TapeBlock&& block) {
    if (block.bytes.empty()) return;
    report.blocks.push_back(Summarise(block, static_cast<int>(report.blocks.size()) + 1));
    (report.blocks.back().good ? report.goodBlocks : report.badBlocks)++;
    onBlock(std::move(block));
  });
  const double rate = input->OutputRate();
  std::vector<std::unique_ptr<CRobustDecoder>> decoders;
  for (std::size_t i = 0; i < streams.size(); ++i) {
    const int stream = static_cast<int>(i);
    decoders.push_back(std::make_unique<CRobustDecoder>(
        rate, [&chooser, stream](TapeBlock&& block) { chooser.Add(stream, std::move(block)); },
        options.decoder));
  }

  std::vector<std::vector<float>> chunk;
  std::uint64_t fed = 0;
  for (;;) {
    const std::size_t count = input->Read(chunk, kChunkSamples);
    if (count == 0) break;
    for (std::size_t i = 0; i < decoders.size(); ++i) decoders[i]->Feed(chunk[i].data(), count);
    if (options.onSamples) options.onSamples(chunk[0].data(), count);
    fed += count;
    chooser.Advance(static_cast<double>(fed) / rate);
    if (options.onSettled) {
      double settled = chooser.PendingFrom();
      for (const auto& decoder : decoders) settled = std::min(settled, decoder->PendingFrom());
      options.onSettled(settled);
    }
    if (options.progress) options.progress(input->Progress());
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

RobustReport RunRobustConversion(const std::string& fileName, const std::string& title,
                                 const RobustRunOptions& options) {
  RobustReport report;
  const TapeResult result = WriteTape({title, options.formats, {fileName}}, [&](CTapeFeed& feed) {
    const bool parts = feed.Needs(TapeNeeds::PARTS);
    std::unique_ptr<EdgeExtractor> extractor;
    std::unique_ptr<CPulseSegmenter> segmenter;
    std::unique_ptr<CPartMerger> merger;
    std::vector<BlockSummary> listed;  // with parts: the listing's blocks
    double sampleSeconds = 0.0;        // one sample of the decoded streams
    RobustRunOptions decoding = options;
    // Outputs are created only once the recording has been opened.
    decoding.beforeDecoding = [&](RobustReport& r) {
      TapeContext context;
      context.info = ImageInfo{ToolName(), std::filesystem::path(fileName).filename().string()};
      context.timed = true;
      context.sampleRate = r.info.rate;
      if (!feed.Start(context)) {
        r.status = ConversionStatus::CANNOT_WRITE;
        return false;
      }
      sampleSeconds = 1.0 / r.sampleRate;
      if (parts) {
        extractor = std::make_unique<EdgeExtractor>(r.sampleRate);
        merger = std::make_unique<CPartMerger>(
            [&feed](TapePart&& part) { feed.Part(part); },
            [&feed, &listed](const TapeBlock& block, bool decoded) {
              feed.Block(block, decoded);
              listed.push_back(Summarise(block, static_cast<int>(listed.size()) + 1));
            });
        segmenter = std::make_unique<CPulseSegmenter>(
            [&merger](TapePart&& part) { merger->Found(std::move(part)); });
      }
      return true;
    };
    if (parts) decoding.onSamples = [&](const float* samples, std::size_t count) {
      extractor->Feed(samples, count);
      const std::vector<Edge> found = extractor->TakeEdges();
      segmenter->Feed(found.data(), found.size());
      // An edge found later lies after the sample before the last.
      segmenter->Advance(extractor->DurationTstates() - sampleSeconds * TSTATES_PER_SECOND);
    };
    if (parts) decoding.onSettled = [&](double robustFrom) {
      const double now = extractor->DurationTstates() / TSTATES_PER_SECOND - sampleSeconds;
      merger->Settle(robustFrom, segmenter->PendingFrom(now));
    };
    const bool decoded = DecodeRecording(fileName, decoding, [&](TapeBlock&& block) {
      if (parts) {
        merger->Robust(std::move(block));
      } else {
        feed.Block(block);
      }
    }, report);
    if (!decoded) return report.status;
    if (parts) {
      segmenter->Finish();
      merger->Finish();
      report.blocks = std::move(listed);
      report.goodBlocks = report.badBlocks = 0;
      for (const BlockSummary& block : report.blocks) (block.good ? report.goodBlocks : report.badBlocks)++;
    }
    feed.End(extractor ? extractor->DurationTstates() / TSTATES_PER_SECOND : report.seconds);
    return ConversionStatus::COMPLETE;
  });
  report.status = result.status;
  report.output = result.output;
  report.outputs = result.outputs;
  return report;
}

}  // namespace tapedecoder
