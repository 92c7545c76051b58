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
  std::unique_ptr<CSampleInput> input = CSampleInput::Open(fileName, report.failure);
  if (!input) return false;
  report.info = input->Info();
  report.sampleRate = input->OutputRate();
  if (options.beforeDecoding && !options.beforeDecoding(report)) return false;

  const std::vector<ChannelChoice> streams = StreamsFor(options.channels, report.info.channels);
  if (!input->Select(streams)) {
    report.failure = Failure(FailureKind::NO_MEMORY, fileName);
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
    if (options.progress) options.progress(input->Progress());
  }
  for (auto& decoder : decoders) decoder->Finish();
  chooser.Finish();
  report.seconds = static_cast<double>(fed) / rate;
  if (input->Failed()) {
    if (input->Error().kind == FailureKind::NO_MEMORY) {
      report.failure = Failure(FailureKind::NO_MEMORY, fileName);
      return false;
    }
    report.readStop = input->Error();
    report.readStop.seconds = report.seconds;
  }
  return true;
}

namespace {

bool Overlaps(const TapeBlock& a, const TapeBlock& b) {
  return a.startSeconds < b.endSeconds && b.startSeconds < a.endSeconds;
}

}  // namespace

RobustReport RunRobustConversion(const std::string& fileName, const std::string& title,
                                 const RobustRunOptions& options) {
  RobustReport report;
  const OutputFormats& formats = options.formats;
  const bool images = formats.tzx || formats.pzx;
  const std::string tapPath = OutputPath(title, "tap");
  const std::string txtPath = OutputPath(title, "txt");
  try {
    COutputSet outputs;
    std::unique_ptr<CTapImageWriter> image;
    std::unique_ptr<CListingWriter> listing;
    std::unique_ptr<EdgeExtractor> edges;
    std::vector<TapeBlock> robustBlocks;  // kept only for the images
    RobustRunOptions decoding = options;
    // Outputs are created only once the recording has been opened, and
    // never over the recording itself.
    decoding.beforeDecoding = [&](RobustReport& r) {
      for (const char* extension : {"tap", "txt", "tzx", "pzx"}) {
        const std::string output = OutputPath(title, extension);
        std::error_code error;
        if (std::filesystem::equivalent(fileName, output, error)) {
          r.failure = Failure(FailureKind::OUTPUT_IS_INPUT, output);
          return false;
        }
      }
      const int tap = formats.tap ? outputs.Add(tapPath) : -1;
      const int txt = formats.tap && tap < 0 ? -1 : outputs.Add(txtPath);
      if (txt < 0) {
        r.failure = outputs.Error();
        return false;
      }
      image = std::make_unique<CTapImageWriter>(outputs, tap);
      listing = std::make_unique<CListingWriter>(outputs, txt);
      if (images) edges = std::make_unique<EdgeExtractor>(r.sampleRate);
      return true;
    };
    if (images) decoding.onSamples = [&](const float* samples, std::size_t count) {
      edges->Feed(samples, count);
    };
    const bool decoded = DecodeRecording(fileName, decoding, [&](TapeBlock&& block) {
      if (images) {
        robustBlocks.push_back(std::move(block));
        return;
      }
      if (formats.tap) image->Take(block);
      listing->Take(block);
    }, report);
    if (!decoded) return report;

    if (formats.tap) report.outputs.push_back(tapPath);
    report.outputs.push_back(txtPath);
    if (images) {
      edges->Finish();
      const std::vector<TapePart> found = SegmentEdges(edges->Edges());
      std::vector<TapeBlock> verified;
      for (const TapeBlock& block : robustBlocks)
        if (ChecksumGood(block.bytes)) verified.push_back(block);
      const std::vector<TapePart> parts = MergeRobustBlocks(verified, found);
      // The listing and the report: every robust block, and the blocks
      // only the pulse segmenter found (turbo blocks), in tape order.
      std::vector<const TapeBlock*> listed;
      for (const TapeBlock& block : robustBlocks) listed.push_back(&block);
      for (const TapePart& part : parts) {
        const TapeBlock* block = std::get_if<TapeBlock>(&part);
        if (block == nullptr || block->bytes.empty()) continue;
        bool known = false;
        for (const TapeBlock& robust : robustBlocks) known = known || Overlaps(robust, *block);
        if (!known) listed.push_back(block);
      }
      std::stable_sort(listed.begin(), listed.end(), [](const TapeBlock* a, const TapeBlock* b) {
        return a->startSeconds < b->startSeconds;
      });
      report.blocks.clear();
      report.goodBlocks = report.badBlocks = 0;
      for (const TapeBlock* block : listed) {
        const bool fromRobust = block >= robustBlocks.data() &&
                                block < robustBlocks.data() + robustBlocks.size();
        if (formats.tap && fromRobust) image->Take(*block);
        listing->Take(*block);
        report.blocks.push_back(Summarise(*block, static_cast<int>(report.blocks.size()) + 1));
        (report.blocks.back().good ? report.goodBlocks : report.badBlocks)++;
      }
      const double seconds = edges->DurationTstates() / TSTATES_PER_SECOND;
      if (!WriteImages(outputs, title, formats, &parts, seconds, {},
                       std::filesystem::path(fileName).filename().string(), report.failure,
                       report.outputs)) {
        if (!report.failure) report.failure = outputs.Error();
        return report;
      }
    }
    if (!outputs.Commit()) report.failure = outputs.Error();
    return report;
  } catch (const std::bad_alloc&) {
    report.failure = Failure(FailureKind::NO_MEMORY, fileName);
    return report;
  }
}

}  // namespace tapedecoder
