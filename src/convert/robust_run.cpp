#include "convert/robust_run.h"

#include <algorithm>
#include <cmath>
#include <deque>
#include <filesystem>
#include <limits>
#include <memory>
#include <new>
#include <thread>

#include <sndfile.h>
#include <zlib.h>

#include "audio/read_ahead.h"
#include "convert/channel_retry.h"
#include "convert/task_team.h"
#include "robust/block_chooser.h"
#include "robust/robust_decoder.h"
#include "robust/turbo_reread.h"
#include "tape/tape_output.h"
#include "tapefile/edge_extractor.h"
#include "tapefile/part_merge.h"
#include "tapefile/pulse_segmenter.h"
#include "tapefile/symbol_runs.h"
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

// One stream of a recording read again from any sample, for a decoder's
// retry readers (CRobustDecoder::SetRereader): the recording opened a
// second time and moved to the sample asked for. Only where that gives
// exactly the samples the stream was fed: a sound file the library can
// seek in, stored as plain integers or floats (FLAC included, not lossy
// formats, whose decoders may start differently after a seek), at its own
// rate (no rate raising, whose filter carries the past), and one channel
// taken as it is, or the mix once it is fixed (its level trackers carry
// the past: it is taken up again from the input's latest snapshot of them
// before the sample asked for).
class CStreamRereader {
 public:
  // Null when the stream cannot be read again exactly. The input outlives
  // a rereader of its mix.
  static std::unique_ptr<CStreamRereader> Open(const std::string& fileName, const CSampleInput& input,
                                               ChannelChoice choice, bool mixFixed = false) {
    const InputInfo& info = input.Info();
    if (info.kind != InputKind::AUDIO || input.Upsampling() != 1) return nullptr;
    const bool mix = choice == ChannelChoice::MIX && info.channels > 1;
    if (mix && !mixFixed) return nullptr;
    switch (info.format & SF_FORMAT_SUBMASK) {
      case SF_FORMAT_PCM_S8: case SF_FORMAT_PCM_U8: case SF_FORMAT_PCM_16: case SF_FORMAT_PCM_24:
      case SF_FORMAT_PCM_32: case SF_FORMAT_FLOAT: case SF_FORMAT_DOUBLE: break;
      default: return nullptr;
    }
    Failure error;
    std::unique_ptr<CSampleSource> source = OpenSampleSource(fileName, error);
    if (!source || source->Info().channels != info.channels || source->Rate() != input.OutputRate() ||
        !source->Seek(0))
      return nullptr;
    auto reader = std::make_unique<CStreamRereader>();
    reader->m_source = std::move(source);
    reader->m_channels = static_cast<std::size_t>(info.channels);
    reader->m_channel = choice == ChannelChoice::RIGHT && info.channels > 1 ? 1 : 0;
    if (mix) {
      reader->m_mixOf = &input;
      reader->m_weights = input.MixWeights();
      reader->m_next = -1;  // the mixer starts at a snapshot
    }
    return reader;
  }

  std::size_t Read(std::int64_t first, float* out, std::size_t max) {
    if (first != m_next) {
      if (first < 0) return 0;
      std::uint64_t from = static_cast<std::uint64_t>(first);
      std::vector<double> means;
      if (m_mixOf != nullptr && !m_mixOf->MixSnapshot(from, from, means)) return 0;
      if (!m_source->Seek(from)) return 0;
      m_next = static_cast<std::int64_t>(from);
      if (m_mixOf != nullptr) m_mixer.Resume(static_cast<int>(m_channels), m_source->Rate(), m_weights, means);
      // The mix's trackers go on from the snapshot up to the sample asked for.
      while (m_next < first) {
        const std::size_t skip = ReadFrames(std::min(static_cast<std::size_t>(first - m_next), FRAMES));
        if (skip == 0) return 0;
        m_next += static_cast<std::int64_t>(skip);
      }
    }
    std::size_t done = 0;
    while (done < max) {
      const std::size_t got = ReadFrames(std::min(max - done, FRAMES));
      if (got == 0) break;
      if (m_mixOf != nullptr) {
        std::copy(m_mixed[0].begin(), m_mixed[0].end(), out + done);
      } else {
        for (std::size_t i = 0; i < got; ++i) out[done + i] = m_frames[i * m_channels + m_channel];
      }
      done += got;
    }
    m_next += static_cast<std::int64_t>(done);
    return done;
  }

