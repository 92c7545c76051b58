#include "convert/conversion_run.h"

#include <filesystem>
#include <new>

#include "tape/tape_output.h"

namespace tapedecoder {

namespace {

// The conversion's read step: a fifth of a frame.
constexpr double kReadStep = 0.2;
// The only rate the classic method reads.
constexpr double CLASSIC_RATE = 44100.0;

}  // namespace

std::string OutputTitle(const std::string& recording, const std::string& outputDir) {
  const std::filesystem::path path(recording);
  const std::filesystem::path folder = outputDir.empty() ? path.parent_path()
                                                         : std::filesystem::path(outputDir);
  const std::filesystem::path stem = path.stem();
  return folder.empty() ? stem.string() : (folder / stem).string();
}

namespace {

// Hands every classic block to the tape's writers and counts it.
class CFeedSink : public BlockSink {
 public:
  explicit CFeedSink(CTapeFeed& feed)
      : m_feed(feed), m_parts(feed.Needs(TapeNeeds::PARTS)) {}
  void Take(const TapeBlock& block) override {
    m_tally.Take(block);
    m_feed.Block(block);
    if (m_parts) m_feed.Part(TapePart(block));
  }
  const CBlockTally& Tally() const { return m_tally; }

 private:
  CTapeFeed& m_feed;
  bool m_parts;
  CBlockTally m_tally;
};

// DecodeToFiles, with `inputs` never replaced.
ConversionReport DecodeClassic(const std::string& title, CWaveSource& source,
                               const DecodeSettings& settings, PulseMeasure measure,
                               const OutputFormats& formats, const std::string& sourceName,
                               std::vector<std::string> inputs, bool writeEmpty) {
  ConversionReport report;
  report.opened = true;
  report.tapPath = OutputPath(title, "tap");
  report.txtPath = OutputPath(title, "txt");
  static_cast<RunReport&>(report) = WriteTape({title, formats, std::move(inputs)}, [&](CTapeFeed& feed) {
    TapeContext context;
    context.info = ImageInfo{ToolName(), sourceName};
    context.sampleRate = CLASSIC_RATE;
    if (!feed.Start(context)) return feed.Error();
    CFeedSink sink(feed);
    CClassicPulses pulses(source, settings, measure);
    report.largestBuffer = DecodeClassicBlocks(pulses, settings, sink);
    report.blocks = sink.Tally().Blocks();
    report.goodBlocks = sink.Tally().GoodBlocks();
    report.badBlocks = sink.Tally().BadBlocks();
    // An empty set would replace an earlier good one.
    if (report.blocks == 0 && !writeEmpty) return Failure(FailureKind::NOTHING_FOUND, std::string());
    return Failure();
  });
  return report;
}

}  // namespace

ConversionReport DecodeToFiles(const std::string& title, CWaveSource& source,
                               const DecodeSettings& settings, PulseMeasure measure,
                               const OutputFormats& formats, const std::string& sourceName,
                               bool writeEmpty) {
  return DecodeClassic(title, source, settings, measure, formats, sourceName, {}, writeEmpty);
}

ConversionReport RunConversion(const DecodeSettings& settings, const std::string& fileName,
                               const std::string& fileTitle, const OutputFormats& formats,
                               bool writeEmpty) {
  ConversionReport report;
  report.tapPath = OutputPath(fileTitle, "tap");
  report.txtPath = OutputPath(fileTitle, "txt");
  try {
    // The channels are chosen before the recording is loaded; the source
    // and its samples are released before the run returns.
    CWaveSource source;
    source.SetChannels(settings.useLeft ? 1 : 0, settings.useRight ? 1 : 0);
    if (!source.Open(fileName)) {
      report.failure = Failure(source.LastError(), fileName);
      return report;
    }
    source.Rewind();
    source.SetStep(kReadStep);
    // A recording named like one of its outputs (game.tap chosen as a
    // recording) would be replaced by that output and lost.
    return DecodeClassic(fileTitle, source, settings, &MeasurePulse, formats,
                         std::filesystem::path(fileName).filename().string(), {fileName}, writeEmpty);
  } catch (const std::bad_alloc&) {
    report.opened = true;  // memory ran out after loading, as Open reports its own
    report.failure.kind = FailureKind::NO_MEMORY;
    return report;
  }
}

}  // namespace tapedecoder
