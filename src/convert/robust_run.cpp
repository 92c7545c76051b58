#include "convert/robust_run.h"

#include <algorithm>
#include <filesystem>
#include <memory>
#include <new>

#include <zlib.h>

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

// Bits below this confidence are weak; a run of WEAK_RUN of them marks
// where the signal broke (a dropout, a splice), where one weak bit alone
// may be a click.
constexpr float WEAK_BIT = 0.3f;
constexpr std::size_t WEAK_RUN = 4;

// A bad block that ends this close to the end of what was read was cut
// short by it, seconds.
constexpr double CUT_MARGIN = 0.25;

}  // namespace

BlockSummary SummariseBlock(const TapeBlock& block, int number) {
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
  summary.mendedBits = block.mendedBits;
  summary.mendedAt = block.mendedAt;
  summary.unmendedGaps = block.unmendedGaps;
  summary.romTiming = block.romTiming;
  summary.timing = block.timing;
  summary.crc32 = static_cast<std::uint32_t>(
      crc32(0L, block.bytes.data(), static_cast<uInt>(block.bytes.size())));
  summary.stream = block.stream;
  const std::vector<float>& confidence = block.bitConfidence;
  if (!confidence.empty()) {
    const auto weakest = std::min_element(confidence.begin(), confidence.end());
    summary.weakest = *weakest;
    if (!summary.good && block.bitSeconds.size() == confidence.size()) {
      // The first run of weak bits, else the one weak bit; none when every
      // bit read clearly (then the data stopped early, or the tape was
      // saved that way).
      std::optional<std::size_t> broke;
      if (*weakest < WEAK_BIT) broke = static_cast<std::size_t>(weakest - confidence.begin());
      for (std::size_t i = 0, run = 0; i < confidence.size(); ++i) {
        run = confidence[i] < WEAK_BIT ? run + 1 : 0;
        if (run == WEAK_RUN) {
          broke = i + 1 - WEAK_RUN;
          break;
        }
      }
      if (broke) summary.brokeSeconds = block.bitSeconds[*broke];
    }
  }
  return summary;
}

void ExplainBlocks(std::vector<BlockSummary>& blocks, double endSeconds, bool readStopped) {
  for (std::size_t i = 0; i < blocks.size(); ++i) {
    BlockSummary& block = blocks[i];
    const BlockSummary* before = i > 0 ? &blocks[i - 1] : nullptr;
    // A header announces the data block right after it (flag, data, checksum).
    if (before != nullptr && before->header && block.flag != 0 && !block.header)
      block.announced = static_cast<std::size_t>(before->header->length) + 2;
    // Bits that all read clearly but too few of them: the signal stopped.
    if (!block.good && !block.brokeSeconds && block.announced && *block.announced > block.length)
      block.brokeSeconds = block.endSeconds;
    if (!block.good && block.endSeconds >= endSeconds - CUT_MARGIN)
      block.cut = readStopped ? BlockCut::READ_STOPPED : BlockCut::RECORDING_END;
  }
}