 private:
  // Reads up to `want` frames into m_frames, and their mix into m_mixed[0].
  std::size_t ReadFrames(std::size_t want) {
    m_frames.resize(want * m_channels);
    const std::size_t got = m_source->Read(m_frames.data(), want);
    if (m_mixOf != nullptr && got > 0) {
      m_mixed.resize(1);
      m_mixed[0].clear();
      m_mixer.Push(m_frames.data(), got, m_mixed);
    }
    return got;
  }

  static constexpr std::size_t FRAMES = 8192;  // read at a time
  std::unique_ptr<CSampleSource> m_source;
  std::size_t m_channels = 1;
  std::size_t m_channel = 0;
  std::int64_t m_next = 0;  // the frame the source reads next
  std::vector<float> m_frames;
  // The mix: the input that keeps its snapshots, its weights, and a mixer
  // taken up from a snapshot.
  const CSampleInput* m_mixOf = nullptr;
  std::vector<int> m_weights;
  CChannelMixer m_mixer;
  std::vector<std::vector<float>> m_mixed;
};

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
  summary.good = ChecksumGood(block);
  summary.header = ParseRomHeader(block.bytes);
  if (block.timing.pilot > 0.0) summary.speed = ROM_PILOT_PULSE / block.timing.pilot;
  summary.origin = block.origin;
  summary.mendedBits = block.mendedBits;
  summary.mendedAt = block.mendedAt;
  summary.mendedGaps = block.mendedGaps;
  summary.unmendedGaps = block.unmendedGaps;
  summary.mendedFromCopy = block.mendedFromCopy;
  summary.mendGuessed = block.mendGuessed;
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

void CShareMeter::Add(const TapePart& part) {
  double start = 0.0, end = 0.0;
  if (const TapeBlock* block = std::get_if<TapeBlock>(&part)) {
    start = block->startSeconds;
    end = block->endSeconds;
    m_blocks += std::max(0.0, end - start);
  } else {
    const PulseStretch& stretch = std::get<PulseStretch>(part);
    double length = 0.0;
    for (double pulse : stretch.pulses) length += pulse;
    start = stretch.startSeconds;
    end = start + length / TSTATES_PER_SECOND;
    if (stretch.kind == StretchKind::TONE) m_tones += end - start;
  }
  m_pauses += std::max(0.0, start - m_at);
  m_at = std::max(m_at, end);
}

SignalShares CShareMeter::Shares(double seconds) const {
  SignalShares shares;
  if (!(seconds > 0.0)) return shares;
  shares.measured = true;
  const double pauses = m_pauses + std::max(0.0, seconds - m_at);
  shares.blocks = std::min(1.0, m_blocks / seconds);
  shares.tones = std::min(1.0, m_tones / seconds);
  shares.pauses = std::min(1.0, pauses / seconds);
  return shares;
}

SignalShares MeasureShares(const std::vector<TapePart>& parts, double seconds) {
  CShareMeter meter;
  for (const TapePart& part : parts) meter.Add(part);
  return meter.Shares(seconds);
}

namespace {

// A part the segmenter's stage found, or a block read again there by the
// box trackers (`robust`), on its way to the merger.
struct Segmented {
  TapePart part;
  bool robust = false;
};

}  // namespace

