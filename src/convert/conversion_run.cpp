#include "convert/conversion_run.h"

#include <filesystem>
#include <new>

#include "tape/tape_output.h"
#include "tapefile/tape_image.h"

namespace tapedecoder {

namespace {

// The conversion's read step: a fifth of a frame.
constexpr double kReadStep = 0.2;

}  // namespace

std::string OutputPath(const std::string& title, const char* extension) {
  return title + "." + extension;
}

std::string OutputTitle(const std::string& recording, const std::string& outputDir) {
  const std::filesystem::path path(recording);
  const std::filesystem::path folder = outputDir.empty() ? path.parent_path()
                                                         : std::filesystem::path(outputDir);
  const std::filesystem::path stem = path.stem();
  return folder.empty() ? stem.string() : (folder / stem).string();
}

std::string ToolName() { return std::string("tapedecoder ") + TAPEDECODER_VERSION; }

bool WriteImages(COutputSet& outputs, const std::string& title, const OutputFormats& formats,
                 const std::vector<TapePart>* parts, double recordingSeconds,
                 const std::vector<TapeBlock>& blocks, const std::string& sourceName,
                 Failure& failure, std::vector<std::string>& written) {
  const ImageInfo info{ToolName(), sourceName};
  for (const char* extension : {"tzx", "pzx"}) {
    const bool tzx = extension[0] == 't';
    if (!(tzx ? formats.tzx : formats.pzx)) continue;
    const std::string path = OutputPath(title, extension);
    ImageResult image;
    if (parts != nullptr)
      image = tzx ? WriteTzx(*parts, recordingSeconds, info) : WritePzx(*parts, recordingSeconds, info);
    else
      image = tzx ? WriteTzxBlocks(blocks, info) : WritePzxBlocks(blocks, info);
    if (!image.Ok()) {
      failure = image.failure;
      failure.path = path;
      return false;
    }
    const int index = outputs.Add(path);
    if (index < 0) {
      failure = outputs.Error();
      return false;
    }
    outputs.Write(index, image.bytes.data(), image.bytes.size());
    written.push_back(path);
  }
  return true;
}

namespace {

// DecodeToFiles, except that running out of memory for the outputs' own
// buffers throws std::bad_alloc.
ConversionReport DecodeToFilesOrThrow(const std::string& title, CWaveSource& source,
                                      const DecodeSettings& settings, PulseMeasure measure,
                                      const OutputFormats& formats,
                                      const std::string& sourceName) {
  ConversionReport report;
  report.tapPath = OutputPath(title, "tap");
  report.txtPath = OutputPath(title, "txt");
  COutputSet outputs;
  auto fail = [&report, &outputs]() {
    report.failure = outputs.Error();
    return report;
  };
  const int tap = formats.tap ? outputs.Add(report.tapPath) : -1;
  if (formats.tap && tap < 0) return fail();
  const int txt = outputs.Add(report.txtPath);
  if (txt < 0) return fail();

  CTapImageWriter image(outputs, tap);
  CListingWriter listing(outputs, txt);
  CBlockTally tally;
  CBlockCollector collected;
  std::vector<BlockSink*> sinks = {&listing, &tally};
  if (formats.tap) sinks.push_back(&image);
  if (formats.tzx || formats.pzx) sinks.push_back(&collected);
  CSinkFan fan(sinks);
  CClassicPulses pulses(source, settings, measure);
  report.largestBuffer = DecodeClassicBlocks(pulses, settings, fan);
  report.blocks = tally.Blocks();
  report.goodBlocks = tally.GoodBlocks();
  report.badBlocks = tally.BadBlocks();
  if (formats.tap) report.outputs.push_back(report.tapPath);
  report.outputs.push_back(report.txtPath);
  if (!WriteImages(outputs, title, formats, nullptr, 0.0, collected.Blocks(), sourceName,
                   report.failure, report.outputs)) {
    if (!report.failure) report.failure = outputs.Error();
    return report;
  }
  if (!outputs.Commit()) return fail();
  return report;
}

}  // namespace

ConversionReport DecodeToFiles(const std::string& title, CWaveSource& source,
                               const DecodeSettings& settings, PulseMeasure measure,
                               const OutputFormats& formats, const std::string& sourceName) {
  try {
    return DecodeToFilesOrThrow(title, source, settings, measure, formats, sourceName);
  } catch (const std::bad_alloc&) {
    // The output set is gone with its temporaries; earlier files stay.
    ConversionReport report;
    report.tapPath = OutputPath(title, "tap");
    report.txtPath = OutputPath(title, "txt");
    report.failure.kind = FailureKind::NO_MEMORY;
    return report;
  }
}

ConversionReport RunConversion(const DecodeSettings& settings, const std::string& fileName,
                               const std::string& fileTitle, const OutputFormats& formats) {
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
    // A recording named like one of its outputs (game.tap chosen as a
    // recording) would be replaced by that output and lost.
    for (const std::string& output : {report.tapPath, report.txtPath, OutputPath(fileTitle, "tzx"),
                                      OutputPath(fileTitle, "pzx")}) {
      std::error_code error;
      if (std::filesystem::equivalent(fileName, output, error)) {
        report.failure = Failure(FailureKind::OUTPUT_IS_INPUT, output);
        report.opened = true;
        return report;
      }
    }
    source.Rewind();
    source.SetStep(kReadStep);
    ConversionReport decoded = DecodeToFiles(fileTitle, source, settings, &MeasurePulse, formats,
                                             std::filesystem::path(fileName).filename().string());
    decoded.opened = true;
    return decoded;
  } catch (const std::bad_alloc&) {
    report.failure.kind = FailureKind::NO_MEMORY;
    return report;
  }
}

}  // namespace tapedecoder