SignalShares MeasureShares(const std::vector<TapePart>& parts, double seconds) {
  SignalShares shares;
  if (!(seconds > 0.0)) return shares;
  shares.measured = true;
  double blocks = 0.0, tones = 0.0, pauses = 0.0, at = 0.0;
  for (const TapePart& part : parts) {
    double start = 0.0, end = 0.0;
    if (const TapeBlock* block = std::get_if<TapeBlock>(&part)) {
      start = block->startSeconds;
      end = block->endSeconds;
      blocks += std::max(0.0, end - start);
    } else {
      const PulseStretch& stretch = std::get<PulseStretch>(part);
      double length = 0.0;
      for (double pulse : stretch.pulses) length += pulse;
      start = stretch.startSeconds;
      end = start + length / TSTATES_PER_SECOND;
      if (stretch.kind == StretchKind::TONE) tones += end - start;
    }
    pauses += std::max(0.0, start - at);
    at = std::max(at, end);
  }
  pauses += std::max(0.0, seconds - at);
  shares.blocks = std::min(1.0, blocks / seconds);
  shares.tones = std::min(1.0, tones / seconds);
  shares.pauses = std::min(1.0, pauses / seconds);
  return shares;
}

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
  report.streams = streams;
  if (!input->Select(streams)) {
    report.status = ConversionStatus::NO_MEMORY;
    return false;
  }
  CBlockChooser chooser(static_cast<int>(streams.size()), [&](TapeBlock&& block) {
    if (block.bytes.empty()) return;
    report.blocks.push_back(SummariseBlock(block, static_cast<int>(report.blocks.size()) + 1));
    (report.blocks.back().good ? report.goodBlocks : report.badBlocks)++;
    onBlock(std::move(block));
  });
  const double rate = input->OutputRate();
  std::vector<std::unique_ptr<CRobustDecoder>> decoders;
  for (std::size_t i = 0; i < streams.size(); ++i) {
    const int stream = static_cast<int>(i);
    decoders.push_back(std::make_unique<CRobustDecoder>(
        rate,
        [&chooser, stream](TapeBlock&& block) {
          block.stream = stream;
          chooser.Add(stream, std::move(block));
        },
        options.decoder));
  }

  std::vector<std::vector<float>> chunk;
  std::uint64_t fed = 0;
  for (;;) {
    if (options.cancel != nullptr && options.cancel->load(std::memory_order_relaxed)) {
      report.cancelled = true;
      return false;
    }
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
    if (input->Error().failure == InputFailure::NO_MEMORY) {
      report.status = ConversionStatus::NO_MEMORY;
      return false;
    }
    report.input = input->Error();
    report.readStopped = true;
  }
  ExplainBlocks(report.blocks, report.seconds, report.readStopped);
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
  const bool segment = images || options.measureShares;
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
          r.status = ConversionStatus::CANNOT_WRITE;
          r.output = OutputFailure{OutputFailure::IS_INPUT, output, 0};
          return false;
        }
      }
      const int tap = formats.tap ? outputs.Add(tapPath) : -1;
      const int txt = formats.tap && tap < 0 ? -1 : outputs.Add(txtPath);
      if (txt < 0) {
        r.status = ConversionStatus::CANNOT_WRITE;
        r.output = outputs.Failure();
        return false;
      }
      image = std::make_unique<CTapImageWriter>(outputs, tap);
      listing = std::make_unique<CListingWriter>(outputs, txt);
      if (segment) edges = std::make_unique<EdgeExtractor>(r.sampleRate);
      return true;
    };
    if (segment) decoding.onSamples = [&](const float* samples, std::size_t count) {
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
    std::vector<TapePart> parts;
    if (segment) {
      edges->Finish();
      const std::vector<TapePart> found = SegmentEdges(edges->Edges());
      std::vector<TapeBlock> verified;
      for (const TapeBlock& block : robustBlocks)
        if (ChecksumGood(block.bytes)) verified.push_back(block);
      if (!images)
        for (const BlockSummary& block : report.blocks)
          if (block.good) {
            // Only the span matters to the shares.
            TapeBlock span;
            span.startSeconds = span.dataSeconds = block.startSeconds;
            span.endSeconds = block.endSeconds;
            verified.push_back(std::move(span));
          }
      parts = MergeRobustBlocks(verified, found);
      report.shares = MeasureShares(parts, report.seconds);
    }
    if (images) {
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
        report.blocks.push_back(SummariseBlock(*block, static_cast<int>(report.blocks.size()) + 1));
        report.blocks.back().inTap = formats.tap && fromRobust;
        (report.blocks.back().good ? report.goodBlocks : report.badBlocks)++;
      }
      ExplainBlocks(report.blocks, report.seconds, report.readStopped);
      const double seconds = edges->DurationTstates() / TSTATES_PER_SECOND;
      if (!WriteImages(outputs, title, formats, &parts, seconds, {},
                       std::filesystem::path(fileName).filename().string(), report.output,
                       report.outputs)) {
        report.status = ConversionStatus::CANNOT_WRITE;
        if (report.output.what == OutputFailure::NONE) report.output = outputs.Failure();
        return report;
      }
    }
    if (!formats.tap)
      for (BlockSummary& block : report.blocks) block.inTap = false;
    if (report.blocks.empty() && !options.writeEmpty) {
      report.outputs.clear();
      report.status = ConversionStatus::NOTHING_FOUND;
      return report;  // the output set discards its temporaries
    }
    if (options.beforeCommit && !options.beforeCommit(outputs, report)) {
      report.status = ConversionStatus::CANNOT_WRITE;
      report.output = outputs.Failure();
      return report;
    }
    if (!outputs.Commit()) {
      report.status = ConversionStatus::CANNOT_WRITE;
      report.output = outputs.Failure();
      return report;
    }
    report.status = ConversionStatus::COMPLETE;
    return report;
  } catch (const std::bad_alloc&) {
    report.status = ConversionStatus::NO_MEMORY;
    return report;
  }
}

}  // namespace tapedecoder