bool DecodeRecording(const std::string& fileName, const RobustRunOptions& options,
                     const std::function<void(TapeBlock&&)>& onBlock, RobustReport& report) {
  std::unique_ptr<CSampleInput> input = CSampleInput::Open(fileName, report.failure);
  if (!input) return false;
  report.info = input->Info();
  report.sampleRate = input->OutputRate();
  if (options.beforeDecoding && !options.beforeDecoding(report)) return false;

  const std::vector<ChannelChoice> streams = StreamsFor(options.channels, report.info.channels);
  report.streams = streams;
  if (!input->Select(streams)) {
    report.failure = Failure(FailureKind::NO_MEMORY, fileName);
    return false;
  }
  CBlockChooser chooser(static_cast<int>(streams.size()), [&](TapeBlock&& block) {
    // A tone or a click pattern read as bits is no block: it stays what
    // it is on the tape (the images keep it as pulses).
    if (RepeatsOrTooShort(block.bytes)) return;
    report.blocks.push_back(SummariseBlock(block, static_cast<int>(report.blocks.size()) + 1));
    (report.blocks.back().good ? report.goodBlocks : report.badBlocks)++;
    onBlock(std::move(block));
  });
  const double rate = input->OutputRate();
  // Each stream's decoder keeps its blocks until the step that fed it has
  // ended; they then go to the chooser stream by stream, as a serial run
  // hands them over (the chooser decides nothing before Advance).
  std::vector<std::vector<TapeBlock>> found(streams.size());
  std::vector<std::unique_ptr<CRobustDecoder>> decoders;
  std::vector<std::unique_ptr<CStreamRereader>> rereaders;
  for (std::size_t i = 0; i < streams.size(); ++i) {
    const int stream = static_cast<int>(i);
    decoders.push_back(std::make_unique<CRobustDecoder>(
        rate,
        [&found, stream](TapeBlock&& block) {
          block.stream = stream;
          found[static_cast<std::size_t>(stream)].push_back(std::move(block));
        },
        options.decoder));
    // The retry readers read a block again from the file only where the
    // first readers fail it; elsewhere they read side by side with them.
    rereaders.push_back(options.rereadRetries ? CStreamRereader::Open(fileName, *input, streams[i]) : nullptr);
    if (CStreamRereader* rereader = rereaders.back().get())
      decoders.back()->SetRereader([rereader](std::int64_t first, float* out, std::size_t max) {
        return rereader->Read(first, out, max);
      });
  }
  // Helper threads from the start, or once a spare core is free (handed
  // back when the run ends, after the threads have).
  bool helpers = options.cores == nullptr && options.threads;
  struct CoreHeld {
    CCoreBudget* budget = nullptr;
    ~CoreHeld() {
      if (budget != nullptr) budget->Give();
    }
  } core;
  // A stereo recording whose mix is coherent decodes the mix alone and
  // reads the channels again only where a mix block fails (channel_retry);
  // otherwise every stream is decoded side by side. The input then splits
  // no channels (it learns the mix is coherent before it delivers any).
  std::unique_ptr<CChannelRetry> retry;
  if (streams.size() == 3 && streams.front() == ChannelChoice::MIX &&
      (retry = CChannelRetry::Open(fileName, options.decoder, helpers)) && !input->DropChannelsWhenCoherent())
    retry.reset();
  std::size_t fedStreams = decoders.size();
  const auto handOver = [&](std::vector<std::vector<TapeBlock>>& blocks) {
    for (std::size_t i = 0; i < blocks.size(); ++i) {
      for (TapeBlock& block : blocks[i]) {
        if (retry && (block.mendGuessed || !BlockVerifies(block.bytes)))
          retry->Retry(block, [&](int c, TapeBlock&& b) { b.stream = c + 1; chooser.Add(c + 1, std::move(b)); });
        chooser.Add(static_cast<int>(i), std::move(block));
      }
      blocks[i].clear();
    }
  };

  // Reading runs ahead on a thread of its own; the streams' decoders run
  // side by side on the team, and the first stream's other consumer is a
  // pipeline stage of its own, a few chunks ahead of them. What follows a
  // chunk (its blocks handed over, the stage's outcome, the settled time)
  // is done in chunk order once both have read it, as a serial run does.
  CReadAhead reader(*input, kChunkSamples, helpers);
  CTaskTeam team(helpers ? decoders.size() - 1 : 0);
  CPipeStage<float> stage(options.onSamples, helpers && options.onSamples);
  if (helpers && options.onHelpers) options.onHelpers();
  // A chunk the decoders have read, waiting for the stage.
  struct Step {
    std::vector<std::vector<TapeBlock>> found;  // the blocks its streams' decoders handed over
    std::uint64_t fed = 0;                      // samples up to its end
    double decodersFrom = 0.0;                  // no block of theirs starts before (seconds)
    InputProgress progress;
  };
  std::deque<Step> steps;
  const auto conclude = [&] {
    Step& step = steps.front();
    if (options.onSamples)
      if (const CPipeStage<float>::Outcome outcome = stage.Take()) outcome();
    handOver(step.found);
    chooser.Advance(static_cast<double>(step.fed) / rate);
    if (options.onSettled) options.onSettled(std::min(chooser.PendingFrom(), step.decodersFrom));
    if (options.progress) options.progress(step.progress);
    steps.pop_front();
  };
  std::uint64_t fed = 0;
  for (;;) {
    if (options.cancel != nullptr && options.cancel->load(std::memory_order_relaxed)) {
      report.failure = Failure(FailureKind::CANCELLED, fileName);
      return false;
    }
    if (!helpers && options.cores != nullptr && options.cores->Take()) {
      core.budget = options.cores;
      helpers = true;
      reader.Thread();
      team.Grow(decoders.size() - 1);
      if (options.onSamples) stage.Thread();  // every step so far is concluded
      if (options.onHelpers) options.onHelpers();
      if (retry) retry->Thread();
    }
    SampleChunk& chunk = reader.Next();
    const std::size_t count = chunk.count;
    if (count == 0) break;
    if (fed == 0 && retry) {
      if (chunk.mixAlone)
        fedStreams = 1;  // the mix (StreamsFor puts it first)
      else
        retry.reset();
    }
    // A mix decided before its first sample can be read again too; its
    // decoder learns so before its first Feed.
    for (std::size_t i = 0; fed == 0 && chunk.mixFixed && options.rereadRetries && i < streams.size(); ++i) {
      if (streams[i] != ChannelChoice::MIX || rereaders[i]) continue;
      rereaders[i] = CStreamRereader::Open(fileName, *input, streams[i], true);
      if (CStreamRereader* rereader = rereaders[i].get())
        decoders[i]->SetRereader([rereader](std::int64_t first, float* out, std::size_t max) {
          return rereader->Read(first, out, max);
        });
    }
    // On a thread of its own the stage takes the first stream's buffer
    // once the decoders are done with it (no copy), and works on the chunk
    // while they read the next; without, it works before them, as always.
    const bool stageAfter = stage.Threaded();
    if (options.onSamples && !stageAfter) stage.Push(chunk.streams[0].data(), count);
    team.Run(fedStreams, [&](std::size_t i) { decoders[i]->Feed(chunk.streams[i].data(), count); });
    if (options.onSamples && stageAfter) {
      while (stage.Full()) conclude();
      stage.Push(chunk.streams[0]);
    }
    fed += count;
    Step step;
    step.found.swap(found);
    found.resize(streams.size());
    step.fed = fed;
    step.decodersFrom = std::numeric_limits<double>::infinity();
    for (std::size_t i = 0; options.onSettled && i < fedStreams; ++i)
      step.decodersFrom = std::min(step.decodersFrom, decoders[i]->PendingFrom());
    step.progress = chunk.progress;
    steps.push_back(std::move(step));
    while (!steps.empty() && (!options.onSamples || stage.Ready())) conclude();
  }
  while (!steps.empty()) conclude();
  team.Run(decoders.size(), [&](std::size_t i) { decoders[i]->Finish(); });
  handOver(found);
  chooser.Finish();
  report.seconds = static_cast<double>(fed) / rate;
  if (input->Failed()) {
    if (input->Error().kind == FailureKind::NO_MEMORY) {
      report.failure = input->Error();
      return false;
    }
    report.readStop = input->Error();
    report.readStop.seconds = report.seconds;
  }
  ExplainBlocks(report.blocks, report.seconds, bool(report.readStop));
  return true;
}

RobustReport RunRobustConversion(const std::string& fileName, const std::string& title,
                                 const RobustRunOptions& options) {
  RobustReport report;
  static_cast<RunReport&>(report) = WriteTape({title, options.formats, {fileName}}, [&](CTapeFeed& feed) {
    const bool parts = feed.Needs(TapeNeeds::PARTS);
    // The .tap and the listing keep the blocks the segmenter reads in other
    // timings too: the merge lists them with the robust blocks.
    const bool listing = parts || feed.Needs(TapeNeeds::BLOCKS);
    const bool segment = listing || options.measureShares;
    std::unique_ptr<EdgeExtractor> extractor;
    std::unique_ptr<CPulseSegmenter> segmenter;
    std::unique_ptr<CPartMerger> merger;
    CSampleHistory history;  // the samples the segmenter's pending edges came from
    std::vector<Segmented> segmented;  // the segmenter's parts of the chunk under way
    std::vector<TapePart> found;       // the segmenter's parts not yet read for symbols
    std::unique_ptr<CSymbolReader> symbols;
    CShareMeter shares;
    CPartTally tally;
    std::size_t nextDecoded = 0;       // the next robust block's summary in report.blocks
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
        r.failure = feed.Error();
        return false;
      }
      sampleSeconds = 1.0 / r.sampleRate;
      if (segment) {
        extractor = std::make_unique<EdgeExtractor>(r.sampleRate);
        merger = std::make_unique<CPartMerger>(
            [&feed, &shares, &tally, parts](TapePart&& part) {
              shares.Add(part);
              tally.Add(part);
              if (parts) feed.Part(part);
            },
            [&](const TapeBlock& block, bool inTap) {
              if (!listing) return;  // the shares alone: the blocks go straight on
              feed.Block(block, inTap);
              // A robust block keeps the summary made as it was decoded
              // (its bits' confidence is gone by now); the merge hands on
              // the robust blocks it keeps in the order they came.
              BlockSummary summary = SummariseBlock(block, 0);
              for (std::size_t i = nextDecoded; i < report.blocks.size(); ++i) {
                const BlockSummary& decoded = report.blocks[i];
                if (decoded.startSeconds == block.startSeconds && decoded.length == block.bytes.size()) {
                  summary = decoded;
                  nextDecoded = i + 1;
                  // (bits in symbols: the segmenter's timing, which the merge gave it)
                  if (block.timing.symbolPulses > 0) {
                    summary.timing = block.timing;
                    summary.romTiming = block.romTiming;
                  }
                  break;
                }
              }
              summary.number = static_cast<int>(listed.size()) + 1;
              summary.inTap = inTap;
              listed.push_back(std::move(summary));
            });
        SegmenterSettings settings;
        // Edges are dated to within about a sample.
        settings.jitterTstates = TSTATES_PER_SECOND / r.sampleRate;
        segmenter = std::make_unique<CPulseSegmenter>([&](TapePart&& part) { found.push_back(std::move(part)); },
                                                      settings);
        symbols = std::make_unique<CSymbolReader>(settings.jitterTstates, settings.pauseTstates,
                                                  segmenter->PendingTimes());
        segmenter->KeepRuns([&](std::vector<double>&& run) { symbols->Keep(std::move(run)); });
      }
      return true;
    };
    // Where the last block read again ends (seconds), and the last block
    // that verifies on the segmenter's side.
    double rereadEnd = -HUGE_VAL;
    std::vector<std::uint8_t> lastVerified;
    // The pilotless pieces the segmenter read after found[k], up to the
    // next block with a pilot.
    const auto piecesAfter = [&found](std::size_t k) {
      std::vector<const TapeBlock*> pieces;
      for (std::size_t j = k + 1; j < found.size(); ++j) {
        const TapeBlock* piece = std::get_if<TapeBlock>(&found[j]);
        if (piece == nullptr) continue;
        if (piece->timing.pilot > 0.0) break;
        pieces.push_back(piece);
      }
      return pieces;
    };
    // The segmenter's parts so far (whole runs between pauses), data in
    // symbols read from their stretches, on their way to the merger.
    const auto takeFound = [&] {
      symbols->Read(found);
      for (std::size_t k = 0; k < found.size(); ++k) {
        TapePart& part = found[k];
        const TapeBlock* block = std::get_if<TapeBlock>(&part);
        // What the segmenter made of the rest of a stretch a block read
        // again covers (the pieces after where its edges broke off) is that
        // block. (Its own reading stays with the parts: the merge drops it,
        // and it tells where the decoder's readings at the ROM's ratios
        // went wrong.)
        if (block != nullptr && block->startSeconds < rereadEnd) continue;
        // A loader's block with a pilot and sync that the segmenter's
        // plain edges did not read whole is read again by the box
        // trackers at its measured timing; a reading that verifies joins
        // the robust blocks, over the segmenter's, unless it repeats the
        // block before it.
        if (block != nullptr && options.rereadLoaderBlocks && !block->romTiming && block->timing.pilot > 0.0 &&
            block->timing.symbolPulses <= 2 && !BlockVerifies(block->bytes))
          if (std::optional<TapeBlock> again =
                  RereadMeasuredBlock(*block, history, report.sampleRate, options.decoder, piecesAfter(k));
              again && again->bytes != lastVerified) {
            rereadEnd = again->endSeconds;
            lastVerified = again->bytes;
            segmented.push_back({TapePart(std::move(*again)), true});
          }
        if (block != nullptr && BlockVerifies(block->bytes)) lastVerified = block->bytes;
        segmented.push_back({std::move(part), false});
      }
      found.clear();
    };
    // What the segmenter's stage hands to the merger, in the caller's thread.
    const auto hand = [&merger](std::vector<Segmented>& parts) {
      for (Segmented& s : parts) {
        if (s.robust)
          merger->Robust(std::get<TapeBlock>(std::move(s.part)));
        else
          merger->Found(std::move(s.part));
      }
      parts.clear();
    };
    double segmentedFrom = 0.0;  // the segmenter's PendingFrom after the chunk last concluded
    // The segmenter's work on one chunk's edges, the last of which is no
    // edge but the chunk's end (T-states); returns what the caller's
    // thread hands to the merger.
    const auto segmentEdges = [&](const Edge* edges, std::size_t count) -> std::function<void()> {
      const double end = edges[count - 1].tstates;
      segmenter->Feed(edges, count - 1);
      // An edge found later lies after the sample before the last.
      segmenter->Advance(end - sampleSeconds * TSTATES_PER_SECOND);
      takeFound();
      const double now = end / TSTATES_PER_SECOND;
      if (options.rereadLoaderBlocks) {
        // The samples of what the segmenter still holds, and a little
        // before it (the trackers' boxes look back a few bits), stay.
        constexpr double HISTORY_LEAD_SECONDS = 0.05;
        history.DropBefore(static_cast<std::int64_t>(
            (segmenter->PendingFrom(now) - HISTORY_LEAD_SECONDS) / sampleSeconds));
      }
      std::vector<Segmented> parts;
      parts.swap(segmented);
      return [&hand, &segmentedFrom, parts = std::move(parts),
              from = segmenter->PendingFrom(now - sampleSeconds)]() mutable {
        hand(parts);
        segmentedFrom = from;
      };
    };
    // Two pipeline stages, each on a thread of its own with helper
    // threads on more than two cores: the edges, and the segmenter's parts
    // from them. On two cores the segmenter works in the edges' thread:
    // the decoders' thread and that one keep both cores busy, and a thread
    // more costs more in waking it chunk by chunk than it brings. The
    // history of samples that reading a loader's block again needs is kept
    // by the first stage and read by the segmenter's: both then run as one.
    std::unique_ptr<CPipeStage<Edge>> segmenting;
    if (segment && !options.rereadLoaderBlocks && std::thread::hardware_concurrency() > 2) {
      segmenting = std::make_unique<CPipeStage<Edge>>(segmentEdges, false);
      decoding.onHelpers = [&segmenting] { segmenting->Thread(); };
    }
    std::vector<Edge> edges;  // the first stage's
    if (segment) decoding.onSamples = [&](const float* samples, std::size_t count) -> std::function<void()> {
      if (options.rereadLoaderBlocks) history.Append(samples, count);
      extractor->Feed(samples, count);
      edges.clear();
      extractor->AppendEdges(edges);
      edges.push_back(Edge{extractor->DurationTstates(), false});
      if (!segmenting) return segmentEdges(edges.data(), edges.size());
      segmenting->Push(edges);  // the stage takes them; `edges` gets a buffer back
      // Its outcome, in the caller's thread once the segmenter has done.
      return [&segmenting] {
        if (const std::function<void()> outcome = segmenting->Take()) outcome();
      };
    };
    if (segment) decoding.onSettled = [&](double robustFrom) { merger->Settle(robustFrom, segmentedFrom); };
    const bool decoded = DecodeRecording(fileName, decoding, [&](TapeBlock&& block) {
      if (!listing) feed.Block(block);
      if (segment) merger->Robust(std::move(block));
    }, report);
    if (!decoded) return report.failure;
    if (segment) {
      segmenter->Finish();
      takeFound();
      hand(segmented);
      merger->Finish();
      report.shares = shares.Shares(report.seconds);
    }
    if (parts) {
      report.tally = tally.Finish(extractor->DurationTstates() / TSTATES_PER_SECOND);
      report.structured = true;
    }
    if (listing) {
      report.blocks = std::move(listed);
      report.goodBlocks = report.badBlocks = 0;
      for (const BlockSummary& block : report.blocks) (block.good ? report.goodBlocks : report.badBlocks)++;
      ExplainBlocks(report.blocks, report.seconds, bool(report.readStop));
    }
    if (!options.formats.Has("tap"))
      for (BlockSummary& block : report.blocks) block.inTap = false;
    // An empty set would replace an earlier good one.
    if (report.blocks.empty() && !options.writeEmpty) return Failure(FailureKind::NOTHING_FOUND, fileName);
    feed.End(extractor ? extractor->DurationTstates() / TSTATES_PER_SECOND : report.seconds);
    feed.ReportBeforeCommit(report, options.beforeCommit);
    return Failure();
  });
  return report;
}

}  // namespace tapedecoder
